// The first-start wizard and the settings sheet, driven through the control channel as a
// user clicks them.
#include "E2eFixture.h"

#include "app/AddressData.h"
#include "app/HalvoApp.h"

namespace e2e {
namespace {

class SettingsTest : public E2eTest {
protected:
    // Starts an instance that shows the wizard; true once it is up.
    bool StartWithWizard(MorvikaInstance& instance, std::uint16_t port)
    {
        StartOptions options;
        options.port = port;
        options.waitReady = false;
        return instance.Start(options) && instance.WaitForEvent("dialog CMainPropertySeet").has_value();
    }

    static int CameraIndex(MorvikaInstance& instance, const std::string& name)
    {
        // "ok <enabled> <current> <item>|<item>..."
        const std::string answer = instance.Command("get CMainPropertySeet 1013");
        const std::size_t items = answer.find(' ', answer.find(' ', 3) + 1);
        if (answer.rfind("ok ", 0) != 0 || items == std::string::npos) return -1;
        int index = 0;
        std::size_t start = items + 1;
        for (;;) {
            const std::size_t bar = answer.find('|', start);
            if (answer.substr(start, bar == std::string::npos ? std::string::npos : bar - start) == name) return index;
            if (bar == std::string::npos) return -1;
            start = bar + 1;
            ++index;
        }
    }
};

TEST_F(SettingsTest, FirstStartRunsTheWizardOnceEvenWhenItWasCancelled)
{
    UsePortBlock(34);
    MorvikaInstance& cancelled = Create("Alice");
    cancelled.ForgetInitState();
    ASSERT_TRUE(StartWithWizard(cancelled, 27440));
    EXPECT_TRUE(cancelled.LogContains("LOG   CHalvoApp::InitInstance()  MainProperty Start \n"));
    EXPECT_EQ(cancelled.List("dialogs"), std::vector<std::string>{"dialog CMainPropertySeet"});
    // Nothing but dialogs and the identity answers before the main window is up.
    EXPECT_EQ(cancelled.Command("state").rfind("error", 0), 0u);
    const std::string identity = cancelled.Command("identity");
    EXPECT_EQ(SplitWords(identity).at(1).size(), 64u) << identity;
    EXPECT_EQ(cancelled.Command("type CMainPropertySeet 1017 Changed"), "ok");
    EXPECT_EQ(cancelled.Command("press CMainPropertySeet 2"), "ok");
    ASSERT_TRUE(cancelled.WaitForEvent("ready "));
    EXPECT_TRUE(cancelled.LogContains("LOG   CHalvoApp::InitInstance()  MainProperty End \n"));
    CHalvoApp settings(cancelled.SettingsFile());
    EXPECT_EQ(settings.GetInitState(), 1);
    EXPECT_EQ(settings.GetUserName(), "Alice");  // cancelling applies nothing
    ASSERT_TRUE(cancelled.Quit().has_value());

    // The second start goes straight to the main window.
    StartOptions again;
    again.port = 27441;
    ASSERT_TRUE(cancelled.Start(again));
    EXPECT_EQ(cancelled.Command("identity"), identity) << "the key made at first start is kept";
    EXPECT_FALSE(cancelled.LogContains("MainProperty Start"));
    EXPECT_TRUE(cancelled.Events("dialog").empty());

    // Finishing stores what the pages hold: the name reaches the own window.
    MorvikaInstance& finished = Create("Bob");
    finished.ForgetInitState();
    ASSERT_TRUE(StartWithWizard(finished, 27442));
    EXPECT_EQ(finished.Command("type CMainPropertySeet 1017 ボブ"), "ok");
    EXPECT_EQ(finished.Command("check CMainPropertySeet 1005 0"), "ok");
    EXPECT_EQ(finished.Command("press CMainPropertySeet 12324"), "ok");
    EXPECT_EQ(finished.Command("press CMainPropertySeet 12324"), "ok");
    // The last page offers only the finish button.
    EXPECT_TRUE(
        finished.WaitUntil([&] { return finished.Command("press CMainPropertySeet 12324").rfind("error", 0) == 0; }));
    EXPECT_EQ(finished.Command("press CMainPropertySeet 12325"), "ok");
    ASSERT_TRUE(finished.WaitForEvent("ready "));
    EXPECT_EQ(finished.WindowNames(), std::vector<std::string>{"ボブ"});
    CHalvoApp stored(finished.SettingsFile());
    EXPECT_EQ(stored.GetInitState(), 1);
    EXPECT_EQ(stored.GetConnectCheck(), 0);
}

TEST_F(SettingsTest, EnglishComesFromTheCommandLineOrTheSettingsSheetAndJapaneseStaysTheDefault)
{
    UsePortBlock(29);
    MorvikaInstance& instance = Create("Alice");
    // A joining of oneself is refused with a box: a text of the connection flow, below the widgets.
    auto selfJoinBox = [&](std::uint16_t port, std::vector<std::string> args) -> std::string {
        StartOptions options;
        options.port = port;
        options.extraArgs = std::move(args);
        if (!instance.Start(options)) return "not started";
        EXPECT_EQ(instance.Command("connect 127.0.0.1:" + std::to_string(port) + " - -"), "ok");
        const auto box = instance.WaitForEvent("messagebox ");
        return box.value_or("no box");
    };

    EXPECT_EQ(selfJoinBox(27390, {}), "messagebox 接続 自身への接続はできません");
    ASSERT_TRUE(instance.Quit().has_value());
    EXPECT_EQ(selfJoinBox(27391, {"--lang", "en"}), "messagebox Connect You cannot connect to yourself");
    ASSERT_TRUE(instance.Quit().has_value());
    EXPECT_EQ(CHalvoApp(instance.SettingsFile()).GetLanguage(), "ja") << "--lang is for one run only";

    // The settings sheet's choice holds from the next start on.
    EXPECT_EQ(selfJoinBox(27392, {}), "messagebox 接続 自身への接続はできません");
    EXPECT_EQ(instance.Command("menu 32780"), "ok");
    ASSERT_TRUE(instance.WaitForEvent("dialog CMainPropertySeet"));
    EXPECT_EQ(instance.Command("select CMainPropertySeet 1070 1"), "ok");
    EXPECT_EQ(instance.Command("press CMainPropertySeet 1"), "ok");
    ASSERT_TRUE(instance.WaitUntil([&] { return instance.List("dialogs") == std::vector<std::string>{}; }));
    ASSERT_TRUE(instance.Quit().has_value());
    EXPECT_EQ(CHalvoApp(instance.SettingsFile()).GetLanguage(), "en");
    EXPECT_EQ(selfJoinBox(27393, {}), "messagebox Connect You cannot connect to yourself");
    ASSERT_TRUE(instance.Quit().has_value());
}

TEST_F(SettingsTest, SettingsSheetRenamesTheUserForPeersAndSwitchesTheCameraOnlyWhenItChanged)
{
    UsePortBlock(36);
    MorvikaInstance& alice = Spawn("Alice");
    MorvikaInstance& bob = Create("Bob");
    CHalvoApp(bob.SettingsFile()).SetCameraName("videotestsrc");
    StartOptions options;
    options.extraEnv = {"MORVIKA_EXTRA_CAMERAS=videotestsrc|Second Camera"};
    ASSERT_TRUE(Launch(bob, options));
    ASSERT_TRUE(bob.WaitUntil([&] { return bob.Command("camera").find("name=videotestsrc") != std::string::npos; }));
    const std::string run = "LOG   CCameraView::Run() [";

    ASSERT_EQ(bob.Command("menu 32780"), "ok");
    ASSERT_TRUE(bob.WaitForEvent("dialog CMainPropertySeet"));
    EXPECT_EQ(bob.Command("get CMainPropertySeet 12321"), "ok 0 0");  // Apply waits for a change
    const int same = CameraIndex(bob, "videotestsrc");
    const int second = CameraIndex(bob, "Second Camera");
    ASSERT_GE(same, 0);
    ASSERT_GE(second, 0);
    EXPECT_EQ(bob.Command("get CMainPropertySeet 1013").rfind("ok 1 " + std::to_string(same) + " ", 0), 0u);

    // The same camera again: applied, but the camera keeps running.
    const std::size_t runs = bob.LogCount(run);
    EXPECT_EQ(bob.Command("type CMainPropertySeet 1017 Bobby"), "ok");
    EXPECT_EQ(bob.Command("select CMainPropertySeet 1013 " + std::to_string(same)), "ok");
    EXPECT_EQ(bob.Command("press CMainPropertySeet 12321"), "ok");
    ASSERT_TRUE(bob.WaitUntil([&] { return CHalvoApp(bob.SettingsFile()).GetUserName() == "Bobby"; }));
    EXPECT_EQ(bob.LogCount(run), runs);

    // Another camera: the pipeline restarts on it at once.
    EXPECT_EQ(bob.Command("select CMainPropertySeet 1013 " + std::to_string(second)), "ok");
    EXPECT_EQ(bob.Command("press CMainPropertySeet 1"), "ok");
    EXPECT_TRUE(bob.WaitUntil([&] { return bob.Command("camera").find("name=Second Camera") != std::string::npos; }));
    EXPECT_GT(bob.LogCount(run), runs);
    EXPECT_EQ(CHalvoApp(bob.SettingsFile()).GetCameraName(), "Second Camera");

    ASSERT_TRUE(Join(bob, alice));
    EXPECT_TRUE(HasWindows(alice, {"Alice", "Bobby"}));
}

TEST_F(SettingsTest, LoginDialogConnectsToTheClickedAddressBookEntry)
{
    UsePortBlock(37);
    MorvikaInstance& alice = Spawn("Alice", 0, "secret");
    MorvikaInstance& bob = Create("Bob");
    {
        CAddressDataList book;
        CAddressData entry;
        entry.m_strUserNameSort = "ありす";  // under the first kana tab
        entry.m_strUserName = "Alice";
        entry.m_strMorvikaAddress = alice.Address();
        entry.m_strPassword = "secret";
        entry.m_strComment = "こんにちは";
        book.PushBack(entry);
        CHalvoApp(bob.SettingsFile()).SaveAddressBook(book);
    }
    ASSERT_TRUE(Launch(bob));

    ASSERT_EQ(bob.Command("press main 1032"), "ok");
    ASSERT_TRUE(bob.WaitForEvent("dialog CLoginDlg"));
    EXPECT_EQ(bob.Command("get CLoginDlg 1017"), "ok 1 ");
    ASSERT_EQ(bob.Command("click-row CLoginDlg 0"), "ok");
    EXPECT_TRUE(bob.WaitUntil([&] { return bob.Command("get CLoginDlg 1017") == "ok 1 " + alice.Address(); }));
    ASSERT_EQ(bob.Command("press CLoginDlg 1"), "ok");
    EXPECT_TRUE(HasWindows(alice, {"Alice", "Bob"}));
    EXPECT_TRUE(HasWindows(bob, {"Alice", "Bob"}));
    EXPECT_TRUE(bob.List("dialogs") == std::vector<std::string>{});
}

TEST_F(SettingsTest, HelpModeShowsAButtonsTextAndTheGripResizesTheMainWindow)
{
    UsePortBlock(35);
    MorvikaInstance& alice = Create("Alice");
    alice.SetMainRect(40, 30, 400, 400);
    StartOptions options;
    options.port = 27450;
    ASSERT_TRUE(alice.Start(options));

    EXPECT_EQ(alice.Command("help 1032"), "ok");
    ASSERT_TRUE(alice.WaitForEvent("dialog CHelpDlg"));
    EXPECT_EQ(alice.Command("get CHelpDlg 1058"), "ok 1 ほかのソラネムに接続します");

    // A tiny drag gives the smallest frame: 320 x 309 from the window's corner.
    const auto before = SplitWords(alice.Command("geometry"));
    ASSERT_EQ(before.size(), 5u);
    const int left = std::stoi(before[1]);
    const int top = std::stoi(before[2]);
    EXPECT_EQ(alice.Command("resize " + std::to_string(left + 5) + " " + std::to_string(top + 5)), "ok");
    EXPECT_TRUE(alice.WaitUntil([&] {
        return alice.Command("geometry") == "ok " + std::to_string(left) + " " + std::to_string(top) + " 320 309";
    })) << alice.Command("geometry");
}

}  // namespace
}  // namespace e2e
