#pragma once
// One TCP link of the peer session service. Runs on the service's I/O thread: a read loop
// that validates each frame header before reading its body, and a writer with exactly one
// write in flight and three queues behind it (control frames, high-priority and low-priority
// data), cutting data messages into chunks so that higher queues overtake. The one exception
// is SendNow, which a sending thread may call while the writer is idle.

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio.hpp>
#include <asio/ssl/context.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <system_error>

#include "platform/peer/PeerFrame.h"
#include "platform/peer/PeerLinkShaper.h"
#include "platform/peer/PeerPacer.h"
#include "platform/peer/PeerTls.h"

namespace peer {

class CPeerConnection : public std::enable_shared_from_this<CPeerConnection> {
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

    // Returns false when the frame breaks the protocol; the connection is then closed.
    using FrameHandler = std::function<bool(CPeerConnection&, const wire::FrameHeader&, std::span<const std::uint8_t>)>;
    // Data frames are reassembled here, their payload read straight into the message. The
    // handler hears of each Data frame three ways: Begin before it is read (false refuses it:
    // Data may not come now), Chunk after a chunk that leaves its message incomplete (with
    // the chunk's flags and payload size; for progress), Complete with each whole message,
    // whose payload it may take.
    enum class DataStep { Begin, Chunk, Complete };
    struct DataEvent {
        DataStep step = DataStep::Begin;
        std::uint8_t flags = 0;
        std::size_t chunkBytes = 0;
        wire::CMessageAssembler::Message* message = nullptr;  // Complete only
    };
    using MessageHandler = std::function<bool(CPeerConnection&, const DataEvent&)>;
    // Called once when the link ends for any reason; `clean` for an orderly close by the peer.
    using CloseHandler = std::function<void(CPeerConnection&, std::error_code, bool clean)>;

    // With `tls`, the link is TLS: nothing is read or written before the handshake has
    // finished and the secured handler (SetSecuredHandler) has agreed to the peer's key.
    CPeerConnection(asio::ip::tcp::socket socket, const Limits& limits,
                    std::shared_ptr<asio::ssl::context> tls = nullptr, bool server = false);

    // Called once the link may carry frames, before anything is read: after the handshake
    // (PeerFingerprint and Exporter known), or, on a host's TLS link, when the first bytes are
    // the plain hello of a version 1 joiner (Encrypted() false), so that it can be told why it
    // is refused. False ends the link.
    using SecuredHandler = std::function<bool(CPeerConnection&)>;
    void SetSecuredHandler(SecuredHandler onSecured) { m_onSecured = std::move(onSecured); }

    void Start(FrameHandler onFrame, MessageHandler onMessage, CloseHandler onClose);

    bool Encrypted() const { return m_tls != nullptr; }
    const std::string& PeerFingerprint() const { return m_peerFingerprint; }
    // Both ends of this one link derive the same value; zero on a plain link.
    const std::array<std::uint8_t, 32>& Exporter() const { return m_exporter; }

    // Queue a control frame or a data message. False when the bound on what others made us
    // queue (control frames and relayed messages) is exceeded; the caller then drops the
    // link, whose reader has stopped keeping up. The local application's own messages are
    // not bounded here: a burst of them is no sign of a stalled reader.
    bool SendControl(Bytes frame);
    bool SendData(std::shared_ptr<const Buffer> payload, const wire::DataEnvelope& envelope, bool high,
                  std::optional<Clock::time_point> deadline, bool relayed);

    // Any thread: writes a small message at once, as one frame, when nothing else is queued
    // or being written here (the caller also knows of none on its way to the queues), saving
    // the hand-over to the I/O thread. Never waits: false when it must be queued instead.
    // Once true, the message is the link's: what the socket did not take goes out next,
    // from the I/O thread.
    static constexpr std::size_t kSendNowBytes = 4 * 1024;
    bool SendNow(std::span<const std::uint8_t> payload, const wire::DataEnvelope& envelope, bool high);

    // Sends what is queued, then ends the link (used after a refusal or a termination).
    void CloseAfterFlush();
    void Close(std::error_code reason, bool clean = false);

    // Relay flow control: once more than relayPauseBytes of what others sent wait here, the
    // link they came from is not read until this queue has drained to half of it (or closed),
    // so a fast sender slows to the pace of a slow receiver instead of piling up at the host.
    bool Congested() const { return m_boundedBytes > m_limits.relayPauseBytes; }
    void HoldReader(const std::shared_ptr<CPeerConnection>& source);
    // True while reading is held; such a link is not silent, only not listened to.
    bool ReadingHeld() const { return m_readHolds > 0; }
    // The receiver's own flow control, on the I/O thread: held, the link is not read.
    void HoldReading() { ++m_readHolds; }
    void ResumeReading() { ReleaseReader(); }
    // Something waits to go out and no write has completed for this long: the peer has
    // stopped reading.
    bool StalledFor(Clock::duration limit, Clock::time_point now) const
    {
        return (m_queuedBytes > 0 || m_writing) && now - m_lastProgress > limit;
    }

    bool IsOpen() const { return !m_closed; }
    bool IsClosing() const { return m_closeAfterFlush || m_closed; }
    Clock::time_point LastReceived() const { return m_lastReceived; }
    Clock::time_point LastSent() const
    {
        return std::max(m_lastSent, Clock::time_point(Clock::duration(m_sentNowAt.load(std::memory_order_relaxed))));
    }
    std::size_t QueuedBytes() const { return m_queuedBytes; }
    // Once no message has arrived for `idle`, frees the buffers kept for the next one.
    void ReleaseIdleBuffers(Clock::time_point now, Clock::duration idle);
    const std::string& RemoteAddress() const { return m_remote; }
    // Whether the other end has sent anything at all, read yet or still waiting in the socket
    // (a busy I/O thread may not have looked). I/O thread only.
    bool Spoke()
    {
        if (m_spoke) return true;
        std::error_code ec;
        m_spoke = !m_closed && m_plain.available(ec) > 0 && !ec;
        return m_spoke;
    }

    // State the service keeps per link.
    wire::CMessageAssembler m_assembler;
    wire::CMessageAssembler::Message m_received;  // reused for every message delivered here
    Clock::time_point m_lastMessage = Clock::now();
    PlayerId m_player = 0;
    // What was handed to the application from this link and not reported done yet.
    std::size_t m_undeliveredBytes = 0;
    std::size_t m_undeliveredCount = 0;
    bool m_deliveryHeld = false;
    // Player data updates: the newest one not yet passed on, and when the last one was.
    std::optional<Bytes> m_pendingInfoFrame;
    Clock::time_point m_lastInfoSent{};

private:
    struct OutMessage {
        std::shared_ptr<const Buffer> payload;
        wire::DataEnvelope envelope;
        std::size_t offset = 0;
        std::optional<Clock::time_point> deadline;
        bool bounded = false;
    };

    asio::ip::tcp::socket& Socket() { return m_plain; }
    void SniffFirstBytes();
    void Handshake();
    void ReadCipher(void (CPeerConnection::*then)());
    void ReadTls();
    // Read thread: an empty buffer starts over; one without room for a whole frame is moved up.
    void CompactReadBuffer();
    void Secured();
    void ReadMore();
    void AwaitSocket(asio::socket_base::wait_type what);
    void ReleaseReader();
    void ReleaseHeldReaders();
    void NoteQueued();
    void GuessAhead();
    bool TakeRead(std::size_t n, std::size_t tailAt);
    bool DispatchBuffered();
    void PumpWrites();
    bool FillOne(std::size_t lowRoom);
    void StartWrite();
    void SendBuffers();
    void OnWritten(const std::error_code& ec);
    bool FinishesQuietly() const;
    void FinishFlush();
    void PumpShaped();
    bool FillBatch(std::size_t room, std::size_t batch);
    void SetWriterIdle(bool idle);

    asio::ip::tcp::socket m_plain;
    std::shared_ptr<asio::ssl::context> m_tlsContext;
    std::unique_ptr<CTlsSession> m_tls;
    bool m_readingCipher = false;
    Bytes m_cipherOut;  // records being written
    bool m_server = false;
    bool m_secured = false;  // frames may flow
    SecuredHandler m_onSecured;
    std::string m_peerFingerprint;
    std::array<std::uint8_t, 32> m_exporter{};
    Bytes m_tlsOut;  // a write batch in one piece: TLS would make a record of every buffer
    asio::steady_timer m_roomTimer;
    asio::steady_timer m_graceTimer;
    Limits m_limits;
    FrameHandler m_onFrame;
    MessageHandler m_onMessage;
    CloseHandler m_onClose;
    std::string m_remote;

    // Incoming bytes; frames are taken out of it in place, so many frames cost one read.
    Bytes m_readBuffer;
    std::size_t m_readStart = 0;
    std::size_t m_readEnd = 0;
    // The payload of the Data frame being read, in place in its message.
    std::uint8_t* m_payloadAt = nullptr;
    std::size_t m_payloadLeft = 0;
    std::size_t m_payloadSize = 0;
    std::uint8_t m_payloadFlags = 0;
    // Chunks guessed to follow the one being read, read ahead straight into their message.
    static constexpr std::size_t kMaxGuesses = 12;
    struct Guess {
        std::array<std::uint8_t, wire::kHeaderSize> head{};      // what came where its header should be
        std::array<std::uint8_t, wire::kHeaderSize> expected{};  // the header if the guess is right
        std::uint8_t* at = nullptr;
        std::size_t size = 0;
        std::uint8_t flags = 0;
    };
    std::array<Guess, kMaxGuesses> m_guesses;
    std::size_t m_guessCount = 0;

    std::deque<Bytes> m_control;
    std::deque<OutMessage> m_queues[2];  // [0] low, [1] high
    std::size_t m_queuedBytes = 0;
    std::size_t m_boundedBytes = 0;  // the part of m_queuedBytes that counts against the bound
    // The write in flight: frame heads and control frames in m_writeBuffer, payload slices
    // straight from the queued messages, kept alive in m_inFlight until the write completes.
    struct Segment {
        const std::uint8_t* external = nullptr;  // null: bytes of m_writeBuffer at `offset`
        std::size_t offset = 0;
        std::size_t size = 0;
    };
    Bytes m_writeBuffer;
    std::vector<Segment> m_segments;
    std::vector<asio::const_buffer> m_buffers;
    std::size_t m_sendIndex = 0;  // how far the write in flight has got
    std::size_t m_sendOffset = 0;
    std::vector<std::shared_ptr<const Buffer>> m_inFlight;
    std::size_t m_batchBytes = 0;
    bool m_writing = false;
    bool m_waitingForRoom = false;
    CPeerPacer m_pacer;

    // SendNow's share of the writer. While m_writerIdle, a sending thread holding
    // m_writerMutex may encrypt and write; the I/O thread clears it (under the mutex) before
    // it writes, and holds the mutex while TLS reads, since a TLS session takes one call at
    // a time. A sending thread only ever tries the mutex, so it never waits on the I/O thread.
    std::mutex m_writerMutex;
    bool m_writerIdle = false;
    const int m_fd;                          // the socket, for SendNow
    const asio::any_io_executor m_executor;  // ditto
    Bytes m_sendNowRest;                     // what SendNow's write left, written next
    std::atomic<Clock::rep> m_sentNowAt{0};  // when SendNow last wrote

    bool m_closed = false;
    bool m_closeAfterFlush = false;
    bool m_shutDownSend = false;
    Clock::time_point m_lastReceived;
    bool m_spoke = false;
    Clock::time_point m_lastSent;
    Clock::time_point m_lastProgress;

    std::vector<std::weak_ptr<CPeerConnection>> m_heldReaders;  // sources waiting for us
    int m_readHolds = 0;                                        // targets holding our reading
    bool m_readParked = false;                                  // a read is due once the holds are gone
};

}  // namespace peer
