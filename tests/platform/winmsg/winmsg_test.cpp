#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/winmsg/WinMsg.h"
#include "tests/support/WaitFor.h"

namespace {

class Recorder : public CMsgTarget {
public:
    ~Recorder() override { DetachMessages(); }
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        seen.push_back({message, wParam, lParam});
        onThread = std::this_thread::get_id();
        return static_cast<LRESULT>(wParam + 1);
    }
    struct Seen {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    std::vector<Seen> seen;
    std::thread::id onThread;
};

std::atomic<int> g_dropped{0};
void CountDrop(UINT, WPARAM, LPARAM lParam)
{
    delete reinterpret_cast<int*>(lParam);
    ++g_dropped;
}

TEST(WinMsgTest, PostedMessagesArriveInOrderOnTheTargetThread)
{
    Recorder target;
    std::thread poster([&] {
        for (WPARAM i = 0; i < 100; ++i) PostMessage(target.Handle(), 0x80DC, i, 7);
    });
    poster.join();
    ASSERT_TRUE(WaitFor([&] { return target.seen.size() == 100; }));
    for (WPARAM i = 0; i < 100; ++i) {
        EXPECT_EQ(target.seen[i].message, 0x80DCu);
        EXPECT_EQ(target.seen[i].wParam, i);
    }
    EXPECT_EQ(target.onThread, std::this_thread::get_id());
}

TEST(WinMsgTest, SendOnTheSameThreadIsADirectCall)
{
    Recorder target;
    bool delivered = false;
    EXPECT_EQ(SendMessage(target.Handle(), 0x80E6, 41, 0, &delivered), 42);
    EXPECT_TRUE(delivered);
    ASSERT_EQ(target.seen.size(), 1u);  // handled before the call returned
}

TEST(WinMsgTest, SendFromAnotherThreadWaitsForTheAnswer)
{
    Recorder target;
    std::atomic<LRESULT> answer{-1};
    std::thread sender([&] { answer = SendMessage(target.Handle(), 0x8203, 9, 0); });
    ASSERT_TRUE(WaitFor([&] { return answer.load() != -1; }));
    sender.join();
    EXPECT_EQ(answer.load(), 10);
    EXPECT_EQ(target.onThread, std::this_thread::get_id());
}

TEST(WinMsgTest, WaitingSenderIsReleasedWhenTheTargetGoesAway)
{
    auto* target = new Recorder;
    const HWND handle = target->Handle();
    std::atomic<bool> returned{false};
    bool delivered = true;
    std::thread sender([&] {
        SendMessage(handle, 0x8191, 1, 0, &delivered);
        returned = true;
    });
    // Wait until the call is queued, without running the event loop that would answer it.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (PendingSendCount() == 0 && std::chrono::steady_clock::now() < end) std::this_thread::yield();
    ASSERT_EQ(PendingSendCount(), 1);
    delete target;
    sender.join();
    EXPECT_TRUE(returned);
    EXPECT_FALSE(delivered);
    EXPECT_FALSE(IsWindow(handle));
}

TEST(WinMsgTest, MessagesToAVanishedTargetAreDroppedWithTheirPayload)
{
    g_dropped = 0;
    auto* target = new Recorder;
    const HWND handle = target->Handle();
    EXPECT_TRUE(PostMessage(handle, 0x81FF, 0, reinterpret_cast<LPARAM>(new int(1)), &CountDrop));
    delete target;  // before the event loop ran
    EXPECT_EQ(g_dropped.load(), 1);
    EXPECT_FALSE(PostMessage(handle, 0x81FF, 0, reinterpret_cast<LPARAM>(new int(2)), &CountDrop));
    EXPECT_EQ(g_dropped.load(), 2);
    bool delivered = true;
    EXPECT_EQ(SendMessage(handle, 1, 0, 0, &delivered), 0);
    EXPECT_FALSE(delivered);
}

}  // namespace
