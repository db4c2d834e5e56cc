// Joining another instance's session: the password, the approval setting and its dialog, the
// refusal texts the joiner shows, and joining oneself.

#include "tests/e2e/E2eFixture.h"

namespace e2e {
namespace {

class ConnectTest : public E2eTest {};

const std::string kLoginDone = "LOG   CPlayBoiceView::OnConnectComplete() ログイン完了 GrupID=";

// The joiner after a refusal: a message box with the reason, back to "not joined", alone.
void ExpectRefused(MorvikaInstance& joiner, const std::string& text, const std::string& hexReply)
{
    const auto box = joiner.WaitForEvent("messagebox ");
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(*box, "messagebox ログイン " + text);
    EXPECT_TRUE(joiner.WaitForLog(CompleteLine(text, hexReply)));
    EXPECT_FALSE(joiner.LogContains(kLoginDone));
    EXPECT_EQ(joiner.State()["view"], "1");
}

TEST_F(ConnectTest, RightPasswordJoinsWithoutDialogWhenApprovalIsOff)
{
    UsePortBlock(0);
    MorvikaInstance& a = Spawn("Alice", 0, "s3cret");
    MorvikaInstance& b = Spawn("Bob");

    ASSERT_TRUE(Join(b, a, "s3cret", "hello"));
    EXPECT_TRUE(HasWindows(a, {"Alice", "Bob"}));
    EXPECT_TRUE(HasWindows(b, {"Alice", "Bob"}));
    EXPECT_TRUE(a.Events("approval").empty());
    EXPECT_TRUE(b.LogContains("LOG   CPlayBoiceView::OnConnect()　ログイン成功 \n"));
    EXPECT_TRUE(a.LogContains("LOG   CPlayBoiceView::OnIndicate() Name= Bob APP="));

    // The host knows itself and the guest; the joiner knows itself, plus the host and itself as
    // members of the host's session, whose group id is the host's user id there. The joiner's
    // own member entry has no window.
    auto hostState = a.State();
    auto joinerState = b.State();
    EXPECT_EQ(hostState["users"], "2");
    EXPECT_EQ(joinerState["users"], "3");
    EXPECT_EQ(joinerState["view"], "3");
    EXPECT_EQ(joinerState["windows"], "2");
    const auto peers = b.Peers();
    ASSERT_EQ(peers.size(), 3u);
    std::size_t members = 0;
    for (const auto& peer : peers) {
        if (peer.gid == hostState["uid"]) ++members;
        EXPECT_TRUE(peer.active) << peer.name;
    }
    EXPECT_EQ(members, 2u);
    std::size_t guests = 0;
    for (const auto& peer : a.Peers()) {
        if (peer.name == "Bob") {
            ++guests;
            EXPECT_TRUE(peer.ownSession);
        }
    }
    EXPECT_EQ(guests, 1u);
}

TEST_F(ConnectTest, WrongPasswordIsRefusedAndTheJoinerMayTryAgain)
{
    UsePortBlock(1);
    MorvikaInstance& a = Spawn("Alice", 0, "s3cret");
    MorvikaInstance& b = Spawn("Bob");

    // Passwords compare exactly: another case is another password.
    ASSERT_EQ(Connect(b, a, "S3cret", "hi"), "ok");
    ExpectRefused(b, "パスワードが違います", "3");
    EXPECT_TRUE(HasWindows(b, {"Bob"}));
    EXPECT_TRUE(HasWindows(a, {"Alice"}));
    EXPECT_TRUE(a.LogContains("LOG   CPlayBoiceView::OnIndicate() Name= Bob APP="));

    ASSERT_TRUE(Join(b, a, "s3cret", "hi"));
    EXPECT_TRUE(HasWindows(b, {"Alice", "Bob"}));
    EXPECT_TRUE(HasWindows(a, {"Alice", "Bob"}));
}

// After repeated wrong passwords the host refuses that address unheard for a while: its user
// reads why in the log, and the guesser is told it is blocked, not that this password is wrong.
TEST_F(ConnectTest, AGuesserIsToldItIsBlockedAndTheHostLogsIt)
{
    UsePorts(27620, 10);
    MorvikaInstance& a = Spawn("Alice", 0, "s3cret");
    MorvikaInstance& b = Spawn("Bob");
    for (int guess = 0; guess < 5; ++guess) {
        ASSERT_EQ(Connect(b, a, "guess" + std::to_string(guess), ""), "ok");
        ExpectRefused(b, "パスワードが違います", "3");
    }
    ASSERT_EQ(Connect(b, a, "s3cret", ""), "ok");
    ExpectRefused(b, "パスワードの誤りが続いたため、しばらく接続できません", "4");
    EXPECT_TRUE(a.WaitForLog("too many wrong passwords from "));
}

TEST_F(ConnectTest, EmptyPasswordSettingAcceptsOnlyAnEmptyPassword)
{
    UsePortBlock(2);
    MorvikaInstance& a = Spawn("Alice");
    MorvikaInstance& b = Spawn("Bob");

    ASSERT_EQ(Connect(b, a, "anything", ""), "ok");
    ExpectRefused(b, "パスワードが違います", "3");
    ASSERT_TRUE(Join(b, a));
    EXPECT_TRUE(HasWindows(a, {"Alice", "Bob"}));
}

TEST_F(ConnectTest, ApprovalDialogShowsCallerAndMessageAndAcceptJoins)
{
    UsePortBlock(3);
    MorvikaInstance& a = Spawn("Alice", 1);
    MorvikaInstance& b = Spawn("Bob");

    ASSERT_EQ(Connect(b, a, "", "こんにちは 今いい？"), "ok");
    const auto asked = a.WaitForEvent("approval ");
    ASSERT_TRUE(asked.has_value());
    EXPECT_EQ(*asked, "approval Bob こんにちは 今いい？");
    // While the host's user decides, the joiner waits in "joining".
    EXPECT_EQ(b.State()["view"], "2");
    EXPECT_TRUE(HasWindows(b, {"Bob"}));

    ASSERT_EQ(a.Command("approve accept"), "ok");
    EXPECT_TRUE(b.WaitForLog(kLoginDone));
    EXPECT_TRUE(HasWindows(a, {"Alice", "Bob"}));
    EXPECT_TRUE(HasWindows(b, {"Alice", "Bob"}));
    EXPECT_EQ(a.Command("approve accept"), "error no approval dialog");
    EXPECT_TRUE(b.Events("messagebox").empty());
}

struct Refusal {
    const char* answer;  // what the test answers in the dialog
    const char* text;    // what the joiner is shown
    const char* reply;   // the reply value in the joiner's log, hexadecimal
    int portBlock;
};

// Named in test listings by the answer alone.
void PrintTo(const Refusal& refusal, std::ostream* out)
{
    *out << refusal.answer;
}

class RefusalTest : public E2eTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusalTest, JoinerShowsTheReasonAndStaysAlone)
{
    const Refusal& refusal = GetParam();
    UsePortBlock(refusal.portBlock);
    MorvikaInstance& a = Spawn("Alice", 1);
    MorvikaInstance& b = Spawn("Bob");

    ASSERT_EQ(Connect(b, a, "", ""), "ok");
    ASSERT_TRUE(a.WaitForEvent("approval Bob").has_value());
    ASSERT_EQ(a.Command(std::string("approve ") + refusal.answer), "ok");
    ExpectRefused(b, refusal.text, refusal.reply);
    EXPECT_TRUE(HasWindows(b, {"Bob"}));
    EXPECT_TRUE(HasWindows(a, {"Alice"}));
    EXPECT_EQ(a.State()["users"], "1");
}

std::string RefusalName(const ::testing::TestParamInfo<Refusal>& info)
{
    static const char* const names[] = {"NotNow", "WillCallBack", "Busy", "NoAnswer"};
    return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(Reasons, RefusalTest,
                         ::testing::Values(Refusal{"refuse 0", "現在会話不可能", "3e8", 4},
                                           Refusal{"refuse 1", "後でこちらから連絡します", "3e9", 5},
                                           Refusal{"refuse 2", "ただいま多忙", "3ea", 6},
                                           Refusal{"timeout", "相手が不在のようです", "2", 7}),
                         RefusalName);

TEST_F(ConnectTest, UnansweredApprovalDialogGivesUpByItselfAfterThirtySeconds)
{
    UsePortBlock(28);
    MorvikaInstance& a = Spawn("Alice", 1);
    MorvikaInstance& b = Spawn("Bob");

    ASSERT_EQ(Connect(b, a, "", "anyone there?"), "ok");
    ASSERT_TRUE(a.WaitForEvent("approval Bob").has_value());
    const auto asked = std::chrono::steady_clock::now();
    const auto box = b.WaitForEvent("messagebox ", 90s);
    const auto waited = std::chrono::steady_clock::now() - asked;
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(*box, "messagebox ログイン 相手が不在のようです");
    EXPECT_TRUE(b.WaitForLog(CompleteLine("相手が不在のようです", "2")));
    // Not a time limit on the program: a dialog that gave up at once would be a fault.
    EXPECT_GE(waited, 25s);
    EXPECT_EQ(a.Command("approve accept"), "error no approval dialog");
    EXPECT_TRUE(HasWindows(a, {"Alice"}));
}

TEST_F(ConnectTest, ApprovalOnlyWhileHiddenAcceptsAtOnceWhenTheMainWindowIsVisible)
{
    UsePortBlock(8);
    MorvikaInstance& a = Spawn("Alice", 2);
    MorvikaInstance& b = Spawn("Bob");

    EXPECT_EQ(a.State()["hidden"], "0");
    ASSERT_TRUE(Join(b, a));
    EXPECT_TRUE(a.Events("approval").empty());
    EXPECT_TRUE(HasWindows(a, {"Alice", "Bob"}));
}

TEST_F(ConnectTest, ApprovalOnlyWhileHiddenAsksWhenHiddenAndShowsTheMainWindowAfterwards)
{
    UsePortBlock(9);
    MorvikaInstance& a = Spawn("Alice", 2);
    MorvikaInstance& b = Spawn("Bob");

    ASSERT_EQ(a.Command("hide"), "ok");
    EXPECT_EQ(a.State()["hidden"], "1");
    ASSERT_EQ(Connect(b, a, "", ""), "ok");
    ASSERT_TRUE(a.WaitForEvent("approval Bob").has_value());
    ASSERT_EQ(a.Command("approve accept"), "ok");
    EXPECT_TRUE(b.WaitForLog(kLoginDone));
    EXPECT_TRUE(HasWindows(a, {"Alice", "Bob"}));
    EXPECT_EQ(a.State()["hidden"], "0");
}

TEST_F(ConnectTest, StartedMinimizedWithApprovalWhileHiddenAsksAndIsShownEvenAfterARefusal)
{
    UsePortBlock(11);
    MorvikaInstance& a = Create("Alice");
    a.SetConnectCheck(2);
    StartOptions minimized;
    minimized.minimized = true;
    ASSERT_TRUE(Launch(a, minimized));
    MorvikaInstance& b = Spawn("Bob");

    EXPECT_EQ(a.State()["hidden"], "1");
    ASSERT_EQ(Connect(b, a, "", ""), "ok");
    ASSERT_TRUE(a.WaitForEvent("approval Bob").has_value());
    ASSERT_EQ(a.Command("approve refuse 2"), "ok");
    ExpectRefused(b, "ただいま多忙", "3ea");
    EXPECT_TRUE(a.WaitUntil([&] { return a.State()["hidden"] == "0"; }));
}

TEST_F(ConnectTest, JoiningTheOwnAddressIsRefusedLocally)
{
    UsePortBlock(10);
    MorvikaInstance& a = Spawn("Alice");
    const std::string ip = a.State()["ip"];
    ASSERT_FALSE(ip.empty());

    ASSERT_EQ(a.Command("connect " + ip + " - -"), "ok");
    const auto box = a.WaitForEvent("messagebox ");
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(*box, "messagebox 接続 自身への接続はできません");
    const std::string log = a.Log();
    const auto error = log.find("ERROR CPlayBoiceView::OnConnect() ログイン失敗 ERROR=");
    ASSERT_NE(error, std::string::npos);
    EXPECT_NE(log.find(" " + ip + " \n", error), std::string::npos);
    EXPECT_EQ(log.find("ログイン成功"), std::string::npos);
    EXPECT_EQ(a.State()["view"], "1");
    EXPECT_TRUE(HasWindows(a, {"Alice"}));
}

TEST_F(ConnectTest, EveryAddressOfThisMachineWithTheOwnPortIsRefusedButOtherPortsJoin)
{
    UsePortBlock(40);
    MorvikaInstance& a = Spawn("Alice");
    MorvikaInstance& b = Spawn("Bob");
    const std::string port = std::to_string(a.ReadyPort());
    char hostName[256] = {};
    ASSERT_EQ(gethostname(hostName, sizeof hostName - 1), 0);

    for (const std::string& address :
         std::vector<std::string>{"127.0.0.1:" + port, "127.0.0.1", "localhost", "[::1]:" + port,
                                  std::string(hostName) + ":" + port, a.State()["ip"] + ":" + port}) {
        ASSERT_EQ(a.Command("connect " + address + " - -"), "ok") << address;
        const auto box = a.WaitForEvent("messagebox ");
        ASSERT_TRUE(box.has_value()) << address;
        EXPECT_EQ(*box, "messagebox 接続 自身への接続はできません") << address;
        EXPECT_EQ(a.State()["view"], "1") << address;
    }
    EXPECT_EQ(a.Log().find("ログイン成功"), std::string::npos);
    EXPECT_TRUE(HasWindows(a, {"Alice"}));

    // Another instance on this machine is another session.
    ASSERT_TRUE(Join(a, b));
    EXPECT_TRUE(HasWindows(a, {"Alice", "Bob"}));
}

}  // namespace
}  // namespace e2e
