// The service under sustained traffic over real TCP on this machine.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "PeerTestSupport.h"

namespace peer::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Counts arrivals and checks their bytes as they come, without keeping hundreds of
// megabytes of copies around. Every message is filled with the low byte of its sequence
// number, which also stands in its first four bytes.
struct CArrivals {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t count = 0;
    std::size_t corrupt = 0;
    Clock::time_point last{};
    std::size_t joined = 0;
    std::size_t players = 0;

    static Result Handler(void* context, std::uint32_t id, void* data)
    {
        auto* self = static_cast<CArrivals*>(context);
        std::lock_guard lock(self->mutex);
        if (id == DPN_MSGID_RECEIVE) {
            auto* e = static_cast<ReceiveEvent*>(data);
            const auto* b = static_cast<const std::uint8_t*>(e->data);
            std::uint32_t number = 0;
            bool ok = e->size >= 4;
            if (ok) std::memcpy(&number, b, 4);
            ok = ok && number == self->count;
            for (std::size_t i = 4; ok && i < e->size; i += 509) ok = b[i] == static_cast<std::uint8_t>(number);
            ok = ok && b[e->size - 1] == static_cast<std::uint8_t>(number);
            if (!ok) ++self->corrupt;
            ++self->count;
            self->last = Clock::now();
        } else if (id == DPN_MSGID_CONNECT_COMPLETE) {
            ++self->joined;
        } else if (id == DPN_MSGID_CREATE_PLAYER) {
            ++self->players;
        }
        self->changed.notify_all();
        return DPN_OK;
    }
    template <class Pred>
    bool Wait(Pred pred, std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, pred);
    }
};

struct CCounted {
    CArrivals arrivals;
    CPeerService service;
    CCounted() { service.Initialize(&arrivals, &CArrivals::Handler, FastOptions()); }
};

// Back-to-back bursts of 2 MiB messages between two members, after voice-like traffic: more
// than the host may queue for one link, so the host must slow the sender down rather than
// give up on the receiver, and the kernel's view of the link must not throttle bulk to a
// crawl. Each message must arrive within a second of the one before.
TEST(PeerLoad, LargeMessagesBetweenMembersNeverStallAfterVoiceTraffic)
{
    CCounted host, a, b;
    ASSERT_EQ(host.service.Host({kApp, "VoiceSession"}, 0), DPN_OK);
    const std::uint16_t port = host.service.BoundPort();
    for (CCounted* m : {&a, &b}) {
        ASSERT_EQ(m->service.Connect(kApp, "127.0.0.1", port, "x", 1), DPNSUCCESS_PENDING);
        ASSERT_TRUE(m->arrivals.Wait([&] { return m->arrivals.joined == 1; }, 20s));
    }
    ASSERT_TRUE(a.arrivals.Wait([&] { return a.arrivals.players == 3; }, 20s));
    const PlayerId idB = b.service.LocalPlayer();

    std::uint32_t sent = 0;
    auto message = [&](std::size_t size) {
        Bytes m(size, static_cast<std::uint8_t>(sent));
        std::memcpy(m.data(), &sent, 4);
        ++sent;
        return m;
    };
    auto send = [&](const Bytes& m, std::uint32_t flags) {
        EXPECT_EQ(
            a.service.SendTo(idB, m.data(), static_cast<std::uint32_t>(m.size()), 0ms, flags | DPNSEND_NOCOMPLETE),
            DPNSUCCESS_PENDING);
    };
    for (int i = 0; i < 300; ++i) {
        send(message(400), DPNSEND_PRIORITY_HIGH);
        ASSERT_TRUE(b.arrivals.Wait([&] { return b.arrivals.count == sent; }, 20s));
    }
    Clock::duration slowest{};
    for (int burst = 0; burst < 5 && slowest <= 1s; ++burst) {
        const std::size_t first = sent;
        std::vector<Bytes> messages;
        for (int i = 0; i < 40; ++i) messages.push_back(message(2 * 1024 * 1024));
        for (const Bytes& m : messages) send(m, DPNSEND_PRIORITY_LOW);
        auto previous = Clock::now();
        for (std::size_t n = first + 1; n <= sent; ++n) {
            // A long bound only so that a stall ends the test instead of hanging it.
            if (!b.arrivals.Wait([&] { return b.arrivals.count >= n; }, 30s)) {
                slowest = Clock::duration::max();
                break;
            }
            std::lock_guard lock(b.arrivals.mutex);
            slowest = std::max(slowest, b.arrivals.last - previous);
            previous = std::max(previous, b.arrivals.last);
        }
    }
    EXPECT_LE(slowest, 1s) << (slowest == Clock::duration::max()
                                   ? std::string("a transfer never arrived")
                                   : "a 2 MiB transfer took " +
                                         std::to_string(
                                             std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count()) +
                                         " ms");
    EXPECT_EQ(host.service.GetStats().droppedLinks, 0u);
    std::lock_guard lock(b.arrivals.mutex);
    EXPECT_EQ(b.arrivals.count, sent);
    EXPECT_EQ(b.arrivals.corrupt, 0u);
}

// Small urgent messages are written at once from the sending thread while their link is idle,
// and queued otherwise (when the link is busy, or the message too large). Whichever way each
// goes, the messages of one sending thread keep their order and bytes, also over TLS while
// the same link is being read and beside bulk.
TEST(PeerLoad, UrgentMessagesFromSeveralThreadsKeepOrderAndBytesBesideBulk)
{
    CNode host, a, b;
    const std::uint16_t port = host.Host();
    ASSERT_EQ(a.JoinAndWait(port).result, DPN_OK);
    ASSERT_EQ(b.JoinAndWait(port).result, DPN_OK);
    ASSERT_TRUE(a.recorder.WaitForCount(DPN_MSGID_CREATE_PLAYER, 3));
    constexpr std::uint32_t kCount = 1500, kBulk = 24;
    // Message n of a stream: the stream in byte 0, n in bytes 1-4, the rest derived from both.
    auto make = [](std::uint8_t stream, std::uint32_t n) {
        const std::size_t sizes[] = {400, 37, 4096, 4097, 900};
        Bytes m(stream == 3 ? 100 * 1024 + n * 7919 : sizes[n % 5]);
        for (std::size_t i = 0; i < m.size(); ++i) m[i] = static_cast<std::uint8_t>(n * 31 + stream + i);
        m[0] = stream;
        std::memcpy(&m[1], &n, 4);
        return m;
    };
    auto send = [&](CNode& from, PlayerId to, std::uint8_t stream) {
        const bool bulk = stream == 3;
        for (std::uint32_t n = 0; n < (bulk ? kBulk : kCount); ++n) {
            EXPECT_EQ(Send(from, to, make(stream, n), bulk ? DPNSEND_PRIORITY_LOW : DPNSEND_PRIORITY_HIGH),
                      DPNSUCCESS_PENDING);
            if (bulk || n % 8 == 0)
                std::this_thread::sleep_for(bulk ? 5ms : 300us);  // the link falls idle now and then
        }
    };
    const PlayerId idA = a.service.LocalPlayer(), idB = b.service.LocalPlayer(), idHost = host.service.LocalPlayer();
    std::thread fromA([&] { send(a, idB, 1); });
    std::thread bulkFromA([&] { send(a, idB, 3); });
    send(host, idA, 2);
    fromA.join();
    bulkFromA.join();

    ASSERT_TRUE(b.recorder.WaitForCount(DPN_MSGID_RECEIVE, kCount + kBulk, 60s));
    ASSERT_TRUE(a.recorder.WaitForCount(DPN_MSGID_RECEIVE, kCount, 60s));
    for (auto [to, from, stream, count] : {std::tuple{&b, idA, std::uint8_t{1}, kCount},
                                           {&a, idHost, std::uint8_t{2}, kCount},
                                           {&b, idA, std::uint8_t{3}, kBulk}}) {
        std::uint32_t next = 0;
        for (const Event& e : to->recorder.Events(DPN_MSGID_RECEIVE)) {
            if (e.player != from || e.data[0] != stream) continue;
            ASSERT_TRUE(e.data == make(stream, next)) << "stream " << int{stream} << ": message " << next;
            ++next;
        }
        EXPECT_EQ(next, count);
    }
}

}  // namespace
}  // namespace peer::test
