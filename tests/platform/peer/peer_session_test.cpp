// Sessions of a host and members over real TCP sockets on this machine.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <thread>

#include "PeerLinkEmulator.h"
#include "PeerTestSupport.h"

namespace peer::test {
namespace {

using namespace std::chrono_literals;

Bytes Pattern(std::size_t size, std::uint8_t seed)
{
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 13));
    return b;
}

// A message for everyone reaches every other player once, small (written at once) or large
// (queued), whichever protocol version host and members speak: a member of version 3 sends it
// to a host of 3 once, joins a host of 2 again in 2 and sends one per player there.
TEST(PeerSession, AMessageForEveryoneReachesEachOtherPlayerOnceAcrossVersions)
{
    for (const auto& [hostVersion, firstVersion] : {std::pair{3, 3}, {3, 2}, {2, 3}}) {
        SCOPED_TRACE("host " + std::to_string(hostVersion) + ", first member " + std::to_string(firstVersion));
        auto options = [](int version) {
            ServiceOptions o = FastOptions();
            o.protocolVersion = static_cast<std::uint16_t>(version);
            return o;
        };
        CNode host(options(hostVersion));
        const std::uint16_t port = host.Host();
        ASSERT_NE(port, 0);
        CNode a(options(firstVersion));
        CNode b(options(3));
        ASSERT_EQ(a.JoinAndWait(port, "a").result, DPN_OK);
        ASSERT_EQ(b.JoinAndWait(port, "b").result, DPN_OK);
        ASSERT_TRUE(a.recorder.WaitForCount(DPN_MSGID_CREATE_PLAYER, 3));
        const Bytes small = Pattern(200, 1);
        const Bytes large = Pattern(300 * 1024, 2);
        for (CNode* sender : {&a, &host, &b}) {
            for (const Bytes* data : {&small, &large}) {
                ASSERT_EQ(sender->service.SendTo(DPNID_ALL_PLAYERS_GROUP, data->data(),
                                                 static_cast<std::uint32_t>(data->size()), 0ms, DPNSEND_PRIORITY_HIGH),
                          DPNSUCCESS_PENDING);
            }
        }
        for (CNode* node : {&host, &a, &b}) {
            ASSERT_TRUE(node->recorder.WaitForCount(DPN_MSGID_RECEIVE, 4, 20s));
        }
        for (CNode* sender : {&a, &host, &b}) {
            const PlayerId from = sender->service.LocalPlayer();
            for (CNode* node : {&host, &a, &b}) {
                std::size_t got = 0;
                for (const Event& e : node->recorder.Events(DPN_MSGID_RECEIVE)) {
                    got += e.player == from && (e.data == small || e.data == large);
                }
                EXPECT_EQ(got, node == sender ? 0u : 2u) << "from " << from << " at " << node->service.LocalPlayer();
            }
        }
    }
}

TEST(PeerSession, HostAndThreeMembersSeeEveryoneInOrder)
{
    CNode host;
    const std::uint16_t port = host.Host();
    ASSERT_NE(port, 0);
    const PlayerId hostId = host.service.LocalPlayer();
    ASSERT_NE(hostId, 0u);
    {
        auto created = host.recorder.Events(DPN_MSGID_CREATE_PLAYER);
        ASSERT_EQ(created.size(), 1u);
        EXPECT_EQ(created[0].player, hostId);
        EXPECT_TRUE(created[0].local);
    }
    const Bytes hostInfo{9, 8, 7};
    ASSERT_EQ(host.service.SetPeerInfo("host", hostInfo.data(), 3), DPN_OK);

    std::vector<std::unique_ptr<CNode>> members;
    std::vector<PlayerId> ids{hostId};
    for (int i = 0; i < 3; ++i) {
        members.push_back(std::make_unique<CNode>());
        CNode& m = *members.back();
        const Event done = m.JoinAndWait(port, "member" + std::to_string(i));
        ASSERT_EQ(done.result, DPN_OK) << i;
        ASSERT_NE(done.player, 0u);
        EXPECT_EQ(ReplyValue(done), hostId) << "the reply carries the host's answer";
        EXPECT_EQ(m.service.LocalPlayer(), done.player);
        ids.push_back(done.player);

        // Every member present, itself included, is created before the connect completes.
        auto events = m.recorder.Events();
        std::vector<PlayerId> createdBefore;
        bool sawComplete = false;
        for (const Event& e : events) {
            if (e.id == DPN_MSGID_CONNECT_COMPLETE) {
                sawComplete = true;
                break;
            }
            if (e.id == DPN_MSGID_CREATE_PLAYER) {
                createdBefore.push_back(e.player);
                EXPECT_EQ(e.local, e.player == done.player);
            }
        }
        EXPECT_TRUE(sawComplete);
        EXPECT_EQ(createdBefore, ids) << "host first, then in order of joining, the joiner last";
    }
    // Earlier members learn of later ones; the host of all three.
    for (std::size_t i = 0; i < members.size(); ++i) {
        ASSERT_TRUE(members[i]->recorder.WaitForCount(DPN_MSGID_CREATE_PLAYER, 4)) << i;
    }
    ASSERT_TRUE(host.recorder.WaitForCount(DPN_MSGID_CREATE_PLAYER, 4));
    EXPECT_EQ(host.recorder.Requests(), 3);
    EXPECT_EQ(host.recorder.OutstandingReplies(), 0) << "every reply buffer came back";
    {
        // The request carried the connect data.
        auto requests = host.recorder.Events(DPN_MSGID_INDICATE_CONNECT);
        ASSERT_EQ(requests.size(), 3u);
        EXPECT_EQ(requests[0].data, (Bytes{1, 2, 3}));
    }

    // Ids are distinct and non-zero.
    EXPECT_EQ(std::set<PlayerId>(ids.begin(), ids.end()).size(), 4u);

    // Names and data are readable by everybody, the host's too.
    for (auto* node : {&host, members[0].get(), members[1].get(), members[2].get()}) {
        std::string name;
        Bytes data;
        ASSERT_TRUE(node->recorder.WaitFor(
            [&] { return node->service.GetPeerInfo(hostId, name, data) == DPN_OK && data == hostInfo; }));
        EXPECT_EQ(name, "host");
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(node->service.GetPeerInfo(ids[i + 1], name, data), DPN_OK);
            EXPECT_EQ(name, "member" + std::to_string(i));
            EXPECT_EQ(std::string(data.begin(), data.end()), name);
        }
        EXPECT_EQ(node->service.GetPeerInfo(0x12345, name, data), DPNERR_INVALIDPLAYER);
    }

    // A change of info reaches the others as a peer-info event.
    const Bytes newInfo{42};
    ASSERT_EQ(members[1]->service.SetPeerInfo("renamed", newInfo.data(), 1), DPN_OK);
    for (auto* node : {&host, members[0].get(), members[2].get()}) {
        std::string name;
        Bytes data;
        ASSERT_TRUE(node->recorder.WaitFor(
            [&] { return node->service.GetPeerInfo(ids[2], name, data) == DPN_OK && name == "renamed"; }));
        EXPECT_EQ(data, newInfo);
        ASSERT_TRUE(node->recorder.WaitFor([&] {
            for (const Event& e : node->recorder.Events(DPN_MSGID_PEER_INFO)) {
                if (e.player == ids[2]) return true;
            }
            return false;
        }));
    }

    // A member leaving is destroyed everywhere; the session goes on for the others.
    members[0]->service.Close();
    for (auto* node : {&host, members[1].get(), members[2].get()}) {
        ASSERT_TRUE(node->recorder.WaitFor([&] { return node->recorder.HasDestroyed(ids[1]); }));
    }
    EXPECT_EQ(host.recorder.Events(DPN_MSGID_DESTROY_PLAYER).front().reason, DPNDESTROYPLAYERREASON_NORMAL);
    // The leaver itself saw every player destroyed, itself last, and no session end.
    auto left = members[0]->recorder.Events(DPN_MSGID_DESTROY_PLAYER);
    ASSERT_EQ(left.size(), 4u);
    EXPECT_EQ(left.back().player, ids[1]);
    EXPECT_EQ(members[0]->recorder.Count(DPN_MSGID_TERMINATE_SESSION), 0u);

    // The host ends the session: players destroyed before the session ends, at every member.
    host.service.Close();
    for (int i = 1; i < 3; ++i) {
        CNode& m = *members[i];
        ASSERT_TRUE(m.recorder.WaitForCount(DPN_MSGID_TERMINATE_SESSION, 1)) << i;
        auto events = m.recorder.Events();
        std::size_t destroyed = 0;
        for (const Event& e : events) {
            if (e.id == DPN_MSGID_DESTROY_PLAYER) ++destroyed;
            if (e.id == DPN_MSGID_TERMINATE_SESSION) {
                EXPECT_EQ(destroyed, 4u) << "the leaver earlier; now the host, the other member and itself";
                EXPECT_EQ(e.result, DPNERR_HOSTTERMINATEDSESSION);
            }
        }
    }
}

TEST(PeerSession, UnicastBetweenMembersTravelsThroughTheHost)
{
    CNode host;
    const std::uint16_t port = host.Host();
    CNode a, b;
    ASSERT_EQ(a.JoinAndWait(port).result, DPN_OK);
    ASSERT_EQ(b.JoinAndWait(port).result, DPN_OK);
    ASSERT_TRUE(a.recorder.WaitForCount(DPN_MSGID_CREATE_PLAYER, 3));
    const PlayerId idA = a.service.LocalPlayer();
    const PlayerId idB = b.service.LocalPlayer();
    const PlayerId idHost = host.service.LocalPlayer();

    const Bytes voice = Pattern(400, 1);
    const Bytes file = Pattern(2 * 1024 * 1024 + 123, 2);
    EXPECT_EQ(Send(a, idB, file, DPNSEND_PRIORITY_LOW), DPNSUCCESS_PENDING);
    EXPECT_EQ(Send(a, idB, voice, DPNSEND_PRIORITY_HIGH), DPNSUCCESS_PENDING);
    EXPECT_EQ(Send(b, idA, voice, DPNSEND_PRIORITY_HIGH), DPNSUCCESS_PENDING);
    EXPECT_EQ(Send(a, idHost, voice, DPNSEND_PRIORITY_LOW), DPNSUCCESS_PENDING);
    EXPECT_EQ(Send(host, idA, file, DPNSEND_PRIORITY_LOW), DPNSUCCESS_PENDING);
    EXPECT_EQ(Send(a, idA, voice, 0), DPNSUCCESS_PENDING) << "to oneself";

    ASSERT_TRUE(b.recorder.WaitFor([&] { return b.Received(idA, file) && b.Received(idA, voice); }));
    ASSERT_TRUE(a.recorder.WaitFor(
        [&] { return a.Received(idB, voice) && a.Received(idHost, file) && a.Received(idA, voice); }));
    ASSERT_TRUE(host.recorder.WaitFor([&] { return host.Received(idA, voice); }));
    EXPECT_EQ(host.recorder.Count(DPN_MSGID_RECEIVE), 1u) << "relayed traffic is not the host's";
    EXPECT_EQ(b.recorder.Count(DPN_MSGID_RECEIVE), 2u);

    // The large message reports its progress at every 64 KiB it crosses, relayed ones not at all.
    for (CNode* node : {&a, &b}) {
        const auto progress = node->recorder.Events(DPN_MSGID_RECEIVE_PROGRESS);
        ASSERT_EQ(progress.size(), file.size() / ReceiveProgressEvent::kProgressStep);
        for (std::size_t i = 0; i < progress.size(); ++i) {
            EXPECT_EQ(progress[i].player, node == &a ? idHost : idA);
            EXPECT_EQ(progress[i].total, file.size());
            EXPECT_GE(progress[i].received, (i + 1) * ReceiveProgressEvent::kProgressStep);
            EXPECT_LT(progress[i].received, (i + 1) * ReceiveProgressEvent::kProgressStep + wire::kChunkSize);
        }
    }
    EXPECT_EQ(host.recorder.Count(DPN_MSGID_RECEIVE_PROGRESS), 0u);

    // Refused sends.
    EXPECT_EQ(Send(a, 0x7777, voice, 0), DPNERR_INVALIDPLAYER);
    EXPECT_EQ(Send(a, idB, {}, 0), DPNERR_INVALIDPARAM);
    EXPECT_EQ(Send(a, idB, voice, DPNSEND_PRIORITY_HIGH | DPNSEND_PRIORITY_LOW), DPNERR_INVALIDFLAGS);
    EXPECT_EQ(Send(a, idB, Bytes(wire::kMaxMessageSize + 1), 0), DPNERR_INVALIDPARAM);
    EXPECT_EQ(a.service.DestroyPeer(idB), DPNERR_NOTHOST);
}

// Bulk messages of awkward sizes and voice-like messages between them, from two senders to one
// member, over encrypted and plain links: every byte lands where it belongs however the
// receiver cuts its reads and whatever comes between the chunks of a message.
TEST(PeerSession, MixedTrafficArrivesWholeOverEncryptedAndPlainLinks)
{
    for (const bool plain : {false, true}) {
        SCOPED_TRACE(plain ? "plain links" : "encrypted links");
        ServiceOptions options = FastOptions();
        options.plainLinks = plain;
        CNode host(options);
        const std::uint16_t port = host.Host();
        CNode a(options), b(options);
        ASSERT_EQ(a.JoinAndWait(port).result, DPN_OK);
        ASSERT_EQ(b.JoinAndWait(port).result, DPN_OK);
        ASSERT_TRUE(a.recorder.WaitForCount(DPN_MSGID_CREATE_PLAYER, 3));
        const PlayerId idA = a.service.LocalPlayer();
        const PlayerId idB = b.service.LocalPlayer();
        const PlayerId idHost = host.service.LocalPlayer();

        const std::size_t sizes[] = {2 * 1024 * 1024 - 1, 3 * wire::kChunkSize, wire::kChunkSize + 1, 100,
                                     300 * 1024 + 7};
        std::vector<Bytes> fromA, fromHost, voice;
        std::uint8_t seed = 10;
        for (const std::size_t size : sizes) {
            fromA.push_back(Pattern(size, seed++));
            EXPECT_EQ(Send(a, idB, fromA.back(), DPNSEND_PRIORITY_LOW), DPNSUCCESS_PENDING);
            voice.push_back(Pattern(400, seed++));
            EXPECT_EQ(Send(a, idB, voice.back(), DPNSEND_PRIORITY_HIGH), DPNSUCCESS_PENDING);
            fromHost.push_back(Pattern(size + 3, seed++));
            EXPECT_EQ(Send(host, idB, fromHost.back(), DPNSEND_PRIORITY_LOW), DPNSUCCESS_PENDING);
        }
        const std::size_t expected = fromA.size() + fromHost.size() + voice.size();
        ASSERT_TRUE(b.recorder.WaitForCount(DPN_MSGID_RECEIVE, expected, std::chrono::seconds(60)));
        const auto received = b.recorder.Events(DPN_MSGID_RECEIVE);
        EXPECT_EQ(received.size(), expected);
        const auto arrived = [&](PlayerId from, const Bytes& m) {
            return std::any_of(received.begin(), received.end(),
                               [&](const Event& e) { return e.player == from && e.data == m; });
        };
        for (const Bytes& m : fromA) EXPECT_TRUE(arrived(idA, m)) << m.size() << " bytes from a member";
        for (const Bytes& m : voice) EXPECT_TRUE(arrived(idA, m));
        for (const Bytes& m : fromHost) EXPECT_TRUE(arrived(idHost, m)) << m.size() << " bytes from the host";
    }
}

TEST(PeerSession, HighPriorityOvertakesAndTimedOutMessagesAreDropped)
{
    CNode host;
    const std::uint16_t port = host.Host();
    ServiceOptions slow = FastOptions();
    slow.linkShaper = EmulatedLink(8'000'000);  // 1 MiB takes about a second
    CNode a(slow);
    CNode b;
    ASSERT_EQ(a.JoinAndWait(port).result, DPN_OK);
    ASSERT_EQ(b.JoinAndWait(port).result, DPN_OK);
    ASSERT_TRUE(a.recorder.WaitForCount(DPN_MSGID_CREATE_PLAYER, 3));
    const PlayerId idA = a.service.LocalPlayer();
    const PlayerId idB = b.service.LocalPlayer();

    const Bytes big = Pattern(1024 * 1024, 3);
    const Bytes late = Pattern(100, 4);
    const Bytes urgent = Pattern(100, 5);
    const Bytes after = Pattern(100, 6);
    ASSERT_EQ(Send(a, idB, big, DPNSEND_PRIORITY_LOW), DPNSUCCESS_PENDING);
    ASSERT_EQ(Send(a, idB, late, DPNSEND_PRIORITY_LOW, 20ms), DPNSUCCESS_PENDING);
    ASSERT_EQ(Send(a, idB, after, DPNSEND_PRIORITY_LOW), DPNSUCCESS_PENDING);
    ASSERT_EQ(Send(a, idB, urgent, DPNSEND_PRIORITY_HIGH), DPNSUCCESS_PENDING);

    ASSERT_TRUE(b.recorder.WaitFor([&] { return b.Received(idA, after); }));
    auto received = b.recorder.Events(DPN_MSGID_RECEIVE);
    ASSERT_EQ(received.size(), 3u) << "the timed-out message never arrives";
    EXPECT_EQ(received[0].data, urgent) << "high priority does not wait for the big message";
    EXPECT_EQ(received[1].data, big);
    EXPECT_EQ(received[2].data, after);
    EXPECT_GE(a.service.GetStats().droppedMessages, 1u);
}

TEST(PeerSession, RefusedConnectCarriesTheReason)
{
    CNode host;
    const std::uint16_t port = host.Host();
    host.recorder.SetDecision([](const Bytes&, std::uint32_t& reply) {
        reply = 3;
        return DPNERR_HOSTREJECTEDCONNECTION;
    });
    CNode joiner;
    const Event done = joiner.JoinAndWait(port);
    EXPECT_EQ(done.result, DPNERR_HOSTREJECTEDCONNECTION);
    EXPECT_EQ(ReplyValue(done), 3u);
    EXPECT_EQ(joiner.recorder.Count(DPN_MSGID_CREATE_PLAYER), 0u);
    EXPECT_EQ(joiner.service.LocalPlayer(), 0u);
    EXPECT_EQ(host.service.Players().size(), 1u);
    EXPECT_EQ(host.recorder.Count(DPN_MSGID_CREATE_PLAYER), 1u);
    ASSERT_TRUE(host.recorder.WaitFor([&] { return host.recorder.OutstandingReplies() == 0; }));

    // Any failure code counts as a refusal.
    host.recorder.SetDecision([](const Bytes&, std::uint32_t& reply) {
        reply = 1001;
        return DPNERR_INVALIDPARAM;
    });
    CNode second;
    const Event done2 = second.JoinAndWait(port);
    EXPECT_EQ(done2.result, DPNERR_HOSTREJECTEDCONNECTION);
    EXPECT_EQ(ReplyValue(done2), 1001u);
    EXPECT_EQ(second.recorder.Count(DPN_MSGID_CONNECT_COMPLETE), 1u);
}

TEST(PeerSession, WrongApplicationOrUnreachableHostFails)
{
    CNode host;
    const std::uint16_t port = host.Host();
    CNode stranger;
    EXPECT_EQ(stranger.JoinAndWait(port, {}, kOtherApp).result, DPNERR_INVALIDAPPLICATION);
    EXPECT_EQ(host.recorder.Requests(), 0) << "the host's user is never asked";

    // Nobody listens on the port of a closed host.
    host.service.Close();
    CNode late;
    EXPECT_EQ(late.JoinAndWait(port).result, DPNERR_NOANSWER);
    EXPECT_EQ(late.recorder.Count(DPN_MSGID_CONNECT_COMPLETE), 1u);
}

TEST(PeerSession, SlowDecisionDoesNotStallTheSession)
{
    CNode host;
    const std::uint16_t port = host.Host();
    CNode a;
    ASSERT_EQ(a.JoinAndWait(port).result, DPN_OK);
    const PlayerId idA = a.service.LocalPlayer();
    const PlayerId idHost = host.service.LocalPlayer();

    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    host.recorder.SetDecision([&](const Bytes&, std::uint32_t& reply) {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return release; });
        reply = idHost;
        return DPN_OK;
    });
    CNode slow;
    ASSERT_EQ(slow.Join(port), DPNSUCCESS_PENDING);
    ASSERT_TRUE(host.recorder.WaitFor([&] { return host.recorder.Requests() == 2; }));

    // While the user thinks, traffic flows both ways and keep-alive holds everyone
    // (a wait longer than the test keep-alive time-out).
    for (int i = 0; i < 10; ++i) {
        const Bytes ping = Pattern(50, static_cast<std::uint8_t>(i));
        ASSERT_EQ(Send(a, idHost, ping, DPNSEND_PRIORITY_HIGH), DPNSUCCESS_PENDING);
        ASSERT_EQ(Send(host, idA, ping, DPNSEND_PRIORITY_HIGH), DPNSUCCESS_PENDING);
        ASSERT_TRUE(host.recorder.WaitFor([&] { return host.Received(idA, ping); }));
        ASSERT_TRUE(a.recorder.WaitFor([&] { return a.Received(idHost, ping); }));
        std::this_thread::sleep_for(200ms);  // pacing the traffic, not waiting for a result
    }
    EXPECT_EQ(slow.recorder.Count(DPN_MSGID_CONNECT_COMPLETE), 0u);
    EXPECT_FALSE(a.recorder.HasDestroyed(idHost));
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    ASSERT_TRUE(slow.recorder.WaitForCount(DPN_MSGID_CONNECT_COMPLETE, 1));
    EXPECT_EQ(slow.recorder.Events(DPN_MSGID_CONNECT_COMPLETE)[0].result, DPN_OK);
    ASSERT_TRUE(a.recorder.WaitForCount(DPN_MSGID_CREATE_PLAYER, 3));
}

TEST(PeerSession, UnansweredJoinerGivesUp)
{
    CNode host;
    const std::uint16_t port = host.Host();
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    host.recorder.SetDecision([&](const Bytes&, std::uint32_t&) {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return release; });
        return DPN_OK;  // too late: the joiner is gone
    });
    ServiceOptions impatient = FastOptions();
    impatient.connectTimeout = 1500ms;
    CNode joiner(impatient);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(joiner.JoinAndWait(port).result, DPNERR_TIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1400ms);
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    ASSERT_TRUE(host.recorder.WaitForCount(DPN_MSGID_INDICATE_CONNECT, 1));
    ASSERT_TRUE(host.recorder.WaitFor([&] { return host.recorder.OutstandingReplies() == 0; }));
    // The late acceptance creates nobody.
    CNode check;
    host.recorder.SetDecision(nullptr);
    ASSERT_EQ(check.JoinAndWait(port).result, DPN_OK);
    EXPECT_EQ(host.service.Players().size(), 2u);
    EXPECT_EQ(joiner.recorder.Count(DPN_MSGID_CONNECT_COMPLETE), 1u);
}

TEST(PeerSession, DestroyedMemberLeavesAndIdsAreNotReused)
{
    CNode host;
    const std::uint16_t port = host.Host();
    CNode a, b;
    ASSERT_EQ(a.JoinAndWait(port).result, DPN_OK);
    ASSERT_EQ(b.JoinAndWait(port).result, DPN_OK);
    const PlayerId idB = b.service.LocalPlayer();
    EXPECT_EQ(host.service.DestroyPeer(host.service.LocalPlayer()), DPNERR_INVALIDPLAYER);
    EXPECT_EQ(host.service.DestroyPeer(0x4242), DPNERR_INVALIDPLAYER);
    ASSERT_EQ(host.service.DestroyPeer(idB), DPN_OK);

    ASSERT_TRUE(b.recorder.WaitForCount(DPN_MSGID_TERMINATE_SESSION, 1));
    // Told apart from the host ending its session.
    EXPECT_EQ(b.recorder.Events(DPN_MSGID_TERMINATE_SESSION)[0].result, DPNERR_HOSTDESTROYEDPLAYER);
    EXPECT_EQ(b.recorder.Count(DPN_MSGID_DESTROY_PLAYER), 3u);
    ASSERT_TRUE(a.recorder.WaitFor([&] { return a.recorder.HasDestroyed(idB); }));
    // The host's own event comes from its I/O thread, not from DestroyPeer itself.
    ASSERT_TRUE(host.recorder.WaitFor([&] { return host.recorder.HasDestroyed(idB); }));
    ASSERT_FALSE(host.recorder.Events(DPN_MSGID_DESTROY_PLAYER).empty());
    EXPECT_EQ(host.recorder.Events(DPN_MSGID_DESTROY_PLAYER)[0].reason, DPNDESTROYPLAYERREASON_HOSTDESTROYEDPLAYER);

    std::set<PlayerId> seen{host.service.LocalPlayer(), a.service.LocalPlayer(), idB};
    for (int i = 0; i < 3; ++i) {
        CNode again;
        ASSERT_EQ(again.JoinAndWait(port).result, DPN_OK);
        EXPECT_TRUE(seen.insert(again.service.LocalPlayer()).second) << "id reused";
        EXPECT_NE(again.service.LocalPlayer(), 0u);
    }
}

TEST(PeerSession, OperationsOutsideASessionAreRefused)
{
    CNode node;
    const Bytes data{1};
    EXPECT_EQ(Send(node, 1, data, 0), DPNERR_NOCONNECTION);
    EXPECT_EQ(node.service.DestroyPeer(1), DPNERR_NOTHOST);
    EXPECT_EQ(node.service.SetPeerInfo("me", data.data(), 1), DPN_OK) << "allowed before hosting";
    ASSERT_NE(node.Host(), 0);
    EXPECT_EQ(node.service.Host({kApp, "again"}, 0), DPNERR_NOTREADY);
    EXPECT_EQ(node.Join(1), DPNERR_NOTREADY);
    std::string name;
    Bytes info;
    ASSERT_EQ(node.service.GetPeerInfo(node.service.LocalPlayer(), name, info), DPN_OK);
    EXPECT_EQ(name, "me");

    CPeerService idle;
    EXPECT_EQ(idle.SendTo(1, data.data(), 1, 0ms, 0), DPNERR_UNINITIALIZED);
    EXPECT_EQ(idle.Close(), DPNERR_UNINITIALIZED);
}

}  // namespace
}  // namespace peer::test
