#include "platform/peer/PeerConnection.h"

#include "platform/peer/PeerSecurity.h"

#include <algorithm>
#include <utility>

namespace peer {

namespace {
constexpr auto kFlushGrace = std::chrono::seconds(2);
}  // namespace

CPeerConnection::CPeerConnection(asio::ip::tcp::socket socket, const Limits& limits,
                                 std::shared_ptr<asio::ssl::context> tls, bool server)
    : m_plain(std::move(socket)),
      m_tlsContext(std::move(tls)),
      m_server(server),
      m_graceTimer(m_plain.get_executor()),
      m_writer(*this, m_plain, limits),
      m_reader(*this, m_plain)
{
    std::error_code ec;
    m_plain.set_option(asio::ip::tcp::no_delay(true), ec);
    m_plain.non_blocking(true, ec);  // writes are our own sendmsg calls
    const auto endpoint = m_plain.remote_endpoint(ec);
    if (!ec) m_remote = endpoint.address().to_string();
    if (m_tlsContext) m_tls = std::make_unique<CTlsSession>(m_tlsContext->native_handle(), m_server);
}

void CPeerConnection::Start(FrameHandler onFrame, MessageHandler onMessage, CloseHandler onClose)
{
    m_onFrame = std::move(onFrame);
    m_onMessage = std::move(onMessage);
    m_onClose = std::move(onClose);
    if (!m_tls) {
        Secured();
    } else if (m_server) {
        SniffFirstBytes();
    } else {
        Handshake();
    }
}

// A host tells a version 1 joiner, which speaks frames in the clear from its first byte, why
// it is refused instead of failing a handshake it never began. Its hello header is told from
// a TLS ClientHello by the frame magic where a ClientHello has its length.
void CPeerConnection::SniffFirstBytes()
{
    Socket().async_wait(asio::socket_base::wait_read, [self = shared_from_this()](const std::error_code& ec) {
        if (self->m_closed) return;
        if (ec) {
            self->Close(ec);
            return;
        }
        std::array<std::uint8_t, wire::kHeaderSize> first{};
        std::error_code peekError;
        const std::size_t n = self->Socket().receive(asio::buffer(first), asio::socket_base::message_peek, peekError);
        if (peekError || n == 0) {
            self->Close(peekError ? peekError : asio::error::eof, !peekError);
            return;
        }
        self->m_spoke = true;
        if (n < first.size() && first[0] != 0x16) {
            // Too little to judge and not a TLS record: look again shortly.
            self->m_graceTimer.expires_after(std::chrono::milliseconds(10));
            self->m_graceTimer.async_wait([self](const std::error_code& waited) {
                if (!waited && !self->m_closed) self->SniffFirstBytes();
            });
            return;
        }
        if (n == first.size() && wire::IsPlainHelloHeader(first)) {
            self->m_tls.reset();
            self->Secured();
            return;
        }
        self->Handshake();
    });
}

void CPeerConnection::Handshake()
{
    switch (m_tls->Handshake()) {
    case CTlsSession::Status::Done: break;
    case CTlsSession::Status::WantRead:
        // Our flight goes out first; its write completes the step (OnWritten comes back here).
        if (m_tls->HasOutput()) {
            m_writer.WriteTls();
        } else if (!m_writer.Writing()) {
            m_reader.ReadHandshake();
        }
        return;
    default: Close(m_tls->LastError()); return;
    }
    SSL* ssl = m_tls->Native();
    m_peerFingerprint = CertificateFingerprint(SSL_get0_peer_certificate(ssl));
    if (m_peerFingerprint.empty() || !LinkExporter(ssl, m_exporter)) {
        Close(std::make_error_code(std::errc::permission_denied));
        return;
    }
    // A client's last flight (its Finished) is still to be written: the writer sends it ahead
    // of any frame.
    Secured();
}

void CPeerConnection::Secured()
{
    if (m_onSecured && !std::exchange(m_onSecured, nullptr)(*this)) {
        Close(std::make_error_code(std::errc::permission_denied));
        return;
    }
    if (m_closed) return;
    m_secured = true;
    m_reader.Begin();
    m_writer.Pump();
}

void CPeerConnection::ReleaseIdleBuffers(Clock::time_point now, Clock::duration idle)
{
    if (now - m_lastMessage < idle) return;
    m_assembler.ReleaseKept();
    Buffer().swap(m_received.payload);
}

void CPeerConnection::CloseAfterFlush()
{
    if (m_closed || m_closeAfterFlush) return;
    m_closeAfterFlush = true;
    m_graceTimer.expires_after(kFlushGrace);
    m_graceTimer.async_wait([self = shared_from_this()](const std::error_code& ec) {
        if (!ec) self->Close(std::make_error_code(std::errc::timed_out), true);
    });
    m_writer.Pump();
}

void CPeerConnection::Close(std::error_code reason, bool clean)
{
    if (m_closed) return;
    m_closed = true;
    m_writer.Stop();
    m_graceTimer.cancel();
    std::error_code ignored;
    Socket().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    Socket().close(ignored);
    m_writer.Drop();
    if (auto handler = std::move(m_onClose)) {
        m_onClose = nullptr;
        handler(*this, reason, clean);
    }
}

}  // namespace peer
