#include "platform/peer/PeerServiceImpl.h"

#include "platform/peer/PeerBuffers.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <future>
#include <random>

namespace peer {

namespace {
// Marks the threads of a service, so that Close knows not to wait for itself.
thread_local const void* t_serviceOfThread = nullptr;
// How long message buffers are kept for reuse after the last message.
constexpr std::chrono::seconds kBufferIdle{2};
}  // namespace

CPeerService::Impl::Impl(void* context, EventHandler handler, ServiceOptions options)
    : m_context(context),
      m_handler(std::move(handler)),
      m_options(std::move(options)),
      m_attempts(m_options.attemptRules),
      m_requestPool(std::max<std::size_t>(1, m_options.maxPendingRequests)),
      m_tick(m_io),
      m_acceptor(m_io),
      m_resolver(m_io)
{
    SetUpTls();
    // Ids start at a random point so that the ids of two sessions a user is in rarely meet.
    std::random_device random;
    m_nextId = 0x00010000u + (static_cast<std::uint32_t>(random()) % 0xEFFF0000u);
}

CPeerService::Impl::~Impl()
{
    Close();
}

void CPeerService::Impl::SetUpTls()
{
    Identity identity = m_options.identity;
    if (identity.Empty() && !CreateIdentity(identity, m_tlsError)) return;
    m_fingerprint = CertificateFingerprint(identity.certificatePem);
    if (m_options.plainLinks) return;
    m_serverTls = MakeTlsContext(identity, true, m_tlsError);
    if (m_serverTls) m_clientTls = MakeTlsContext(identity, false, m_tlsError);
    if (!m_clientTls) m_serverTls.reset();
}

bool CPeerService::Impl::TlsReady() const
{
    return m_options.plainLinks || m_clientTls != nullptr;
}

void CPeerService::Impl::Start()
{
    m_work.emplace(m_io.get_executor());
    m_thread = std::thread([this] {
        t_serviceOfThread = this;
        m_io.run();
    });
    asio::post(m_io, [this] { ScheduleTick(); });
}

bool CPeerService::Impl::OnServiceThread() const
{
    return t_serviceOfThread == this;
}

Result CPeerService::Impl::Emit(std::uint32_t eventId, void* event)
{
    if (!m_handler) return DPN_OK;
    try {
        return m_handler(m_context, eventId, event);
    } catch (...) {
        Log("event handler threw");
        return DPN_OK;
    }
}

void CPeerService::Impl::Log(const std::string& line)
{
    if (m_options.log) m_options.log(line);
}

CPeerConnection::Limits CPeerService::Impl::LinkLimits()
{
    CPeerConnection::Limits limits;
    limits.maxQueuedBytes = m_options.maxQueuedBytesPerLink;
    limits.relayPauseBytes = std::min<std::size_t>(limits.maxQueuedBytes / 4, 4 * 1024 * 1024);
    if (m_options.linkShaper) limits.shaper = m_options.linkShaper();
    limits.droppedMessages = &m_droppedMessages;
    return limits;
}

std::vector<CPeerService::Impl::Player> CPeerService::Impl::PlayersCopy() const
{
    std::lock_guard lock(m_mutex);
    return m_players;
}

bool CPeerService::Impl::RemovePlayer(PlayerId id)
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_players.begin(); it != m_players.end(); ++it) {
        if (it->id == id) {
            m_players.erase(it);
            return true;
        }
    }
    return false;
}

Result CPeerService::Impl::Host(const ApplicationDesc& application, std::uint16_t port)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_mode != Mode::Idle) return DPNERR_NOTREADY;
        if (!TlsReady()) {
            m_hostError = m_tlsError;
            return DPNERR_NOCONNECTION;
        }
    }
    // The acceptor is opened here, before the I/O thread ever touches it.
    std::error_code ec;
    asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v6(), port);
    m_acceptor.open(endpoint.protocol(), ec);
    if (!ec) m_acceptor.set_option(asio::ip::v6_only(false), ec);
    if (ec) {  // no IPv6 here: IPv4 only
        std::error_code ignored;
        m_acceptor.close(ignored);
        endpoint = asio::ip::tcp::endpoint(asio::ip::tcp::v4(), port);
        ec.clear();
        m_acceptor.open(endpoint.protocol(), ec);
    }
    if (!ec) m_acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
    if (!ec) m_acceptor.bind(endpoint, ec);
    if (!ec) m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        Log("cannot listen on port " + std::to_string(port) + ": " + ec.message());
        std::error_code ignored;
        m_acceptor.close(ignored);
        std::lock_guard lock(m_mutex);
        m_hostError = ec.message();
        return DPNERR_NOCONNECTION;
    }
    PlayerId local = 0;
    {
        std::lock_guard lock(m_mutex);
        if (m_mode != Mode::Idle) return DPNERR_NOTREADY;
        m_mode = Mode::Hosting;
        m_hostError.clear();
        m_application = application;
        m_boundPort = m_acceptor.local_endpoint(ec).port();
        local = m_nextId++;
        m_localPlayer = m_hostPlayer = local;
        m_players.push_back({local, m_localName, m_localInfo});
    }
    asio::post(m_io, [this, local] {
        CreatePlayerEvent event{local, true};
        Emit(DPN_MSGID_CREATE_PLAYER, &event);
        Accept();
    });
    return DPN_OK;
}

std::uint16_t CPeerService::Impl::BoundPort() const
{
    std::lock_guard lock(m_mutex);
    return m_boundPort;
}

std::string CPeerService::Impl::HostError() const
{
    std::lock_guard lock(m_mutex);
    return m_hostError;
}

Result CPeerService::Impl::Connect(const Guid& application, const std::string& host, std::uint16_t port,
                                   const void* connectData, std::uint32_t connectDataSize, const std::string& password)
{
    if (!TlsReady()) {
        Log(m_tlsError);
        return DPNERR_NOCONNECTION;
    }
    if (host.empty() || connectDataSize > wire::kMaxConnectDataBytes || (connectDataSize && !connectData)) {
        return DPNERR_INVALIDPARAM;
    }
    wire::Hello hello;
    hello.version = m_options.protocolVersion;
    hello.application = application;
    if (connectDataSize) {
        const auto* bytes = static_cast<const std::uint8_t*>(connectData);
        hello.connectData.assign(bytes, bytes + connectDataSize);
    }
    {
        std::lock_guard lock(m_mutex);
        if (m_mode != Mode::Idle) return DPNERR_NOTREADY;
        m_mode = Mode::Connecting;
        m_application.application = application;
        hello.name = m_localName;
        hello.info = m_localInfo;
    }
    asio::post(m_io, [this, host, port, hello = std::move(hello), password]() mutable {
        StartConnect(std::move(host), port, std::move(hello), std::move(password));
    });
    return DPNSUCCESS_PENDING;
}

Result CPeerService::Impl::SetPeerInfo(const std::string& name, const void* data, std::uint32_t size)
{
    if (name.size() > wire::kMaxNameBytes || size > wire::kMaxInfoBytes || (size && !data)) {
        return DPNERR_INVALIDPARAM;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    {
        std::lock_guard lock(m_mutex);
        if (m_mode == Mode::Closed) return DPNERR_UNINITIALIZED;
        m_localName = name;
        m_localInfo.assign(bytes, bytes + size);
        for (Player& p : m_players) {
            if (p.id == m_localPlayer) {
                p.name = m_localName;
                p.info = m_localInfo;
            }
        }
    }
    asio::post(m_io, [this] { PublishOwnInfo(); });
    return DPN_OK;
}

void CPeerService::Impl::PublishOwnInfo()
{
    Mode mode;
    wire::PlayerRecord record;
    {
        std::lock_guard lock(m_mutex);
        mode = m_mode;
        record = {m_localPlayer, m_localName, m_localInfo};
    }
    if (mode == Mode::Hosting) {
        QueueToAllBut(record.id, wire::EncodePlayerRecord(wire::FrameType::PlayerInfo, record));
    } else if (mode == Mode::Connected && m_hostLink) {
        m_hostLink->SendControl(wire::EncodeSetInfo({record.name, record.info}));
    } else if (mode == Mode::Connecting) {
        m_infoChangedWhileJoining = true;  // the hello may be gone already; resend once joined
        return;
    } else {
        return;
    }
    PeerInfoEvent event{record.id};
    Emit(DPN_MSGID_PEER_INFO, &event);
}

Result CPeerService::Impl::GetPeerInfo(PlayerId player, std::string& name, Bytes& data) const
{
    std::lock_guard lock(m_mutex);
    for (const Player& p : m_players) {
        if (p.id == player) {
            name = p.name;
            data = p.info;
            return DPN_OK;
        }
    }
    return DPNERR_INVALIDPLAYER;
}

// A copy of the bytes goes to the I/O thread, where `queue` puts it on its links; until then
// nothing is written at once, so that nothing overtakes it.
template <class Queue>
Result CPeerService::Impl::HandOver(std::span<const std::uint8_t> bytes, std::chrono::milliseconds timeout, Queue queue)
{
    Buffer copy = TakeBuffer(bytes.size());
    copy.resize(bytes.size());
    CopyMessage(copy.data(), bytes.data(), bytes.size());
    std::optional<Clock::time_point> deadline;
    if (timeout.count() > 0) deadline = Clock::now() + timeout;
    ++m_sendsOnTheirWay;
    asio::post(m_io, [this, queue = std::move(queue), payload = ShareBuffer(std::move(copy)), deadline]() mutable {
        queue(std::move(payload), deadline);
        --m_sendsOnTheirWay;
    });
    return DPNSUCCESS_PENDING;
}

Result CPeerService::Impl::SendTo(PlayerId player, const void* data, std::uint32_t size,
                                  std::chrono::milliseconds timeout, std::uint32_t flags)
{
    if (!data || size == 0 || size > wire::kMaxMessageSize || timeout.count() < 0) {
        return DPNERR_INVALIDPARAM;
    }
    if ((flags & DPNSEND_PRIORITY_HIGH) && (flags & DPNSEND_PRIORITY_LOW)) return DPNERR_INVALIDFLAGS;
    const bool high = (flags & DPNSEND_PRIORITY_HIGH) != 0;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (player == DPNID_ALL_PLAYERS_GROUP) return SendToAll({bytes, size}, timeout, high);
    std::shared_ptr<CPeerConnection> link;
    wire::DataEnvelope envelope{size, 0, player, 0};
    {
        std::lock_guard lock(m_mutex);
        if (m_mode != Mode::Hosting && m_mode != Mode::Connected) return DPNERR_NOCONNECTION;
        bool known = false;
        for (const Player& p : m_players) known = known || p.id == player;
        if (!known) return DPNERR_INVALIDPLAYER;
        envelope.from = m_localPlayer;
        // Small urgent messages (voice, above all) skip the hand-over to the I/O thread when
        // their link has nothing else to send.
        if (high && player != m_localPlayer && size <= CPeerConnection::kSendNowBytes) {
            auto it = m_sendLinks.find(m_mode == Mode::Hosting ? player : 0);
            if (it != m_sendLinks.end()) link = it->second;
        }
    }
    if (link && m_sendsOnTheirWay.load() == 0) {
        if (timeout.count() > 0) {
            envelope.timeoutMs = static_cast<std::uint32_t>(std::min<long long>(timeout.count(), UINT32_MAX));
        }
        if (link->SendNow({bytes, size}, envelope, true)) return DPNSUCCESS_PENDING;
    }
    return HandOver({bytes, size}, timeout, [this, player, high](auto payload, auto deadline) {
        SendOut(player, std::move(payload), high, deadline);
    });
}

// One copy for every receiver. A host writes it on each member's link; a member hands it to
// the host once, for all (a host of version 2 gets one per player, each sharing the copy).
Result CPeerService::Impl::SendToAll(std::span<const std::uint8_t> bytes, std::chrono::milliseconds timeout, bool high)
{
    std::vector<std::pair<PlayerId, std::shared_ptr<CPeerConnection>>> targets;
    wire::DataEnvelope envelope{static_cast<std::uint32_t>(bytes.size()), 0, 0, 0};
    {
        std::lock_guard lock(m_mutex);
        if (m_mode != Mode::Hosting && m_mode != Mode::Connected) return DPNERR_NOCONNECTION;
        envelope.from = m_localPlayer;
        const auto via = [&](PlayerId id) {
            auto it = m_sendLinks.find(m_mode == Mode::Hosting ? id : 0);
            return it != m_sendLinks.end() ? it->second : nullptr;
        };
        if (m_mode == Mode::Connected && m_hostFansOut) {
            targets.emplace_back(wire::kEveryOtherPlayer, via(0));
        } else {
            for (const Player& p : m_players) {
                if (p.id != m_localPlayer) targets.emplace_back(p.id, via(p.id));
            }
        }
    }
    if (targets.empty()) return DPNSUCCESS_PENDING;
    if (timeout.count() > 0) {
        envelope.timeoutMs = static_cast<std::uint32_t>(std::min<long long>(timeout.count(), UINT32_MAX));
    }
    // As in SendTo: small urgent messages go out at once where their link is idle.
    if (high && bytes.size() <= CPeerConnection::kSendNowBytes && m_sendsOnTheirWay.load() == 0) {
        std::erase_if(targets, [&](const auto& target) {
            envelope.to = target.first;
            return target.second && target.second->SendNow(bytes, envelope, true);
        });
        if (targets.empty()) return DPNSUCCESS_PENDING;
    }
    return HandOver(bytes, timeout, [this, targets = std::move(targets), high](auto payload, auto deadline) {
        for (const auto& target : targets) SendOut(target.first, payload, high, deadline);
    });
}

void CPeerService::Impl::SendOut(PlayerId to, std::shared_ptr<const Buffer> payload, bool high,
                                 std::optional<Clock::time_point> deadline)
{
    Mode mode;
    PlayerId local;
    {
        std::lock_guard lock(m_mutex);
        mode = m_mode;
        local = m_localPlayer;
    }
    if (to == local) {
        DeliverLocal(local, std::move(payload));
        return;
    }
    const wire::DataEnvelope envelope{static_cast<std::uint32_t>(payload->size()), local, to, 0};
    if (mode == Mode::Hosting) {
        auto it = m_members.find(to);
        if (it == m_members.end()) {
            ++m_droppedMessages;
            return;
        }
        if (!it->second->SendData(std::move(payload), envelope, high, deadline, false)) {
            Log("link to player " + std::to_string(to) + " stalled");
            ++m_droppedLinks;
            RemoveMember(to, DPNDESTROYPLAYERREASON_CONNECTIONLOST, false);
        }
    } else if (mode == Mode::Connected && m_hostLink) {
        if (!m_hostLink->SendData(std::move(payload), envelope, high, deadline, false)) {
            Log("link to the host stalled");
            ++m_droppedLinks;
            EndSession(DPNERR_CONNECTIONLOST, DPNDESTROYPLAYERREASON_CONNECTIONLOST);
        }
    } else {
        ++m_droppedMessages;
    }
}

void CPeerService::Impl::ReportProgress(PlayerId from, std::span<const std::uint8_t> got, std::uint32_t total,
                                        std::size_t added)
{
    constexpr std::size_t step = ReceiveProgressEvent::kProgressStep;
    if (total <= step || added > got.size() || got.size() / step == (got.size() - added) / step) return;
    ReceiveProgressEvent event{from, got.data(), static_cast<std::uint32_t>(got.size()), total};
    Emit(DPN_MSGID_RECEIVE_PROGRESS, &event);
}

namespace {

// The link whose message the I/O thread is handing to the handler, if it is counted, and its size.
thread_local CPeerConnection* t_delivering = nullptr;
thread_local std::size_t t_deliveringBytes = 0;

}  // namespace

void CPeerService::Impl::EmitReceived(CPeerConnection& link, PlayerId from, std::span<const std::uint8_t> payload)
{
    ReceiveEvent event{from, payload.data(), static_cast<std::uint32_t>(payload.size())};
    if (m_options.receiveBudgetBytes == 0 && m_options.receiveBudgetMessages == 0) {
        Emit(DPN_MSGID_RECEIVE, &event);
        return;
    }
    auto& budget = *link.m_budget;
    // Counted before the handler runs: its done call may come from another thread at once.
    budget.bytes += payload.size();
    ++budget.count;
    t_delivering = &link;
    t_deliveringBytes = payload.size();
    Emit(DPN_MSGID_RECEIVE, &event);
    t_delivering = nullptr;
    const bool spent = (m_options.receiveBudgetBytes != 0 && budget.bytes > m_options.receiveBudgetBytes) ||
                       (m_options.receiveBudgetMessages != 0 && budget.count > m_options.receiveBudgetMessages);
    if (!spent || budget.held || !link.IsOpen()) return;
    budget.held = true;
    link.HoldReading();
    // A done call that counted down before the hold was set did not look at it.
    if (budget.Within(m_options.receiveBudgetBytes / 2, m_options.receiveBudgetMessages / 2) &&
        budget.held.exchange(false)) {
        link.ResumeReading();
    }
}

std::function<void()> CPeerService::Impl::DeliveryDone(const std::shared_ptr<Impl>& self)
{
    // Outside a counted delivery (a message of our own, or no budget) there is nothing to count.
    if (t_delivering == nullptr) return [] {};
    const std::size_t resumeBytes = self->m_options.receiveBudgetBytes / 2;
    const std::size_t resumeCount = self->m_options.receiveBudgetMessages / 2;
    return [service = std::weak_ptr<Impl>(self), link = t_delivering->weak_from_this(), budget = t_delivering->m_budget,
            bytes = t_deliveringBytes, resumeBytes, resumeCount] {
        budget->bytes -= bytes;
        --budget->count;
        // Of a done call and the I/O thread's own check after a hold, one resumes the link.
        if (!budget->held || !budget->Within(resumeBytes, resumeCount) || !budget->held.exchange(false)) {
            return;
        }
        // The io thread is joined before the service goes, so a posted call never outlives it.
        if (const auto impl = service.lock()) {
            asio::post(impl->m_io, [link] {
                if (const auto held = link.lock()) held->ResumeReading();
            });
        }
    };
}

void CPeerService::Impl::DeliverLocal(PlayerId from, std::shared_ptr<const Buffer> payload)
{
    ReceiveEvent event{from, payload->data(), static_cast<std::uint32_t>(payload->size())};
    Emit(DPN_MSGID_RECEIVE, &event);
}

Result CPeerService::Impl::DestroyPeer(PlayerId player)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_mode != Mode::Hosting) return DPNERR_NOTHOST;
        if (player == m_localPlayer) return DPNERR_INVALIDPLAYER;
        bool known = false;
        for (const Player& p : m_players) known = known || p.id == player;
        if (!known) return DPNERR_INVALIDPLAYER;
    }
    asio::post(m_io, [this, player] {
        if (m_members.count(player)) RemoveMember(player, DPNDESTROYPLAYERREASON_HOSTDESTROYEDPLAYER, true);
    });
    return DPN_OK;
}

bool CPeerService::Impl::IsHost() const
{
    std::lock_guard lock(m_mutex);
    return m_mode == Mode::Hosting;
}

PlayerId CPeerService::Impl::LocalPlayer() const
{
    std::lock_guard lock(m_mutex);
    return m_localPlayer;
}

std::vector<PlayerId> CPeerService::Impl::Players() const
{
    std::lock_guard lock(m_mutex);
    std::vector<PlayerId> ids;
    for (const Player& p : m_players) ids.push_back(p.id);
    return ids;
}

CPeerService::Stats CPeerService::Impl::GetStats() const
{
    return {m_droppedMessages.load(), m_droppedLinks.load(), m_refusedRelays.load()};
}

void CPeerService::Impl::ScheduleTick()
{
    const auto period =
        std::clamp(m_options.keepAliveInterval / 4, std::chrono::milliseconds(10), std::chrono::milliseconds(250));
    m_tick.expires_after(period);
    m_tick.async_wait([this](const std::error_code& ec) {
        if (!ec) OnTick();
    });
}

void CPeerService::Impl::OnTick()
{
    Mode mode;
    {
        std::lock_guard lock(m_mutex);
        mode = m_mode;
    }
    if (mode == Mode::Closed) return;
    const auto now = Clock::now();
    if (mode == Mode::Hosting) HostTick(now);
    if (mode == Mode::Connecting || mode == Mode::Connected) MemberTick(now);
    // Message buffers are kept only while messages keep coming: an idle instance gives their
    // memory back.
    for (auto& [id, link] : m_members) link->ReleaseIdleBuffers(now, kBufferIdle);
    if (m_hostLink) m_hostLink->ReleaseIdleBuffers(now, kBufferIdle);
    TrimBuffers(now, kBufferIdle);
    ScheduleTick();
}

Result CPeerService::Impl::Close()
{
    if (!m_closeStarted.exchange(true)) {
        if (m_thread.get_id() == std::this_thread::get_id()) {
            CloseWork();
        } else if (OnServiceThread()) {
            asio::post(m_io, [this] { CloseWork(); });
        } else {
            std::promise<void> done;
            asio::post(m_io, [this, &done] {
                CloseWork();
                done.set_value();
            });
            done.get_future().wait();
        }
        // The I/O thread ends once the last links have flushed their farewells.
        asio::post(m_io, [this] { m_work.reset(); });
    }
    if (!OnServiceThread()) Join();
    return DPN_OK;
}

void CPeerService::Impl::Join()
{
    std::lock_guard lock(m_joinMutex);
    if (m_thread.joinable()) m_thread.join();
    // Waits for connect requests still being answered.
    m_requestPool.join();
    // Nothing of this service will send again; a service still running refills the pool.
    TrimBuffers(Clock::now(), {});
}

void CPeerService::Impl::CloseWork()
{
    Mode mode;
    {
        std::lock_guard lock(m_mutex);
        mode = m_mode;
        m_mode = Mode::Closed;
        m_sendLinks.clear();
    }
    std::error_code ignored;
    m_tick.cancel();
    m_acceptor.close(ignored);
    m_resolver.cancel();
    if (m_connecting) m_connecting->close(ignored);
    const auto closed = std::make_error_code(std::errc::operation_canceled);
    for (auto& [key, pending] : std::map(m_pending)) pending.link->Close(closed);
    m_pending.clear();
    for (auto& waiting : m_waiting) waiting.link->Close(closed);
    m_waiting.clear();
    for (auto& [id, link] : std::map(m_members)) {
        link->SendControl(wire::EncodeTerminate({DPNERR_HOSTTERMINATEDSESSION}));
        link->CloseAfterFlush();
    }
    m_members.clear();
    if (auto link = std::move(m_hostLink)) link->Close(closed, true);
    if (mode != Mode::Idle) DestroyAllPlayers(DPNDESTROYPLAYERREASON_NORMAL);
}

void CPeerService::Impl::DestroyAllPlayers(std::uint32_t reason)
{
    std::vector<Player> players;
    PlayerId local;
    {
        std::lock_guard lock(m_mutex);
        players.swap(m_players);
        local = m_localPlayer;
    }
    // Everyone else first, the local player last.
    for (auto it = players.rbegin(); it != players.rend(); ++it) {
        if (it->id == local) continue;
        DestroyPlayerEvent event{it->id, reason};
        Emit(DPN_MSGID_DESTROY_PLAYER, &event);
    }
    for (const Player& p : players) {
        if (p.id != local) continue;
        DestroyPlayerEvent event{p.id, reason};
        Emit(DPN_MSGID_DESTROY_PLAYER, &event);
    }
}

}  // namespace peer
