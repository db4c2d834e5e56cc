#include "platform/peer/PeerReader.h"

#include "platform/peer/PeerConnection.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace peer {

namespace {
constexpr std::size_t kReadBufferSize = 2 * (wire::kHeaderSize + wire::kMaxFrameBody);
// Reads in a row on one link before the others get a turn.
constexpr int kReadRounds = 8;
// Guessing ahead is for bulk chunks; the end of the read buffer keeps room for one whole
// frame after them.
constexpr std::size_t kMinGuessChunk = 4 * 1024;
constexpr std::size_t kGuessTail = wire::kHeaderSize + wire::kDataEnvelopeSize + wire::kChunkSize;
}  // namespace

CPeerReader::CPeerReader(CPeerConnection& link, asio::ip::tcp::socket& socket)
    : m_link(link),
      m_socket(socket),
      m_fd(socket.native_handle()),
      m_lastReceived(Clock::now())
{
    m_readBuffer.resize(kReadBufferSize);
}

void CPeerReader::Begin()
{
    m_lastReceived = Clock::now();
    ReadMore();
}

void CPeerReader::Release()
{
    if (--m_holds > 0 || !m_parked || m_link.m_closed) return;
    m_parked = false;
    m_lastReceived = Clock::now();  // it was not silent, we were not listening
    ReadMore();
}

bool CPeerReader::Violation()
{
    m_link.Close(std::make_error_code(std::errc::protocol_error));
    return false;
}

// Reads what the socket has into the TLS input, then goes on with the handshake or, once
// frames flow, with reading them.
void CPeerReader::ReadCipher(bool thenFrames)
{
    if (m_readingCipher) return;
    m_readingCipher = true;
    std::span<std::uint8_t> room;
    {
        const auto lock = m_link.m_writer.LockTls();
        room = m_link.m_tls->ReceiveRoom();
    }
    m_socket.async_read_some(asio::buffer(room.data(), room.size()),
                             [self = m_link.shared_from_this(), thenFrames](const std::error_code& ec, std::size_t n) {
                                 CPeerReader& reader = self->m_reader;
                                 reader.m_readingCipher = false;
                                 if (self->m_closed) return;
                                 if (ec) {
                                     // A peer ends a TLS link as it ends a plain one, by closing TCP; our frames say
                                     // where a message ends, so a cut cannot pass off part of one as whole.
                                     self->Close(ec, ec == asio::error::eof);
                                     return;
                                 }
                                 reader.m_lastReceived = Clock::now();
                                 {
                                     const auto lock = self->m_writer.LockTls();
                                     self->m_tls->Received(n);
                                 }
                                 thenFrames ? reader.ReadTls() : self->Handshake();
                             });
}

void CPeerReader::CompactReadBuffer()
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
void CPeerReader::ReadTls()
{
    CTlsSession& tls = *m_link.m_tls;
    while (!m_link.m_closed) {
        if (m_holds > 0) {
            m_parked = true;
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
            const auto lock = m_link.m_writer.LockTls();
            status = tls.Read(into, std::max<std::size_t>(want, 1), got);
            answer = tls.HasOutput();
        }
        if (answer) m_link.m_writer.Pump();  // TLS may answer what it read
        switch (status) {
        case CTlsSession::Status::Done: break;
        case CTlsSession::Status::WantRead: ReadCipher(true); return;
        case CTlsSession::Status::Closed: m_link.Close(asio::error::eof, true); return;
        case CTlsSession::Status::Failed: m_link.Close(tls.LastError()); return;
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

// Goes on reading once the socket has more; a failed wait ends the link as a failed read would.
void CPeerReader::AwaitReadable()
{
    m_socket.async_wait(asio::socket_base::wait_read, [self = m_link.shared_from_this()](const std::error_code& ec) {
        if (self->m_closed) return;
        if (ec) {
            self->Close(ec);
        } else {
            self->m_reader.ReadMore();
        }
    });
}

void CPeerReader::ReadMore()
{
    if (m_link.m_tls) {
        ReadTls();
        return;
    }
    for (int round = 0; round < kReadRounds; ++round) {
        if (m_link.m_closed) return;
        if (m_holds > 0) {
            m_parked = true;
            return;
        }
        if (ReadOnce() != Step::Go) return;
    }
    // A busy link lets the others have their turn.
    asio::post(m_socket.get_executor(), [self = m_link.shared_from_this()] {
        if (!self->m_closed) self->m_reader.ReadMore();
    });
}

// One read on a plain link, of the payload being read, the chunks guessed to follow and
// whatever comes after them.
CPeerReader::Step CPeerReader::ReadOnce()
{
    CompactReadBuffer();
    Vectors vectors;
    std::size_t tailAt = 0;
    const std::size_t count = PlanRead(vectors, tailAt);
    msghdr message{};
    message.msg_iov = vectors.data();
    message.msg_iovlen = count;
    const ssize_t n = ::recvmsg(m_fd, &message, 0);
    if (n < 0) {
        if (errno == EINTR) return Step::Go;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            AwaitReadable();
            return Step::Wait;
        }
        m_link.Close(std::error_code(errno, std::system_category()));
        return Step::Closed;
    }
    if (n == 0) {
        m_link.Close(asio::error::eof, true);
        return Step::Closed;
    }
    m_lastReceived = Clock::now();
    std::size_t room = 0;
    for (std::size_t k = 0; k < count; ++k) room += vectors[k].iov_len;
    if (!TakeRead(static_cast<std::size_t>(n), tailAt)) return Step::Closed;
    if (static_cast<std::size_t>(n) < room && m_payloadLeft == 0 && m_readStart == m_readEnd) {
        // That took all there was, and it ended with a whole frame: a link between messages
        // waits for more rather than ask again at once, which would cost a system call that
        // finds nothing (for every small message). Mid-message, more is likely on its way,
        // and asking beats a round through the poll.
        if (m_holds > 0) {
            m_parked = true;
        } else {
            AwaitReadable();
        }
        return Step::Wait;
    }
    return Step::Go;
}

// Where the next read goes: the rest of the payload being read and, guessed, the chunks after
// it, then the read buffer from `tailAt`.
std::size_t CPeerReader::PlanRead(Vectors& vectors, std::size_t& tailAt)
{
    std::size_t count = 0;
    tailAt = m_readEnd;
    m_guessCount = 0;
    if (m_payloadLeft > 0) {
        vectors[count++] = {m_payloadAt, m_payloadLeft};
        if (m_readStart == m_readEnd) GuessAhead();
        for (std::size_t k = 0; k < m_guessCount; ++k) {
            vectors[count++] = {m_guesses[k].head.data(), wire::kHeaderSize};
            vectors[count++] = {m_guesses[k].at, m_guesses[k].size};
        }
        // What follows the guesses goes to the end of the buffer, clear of where bytes read
        // ahead under a wrong guess are put back.
        if (m_guessCount > 0) tailAt = m_readBuffer.size() - kGuessTail;
    }
    vectors[count++] = {m_readBuffer.data() + tailAt, m_readBuffer.size() - tailAt};
    return count;
}

// Plans where the chunks after the one being read will go, guessing that they continue its
// message at its chunk size with nothing between them (so it is for bulk on a fast link).
void CPeerReader::GuessAhead()
{
    if (m_link.m_closeAfterFlush || (m_payloadFlags & wire::kFlagLast) || m_payloadSize < kMinGuessChunk) return;
    const std::uint8_t flags = m_payloadFlags & wire::kFlagHigh;
    wire::CMessageAssembler& assembler = m_link.m_assembler;
    const std::span<std::uint8_t> ahead = assembler.Ahead(flags);
    const std::size_t total = assembler.PartialEnvelope(flags).total;
    const std::size_t have = assembler.PartialPayload(flags).size();
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
bool CPeerReader::TakeRead(std::size_t n, std::size_t tailAt)
{
    const std::size_t direct = std::min(n, m_payloadLeft);
    m_payloadAt += direct;
    m_payloadLeft -= direct;
    n -= direct;
    std::size_t k = 0;
    for (; k < m_guessCount && n > 0; ++k) {
        if (!DispatchBuffered()) return false;  // completes the chunk before
        const Guess& guess = m_guesses[k];
        if (n < wire::kHeaderSize || m_link.m_closeAfterFlush || m_payloadLeft > 0 ||
            std::memcmp(guess.head.data(), guess.expected.data(), wire::kHeaderSize) != 0) {
            break;
        }
        n -= wire::kHeaderSize;
        const std::size_t landed = std::min(n, guess.size);
        n -= landed;
        if (!BeginGuessed(guess, landed)) return false;
    }
    if (k < m_guessCount && n > 0) {
        PutBack(k, n, tailAt);
    } else if (n > 0) {
        if (tailAt != m_readEnd) m_readStart = m_readEnd = tailAt;
        m_readEnd += n;
    }
    m_guessCount = 0;
    return DispatchBuffered();
}

// Begins a guessed chunk as the dispatcher would have begun it, its payload already in place
// as far as `landed`; false once the link is closed.
bool CPeerReader::BeginGuessed(const Guess& guess, std::size_t landed)
{
    if (!m_link.m_onMessage(m_link,
                            CPeerConnection::DataEvent{CPeerConnection::DataStep::Begin, guess.flags, 0, nullptr}))
        return Violation();
    if (m_link.m_closed) return false;
    std::span<std::uint8_t> payload;
    if (m_link.m_assembler.Begin(guess.flags, guess.size, {}, payload) == wire::CMessageAssembler::Status::Malformed ||
        payload.data() != guess.at || payload.size() != guess.size) {
        return Violation();
    }
    m_payloadAt = guess.at + landed;
    m_payloadLeft = guess.size - landed;
    m_payloadSize = guess.size;
    m_payloadFlags = guess.flags;
    return true;
}

// A wrong guess (the k-th): the `n` bytes read ahead from its header on go back into the
// buffer, in order and in front of what followed them at `tailAt`, to be taken apart as usual.
void CPeerReader::PutBack(std::size_t k, std::size_t n, std::size_t tailAt)
{
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
}

// Hands every complete frame in the buffer to the owner; false once the link is closed.
bool CPeerReader::DispatchBuffered()
{
    while (true) {
        if (m_payloadAt) {
            const Step step = FillPayload();
            if (step == Step::Go) continue;
            return step == Step::Wait;
        }
        if (m_readEnd - m_readStart < wire::kHeaderSize) break;
        wire::FrameHeader header;
        const std::span<const std::uint8_t, wire::kHeaderSize> raw(m_readBuffer.data() + m_readStart,
                                                                   wire::kHeaderSize);
        if (!wire::DecodeHeader(raw, header)) return Violation();
        const std::size_t available = m_readEnd - m_readStart - wire::kHeaderSize;
        if (header.type == wire::FrameType::Data && !m_link.m_closeAfterFlush) {
            const Step step = BeginData(header, available);
            if (step == Step::Go) continue;
            if (step == Step::Wait) break;
            return false;
        }
        if (available < header.bodySize) break;
        const std::span<const std::uint8_t> body(m_readBuffer.data() + m_readStart + wire::kHeaderSize,
                                                 header.bodySize);
        m_readStart += wire::kHeaderSize + header.bodySize;
        // While flushing before a close, whatever the peer still sends is read and ignored.
        if (!m_link.m_closeAfterFlush && !m_link.m_onFrame(m_link, header, body)) return Violation();
        if (m_link.m_closed) return false;
    }
    return true;
}

// Fills the chunk being read in place from the buffer; once whole, hands it (and its message,
// if it completes one) to the owner.
CPeerReader::Step CPeerReader::FillPayload()
{
    const std::size_t n = std::min(m_payloadLeft, m_readEnd - m_readStart);
    if (n) std::memcpy(m_payloadAt, m_readBuffer.data() + m_readStart, n);
    m_readStart += n;
    m_payloadAt += n;
    m_payloadLeft -= n;
    if (m_payloadLeft > 0) return Step::Wait;
    m_payloadAt = nullptr;
    CPeerConnection::DataEvent event{CPeerConnection::DataStep::Chunk, m_payloadFlags, m_payloadSize, nullptr};
    if (m_link.m_assembler.End(m_payloadFlags, m_link.m_received) == wire::CMessageAssembler::Status::Complete) {
        event.step = CPeerConnection::DataStep::Complete;
        event.message = &m_link.m_received;
        m_link.m_lastMessage = m_lastReceived;
    }
    if (!m_link.m_closeAfterFlush && !m_link.m_onMessage(m_link, event)) {
        Violation();
        return Step::Closed;
    }
    if (m_link.m_closed) return Step::Closed;
    if (event.step == CPeerConnection::DataStep::Complete) m_link.m_assembler.Recycle(m_link.m_received);
    return Step::Go;
}

// Begins a Data frame once its envelope is here; its payload is read into the message.
CPeerReader::Step CPeerReader::BeginData(const wire::FrameHeader& header, std::size_t available)
{
    const std::size_t envelopeSize = (header.flags & wire::kFlagFirst) ? wire::kDataEnvelopeSize : 0;
    const std::size_t head = std::min<std::size_t>(envelopeSize, header.bodySize);
    if (available < head) return Step::Wait;
    if (!m_link.m_onMessage(m_link,
                            CPeerConnection::DataEvent{CPeerConnection::DataStep::Begin, header.flags, 0, nullptr})) {
        Violation();
        return Step::Closed;
    }
    if (m_link.m_closed) return Step::Closed;
    std::span<std::uint8_t> payload;
    const std::span<const std::uint8_t> envelope(m_readBuffer.data() + m_readStart + wire::kHeaderSize, head);
    if (m_link.m_assembler.Begin(header.flags, header.bodySize, envelope, payload) ==
        wire::CMessageAssembler::Status::Malformed) {
        Violation();
        return Step::Closed;
    }
    m_readStart += wire::kHeaderSize + head;
    m_payloadAt = payload.data();
    m_payloadLeft = m_payloadSize = payload.size();
    m_payloadFlags = header.flags;
    return Step::Go;
}

}  // namespace peer
