// The host side of the service: accepting joiners, the connect decision, the roster, and
// relaying between members.

#include "platform/peer/PeerServiceImpl.h"

#include "platform/peer/PeerBuffers.h"

namespace peer {

void CPeerService::Impl::Accept()
{
    m_acceptor.async_accept([this](const std::error_code& ec, asio::ip::tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !m_acceptor.is_open()) return;
        if (!ec) {
            // Only those who have introduced themselves count here: strangers who connect and say
            // nothing must not keep real joiners out.
            if (m_deciding + m_members.size() >= m_options.maxConnections) {
                Log("too many connections; one refused");
                std::error_code ignored;
                socket.close(ignored);
            } else {
                auto link = std::make_shared<CPeerConnection>(std::move(socket), LinkLimits(), m_serverTls, true);
                if (MakeRoomForHandshake(link->RemoteAddress())) {
                    StartHandshake(std::move(link));
                } else if (m_waiting.size() < m_options.maxWaitingHandshakes) {
                    m_waiting.push_back({std::move(link), Clock::now()});
                } else {
                    Log("too many unfinished handshakes; a connection from " + link->RemoteAddress() + " refused");
                    link->Close(std::make_error_code(std::errc::connection_refused));
                }
            }
        }
        Accept();
    });
}

bool CPeerService::Impl::OnJoinerSecured(CPeerConnection& link)
{
    if (m_serverTls && !link.Encrypted()) {
        // Its hello is answered with the version result, so that it can say why.
        Log("a joiner at " + link.RemoteAddress() + " speaks protocol version 1, without encryption; it is refused");
    } else if (link.Encrypted()) {
        Log("a joiner at " + link.RemoteAddress() + " shows the key " + link.PeerFingerprint());
    }
    return true;
}

void CPeerService::Impl::StartHandshake(std::shared_ptr<CPeerConnection> link)
{
    const auto now = Clock::now();
    m_pending[link.get()] = {link, now + m_options.helloTimeout, false, ++m_accepted, now};
    link->SetSecuredHandler([this](CPeerConnection& l) { return OnJoinerSecured(l); });
    link->Start([this](CPeerConnection& l, const wire::FrameHeader& h,
                       std::span<const std::uint8_t> b) { return OnHostFrame(l, h, b); },
                [this](CPeerConnection& l, const CPeerConnection::DataEvent& e) { return OnHostData(l, e); },
                [this](CPeerConnection& l, std::error_code e, bool clean) { OnHostLinkClosed(l, e, clean); });
}

// A real joiner speaks within half a round trip of connecting, so a connection that has sent
// nothing is the likeliest stranger: the oldest such gives way. One that has spoken is never
// dropped for a newcomer, however far away it is; the newcomer waits instead.
bool CPeerService::Impl::MakeRoomForHandshake(const std::string& address)
{
    std::size_t total = 0;
    std::size_t fromAddress = 0;
    const PendingJoiner* oldestSilent = nullptr;
    const PendingJoiner* oldestSilentFromAddress = nullptr;
    for (auto& [key, pending] : m_pending) {
        if (pending.deciding || pending.link->IsClosing()) continue;
        ++total;
        const bool silent = !pending.link->Spoke();
        if (silent && (!oldestSilent || pending.order < oldestSilent->order)) oldestSilent = &pending;
        if (pending.link->RemoteAddress() != address) continue;
        ++fromAddress;
        if (silent && (!oldestSilentFromAddress || pending.order < oldestSilentFromAddress->order)) {
            oldestSilentFromAddress = &pending;
        }
    }
    const PendingJoiner* victim = nullptr;
    if (fromAddress >= std::max<std::size_t>(1, m_options.maxHandshakesPerAddress)) {
        if (!oldestSilentFromAddress) return false;
        victim = oldestSilentFromAddress;
    } else if (total >= std::max<std::size_t>(1, m_options.maxHandshakes)) {
        if (!oldestSilent) return false;
        victim = oldestSilent;
    }
    if (!victim) return true;
    auto link = victim->link;  // closing removes it from m_pending
    Log("too many unfinished handshakes; a silent one, from " + link->RemoteAddress() + ", dropped");
    link->Close(std::make_error_code(std::errc::connection_aborted));
    return true;
}

void CPeerService::Impl::StartWaitingHandshakes(Clock::time_point now)
{
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        if (now - it->since > m_options.helloTimeout) {
            it->link->Close(std::make_error_code(std::errc::timed_out));
            it = m_waiting.erase(it);
        } else if (MakeRoomForHandshake(it->link->RemoteAddress())) {
            auto link = std::move(it->link);
            it = m_waiting.erase(it);
            StartHandshake(std::move(link));
        } else {
            ++it;
        }
    }
}

bool CPeerService::Impl::OnHostFrame(CPeerConnection& link, const wire::FrameHeader& header,
                                     std::span<const std::uint8_t> body)
{
    if (link.m_player == 0) return OnJoinerFrame(link, header, body);
    switch (header.type) {
    case wire::FrameType::Ping: return true;
    case wire::FrameType::SetInfo: {
        wire::SetInfo info;
        if (!wire::DecodeSetInfo(body, info)) return false;
        {
            std::lock_guard lock(m_mutex);
            for (Player& p : m_players) {
                if (p.id == link.m_player) {
                    p.name = info.name;
                    p.info = info.info;
                }
            }
        }
        // The others hear of it at a bounded rate; a burst is merged into its newest update.
        link.m_pendingInfoFrame =
            wire::EncodePlayerRecord(wire::FrameType::PlayerInfo, {link.m_player, info.name, info.info});
        PassOnInfo(link, Clock::now());
        PeerInfoEvent event{link.m_player};
        Emit(DPN_MSGID_PEER_INFO, &event);
        return true;
    }
    default: return false;  // nothing else may come from a member
    }
}

bool CPeerService::Impl::OnJoinerFrame(CPeerConnection& link, const wire::FrameHeader& header,
                                       std::span<const std::uint8_t> body)
{
    auto it = m_pending.find(&link);
    if (it == m_pending.end()) return false;
    if (header.type == wire::FrameType::Ping) return true;
    if (header.type != wire::FrameType::Hello || it->second.deciding) return false;
    wire::Hello hello;
    if (!wire::DecodeHello(body, hello)) return false;
    Guid application;
    bool hosting;
    {
        std::lock_guard lock(m_mutex);
        application = m_application.application;
        hosting = m_mode == Mode::Hosting;
    }
    if (hello.version < wire::kOldestProtocolVersion || hello.version > m_options.protocolVersion ||
        link.Encrypted() != (m_serverTls != nullptr)) {
        Refuse(link, DPNERR_INVALIDVERSION);
    } else if (hello.application != application) {
        Refuse(link, DPNERR_INVALIDAPPLICATION);
    } else if (!hosting) {
        Refuse(link, DPNERR_ALREADYCLOSING);
    } else if (m_attempts.Blocked(link.RemoteAddress(), Clock::now())) {
        Log("a joiner at " + link.RemoteAddress() + " is refused unheard: too many wrong passwords");
        Refuse(link, DPNERR_HOSTREJECTEDCONNECTION, m_options.throttledReply);
    } else if (m_deciding >= m_options.maxPendingRequests) {
        Refuse(link, DPNERR_NOTREADY);
    } else {
        it->second.deciding = true;
        ++m_deciding;
        asio::post(m_requestPool, [this, l = it->second.link, hello = std::move(hello)]() mutable {
            Decide(std::move(l), std::move(hello));
        });
    }
    return true;
}

// On a request-pool thread: the application may take its time here.
void CPeerService::Impl::Decide(std::shared_ptr<CPeerConnection> link, wire::Hello hello)
{
    IndicateConnectEvent event;
    event.connectData = hello.connectData.empty() ? nullptr : hello.connectData.data();
    event.connectDataSize = static_cast<std::uint32_t>(hello.connectData.size());
    event.address = link->RemoteAddress().c_str();
    event.fingerprint = link->PeerFingerprint().c_str();
    event.passwordMatches = [this, address = link->RemoteAddress(), exporter = link->Exporter(),
                             proof = hello.proof](std::string_view password) {
        if (ProofEquals(ComputeProof(password, exporter), proof)) return true;
        if (m_attempts.RecordFailure(address, Clock::now())) {
            Log("too many wrong passwords from " + address + "; it is refused for a while");
        }
        return false;
    };
    const Result result = Emit(DPN_MSGID_INDICATE_CONNECT, &event);
    Bytes reply;
    if (event.replyData && event.replySize) {
        const auto* bytes = static_cast<const std::uint8_t*>(event.replyData);
        reply.assign(bytes, bytes + std::min<std::size_t>(event.replySize, wire::kMaxReplyBytes));
    }
    if (event.replyData) {
        ReturnBufferEvent returned{DPN_OK, const_cast<void*>(event.replyData), event.replyContext};
        Emit(DPN_MSGID_RETURN_BUFFER, &returned);
    }
    asio::post(m_io,
               [this, link = std::move(link), hello = std::move(hello), result, reply = std::move(reply)]() mutable {
                   OnDecided(std::move(link), std::move(hello), result, std::move(reply));
               });
}

bool CPeerService::Impl::OnHostData(CPeerConnection& link, const CPeerConnection::DataEvent& e)
{
    if (link.m_player == 0) return false;  // a joiner must wait until it has joined
    if (e.step == CPeerConnection::DataStep::Complete) {
        if (e.message->envelope.to == LocalPlayer() || e.message->envelope.to == wire::kEveryOtherPlayer) {
            ReportProgress(link.m_player, e.message->payload, e.message->envelope.total, e.chunkBytes);
        }
        Route(link, *e.message);
    } else if (e.step == CPeerConnection::DataStep::Chunk &&
               (link.m_assembler.PartialEnvelope(e.flags).to == LocalPlayer() ||
                link.m_assembler.PartialEnvelope(e.flags).to == wire::kEveryOtherPlayer)) {
        ReportProgress(link.m_player, link.m_assembler.PartialPayload(e.flags),
                       link.m_assembler.PartialEnvelope(e.flags).total, e.chunkBytes);
    }
    return true;
}

void CPeerService::Impl::OnDecided(std::shared_ptr<CPeerConnection> link, wire::Hello hello, Result result, Bytes reply)
{
    --m_deciding;
    auto it = m_pending.find(link.get());
    if (it == m_pending.end() || !link->IsOpen()) return;  // the joiner left meanwhile
    bool hosting;
    {
        std::lock_guard lock(m_mutex);
        hosting = m_mode == Mode::Hosting;
    }
    if (!hosting) {
        Refuse(*link, DPNERR_ALREADYCLOSING);
        return;
    }
    if (result != DPN_OK) {
        // Whatever the refusal, the joiner learns it was refused; the reply says why.
        Refuse(*link, DPNERR_HOSTREJECTEDCONNECTION, std::move(reply));
        return;
    }
    m_pending.erase(it);
    PlayerId id;
    PlayerId host;
    std::vector<Player> roster;
    {
        std::lock_guard lock(m_mutex);
        id = m_nextId++;
        if (id == 0) id = m_nextId++;
        host = m_localPlayer;
        m_players.push_back({id, std::move(hello.name), std::move(hello.info)});
        roster = m_players;
        m_sendLinks[id] = link;
    }
    link->m_player = id;
    m_members[id] = link;
    // Everything the joiner needs goes out in one go, so that no other change can come between.
    link->SendControl(wire::EncodeWelcome({id, host}));
    for (const Player& p : roster) {
        link->SendControl(wire::EncodePlayerRecord(wire::FrameType::PlayerAdd, {p.id, p.name, p.info}));
    }
    link->SendControl(wire::EncodeConnectResult({DPN_OK, std::move(reply)}));
    const Player& joined = roster.back();
    QueueToAllBut(id, wire::EncodePlayerRecord(wire::FrameType::PlayerAdd, {joined.id, joined.name, joined.info}));
    CreatePlayerEvent event{id, false};
    Emit(DPN_MSGID_CREATE_PLAYER, &event);
}

void CPeerService::Impl::Refuse(CPeerConnection& link, Result result, Bytes reply)
{
    link.SendControl(wire::EncodeConnectResult({result, std::move(reply)}));
    link.CloseAfterFlush();
    m_pending.erase(&link);
}

void CPeerService::Impl::OnHostLinkClosed(CPeerConnection& link, std::error_code ec, bool clean)
{
    if (ec == std::errc::protocol_error) {
        ++m_droppedLinks;
        Log("protocol violation from " + link.RemoteAddress() + "; link dropped");
    }
    if (m_pending.erase(&link)) {
        // A place is free: the next connection waiting for one starts (not from within its
        // own closing, which may run inside the link's handlers).
        asio::post(m_io, [this] { StartWaitingHandshakes(Clock::now()); });
        return;
    }
    auto it = m_members.find(link.m_player);
    if (it == m_members.end() || it->second.get() != &link) return;  // we ended it ourselves
    if (!clean) Log("link to player " + std::to_string(link.m_player) + " lost: " + ec.message());
    RemoveMember(link.m_player, clean ? DPNDESTROYPLAYERREASON_NORMAL : DPNDESTROYPLAYERREASON_CONNECTIONLOST, false);
}

void CPeerService::Impl::RemoveMember(PlayerId id, std::uint32_t reason, bool terminate)
{
    auto it = m_members.find(id);
    if (it == m_members.end()) return;
    auto link = std::move(it->second);
    m_members.erase(it);
    {
        std::lock_guard lock(m_mutex);
        m_sendLinks.erase(id);
    }
    if (terminate) {
        // The member learns whether it was put out or the session ended.
        const Result why = reason == DPNDESTROYPLAYERREASON_HOSTDESTROYEDPLAYER ? DPNERR_HOSTDESTROYEDPLAYER
                                                                                : DPNERR_HOSTTERMINATEDSESSION;
        link->SendControl(wire::EncodeTerminate({why}));
        link->CloseAfterFlush();
    } else {
        link->Close(std::make_error_code(std::errc::connection_aborted));
    }
    if (!RemovePlayer(id)) return;
    QueueToAllBut(id, wire::EncodePlayerRemove({id, reason}));
    DestroyPlayerEvent event{id, reason};
    Emit(DPN_MSGID_DESTROY_PLAYER, &event);
}

void CPeerService::Impl::Route(CPeerConnection& source, wire::CMessageAssembler::Message& message)
{
    const PlayerId from = source.m_player;
    const PlayerId to = message.envelope.to;
    PlayerId local;
    {
        std::lock_guard lock(m_mutex);
        local = m_localPlayer;
    }
    const bool everyone = to == wire::kEveryOtherPlayer;
    if (to == local || everyone) {
        EmitReceived(source, from, message.payload);
        if (!everyone) return;
    }
    if (m_options.acceptRelay && !m_options.acceptRelay(from, message.payload)) {
        ++m_refusedRelays;
        Log("player " + std::to_string(from) + " sent a message in another's name; dropped");
        return;
    }
    // A relayed message waits in queues: they share the buffer.
    auto payload = ShareBuffer(std::move(message.payload));
    std::optional<Clock::time_point> deadline;
    if (message.envelope.timeoutMs) {
        deadline = Clock::now() + std::chrono::milliseconds(message.envelope.timeoutMs);
    }
    if (!everyone) {
        RelayTo(source, to, payload, message.envelope.total, message.high, deadline);
        return;
    }
    std::vector<PlayerId> targets;
    for (const auto& [id, link] : m_members) {
        if (id != from) targets.push_back(id);
    }
    // Removing a stalled link changes m_members, hence the copy of the ids.
    for (PlayerId id : targets) RelayTo(source, id, payload, message.envelope.total, message.high, deadline);
}

void CPeerService::Impl::RelayTo(CPeerConnection& source, PlayerId to, const std::shared_ptr<const Buffer>& payload,
                                 std::uint32_t total, bool high, std::optional<Clock::time_point> deadline)
{
    auto it = m_members.find(to);
    if (it == m_members.end()) {
        ++m_droppedMessages;  // the target left meanwhile
        return;
    }
    const wire::DataEnvelope envelope{total, source.m_player, to, 0};
    CPeerConnection& target = *it->second;
    if (!target.SendData(payload, envelope, high, deadline, true)) {
        Log("link to player " + std::to_string(to) + " stalled");
        ++m_droppedLinks;
        RemoveMember(to, DPNDESTROYPLAYERREASON_CONNECTIONLOST, false);
    } else if (target.Congested()) {
        target.HoldReader(source.shared_from_this());
    }
}

void CPeerService::Impl::QueueTo(PlayerId member, Bytes frame)
{
    auto it = m_members.find(member);
    if (it == m_members.end()) return;
    if (!it->second->SendControl(std::move(frame))) {
        // Removing now would change m_members under a caller's loop.
        asio::post(m_io, [this, member] {
            Log("link to player " + std::to_string(member) + " stalled");
            ++m_droppedLinks;
            RemoveMember(member, DPNDESTROYPLAYERREASON_CONNECTIONLOST, false);
        });
    }
}

void CPeerService::Impl::QueueToAllBut(PlayerId except, const Bytes& frame)
{
    std::vector<PlayerId> ids;
    for (const auto& [id, link] : m_members) {
        if (id != except) ids.push_back(id);
    }
    for (PlayerId id : ids) QueueTo(id, frame);
}

void CPeerService::Impl::PassOnInfo(CPeerConnection& link, Clock::time_point now)
{
    if (!link.m_pendingInfoFrame || now - link.m_lastInfoSent < m_options.playerInfoInterval) return;
    Bytes frame = std::move(*link.m_pendingInfoFrame);
    link.m_pendingInfoFrame.reset();
    link.m_lastInfoSent = now;
    QueueToAllBut(link.m_player, frame);
}

void CPeerService::Impl::HostTick(Clock::time_point now)
{
    for (auto& [id, link] : m_members) PassOnInfo(*link, now);
    std::vector<std::shared_ptr<CPeerConnection>> silent;
    for (auto& [key, pending] : m_pending) {
        auto& link = pending.link;
        if ((!pending.deciding && now > pending.helloDeadline) ||
            (!link->Spoke() && now - pending.accepted > m_options.firstByteTimeout) ||
            now - link->LastReceived() > m_options.keepAliveTimeout) {
            silent.push_back(link);
        } else if (now - link->LastSent() >= m_options.keepAliveInterval && link->QueuedBytes() == 0) {
            link->SendControl(wire::EncodePing());
        }
    }
    for (auto& link : silent) link->Close(std::make_error_code(std::errc::timed_out));
    StartWaitingHandshakes(now);
    std::vector<PlayerId> lost;
    for (auto& [id, link] : m_members) {
        if ((!link->ReadingHeld() && now - link->LastReceived() > m_options.keepAliveTimeout) ||
            link->StalledFor(m_options.keepAliveTimeout, now)) {
            lost.push_back(id);
        } else if (now - link->LastSent() >= m_options.keepAliveInterval && link->QueuedBytes() == 0) {
            link->SendControl(wire::EncodePing());
        }
    }
    for (PlayerId id : lost) {
        ++m_droppedLinks;
        Log("player " + std::to_string(id) + " went silent or stopped reading; link dropped");
        RemoveMember(id, DPNDESTROYPLAYERREASON_CONNECTIONLOST, false);
    }
}

}  // namespace peer
