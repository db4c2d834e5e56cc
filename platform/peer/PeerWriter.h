#pragma once
// The sending half of a peer link. Three queues: control frames, then high-priority data
// messages, then low-priority ones, each kept in order. Data messages go in chunks, so that a
// message of a higher queue overtakes one of a lower queue between two of its chunks. Exactly
// one write is in flight, gathered from the queued messages in place. I/O thread only, but
// for SendNow.

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <system_error>
#include <vector>

#include "platform/peer/PeerFrame.h"
#include "platform/peer/PeerLinkShaper.h"
#include "platform/peer/PeerPacer.h"

namespace peer {

class CPeerConnection;

class CPeerWriter {
public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        std::size_t maxQueuedBytes = 64 * 1024 * 1024;
        // Relayed bytes queued here above which the links they come from stop being read.
        std::size_t relayPauseBytes = 4 * 1024 * 1024;
        std::size_t writeBatchBytes = 512 * 1024;
        std::shared_ptr<ILinkShaper> shaper;                    // an emulated link's, if any
        std::atomic<std::uint64_t>* droppedMessages = nullptr;  // counts time-outs, if given
    };

    // Writes for `link` on `socket`, whose non-blocking mode it relies on.
    CPeerWriter(CPeerConnection& link, asio::ip::tcp::socket& socket, const Limits& limits);

    // See CPeerConnection.
    bool SendControl(Bytes frame);
    bool SendData(std::shared_ptr<const Buffer> payload, const wire::DataEnvelope& envelope, bool high,
                  std::optional<Clock::time_point> deadline, bool relayed);
    static constexpr std::size_t kSendNowBytes = 4 * 1024;
    bool SendNow(std::span<const std::uint8_t> payload, const wire::DataEnvelope& envelope, bool high);

    // Starts the next write, unless one is in flight.
    void Pump();
    // Writes what TLS has to send (the handshake's records).
    void WriteTls() { StartWrite(); }
    bool Writing() const { return m_writing; }
    // For the sending thread's share, below: held by the I/O thread around every call into
    // the link's TLS session that the writer does not make itself.
    std::unique_lock<std::mutex> LockTls() { return std::unique_lock(m_mutex); }

    bool Congested() const { return m_boundedBytes > m_limits.relayPauseBytes; }
    void HoldReader(const std::shared_ptr<CPeerConnection>& source);
    bool StalledFor(Clock::duration limit, Clock::time_point now) const
    {
        return (m_queuedBytes > 0 || m_writing) && now - m_lastProgress > limit;
    }
    Clock::time_point LastSent() const
    {
        return std::max(m_lastSent, Clock::time_point(Clock::duration(m_sentNowAt.load(std::memory_order_relaxed))));
    }
    std::size_t QueuedBytes() const { return m_queuedBytes; }

    // The link is closing: from now on nothing is written, from any thread (before the socket
    // closes). Then Drop lets go of what was queued and of the readers held for it.
    void Stop();
    void Drop();

private:
    struct OutMessage {
        std::shared_ptr<const Buffer> payload;
        wire::DataEnvelope envelope;
        std::size_t offset = 0;
        std::optional<Clock::time_point> deadline;
        bool bounded = false;
    };
    // Part of the write in flight: bytes of m_writeBuffer at `offset`, or (`external`) a payload
    // slice straight from a queued message, kept alive in m_inFlight until the write completes.
    struct Segment {
        const std::uint8_t* external = nullptr;
        std::size_t offset = 0;
        std::size_t size = 0;
    };

    void NoteQueued();
    void PumpSoon();
    void WaitForRoom();
    void PumpShaped();
    bool FillBatch(std::size_t room, std::size_t batch);
    bool FillOne(std::size_t lowRoom);
    bool FillData(int priority, Clock::time_point now);
    void StartWrite();
    bool Encrypt();
    void SendBuffers();
    void AwaitWritable();
    bool FinishesQuietly() const;
    void OnWritten(const std::error_code& ec);
    void FinishFlush();
    void ReleaseHeldReaders();
    void SetIdle(bool idle);

    CPeerConnection& m_link;
    asio::ip::tcp::socket& m_socket;
    Limits m_limits;
    CPeerPacer m_pacer;
    asio::steady_timer m_roomTimer;
    bool m_waitingForRoom = false;

    std::deque<Bytes> m_control;
    std::deque<OutMessage> m_queues[2];  // [0] low, [1] high
    std::size_t m_queuedBytes = 0;
    std::size_t m_boundedBytes = 0;  // the part of m_queuedBytes that counts against the bound
    std::vector<std::weak_ptr<CPeerConnection>> m_heldReaders;  // sources waiting for us

    // The write in flight.
    Bytes m_writeBuffer;  // frame heads and control frames
    std::vector<Segment> m_segments;
    std::vector<asio::const_buffer> m_buffers;
    std::size_t m_sendIndex = 0;  // how far it has got
    std::size_t m_sendOffset = 0;
    std::vector<std::shared_ptr<const Buffer>> m_inFlight;
    std::size_t m_batchBytes = 0;
    bool m_writing = false;
    bool m_pumpSoon = false;  // a Pump is posted
    Bytes m_tlsOut;           // a write batch in one piece: TLS would make a record of every buffer
    Bytes m_cipherOut;        // records being written
    bool m_shutDownSend = false;
    Clock::time_point m_lastSent;
    Clock::time_point m_lastProgress;

    // SendNow, the sending thread's share, and all its locking. While m_idle, a sending thread
    // holding m_mutex may encrypt and write. The I/O thread clears m_idle under m_mutex
    // (SetIdle) before it writes or encrypts, so the writer's own TLS calls need no lock; it
    // holds m_mutex for every other TLS call (LockTls: reading), since a TLS session takes one
    // call at a time and reading goes on while the writer is idle. A sending thread only ever
    // tries m_mutex, so it never waits on the I/O thread. What it leaves (m_sendNowRest) is
    // written first by the I/O thread, which sees it after its next SetIdle.
    std::mutex m_mutex;
    bool m_idle = false;
    const int m_fd;
    const asio::any_io_executor m_executor;
    Bytes m_sendNowRest;
    std::atomic<Clock::rep> m_sentNowAt{0};  // when SendNow last wrote
};

}  // namespace peer
