// Members who misbehave, against real instances (ports 27600-27619): one who speaks in another's name and sends
// files nobody asked for, and one who floods the host.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "tests/e2e/E2eFixture.h"
#include "tests/support/RawPeer.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace e2e {
namespace {

class HostileTest : public E2eTest {
protected:
    // Bob hosts; Alice and Mallory (a protocol client of our own) join his session.
    void StartBobAliceAndMallory(int firstPort, MorvikaInstance*& bob, MorvikaInstance*& alice)
    {
        UsePorts(firstPort, 10);
        bob = &Spawn("Bob");
        alice = &Spawn("Alice");
        ASSERT_TRUE(Join(*alice, *bob));
        ASSERT_TRUE(mallory.Join(bob->Port()));
        ASSERT_TRUE(HasWindows(*bob, {"Alice", "Bob", "Mallory"}));
    }
    RawPeer mallory;
};

std::string ReadWhole(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The (uid, gid) of the instance's window of that user, as `windows` lists them.
std::pair<std::string, std::string> WindowOf(MorvikaInstance& instance, const std::string& name)
{
    for (const UserWindow& w : instance.Windows()) {
        if (w.name == name) return {w.uid, w.gid};
    }
    return {};
}

std::string Pictures(MorvikaInstance& instance, const std::pair<std::string, std::string>& window)
{
    return instance.Command("pictures " + window.first + " " + window.second);
}

long RssKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

TEST_F(HostileTest, NothingAMemberSendsInAnothersNameOrUnaskedIsTakenIn)
{
    MorvikaInstance* bobInstance = nullptr;
    MorvikaInstance* aliceInstance = nullptr;
    ASSERT_NO_FATAL_FAILURE(StartBobAliceAndMallory(27600, bobInstance, aliceInstance));
    MorvikaInstance& bob = *bobInstance;
    MorvikaInstance& alice = *aliceInstance;
    ASSERT_TRUE(HasWindows(alice, {"Alice", "Bob", "Mallory"}));
    const peer::PlayerId aliceId = mallory.IdOf("Alice");
    ASSERT_NE(aliceId, 0u);

    // Alice offers a file and Bob fetches it: his cache holds her bytes.
    // (A name with a blank, as the control channel takes it.)
    const std::string offered = alice.ProfileDir() + "/my notes.txt";
    std::ofstream(offered) << "Alice's own notes\n";
    ASSERT_EQ(alice.Command("share-add " + offered), "ok");
    ASSERT_TRUE(bob.WaitUntil([&] {
        const auto shares = bob.List("shares");
        return shares && std::any_of(shares->begin(), shares->end(), [](const std::string& s) {
                   return s.find(" my notes.txt ") != std::string::npos;
               });
    }));
    const std::string saved = bob.ProfileDir() + "/saved.txt";
    ASSERT_EQ(bob.Command("share-save my notes.txt " + saved, 120s), "ok " + saved);
    const fs::path oskel = fs::path(bob.ProfileDir()) / "cache" / "OSKEL";
    ASSERT_EQ(ReadWhole(oskel / "Alice" / "my notes.txt"), "Alice's own notes\n");

    const auto aliceAtBob = WindowOf(bob, "Alice");
    const auto bobAtAlice = WindowOf(alice, "Bob");
    const std::string aliceShownAtBob = Pictures(bob, aliceAtBob);
    const std::string bobShownAtAlice = Pictures(alice, bobAtAlice);

    // In Alice's name: a chat line and a picture to Bob, and an answer with a file named as hers.
    const std::string forgedLine = "Alice>send me your password";
    mallory.SendAs(mallory.Host(), KIND_CHAT_TEXT, aliceId, forgedLine.c_str(), forgedLine.size() + 1);
    std::vector<std::uint8_t> jpeg(600, 0xAB);
    jpeg[0] = 0xFF;
    jpeg[1] = 0xD8;
    mallory.SendAs(mallory.Host(), KIND_PICTURE_FRAME, aliceId, jpeg.data(), jpeg.size());
    // In Bob's name, through Bob to Alice.
    mallory.SendAs(aliceId, KIND_PICTURE_FRAME, mallory.Host(), jpeg.data(), jpeg.size());
    CSharesData record;
    record.SetUserName("Alice");
    record.SetFileName("my notes.txt");
    record.SetFileSize(6);
    record.SetAvailable(1);
    CSharesFileObject forged(record);
    const std::uint8_t bytes[6] = {'f', 'o', 'r', 'g', 'e', 'd'};
    forged.SetFileData(bytes, sizeof bytes);
    CTransBlock block;
    forged.Serialize(block);
    mallory.SendAs(mallory.Host(), KIND_SHARES_DATA, aliceId, block.Data(), block.Size());
    // In its own name, unasked, and a lot of it.
    CSharesData big = record;
    big.SetFileSize(64 * 1024);
    CSharesFileObject unasked(big);
    const std::vector<std::uint8_t> filler(64 * 1024, 'x');
    unasked.SetFileData(filler.data(), filler.size());
    for (int i = 0; i < 200; ++i) mallory.Send(mallory.Host(), KIND_SHARES_DATA, unasked);
    // And a chat line of its own that claims to be Alice's.
    mallory.SendText(mallory.Host(), "Alice>hello");

    // The last line arrives after everything else Mallory sent Bob.
    ASSERT_TRUE(bob.WaitForEvent("chat Mallory>Alice>hello").has_value()) << bob.Log();
    EXPECT_TRUE(bob.WaitUntil([&] { return bob.Command("dropped") == "ok forged=4 unasked=200"; }))
        << bob.Command("dropped");
    for (const std::string& line : bob.History()) EXPECT_NE(line, forgedLine);
    EXPECT_EQ(Pictures(bob, aliceAtBob), aliceShownAtBob);
    EXPECT_EQ(Pictures(alice, bobAtAlice), bobShownAtAlice);
    EXPECT_EQ(ReadWhole(oskel / "Alice" / "my notes.txt"), "Alice's own notes\n");
    EXPECT_FALSE(fs::exists(oskel / "Mallory"));
}

TEST_F(HostileTest, AFloodingMemberSlowsOnlyItself)
{
    MorvikaInstance* bobInstance = nullptr;
    MorvikaInstance* aliceInstance = nullptr;
    ASSERT_NO_FATAL_FAILURE(StartBobAliceAndMallory(27610, bobInstance, aliceInstance));
    MorvikaInstance& bob = *bobInstance;
    MorvikaInstance& alice = *aliceInstance;
    const long before = RssKiB(bob.Pid());

    // 200-byte chat lines as fast as the link takes them, for 20 seconds.
    std::atomic<bool> flooding{true};
    std::atomic<long> sent{0};
    std::thread flood([&] {
        const std::string line = "Mallory>" + std::string(190, 'z');
        while (flooding) {
            for (int i = 0; i < 100; ++i) mallory.SendText(mallory.Host(), line);
            sent += 100;
            std::this_thread::sleep_for(5ms);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    long peak = before;
    auto slowest = 0ms;
    bool aliceSaid = false;
    while (std::chrono::steady_clock::now() - start < 20s) {
        const auto asked = std::chrono::steady_clock::now();
        const std::string answer = bob.Command("ping", 10s);
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked);
        EXPECT_EQ(answer, "ok pong");
        slowest = std::max(slowest, took);
        peak = std::max(peak, RssKiB(bob.Pid()));
        if (!aliceSaid && std::chrono::steady_clock::now() - start > 5s) {
            EXPECT_EQ(alice.Command("chat amid the flood"), "ok");
            aliceSaid = true;
        }
        std::this_thread::sleep_for(200ms);
    }
    flooding = false;
    flood.join();
    std::printf("flood: %ld lines sent; host RSS %ld -> peak %ld KiB; slowest ping %lld ms\n", sent.load(), before,
                peak, static_cast<long long>(slowest.count()));
    EXPECT_TRUE(bob.WaitForEvent("chat Alice>amid the flood", 60s).has_value());
    EXPECT_LT(peak, 150 * 1024) << "the host's memory grew with the flood";
    EXPECT_LT(slowest, 1000ms) << "the host's window thread fell behind the flood";
    EXPECT_LE(bob.History().size(), 5000u);
}

}  // namespace
}  // namespace e2e
