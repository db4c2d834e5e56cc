// The own session reached from outside a home router: the port mapped by UPnP or NAT-PMP and
// joined from outside, a port the router has given to someone else already, a router that maps
// nothing, the setting turned off, and the mapping removed when the program leaves or is ended
// by a signal.

#include <csignal>
#include <chrono>
#include <iostream>

#include "tests/e2e/E2eFixture.h"
#include "tests/e2e/RouterNetwork.h"

namespace e2e {
namespace {

// Ports of these cases; the instances live in namespaces of their own.
constexpr int kReachPorts = 27680;

using Clock = std::chrono::steady_clock;

long Millis(Clock::duration d)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

class ReachTest : public E2eTest {
protected:
    // The case's home network, or a skip when the machine cannot build one.
    std::unique_ptr<RouterNetwork> Network(RouterNetwork::Gateway gateway)
    {
        if (const std::string why = RouterNetwork::Unavailable(); !why.empty()) {
            m_skip = why;
            return nullptr;
        }
        auto network = std::make_unique<RouterNetwork>(gateway);
        EXPECT_EQ(network->Error(), "");
        return network;
    }

    // Starts an instance through the prefix; how long it took until `event ready`.
    MorvikaInstance& StartIn(const std::vector<std::string>& prefix, const std::string& name, bool mapping,
                             long* readyMs = nullptr)
    {
        MorvikaInstance& instance = Create(name);
        instance.SetConnectCheck(0);
        instance.SetPortMapping(mapping);
        StartOptions options;
        options.commandPrefix = prefix;
        const auto start = Clock::now();
        EXPECT_TRUE(Launch(instance, options)) << name << " did not start";
        if (readyMs != nullptr) *readyMs = Millis(Clock::now() - start);
        m_started = start;
        return instance;
    }

    // Waits for `event port-mapped`; the external address, and the time since the start.
    std::string WaitMapped(MorvikaInstance& instance, long* mappedMs = nullptr)
    {
        const auto event = instance.WaitForEvent("port-mapped ");
        if (mappedMs != nullptr) *mappedMs = Millis(Clock::now() - m_started);
        return event ? event->substr(std::string("port-mapped ").size()) : std::string();
    }

    // `connect` through the address; true once the joiner logged a successful completion.
    static bool JoinAt(MorvikaInstance& joiner, const std::string& address)
    {
        const std::string done = "LOG   CPlayBoiceView::OnConnectComplete() ログイン完了 GrupID=";
        if (joiner.Command("connect " + address + " -") != "ok") return false;
        return joiner.WaitForLog(done);
    }

    static std::uint16_t PortOf(const std::string& address)
    {
        return static_cast<std::uint16_t>(std::stoi(address.substr(address.rfind(':') + 1)));
    }

    std::string m_skip;
    Clock::time_point m_started;
};

#define SKIP_WITHOUT_NETWORK(network)                                                                                  \
    if (!network) GTEST_SKIP() << m_skip;                                                                              \
    ASSERT_EQ(network->Error(), "")

TEST_F(ReachTest, PeerOutsideJoinsThroughTheUpnpMappingWhichIsRemovedAtQuit)
{
    UsePorts(kReachPorts, 5);
    auto network = Network(RouterNetwork::Gateway::Upnp);
    SKIP_WITHOUT_NETWORK(network);

    long readyMs = 0, mappedMs = 0;
    MorvikaInstance& alice = StartIn(network->Lan(), "Alice", true, &readyMs);
    const std::string external = WaitMapped(alice, &mappedMs);
    ASSERT_EQ(external, std::string(RouterNetwork::kPublicAddress) + ":" + std::to_string(alice.Port()));
    EXPECT_EQ(alice.State()["external"], external);
    EXPECT_TRUE(alice.LogContains("ルータのポートを開きました " + external + " UPnP"));
    std::cout << "[ figure ] UPnP gateway: event ready after " << readyMs << " ms, mapping after " << mappedMs
              << " ms\n";

    MorvikaInstance& bob = StartIn(network->Outside(), "Bob", false);
    ASSERT_TRUE(JoinAt(bob, external));
    EXPECT_TRUE(HasWindows(alice, {"Alice", "Bob"}));
    EXPECT_TRUE(HasWindows(bob, {"Alice", "Bob"}));

    ASSERT_TRUE(network->Forwards(alice.Port()));
    EXPECT_EQ(alice.Quit(), 0);
    EXPECT_FALSE(network->Forwards(alice.Port())) << network->DaemonLog();
}

TEST_F(ReachTest, PortTakenOnTheRouterIsMappedToAnotherThatPeersCanJoin)
{
    UsePorts(kReachPorts + 5, 5);
    auto network = Network(RouterNetwork::Gateway::Upnp);
    SKIP_WITHOUT_NETWORK(network);

    // Another host of the LAN holds the external port the instance will want.
    const std::string wanted = std::to_string(kReachPorts + 5);
    std::vector<std::string> other = network->Lan();
    other.insert(other.end(), {"/usr/bin/upnpc", "-e", "other", "-a", RouterNetwork::kOtherLanAddress, wanted, wanted,
                               "TCP", "3600"});
    ASSERT_TRUE(RunCommand(other).has_value());
    ASSERT_TRUE(network->Forwards(kReachPorts + 5));

    MorvikaInstance& alice = StartIn(network->Lan(), "Alice", true);
    ASSERT_EQ(alice.Port(), kReachPorts + 5);
    const std::string external = WaitMapped(alice);
    ASSERT_EQ(external.rfind(std::string(RouterNetwork::kPublicAddress) + ":", 0), 0u) << external;
    EXPECT_NE(PortOf(external), alice.Port());

    MorvikaInstance& bob = StartIn(network->Outside(), "Bob", false);
    ASSERT_TRUE(JoinAt(bob, external));
    EXPECT_TRUE(HasWindows(alice, {"Alice", "Bob"}));

    // Leaving removes only the own mapping.
    EXPECT_EQ(alice.Quit(), 0);
    EXPECT_FALSE(network->Forwards(PortOf(external)));
    EXPECT_TRUE(network->Forwards(kReachPorts + 5));
}

TEST_F(ReachTest, NatPmpMapsWhereUpnpIsOffAndTheSettingTurnsItOff)
{
    UsePorts(kReachPorts + 10, 5);
    auto network = Network(RouterNetwork::Gateway::NatPmpOnly);
    SKIP_WITHOUT_NETWORK(network);

    long offReadyMs = 0;
    MorvikaInstance& carol = StartIn(network->Lan(), "Carol", false, &offReadyMs);
    long readyMs = 0, mappedMs = 0;
    MorvikaInstance& alice = StartIn(network->Lan(), "Alice", true, &readyMs);
    const std::string external = WaitMapped(alice, &mappedMs);
    ASSERT_EQ(external, std::string(RouterNetwork::kPublicAddress) + ":" + std::to_string(alice.Port()));
    EXPECT_TRUE(alice.LogContains("ルータのポートを開きました " + external + " NAT-PMP"));
    std::cout << "[ figure ] NAT-PMP gateway: event ready after " << readyMs << " ms, mapping after " << mappedMs
              << " ms; mapping off: event ready after " << offReadyMs << " ms\n";

    MorvikaInstance& bob = StartIn(network->Outside(), "Bob", false);
    ASSERT_TRUE(JoinAt(bob, external));
    EXPECT_TRUE(HasWindows(bob, {"Alice", "Bob"}));

    EXPECT_EQ(carol.State()["external"], "none:off");
    EXPECT_FALSE(network->Forwards(carol.Port()));

    // Ended by a signal, the program still leaves nothing open on the router.
    ASSERT_TRUE(network->Forwards(alice.Port()));
    ASSERT_EQ(kill(alice.Pid(), SIGTERM), 0);
    EXPECT_TRUE(alice.WaitUntil([&] { return !alice.Running(); }));
    EXPECT_FALSE(network->Forwards(alice.Port())) << network->DaemonLog();
}

TEST_F(ReachTest, RouterThatMapsNothingNeitherDelaysStartNorHidesTheReason)
{
    UsePorts(kReachPorts + 15, 5);
    auto network = Network(RouterNetwork::Gateway::None);
    SKIP_WITHOUT_NETWORK(network);

    long readyMs = 0;
    MorvikaInstance& alice = StartIn(network->Lan(), "Alice", true, &readyMs);
    // The router is still being asked when the session is up.
    EXPECT_EQ(alice.State()["external"], "pending");
    const auto start = Clock::now();
    std::string external;
    alice.WaitUntil([&] { return (external = alice.State()["external"]) != "pending"; });
    EXPECT_EQ(external, "none:no-gateway");
    std::cout << "[ figure ] gateway without UPnP or NAT-PMP: event ready after " << readyMs << " ms, none:no-gateway "
              << Millis(Clock::now() - start) << " ms after that\n";
    EXPECT_TRUE(alice.Events("port-mapped").empty());
    EXPECT_EQ(alice.Command("ping"), "ok pong");
}

}  // namespace
}  // namespace e2e
