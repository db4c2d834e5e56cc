// Members and hosts in processes of their own that vanish: killed, or frozen so that their
// sockets stay open and only the keep-alive can tell.

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "PeerTestSupport.h"

extern char** environ;

namespace peer::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class CChild {
public:
    explicit CChild(std::vector<std::string> args)
    {
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        args.insert(args.begin(), PEER_MEMBER_HELPER);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, PEER_MEMBER_HELPER, &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        m_in = in[1];
        m_out = out[0];
    }
    ~CChild()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::kill(m_pid, SIGCONT);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_in);
        ::close(m_out);
    }
    // Reads "READY <port> <id>"; false on anything else or after the time-out.
    bool WaitReady(std::uint16_t& port, PlayerId& id, std::chrono::milliseconds timeout = 20s)
    {
        std::string line;
        const auto end = Clock::now() + timeout;
        while (Clock::now() < end) {
            pollfd p{m_out, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char c;
            if (::read(m_out, &c, 1) != 1) return false;
            if (c != '\n') {
                line.push_back(c);
                continue;
            }
            std::istringstream in(line);
            std::string word;
            unsigned p1 = 0, p2 = 0;
            in >> word >> p1 >> p2;
            port = static_cast<std::uint16_t>(p1);
            id = p2;
            return word == "READY" && id != 0;
        }
        return false;
    }
    void Signal(int signal) { ::kill(m_pid, signal); }
    bool Started() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
};

// Waits until every node has seen `player` destroyed; returns the time it took.
Clock::duration WaitAllDestroyed(const std::vector<CNode*>& nodes, PlayerId player)
{
    const auto start = Clock::now();
    for (CNode* node : nodes) {
        EXPECT_TRUE(node->recorder.WaitFor([&] { return node->recorder.HasDestroyed(player); }, 30s));
    }
    return Clock::now() - start;
}

void RunMemberVanishes(int signal, const std::vector<std::string>& helperFlags, ServiceOptions options,
                       Clock::duration bound)
{
    CNode host(options);
    const std::uint16_t port = host.Host();
    ASSERT_NE(port, 0);
    CNode a(options), b(options);
    ASSERT_EQ(a.JoinAndWait(port).result, DPN_OK);
    ASSERT_EQ(b.JoinAndWait(port).result, DPN_OK);
    std::vector<std::string> args{"join", std::to_string(port)};
    args.insert(args.end(), helperFlags.begin(), helperFlags.end());
    CChild child(args);
    ASSERT_TRUE(child.Started());
    std::uint16_t ignored;
    PlayerId childId = 0;
    ASSERT_TRUE(child.WaitReady(ignored, childId));
    ASSERT_TRUE(a.recorder.WaitFor([&] { return a.service.Players().size() == 4; }));
    ASSERT_TRUE(b.recorder.WaitFor([&] { return b.service.Players().size() == 4; }));

    child.Signal(signal);
    const auto took = WaitAllDestroyed({&host, &a, &b}, childId);
    EXPECT_LT(took, bound);
    // The others stay in the session.
    EXPECT_EQ(a.recorder.Count(DPN_MSGID_TERMINATE_SESSION), 0u);
    EXPECT_EQ(host.service.Players().size(), 3u);
    const Bytes data{7};
    ASSERT_EQ(a.service.SendTo(b.service.LocalPlayer(), data.data(), 1, 0ms, DPNSEND_PRIORITY_HIGH),
              DPNSUCCESS_PENDING);
    EXPECT_TRUE(b.recorder.WaitFor([&] { return b.Received(a.service.LocalPlayer(), data); }));
}

TEST(PeerProcess, KilledMemberIsDestroyedOnAllOthers)
{
    RunMemberVanishes(SIGKILL, {"--fast"}, FastOptions(), 10s);
}

TEST(PeerProcess, FrozenMemberIsDestroyedByTheKeepAlive)
{
    // Its socket stays open: only the silence gives it away.
    RunMemberVanishes(SIGSTOP, {"--fast"}, FastOptions(), 10s);
}

TEST(PeerProcess, FrozenMemberIsDestroyedWithinTenSecondsByDefault)
{
    RunMemberVanishes(SIGSTOP, {}, ServiceOptions{}, 10s);
}

void RunHostVanishes(int signal)
{
    CChild child({"host", "--fast"});
    ASSERT_TRUE(child.Started());
    std::uint16_t port = 0;
    PlayerId hostId = 0;
    ASSERT_TRUE(child.WaitReady(port, hostId));
    CNode a, b;
    ASSERT_EQ(a.JoinAndWait(port).result, DPN_OK);
    ASSERT_EQ(b.JoinAndWait(port).result, DPN_OK);
    ASSERT_TRUE(a.recorder.WaitFor([&] { return a.service.Players().size() == 3; }));

    child.Signal(signal);
    const auto start = Clock::now();
    for (CNode* node : {&a, &b}) {
        ASSERT_TRUE(node->recorder.WaitForCount(DPN_MSGID_TERMINATE_SESSION, 1, 30s));
        EXPECT_LT(Clock::now() - start, 10s);
        // Every player is destroyed, the host included, before the session ends.
        auto events = node->recorder.Events();
        std::size_t destroyed = 0;
        for (const Event& e : events) {
            if (e.id == DPN_MSGID_DESTROY_PLAYER) ++destroyed;
            if (e.id == DPN_MSGID_TERMINATE_SESSION) {
                EXPECT_EQ(destroyed, 3u);
                EXPECT_EQ(e.result, DPNERR_CONNECTIONLOST);
            }
        }
        EXPECT_TRUE(node->recorder.HasDestroyed(hostId));
        EXPECT_TRUE(node->service.Players().empty());
    }
}

TEST(PeerProcess, KilledHostEndsTheSession)
{
    RunHostVanishes(SIGKILL);
}

TEST(PeerProcess, FrozenHostEndsTheSession)
{
    RunHostVanishes(SIGSTOP);
}

}  // namespace
}  // namespace peer::test
