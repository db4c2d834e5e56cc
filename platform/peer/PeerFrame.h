#pragma once
// The wire format of the peer session service: an 8-byte frame header, the bodies of the
// frame types, and the reassembly of chunked data messages. Pure functions and small value
// types, shared by the service and its fuzz target. See docs/protocol.md.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/peer/PeerBuffers.h"
#include "platform/peer/PeerCodes.h"

namespace peer {

using Bytes = std::vector<std::uint8_t>;

using Guid = std::array<std::uint8_t, 16>;

// Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces optional); nullopt when malformed.
std::optional<Guid> GuidFromString(const std::string& text);

namespace wire {

inline constexpr std::uint16_t kMagic = 0x504D;  // "MP" on the wire
// 2: every link is TLS and the hello carries a password proof. 3: a member may address a
// message to every other player (target 0), which the host passes on; the frames are those of
// 2, so a host speaks both, and a joiner refused by a host of 2 joins again in 2.
inline constexpr std::uint16_t kProtocolVersion = 3;
inline constexpr std::uint16_t kOldestProtocolVersion = 2;
inline constexpr std::uint16_t kFanOutVersion = 3;
inline constexpr std::uint32_t kEveryOtherPlayer = 0;  // a message's target: all but the sender
inline constexpr std::size_t kHeaderSize = 8;

// Limits. A data message (the unit callers send) may be up to kMaxMessageSize, enough for a
// 2 MiB file record with its envelope; it travels in chunks of at most kChunkSize so that
// high-priority traffic never waits for more than one chunk.
inline constexpr std::size_t kChunkSize = 16 * 1024;
inline constexpr std::size_t kMaxMessageSize = 4 * 1024 * 1024;
inline constexpr std::size_t kMaxNameBytes = 1024;
inline constexpr std::size_t kMaxInfoBytes = 64 * 1024;
inline constexpr std::size_t kMaxConnectDataBytes = 64 * 1024;
inline constexpr std::size_t kMaxReplyBytes = 1024;
inline constexpr std::size_t kDataEnvelopeSize = 16;
inline constexpr std::size_t kProofBytes = 32;
inline constexpr std::size_t kMaxFrameBody =
    2 + 2 + 16 + kProofBytes + 2 + kMaxNameBytes + 4 + kMaxInfoBytes + 4 + kMaxConnectDataBytes;

enum class FrameType : std::uint8_t {
    Hello = 1,          // joiner -> host
    Welcome = 2,        // host -> joiner, on acceptance: the ids
    ConnectResult = 3,  // host -> joiner: result and reply; ends the handshake
    PlayerAdd = 4,      // host -> member
    PlayerRemove = 5,   // host -> member
    PlayerInfo = 6,     // host -> member: a player's new name and data
    SetInfo = 7,        // member -> host: our new name and data
    Data = 8,           // both ways, one chunk of a message
    Ping = 9,           // both ways, keep-alive
    Terminate = 10,     // host -> member: you are out of the session
};

// Flags of a Data frame.
inline constexpr std::uint8_t kFlagHigh = 0x01;   // high-priority stream
inline constexpr std::uint8_t kFlagFirst = 0x02;  // carries the envelope
inline constexpr std::uint8_t kFlagLast = 0x04;   // completes the message

struct FrameHeader {
    std::uint32_t bodySize = 0;
    FrameType type = FrameType::Ping;
    std::uint8_t flags = 0;
};

// Validates a received header before anything of the body is read: magic, known type,
// flags allowed for that type and a body size within that type's limit.
bool DecodeHeader(std::span<const std::uint8_t, kHeaderSize> bytes, FrameHeader& out);
void EncodeHeader(const FrameHeader& header, std::uint8_t* out);
// True when these first bytes of a link are the header of a plain hello (a joiner that
// does not speak TLS) rather than the start of a TLS handshake.
bool IsPlainHelloHeader(std::span<const std::uint8_t, kHeaderSize> bytes);

// A whole frame (header + body) ready to write.
Bytes MakeFrame(FrameType type, std::uint8_t flags, std::span<const std::uint8_t> body);

struct Hello {
    std::uint16_t version = kProtocolVersion;
    Guid application{};
    std::array<std::uint8_t, kProofBytes> proof{};  // of the password, bound to the link
    std::string name;
    Bytes info;
    Bytes connectData;
};
struct Welcome {
    PlayerId local = 0;
    PlayerId host = 0;
};
struct ConnectResult {
    Result result = DPN_OK;
    Bytes reply;
};
struct PlayerRecord {  // PlayerAdd and PlayerInfo
    PlayerId id = 0;
    std::string name;
    Bytes info;
};
struct PlayerRemove {
    PlayerId id = 0;
    std::uint32_t reason = 0;
};
struct SetInfo {
    std::string name;
    Bytes info;
};
struct Terminate {
    Result result = DPN_OK;
};
struct DataEnvelope {
    std::uint32_t total = 0;  // message size
    PlayerId from = 0;
    PlayerId to = 0;
    std::uint32_t timeoutMs = 0;  // time left to start sending; 0 = none
};

// Each decoder accepts exactly one body of its type and refuses trailing bytes.
bool DecodeHello(std::span<const std::uint8_t> body, Hello& out);
bool DecodeWelcome(std::span<const std::uint8_t> body, Welcome& out);
bool DecodeConnectResult(std::span<const std::uint8_t> body, ConnectResult& out);
bool DecodePlayerRecord(std::span<const std::uint8_t> body, PlayerRecord& out);
bool DecodePlayerRemove(std::span<const std::uint8_t> body, PlayerRemove& out);
bool DecodeSetInfo(std::span<const std::uint8_t> body, SetInfo& out);
bool DecodeTerminate(std::span<const std::uint8_t> body, Terminate& out);

Bytes EncodeHello(const Hello& hello);
Bytes EncodeWelcome(const Welcome& welcome);
Bytes EncodeConnectResult(const ConnectResult& result);
Bytes EncodePlayerRecord(FrameType type, const PlayerRecord& record);
Bytes EncodePlayerRemove(const PlayerRemove& remove);
Bytes EncodeSetInfo(const SetInfo& info);
Bytes EncodeTerminate(const Terminate& terminate);
Bytes EncodePing();

// Appends the header (and on the first chunk the envelope) of the Data frame that carries
// payload bytes [offset, offset + n) of a `total`-byte message; returns n (at most `chunk`,
// itself at most kChunkSize).
std::size_t AppendDataChunkHead(Bytes& out, bool high, const DataEnvelope& envelope, std::size_t total,
                                std::size_t offset, std::size_t chunk = kChunkSize);

// Appends one Data frame to `out`: the chunk of `payload` starting at `offset`, at most
// kChunkSize bytes; the first chunk carries the envelope. Returns the bytes of payload used.
std::size_t AppendDataChunk(Bytes& out, bool high, const DataEnvelope& envelope, std::span<const std::uint8_t> payload,
                            std::size_t offset);

// Reassembles the Data frames of one connection. Chunks of one message are contiguous
// within their priority, so one message per priority is in progress at a time; memory
// grows only with bytes actually received.
class CMessageAssembler {
public:
    struct Message {
        DataEnvelope envelope;
        bool high = false;
        Buffer payload;
    };
    enum class Status { Incomplete, Complete, Malformed };

    // On Complete, `out` holds the message; its previous buffer is kept for the next one.
    Status Feed(std::uint8_t flags, std::span<const std::uint8_t> body, Message& out);

    // The same in two steps, so that a link can read a chunk's payload straight into the
    // message: Begin checks the frame from its flags, its body size and, on a first chunk, the
    // envelope (the body's first kDataEnvelopeSize bytes), and gives the place for the
    // chunk's payload bytes; once the caller has filled all of it, End completes the chunk.
    // Begin returns Malformed or Incomplete; End returns Complete or Incomplete.
    Status Begin(std::uint8_t flags, std::size_t bodySize, std::span<const std::uint8_t> envelope,
                 std::span<std::uint8_t>& payload);
    Status End(std::uint8_t flags, Message& out);

    // After Begin: the room in the message being assembled behind the chunk begun, where its
    // following chunks will go (as far as its buffer already reaches), so that a link may read
    // them there ahead of their frame headers.
    std::span<std::uint8_t> Ahead(std::uint8_t flags);

    // Once a completed message has been handled, its buffer serves its stream's next message:
    // one buffer, still warm in the cache, instead of two taking turns.
    void Recycle(Message& handled);
    // Frees the buffers kept for streams with no message in progress.
    void ReleaseKept();
    // Memory held, in-progress messages and kept buffers together.
    std::size_t BufferedBytes() const;
    // After Incomplete: the message that the frame with `flags` belongs to, so far.
    const DataEnvelope& PartialEnvelope(std::uint8_t flags) const { return Of(flags).envelope; }
    std::span<const std::uint8_t> PartialPayload(std::uint8_t flags) const { return Of(flags).payload; }

private:
    static constexpr std::size_t kKeptCapacity = 2 * 1024 * 1024 + 64 * 1024;
    struct Stream {
        bool active = false;
        DataEnvelope envelope;
        Buffer payload;
    };
    Status Fail(Stream& s);
    const Stream& Of(std::uint8_t flags) const { return m_streams[(flags & kFlagHigh) ? 1 : 0]; }
    Stream m_streams[2];
};

}  // namespace wire
}  // namespace peer
