// Text chat between instances: a typed line reaches every other member once, a user alone
// keeps the line, and the input's edge cases arrive as the sender's history shows them.

#include "tests/e2e/E2eFixture.h"

#include "app/HalvoApp.h"
#include "app/SettingsValue.h"

namespace e2e {
namespace {

class ChatTest : public E2eTest {
protected:
    // Sends a marker line from sender and waits until every receiver has it: lines from one
    // sender arrive in order, so everything sent before the marker has arrived too.
    void Flush(MorvikaInstance& sender, std::initializer_list<MorvikaInstance*> receivers, const std::string& marker)
    {
        ASSERT_EQ(sender.Command("chat " + marker), "ok");
        const std::string line = sender.Label() + ">" + marker;
        for (MorvikaInstance* receiver : receivers) {
            ASSERT_TRUE(receiver->WaitForEvent("chat " + line).has_value()) << receiver->Label();
        }
    }
};

TEST_F(ChatTest, LineTypedInOneInstanceAppearsOnceAtBothOthers)
{
    UsePortBlock(21);
    MorvikaInstance* a = nullptr;
    MorvikaInstance* b = nullptr;
    MorvikaInstance* c = nullptr;
    ASSERT_NO_FATAL_FAILURE(StartThree(a, b, c));
    EXPECT_EQ(a->ChatVisible(), false);
    EXPECT_EQ(c->ChatVisible(), false);

    // Blanks, a ">" inside the text and Japanese survive the trip.
    const std::string line = "Bob>こんにちは > みなさん";
    ASSERT_EQ(b->Command("chat こんにちは > みなさん"), "ok");
    for (MorvikaInstance* receiver : {a, c}) {
        ASSERT_TRUE(receiver->WaitForEvent("chat " + line).has_value()) << receiver->Label();
        // A line arriving while the chat window is hidden shows it.
        EXPECT_EQ(receiver->ChatVisible(), true) << receiver->Label();
    }
    ASSERT_NO_FATAL_FAILURE(Flush(*b, {a, c}, "end-of-test"));

    for (MorvikaInstance* instance : {a, b, c}) {
        const auto history = instance->History();
        EXPECT_EQ(history, (std::vector<std::string>{line, "Bob>end-of-test"})) << instance->Label();
    }

    // The host's lines reach both guests the same way.
    ASSERT_EQ(a->Command("chat お疲れさま"), "ok");
    ASSERT_NO_FATAL_FAILURE(Flush(*a, {b, c}, "done"));
    for (MorvikaInstance* instance : {a, b, c}) {
        EXPECT_EQ(Count(instance->History(), "Alice>お疲れさま"), 1u) << instance->Label();
    }
}

TEST_F(ChatTest, AloneTheLineIsKeptAndNeverSentLater)
{
    UsePortBlock(22);
    MorvikaInstance& a = Spawn("Alice");
    ASSERT_EQ(a.Command("chat nobody here"), "ok");
    EXPECT_TRUE(a.WaitForEvent("chat Alice>nobody here").has_value());
    EXPECT_EQ(a.History(), (std::vector<std::string>{"Alice>nobody here"}));

    // Whoever joins later does not get the line typed while alone.
    MorvikaInstance& b = Spawn("Bob");
    ASSERT_TRUE(Join(b, a));
    ASSERT_TRUE(HasWindows(a, {"Alice", "Bob"}));
    ASSERT_NO_FATAL_FAILURE(Flush(a, {&b}, "now together"));
    EXPECT_EQ(b.History(), (std::vector<std::string>{"Alice>now together"}));
    EXPECT_EQ(a.History(), (std::vector<std::string>{"Alice>nobody here", "Alice>now together"}));
    EXPECT_EQ(b.ChatVisible(), true);
}

TEST_F(ChatTest, EmptyAndOverlongInput)
{
    UsePortBlock(23);
    MorvikaInstance& a = Spawn("Alice");
    MorvikaInstance& b = Spawn("Bob");
    ASSERT_TRUE(Join(b, a));
    ASSERT_TRUE(HasWindows(a, {"Alice", "Bob"}));

    // Enter on an empty input sends the name and ">" alone.
    ASSERT_EQ(a.Command("chat"), "ok");
    ASSERT_TRUE(b.WaitForEvent("chat Alice>").has_value());

    // The input holds at most 1024 characters (characters, not bytes).
    const std::string ascii(1024, 'x');
    ASSERT_EQ(a.Command("chat " + ascii + "yz"), "ok");
    std::string kana;
    for (int i = 0; i < 1030; ++i) kana += "あ";
    ASSERT_EQ(a.Command("chat " + kana), "ok");
    std::string kanaKept;
    for (int i = 0; i < 1024; ++i) kanaKept += "あ";
    ASSERT_NO_FATAL_FAILURE(Flush(a, {&b}, "last"));

    const std::vector<std::string> expected{"Alice>", "Alice>" + ascii, "Alice>" + kanaKept, "Alice>last"};
    EXPECT_EQ(a.History(), expected);
    EXPECT_EQ(b.History(), expected);
}

TEST_F(ChatTest, APeersNameAndLineCannotForgeControlChannelLines)
{
    UsePortBlock(38);
    MorvikaInstance& a = Spawn("Alice");
    MorvikaInstance& b = Create("Mallory");
    b.SetUserName("x\nok forged\\");
    ASSERT_TRUE(Launch(b));
    ASSERT_TRUE(Join(b, a));
    EXPECT_TRUE(a.WaitUntil([&] {
        const auto names = a.WindowNames();
        return std::find(names.begin(), names.end(), "x\\nok forged\\\\") != names.end();
    })) << "the name is written escaped";
    // A raw line break in the name's user-added event would have made "ok forged" the answer
    // to the next command.
    EXPECT_EQ(a.Command("ping"), "ok pong");

    // The chat command takes the rest of its line, a carriage return and an escape byte too.
    ASSERT_EQ(b.Command("chat a\rb\x1b[2Jc\\n"), "ok");
    const auto line = a.WaitForEvent("chat x\\nok forged\\\\>a");
    ASSERT_TRUE(line.has_value());
    EXPECT_TRUE(std::none_of(line->begin(), line->end(), [](char c) { return c >= 0 && c < 0x20; })) << *line;
    EXPECT_NE(line->find("c\\\\n"), std::string::npos) << "a backslash is written doubled: " << *line;
    EXPECT_EQ(a.Command("ping"), "ok pong");
}

TEST_F(ChatTest, FirstRunChatRectangleIsStoredAtExit)
{
    UsePortBlock(27);
    MorvikaInstance& a = Spawn("Alice");
    const std::string settings = a.SettingsFile();
    EXPECT_FALSE(CHalvoApp(settings).ReadSetting("Position/StringChat").isValid());

    ASSERT_EQ(a.Quit(), 0);
    // Never moved: the default 339 x 142 window around the work area's centre.
    const auto stored = SettingsValue::DecodeRect(CHalvoApp(settings).ReadSetting("Position/StringChat"));
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->right - stored->left, 339);
    EXPECT_EQ(stored->bottom - stored->top, 142);
    EXPECT_TRUE(SettingsValue::DecodeRect(CHalvoApp(settings).ReadSetting("Position/Main")).has_value());
}

}  // namespace
}  // namespace e2e
