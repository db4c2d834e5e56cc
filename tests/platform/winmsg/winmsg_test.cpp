#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <memory>
#include <string>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/winmsg/WinMsg.h"
#include "platform/winmsg/WinMsgPayload.h"
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

// Counts its own destructions, so that a test sees every payload end exactly once.
struct Counted {
    explicit Counted(int* alive) : m_alive(alive) { ++*m_alive; }
    ~Counted() { --*m_alive; }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;
    int* m_alive;
};

// Takes the payload of message 1 and keeps it; leaves that of message 2 untouched; asks
// message 3 for the wrong type.
class Taker : public CMsgTarget {
public:
    ~Taker() override { DetachMessages(); }
    LRESULT WindowProc(UINT message, WPARAM, LPARAM lParam) override
    {
        if (message == 1) kept = TakePayload<Counted>(lParam);
        if (message == 3)
            wrongType = TakePayload<std::string>(lParam) == nullptr && SentPayload<Counted>(lParam) == nullptr;
        if (message == 4) {
            if (auto* text = SentPayload<std::string>(lParam)) *text += " answered";
            lentReadOnly =
                SentPayload<std::string>(lParam) == nullptr && SentPayload<const std::string>(lParam) != nullptr;
        }
        ++handled;
        return 0;
    }
    std::unique_ptr<Counted> kept;
    bool wrongType = false;
    bool lentReadOnly = false;
    int handled = 0;
};

TEST(WinMsgTest, PostedPayloadsPassOwnershipOnceAndAreFreedWhenNobodyTakesThem)
{
    int alive = 0;
    int afterRuns = 0;
    auto* target = new Taker;
    const HWND handle = target->Handle();
    EXPECT_TRUE(PostPayload(handle, 1, 0, std::make_unique<Counted>(&alive), [&] { ++afterRuns; }));
    EXPECT_TRUE(PostPayload(handle, 2, 0, std::make_unique<Counted>(&alive)));
    EXPECT_TRUE(PostPayload(handle, 3, 0, std::make_unique<Counted>(&alive)));
    ASSERT_TRUE(WaitFor([&] { return target->handled == 3; }));
    // The taker holds the first; the one left alone and the one asked for as another type are gone.
    ASSERT_TRUE(WaitFor([&] { return alive == 1; }));
    EXPECT_NE(target->kept, nullptr);
    EXPECT_TRUE(target->wrongType);
    EXPECT_EQ(afterRuns, 1);

    // Posted but never handled: the target goes first; and posted to no target at all.
    EXPECT_TRUE(PostPayload(handle, 1, 0, std::make_unique<Counted>(&alive), [&] { ++afterRuns; }));
    EXPECT_EQ(alive, 2);
    delete target;
    EXPECT_EQ(alive, 0);
    EXPECT_EQ(afterRuns, 2);
    EXPECT_FALSE(PostPayload(handle, 1, 0, std::make_unique<Counted>(&alive), [&] { ++afterRuns; }));
    EXPECT_EQ(alive, 0);
    EXPECT_EQ(afterRuns, 3);
}

TEST(WinMsgTest, SentPayloadsAreLentForTheCallFromAnyThread)
{
    Taker target;
    std::string text = "asked";
    std::thread sender([&] { SendPayload(target.Handle(), 4, 0, text); });
    ASSERT_TRUE(WaitFor([&] { return target.handled == 1; }));
    sender.join();
    EXPECT_EQ(text, "asked answered");
    EXPECT_FALSE(target.lentReadOnly);
    // A read-only loan is not handed out as writable.
    const std::string fixed = "fixed";
    SendPayload(target.Handle(), 4, 0, fixed);
    EXPECT_TRUE(target.lentReadOnly);
    EXPECT_EQ(fixed, "fixed");
}

}  // namespace
