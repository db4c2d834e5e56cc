// Window sharing and still images between whole instances. Sharing runs on a private X
// server with a window manager: Alice (on that display) shares a test window of known
// content and Bob's viewer is compared with the server's own picture of that window.
#include <gtest/gtest.h>

#include <QImage>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

#include <unistd.h>

#include "E2eFixture.h"
#include "XTestDisplay.h"
#include "video/Bitmap.h"
#include "video/JpegBuffer.h"

namespace e2e {
namespace {

// This suite's ports, outside the shared blocks.
constexpr int kSharePorts = 27640;

std::string Field(const std::map<std::string, std::string>& state, const char* name)
{
    const auto it = state.find(name);
    return it == state.end() ? std::string() : it->second;
}

// Fields of an "ok a b c" answer; empty on an error.
std::vector<std::string> Answer(MorvikaInstance& instance, const std::string& command)
{
    std::vector<std::string> words = SplitWords(instance.Command(command));
    if (words.empty() || words[0] != "ok") return {};
    words.erase(words.begin());
    return words;
}

RgbPicture LoadPng(const std::string& path)
{
    RgbPicture picture;
    const QImage image = QImage(QString::fromStdString(path)).convertToFormat(QImage::Format_RGB888);
    if (image.isNull()) return picture;
    picture.width = image.width();
    picture.height = image.height();
    for (int y = 0; y < image.height(); ++y) {
        const auto* row = image.constScanLine(y);
        picture.rgb.insert(picture.rgb.end(), row, row + image.width() * 3);
    }
    return picture;
}

// The digest the control channel shows for a picture's bytes.
std::string Digest(const std::string& bytes)
{
    std::uint32_t hash = 2166136261u;
    for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    char text[16];
    std::snprintf(text, sizeof text, "%x", hash);
    return text;
}

// A JPEG of noise, so large that only a file chosen from the own window carries it whole.
std::string WriteLargeJpeg(const std::string& path)
{
    const int width = 1100;
    const int height = 800;
    std::vector<unsigned char> bits(static_cast<std::size_t>(DibStride(24, width)) * height);
    std::mt19937 random(5);
    for (auto& b : bits) b = static_cast<unsigned char>(random());
    const DibSection section{width, height, static_cast<std::int32_t>(DibStride(24, width)), 1, 24, bits.data()};
    OskelJpegControlData settings;
    settings.m_nQuality = 100;
    std::uint32_t length = 0;
    const JpegBlock jpeg = JpegBuffer::EncodeBitmap(section, settings, length);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(jpeg.get()), length);
    return std::string(reinterpret_cast<const char*>(jpeg.get()), length);
}

class ShareTest : public E2eTest {
protected:
    void SetUp() override
    {
        if (const char* display = std::getenv("DISPLAY")) m_savedDisplay = display;
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
    std::string m_savedDisplay;
};

TEST_F(ShareTest, ASharedWindowReachesThePeersViewerUntilSharingStops)
{
    XTestDisplay x;
    std::string why;
    ASSERT_TRUE(x.Start(why)) << why;
    setenv("DISPLAY", x.Name().c_str(), 1);
    UsePorts(kSharePorts, 10);

    MorvikaInstance& alice = Create("Alice");
    alice.SetConnectCheck(0);
    StartOptions onDisplay;
    onDisplay.platform = "xcb";
    ASSERT_TRUE(Launch(alice, onDisplay));
    MorvikaInstance& bob = Spawn("Bob");
    ASSERT_TRUE(Join(bob, alice));
    ASSERT_TRUE(HasWindows(bob, {"Alice", "Bob"}));
    ASSERT_TRUE(HasWindows(alice, {"Alice", "Bob"}));
    const auto state = alice.State();
    const std::string ids = Field(state, "uid") + " " + Field(state, "gid");

    XTestWindow window(x, 640, 480);
    ASSERT_TRUE(window.Activate()) << "the test window never became the active window";
    ASSERT_EQ(alice.Command("share on"), "ok");
    ASSERT_TRUE(bob.WaitForEvent("share-view " + ids + " 1")) << "Bob's viewer never opened";
    // Alice's preview appeared on top; her window comes back to the front.
    ASSERT_TRUE(window.Activate());
    ASSERT_TRUE(bob.WaitUntil([&] {
        const auto viewer = Answer(bob, "viewer " + ids);
        return viewer.size() == 3 && viewer[0] == "1" && std::atol(viewer[1].c_str()) >= 1;
    })) << "no picture reached Bob's viewer";

    // What Bob sees against what the X server shows of the window with its frame.
    const RgbPicture reference = x.Xwd(x.FrameOf(window.Id()));
    ASSERT_GT(reference.width, 640) << "no frame round the test window";
    const std::string seen = bob.ProfileDir() + "/viewer.png";
    ASSERT_EQ(SplitWords(bob.Command("save-viewer " + ids + " " + seen)).at(0), "ok");
    const RgbPicture picture = LoadPng(seen);
    ASSERT_EQ(picture.width, reference.width);
    ASSERT_EQ(picture.height, reference.height);
    const double psnr = Psnr(picture, reference);
    RecordProperty("psnr_db", std::to_string(psnr));
    std::cout << "shared window: " << picture.width << "x" << picture.height << ", PSNR " << psnr << " dB\n";
    EXPECT_GE(psnr, 30.0);

    // A change of the window's content reaches Bob.
    const std::string before = Answer(bob, "viewer " + ids).at(2);
    const auto changed = std::chrono::steady_clock::now();
    window.Paint(2);
    ASSERT_TRUE(bob.WaitUntil(
        [&] {
            const auto viewer = Answer(bob, "viewer " + ids);
            return viewer.size() == 3 && viewer[2] != before;
        },
        kEventTimeout, 20ms))
        << "the change never reached Bob";
    const auto latency =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - changed).count();
    RecordProperty("change_latency_ms", std::to_string(latency));
    std::cout << "change reached the peer after " << latency << " ms\n";

    // Carol joins while Alice shares: she gets the viewer and the picture at once, not only
    // once the window changes again.
    MorvikaInstance& carol = Spawn("Carol");
    ASSERT_TRUE(Join(carol, alice));
    ASSERT_TRUE(carol.WaitForEvent("share-view " + ids + " 1")) << "the newcomer never got the viewer";
    ASSERT_TRUE(carol.WaitUntil([&] {
        const auto viewer = Answer(carol, "viewer " + ids);
        return viewer.size() == 3 && viewer[0] == "1" && std::atol(viewer[1].c_str()) >= 1;
    })) << "no picture reached the newcomer's viewer";

    // Alice's own preview shows what leaves; it is never captured itself.
    ASSERT_EQ(alice.Command("share off"), "ok");
    ASSERT_TRUE(bob.WaitForEvent("share-view " + ids + " 0")) << "Bob's viewer never closed";
    EXPECT_EQ(Answer(bob, "viewer " + ids).at(0), "0");
}

// The sender's CPU share with sharing on (the window changing every second) against off.
TEST_F(ShareTest, CpuFigures)
{
    if (std::getenv("MORVIKA_CPU_FIGURES") == nullptr) GTEST_SKIP() << "MORVIKA_CPU_FIGURES not set";
    XTestDisplay x;
    std::string why;
    ASSERT_TRUE(x.Start(why)) << why;
    setenv("DISPLAY", x.Name().c_str(), 1);
    UsePorts(kSharePorts + 10, 5);
    MorvikaInstance& alice = Create("Alice");
    alice.SetConnectCheck(0);
    StartOptions onDisplay;
    onDisplay.platform = "xcb";
    ASSERT_TRUE(Launch(alice, onDisplay));
    MorvikaInstance& bob = Spawn("Bob");
    ASSERT_TRUE(Join(bob, alice));
    ASSERT_TRUE(HasWindows(alice, {"Alice", "Bob"}));
    XTestWindow window(x, 800, 600);
    ASSERT_TRUE(window.Activate());
    auto measure = [&](int seconds, bool change) {
        const double before = alice.CpuSeconds();
        for (int i = 0; i < seconds; ++i) {
            if (change) window.Paint(i + 3);
            std::this_thread::sleep_for(1s);
        }
        return (alice.CpuSeconds() - before) / seconds * 100.0;
    };
    const double idle = measure(20, true);
    ASSERT_EQ(alice.Command("share on"), "ok");
    ASSERT_TRUE(window.Activate());
    const double sharing = measure(20, true);
    ASSERT_EQ(alice.Command("share off"), "ok");
    std::printf(
        "[ figures ] sender CPU: %.2f %% idle, %.2f %% sharing a changing 800x600 window, %.2f %% for sharing\n", idle,
        sharing, sharing - idle);
}

TEST_F(ShareTest, AStillImageReachesEveryPeerAndLaterNewcomers)
{
    UsePorts(kSharePorts + 5, 5);
    MorvikaInstance& alice = Spawn("Alice");
    MorvikaInstance& bob = Spawn("Bob");
    ASSERT_TRUE(Join(bob, alice));
    ASSERT_TRUE(HasWindows(bob, {"Alice", "Bob"}));
    const auto state = alice.State();
    const std::string ids = Field(state, "uid") + " " + Field(state, "gid");

    const std::string file = alice.ProfileDir() + "/large.jpg";
    const std::string bytes = WriteLargeJpeg(file);
    ASSERT_GT(bytes.size(), 1024u * 1024u) << "the picture should be larger than the camera page loads";
    ASSERT_EQ(alice.Command("still " + file), "ok");
    auto shows = [&](MorvikaInstance& instance) {
        return instance.WaitUntil([&] {
            const auto pictures = Answer(instance, "pictures " + ids);
            return pictures.size() == 3 && pictures[1] == Digest(bytes);
        });
    };
    EXPECT_TRUE(shows(bob)) << "Bob never got the whole still image";
    EXPECT_TRUE(shows(alice)) << "Alice's own window does not show it";

    MorvikaInstance& carol = Spawn("Carol");
    ASSERT_TRUE(Join(carol, alice));
    EXPECT_TRUE(shows(carol)) << "the kept still image was not sent to the newcomer";
}

}  // namespace
}  // namespace e2e
