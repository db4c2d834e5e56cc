#include "tests/e2e/RouterNetwork.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace e2e {
namespace {

constexpr const char* kIp = "/usr/sbin/ip";
constexpr const char* kNft = "/usr/sbin/nft";
constexpr const char* kDaemon = "/usr/sbin/miniupnpd";

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The tables miniupnpd fills: its own chains, jumped to from the hooks, and the masquerade
// that makes the router a home router. Forwarding outside-in needs one of its rules.
const char* kRuleset = R"(table inet filter {
  chain forward {
    type filter hook forward priority 0; policy drop;
    jump miniupnpd;
    ct state established,related accept;
    iifname "rl0" accept;
  }
  chain miniupnpd {
  }
  chain prerouting {
    type nat hook prerouting priority -100; policy accept;
    jump prerouting_miniupnpd;
  }
  chain postrouting {
    type nat hook postrouting priority 100; policy accept;
    jump postrouting_miniupnpd;
    oifname "rw0" masquerade;
  }
  chain prerouting_miniupnpd {
  }
  chain postrouting_miniupnpd {
  }
}
)";

}  // namespace

std::string RouterNetwork::Unavailable()
{
    if (geteuid() != 0) return "network namespaces need root";
    for (const char* tool : {kIp, kNft, kDaemon, "/usr/bin/upnpc"}) {
        if (access(tool, X_OK) != 0) return std::string(tool) + " is missing (tools/setup.sh installs it)";
    }
    return {};
}

std::vector<std::string> RouterNetwork::Exec(const std::string& ns)
{
    return {kIp, "netns", "exec", ns};
}

bool RouterNetwork::Run(std::vector<std::string> argv)
{
    if (!m_error.empty()) return false;
    if (!RunCommand(argv)) {
        std::string line;
        for (const auto& word : argv) line += word + " ";
        m_error = "failed: " + line;
        return false;
    }
    return true;
}

std::optional<std::string> RouterNetwork::OnRouter(std::vector<std::string> argv) const
{
    std::vector<std::string> command = Exec(m_name + "-rtr");
    command.insert(command.end(), argv.begin(), argv.end());
    return RunCommand(command);
}

bool RouterNetwork::Forwards(std::uint16_t externalPort) const
{
    const auto rules = OnRouter({kNft, "list", "chain", "inet", "filter", "prerouting_miniupnpd"});
    return rules && rules->find("dport " + std::to_string(externalPort) + " ") != std::string::npos;
}

std::string RouterNetwork::DaemonLog() const
{
    return ReadFile(m_folder + "/miniupnpd.log");
}

RouterNetwork::RouterNetwork(Gateway gateway)
{
    // Unique per run, so that parallel and left-over runs never meet.
    std::random_device random;
    m_name = "mvk-reach-" + std::to_string(getpid()) + "-" + std::to_string(random() % 100000);
    m_folder = std::filesystem::temp_directory_path() / m_name;
    std::filesystem::create_directories(m_folder);
    const std::string lan = m_name + "-lan", router = m_name + "-rtr", outside = m_name + "-out";
    for (const std::string& ns : {lan, router, outside}) {
        Run({kIp, "netns", "add", ns});
        Run({kIp, "-n", ns, "link", "set", "lo", "up"});
    }
    Run({kIp, "link", "add", "rl0", "netns", router, "type", "veth", "peer", "name", "eth0", "netns", lan});
    Run({kIp, "link", "add", "rw0", "netns", router, "type", "veth", "peer", "name", "eth0", "netns", outside});
    Run({kIp, "-n", router, "addr", "add", std::string(kRouterLanAddress) + "/24", "dev", "rl0"});
    Run({kIp, "-n", router, "addr", "add", std::string(kPublicAddress) + "/24", "dev", "rw0"});
    Run({kIp, "-n", lan, "addr", "add", std::string(kLanAddress) + "/24", "dev", "eth0"});
    Run({kIp, "-n", outside, "addr", "add", std::string(kOutsideAddress) + "/24", "dev", "eth0"});
    for (const auto& [ns, link] : {std::pair{router, "rl0"}, {router, "rw0"}, {lan, "eth0"}, {outside, "eth0"}}) {
        Run({kIp, "-n", ns, "link", "set", link, "up"});
    }
    Run({kIp, "-n", lan, "route", "add", "default", "via", kRouterLanAddress});
    auto onRouter = Exec(router);
    auto routerCommand = [&](std::vector<std::string> argv) {
        std::vector<std::string> command = onRouter;
        command.insert(command.end(), argv.begin(), argv.end());
        Run(command);
    };
    routerCommand({"/usr/sbin/sysctl", "-qw", "net.ipv4.ip_forward=1"});
    std::ofstream(m_folder + "/ruleset.nft") << kRuleset;
    routerCommand({kNft, "-f", m_folder + "/ruleset.nft"});
    if (gateway == Gateway::None || !m_error.empty()) return;

    std::ofstream(m_folder + "/miniupnpd.conf")
        << "ext_ifname=rw0\nlistening_ip=rl0\nhttp_port=0\n"
        << "enable_natpmp=yes\nenable_upnp=" << (gateway == Gateway::Upnp ? "yes" : "no")
        << "\n"
        // Not secure: a test maps a port for another LAN host, as a router's own web page would.
        << "secure_mode=no\nsystem_uptime=no\n"
        << "upnp_table_name=filter\nupnp_nat_table_name=filter\nupnp_forward_chain=miniupnpd\n"
        << "upnp_nat_chain=prerouting_miniupnpd\nupnp_nat_postrouting_chain=postrouting_miniupnpd\n"
        << "uuid=3a1f6e6c-6d76-4b61-9e30-1c2d3e4f5a6b\n"
        << "allow 1024-65535 10.66.1.0/24 1024-65535\ndeny 0-65535 0.0.0.0/0 0-65535\n";
    std::vector<std::string> daemon = onRouter;
    daemon.insert(daemon.end(), {kDaemon, "-f", m_folder + "/miniupnpd.conf", "-d", "-P", m_folder + "/miniupnpd.pid"});
    if (!m_daemon.Start(daemon, {}, {}, m_folder + "/miniupnpd.log")) {
        m_error = "miniupnpd did not start";
        return;
    }
    const std::string listening = gateway == Gateway::Upnp ? "HTTP listening on port" : "Listening for NAT-PMP";
    const auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
    while (DaemonLog().find(listening) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
    }
    if (DaemonLog().find(listening) == std::string::npos) m_error = "miniupnpd is not listening:\n" + DaemonLog();
}

RouterNetwork::~RouterNetwork()
{
    m_daemon.Terminate();
    for (const char* suffix : {"-lan", "-rtr", "-out"}) RunCommand({kIp, "netns", "del", m_name + suffix});
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
}

}  // namespace e2e
