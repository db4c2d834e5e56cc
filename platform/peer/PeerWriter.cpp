#include "platform/peer/PeerWriter.h"

#include "platform/peer/PeerConnection.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace peer {

namespace {
// On a TLS link, a payload slice this large is encrypted on its own rather than gathered.
constexpr std::size_t kOwnRecordBytes = 8 * 1024;
}  // namespace

CPeerWriter::CPeerWriter(CPeerConnection& link, asio::ip::tcp::socket& socket, const Limits& limits)
    : m_link(link),
      m_socket(socket),
      m_limits(limits),
      m_pacer(socket.native_handle()),
      m_roomTimer(socket.get_executor()),
      m_lastSent(Clock::now()),
      m_lastProgress(Clock::now()),
      m_fd(socket.native_handle()),
      m_executor(socket.get_executor())
{
}

void CPeerWriter::NoteQueued()
{
    if (m_queuedBytes == 0 && !m_writing) m_lastProgress = Clock::now();
}

bool CPeerWriter::SendControl(Bytes frame)
{
    if (m_link.IsClosing()) return true;
    NoteQueued();
    m_queuedBytes += frame.size();
    m_boundedBytes += frame.size();
    m_control.push_back(std::move(frame));
    if (m_boundedBytes > m_limits.maxQueuedBytes) return false;
    Pump();
    return true;
}

bool CPeerWriter::SendData(std::shared_ptr<const Buffer> payload, const wire::DataEnvelope& envelope, bool high,
                           std::optional<Clock::time_point> deadline, bool relayed)
{
    if (m_link.IsClosing()) return true;
    NoteQueued();
    m_queuedBytes += payload->size();
    if (relayed) m_boundedBytes += payload->size();
    m_queues[high ? 1 : 0].push_back(OutMessage{std::move(payload), envelope, 0, deadline, relayed});
    if (m_boundedBytes > m_limits.maxQueuedBytes) return false;
    if (relayed) {
        PumpSoon();
    } else {
        Pump();
    }
    return true;
}

// A relayed message goes out with whatever else the read that brought it holds for this link
// (a sender's voice comes in pairs, and other senders' messages arrive meanwhile): one write
// and one record for them all rather than one per message, for every receiver.
void CPeerWriter::PumpSoon()
{
    if (m_pumpSoon || m_writing) return;
    m_pumpSoon = true;
    SetIdle(false);  // what a sending thread has meanwhile goes after what is queued here
    asio::post(m_executor, [self = m_link.shared_from_this(), this] {
        m_pumpSoon = false;
        Pump();
    });
}

void CPeerWriter::SetIdle(bool idle)
{
    std::lock_guard lock(m_mutex);
    m_idle = idle;
}

bool CPeerWriter::SendNow(std::span<const std::uint8_t> payload, const wire::DataEnvelope& envelope, bool high)
{
    if (payload.size() > kSendNowBytes) return false;
    std::unique_lock lock(m_mutex, std::try_to_lock);
    if (!lock.owns_lock() || !m_idle) return false;
    CTlsSession* tls = m_link.m_tls.get();  // settled before the writer first went idle
    if (tls && tls->HasOutput()) return false;
    Bytes frame;
    wire::AppendDataChunk(frame, high, envelope, payload, 0);
    std::error_code failed;
    if (tls) {
        if (!tls->Write(frame)) failed = tls->LastError();
        tls->TakeOutput(frame);
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
        m_idle = false;
        asio::post(m_executor, [self = m_link.shared_from_this(), failed] { self->Close(failed); });
        return true;
    }
    const auto done = static_cast<std::size_t>(std::max<ssize_t>(sent, 0));
    if (done < frame.size()) {
        // The kernel is full: the rest goes ahead of anything else, from the I/O thread.
        m_idle = false;
        m_sendNowRest.assign(frame.begin() + static_cast<std::ptrdiff_t>(done), frame.end());
        asio::post(m_executor, [self = m_link.shared_from_this()] { self->m_writer.Pump(); });
        return true;
    }
    m_sentNowAt.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    return true;
}

void CPeerWriter::Pump()
{
    if (m_writing || m_link.m_closed) return;
    SetIdle(false);
    CTlsSession* tls = m_link.m_tls.get();
    if (!m_sendNowRest.empty()) {
        NoteQueued();  // the link was idle until now, not stalled
        m_buffers.assign(1, asio::buffer(m_sendNowRest));
        m_writing = true;
        m_sendIndex = 0;
        m_sendOffset = 0;
        SendBuffers();
        return;
    }
    if (!m_link.m_secured) {
        // Only TLS's own records may go out before the link is secured.
        if (tls && tls->HasOutput()) StartWrite();
        return;
    }
    if (m_limits.shaper) {
        PumpShaped();
        return;
    }
    const bool urgent = !m_control.empty() || !m_queues[1].empty() || (tls && tls->HasOutput());
    const bool bulk = !m_queues[0].empty();
    if (!bulk) m_pacer.Idle();
    if (!urgent && !bulk) {
        if (m_link.m_closeAfterFlush) {
            FinishFlush();
        } else {
            SetIdle(true);
        }
        return;
    }
    // Only bulk waits for room: control frames and high-priority messages are small and are
    // what the room is kept for.
    const std::size_t room = bulk ? m_pacer.BulkRoom() : SIZE_MAX;
    if (room == 0) WaitForRoom();
    if (!urgent && room == 0) return;
    if (!FillBatch(room, m_limits.writeBatchBytes)) return;
    if (room != SIZE_MAX) m_pacer.Wrote(m_batchBytes);
    StartWrite();
}

void CPeerWriter::WaitForRoom()
{
    if (m_waitingForRoom) return;
    m_waitingForRoom = true;
    m_roomTimer.expires_after(CPeerPacer::kRoomPoll);
    m_roomTimer.async_wait([self = m_link.shared_from_this(), this](const std::error_code& ec) {
        m_waitingForRoom = false;
        if (!ec && self->IsOpen()) Pump();
    });
}

// An emulated link sets the pace itself: it takes one frame per write, which keeps the wait
// of a high-priority frame down to one chunk, and hands each back once it has carried it.
// The writer never goes idle here, so that no message bypasses it.
void CPeerWriter::PumpShaped()
{
    const CTlsSession* tls = m_link.m_tls.get();
    const bool queued = !m_control.empty() || !m_queues[1].empty() || !m_queues[0].empty();
    if (!queued && !(tls && tls->HasOutput())) {
        if (m_link.m_closeAfterFlush) FinishFlush();
        return;
    }
    if (!FillBatch(SIZE_MAX, 1)) return;
    m_limits.shaper->Delay(m_executor, m_batchBytes, [self = m_link.shared_from_this(), this] {
        if (self->IsOpen()) StartWrite();
    });
}

// Takes the next frames, up to `batch` bytes (bulk ones up to `room`), into m_buffers for
// one write, and marks it begun. False when none was due: what TLS has to send has then gone
// out instead, or a flush has ended.
bool CPeerWriter::FillBatch(std::size_t room, std::size_t batch)
{
    m_writeBuffer.clear();
    m_segments.clear();
    m_inFlight.clear();
    m_batchBytes = 0;
    m_buffers.clear();
    while (m_batchBytes < batch && FillOne(room)) {}
    if (m_segments.empty()) {
        const CTlsSession* tls = m_link.m_tls.get();
        if (tls && tls->HasOutput()) {
            StartWrite();
        } else if (m_link.m_closeAfterFlush && m_control.empty() && m_queues[0].empty() && m_queues[1].empty()) {
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

// Adds the next frame to the write batch: control frames first, then high-priority chunks,
// then low-priority ones while the batch is below `lowRoom`.
bool CPeerWriter::FillOne(std::size_t lowRoom)
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
    if (FillData(1, now)) return true;
    return m_batchBytes < lowRoom && FillData(0, now);
}

// The next chunk of the queue of `priority`, after dropping the messages at its head whose
// time ran out before they started.
bool CPeerWriter::FillData(int priority, Clock::time_point now)
{
    auto& queue = m_queues[priority];
    while (!queue.empty()) {
        OutMessage& m = queue.front();
        if (m.offset == 0 && m.deadline && now > *m.deadline) {
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
    return false;
}

// Writes m_buffers; on a TLS link as records, with whatever TLS itself has to send first.
void CPeerWriter::StartWrite()
{
    m_writing = true;
    if (CTlsSession* tls = m_link.m_tls.get()) {
        if (!m_buffers.empty() && !Encrypt()) {
            m_writing = false;
            m_link.Close(tls->LastError());
            return;
        }
        tls->TakeOutput(m_cipherOut);
        m_buffers.assign(1, asio::buffer(m_cipherOut));
    }
    m_sendIndex = 0;
    m_sendOffset = 0;
    SendBuffers();
}

// Small pieces (frame heads, control frames, short messages) are gathered so that they share
// records; a bulk chunk's payload is encrypted straight from its message into a record of its
// own, which costs less than copying it first.
bool CPeerWriter::Encrypt()
{
    CTlsSession& tls = *m_link.m_tls;
    m_tlsOut.clear();
    bool ok = true;
    for (const auto& buffer : m_buffers) {
        const auto* p = static_cast<const std::uint8_t*>(buffer.data());
        if (buffer.size() < kOwnRecordBytes) {
            m_tlsOut.insert(m_tlsOut.end(), p, p + buffer.size());
            continue;
        }
        ok = ok && tls.Write(m_tlsOut) && tls.Write({p, buffer.size()});
        m_tlsOut.clear();
    }
    m_buffers.clear();
    if (!ok || !tls.Write(m_tlsOut)) return false;
    // Encrypted, so the messages' buffers can serve the next messages now.
    m_inFlight.clear();
    return true;
}

// Gathers the whole batch into one sendmsg where asio would take at most 16 buffers a call.
void CPeerWriter::SendBuffers()
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
        const ssize_t sent = ::sendmsg(m_fd, &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                AwaitWritable();
                return;
            }
            const std::error_code ec(errno, std::system_category());
            asio::post(m_executor, [self = m_link.shared_from_this(), ec] { self->m_writer.OnWritten(ec); });
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
    asio::post(m_executor, [self = m_link.shared_from_this()] { self->m_writer.OnWritten({}); });
}

// Goes on once the socket takes more; a failed wait ends the link as a failed write would.
void CPeerWriter::AwaitWritable()
{
    m_socket.async_wait(asio::socket_base::wait_write,
                        [self = m_link.shared_from_this(), this](const std::error_code& ec) {
                            if (!self->IsOpen()) return;
                            if (ec) {
                                OnWritten(ec);
                            } else {
                                SendBuffers();
                            }
                        });
}

// Whether finishing a write would only leave the link idle: no frames to send, no readers to
// release, no handshake to go on with, no flush to end. Anything more must not run nested in
// whoever queued the write.
bool CPeerWriter::FinishesQuietly() const
{
    const CTlsSession* tls = m_link.m_tls.get();
    return m_link.m_secured && !m_link.m_closeAfterFlush && m_heldReaders.empty() && m_control.empty() &&
           m_queues[0].empty() && m_queues[1].empty() && !(tls && tls->HasOutput());
}

void CPeerWriter::OnWritten(const std::error_code& ec)
{
    m_writing = false;
    if (m_link.m_closed) return;
    if (ec) {
        m_link.Close(ec);
        return;
    }
    m_lastSent = m_lastProgress = Clock::now();
    m_sendNowRest.clear();  // it went first, if there was any
    if (!m_link.m_secured && m_link.m_tls) {
        m_link.Handshake();  // our flight is out: on to the peer's
        return;
    }
    ReleaseHeldReaders();
    // Sent messages free their buffers now, not when the next write begins (an idle link
    // would hold them until its next keep-alive).
    m_inFlight.clear();
    Pump();
}

void CPeerWriter::FinishFlush()
{
    if (m_shutDownSend) return;
    m_shutDownSend = true;
    // Half-close and keep reading until the peer closes too, so that our last frames are not
    // lost to a reset caused by unread incoming bytes.
    std::error_code ec;
    m_socket.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
    if (ec) m_link.Close(ec, true);
}

void CPeerWriter::HoldReader(const std::shared_ptr<CPeerConnection>& source)
{
    if (source.get() == &m_link || !source->IsOpen()) return;
    for (const auto& held : m_heldReaders) {
        if (held.lock() == source) return;
    }
    m_heldReaders.push_back(source);
    source->HoldReading();
}

void CPeerWriter::ReleaseHeldReaders()
{
    if (m_heldReaders.empty()) return;
    if (!m_link.m_closed && m_boundedBytes > m_limits.relayPauseBytes / 2) return;
    auto held = std::move(m_heldReaders);
    m_heldReaders.clear();
    for (const auto& weak : held) {
        if (auto source = weak.lock()) source->ResumeReading();
    }
}

void CPeerWriter::Stop()
{
    SetIdle(false);
    if (m_limits.shaper) m_limits.shaper->Cancel();
    m_roomTimer.cancel();
}

void CPeerWriter::Drop()
{
    m_control.clear();
    m_queues[0].clear();
    m_queues[1].clear();
    m_queuedBytes = 0;
    m_boundedBytes = 0;
    ReleaseHeldReaders();
}

}  // namespace peer
