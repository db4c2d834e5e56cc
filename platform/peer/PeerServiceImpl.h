#pragma once
// Inside of CPeerService. Threads: one I/O thread runs every socket, timer and event except
// connect requests, which run on a small pool so that a slow answer stalls nothing else, and
// small urgent messages on an idle link, which SendTo writes itself (CPeerConnection::SendNow).
// Fields marked [io] are touched only on the I/O thread; the rest are guarded by m_mutex.

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/peer/PeerConnection.h"
#include "platform/peer/PeerService.h"

namespace peer {

class CPeerService::Impl {
public:
    using Clock = std::chrono::steady_clock;

    Impl(void* context, EventHandler handler, ServiceOptions options);
    ~Impl();

    void Start();
    Result Host(const ApplicationDesc& application, std::uint16_t port);
    std::uint16_t BoundPort() const;
    std::string HostError() const;
    Result Connect(const Guid& application, const std::string& host, std::uint16_t port, const void* connectData,
                   std::uint32_t connectDataSize, const std::string& password);
    std::string Fingerprint() const { return m_fingerprint; }
    Result SetPeerInfo(const std::string& name, const void* data, std::uint32_t size);
    Result GetPeerInfo(PlayerId player, std::string& name, Bytes& data) const;
    Result SendTo(PlayerId player, const void* data, std::uint32_t size, std::chrono::milliseconds timeout,
                  std::uint32_t flags);
    Result DestroyPeer(PlayerId player);
    Result Close();
    bool IsHost() const;
    PlayerId LocalPlayer() const;
    std::vector<PlayerId> Players() const;
    Stats GetStats() const;
    // I/O thread, from the handler of a received message: the call that reports it done.
    static std::function<void()> DeliveryDone(const std::shared_ptr<Impl>& self);

private:
    enum class Mode { Idle, Hosting, Connecting, Connected, Ended, Closed };
    struct Player {
        PlayerId id = 0;
        std::string name;
        Bytes info;
    };
    struct PendingJoiner {
        std::shared_ptr<CPeerConnection> link;
        Clock::time_point helloDeadline;
        bool deciding = false;
        std::uint64_t order = 0;  // of acceptance
        Clock::time_point accepted{};
    };
    struct WaitingJoiner {
        std::shared_ptr<CPeerConnection> link;  // not started: nothing of it is read yet
        Clock::time_point since;
    };

    // Common (PeerServiceImpl.cpp).
    void SetUpTls();
    bool TlsReady() const;
    Result Emit(std::uint32_t eventId, void* event);
    bool OnServiceThread() const;
    void CloseWork();
    void Join();
    void ScheduleTick();
    void OnTick();
    void Log(const std::string& line);
    void DeliverLocal(PlayerId from, std::shared_ptr<const Buffer> payload);
    // [io] Hands a received message to the handler and counts it against its link's budget.
    void EmitReceived(CPeerConnection& link, PlayerId from, std::span<const std::uint8_t> payload);
    // After an incomplete Data frame for the local player: a progress event whenever the
    // message has crossed another progress step.
    // Chunk sizes vary with the link, so the chunk that completes a message may cross a step
    // too; it is reported like any other.
    void ReportProgress(PlayerId from, std::span<const std::uint8_t> got, std::uint32_t total, std::size_t added);
    Result SendToAll(std::span<const std::uint8_t> bytes, std::chrono::milliseconds timeout, bool high);
    template <class Queue>
    Result HandOver(std::span<const std::uint8_t> bytes, std::chrono::milliseconds timeout, Queue queue);
    void SendOut(PlayerId to, std::shared_ptr<const Buffer> payload, bool high,
                 std::optional<Clock::time_point> deadline);
    void PublishOwnInfo();
    CPeerConnection::Limits LinkLimits();
    std::vector<Player> PlayersCopy() const;
    bool RemovePlayer(PlayerId id);

    // Host side (PeerHost.cpp).
    void Accept();
    bool OnJoinerSecured(CPeerConnection& link);
    // Whether a connection from the address may start its handshake now, making room by
    // dropping a silent one where needed.
    bool MakeRoomForHandshake(const std::string& address);
    void StartHandshake(std::shared_ptr<CPeerConnection> link);
    void StartWaitingHandshakes(Clock::time_point now);
    bool OnHostFrame(CPeerConnection& link, const wire::FrameHeader& header, std::span<const std::uint8_t> body);
    bool OnJoinerFrame(CPeerConnection& link, const wire::FrameHeader& header, std::span<const std::uint8_t> body);
    bool OnHostData(CPeerConnection& link, const CPeerConnection::DataEvent& e);
    void Decide(std::shared_ptr<CPeerConnection> link, wire::Hello hello);
    void OnDecided(std::shared_ptr<CPeerConnection> link, wire::Hello hello, Result result, Bytes reply);
    void Refuse(CPeerConnection& link, Result result, Bytes reply = {});
    void OnHostLinkClosed(CPeerConnection& link, std::error_code ec, bool clean);
    void RemoveMember(PlayerId id, std::uint32_t reason, bool terminate);
    void Route(CPeerConnection& source, wire::CMessageAssembler::Message& message);
    void RelayTo(CPeerConnection& source, PlayerId to, const std::shared_ptr<const Buffer>& payload,
                 std::uint32_t total, bool high, std::optional<Clock::time_point> deadline);
    void QueueTo(PlayerId member, Bytes frame);
    void QueueToAllBut(PlayerId except, const Bytes& frame);
    void PassOnInfo(CPeerConnection& link, Clock::time_point now);
    void HostTick(Clock::time_point now);

    // Member side (PeerMember.cpp).
    void StartConnect(std::string host, std::uint16_t port, wire::Hello hello, std::string password);
    bool OnHostSecured(CPeerConnection& link, const std::string& host, std::uint16_t port, wire::Hello& hello,
                       const std::string& password);
    bool StillConnecting() const;
    bool OnMemberFrame(CPeerConnection& link, const wire::FrameHeader& header, std::span<const std::uint8_t> body);
    bool OnMemberData(CPeerConnection& link, const CPeerConnection::DataEvent& e);
    void OnMemberLinkClosed(CPeerConnection& link, std::error_code ec, bool clean);
    void FailConnect(Result result, const Bytes& reply);
    // Refused for its version by a host of the version before: joins again in that one.
    bool JoinInOlderVersion();
    void EndSession(Result result, std::uint32_t reason);
    void DestroyAllPlayers(std::uint32_t reason);
    void MemberTick(Clock::time_point now);

    void* const m_context;
    const EventHandler m_handler;
    const ServiceOptions m_options;

    // TLS for every link (none with plainLinks); set up once, before any thread runs.
    std::string m_fingerprint;
    std::string m_tlsError;
    std::shared_ptr<asio::ssl::context> m_serverTls;
    std::shared_ptr<asio::ssl::context> m_clientTls;
    CAttemptLimiter m_attempts;

    asio::io_context m_io;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> m_work;
    std::thread m_thread;
    asio::thread_pool m_requestPool;
    asio::steady_timer m_tick;
    asio::ip::tcp::acceptor m_acceptor;
    asio::ip::tcp::resolver m_resolver;
    std::shared_ptr<asio::ip::tcp::socket> m_connecting;  // [io]
    std::atomic<bool> m_closeStarted{false};
    std::mutex m_joinMutex;

    mutable std::mutex m_mutex;
    Mode m_mode = Mode::Idle;
    ApplicationDesc m_application;
    std::uint16_t m_boundPort = 0;
    std::string m_hostError;
    PlayerId m_localPlayer = 0;
    PlayerId m_hostPlayer = 0;
    PlayerId m_nextId = 0;
    std::vector<Player> m_players;  // in order of joining
    std::string m_localName;
    Bytes m_localInfo;
    // The link each player is reached through, for SendTo to write on at once (SendNow): a
    // host's members' links, a member's link to the host (under 0).
    std::map<PlayerId, std::shared_ptr<CPeerConnection>> m_sendLinks;

    // Host side [io].
    std::map<CPeerConnection*, PendingJoiner> m_pending;
    std::deque<WaitingJoiner> m_waiting;
    std::map<PlayerId, std::shared_ptr<CPeerConnection>> m_members;
    std::size_t m_deciding = 0;
    std::uint64_t m_accepted = 0;

    // Member side [io].
    std::shared_ptr<CPeerConnection> m_hostLink;
    Clock::time_point m_connectDeadline;
    bool m_welcomed = false;
    bool m_connectDone = false;
    // What the hello in flight was made of, to join again in the older version if refused.
    struct JoinAttempt {
        std::string host;
        std::uint16_t port = 0;
        wire::Hello hello;
        std::string password;
    };
    std::optional<JoinAttempt> m_joinAttempt;
    // The host takes messages for every other player (it speaks version 3 or later).
    std::atomic<bool> m_hostFansOut{false};
    bool m_infoChangedWhileJoining = false;

    // Messages SendTo has handed to the I/O thread that are not queued on their link yet; while
    // any are, nothing is written at once, so that nothing overtakes them.
    std::atomic<std::uint64_t> m_sendsOnTheirWay{0};
    std::atomic<std::uint64_t> m_droppedMessages{0};
    std::atomic<std::uint64_t> m_droppedLinks{0};
    std::atomic<std::uint64_t> m_refusedRelays{0};
};

}  // namespace peer
