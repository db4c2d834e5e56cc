// Joining over IPv6: a literal address in the login dialog and with --connect, and a host name
// that resolves to IPv6 first from the address book; the host's key is pinned under the
// bracketed address. The instances run in a namespace of their own whose hosts file names
// ::1 (ip netns exec puts /etc/netns/<name>/hosts in place of /etc/hosts).

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "app/HalvoApp.h"
#include "tests/e2e/E2eFixture.h"

namespace e2e {
namespace {

constexpr int kIpv6Ports = 27700;

class Ipv6Namespace {
public:
    Ipv6Namespace()
    {
        std::random_device random;
        m_name = "mvk-reach-v6-" + std::to_string(getpid()) + "-" + std::to_string(random() % 100000);
        m_etc = "/etc/netns/" + m_name;
        std::filesystem::create_directories(m_etc);
        std::ofstream(m_etc + "/hosts") << "::1 v6only-host\n::1 v6first-host\n127.0.0.1 v6first-host\n"
                                        << "127.0.0.1 localhost\n";
        m_up = RunCommand({"/usr/sbin/ip", "netns", "add", m_name}).has_value() &&
               RunCommand({"/usr/sbin/ip", "-n", m_name, "link", "set", "lo", "up"}).has_value();
    }
    ~Ipv6Namespace()
    {
        RunCommand({"/usr/sbin/ip", "netns", "del", m_name});
        std::error_code ignored;
        std::filesystem::remove_all(m_etc, ignored);
    }
    bool Up() const { return m_up; }
    std::vector<std::string> Prefix() const { return {"/usr/sbin/ip", "netns", "exec", m_name}; }

private:
    std::string m_name;
    std::string m_etc;
    bool m_up = false;
};

class Ipv6Test : public E2eTest {
protected:
    MorvikaInstance& StartIn(const Ipv6Namespace& ns, const std::string& name, StartOptions options = {})
    {
        MorvikaInstance& instance = Create(name);
        instance.SetConnectCheck(0);
        options.commandPrefix = ns.Prefix();
        EXPECT_TRUE(Launch(instance, options)) << name;
        return instance;
    }
};

const std::string kLoginDone = "LOG   CPlayBoiceView::OnConnectComplete() ログイン完了 GrupID=";

TEST_F(Ipv6Test, LiteralAndNameResolvingToIpv6JoinFromDialogCommandLineAndAddressBook)
{
    if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    UsePorts(kIpv6Ports, 5);
    Ipv6Namespace ns;
    ASSERT_TRUE(ns.Up());
    MorvikaInstance& alice = StartIn(ns, "Alice");
    const std::string port = std::to_string(alice.Port());

    // The login dialog, typed.
    MorvikaInstance& bob = StartIn(ns, "Bob");
    ASSERT_EQ(bob.Command("press main 1032"), "ok");
    ASSERT_TRUE(bob.WaitForEvent("dialog CLoginDlg"));
    ASSERT_EQ(bob.Command("type CLoginDlg 1017 [::1]:" + port), "ok");
    ASSERT_EQ(bob.Command("press CLoginDlg 1"), "ok");
    ASSERT_TRUE(bob.WaitForLog(kLoginDone));
    EXPECT_FALSE(CHalvoApp(bob.SettingsFile()).GetKnownHost("[::1]:" + port).empty());

    // --connect with a bracketed literal.
    StartOptions joining;
    joining.connect = "[::1]:" + port;
    MorvikaInstance& carol = StartIn(ns, "Carol", joining);
    ASSERT_TRUE(carol.WaitForLog(kLoginDone));

    // The address book, with names that resolve to IPv6 only and to IPv6 first.
    MorvikaInstance& dave = StartIn(ns, "Dave");
    ASSERT_EQ(dave.Command("press main 1032"), "ok");
    ASSERT_TRUE(dave.WaitForEvent("dialog CLoginDlg"));
    ASSERT_EQ(dave.Command("press CLoginDlg 1021"), "ok");
    ASSERT_TRUE(dave.WaitForEvent("dialog CDlgAddressUpdate"));
    ASSERT_EQ(dave.Command("type CDlgAddressUpdate 1017 あいこ"), "ok");
    ASSERT_EQ(dave.Command("type CDlgAddressUpdate 1018 Alice"), "ok");
    ASSERT_EQ(dave.Command("type CDlgAddressUpdate 1019 v6first-host:" + port), "ok");
    ASSERT_EQ(dave.Command("press CDlgAddressUpdate 1"), "ok");
    // The press runs after its answer, and the list is reloaded only once the editor has closed;
    // the click, too, comes just after its answer.
    ASSERT_TRUE(dave.WaitUntil([&] { return dave.Command("click-row CLoginDlg 0") == "ok"; }));
    EXPECT_TRUE(dave.WaitUntil([&] { return dave.Command("get CLoginDlg 1017") == "ok 1 v6first-host:" + port; }));
    ASSERT_EQ(dave.Command("press CLoginDlg 1"), "ok");
    ASSERT_TRUE(dave.WaitForLog(kLoginDone));
    EXPECT_TRUE(HasWindows(alice, {"Alice", "Bob", "Carol", "Dave"}));

    MorvikaInstance& erin = StartIn(ns, "Erin");
    ASSERT_EQ(erin.Command("connect v6only-host:" + port + " -"), "ok");
    ASSERT_TRUE(erin.WaitForLog(kLoginDone));
    EXPECT_TRUE(HasWindows(erin, {"Alice", "Bob", "Carol", "Dave", "Erin"}));
}

}  // namespace
}  // namespace e2e
