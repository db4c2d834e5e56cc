#pragma once
// One link's read path under the fuzzer: the input (after a first byte that picks how it is
// cut into pieces and whether data messages are refused) is everything the peer sends,
// written into one end of a socket pair whose other end is a CPeerConnection, in the clear
// or over TLS after a real handshake with our own contexts. What the link delivers (control
// frames, whole messages) must be exactly what a plain sequential decode of the same bytes
// gives, and the link must end cleanly exactly when that decode found no fault.

// First, as in the library: asio decides how it allocates from what was included before it,
// and two choices in one program free with the wrong call.
#include "platform/peer/PeerConnection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/peer/PeerFrame.h"
#include "platform/peer/PeerSecurity.h"
#include "platform/peer/PeerTls.h"

namespace peerfuzz {

using namespace peer;

// What a link delivered, folded into one value: equal sequences give equal digests.
struct Digest {
    std::uint64_t value = 1469598103934665603ull;
    std::size_t count = 0;
    void Add(const void* data, std::size_t size)
    {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        for (std::size_t i = 0; i < size; ++i) value = (value ^ bytes[i]) * 1099511628211ull;
    }
    void Frame(const wire::FrameHeader& header, std::span<const std::uint8_t> body)
    {
        ++count;
        const std::uint8_t head[2] = {static_cast<std::uint8_t>(header.type), header.flags};
        Add(head, sizeof head);
        Add(body.data(), body.size());
    }
    void Message(const wire::CMessageAssembler::Message& message)
    {
        ++count;
        const std::uint32_t fields[5] = {message.envelope.total, message.envelope.from, message.envelope.to,
                                         message.envelope.timeoutMs, message.high ? 1u : 0u};
        Add(fields, sizeof fields);
        Add(message.payload.data(), message.payload.size());
    }
};

struct Expected {
    Digest digest;
    bool fault = false;
};

// The stream decoded frame by frame, as the protocol defines it.
inline Expected Decode(const std::uint8_t* data, std::size_t size, bool refuseData)
{
    Expected expected;
    wire::CMessageAssembler assembler;
    wire::CMessageAssembler::Message message;
    std::size_t at = 0;
    while (size - at >= wire::kHeaderSize) {
        wire::FrameHeader header;
        if (!wire::DecodeHeader(std::span<const std::uint8_t, wire::kHeaderSize>(data + at, wire::kHeaderSize),
                                header)) {
            expected.fault = true;
            break;
        }
        const std::size_t envelopeHead =
            (header.flags & wire::kFlagFirst) ? std::min<std::size_t>(wire::kDataEnvelopeSize, header.bodySize) : 0;
        // A Data frame's head is judged before its payload is read.
        if (header.type == wire::FrameType::Data && size - at - wire::kHeaderSize >= envelopeHead) {
            std::span<std::uint8_t> room;
            if (refuseData) {
                expected.fault = true;
                break;
            }
            if (size - at - wire::kHeaderSize < header.bodySize) {
                expected.fault =
                    assembler.Begin(header.flags, header.bodySize, {data + at + wire::kHeaderSize, envelopeHead},
                                    room) == wire::CMessageAssembler::Status::Malformed;
                break;
            }
        }
        if (size - at - wire::kHeaderSize < header.bodySize) break;
        const std::span<const std::uint8_t> body(data + at + wire::kHeaderSize, header.bodySize);
        at += wire::kHeaderSize + header.bodySize;
        if (header.type != wire::FrameType::Data) {
            expected.digest.Frame(header, body);
            continue;
        }
        const auto status = assembler.Feed(header.flags, body, message);
        if (status == wire::CMessageAssembler::Status::Malformed) {
            expected.fault = true;
            break;
        }
        if (status == wire::CMessageAssembler::Status::Complete) {
            expected.digest.Message(message);
            assembler.Recycle(message);
        }
    }
    return expected;
}

inline std::shared_ptr<asio::ssl::context> Context(bool server)
{
    static const Identity identity = [] {
        Identity made;
        std::string error;
        if (!CreateIdentity(made, error)) __builtin_trap();
        return made;
    }();
    static std::shared_ptr<asio::ssl::context> contexts[2];
    auto& context = contexts[server ? 1 : 0];
    if (!context) {
        std::string error;
        context = MakeTlsContext(identity, server, error);
        if (!context) __builtin_trap();
    }
    return context;
}

class Driver {
public:
    explicit Driver(bool tls) : m_tls(tls)
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_fds) != 0) __builtin_trap();
        asio::ip::tcp::socket socket(m_io);
        socket.assign(asio::ip::tcp::v4(), m_fds[0]);
        m_link = std::make_shared<CPeerConnection>(std::move(socket), CPeerConnection::Limits{},
                                                   tls ? Context(true) : nullptr, true);
        if (tls) m_client = std::make_unique<CTlsSession>(Context(false)->native_handle(), false);
    }
    ~Driver()
    {
        if (m_link && m_link->IsOpen()) m_link->Close({});
        m_link.reset();
        Pump();
        ::close(m_fds[1]);
    }

    void Start(bool refuseData)
    {
        m_link->Start(
            [this](CPeerConnection&, const wire::FrameHeader& header, std::span<const std::uint8_t> body) {
                m_got.Frame(header, body);
                return true;
            },
            [this, refuseData](CPeerConnection&, const CPeerConnection::DataEvent& event) {
                if (event.step == CPeerConnection::DataStep::Begin) return !refuseData;
                if (event.step == CPeerConnection::DataStep::Complete) {
                    if (event.message->payload.size() != event.message->envelope.total) __builtin_trap();
                    m_got.Message(*event.message);
                }
                return true;
            },
            [this](CPeerConnection&, std::error_code, bool clean) {
                m_closed = true;
                m_clean = clean;
            });
        if (m_tls) Handshake();
    }

    // One piece of what the peer sends, then the link's turn until it waits for more.
    void Send(const std::uint8_t* data, std::size_t size)
    {
        if (m_client) {
            if (!m_client->Write({data, size})) __builtin_trap();
            Bytes records;
            m_client->TakeOutput(records);
            Write(records.data(), records.size());
        } else {
            Write(data, size);
        }
        Pump();
        Drain();
    }

    // The peer's end of the stream; the link must then end by itself.
    void Finish()
    {
        ::shutdown(m_fds[1], SHUT_WR);
        m_io.restart();
        while (!m_closed && m_io.run_one() > 0) Drain();
        if (!m_closed) __builtin_trap();
    }

    const Digest& Got() const { return m_got; }
    bool Clean() const { return m_clean; }
    bool Closed() const { return m_closed; }

private:
    void Pump()
    {
        m_io.restart();
        while (m_io.poll() > 0) {}
    }

    void Write(const std::uint8_t* data, std::size_t size)
    {
        while (size > 0 && !m_closed) {
            const ssize_t n = ::send(m_fds[1], data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                data += n;
                size -= static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EAGAIN) {
                Pump();
                Drain();
            } else if (n < 0 && errno != EINTR) {
                return;  // the link has gone
            }
        }
    }

    // What the link wrote to its peer: the handshake's flights go to our TLS end, the rest
    // is dropped.
    void Drain()
    {
        for (;;) {
            std::span<std::uint8_t> room(m_sink.data(), m_sink.size());
            if (m_client && !m_secured) room = m_client->ReceiveRoom();
            const ssize_t n = ::recv(m_fds[1], room.data(), room.size(), MSG_DONTWAIT);
            if (n <= 0) return;
            if (m_client && !m_secured) m_client->Received(static_cast<std::size_t>(n));
        }
    }

    void Handshake()
    {
        for (int round = 0; round < 16 && !m_closed; ++round) {
            const auto status = m_client->Handshake();
            if (m_client->HasOutput()) {
                Bytes records;
                m_client->TakeOutput(records);
                Write(records.data(), records.size());
            }
            if (status == CTlsSession::Status::Done) {
                m_secured = true;
                Pump();
                Drain();
                return;
            }
            if (status != CTlsSession::Status::WantRead) break;
            Pump();
            Drain();
        }
        __builtin_trap();  // our own two ends must agree
    }

    bool m_tls;
    asio::io_context m_io;
    int m_fds[2] = {-1, -1};
    std::shared_ptr<CPeerConnection> m_link;
    std::unique_ptr<CTlsSession> m_client;
    bool m_secured = false;
    std::array<std::uint8_t, 64 * 1024> m_sink{};
    Digest m_got;
    bool m_closed = false;
    bool m_clean = false;
};

inline int Run(const std::uint8_t* data, std::size_t size, bool tls)
{
    if (size == 0) return 0;
    // Pieces from a byte at a time to more than a whole chunk with its head.
    static constexpr std::size_t kPieces[8] = {SIZE_MAX, 1, 3, 8, 24, 100, 1000, 16 * 1024 + 24};
    // At most 64 pieces: a long input cut into single bytes would cost a round per byte.
    const std::size_t piece = std::max(kPieces[data[0] & 7], (size + 63) / 64);
    const bool refuseData = (data[0] & 8) != 0;
    ++data;
    --size;

    const Expected expected = Decode(data, size, refuseData);
    Driver driver(tls);
    driver.Start(refuseData);
    for (std::size_t at = 0; at < size && !driver.Closed(); at += std::min(piece, size - at)) {
        driver.Send(data + at, std::min(piece, size - at));
    }
    driver.Finish();
    if (driver.Got().count != expected.digest.count || driver.Got().value != expected.digest.value) __builtin_trap();
    if (driver.Clean() == expected.fault) __builtin_trap();
    return 0;
}

}  // namespace peerfuzz
