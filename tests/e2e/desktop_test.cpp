// The main window on a real desktop: a private X server with openbox, a window manager that
// offers no tray. Where windows open, how the grip resizes, what the first button does without
// a tray, how a second start brings the window back, and where the help menu leads.
#include <gtest/gtest.h>

#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>
#include <xcb/xtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "E2eFixture.h"
#include "XTestDisplay.h"

namespace e2e {
namespace {

constexpr int kDesktopPorts = 28060;

struct Rect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    int Right() const { return left + width; }
    int Bottom() const { return top + height; }
    bool Intersects(const Rect& o) const
    {
        return left < o.Right() && o.left < Right() && top < o.Bottom() && o.top < Bottom();
    }
    bool operator==(const Rect&) const = default;
    bool Inside(const Rect& o) const
    {
        return left >= o.left && top >= o.top && Right() <= o.Right() && Bottom() <= o.Bottom();
    }
};

std::ostream& operator<<(std::ostream& out, const Rect& r)
{
    return out << r.left << "," << r.top << " " << r.width << "x" << r.height;
}

// "ok l t w h" of `geometry [window]`; width 0 when the window is not there.
Rect Geometry(MorvikaInstance& instance, const std::string& window = {})
{
    const auto words = SplitWords(instance.Command(window.empty() ? "geometry" : "geometry " + window));
    if (words.size() != 5 || words[0] != "ok") return {};
    return {std::stoi(words[1]), std::stoi(words[2]), std::stoi(words[3]), std::stoi(words[4])};
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class DesktopTest : public E2eTest {
protected:
    void SetUp() override
    {
        if (const char* display = std::getenv("DISPLAY")) m_savedDisplay = display;
        std::string why;
        ASSERT_TRUE(m_x.Start(why)) << why;
        setenv("DISPLAY", m_x.Name().c_str(), 1);
        m_c = m_x.Connection();
    }
    void TearDown() override
    {
        E2eTest::TearDown();
        if (m_savedDisplay.empty()) {
            unsetenv("DISPLAY");
        } else {
            setenv("DISPLAY", m_savedDisplay.c_str(), 1);
        }
    }

    bool LaunchOnDisplay(MorvikaInstance& instance, StartOptions options = {})
    {
        instance.SetConnectCheck(0);
        options.platform = "xcb";
        return Launch(instance, options);
    }

    xcb_atom_t Atom(const char* name)
    {
        auto* reply = xcb_intern_atom_reply(
            m_c, xcb_intern_atom(m_c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
        const xcb_atom_t atom = reply ? reply->atom : 0;
        std::free(reply);
        return atom;
    }

    // The windows the manager lists (a task bar shows these) that belong to the process.
    std::vector<xcb_window_t> ListedWindows(pid_t pid)
    {
        std::vector<xcb_window_t> found;
        xcb_ewmh_get_windows_reply_t list{};
        if (xcb_ewmh_get_client_list_reply(m_x.Ewmh(), xcb_ewmh_get_client_list(m_x.Ewmh(), 0), &list, nullptr) == 0)
            return found;
        for (std::uint32_t i = 0; i < list.windows_len; ++i) {
            std::uint32_t owner = 0;
            if (xcb_ewmh_get_wm_pid_reply(m_x.Ewmh(), xcb_ewmh_get_wm_pid(m_x.Ewmh(), list.windows[i]), &owner,
                                          nullptr) != 0 &&
                static_cast<pid_t>(owner) == pid) {
                found.push_back(list.windows[i]);
            }
        }
        xcb_ewmh_get_windows_reply_wipe(&list);
        return found;
    }

    // The ICCCM state of a listed window: 1 normal, 3 iconic (in the task bar); 0 unknown.
    std::uint32_t WmState(xcb_window_t window)
    {
        const xcb_atom_t state = Atom("WM_STATE");
        auto* reply = xcb_get_property_reply(m_c, xcb_get_property(m_c, 0, window, state, state, 0, 2), nullptr);
        std::uint32_t value = 0;
        if (reply != nullptr && xcb_get_property_value_length(reply) >= 4) {
            value = *static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
        }
        std::free(reply);
        return value;
    }

    // The state of the process's only listed window (its main window while nothing else is open).
    std::uint32_t MainState(MorvikaInstance& instance)
    {
        const auto windows = ListedWindows(instance.Pid());
        return windows.size() == 1 ? WmState(windows[0]) : 0;
    }

    // The frames of the process's listed windows, as the X server has them.
    std::vector<Rect> Frames(pid_t pid)
    {
        std::vector<Rect> frames;
        for (const xcb_window_t client : ListedWindows(pid)) {
            auto* g = xcb_get_geometry_reply(m_c, xcb_get_geometry(m_c, m_x.FrameOf(client)), nullptr);
            if (g != nullptr)
                frames.push_back({g->x, g->y, g->width + 2 * g->border_width, g->height + 2 * g->border_width});
            std::free(g);
        }
        return frames;
    }

    // Mapped top-level windows of the screen's full size (a frozen picture left behind).
    int FullScreenWindows()
    {
        int count = 0;
        auto* tree = xcb_query_tree_reply(m_c, xcb_query_tree(m_c, m_x.Screen()->root), nullptr);
        if (tree == nullptr) return -1;
        const xcb_window_t* children = xcb_query_tree_children(tree);
        for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
            auto* attributes =
                xcb_get_window_attributes_reply(m_c, xcb_get_window_attributes(m_c, children[i]), nullptr);
            auto* geometry = xcb_get_geometry_reply(m_c, xcb_get_geometry(m_c, children[i]), nullptr);
            if (attributes && geometry && attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
                geometry->width >= m_x.Screen()->width_in_pixels &&
                geometry->height >= m_x.Screen()->height_in_pixels) {
                ++count;
            }
            std::free(attributes);
            std::free(geometry);
        }
        std::free(tree);
        return count;
    }

    // What a mouse does, through the server's test extension.
    void Pointer(std::uint8_t type, int x, int y)
    {
        if (type == XCB_MOTION_NOTIFY) {
            xcb_test_fake_input(m_c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, m_x.Screen()->root,
                                static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), 0);
        } else {
            xcb_test_fake_input(m_c, type, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        }
        xcb_flush(m_c);
        std::this_thread::sleep_for(30ms);  // pacing, as a hand moves; nothing waits on it
    }
    void Click(int x, int y)
    {
        Pointer(XCB_MOTION_NOTIFY, x, y);
        Pointer(XCB_BUTTON_PRESS, x, y);
        Pointer(XCB_BUTTON_RELEASE, x, y);
    }

    Rect WorkArea() const { return {0, 0, m_x.Screen()->width_in_pixels, m_x.Screen()->height_in_pixels}; }

    XTestDisplay m_x;
    xcb_connection_t* m_c = nullptr;
    std::string m_savedDisplay;
};

TEST_F(DesktopTest, WithoutATrayTheWindowGoesToTheTaskBarAndASecondStartBringsItBack)
{
    UsePorts(kDesktopPorts, 5);
    MorvikaInstance& alice = Create("Alice");
    StartOptions minimized;
    minimized.minimized = true;
    ASSERT_TRUE(LaunchOnDisplay(alice, minimized));
    EXPECT_TRUE(alice.WaitUntil([&] { return MainState(alice) == 3; }))
        << "started minimised, the main window is not in the task bar: " << ListedWindows(alice.Pid()).size()
        << " listed windows, state " << MainState(alice);

    // A second start of the same profile shows the running one's window and ends.
    ChildProcess second;
    ASSERT_TRUE(second.Start(
        {MorvikaExecutable(), "--profile", alice.ProfileDir(), "--port", std::to_string(kDesktopPorts + 5)},
        {"QT_QPA_PLATFORM=xcb"}));
    EXPECT_EQ(second.WaitExit(kEventTimeout), 0);
    EXPECT_TRUE(alice.WaitUntil([&] { return MainState(alice) == 1; })) << "the second start did not show it";
    EXPECT_EQ(ListedWindows(alice.Pid()).size(), 1u);

    // The first button: to the task bar, not out of sight.
    ASSERT_EQ(alice.Command("press main 1031"), "ok");
    EXPECT_TRUE(alice.WaitUntil([&] { return MainState(alice) == 3; })) << "the first button did not minimise";
}

TEST_F(DesktopTest, TheHelpMenuHandsTheShippedGuideToTheDesktop)
{
    UsePorts(kDesktopPorts + 10, 5);
    MorvikaInstance& alice = Create("Alice");
    // The desktop's opener, as Qt finds it in PATH, writes down what it was given.
    const std::string bin = alice.ProfileDir() + "/bin";
    const std::string opened = alice.ProfileDir() + "/opened.txt";
    ASSERT_EQ(mkdir(bin.c_str(), 0700), 0);
    std::ofstream(bin + "/xdg-open") << "#!/bin/sh\nprintf '%s' \"$1\" > '" << opened << ".part'\nmv '" << opened
                                     << ".part' '" << opened << "'\n";
    ASSERT_EQ(chmod((bin + "/xdg-open").c_str(), 0700), 0);
    StartOptions options;
    options.extraEnv = {"PATH=" + bin + ":" + std::getenv("PATH")};
    ASSERT_TRUE(LaunchOnDisplay(alice, options));

    ASSERT_EQ(SplitWords(alice.Command("menu 32820")).at(0), "ok");
    ASSERT_TRUE(alice.WaitUntil([&] { return !ReadFile(opened).empty(); })) << "nothing was handed to the desktop";
    const std::string url = ReadFile(opened);
    ASSERT_EQ(url.rfind("file://", 0), 0u) << url;
    const std::string path = url.substr(7);
    EXPECT_TRUE(path.ends_with("/Help/index.html")) << path;
    const std::string page = ReadFile(path);
    EXPECT_NE(page.find("<title>ソラネムの使い方</title>"), std::string::npos) << "no guide at " << path;
    EXPECT_NE(page.find("HalvoLogFile.txt"), std::string::npos) << "the guide does not say where the log is";
}

TEST_F(DesktopTest, WindowsOpenOnTheWorkAreaBesideEachOtherAndTheRectangleComesBack)
{
    UsePorts(kDesktopPorts + 15, 10);
    const Rect work = WorkArea();
    // The default rectangle sits at the screen's corner; one stored above the top edge.
    MorvikaInstance& alice = Create("Alice");
    MorvikaInstance& bob = Create("Bob");
    bob.SetMainRect(200, -60, 560, 300);
    ASSERT_TRUE(LaunchOnDisplay(alice));
    ASSERT_TRUE(LaunchOnDisplay(bob));
    const Rect aliceMain = Geometry(alice);
    const Rect bobMain = Geometry(bob);
    EXPECT_TRUE(aliceMain.Inside(work)) << aliceMain;
    EXPECT_TRUE(bobMain.Inside(work)) << bobMain;

    // A second instance with the same rectangle does not open on top of the first.
    MorvikaInstance& carol = Create("Carol");
    ASSERT_TRUE(LaunchOnDisplay(carol));
    const Rect carolMain = Geometry(carol);
    EXPECT_TRUE(carolMain.Inside(work)) << carolMain;
    EXPECT_FALSE(carolMain.left == aliceMain.left && carolMain.top == aliceMain.top) << carolMain;

    // Chat, the own preview and the viewer of Bob's window open beside the main window.
    ASSERT_TRUE(Join(bob, alice));
    ASSERT_TRUE(alice.WaitForWindowCount(2));
    ASSERT_EQ(bob.Command("share on"), "ok");
    ASSERT_TRUE(alice.WaitForEvent("share-view ")) << "Bob's window never reached Alice";
    ASSERT_EQ(alice.Command("share on"), "ok");
    ASSERT_TRUE(alice.WaitForEvent("share 1"));
    ASSERT_EQ(alice.Command("press main 1036"), "ok");
    ASSERT_TRUE(alice.WaitUntil([&] { return alice.ChatVisible() == true; }));
    // The frames as the X server has them, once the manager has framed all four.
    std::vector<Rect> frames;
    const auto apart = [&] {
        frames = Frames(alice.Pid());
        if (frames.size() != 4) return false;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            if (!frames[i].Inside(work)) return false;
            for (std::size_t j = 0; j < i; ++j) {
                if (frames[i].Intersects(frames[j])) return false;
            }
        }
        return true;
    };
    EXPECT_TRUE(alice.WaitUntil(apart)) << ::testing::PrintToString(frames);

    // Moved and resized, the main window comes back where it was after a restart.
    const Rect before = Geometry(alice);
    ASSERT_EQ(alice.Command("resize " + std::to_string(before.left + 450) + " " + std::to_string(before.top + 400)),
              "ok");
    ASSERT_TRUE(alice.WaitUntil([&] { return Geometry(alice).width == 450; })) << Geometry(alice);
    const Rect resized = Geometry(alice);
    ASSERT_TRUE(alice.Quit().has_value());
    ASSERT_TRUE(LaunchOnDisplay(alice));
    Rect restored;
    EXPECT_TRUE(alice.WaitUntil([&] {
        restored = Geometry(alice);
        return restored.left == resized.left && restored.top == resized.top && restored.width == resized.width &&
               restored.height == resized.height;
    })) << "was "
        << resized << ", came back as " << restored;
}

TEST_F(DesktopTest, OnePressDragAndReleaseOnTheGripResizesTheWindow)
{
    UsePorts(kDesktopPorts + 25, 5);
    MorvikaInstance& alice = Create("Alice");
    alice.SetMainRect(40, 40, 420, 400);
    ASSERT_TRUE(LaunchOnDisplay(alice));
    // Once framed, the window has the stored outer rectangle.
    Rect before;
    ASSERT_TRUE(alice.WaitUntil([&] {
        const auto frames = Frames(alice.Pid());
        before = Geometry(alice);
        return frames.size() == 1 && frames[0] == before && before.left == 40 && before.top == 40 &&
               before.width == 380 && before.height == 360;
    })) << before;
    const auto grip = SplitWords(alice.Command("grip"));
    ASSERT_EQ(grip.size(), 3u);
    const int x = std::stoi(grip[1]);
    const int y = std::stoi(grip[2]);

    const int toX = x + 150;
    const int toY = y + 120;
    Pointer(XCB_MOTION_NOTIFY, x, y);
    Pointer(XCB_BUTTON_PRESS, x, y);
    for (int step = 1; step <= 5; ++step) Pointer(XCB_MOTION_NOTIFY, x + 30 * step, y + 24 * step);
    Pointer(XCB_BUTTON_RELEASE, toX, toY);
    Rect after;
    EXPECT_TRUE(alice.WaitUntil([&] {
        after = Geometry(alice);
        return after.Right() == toX && after.Bottom() == toY;
    })) << "before "
        << before << ", after " << after << ", dragged to " << toX << "," << toY;
    EXPECT_EQ(after.left, before.left);
    EXPECT_EQ(after.top, before.top);
    EXPECT_TRUE(alice.WaitUntil([&] { return FullScreenWindows() == 0; })) << "a frozen picture stayed on top";
    const auto dialogs = alice.List("dialogs");
    ASSERT_TRUE(dialogs.has_value());
    EXPECT_TRUE(dialogs->empty()) << dialogs->front();

    // The next click is the user's again: on the chat button, it opens the chat.
    const auto chat = SplitWords(alice.Command("where-button 1036"));
    ASSERT_EQ(chat.size(), 3u);
    Click(std::stoi(chat[1]), std::stoi(chat[2]));
    EXPECT_TRUE(alice.WaitUntil([&] { return alice.ChatVisible() == true; })) << "the click was swallowed";
    const Rect last = Geometry(alice);
    EXPECT_EQ(last.width, after.width);
    EXPECT_EQ(last.height, after.height);
}

}  // namespace
}  // namespace e2e
