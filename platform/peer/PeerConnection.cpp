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
// On a TLS link, a payload slice this large is encrypted on its own rather than gathered.
constexpr std::size_t kOwnRecordBytes = 8 * 1024;
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
      m_roomTimer(m_plain.get_executor()),
      m_graceTimer(m_plain.get_executor()),
      m_limits(limits),
      m_pacer(m_plain.native_handle()),
      m_fd(m_plain.native_handle()),
      m_executor(m_plain.get_executor()),
      m_lastReceived(Clock::now()),
      m_lastSent(Clock::now()),
      m_lastProgress(Clock::now())
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
            StartWrite();
        } else if (!m_writing) {
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
        std::lock_guard lock(m_writerMutex);
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
                                    std::lock_guard lock(self->m_writerMutex);
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
            std::lock_guard lock(m_writerMutex);
            status = m_tls->Read(into, std::max<std::size_t>(want, 1), got);
            answer = m_tls->HasOutput();
        }
        if (answer) PumpWrites();  // TLS may answer what it read
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
    PumpWrites();
}

// Resumes the read or write loop once the socket is ready again; a failed wait ends it the way
// a failed read or write would.
void CPeerConnection::AwaitSocket(asio::socket_base::wait_type what)
{
    m_plain.async_wait(what, [self = shared_from_this(), what](const std::error_code& ec) {
        if (self->m_closed) return;
        const bool reading = what == asio::socket_base::wait_read;
        if (ec) {
            reading ? self->Close(ec) : self->OnWritten(ec);
        } else {
            reading ? self->ReadMore() : self->SendBuffers();
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
                AwaitSocket(asio::socket_base::wait_read);
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
                AwaitSocket(asio::socket_base::wait_read);
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

void CPeerConnection::HoldReader(const std::shared_ptr<CPeerConnection>& source)
{
    if (source.get() == this || source->m_closed) return;
    for (const auto& held : m_heldReaders) {
        if (held.lock() == source) return;
    }
    m_heldReaders.push_back(source);
    ++source->m_readHolds;
}

void CPeerConnection::ReleaseReader()
{
    if (--m_readHolds > 0 || !m_readParked || m_closed) return;
    m_readParked = false;
    m_lastReceived = Clock::now();  // it was not silent, we were not listening
    ReadMore();
}

void CPeerConnection::ReleaseHeldReaders()
{
    if (m_heldReaders.empty()) return;
    if (!m_closed && m_boundedBytes > m_limits.relayPauseBytes / 2) return;
    auto held = std::move(m_heldReaders);
    m_heldReaders.clear();
    for (const auto& weak : held) {
        if (auto source = weak.lock()) source->ReleaseReader();
    }
}

void CPeerConnection::NoteQueued()
{
    if (m_queuedBytes == 0 && !m_writing) m_lastProgress = Clock::now();
}

bool CPeerConnection::SendControl(Bytes frame)
{
    if (m_closed || m_closeAfterFlush) return true;
    NoteQueued();
    m_queuedBytes += frame.size();
    m_boundedBytes += frame.size();
    m_control.push_back(std::move(frame));
    if (m_boundedBytes > m_limits.maxQueuedBytes) return false;
    PumpWrites();
    return true;
}

bool CPeerConnection::SendData(std::shared_ptr<const Buffer> payload, const wire::DataEnvelope& envelope, bool high,
                               std::optional<Clock::time_point> deadline, bool relayed)
{
    if (m_closed || m_closeAfterFlush) return true;
    NoteQueued();
    m_queuedBytes += payload->size();
    if (relayed) m_boundedBytes += payload->size();
    m_queues[high ? 1 : 0].push_back(OutMessage{std::move(payload), envelope, 0, deadline, relayed});
    if (m_boundedBytes > m_limits.maxQueuedBytes) return false;
    PumpWrites();
    return true;
}

// Adds the next frame to the write batch: control frames first, then high-priority chunks,
// then low-priority ones while the batch is below `lowRoom`.
bool CPeerConnection::FillOne(std::size_t lowRoom)
{
    if (!m_control.empty()) {
        Bytes& frame = m_control.front();
        m_segments.push_back({nullptr, m_writeBuffer.size(), frame.size()});
        m_writeBuffer.insert(m_writeBuffer.end(), frame.begin(), frame.end());
        m_queuedBytes -= frame.size();
        m_boundedBytes -= frame.size();
        m_batchBytes += frame.size();
        m_control.pop_front();
        return true;
    }
    const auto now = Clock::now();
    for (int priority : {1, 0}) {
        auto& queue = m_queues[priority];
        if (priority == 0 && m_batchBytes >= lowRoom) return false;
        while (!queue.empty()) {
            OutMessage& m = queue.front();
            if (m.offset == 0 && m.deadline && now > *m.deadline) {
                // Its time ran out before it started: drop it unsent.
                m_queuedBytes -= m.payload->size();
                if (m.bounded) m_boundedBytes -= m.payload->size();
                if (m_limits.droppedMessages) ++*m_limits.droppedMessages;
                queue.pop_front();
                continue;
            }
            wire::DataEnvelope envelope = m.envelope;
            if (m.deadline) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*m.deadline - now);
                envelope.timeoutMs = static_cast<std::uint32_t>(std::max<long long>(1, left.count()));
            }
            const std::size_t headStart = m_writeBuffer.size();
            const std::size_t n =
                wire::AppendDataChunkHead(m_writeBuffer, priority == 1, envelope, m.payload->size(), m.offset,
                                          priority == 1 ? wire::kChunkSize : m_pacer.ChunkSize());
            m_segments.push_back({nullptr, headStart, m_writeBuffer.size() - headStart});
            m_segments.push_back({m.payload->data() + m.offset, 0, n});
            m_batchBytes += m_writeBuffer.size() - headStart + n;
            if (m_inFlight.empty() || m_inFlight.back() != m.payload) m_inFlight.push_back(m.payload);
            m.offset += n;
            m_queuedBytes -= n;
            if (m.bounded) m_boundedBytes -= n;
            if (m.offset == m.payload->size()) queue.pop_front();
            return true;
        }
    }
    return false;
}

void CPeerConnection::SetWriterIdle(bool idle)
{
    std::lock_guard lock(m_writerMutex);
    m_writerIdle = idle;
}

bool CPeerConnection::SendNow(std::span<const std::uint8_t> payload, const wire::DataEnvelope& envelope, bool high)
{
    if (payload.size() > kSendNowBytes) return false;
    std::unique_lock lock(m_writerMutex, std::try_to_lock);
    if (!lock.owns_lock() || !m_writerIdle || (m_tls && m_tls->HasOutput())) return false;
    Bytes frame;
    wire::AppendDataChunk(frame, high, envelope, payload, 0);
    std::error_code failed;
    if (m_tls) {
        if (!m_tls->Write(frame)) failed = m_tls->LastError();
        m_tls->TakeOutput(frame);
    }
    ssize_t sent = 0;
    if (!failed) {
        do {
            sent = ::send(m_fd, frame.data(), frame.size(), MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            failed = std::error_code(errno, std::system_category());
    }
    if (failed) {
        // The link is broken: the I/O thread ends it, as after a failed write of its own.
        m_writerIdle = false;
        asio::post(m_executor, [self = shared_from_this(), failed] { self->Close(failed); });
        return true;
    }
    const auto done = static_cast<std::size_t>(std::max<ssize_t>(sent, 0));
    if (done < frame.size()) {
        // The kernel is full: the rest goes ahead of anything else, from the I/O thread.
        m_writerIdle = false;
        m_sendNowRest.assign(frame.begin() + static_cast<std::ptrdiff_t>(done), frame.end());
        asio::post(m_executor, [self = shared_from_this()] { self->PumpWrites(); });
        return true;
    }
    m_sentNowAt.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    return true;
}

void CPeerConnection::PumpWrites()
{
    if (m_writing || m_closed) return;
    SetWriterIdle(false);
    if (!m_sendNowRest.empty()) {
        NoteQueued();  // the link was idle until now, not stalled
        m_buffers.assign(1, asio::buffer(m_sendNowRest));
        m_writing = true;
        m_sendIndex = 0;
        m_sendOffset = 0;
        SendBuffers();
        return;
    }
    if (!m_secured) {
        // Only TLS's own records may go out before the link is secured.
        if (m_tls && m_tls->HasOutput()) StartWrite();
        return;
    }
    if (m_limits.shaper) {
        PumpShaped();
        return;
    }
    const bool urgent = !m_control.empty() || !m_queues[1].empty() || (m_tls && m_tls->HasOutput());
    const bool bulk = !m_queues[0].empty();
    if (!bulk) m_pacer.Idle();
    if (!urgent && !bulk) {
        if (m_closeAfterFlush) {
            FinishFlush();
        } else {
            SetWriterIdle(true);
        }
        return;
    }
    // Only bulk waits for room: control frames and high-priority messages are small and are
    // what the room is kept for.
    const std::size_t room = bulk ? m_pacer.BulkRoom() : SIZE_MAX;
    if (room == 0 && !m_waitingForRoom) {
        m_waitingForRoom = true;
        m_roomTimer.expires_after(CPeerPacer::kRoomPoll);
        m_roomTimer.async_wait([self = shared_from_this()](const std::error_code& ec) {
            self->m_waitingForRoom = false;
            if (!ec && !self->m_closed) self->PumpWrites();
        });
    }
    if (!urgent && room == 0) return;
    if (!FillBatch(room, m_limits.writeBatchBytes)) return;
    if (room != SIZE_MAX) m_pacer.Wrote(m_batchBytes);
    StartWrite();
}

// An emulated link sets the pace itself: it takes one frame per write, which keeps the wait
// of a high-priority frame down to one chunk, and hands each back once it has carried it.
// The writer never goes idle here, so that no message bypasses it.
void CPeerConnection::PumpShaped()
{
    const bool queued = !m_control.empty() || !m_queues[1].empty() || !m_queues[0].empty();
    if (!queued && !(m_tls && m_tls->HasOutput())) {
        if (m_closeAfterFlush) FinishFlush();
        return;
    }
    if (!FillBatch(SIZE_MAX, 1)) return;
    m_limits.shaper->Delay(m_executor, m_batchBytes, [self = shared_from_this()] {
        if (!self->m_closed) self->StartWrite();
    });
}

// Takes the next frames, up to `batch` bytes (bulk ones up to `room`), into m_buffers for
// one write, and marks it begun. False when none was due: what TLS has to send has then gone
// out instead, or a flush has ended.
bool CPeerConnection::FillBatch(std::size_t room, std::size_t batch)
{
    m_writeBuffer.clear();
    m_segments.clear();
    m_inFlight.clear();
    m_batchBytes = 0;
    m_buffers.clear();
    while (m_batchBytes < batch && FillOne(room)) {}
    if (m_segments.empty()) {
        if (m_tls && m_tls->HasOutput()) {
            StartWrite();
        } else if (m_closeAfterFlush && m_control.empty() && m_queues[0].empty() && m_queues[1].empty()) {
            FinishFlush();
        }
        return false;
    }
    for (const Segment& segment : m_segments) {
        const std::uint8_t* p = segment.external ? segment.external : m_writeBuffer.data() + segment.offset;
        m_buffers.emplace_back(p, segment.size);
    }
    m_writing = true;
    return true;
}

void CPeerConnection::ReleaseIdleBuffers(Clock::time_point now, Clock::duration idle)
{
    if (now - m_lastMessage < idle) return;
    m_assembler.ReleaseKept();
    Buffer().swap(m_received.payload);
}

// Writes m_buffers; on a TLS link as records, with whatever TLS itself has to send first.
void CPeerConnection::StartWrite()
{
    m_writing = true;
    if (m_tls) {
        if (!m_buffers.empty()) {
            // Small pieces (frame heads, control frames, short messages) are gathered so that
            // they share records; a bulk chunk's payload is encrypted straight from its message
            // into a record of its own, which costs less than copying it first.
            m_tlsOut.clear();
            bool ok = true;
            for (const auto& buffer : m_buffers) {
                const auto* p = static_cast<const std::uint8_t*>(buffer.data());
                if (buffer.size() < kOwnRecordBytes) {
                    m_tlsOut.insert(m_tlsOut.end(), p, p + buffer.size());
                    continue;
                }
                ok = ok && m_tls->Write(m_tlsOut) && m_tls->Write({p, buffer.size()});
                m_tlsOut.clear();
            }
            m_buffers.clear();
            if (!ok || !m_tls->Write(m_tlsOut)) {
                m_writing = false;
                Close(m_tls->LastError());
                return;
            }
            // Encrypted, so the messages' buffers can serve the next messages now.
            m_inFlight.clear();
        }
        m_tls->TakeOutput(m_cipherOut);
        m_buffers.assign(1, asio::buffer(m_cipherOut));
    }
    m_sendIndex = 0;
    m_sendOffset = 0;
    SendBuffers();
}

// Gathers the whole batch into one sendmsg where asio would take at most 16 buffers a call.
void CPeerConnection::SendBuffers()
{
    std::array<iovec, 1024> vectors;
    while (true) {
        std::size_t count = 0;
        for (std::size_t i = m_sendIndex; i < m_buffers.size() && count < vectors.size(); ++i, ++count) {
            const std::size_t skip = i == m_sendIndex ? m_sendOffset : 0;
            vectors[count].iov_base =
                const_cast<std::uint8_t*>(static_cast<const std::uint8_t*>(m_buffers[i].data())) + skip;
            vectors[count].iov_len = m_buffers[i].size() - skip;
        }
        if (count == 0) break;
        msghdr message{};
        message.msg_iov = vectors.data();
        message.msg_iovlen = count;
        const ssize_t sent = ::sendmsg(m_plain.native_handle(), &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                AwaitSocket(asio::socket_base::wait_write);
                return;
            }
            const std::error_code ec(errno, std::system_category());
            asio::post(m_plain.get_executor(), [self = shared_from_this(), ec] { self->OnWritten(ec); });
            return;
        }
        auto left = static_cast<std::size_t>(sent);
        while (left > 0) {
            const std::size_t rest = m_buffers[m_sendIndex].size() - m_sendOffset;
            if (left < rest) {
                m_sendOffset += left;
                break;
            }
            left -= rest;
            ++m_sendIndex;
            m_sendOffset = 0;
        }
    }
    m_buffers.clear();  // a TLS write takes what is here as plaintext
    if (FinishesQuietly()) {
        // Nothing follows: finish here rather than from the I/O thread's queue, which would
        // cost it another round (and a poll) per message.
        OnWritten({});
        return;
    }
    // Completed at once: finish from the executor, so that back-to-back batches never nest.
    asio::post(m_plain.get_executor(), [self = shared_from_this()] { self->OnWritten({}); });
}

// Whether finishing a write would only leave the link idle: no frames to send, no readers to
// release, no handshake to go on with, no flush to end. Anything more must not run nested in
// whoever queued the write.
bool CPeerConnection::FinishesQuietly() const
{
    return m_secured && !m_closeAfterFlush && m_heldReaders.empty() && m_control.empty() && m_queues[0].empty() &&
           m_queues[1].empty() && !(m_tls && m_tls->HasOutput());
}

void CPeerConnection::OnWritten(const std::error_code& ec)
{
    m_writing = false;
    if (m_closed) return;
    if (ec) {
        Close(ec);
        return;
    }
    m_lastSent = m_lastProgress = Clock::now();
    m_sendNowRest.clear();  // it went first, if there was any
    if (!m_secured && m_tls) {
        Handshake();  // our flight is out: on to the peer's
        return;
    }
    ReleaseHeldReaders();
    // Sent messages free their buffers now, not when the next write begins (an idle link
    // would hold them until its next keep-alive).
    m_inFlight.clear();
    PumpWrites();
}

void CPeerConnection::CloseAfterFlush()
{
    if (m_closed || m_closeAfterFlush) return;
    m_closeAfterFlush = true;
    m_graceTimer.expires_after(kFlushGrace);
    m_graceTimer.async_wait([self = shared_from_this()](const std::error_code& ec) {
        if (!ec) self->Close(std::make_error_code(std::errc::timed_out), true);
    });
    PumpWrites();
}

void CPeerConnection::FinishFlush()
{
    if (m_shutDownSend) return;
    m_shutDownSend = true;
    // Half-close and keep reading until the peer closes too, so that our last frames are not
    // lost to a reset caused by unread incoming bytes.
    std::error_code ec;
    Socket().shutdown(asio::ip::tcp::socket::shutdown_send, ec);
    if (ec) Close(ec, true);
}

void CPeerConnection::Close(std::error_code reason, bool clean)
{
    if (m_closed) return;
    m_closed = true;
    SetWriterIdle(false);
    if (m_limits.shaper) m_limits.shaper->Cancel();
    m_roomTimer.cancel();
    m_graceTimer.cancel();
    std::error_code ignored;
    Socket().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    Socket().close(ignored);
    m_control.clear();
    m_queues[0].clear();
    m_queues[1].clear();
    m_queuedBytes = 0;
    m_boundedBytes = 0;
    ReleaseHeldReaders();
    if (auto handler = std::move(m_onClose)) {
        m_onClose = nullptr;
        handler(*this, reason, clean);
    }
}

}  // namespace peer
