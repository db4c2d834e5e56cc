#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "session/PeerMessageQueue.h"

namespace {

CPeerMessage Text(const std::string& text, std::uint32_t userId = 1)
{
    CPeerMessage message;
    message.Set(KIND_CHAT_TEXT, 0, userId, text.data(), static_cast<std::int64_t>(text.size()));
    return message;
}

std::string TextOf(const CPeerMessage& message)
{
    return message.IsEmpty() ? std::string("<empty>") : std::string(reinterpret_cast<const char*>(message.Payload()));
}

TEST(PeerMessageQueue, PushThenPopIsFirstInFirstOut)
{
    CPeerMessageQueue queue;
    queue.Push(Text("A"));
    queue.Push(Text("B"));
    queue.Push(Text("C"));
    EXPECT_EQ(queue.Count(), 3u);
    EXPECT_EQ(TextOf(queue.Pop()), "A");
    EXPECT_EQ(TextOf(queue.Pop()), "B");
    EXPECT_EQ(TextOf(queue.Pop()), "C");
    EXPECT_TRUE(queue.IsEmpty());
}

TEST(PeerMessageQueue, PushBackAndPopFrontWorkAtTheOtherEnds)
{
    CPeerMessageQueue queue;
    queue.Push(Text("A"));
    queue.Push(Text("B"));
    queue.PushBack(Text("C"));  // lands where Pop takes from
    EXPECT_EQ(TextOf(queue.Pop()), "C");
    EXPECT_EQ(TextOf(queue.PopFront()), "B");
    EXPECT_EQ(TextOf(queue.PopFront()), "A");

    queue.PushBack(Text("D"));
    queue.PushBack(Text("E"));
    EXPECT_EQ(TextOf(queue.PopFront()), "D") << "PushBack/PopFront is first-in first-out too";
}

TEST(PeerMessageQueue, PoppingAnEmptyQueueYieldsTheEmptyMessage)
{
    CPeerMessageQueue queue;
    EXPECT_TRUE(queue.IsEmpty());
    EXPECT_EQ(queue.Count(), 0u);
    EXPECT_TRUE(queue.Pop().IsEmpty());
    EXPECT_TRUE(queue.PopFront().IsEmpty());

    queue.Push(Text("A"));
    queue.Push(Text("B"));
    queue.Clear();
    EXPECT_TRUE(queue.IsEmpty());
    EXPECT_TRUE(queue.Pop().IsEmpty());
}

TEST(PeerMessageQueue, HoldsItsOwnCopy)
{
    CPeerMessageQueue queue;
    {
        CPeerMessage message = Text("kept", 5);
        queue.Push(message);
        message.SetUserId(99);
    }
    const CPeerMessage popped = queue.Pop();
    EXPECT_EQ(popped.UserId(), 5u);
    EXPECT_EQ(TextOf(popped), "kept");
}

// Producers on several threads (as the sound thread and the window thread), one consumer;
// a second pair of queues runs at the same time because all queues share one lock.
TEST(PeerMessageQueue, ConcurrentProducersLoseNothingAndKeepTheirOrder)
{
    constexpr std::uint32_t kProducers = 4;
    constexpr std::uint32_t kPerProducer = 5000;
    CPeerMessageQueue queue;
    CPeerMessageQueue other;

    std::vector<std::thread> producers;
    for (std::uint32_t producer = 0; producer < kProducers; ++producer) {
        producers.emplace_back([&queue, &other, producer] {
            for (std::uint32_t seq = 0; seq < kPerProducer; ++seq) {
                const std::uint32_t payload[2] = {producer, seq};
                CPeerMessage message;
                message.Set(KIND_VOICE_DATA, 0, producer, payload, sizeof payload);
                queue.Push(message);
                if (seq % 8 == 0) other.PushBack(message);
            }
        });
    }
    std::thread otherConsumer([&other] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        std::uint32_t seen = 0;
        while (seen < kProducers * ((kPerProducer + 7) / 8) && std::chrono::steady_clock::now() < deadline) {
            if (!other.PopFront().IsEmpty())
                ++seen;
            else
                std::this_thread::yield();
        }
    });

    std::vector<std::uint32_t> next(kProducers, 0);
    std::uint32_t received = 0;
    bool ordered = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (received < kProducers * kPerProducer && std::chrono::steady_clock::now() < deadline) {
        const CPeerMessage message = queue.Pop();
        if (message.IsEmpty()) {
            std::this_thread::yield();
            continue;
        }
        std::uint32_t payload[2];
        if (message.PayloadLength() != sizeof payload)
            break;  // the threads are joined below before anything is reported
        std::memcpy(payload, message.Payload(), sizeof payload);
        if (payload[0] >= kProducers) break;
        ordered = ordered && payload[1] == next[payload[0]];
        next[payload[0]] = payload[1] + 1;
        ++received;
    }
    for (auto& thread : producers) thread.join();
    otherConsumer.join();

    EXPECT_EQ(received, kProducers * kPerProducer);
    EXPECT_TRUE(ordered);
    for (std::uint32_t producer = 0; producer < kProducers; ++producer)
        EXPECT_EQ(next[producer], kPerProducer) << "producer " << producer;
    EXPECT_TRUE(queue.IsEmpty());
    EXPECT_TRUE(other.IsEmpty());
}

}  // namespace
