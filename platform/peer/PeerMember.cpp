// The member side of the service: joining a host and following its roster.

#include "platform/peer/PeerServiceImpl.h"

namespace peer {

bool CPeerService::Impl::StillConnecting() const
{
    std::lock_guard lock(m_mutex);
    return m_mode == Mode::Connecting;
}

void CPeerService::Impl::StartConnect(std::string host, std::uint16_t port, wire::Hello hello, std::string password)
{
    if (!StillConnecting()) return;
    m_connectDeadline = Clock::now() + m_options.connectTimeout;
    m_resolver.async_resolve(
        host, std::to_string(port),
        [this, host, port, hello = std::move(hello), password = std::move(password)](
            const std::error_code& ec, asio::ip::tcp::resolver::results_type results) mutable {
            if (ec == asio::error::operation_aborted || m_connectDone || !StillConnecting()) return;
            if (ec) {
                Log("cannot resolve the host: " + ec.message());
                FailConnect(DPNERR_HOSTNOTFOUND, {});
                return;
            }
            m_connecting = std::make_shared<asio::ip::tcp::socket>(m_io);
            asio::async_connect(
                *m_connecting, results,
                [this, socket = m_connecting, host, port, hello = std::move(hello),
                 password = std::move(password)](const std::error_code& ec2, const asio::ip::tcp::endpoint&) mutable {
                    if (ec2 == asio::error::operation_aborted || m_connectDone || socket != m_connecting ||
                        !StillConnecting()) {
                        return;
                    }
                    m_connecting.reset();
                    if (ec2) {
                        Log("cannot reach the host: " + ec2.message());
                        FailConnect(DPNERR_NOANSWER, {});
                        return;
                    }
                    m_hostLink = std::make_shared<CPeerConnection>(std::move(*socket), LinkLimits(), m_clientTls);
                    m_hostLink->SetSecuredHandler([this, host, port, hello = std::move(hello),
                                                   password = std::move(password)](CPeerConnection& l) mutable {
                        return OnHostSecured(l, host, port, hello, password);
                    });
                    m_hostLink->Start(
                        [this](CPeerConnection& l, const wire::FrameHeader& h, std::span<const std::uint8_t> b) {
                            return OnMemberFrame(l, h, b);
                        },
                        [this](CPeerConnection& l, const CPeerConnection::DataEvent& e) { return OnMemberData(l, e); },
                        [this](CPeerConnection& l, std::error_code e, bool clean) { OnMemberLinkClosed(l, e, clean); });
                });
        });
}

// Nothing of the session goes to a host before its key is trusted; the password only as a
// proof that is worthless on any other link.
bool CPeerService::Impl::OnHostSecured(CPeerConnection& link, const std::string& host, std::uint16_t port,
                                       wire::Hello& hello, const std::string& password)
{
    if (&link != m_hostLink.get() || m_connectDone) return false;
    if (m_clientTls && m_options.checkHostKey && !m_options.checkHostKey({host, port, link.PeerFingerprint()})) {
        Log("the host " + host + ":" + std::to_string(port) + " shows the key " + link.PeerFingerprint() +
            ", which is not trusted; nothing was sent");
        FailConnect(DPNERR_UNTRUSTEDHOST, {});
        return false;
    }
    hello.proof = ComputeProof(password, link.Exporter());
    link.SendControl(wire::EncodeHello(hello));
    m_joinAttempt = JoinAttempt{host, port, hello, password};
    return true;
}

bool CPeerService::Impl::OnMemberFrame(CPeerConnection& link, const wire::FrameHeader& header,
                                       std::span<const std::uint8_t> body)
{
    if (&link != m_hostLink.get()) return false;
    switch (header.type) {
    case wire::FrameType::Ping: return true;
    case wire::FrameType::Welcome: {
        wire::Welcome welcome;
        if (m_welcomed || m_connectDone || !wire::DecodeWelcome(body, welcome)) return false;
        m_welcomed = true;
        std::lock_guard lock(m_mutex);
        m_localPlayer = welcome.local;
        m_hostPlayer = welcome.host;
        return true;
    }
    case wire::FrameType::PlayerAdd: {
        wire::PlayerRecord record;
        if (!m_welcomed || !wire::DecodePlayerRecord(body, record)) return false;
        PlayerId local;
        {
            std::lock_guard lock(m_mutex);
            for (const Player& p : m_players) {
                if (p.id == record.id) return false;
            }
            local = m_localPlayer;
            // Our own entry keeps what we set since the hello went out.
            if (record.id == local) {
                record.name = m_localName;
                record.info = m_localInfo;
            }
            m_players.push_back({record.id, std::move(record.name), std::move(record.info)});
        }
        CreatePlayerEvent event{record.id, record.id == local};
        Emit(DPN_MSGID_CREATE_PLAYER, &event);
        return true;
    }
    case wire::FrameType::ConnectResult: {
        wire::ConnectResult result;
        if (m_connectDone || !wire::DecodeConnectResult(body, result)) return false;
        if (result.result == DPNERR_INVALIDVERSION && JoinInOlderVersion()) return true;
        if (result.result != DPN_OK) {
            FailConnect(result.result, result.reply);
            return true;
        }
        PlayerId local;
        {
            std::lock_guard lock(m_mutex);
            local = m_localPlayer;
            bool haveSelf = false;
            bool haveHost = false;
            for (const Player& p : m_players) {
                haveSelf = haveSelf || p.id == m_localPlayer;
                haveHost = haveHost || p.id == m_hostPlayer;
            }
            if (!m_welcomed || !haveSelf || !haveHost) return false;
            m_mode = Mode::Connected;
            m_sendLinks[0] = m_hostLink;
        }
        m_hostFansOut = m_joinAttempt && m_joinAttempt->hello.version >= wire::kFanOutVersion;
        m_joinAttempt.reset();
        m_connectDone = true;
        ConnectCompleteEvent event{DPN_OK, local, result.reply.empty() ? nullptr : result.reply.data(),
                                   static_cast<std::uint32_t>(result.reply.size())};
        Emit(DPN_MSGID_CONNECT_COMPLETE, &event);
        if (m_infoChangedWhileJoining) PublishOwnInfo();
        return true;
    }
    case wire::FrameType::PlayerRemove: {
        wire::PlayerRemove remove;
        if (!m_connectDone || !wire::DecodePlayerRemove(body, remove)) return false;
        if (remove.id == LocalPlayer() || remove.id == m_hostPlayer) return false;
        if (RemovePlayer(remove.id)) {
            DestroyPlayerEvent event{remove.id, remove.reason};
            Emit(DPN_MSGID_DESTROY_PLAYER, &event);
        }
        return true;
    }
    case wire::FrameType::PlayerInfo: {
        wire::PlayerRecord record;
        if (!m_connectDone || !wire::DecodePlayerRecord(body, record)) return false;
        bool known = false;
        {
            std::lock_guard lock(m_mutex);
            for (Player& p : m_players) {
                if (p.id == record.id && p.id != m_localPlayer) {
                    p.name = record.name;
                    p.info = record.info;
                    known = true;
                }
            }
        }
        if (known) {
            PeerInfoEvent event{record.id};
            Emit(DPN_MSGID_PEER_INFO, &event);
        }
        return true;
    }
    case wire::FrameType::Terminate: {
        wire::Terminate terminate;
        if (!wire::DecodeTerminate(body, terminate)) return false;
        if (!m_connectDone) {
            FailConnect(DPNERR_NOCONNECTION, {});
        } else {
            EndSession(terminate.result, terminate.result == DPNERR_HOSTTERMINATEDSESSION
                                             ? DPNDESTROYPLAYERREASON_SESSIONTERMINATED
                                             : DPNDESTROYPLAYERREASON_HOSTDESTROYEDPLAYER);
        }
        return true;
    }
    default: return false;
    }
}

bool CPeerService::Impl::OnMemberData(CPeerConnection& link, const CPeerConnection::DataEvent& e)
{
    if (&link != m_hostLink.get() || !m_connectDone) return false;
    if (e.step == CPeerConnection::DataStep::Complete) {
        const wire::CMessageAssembler::Message& m = *e.message;
        ReportProgress(m.envelope.from, m.payload, m.envelope.total, e.chunkBytes);
        EmitReceived(link, m.envelope.from, m.payload);
    } else if (e.step == CPeerConnection::DataStep::Chunk) {
        ReportProgress(link.m_assembler.PartialEnvelope(e.flags).from, link.m_assembler.PartialPayload(e.flags),
                       link.m_assembler.PartialEnvelope(e.flags).total, e.chunkBytes);
    }
    return true;
}

void CPeerService::Impl::OnMemberLinkClosed(CPeerConnection& link, std::error_code ec, bool)
{
    if (&link != m_hostLink.get()) return;
    if (ec == std::errc::protocol_error) {
        ++m_droppedLinks;
        Log("protocol violation from the host; link dropped");
    }
    if (!m_connectDone) {
        // An older host, which does not speak TLS, ends the handshake like this.
        Log("the link to the host ended before joining: " + ec.message());
        FailConnect(DPNERR_NOCONNECTION, {});
    } else {
        EndSession(DPNERR_CONNECTIONLOST, DPNDESTROYPLAYERREASON_CONNECTIONLOST);
    }
}

bool CPeerService::Impl::JoinInOlderVersion()
{
    if (!m_joinAttempt || m_joinAttempt->hello.version <= wire::kOldestProtocolVersion || m_welcomed) return false;
    JoinAttempt again = std::move(*m_joinAttempt);
    m_joinAttempt.reset();
    --again.hello.version;
    Log("the host speaks an older protocol version; joining again in version " + std::to_string(again.hello.version));
    // The old link is no longer ours: its end is not the connect's.
    auto old = std::move(m_hostLink);
    asio::post(m_io, [this, old = std::move(old), again = std::move(again)]() mutable {
        old->Close(std::make_error_code(std::errc::operation_canceled), true);
        StartConnect(std::move(again.host), again.port, std::move(again.hello), std::move(again.password));
    });
    return true;
}

void CPeerService::Impl::FailConnect(Result result, const Bytes& reply)
{
    if (m_connectDone) return;
    m_connectDone = true;
    {
        std::lock_guard lock(m_mutex);
        if (m_mode == Mode::Closed) return;
        m_mode = Mode::Ended;
        m_sendLinks.clear();
    }
    std::error_code ignored;
    m_resolver.cancel();
    if (m_connecting) m_connecting->close(ignored);
    if (auto link = std::move(m_hostLink)) link->Close(std::make_error_code(std::errc::operation_canceled), true);
    DestroyAllPlayers(DPNDESTROYPLAYERREASON_CONNECTIONLOST);
    ConnectCompleteEvent event{result, 0, reply.empty() ? nullptr : reply.data(),
                               static_cast<std::uint32_t>(reply.size())};
    Emit(DPN_MSGID_CONNECT_COMPLETE, &event);
}

void CPeerService::Impl::EndSession(Result result, std::uint32_t reason)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_mode != Mode::Connected) return;
        m_mode = Mode::Ended;
        m_sendLinks.clear();
    }
    if (auto link = std::move(m_hostLink)) link->Close(std::make_error_code(std::errc::operation_canceled), true);
    DestroyAllPlayers(reason);
    TerminateSessionEvent event{result};
    Emit(DPN_MSGID_TERMINATE_SESSION, &event);
}

void CPeerService::Impl::MemberTick(Clock::time_point now)
{
    if (!m_connectDone && now > m_connectDeadline) {
        FailConnect(DPNERR_TIMEDOUT, {});
        return;
    }
    if (!m_hostLink) return;
    if (!m_hostLink->ReadingHeld() && now - m_hostLink->LastReceived() > m_options.keepAliveTimeout) {
        ++m_droppedLinks;
        Log("the host went silent; link dropped");
        if (!m_connectDone) {
            FailConnect(DPNERR_NOCONNECTION, {});
        } else {
            EndSession(DPNERR_CONNECTIONLOST, DPNDESTROYPLAYERREASON_CONNECTIONLOST);
        }
    } else if (now - m_hostLink->LastSent() >= m_options.keepAliveInterval && m_hostLink->QueuedBytes() == 0) {
        m_hostLink->SendControl(wire::EncodePing());
    }
}

}  // namespace peer
