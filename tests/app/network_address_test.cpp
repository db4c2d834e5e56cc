#include <gtest/gtest.h>

#include <netdb.h>

#include <algorithm>
#include <regex>

#include "AppTestSupport.h"
#include "app/HalvoApp.h"
#include "app/NetworkAddress.h"

namespace {

using apptest::TempFolderTest;
using namespace NetworkAddress;

// The kernel's routing table as /proc/net/route prints it (addresses in memory order).
constexpr const char* kRoutes = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
                                "eth0\t00000000\t010200C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                                "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
                                "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                                "wlan0\t00000000\t0201A8C0\t0003\t0\t0\t50\t00000000\t0\t0\t0\n"
                                "tun0\t00000000\t01000A0A\t0001\t0\t0\t0\t00000000\t0\t0\t0\n"  // no gateway flag
                                "garbage line\n"
                                "eth9\tXYZ\t010200C0\t0003\t0\t0\t0\t00000000\n";

TEST(AdapterTableTest, DefaultGatewaysComeFromTheRoutingTable)
{
    const auto gateways = ParseDefaultGateways(kRoutes);
    ASSERT_EQ(gateways.size(), 2u);
    EXPECT_EQ(gateways[0], (std::pair<std::string, std::string>{"eth0", "192.0.2.1"}));
    EXPECT_EQ(gateways[1], (std::pair<std::string, std::string>{"wlan0", "192.168.1.2"}));  // lowest metric
    EXPECT_TRUE(ParseDefaultGateways("").empty());
    EXPECT_TRUE(ParseDefaultGateways("header only").empty());
}

TEST(AdapterTableTest, OneAdapterPerInterfaceWithItsFirstAddressLoopbackLeftOut)
{
    const AdapterTable table = BuildAdapterTable({{"lo", "127.0.0.1", "255.0.0.0", true},
                                                  {"eth0", "192.0.2.2", "255.255.255.0", false},
                                                  {"eth0", "192.0.2.77", "255.255.255.0", false},
                                                  {"docker0", "172.17.0.1", "255.255.0.0", false}},
                                                 kRoutes);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0].description, "eth0");
    EXPECT_EQ(table[0].name, "eth0");
    EXPECT_EQ(table[0].address, "192.0.2.2");
    EXPECT_EQ(table[0].mask, "255.255.255.0");
    EXPECT_EQ(table[0].gateway, "192.0.2.1");
    EXPECT_EQ(table[1].name, "docker0");
    EXPECT_EQ(table[1].gateway, "");
}

class GatewayWalkTest : public TempFolderTest {};

TEST_F(GatewayWalkTest, LastMatchingAdapterWinsAndEveryAdapterIsLogged)
{
    const AdapterTable table{{"eth0", "eth0", "10.0.0.5", "255.0.0.0", "10.0.0.1"},
                             {"wlan0", "wlan0", "192.168.1.9", "255.255.255.0", "192.168.1.1"},
                             {"eth1", "eth1", "10.0.0.5", "255.255.0.0", "10.0.0.254"}};
    EXPECT_EQ(WalkAdapterTable(table, "10.0.0.5"), "10.0.0.254");

    const std::string expected = "LOG   CHalvoApp::GetDefaultGatewayIP() Hit AdapterName eth0 \n"
                                 "LOG   CHalvoApp::GetDefaultGatewayIP() Hit AdapterName eth0 \n"
                                 "LOG   CHalvoApp::GetDefaultGatewayIP() Hit Address 10.0.0.5 \n"
                                 "LOG   CHalvoApp::GetDefaultGatewayIP() Hit Mask 255.0.0.0 \n"
                                 "LOG   CHalvoApp::GetDefaultGatewayIP() Hit Gateway Address 10.0.0.1 \n"
                                 "LOG   CHalvoApp::GetDefaultGatewayIP() Other AdapterName wlan0 \n"
                                 "LOG   CHalvoApp::GetDefaultGatewayIP() Other AdapterName wlan0 \n"
                                 "LOG   CHalvoApp::GetDefaultGatewayIP() Other Address 192.168.1.9 \n"
                                 "LOG   CHalvoApp::GetDefaultGatewayIP() Other Mask 255.255.255.0 \n"
                                 "LOG   CHalvoApp::GetDefaultGatewayIP() Other Gateway Address 192.168.1.1 \n"
                                 "LOG   CHalvoApp::GetDefaultGatewayIP() Hit AdapterName eth1 \n"
                                 "LOG   CHalvoApp::GetDefaultGatewayIP() Hit AdapterName eth1 \n"
                                 "LOG   CHalvoApp::GetDefaultGatewayIP() Hit Address 10.0.0.5 \n"
                                 "LOG   CHalvoApp::GetDefaultGatewayIP() Hit Mask 255.255.0.0 \n"
                                 "LOG   CHalvoApp::GetDefaultGatewayIP() Hit Gateway Address 10.0.0.254 \n";
    const std::string withoutClock = std::regex_replace(Log(), std::regex("(^|\n)[0-9]+ms "), "$1");
    EXPECT_EQ(withoutClock, expected);
}

TEST_F(GatewayWalkTest, NoMatchOrNoTableLeavesTheGatewayEmpty)
{
    const AdapterTable table{{"eth0", "eth0", "10.0.0.5", "255.0.0.0", "10.0.0.1"}};
    EXPECT_EQ(WalkAdapterTable(table, "192.0.2.2"), "");
    EXPECT_TRUE(Logged("LOG   CHalvoApp::GetDefaultGatewayIP() Other Gateway Address 10.0.0.1 \n"));
    EXPECT_EQ(WalkAdapterTable(table, ""), "");
    EXPECT_EQ(WalkAdapterTable({}, "10.0.0.5"), "");

    std::string gateway = "stale";
    DiscoverGateway([](AdapterTable&) { return 5; }, "10.0.0.5", gateway);
    EXPECT_EQ(gateway, "");
    EXPECT_TRUE(Logged("ERROR CHalvoApp::GetDefaultGatewayIP() Result 5 \n"));
}

class IPAddressTest : public TempFolderTest {};

TEST_F(IPAddressTest, UnresolvableHostLogsBothErrorsAndKeepsTheAddressEmpty)
{
    std::string host;
    std::string ip = "stale";
    DiscoverIPAddress(
        [](std::string& name) {
            name = "nowhere.invalid";
            return true;
        },
        [](const std::string&, std::vector<std::string>&) { return EAI_NONAME; }, nullptr, host, ip);
    EXPECT_EQ(host, "nowhere.invalid");
    EXPECT_EQ(ip, "");
    EXPECT_TRUE(Logged("LOG   CHalvoApp::GetIPAddress() HostName nowhere.invalid \n"));
    EXPECT_TRUE(Logged("ERROR CHalvoApp::GetIPAddress() IPAddress Error " + std::to_string(EAI_NONAME) + " \n"))
        << Log();
    EXPECT_TRUE(Logged("ERROR CHalvoApp::GetIPAddress() Get IPAddress Error \n"));
}

TEST_F(IPAddressTest, NoHostNameLogsOnlyTheGeneralError)
{
    std::string host, ip;
    DiscoverIPAddress([](std::string&) { return false; },
                      [](const std::string&, std::vector<std::string>&) -> int {
                          ADD_FAILURE();
                          return 0;
                      },
                      nullptr, host, ip);
    EXPECT_EQ(ip, "");
    EXPECT_FALSE(Logged("LOG   CHalvoApp::GetIPAddress() HostName"));
    EXPECT_TRUE(Logged("ERROR CHalvoApp::GetIPAddress() Get IPAddress Error \n"));
}

TEST_F(IPAddressTest, AddressPeersCanReachIsPreferredOverLoopback)
{
    const AdapterTable adapters{{"docker0", "docker0", "172.17.0.1", "255.255.0.0", ""},
                                {"eth0", "eth0", "192.0.2.2", "255.255.255.0", "192.0.2.1"}};
    EXPECT_EQ(ChooseIPAddress({"10.1.2.3", "192.0.2.2"}, adapters), "10.1.2.3");
    EXPECT_EQ(ChooseIPAddress({"127.0.1.1", "10.1.2.3"}, adapters), "10.1.2.3");
    EXPECT_EQ(ChooseIPAddress({"127.0.1.1"}, adapters), "192.0.2.2");  // Debian's /etc/hosts entry
    EXPECT_EQ(ChooseIPAddress({"127.0.1.1"}, {}), "127.0.1.1");

    std::string host, ip;
    DiscoverIPAddress(
        [](std::string& name) {
            name = "desk";
            return true;
        },
        [](const std::string& name, std::vector<std::string>& out) {
            EXPECT_EQ(name, "desk");
            out = {"127.0.1.1"};
            return 0;
        },
        [&](AdapterTable& table) {
            table = adapters;
            return 0;
        },
        host, ip);
    EXPECT_EQ(ip, "192.0.2.2");
    EXPECT_TRUE(Logged("LOG   CHalvoApp::GetIPAddress() IP Address 192.0.2.2 \n")) << Log();
}

TEST_F(IPAddressTest, ThisMachineHasAHostNameAndAnAddress)
{
    CHalvoApp app(settings_);
    app.DiscoverAddresses();
    ASSERT_FALSE(app.HostName().empty());
    EXPECT_TRUE(Logged("LOG   CHalvoApp::GetIPAddress() HostName " + app.HostName() + " \n")) << Log();
    if (app.IPAddress().empty()) {
        GTEST_SKIP() << "the host name does not resolve here: " << Log();
    }
    EXPECT_TRUE(std::regex_match(app.IPAddress(), std::regex(R"(\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3})")));
    EXPECT_TRUE(Logged("LOG   CHalvoApp::GetIPAddress() IP Address " + app.IPAddress() + " \n")) << Log();

    // The walk ran over the real table: a hit when an adapter carries the address.
    AdapterTable table;
    ASSERT_EQ(QueryAdapterTable(table), 0);
    for (const AdapterInfo& adapter : table) {
        const char* kind = adapter.address == app.IPAddress() ? "Hit" : "Other";
        EXPECT_TRUE(Logged(std::string("LOG   CHalvoApp::GetDefaultGatewayIP() ") + kind + " Address " +
                           adapter.address + " \n"))
            << Log();
    }
}

TEST(NetWorkAdaptersInfoListTest, LoadsOnceAndFindsByDescription)
{
    int calls = 0;
    CNetWorkAdaptersInfoList list([&](AdapterTable& table) {
        ++calls;
        table = {{"eth0", "eth0", "10.0.0.5", "255.0.0.0", ""}, {"eth0", "eth0-b", "10.0.0.6", "", ""}};
        return 0;
    });
    EXPECT_STREQ(list.name(), "CNetWorkAdaptersInfoList");
    EXPECT_EQ(list.version(), 1001);
    EXPECT_FALSE(list.FindAddress("eth0").has_value());  // nothing before Load
    EXPECT_EQ(list.Load(), 0);
    EXPECT_EQ(list.Load(), 0);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(list.FindAddress("eth0"), "10.0.0.5");
    EXPECT_FALSE(list.FindAddress("wlan0").has_value());

    CNetWorkAdaptersInfoList failing([](AdapterTable&) { return 12; });
    EXPECT_EQ(failing.Load(), 12);
    EXPECT_FALSE(failing.FindAddress("eth0").has_value());

    CNetWorkAdaptersInfoList real;
    EXPECT_EQ(real.Load(), 0);
}

TEST(ThisMachineTest, EveryFormOfALocalAddressOrNameCounts)
{
    const std::vector<std::string> local = {"127.0.0.1", "192.0.2.7", "2001:db8::7", "::1"};
    for (const char* host : {"127.0.0.1", "127.0.1.1", "127.1", "0.0.0.0", "::1", "::", "::ffff:127.0.0.1", "192.0.2.7",
                             "::ffff:192.0.2.7", "2001:DB8:0::7", "localhost", "LocalHost.", "a.localhost", "myhost",
                             "MyHost", "myhost.example.org"}) {
        EXPECT_TRUE(IsThisMachine(host, "myhost.example.org", local)) << host;
        EXPECT_TRUE(IsThisMachine(host, "MYHOST.example.org", local)) << host;
    }
    for (const char* host :
         {"192.0.2.8", "128.0.0.1", "2001:db8::8", "otherhost", "myhost.example.com", "myhostx", "example.org", ""}) {
        EXPECT_FALSE(IsThisMachine(host, "myhost.example.org", local)) << host;
    }
    EXPECT_FALSE(IsThisMachine("myhost", "", local));
}

TEST(ThisMachineTest, TheKernelListsLoopbackAmongTheLocalAddresses)
{
    const auto local = LocalAddresses();
    EXPECT_NE(std::find(local.begin(), local.end(), "127.0.0.1"), local.end());
}

}  // namespace
