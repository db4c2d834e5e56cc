#pragma once
// One TCP link of the peer session service, on the service's I/O thread: its setup (the TLS
// handshake and the peer's key), and the two halves it hands its frames to and from. The
// reader (CPeerReader) validates each frame header before reading its body; the writer
// (CPeerWriter) has exactly one write in flight and three queues behind it (control frames,
// high-priority and low-priority data), cutting data messages into chunks so that higher queues
// overtake, at the pace the pacer (CPeerPacer) sets for bulk. The one exception to the I/O
// thread is SendNow, which a sending thread may call while the writer is idle.

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
#include "platform/peer/PeerReader.h"
#include "platform/peer/PeerWriter.h"
#include "platform/peer/PeerTls.h"

namespace peer {

class CPeerConnection : public std::enable_shared_from_this<CPeerConnection> {
public:
    using Clock = std::chrono::steady_clock;

    using Limits = CPeerWriter::Limits;

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
    bool SendControl(Bytes frame) { return m_writer.SendControl(std::move(frame)); }
    bool SendData(std::shared_ptr<const Buffer> payload, const wire::DataEnvelope& envelope, bool high,
                  std::optional<Clock::time_point> deadline, bool relayed)
    {
        return m_writer.SendData(std::move(payload), envelope, high, deadline, relayed);
    }

    // Any thread: writes a small message at once, as one frame, when nothing else is queued
    // or being written here (the caller also knows of none on its way to the queues), saving
    // the hand-over to the I/O thread. Never waits: false when it must be queued instead.
    // Once true, the message is the link's: what the socket did not take goes out next,
    // from the I/O thread.
    static constexpr std::size_t kSendNowBytes = CPeerWriter::kSendNowBytes;
    bool SendNow(std::span<const std::uint8_t> payload, const wire::DataEnvelope& envelope, bool high)
    {
        return m_writer.SendNow(payload, envelope, high);
    }

    // Sends what is queued, then ends the link (used after a refusal or a termination).
    void CloseAfterFlush();
    void Close(std::error_code reason, bool clean = false);

    // Relay flow control: once more than relayPauseBytes of what others sent wait here, the
    // link they came from is not read until this queue has drained to half of it (or closed),
    // so a fast sender slows to the pace of a slow receiver instead of piling up at the host.
    bool Congested() const { return m_writer.Congested(); }
    void HoldReader(const std::shared_ptr<CPeerConnection>& source) { m_writer.HoldReader(source); }
    // True while reading is held; such a link is not silent, only not listened to.
    bool ReadingHeld() const { return m_reader.Held(); }
    // The receiver's own flow control, on the I/O thread: held, the link is not read.
    void HoldReading() { m_reader.Hold(); }
    void ResumeReading() { m_reader.Release(); }
    // Something waits to go out and no write has completed for this long: the peer has
    // stopped reading.
    bool StalledFor(Clock::duration limit, Clock::time_point now) const { return m_writer.StalledFor(limit, now); }

    bool IsOpen() const { return !m_closed; }
    bool IsClosing() const { return m_closeAfterFlush || m_closed; }
    Clock::time_point LastReceived() const { return m_reader.LastReceived(); }
    Clock::time_point LastSent() const { return m_writer.LastSent(); }
    std::size_t QueuedBytes() const { return m_writer.QueuedBytes(); }
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
    // What was handed to the application from this link and not reported done yet. The done
    // calls count it down on the application's thread and wake the I/O thread only to resume
    // a held link: one wake-up per received message would cost more than the message.
    struct DeliveryBudget {
        std::atomic<std::size_t> bytes{0};
        std::atomic<std::size_t> count{0};
        std::atomic<bool> held{false};  // reading stopped until the application catches up
        bool Within(std::size_t mostBytes, std::size_t mostCount) const
        {
            return bytes <= mostBytes && count <= mostCount;
        }
    };
    const std::shared_ptr<DeliveryBudget> m_budget = std::make_shared<DeliveryBudget>();
    // Player data updates: the newest one not yet passed on, and when the last one was.
    std::optional<Bytes> m_pendingInfoFrame;
    Clock::time_point m_lastInfoSent{};

private:
    // The reader and the writer read the link's state (open, secured, flushing, its TLS
    // session), end it and go on with the handshake; the reader calls the owner's handlers.
    friend class CPeerReader;
    friend class CPeerWriter;

    asio::ip::tcp::socket& Socket() { return m_plain; }
    void SniffFirstBytes();
    void Handshake();
    void Secured();

    asio::ip::tcp::socket m_plain;
    std::shared_ptr<asio::ssl::context> m_tlsContext;
    std::unique_ptr<CTlsSession> m_tls;
    bool m_server = false;
    bool m_secured = false;  // frames may flow
    SecuredHandler m_onSecured;
    std::string m_peerFingerprint;
    std::array<std::uint8_t, 32> m_exporter{};
    asio::steady_timer m_graceTimer;
    FrameHandler m_onFrame;
    MessageHandler m_onMessage;
    CloseHandler m_onClose;
    std::string m_remote;
    CPeerWriter m_writer;
    CPeerReader m_reader;

    bool m_closed = false;
    bool m_closeAfterFlush = false;
    bool m_spoke = false;
};

}  // namespace peer
