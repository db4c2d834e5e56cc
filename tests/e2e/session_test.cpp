// Sessions of several instances: who appears where, kicking, leaving, the voice start message
// that stays in the session view, and members that vanish or quit.

#include "tests/e2e/E2eFixture.h"

namespace e2e {
namespace {

class SessionTest : public E2eTest {
protected:
    void StartThree() { E2eTest::StartThree(m_a, m_b, m_c); }

    static std::optional<UserWindow> WindowOf(MorvikaInstance& instance, const std::string& name)
    {
        for (const auto& window : instance.Windows()) {
            if (window.name == name) return window;
        }
        return std::nullopt;
    }

    MorvikaInstance* m_a = nullptr;
    MorvikaInstance* m_b = nullptr;
    MorvikaInstance* m_c = nullptr;
};

TEST_F(SessionTest, ThirdInstanceJoiningFromTheCommandLineAppearsAtBothOthers)
{
    UsePortBlock(16);
    MorvikaInstance& a = Spawn("Alice", 0, "pw");
    StartOptions join;
    join.connect = a.Address();
    join.password = "pw";
    join.message = "hi";
    MorvikaInstance& b = Create("Bob");
    ASSERT_TRUE(Launch(b, join));
    ASSERT_TRUE(HasWindows(a, {"Alice", "Bob"}));
    ASSERT_TRUE(HasWindows(b, {"Alice", "Bob"}));

    MorvikaInstance& c = Create("Carol");
    ASSERT_TRUE(Launch(c, join));
    EXPECT_TRUE(HasWindows(a, {"Alice", "Bob", "Carol"}));
    EXPECT_TRUE(HasWindows(b, {"Alice", "Bob", "Carol"}));
    EXPECT_TRUE(HasWindows(c, {"Alice", "Bob", "Carol"}));

    // Bob, already joined, hears of Carol at once; Carol learns the members while joining.
    const auto carolAtBob = WindowOf(b, "Carol");
    ASSERT_TRUE(carolAtBob.has_value());
    EXPECT_TRUE(b.LogContains("LOG   CPlayBoiceView::OnAddPlayerClient() UserID=" + carolAtBob->uid +
                              " GrupID=" + carolAtBob->gid + "  Stat=3 \n"));
    const auto bobAtCarol = WindowOf(c, "Bob");
    ASSERT_TRUE(bobAtCarol.has_value());
    EXPECT_TRUE(c.LogContains("LOG   CPlayBoiceView::OnAddPlayerClient() UserID=" + bobAtCarol->uid + " GrupID="));
    EXPECT_TRUE(c.LogContains(" Stat=2 \n"));
    EXPECT_EQ(c.State()["users"], "4");  // own, and Alice, Bob and itself in Alice's session
}

TEST_F(SessionTest, KickingAGuestRemovesItEverywhere)
{
    UsePortBlock(12);
    ASSERT_NO_FATAL_FAILURE(StartThree());
    const auto bob = WindowOf(*m_a, "Bob");
    ASSERT_TRUE(bob.has_value());

    ASSERT_EQ(m_a->Command("kick " + bob->uid + " " + bob->gid), "ok");
    EXPECT_TRUE(
        m_a->WaitForLog("LOG   CHalvoDlg::KillUser() ユーザの切断 UserID=" + bob->uid + " GrupID=" + bob->gid + "\n"));
    EXPECT_TRUE(HasWindows(*m_a, {"Alice", "Carol"}));
    EXPECT_TRUE(HasWindows(*m_c, {"Alice", "Carol"}));
    EXPECT_TRUE(HasWindows(*m_b, {"Bob"}));
    EXPECT_EQ(m_a->Command("kick " + bob->uid + " " + bob->gid), "error no such window");
}

TEST_F(SessionTest, KickingTheOwnWindowDestroysEveryGuest)
{
    UsePortBlock(13);
    ASSERT_NO_FATAL_FAILURE(StartThree());
    auto self = m_a->State();

    ASSERT_EQ(m_a->Command("kick " + self["uid"] + " " + self["gid"]), "ok");
    EXPECT_TRUE(HasWindows(*m_a, {"Alice"}));
    EXPECT_TRUE(HasWindows(*m_b, {"Bob"}));
    EXPECT_TRUE(HasWindows(*m_c, {"Carol"}));
    EXPECT_EQ(m_a->State()["users"], "1");
}

TEST_F(SessionTest, LeavingAJoinedSessionAndJoiningAgain)
{
    UsePortBlock(14);
    MorvikaInstance& a = Spawn("Alice");
    MorvikaInstance& b = Spawn("Bob");
    ASSERT_TRUE(Join(b, a));
    ASSERT_TRUE(HasWindows(a, {"Alice", "Bob"}));

    ASSERT_EQ(b.Command("leave"), "ok");
    EXPECT_TRUE(HasWindows(b, {"Bob"}));
    EXPECT_TRUE(HasWindows(a, {"Alice"}));
    EXPECT_EQ(b.State()["view"], "1");
    EXPECT_TRUE(b.WaitUntil([&] { return b.State()["users"] == "1"; }));

    ASSERT_TRUE(Join(b, a));
    EXPECT_TRUE(HasWindows(a, {"Alice", "Bob"}));
    EXPECT_TRUE(HasWindows(b, {"Alice", "Bob"}));
}

TEST_F(SessionTest, KickingTheJoinedHostLeavesItsSession)
{
    UsePortBlock(15);
    ASSERT_NO_FATAL_FAILURE(StartThree());
    const auto alice = WindowOf(*m_b, "Alice");
    ASSERT_TRUE(alice.has_value());

    ASSERT_EQ(m_b->Command("kick " + alice->uid + " " + alice->gid), "ok");
    EXPECT_TRUE(HasWindows(*m_b, {"Bob"}));
    EXPECT_TRUE(HasWindows(*m_a, {"Alice", "Carol"}));
    EXPECT_TRUE(HasWindows(*m_c, {"Alice", "Carol"}));
    EXPECT_EQ(m_b->State()["view"], "1");
}

TEST_F(SessionTest, VoiceStartMessagesStayInTheSessionView)
{
    UsePortBlock(17);
    MorvikaInstance& a = Spawn("Alice");
    MorvikaInstance& b = Spawn("Bob");
    ASSERT_TRUE(Join(b, a));
    const auto bobAtAlice = WindowOf(a, "Bob");
    const auto aliceAtBob = WindowOf(b, "Alice");
    ASSERT_TRUE(bobAtAlice.has_value());
    ASSERT_TRUE(aliceAtBob.has_value());

    // Each side's new user window sends the other a voice start message (kind 130); the
    // receiving session view logs it and marks the sender, nothing else happens with it.
    EXPECT_TRUE(a.WaitForLog("LOG   CPlayBoiceView::OnComeMsg() UserID=" + bobAtAlice->uid +
                             " GrupID=" + bobAtAlice->gid + " 引数="));
    EXPECT_TRUE(b.WaitForLog("LOG   CPlayBoiceView::OnComeMsgClient() UserID=" + aliceAtBob->uid +
                             " GrupID=" + aliceAtBob->gid + " 引数="));
    EXPECT_TRUE(a.LogContains("LOG   CPlayBoiceView::SendMesseage() 音声開始メッセージを送信した UserID = "));
    EXPECT_TRUE(b.LogContains("LOG   CPlayBoiceView::SendMesseage() 音声開始メッセージを送信した UserID = "));
    EXPECT_TRUE(a.WaitUntil([&] {
        for (const auto& peer : a.Peers()) {
            if (peer.name == "Bob" && peer.voiceStarted) return true;
        }
        return false;
    }));
    EXPECT_TRUE(b.WaitUntil([&] {
        for (const auto& peer : b.Peers()) {
            if (peer.name == "Alice" && peer.gid == aliceAtBob->gid && peer.voiceStarted) return true;
        }
        return false;
    }));

    // Had the main window dispatched it, the four payload bytes would have been taken for
    // something: a chat line, a picture, a shared files list.
    for (MorvikaInstance* instance : {&a, &b}) {
        EXPECT_TRUE(instance->History().empty()) << instance->Label();
        EXPECT_EQ(instance->ChatVisible(), false) << instance->Label();
        EXPECT_TRUE(instance->Events("chat").empty()) << instance->Label();
        EXPECT_TRUE(instance->Events("messagebox").empty()) << instance->Label();
    }
}

TEST_F(SessionTest, KilledMemberDisappearsFromTheOthers)
{
    UsePortBlock(18);
    ASSERT_NO_FATAL_FAILURE(StartThree());
    const auto carol = WindowOf(*m_a, "Carol");
    ASSERT_TRUE(carol.has_value());

    m_c->Kill();
    EXPECT_TRUE(HasWindows(*m_a, {"Alice", "Bob"}, 30s));
    EXPECT_TRUE(HasWindows(*m_b, {"Alice", "Bob"}, 30s));
    EXPECT_TRUE(m_a->LogContains("LOG   CHalvoDlg::DeleteUser() ユーザの削除 UserID=" + carol->uid +
                                 " GrupID=" + carol->gid + "\n"));
    EXPECT_EQ(m_a->State()["users"], "2");
}

TEST_F(SessionTest, FrozenMemberIsDroppedOnceItsLinkFallsSilent)
{
    UsePortBlock(25);
    ASSERT_NO_FATAL_FAILURE(StartThree());

    // A stopped process keeps its sockets open: only the silence of its link gives it away.
    m_c->Freeze();
    EXPECT_TRUE(HasWindows(*m_a, {"Alice", "Bob"}, 30s));
    EXPECT_TRUE(HasWindows(*m_b, {"Alice", "Bob"}, 30s));
    m_c->Kill();
}

TEST_F(SessionTest, UsersJoiningWhileTheMainWindowIsHiddenGetWindows)
{
    UsePortBlock(26);
    MorvikaInstance& a = Spawn("Alice");
    MorvikaInstance& b = Spawn("Bob");
    ASSERT_EQ(a.Command("hide"), "ok");

    ASSERT_TRUE(Join(b, a));
    EXPECT_TRUE(a.Events("approval").empty());
    EXPECT_TRUE(HasWindows(a, {"Alice", "Bob"}));
    EXPECT_EQ(a.State()["hidden"], "1");
    ASSERT_EQ(a.Command("show"), "ok");
    EXPECT_EQ(a.State()["hidden"], "0");
    EXPECT_TRUE(HasWindows(a, {"Alice", "Bob"}));
}

TEST_F(SessionTest, KilledHostLeavesItsMembersAlone)
{
    UsePortBlock(19);
    ASSERT_NO_FATAL_FAILURE(StartThree());

    m_a->Kill();
    EXPECT_TRUE(HasWindows(*m_b, {"Bob"}, 30s));
    EXPECT_TRUE(HasWindows(*m_c, {"Carol"}, 30s));
    // Each member is told, with the host's name.
    for (MorvikaInstance* member : {m_b, m_c}) {
        const auto box = member->WaitForEvent("messagebox セッション終了 ");
        ASSERT_TRUE(box.has_value()) << member->Label();
        EXPECT_NE(box->find("Alice さん（" + m_a->Address() + "）との接続が切れました"), std::string::npos) << *box;
    }
    // The members still host their own sessions: Carol can join Bob's.
    ASSERT_TRUE(Join(*m_c, *m_b));
    EXPECT_TRUE(HasWindows(*m_b, {"Bob", "Carol"}));
}

TEST_F(SessionTest, QuittingMemberEndsCleanlyAndLeaves)
{
    UsePortBlock(20);
    MorvikaInstance& a = Spawn("Alice");
    MorvikaInstance& b = Spawn("Bob");
    ASSERT_TRUE(Join(b, a));
    ASSERT_TRUE(HasWindows(a, {"Alice", "Bob"}));

    EXPECT_EQ(b.Quit(), 0);
    EXPECT_TRUE(HasWindows(a, {"Alice"}));
    EXPECT_EQ(a.Command("ping"), "ok pong");
}

TEST_F(SessionTest, QuittingHostEndsCleanlyAndItsMembersAreLeftAlone)
{
    UsePortBlock(24);
    ASSERT_NO_FATAL_FAILURE(StartThree());
    // A line received opens the host's chat window; an open window must not hold up the exit.
    ASSERT_EQ(m_b->Command("chat bye"), "ok");
    ASSERT_TRUE(m_a->WaitForEvent("chat Bob>bye").has_value());
    ASSERT_EQ(m_a->ChatVisible(), true);

    EXPECT_EQ(m_a->Quit(), 0);
    EXPECT_TRUE(HasWindows(*m_b, {"Bob"}));
    EXPECT_TRUE(HasWindows(*m_c, {"Carol"}));
}

TEST_F(SessionTest, TakenSessionPortIsReportedNotSilentlyIgnored)
{
    UsePortBlock(41);
    const int port = kFirstPort + 41 * kBlockSize;
    // Some other program already listens on the session port.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(fd, 4), 0);

    MorvikaInstance& a = Create("Alice");
    StartOptions options;
    options.port = static_cast<std::uint16_t>(port);
    const bool started = a.Start(options);
    close(fd);
    ASSERT_TRUE(started);
    EXPECT_EQ(a.ReadyPort(), 0);
    const auto failed = a.Events("host-failed");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0], "host-failed " + std::to_string(port) + " Address already in use");
    const auto boxes = a.Events("messagebox ホスト ");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find(std::to_string(port)), std::string::npos) << boxes[0];
    EXPECT_NE(boxes[0].find("Address already in use"), std::string::npos) << boxes[0];
    EXPECT_TRUE(a.LogContains("ERROR CPlayBoiceView::Start() ホスト失敗 PORT=" + std::to_string(port) +
                              " Address already in use \n"));
    // The program itself runs on: the user may still join others.
    EXPECT_EQ(a.Command("ping"), "ok pong");
}

TEST_F(SessionTest, NewUserWindowsLeaveTheOthersWhereTheyAre)
{
    UsePortBlock(39);
    MorvikaInstance& a = Spawn("Alice");
    MorvikaInstance& b = Spawn("Bob");
    const auto own = a.State();
    ASSERT_EQ(a.Command("where " + own.at("uid") + " " + own.at("gid")), "ok 0 32");

    ASSERT_TRUE(Join(b, a));
    ASSERT_TRUE(HasWindows(a, {"Alice", "Bob"}));
    EXPECT_EQ(a.Command("where " + own.at("uid") + " " + own.at("gid")), "ok 0 32");
    for (const auto& window : a.Windows()) {
        if (window.name != "Bob") continue;
        // Beside the own window, not on top of it.
        const std::string place = a.Command("where " + window.uid + " " + window.gid);
        EXPECT_NE(place, "ok 0 32");
        EXPECT_EQ(place.rfind("ok ", 0), 0u) << place;
    }
    // Tiling is the user's choice.
    ASSERT_EQ(a.Command("arrange"), "ok");
    EXPECT_EQ(a.Command("where " + own.at("uid") + " " + own.at("gid")), "ok 4 32");
}

}  // namespace
}  // namespace e2e
