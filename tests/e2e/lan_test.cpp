// Sessions found on the LAN: two instances on one link with an avahi daemon of their own (on a
// private system bus, in a network namespace and with a private /run), the announcement read
// back with avahi's own browser, joining and adding to the address book from the login dialog;
// and an instance without any daemon, whose list stays empty.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "app/AddressData.h"
#include "app/HalvoApp.h"
#include "tests/e2e/E2eFixture.h"

namespace e2e {
namespace {

constexpr int kLanPorts = 27710;
constexpr const char* kIpTool = "/usr/sbin/ip";

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// One link (a veth pair inside one namespace, so that mDNS has an interface that is not the
// loopback) with dbus-daemon and avahi-daemon on it.
class LanNetwork {
public:
    static std::string Unavailable()
    {
        if (geteuid() != 0) return "network namespaces need root";
        for (const char* tool : {kIpTool, "/usr/bin/dbus-daemon", "/usr/sbin/avahi-daemon", "/usr/bin/avahi-browse"}) {
            if (access(tool, X_OK) != 0) return std::string(tool) + " is missing (tools/setup.sh installs it)";
        }
        return {};
    }

    LanNetwork()
    {
        std::random_device random;
        m_name = "mvk-reach-lan-" + std::to_string(getpid()) + "-" + std::to_string(random() % 100000);
        m_folder = std::filesystem::temp_directory_path() / m_name;
        std::filesystem::create_directories(m_folder);
        Run({kIpTool, "netns", "add", m_name});
        Run({kIpTool, "-n", m_name, "link", "set", "lo", "up"});
        Run({kIpTool, "-n", m_name, "link", "add", "mv0", "type", "veth", "peer", "name", "mv1"});
        Run({kIpTool, "-n", m_name, "addr", "add", "10.67.0.1/24", "dev", "mv0"});
        Run({kIpTool, "-n", m_name, "addr", "add", "10.67.0.2/24", "dev", "mv1"});
        Run({kIpTool, "-n", m_name, "link", "set", "mv0", "up"});
        Run({kIpTool, "-n", m_name, "link", "set", "mv1", "up"});
        std::ofstream(m_folder + "/bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\" "
               "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            << "<busconfig><type>system</type><listen>unix:path=" << m_folder << "/bus</listen>"
            << "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
            << "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
        std::ofstream(m_folder + "/avahi.conf") << "[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=mv0\n"
                                                << "[publish]\npublish-hinfo=no\npublish-workstation=no\n";
        if (!m_error.empty()) return;
        auto in = Prefix();
        std::vector<std::string> bus = in;
        bus.insert(bus.end(),
                   {"/usr/bin/dbus-daemon", "--config-file=" + m_folder + "/bus.conf", "--nofork", "--nopidfile"});
        if (!m_bus.Start(bus, {}, {}, m_folder + "/dbus.log") || !WaitFor([&] { return Exists("/bus"); })) {
            m_error = "dbus-daemon did not start: " + ReadText(m_folder + "/dbus.log");
            return;
        }
        // avahi-daemon keeps its pid file and socket in /run/avahi-daemon: a private /run keeps
        // them apart from any other daemon on the machine.
        std::vector<std::string> daemon = in;
        daemon.insert(daemon.end(),
                      {"/bin/sh", "-c",
                       "mount -t tmpfs none /run && exec /usr/sbin/avahi-daemon --no-drop-root --no-chroot "
                       "--no-rlimits -f " +
                           m_folder + "/avahi.conf"});
        if (!m_avahi.Start(daemon, {Bus()}, {}, m_folder + "/avahi.log") || !WaitFor([&] {
                return ReadText(m_folder + "/avahi.log").find("Server startup complete") != std::string::npos;
            })) {
            m_error = "avahi-daemon did not start: " + ReadText(m_folder + "/avahi.log");
        }
    }

    ~LanNetwork()
    {
        m_avahi.Terminate();
        m_bus.Terminate();
        RunCommand({kIpTool, "netns", "del", m_name});
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }

    const std::string& Error() const { return m_error; }
    std::vector<std::string> Prefix() const { return {kIpTool, "netns", "exec", m_name}; }
    std::string Bus() const { return "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + m_folder + "/bus"; }
    // What avahi's own browser sees of the service type, resolved (one line per service).
    std::optional<std::string> Browse() const
    {
        std::vector<std::string> argv = {"/usr/bin/env", Bus()};
        auto in = Prefix();
        in.insert(in.end(), argv.begin(), argv.end());
        in.insert(in.end(), {"/usr/bin/avahi-browse", "-rpt", "_morvika._tcp"});
        return RunCommand(in);
    }

private:
    bool Exists(const std::string& name) const { return std::filesystem::exists(m_folder + name); }
    static bool WaitFor(const std::function<bool()>& condition)
    {
        const auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(50ms);
        }
        return true;
    }
    void Run(std::vector<std::string> argv)
    {
        if (m_error.empty() && !RunCommand(argv)) m_error = "failed: " + argv[0] + " " + argv[1] + " " + argv[2];
    }

    std::string m_name;
    std::string m_folder;
    std::string m_error;
    ChildProcess m_bus;
    ChildProcess m_avahi;
};

class LanTest : public E2eTest {
protected:
    MorvikaInstance& StartOn(const LanNetwork& lan, const std::string& name, const std::string& password = {},
                             const std::string& userName = {})
    {
        MorvikaInstance& instance = Create(name);
        if (!userName.empty()) instance.SetUserName(userName);
        instance.SetConnectCheck(0);
        instance.SetPassword(password);
        StartOptions options;
        options.commandPrefix = lan.Prefix();
        options.extraEnv = {lan.Bus()};
        EXPECT_TRUE(Launch(instance, options)) << name;
        return instance;
    }

    // The `nearby` list once it holds one session (or what it holds when none came in time).
    static std::vector<std::string> Nearby(MorvikaInstance& instance)
    {
        std::vector<std::string> nearby;
        instance.WaitUntil([&] {
            nearby = instance.List("nearby").value_or(std::vector<std::string>{});
            return nearby.size() == 1;
        });
        return nearby;
    }
};

TEST_F(LanTest, AnnouncedSessionIsFoundChosenJoinedAndKeptInTheAddressBook)
{
    if (const std::string why = LanNetwork::Unavailable(); !why.empty()) GTEST_SKIP() << why;
    UsePorts(kLanPorts, 5);
    LanNetwork lan;
    ASSERT_EQ(lan.Error(), "");
    MorvikaInstance& alice = StartOn(lan, "Alice", "s3cret");
    // A name longer than DNS-SD allows for an instance (63 bytes) is still announced, in full
    // in the TXT record.
    std::string longName;
    for (int i = 0; i < 30; ++i) longName += "ボ";
    MorvikaInstance& bob = StartOn(lan, "Bob", {}, longName);
    const std::string address = "10.67.0.1:" + std::to_string(alice.Port());

    ASSERT_EQ(Nearby(bob), std::vector<std::string>{"nearby " + address + " Alice"});
    EXPECT_EQ(Nearby(alice),
              std::vector<std::string>{"nearby 10.67.0.1:" + std::to_string(bob.Port()) + " " + longName});

    // What goes on the LAN: the user name, never the password.
    const auto browsed = lan.Browse();
    ASSERT_TRUE(browsed.has_value());
    EXPECT_NE(browsed->find(";Alice;_morvika._tcp;local;"), std::string::npos) << *browsed;
    EXPECT_NE(browsed->find("\"user=Alice\""), std::string::npos) << *browsed;
    EXPECT_EQ(browsed->find("s3cret"), std::string::npos) << *browsed;

    ASSERT_EQ(bob.Command("press main 1032"), "ok");
    ASSERT_TRUE(bob.WaitForEvent("dialog CLoginDlg"));
    EXPECT_EQ(bob.Command("get CLoginDlg 1090"), "ok 1 1 Alice (" + address + ")");
    ASSERT_EQ(bob.Command("click-row CLoginDlg 0 1090"), "ok");
    EXPECT_TRUE(bob.WaitUntil([&] { return bob.Command("get CLoginDlg 1017") == "ok 1 " + address; }));
    ASSERT_EQ(bob.Command("press CLoginDlg 1091"), "ok");
    ASSERT_EQ(bob.Command("type CLoginDlg 1018 s3cret"), "ok");
    ASSERT_EQ(bob.Command("press CLoginDlg 1"), "ok");
    EXPECT_TRUE(bob.WaitForLog("LOG   CPlayBoiceView::OnConnectComplete() ログイン完了 GrupID="));
    EXPECT_TRUE(HasWindows(alice, {"Alice", longName}));

    CAddressDataList book;
    CHalvoApp(bob.SettingsFile()).LoadAddressBook(book);
    const auto entries = book.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].m_strUserName, "Alice");
    EXPECT_EQ(entries[0].m_strMorvikaAddress, address);
    EXPECT_EQ(entries[0].m_strPassword, "");

    // Leaving withdraws the announcement.
    EXPECT_EQ(alice.Quit(), 0);
    EXPECT_TRUE(bob.WaitUntil([&] { return bob.List("nearby").value_or(std::vector<std::string>{"x"}).empty(); }));
}

TEST_F(LanTest, WithoutAnAvahiDaemonTheListIsEmptyAndNothingElseChanges)
{
    UsePorts(kLanPorts + 5, 5);
    MorvikaInstance& carol = Spawn("Carol");
    MorvikaInstance& dave = Spawn("Dave");
    ASSERT_EQ(carol.List("nearby").value_or(std::vector<std::string>{"x"}), std::vector<std::string>{});
    ASSERT_EQ(carol.Command("press main 1032"), "ok");
    ASSERT_TRUE(carol.WaitForEvent("dialog CLoginDlg"));
    EXPECT_EQ(carol.Command("get CLoginDlg 1090"), "ok 1 0 ");
    ASSERT_EQ(carol.Command("type CLoginDlg 1017 " + dave.Address()), "ok");
    ASSERT_EQ(carol.Command("press CLoginDlg 1"), "ok");
    EXPECT_TRUE(carol.WaitForLog("LOG   CPlayBoiceView::OnConnectComplete() ログイン完了 GrupID="));
    EXPECT_TRUE(carol.Events("nearby").empty());
}

}  // namespace
}  // namespace e2e
