#pragma once
// The peer session service: a session of players hosted by one of them on a TCP port and
// joined by others, who all reach each other through the host. Events go to one handler,
// called on the service's own threads with the identifiers of PeerCodes.h and the structures
// of PeerEvents.h. Every operation may be called from any thread except where noted.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/peer/PeerCodes.h"
#include "platform/peer/PeerEvents.h"
#include "platform/peer/PeerFrame.h"
#include "platform/peer/PeerSecurity.h"

namespace peer {

class ILinkShaper;

// (context, event id, event data) -> result; only the connect request's result matters.
using EventHandler = std::function<Result(void* context, std::uint32_t eventId, void* event)>;

struct ServiceOptions {
    // A link that stays silent this long is dead; a ping goes out after `keepAliveInterval`
    // without other traffic. The defaults destroy a vanished member within 10 seconds.
    std::chrono::milliseconds keepAliveInterval{1000};
    std::chrono::milliseconds keepAliveTimeout{6000};
    // A joiner gives up when its connect has not completed by then (the host's user may be
    // slow to answer, so this is long).
    std::chrono::milliseconds connectTimeout{60000};
    // A connection that does not introduce itself by then is dropped by the host.
    std::chrono::milliseconds helloTimeout{10000};
    // Members and joiners that have introduced themselves, and connect requests a host lets
    // wait for an answer.
    std::size_t maxConnections = 64;
    std::size_t maxPendingRequests = 4;
    // Connections that have not introduced themselves yet, from one address and in all. At
    // either bound the oldest that has sent nothing gives way to the newcomer; where every one
    // has spoken (a joiner far away is under way), the newcomer waits its turn, up to
    // maxWaitingHandshakes in all. One that sends nothing within firstByteTimeout is dropped.
    std::size_t maxHandshakesPerAddress = 4;
    std::size_t maxHandshakes = 32;
    std::size_t maxWaitingHandshakes = 64;
    std::chrono::milliseconds firstByteTimeout{3000};
    // Bytes waiting to go out on one link before it counts as stalled and is dropped.
    std::size_t maxQueuedBytesPerLink = 64 * 1024 * 1024;
    // Benchmarks and tests: a shaper for each new link, emulating a slower link than the one
    // they have (see PeerLinkShaper.h); unset = none.
    std::function<std::shared_ptr<ILinkShaper>()> linkShaper;
    // Optional sink for diagnostic lines (protocol violations, dropped links).
    std::function<void(const std::string&)> log;

    // Our certificate and key, shown on every link. Empty: a new one for this service alone
    // (links are still encrypted, but nobody can pin it).
    Identity identity;
    // Joiner: decides on the host's key before anything of the session (the password proof
    // included) is sent; false refuses it and the connect fails with DPNERR_UNTRUSTEDHOST.
    // Runs on the I/O thread. Unset: every key is taken.
    struct HostKey {
        std::string host;  // as given to Connect
        std::uint16_t port = 0;
        std::string fingerprint;
    };
    std::function<bool(const HostKey&)> checkHostKey;
    // Host: wrong password proofs one address may give before it is refused, unheard, for a
    // while (see CAttemptLimiter), and the reply it is refused with.
    CAttemptLimiter::Rules attemptRules;
    Bytes throttledReply;
    // Benchmarks only: links without TLS, to measure what it costs. Both ends must agree.
    bool plainLinks = false;
    // Received messages handed to the handler and not yet reported done (CPeerService::
    // Delivered), per link: past either bound the link is not read until the application has
    // caught up to half of both, so a flooding peer slows itself and nobody else. 0: no bound.
    std::size_t receiveBudgetBytes = 0;
    std::size_t receiveBudgetMessages = 0;
    // Host: asked before a message from one member is relayed to another; false drops it.
    std::function<bool(PlayerId from, std::span<const std::uint8_t> payload)> acceptRelay;
    // Host: a member's player data is passed on to the others at most this often; what comes
    // faster is merged into the next update.
    std::chrono::milliseconds playerInfoInterval{500};
    // The newest protocol version spoken (wire::kProtocolVersion); an older one makes the
    // service host and join as a service of that version does, to try the two together.
    std::uint16_t protocolVersion = wire::kProtocolVersion;
};

struct ApplicationDesc {
    Guid application{};
    std::string sessionName;
};

class CPeerService {
public:
    CPeerService();
    ~CPeerService();  // closes; must not run on one of the service's own threads
    CPeerService(const CPeerService&) = delete;
    CPeerService& operator=(const CPeerService&) = delete;

    // Starts the service's threads. A second call closes what runs and starts afresh.
    Result Initialize(void* context, EventHandler handler, ServiceOptions options = {});

    // Hosts a session on `port` (0: any free port, see BoundPort). The local player is created
    // at once (one DPN_MSGID_CREATE_PLAYER with local = true).
    Result Host(const ApplicationDesc& application, std::uint16_t port = kDefaultPort);
    std::uint16_t BoundPort() const;
    // Why the last Host call failed (the system's words, e.g. "Address already in use");
    // empty when it succeeded.
    std::string HostError() const;

    // Joins the session at host:port. Returns DPNSUCCESS_PENDING; the outcome arrives as one
    // DPN_MSGID_CONNECT_COMPLETE, preceded on success by a create event for every member.
    // The password is never sent: the hello carries a proof of it bound to the link.
    Result Connect(const Guid& application, const std::string& host, std::uint16_t port, const void* connectData,
                   std::uint32_t connectDataSize, const std::string& password = {});
    // The fingerprint of the key this service shows.
    std::string Fingerprint() const;

    // Our name and data, shown to every member; may be set before Host or Connect.
    Result SetPeerInfo(const std::string& name, const void* data, std::uint32_t size);
    Result GetPeerInfo(PlayerId player, std::string& name, Bytes& data) const;

    // Queues one message for `player` (the local player included). `timeout` 0 = none; a
    // message not begun by then is dropped. Priority from DPNSEND_PRIORITY_HIGH/LOW (default
    // normal, which travels with low). Returns DPNSUCCESS_PENDING once queued.
    Result SendTo(PlayerId player, const void* data, std::uint32_t size, std::chrono::milliseconds timeout,
                  std::uint32_t flags);

    // From the handler of a received message: the call that reports that message done (see
    // receiveBudgetBytes). It may be made from any thread, also after the service has gone;
    // called elsewhere, the call returned counts nothing.
    std::function<void()> DeliveryDone() const;

    // Host only: removes a member from the session.
    Result DestroyPeer(PlayerId player);

    // Leaves or ends the session: a destroy event for every player, then no more events.
    // From one of the service's own threads the teardown is started and not waited for.
    Result Close();

    bool IsHost() const;
    PlayerId LocalPlayer() const;
    std::vector<PlayerId> Players() const;

    // Counters for tests and benchmarks.
    struct Stats {
        std::uint64_t droppedMessages = 0;  // time-outs and unknown targets
        std::uint64_t droppedLinks = 0;     // protocol violations, stalls, keep-alive
        std::uint64_t refusedRelays = 0;    // messages acceptRelay turned down
    };
    Stats GetStats() const;

    class Impl;

private:
    std::shared_ptr<Impl> m_impl;
};

}  // namespace peer
