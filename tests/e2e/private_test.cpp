// Private sessions between whole instances, seen from the network: a relay between joiner
// and host records every byte, and a relay that leads somewhere else stands for a man in
// the middle with a key of its own.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "tests/e2e/E2eFixture.h"

#include "app/HalvoApp.h"

namespace e2e {
namespace {

// Ports of this suite: 27550-27559, past the shared blocks.
constexpr int kPrivatePorts = 27550;

// Accepts on a port and joins each connection to the target's port, keeping a copy of
// everything that passes either way. The target may change between connections.
class RecordingRelay {
public:
    explicit RecordingRelay(std::uint16_t port)
    {
        m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int yes = 1;
        setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_ok =
            bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(m_listener, 8) == 0;
        m_port = port;
        if (m_ok) m_thread = std::thread([this] { Run(); });
    }
    ~RecordingRelay()
    {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        close(m_listener);
    }
    bool Ok() const { return m_ok; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }
    void SetTarget(std::uint16_t port) { m_target = port; }
    std::string Recorded() const
    {
        std::lock_guard lock(m_mutex);
        return m_recorded;
    }
    std::size_t Connections() const { return m_connections; }

private:
    void Run()
    {
        std::vector<std::pair<int, int>> links;  // (from joiner, to host)
        while (!m_stop) {
            std::vector<pollfd> fds{{m_listener, POLLIN, 0}};
            for (const auto& [a, b] : links) {
                fds.push_back({a, POLLIN, 0});
                fds.push_back({b, POLLIN, 0});
            }
            if (poll(fds.data(), fds.size(), 50) <= 0) continue;
            const std::size_t polled = links.size();  // a link accepted below has no poll entry yet
            if (fds[0].revents & POLLIN) {
                const int joiner = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
                const int host = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in address{};
                address.sin_family = AF_INET;
                address.sin_port = htons(m_target);
                address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                if (joiner >= 0 && connect(host, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                    links.emplace_back(joiner, host);
                    ++m_connections;
                } else {
                    if (joiner >= 0) close(joiner);
                    close(host);
                }
            }
            std::vector<std::pair<int, int>> open;
            for (std::size_t i = 0; i < links.size(); ++i) {
                const auto [a, b] = links[i];
                const bool alive = i >= polled || (Pass(fds[1 + 2 * i], a, b) && Pass(fds[2 + 2 * i], b, a));
                if (alive) {
                    open.emplace_back(a, b);
                } else {
                    close(a);
                    close(b);
                }
            }
            links = std::move(open);
        }
        for (const auto& [a, b] : links) {
            close(a);
            close(b);
        }
    }
    bool Pass(const pollfd& fd, int from, int to)
    {
        if (!(fd.revents & (POLLIN | POLLHUP | POLLERR))) return true;
        char buffer[65536];
        const ssize_t n = recv(from, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        {
            std::lock_guard lock(m_mutex);
            m_recorded.append(buffer, static_cast<std::size_t>(n));
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = send(to, buffer + done, static_cast<std::size_t>(n - done), MSG_NOSIGNAL);
            if (w <= 0) return false;
            done += w;
        }
        return true;
    }

    int m_listener = -1;
    bool m_ok = false;
    std::uint16_t m_port = 0;
    std::atomic<std::uint16_t> m_target{0};
    std::atomic<bool> m_stop{false};
    std::atomic<std::size_t> m_connections{0};
    mutable std::mutex m_mutex;
    std::string m_recorded;
    std::thread m_thread;
};

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool JoinThrough(MorvikaInstance& joiner, const RecordingRelay& relay, const std::string& password)
{
    const std::string done = "LOG   CPlayBoiceView::OnConnectComplete() ログイン完了 GrupID=";
    const std::size_t before = joiner.LogCount(done);
    const std::size_t boxes = joiner.Events("messagebox").size();
    if (joiner.Command("connect " + relay.Address() + " " + password) != "ok") return false;
    joiner.WaitUntil([&] { return joiner.LogCount(done) > before || joiner.Events("messagebox").size() > boxes; });
    return joiner.LogCount(done) > before;
}

class PrivateTest : public E2eTest {};

TEST_F(PrivateTest, NothingTheUsersSayCrossesTheNetworkInTheClear)
{
    UsePorts(kPrivatePorts, 4);
    const std::string password = "kumquat-7391";
    MorvikaInstance& alice = Spawn("Alisande", 0, password);
    MorvikaInstance& bob = Spawn("Bartholomew");
    RecordingRelay relay(kPrivatePorts + 8);
    ASSERT_TRUE(relay.Ok());
    relay.SetTarget(alice.ReadyPort());

    ASSERT_TRUE(JoinThrough(bob, relay, password));
    ASSERT_TRUE(HasWindows(alice, {"Alisande", "Bartholomew"}));
    ASSERT_TRUE(HasWindows(bob, {"Alisande", "Bartholomew"}));
    const std::string line = "the-plums-are-in-the-icebox";
    ASSERT_EQ(bob.Command("chat " + line), "ok");
    EXPECT_TRUE(alice.WaitUntil([&] {
        for (const auto& seen : alice.History()) {
            if (seen.find(line) != std::string::npos) return true;
        }
        return false;
    })) << "the chat line never arrived";
    const std::string picturePath = std::string(MORVIKA_SOURCE_DIR) + "/assets/Pictures/Sample/夜空.jpg";
    const std::string picture = ReadFile(picturePath);
    ASSERT_GT(picture.size(), 4096u);
    std::string bobIds;
    for (const auto& window : alice.Windows()) {
        if (window.name == "Bartholomew") bobIds = window.uid + " " + window.gid;
    }
    ASSERT_FALSE(bobIds.empty());
    ASSERT_EQ(bob.Command("still " + picturePath), "ok");
    EXPECT_TRUE(alice.WaitUntil([&] {
        const auto words = SplitWords(alice.Command("pictures " + bobIds));
        return words.size() == 4 && words[0] == "ok" && words[1] != "0";
    })) << "the picture never arrived";
    // Voice flowed meanwhile: both run with the test's sound server.
    const std::string recorded = relay.Recorded();
    EXPECT_GT(recorded.size(), picture.size());
    for (const std::string& secret : {password, std::string("Alisande"), std::string("Bartholomew"), line}) {
        EXPECT_EQ(recorded.find(secret), std::string::npos) << "'" << secret << "' crossed in the clear";
    }
    for (std::size_t at = 1024; at + 32 <= picture.size(); at += picture.size() / 8) {
        EXPECT_EQ(recorded.find(picture.substr(at, 32)), std::string::npos) << "picture bytes at " << at;
    }
}

TEST_F(PrivateTest, AnotherKeyAtAKnownAddressIsRefusedUntilTheUserAcceptsIt)
{
    UsePorts(kPrivatePorts + 4, 4);
    const std::string password = "kumquat-7391";
    MorvikaInstance& alice = Spawn("Alice", 0, password);
    MorvikaInstance& mallory = Spawn("Mallory", 0, password);
    MorvikaInstance& bob = Spawn("Bob");
    RecordingRelay relay(kPrivatePorts + 9);
    ASSERT_TRUE(relay.Ok());
    relay.SetTarget(alice.ReadyPort());
    ASSERT_TRUE(JoinThrough(bob, relay, password));
    ASSERT_EQ(bob.Command("leave"), "ok");
    ASSERT_TRUE(HasWindows(bob, {"Bob"}));

    // The address now leads to another key.
    relay.SetTarget(mallory.ReadyPort());
    const std::string aliceKey = SplitWords(alice.Command("identity")).at(1);
    const std::string malloryKey = SplitWords(mallory.Command("identity")).at(1);
    ASSERT_NE(aliceKey, malloryKey);
    EXPECT_FALSE(JoinThrough(bob, relay, password));
    const auto boxes = bob.Events("messagebox");
    ASSERT_FALSE(boxes.empty());
    EXPECT_NE(boxes.back().find(relay.Address()), std::string::npos) << boxes.back();
    EXPECT_NE(boxes.back().find(aliceKey), std::string::npos) << boxes.back();
    EXPECT_NE(boxes.back().find(malloryKey), std::string::npos) << boxes.back();
    EXPECT_FALSE(mallory.LogContains("CPlayBoiceView::OnIndicate()")) << "the request reached the other key";

    EXPECT_EQ(bob.Command("accept-key 127.0.0.1:1"), "error no refused key for that address");
    EXPECT_EQ(bob.Command("accept-key " + relay.Address()), "ok " + malloryKey);
    EXPECT_TRUE(JoinThrough(bob, relay, password));
    EXPECT_TRUE(HasWindows(bob, {"Bob", "Mallory"}));

    // The refusal's box asks the user: No keeps the key untrusted, Yes trusts it and joins.
    ASSERT_EQ(bob.Command("leave"), "ok");
    ASSERT_TRUE(HasWindows(bob, {"Bob"}));
    relay.SetTarget(alice.ReadyPort());
    for (const std::string answer : {"7", "6"}) {
        EXPECT_FALSE(JoinThrough(bob, relay, password));
        ASSERT_TRUE(bob.WaitForEvent("dialog MessageBox")) << answer;
        EXPECT_EQ(bob.Command("press MessageBox " + answer), "ok");
    }
    EXPECT_TRUE(HasWindows(bob, {"Alice", "Bob"})) << "Yes joins with the new key";
    EXPECT_EQ(CHalvoApp(bob.SettingsFile()).GetKnownHost(relay.Address()), aliceKey);
}

}  // namespace
}  // namespace e2e
