#include <gtest/gtest.h>

#include <tuple>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "app/InstanceLock.h"
#include "app/StartupOptions.h"

namespace {

std::optional<StartupOptions> Parse(std::vector<std::string> args, std::string* errorOut = nullptr)
{
    std::string error;
    auto result = ParseStartupOptions(args, error);
    if (errorOut) *errorOut = error;
    return result;
}

TEST(StartupOptionsTest, DefaultsAndEveryOption)
{
    const auto none = Parse({});
    ASSERT_TRUE(none);
    EXPECT_EQ(none->port, 7066);
    EXPECT_TRUE(none->connectHost.empty());
    EXPECT_FALSE(none->minimized);

    const auto all = Parse({"--profile", "/tmp/p", "--port", "27001", "--connect", "host.example:27002", "--password",
                            "pw", "--message", "こんにちは", "--minimized"});
    ASSERT_TRUE(all);
    EXPECT_EQ(all->profileDir, "/tmp/p");
    EXPECT_EQ(all->port, 27001);
    EXPECT_EQ(all->connectHost, "host.example");
    EXPECT_EQ(all->connectPort, 27002);
    EXPECT_EQ(all->password, "pw");
    EXPECT_EQ(all->message, "こんにちは");
    EXPECT_TRUE(all->minimized);

    EXPECT_TRUE(none->language.empty());
    EXPECT_EQ(Parse({"--lang", "en"})->language, "en");

    const auto plainHost = Parse({"--connect", "192.168.1.5"});
    ASSERT_TRUE(plainHost);
    EXPECT_EQ(plainHost->connectHost, "192.168.1.5");
    EXPECT_EQ(plainHost->connectPort, 0);

    // IPv6: a port only after brackets, which the address parser still needs; a bare address is
    // all host, scope included.
    for (const auto& [text, host, port] :
         std::vector<std::tuple<std::string, std::string, int>>{{"[::1]:27001", "[::1]", 27001},
                                                                {"[fe80::1%lo]", "[fe80::1%lo]", 0},
                                                                {"::1", "::1", 0},
                                                                {"fe80::1%eth0", "fe80::1%eth0", 0}}) {
        const auto v6 = Parse({"--connect", text});
        ASSERT_TRUE(v6) << text;
        EXPECT_EQ(v6->connectHost, host);
        EXPECT_EQ(v6->connectPort, port) << text;
    }

    // The desktop entry's %u: a morvika:// link joins like --connect.
    const auto link = Parse({"morvika://host.example:27003/", "--password", "pw"});
    ASSERT_TRUE(link);
    EXPECT_EQ(link->connectHost, "host.example");
    EXPECT_EQ(link->connectPort, 27003);
    EXPECT_EQ(link->password, "pw");
}

TEST(StartupOptionsTest, BadInputIsRefusedWithAReason)
{
    std::string error;
    for (const auto& args : std::vector<std::vector<std::string>>{{"--port"},
                                                                  {"--port", "0"},
                                                                  {"--port", "65536"},
                                                                  {"--port", "12x"},
                                                                  {"--connect", ":7066"},
                                                                  {"--connect", "host:"},
                                                                  {"--connect", "host:abc"},
                                                                  {"--connect", "[::1"},
                                                                  {"--connect", "[]:7066"},
                                                                  {"--connect", "[::1]x"},
                                                                  {"--connect", "[::1]:"},
                                                                  {"--profile", ""},
                                                                  {"--bogus"},
                                                                  {"--password", "x"},
                                                                  {"--lang", "fr"},
                                                                  {"--lang"},
                                                                  {"morvika://"},
                                                                  {"morvika://host:x"},
                                                                  {"/home/user/file.txt"},
                                                                  {"--connect", "a", "morvika://b"}}) {
        EXPECT_FALSE(Parse(args, &error)) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
}

TEST(InstanceLockTest, SecondHolderIsRefusedUntilTheFirstEnds)
{
    const auto dir = std::filesystem::temp_directory_path() / ("morvika-lock-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    CInstanceLock first;
    ASSERT_TRUE(first.Acquire(dir.string()));

    // Another process is refused while the first holds the lock.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CInstanceLock second;
        ::_exit(second.Acquire(dir.string()) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0);

    first.Release();
    CInstanceLock third;
    EXPECT_TRUE(third.Acquire(dir.string()));
    third.Release();
    std::filesystem::remove_all(dir);
}

}  // namespace
