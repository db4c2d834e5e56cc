#include "platform/peer/PeerConnection.h"

#include "platform/peer/PeerSecurity.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <cstdint>
#include <cstring>

namespace peer {

namespace {
constexpr auto kFlushGrace = std::chrono::seconds(2);
constexpr std::size_t kReadBufferSize = 2 * (wire::kHeaderSize + wire::kMaxFrameBody);
// Reads in a row on one link before the others get a turn.
constexpr int kReadRounds = 8;
// Guessing ahead is for bulk chunks; the end of the read buffer keeps room for one whole
// frame after them.
constexpr std::size_t kMinGuessChunk = 4 * 1024;
constexpr std::size_t kGuessTail = wire::kHeaderSize + wire::kDataEnvelopeSize + wire::kChunkSize;
}  // namespace

CPeerConnection::CPeerConnection(asio::ip::tcp::socket socket, const Limits& limits,
                                 std::shared_ptr<asio::ssl::context> tls, bool server)
    : m_plain(std::move(socket)),
      m_tlsContext(std::move(tls)),
      m_server(server),
      m_graceTimer(m_plain.get_executor()),
      m_writer(*this, m_plain, limits),
      m_lastReceived(Clock::now())
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
    m_readBuffer.resize(kReadBufferSize);
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
            ReadCipher(&CPeerConnection::Handshake);
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

// Reads what the socket has into the TLS input, then continues with `then`.
void CPeerConnection::ReadCipher(void (CPeerConnection::*then)())
{
    if (m_readingCipher) return;
    m_readingCipher = true;
    std::span<std::uint8_t> room;
    {
        const auto lock = m_writer.LockTls();
        room = m_tls->ReceiveRoom();
    }
    m_plain.async_read_some(asio::buffer(room.data(), room.size()),
                            [self = shared_from_this(), then](const std::error_code& ec, std::size_t n) {
                                self->m_readingCipher = false;
                                if (self->m_closed) return;
                                if (ec) {
                                    // A peer ends a TLS link as it ends a plain one, by closing TCP;
                                    // our frames say where a message ends, so a cut cannot pass off
                                    // part of one as whole.
                                    self->Close(ec, ec == asio::error::eof);
                                    return;
                                }
                                self->m_lastReceived = Clock::now();
                                {
                                    const auto lock = self->m_writer.LockTls();
                                    self->m_tls->Received(n);
                                }
                                ((*self).*then)();
                            });
}

void CPeerConnection::CompactReadBuffer()
{
    if (m_readStart == m_readEnd) {
        m_readStart = m_readEnd = 0;
    } else if (m_readBuffer.size() - m_readEnd < wire::kHeaderSize + wire::kMaxFrameBody) {
        // Make room for the largest frame behind what is still unread.
        std::memmove(m_readBuffer.data(), m_readBuffer.data() + m_readStart, m_readEnd - m_readStart);
        m_readEnd -= m_readStart;
        m_readStart = 0;
    }
}

// A frame's head is read with whatever else its record holds: small frames share records, so
// a short message takes one decryption call instead of one per part. A payload with records
// of its own (bulk) is decrypted straight into its message, so it is never copied twice.
void CPeerConnection::ReadTls()
{
    while (!m_closed) {
        if (m_readHolds > 0) {
            m_readParked = true;
            return;
        }
        std::uint8_t* into;
        std::size_t want;
        if (m_payloadLeft > 0) {
            into = m_payloadAt;
            want = m_payloadLeft;
        } else {
            CompactReadBuffer();
            into = m_readBuffer.data() + m_readEnd;
            want = m_readBuffer.size() - m_readEnd;
        }
        std::size_t got = 0;
        CTlsSession::Status status;
        bool answer;
        {
            const auto lock = m_writer.LockTls();
            status = m_tls->Read(into, std::max<std::size_t>(want, 1), got);
            answer = m_tls->HasOutput();
        }
        if (answer) m_writer.Pump();  // TLS may answer what it read
        switch (status) {
        case CTlsSession::Status::Done: break;
        case CTlsSession::Status::WantRead: ReadCipher(&CPeerConnection::ReadTls); return;
        case CTlsSession::Status::Closed: Close(asio::error::eof, true); return;
        case CTlsSession::Status::Failed: Close(m_tls->LastError()); return;
        }
        if (m_payloadLeft > 0) {
            m_payloadAt += got;
            m_payloadLeft -= got;
        } else {
            m_readEnd += got;
        }
        if (!DispatchBuffered()) return;
    }
}

void CPeerConnection::Secured()
{
    if (m_onSecured && !std::exchange(m_onSecured, nullptr)(*this)) {
        Close(std::make_error_code(std::errc::permission_denied));
        return;
    }
    if (m_closed) return;
    m_secured = true;
    m_lastReceived = Clock::now();
    ReadMore();
    m_writer.Pump();
}

// Goes on reading once the socket has more; a failed wait ends the link as a failed read would.
void CPeerConnection::AwaitReadable()
{
    m_plain.async_wait(asio::socket_base::wait_read, [self = shared_from_this()](const std::error_code& ec) {
        if (self->m_closed) return;
        if (ec) {
            self->Close(ec);
        } else {
            self->ReadMore();
        }
    });
}

void CPeerConnection::ReadMore()
{
    if (m_tls) {
        ReadTls();
        return;
    }
    for (int round = 0; round < kReadRounds; ++round) {
        if (m_closed) return;
        if (m_readHolds > 0) {
            m_readParked = true;
            return;
        }
        CompactReadBuffer();
        std::array<iovec, 2 + 2 * kMaxGuesses> vectors;
        std::size_t count = 0;
        std::size_t tailAt = m_readEnd;
        m_guessCount = 0;
        if (m_payloadLeft > 0) {
            vectors[count++] = {m_payloadAt, m_payloadLeft};
            if (m_readStart == m_readEnd) GuessAhead();
            for (std::size_t k = 0; k < m_guessCount; ++k) {
                vectors[count++] = {m_guesses[k].head.data(), wire::kHeaderSize};
                vectors[count++] = {m_guesses[k].at, m_guesses[k].size};
            }
            // What follows the guesses goes to the end of the buffer, clear of where bytes
            // read ahead under a wrong guess are put back.
            if (m_guessCount > 0) tailAt = m_readBuffer.size() - kGuessTail;
        }
        vectors[count++] = {m_readBuffer.data() + tailAt, m_readBuffer.size() - tailAt};
        msghdr message{};
        message.msg_iov = vectors.data();
        message.msg_iovlen = count;
        const ssize_t n = ::recvmsg(m_plain.native_handle(), &message, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                AwaitReadable();
                return;
            }
            Close(std::error_code(errno, std::system_category()));
            return;
        }
        if (n == 0) {
            Close(asio::error::eof, true);
            return;
        }
        m_lastReceived = Clock::now();
        std::size_t room = 0;
        for (std::size_t k = 0; k < count; ++k) room += vectors[k].iov_len;
        if (!TakeRead(static_cast<std::size_t>(n), tailAt)) return;
        if (static_cast<std::size_t>(n) < room && m_payloadLeft == 0 && m_readStart == m_readEnd) {
            // That took all there was, and it ended with a whole frame: a link between
            // messages waits for more rather than ask again at once, which would cost a system
            // call that finds nothing (for every small message). Mid-message, more is likely
            // on its way, and asking beats a round through the poll.
            if (m_readHolds > 0) {
                m_readParked = true;
            } else {
                AwaitReadable();
            }
            return;
        }
    }
    // A busy link lets the others have their turn.
    asio::post(m_plain.get_executor(), [self = shared_from_this()] {
        if (!self->m_closed) self->ReadMore();
    });
}

// Plans where the chunks after the one being read will go, guessing that they continue its
// message at its chunk size with nothing between them (so it is for bulk on a fast link).
void CPeerConnection::GuessAhead()
{
    if (m_closeAfterFlush || (m_payloadFlags & wire::kFlagLast) || m_payloadSize < kMinGuessChunk) return;
    const std::uint8_t flags = m_payloadFlags & wire::kFlagHigh;
    const std::span<std::uint8_t> ahead = m_assembler.Ahead(flags);
    const std::size_t total = m_assembler.PartialEnvelope(flags).total;
    const std::size_t have = m_assembler.PartialPayload(flags).size();
    if (have >= total) return;
    const std::size_t limit =
        std::min((m_readBuffer.size() - kGuessTail) / (wire::kHeaderSize + m_payloadSize), kMaxGuesses);
    std::size_t offset = 0;
    while (m_guessCount < limit) {
        const std::size_t size = std::min(m_payloadSize, total - have - offset);
        if (offset + size > ahead.size()) break;
        const bool last = have + offset + size == total;
        Guess& guess = m_guesses[m_guessCount++];
        guess.flags = static_cast<std::uint8_t>(flags | (last ? wire::kFlagLast : 0));
        guess.size = size;
        guess.at = ahead.data() + offset;
        wire::EncodeHeader({static_cast<std::uint32_t>(size), wire::FrameType::Data, guess.flags},
                           guess.expected.data());
        offset += size;
        if (last) break;
    }
}

// Takes in `n` bytes just read: the rest of the chunk being read, the guessed chunks as far
// as they proved right, then what the buffer holds from `tailAt`.
bool CPeerConnection::TakeRead(std::size_t n, std::size_t tailAt)
{
    const std::size_t direct = std::min(n, m_payloadLeft);
    m_payloadAt += direct;
    m_payloadLeft -= direct;
    n -= direct;
    std::size_t k = 0;
    for (; k < m_guessCount && n > 0; ++k) {
        if (!DispatchBuffered()) return false;  // completes the chunk before
        const Guess& guess = m_guesses[k];
        if (n < wire::kHeaderSize || m_closeAfterFlush || m_payloadLeft > 0 ||
            std::memcmp(guess.head.data(), guess.expected.data(), wire::kHeaderSize) != 0) {
            break;
        }
        n -= wire::kHeaderSize;
        const std::size_t landed = std::min(n, guess.size);
        n -= landed;
        // The frame as the dispatcher would have begun it, its payload already in place.
        if (!m_onMessage(*this, DataEvent{DataStep::Begin, guess.flags, 0, nullptr})) {
            Close(std::make_error_code(std::errc::protocol_error));
            return false;
        }
        if (m_closed) return false;
        std::span<std::uint8_t> payload;
        if (m_assembler.Begin(guess.flags, guess.size, {}, payload) == wire::CMessageAssembler::Status::Malformed ||
            payload.data() != guess.at || payload.size() != guess.size) {
            Close(std::make_error_code(std::errc::protocol_error));
            return false;
        }
        m_payloadAt = guess.at + landed;
        m_payloadLeft = guess.size - landed;
        m_payloadSize = guess.size;
        m_payloadFlags = guess.flags;
    }
    if (k < m_guessCount && n > 0) {
        // A wrong guess: what was read ahead from its header on goes back into the buffer, in
        // order and in front of what followed it, to be taken apart as usual.
        std::size_t at = 0;
        std::size_t left = n;
        for (std::size_t j = k; j < m_guessCount && left > 0; ++j) {
            const std::size_t head = std::min(left, wire::kHeaderSize);
            std::memcpy(m_readBuffer.data() + at, m_guesses[j].head.data(), head);
            at += head;
            left -= head;
            const std::size_t body = std::min(left, m_guesses[j].size);
            std::memcpy(m_readBuffer.data() + at, m_guesses[j].at, body);
            at += body;
            left -= body;
        }
        std::memmove(m_readBuffer.data() + at, m_readBuffer.data() + tailAt, left);
        m_readStart = 0;
        m_readEnd = at + left;
    } else if (n > 0) {
        if (tailAt != m_readEnd) m_readStart = m_readEnd = tailAt;
        m_readEnd += n;
    }
    m_guessCount = 0;
    return DispatchBuffered();
}

// Hands every complete frame in the buffer to the owner; false once the link is closed.
bool CPeerConnection::DispatchBuffered()
{
    const auto violation = [this] {
        Close(std::make_error_code(std::errc::protocol_error));
        return false;
    };
    while (true) {
        if (m_payloadAt) {
            // A chunk being filled in place.
            const std::size_t n = std::min(m_payloadLeft, m_readEnd - m_readStart);
            if (n) std::memcpy(m_payloadAt, m_readBuffer.data() + m_readStart, n);
            m_readStart += n;
            m_payloadAt += n;
            m_payloadLeft -= n;
            if (m_payloadLeft > 0) return true;
            m_payloadAt = nullptr;
            DataEvent event{DataStep::Chunk, m_payloadFlags, m_payloadSize, nullptr};
            if (m_assembler.End(m_payloadFlags, m_received) == wire::CMessageAssembler::Status::Complete) {
                event.step = DataStep::Complete;
                event.message = &m_received;
                m_lastMessage = m_lastReceived;
            }
            if (!m_closeAfterFlush && !m_onMessage(*this, event)) return violation();
            if (m_closed) return false;
            if (event.step == DataStep::Complete) m_assembler.Recycle(m_received);
            continue;
        }
        if (m_readEnd - m_readStart < wire::kHeaderSize) break;
        wire::FrameHeader header;
        const std::span<const std::uint8_t, wire::kHeaderSize> raw(m_readBuffer.data() + m_readStart,
                                                                   wire::kHeaderSize);
        if (!wire::DecodeHeader(raw, header)) return violation();
        const std::size_t available = m_readEnd - m_readStart - wire::kHeaderSize;
        if (header.type == wire::FrameType::Data && !m_closeAfterFlush) {
            // Only the envelope needs to be here; the payload is read into the message.
            const std::size_t envelopeSize = (header.flags & wire::kFlagFirst) ? wire::kDataEnvelopeSize : 0;
            const std::size_t head = std::min<std::size_t>(envelopeSize, header.bodySize);
            if (available < head) break;
            if (!m_onMessage(*this, DataEvent{DataStep::Begin, header.flags, 0, nullptr})) return violation();
            if (m_closed) return false;
            std::span<std::uint8_t> payload;
            const std::span<const std::uint8_t> envelope(m_readBuffer.data() + m_readStart + wire::kHeaderSize, head);
            if (m_assembler.Begin(header.flags, header.bodySize, envelope, payload) ==
                wire::CMessageAssembler::Status::Malformed) {
                return violation();
            }
            m_readStart += wire::kHeaderSize + head;
            m_payloadAt = payload.data();
            m_payloadLeft = m_payloadSize = payload.size();
            m_payloadFlags = header.flags;
            continue;
        }
        if (available < header.bodySize) break;
        const std::span<const std::uint8_t> body(m_readBuffer.data() + m_readStart + wire::kHeaderSize,
                                                 header.bodySize);
        m_readStart += wire::kHeaderSize + header.bodySize;
        // While flushing before a close, whatever the peer still sends is read and ignored.
        if (!m_closeAfterFlush && !m_onFrame(*this, header, body)) return violation();
        if (m_closed) return false;
    }
    return true;
}

void CPeerConnection::ReleaseReader()
{
    if (--m_readHolds > 0 || !m_readParked || m_closed) return;
    m_readParked = false;
    m_lastReceived = Clock::now();  // it was not silent, we were not listening
    ReadMore();
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
