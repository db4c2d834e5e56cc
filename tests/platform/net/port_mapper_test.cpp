// Whether a router's answer counts as a public address, and the mapper without a router to ask.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include <sched.h>

#include "platform/net/PortMapper.h"

namespace {

using namespace std::chrono_literals;

TEST(PortMapperAddress, OnlyAddressesReachableFromTheInternetArePublic)
{
    for (const char* address : {"45.67.89.1", "8.8.8.8", "100.63.255.255", "100.128.0.0", "172.32.0.1", "192.169.0.1",
                                "198.20.0.1", "223.255.255.255", "11.0.0.1"}) {
        EXPECT_TRUE(net::IsPublicIPv4(address)) << address;
    }
    // Private, carrier NAT, loopback, link-local, documentation, benchmark, multicast, reserved, and
    // what is no address at all: a router behind another router reports one of these.
    for (const char* address : {"10.1.2.3",        "100.64.0.1",  "100.127.255.255",
                                "127.0.0.1",       "169.254.1.1", "172.16.0.1",
                                "172.31.255.255",  "192.168.1.1", "192.0.2.7",
                                "198.51.100.1",    "203.0.113.9", "198.18.0.1",
                                "198.19.255.255",  "224.0.0.1",   "240.0.0.1",
                                "255.255.255.255", "0.0.0.0",     "",
                                "45.67.89",        "45.67.89.1 ", "::1"}) {
        EXPECT_FALSE(net::IsPublicIPv4(address)) << address;
    }
}

TEST(PortMapperStates, TurnedOffItReportsOffAndStopsPromptly)
{
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> seen;
    net::PortMapper::Options options;
    options.port = 27999;
    options.enabled = false;
    net::PortMapper mapper(options, [&](const net::PortMapping& mapping) {
        std::lock_guard lock(mutex);
        seen.push_back(mapping.Text());
        changed.notify_all();
    });
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return !seen.empty(); }));
        EXPECT_EQ(seen.front(), "none:off");
    }
    EXPECT_EQ(mapper.Current().Text(), "none:off");
    const auto start = std::chrono::steady_clock::now();
    mapper.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

std::size_t OpenDescriptors()
{
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(fds), end(fds)));
}

// An offline machine: no route, so no gateway. Every retry must leave nothing open behind.
TEST(PortMapperStates, WithoutAGatewayItsRetriesKeepNoDescriptor)
{
    bool isolated = false;
    std::thread([&] {
        // The mapper's thread, started from here, shares this thread's empty network namespace.
        if (unshare(CLONE_NEWNET) != 0) return;
        isolated = true;
        std::mutex mutex;
        std::condition_variable changed;
        int failures = 0;
        bool off = false;
        net::PortMapper::Options options;
        options.port = 27998;
        options.discovery = 200ms;
        net::PortMapper mapper(options, [&](const net::PortMapping& mapping) {
            std::lock_guard lock(mutex);
            failures += mapping.Text() == "none:no-gateway";
            off = mapping.Text() == "none:off";
            changed.notify_all();
        });
        auto failed = [&](int count) {
            std::unique_lock lock(mutex);
            return changed.wait_for(lock, 20s, [&] { return failures >= count; });
        };
        ASSERT_TRUE(failed(1));
        const std::size_t before = OpenDescriptors();
        for (int retry = 2; retry <= 4; ++retry) {
            mapper.SetEnabled(false);
            {
                std::unique_lock lock(mutex);
                ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return off; }));
            }
            mapper.SetEnabled(true);
            ASSERT_TRUE(failed(retry));
        }
        EXPECT_EQ(OpenDescriptors(), before);
        mapper.Stop();
    }).join();
    if (!isolated) GTEST_SKIP() << "no network namespace of its own here (needs CAP_SYS_ADMIN)";
}

}  // namespace
