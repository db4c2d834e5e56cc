#pragma once
// A test case's instances of the program: each case takes its own block of ten ports and
// gives every instance a fresh profile; on failure the logs of all instances are printed.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/MorvikaInstance.h"

namespace e2e {

// The test ports of this suite: 27100-27549, blocks of ten, one per case (cases run in
// parallel). Block 29 belongs to the screenshot driver and 30-33 (27400-27439) to the video
// tests; the settings and dialog cases take 34-37, the control channel's escaping 38, the
// session faults 39-41 and the shared files tests 42-44.
inline constexpr int kFirstPort = 27100;
inline constexpr int kBlockSize = 10;
inline constexpr int kBlocks = 45;

// The log line of a finished connect attempt, as the joiner writes it.
inline std::string CompleteLine(const std::string& text, const std::string& hexReply)
{
    return "LOG   CPlayBoiceView::OnConnectComplete() " + text + " GrupID=" + hexReply + " \n";
}

class E2eTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        // The program's own faults count even where the behaviour looked right.
        for (const auto& instance : m_instances) {
            const std::string report = instance->SanitizerReport();
            EXPECT_TRUE(report.empty()) << instance->Label() << " reported:\n" << report;
        }
        if (HasFailure()) {
            for (const auto& instance : m_instances) std::cerr << instance->Diagnostics();
        }
        // Destroyed in reverse order of creation: kills what still runs, removes the profiles.
        while (!m_instances.empty()) m_instances.pop_back();
    }

    // Chooses the case's block of ports; every case uses a different block.
    void UsePortBlock(int block)
    {
        ASSERT_GE(block, 0);
        ASSERT_LT(block, kBlocks);
        m_nextPort = kFirstPort + block * kBlockSize;
        m_endPort = m_nextPort + kBlockSize;
    }

    // A range of ports outside the shared blocks, for suites that keep their own.
    void UsePorts(int first, int count)
    {
        m_nextPort = first;
        m_endPort = first + count;
    }

    // A new instance whose settings may still be changed before Launch.
    MorvikaInstance& Create(const std::string& name)
    {
        m_instances.push_back(std::make_unique<MorvikaInstance>(name));
        return *m_instances.back();
    }

    // Starts the instance on the next free port of the block. A port taken meanwhile by some
    // other process leaves the program without a session (it reports port 0): try the next.
    bool Launch(MorvikaInstance& instance, StartOptions options = {})
    {
        for (;;) {
            options.port = NextFreePort();
            if (options.port == 0) {
                ADD_FAILURE() << "no free port left in the block";
                return false;
            }
            if (!instance.Start(options)) return false;
            if (instance.ReadyPort() == options.port) return true;
            instance.Kill();
        }
    }

    // Creates and starts in one go, the approval setting 0 unless said otherwise.
    MorvikaInstance& Spawn(const std::string& name, int connectCheck = 0, const std::string& password = {})
    {
        MorvikaInstance& instance = Create(name);
        instance.SetConnectCheck(connectCheck);
        instance.SetPassword(password);
        EXPECT_TRUE(Launch(instance)) << name << " did not start";
        return instance;
    }

    // `connect` from joiner to host's session; true once the joiner logged a successful completion.
    // A refusal (a message box) ends the wait early.
    static bool Join(MorvikaInstance& joiner, const MorvikaInstance& host, const std::string& password = {},
                     const std::string& message = {})
    {
        const std::string done = "LOG   CPlayBoiceView::OnConnectComplete() ログイン完了 GrupID=";
        const std::size_t before = joiner.LogCount(done);
        const std::size_t boxes = joiner.Events("messagebox").size();
        if (Connect(joiner, host, password, message) != "ok") return false;
        joiner.WaitUntil([&] { return joiner.LogCount(done) > before || joiner.Events("messagebox").size() > boxes; });
        return joiner.LogCount(done) > before;
    }

    static std::string Connect(MorvikaInstance& joiner, const MorvikaInstance& host, const std::string& password,
                               const std::string& message)
    {
        // The message takes the rest of the line; an empty one is left out.
        std::string line = "connect " + host.Address() + " " + (password.empty() ? "-" : password);
        if (!message.empty()) line += " " + message;
        return joiner.Command(line);
    }

    // Waits until the instance's user windows bear exactly these names.
    static ::testing::AssertionResult HasWindows(MorvikaInstance& instance, std::vector<std::string> names,
                                                 Duration timeout = kEventTimeout)
    {
        std::sort(names.begin(), names.end());
        std::vector<std::string> seen;
        instance.WaitUntil(
            [&] {
                seen = instance.WindowNames();
                return seen == names;
            },
            timeout);
        if (seen == names) return ::testing::AssertionSuccess();
        std::string text;
        for (const auto& name : seen) text += " '" + name + "'";
        return ::testing::AssertionFailure() << instance.Label() << " shows windows:" << text;
    }

    // Alice hosts, Bob and Carol join her session; every instance shows all three.
    void StartThree(MorvikaInstance*& a, MorvikaInstance*& b, MorvikaInstance*& c)
    {
        a = &Spawn("Alice");
        b = &Spawn("Bob");
        c = &Spawn("Carol");
        ASSERT_TRUE(Join(*b, *a));
        ASSERT_TRUE(Join(*c, *a));
        for (MorvikaInstance* instance : {a, b, c}) {
            ASSERT_TRUE(HasWindows(*instance, {"Alice", "Bob", "Carol"}));
        }
    }

    static std::size_t Count(const std::vector<std::string>& lines, const std::string& line)
    {
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
    }

private:
    std::uint16_t NextFreePort()
    {
        while (m_nextPort < m_endPort) {
            const int port = m_nextPort++;
            if (PortIsFree(port)) return static_cast<std::uint16_t>(port);
        }
        return 0;
    }

    static bool PortIsFree(int port)
    {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        const int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        const bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        return free;
    }

    std::vector<std::unique_ptr<MorvikaInstance>> m_instances;
    int m_nextPort = 0;
    int m_endPort = 0;
};

}  // namespace e2e
