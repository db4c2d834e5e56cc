#include "platform/peer/PeerFrame.h"

#include "platform/peer/PeerBuffers.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace peer {

std::optional<Guid> GuidFromString(const std::string& text)
{
    std::string hex;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if ((c == '{' && i == 0) || (c == '}' && i + 1 == text.size()) || c == '-') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        hex.push_back(c);
    }
    if (hex.size() != 32) return std::nullopt;
    Guid guid{};
    for (std::size_t i = 0; i < 16; ++i) {
        guid[i] = static_cast<std::uint8_t>(std::stoi(hex.substr(i * 2, 2), nullptr, 16));
    }
    return guid;
}

namespace wire {
namespace {

// Bounds-checked little-endian reader; any overrun latches a failure.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}
    bool Ok() const { return m_ok; }
    bool AtEnd() const { return m_ok && m_pos == m_bytes.size(); }

    std::uint32_t U32()
    {
        std::uint8_t b[4]{};
        Raw(b, 4);
        return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
    }
    std::uint16_t U16()
    {
        std::uint8_t b[2]{};
        Raw(b, 2);
        return static_cast<std::uint16_t>(b[0] | b[1] << 8);
    }
    void Raw(std::uint8_t* out, std::size_t n)
    {
        if (!m_ok || m_bytes.size() - m_pos < n) {
            m_ok = false;
            return;
        }
        if (n) std::memcpy(out, m_bytes.data() + m_pos, n);
        m_pos += n;
    }
    std::string Text(std::size_t limit)
    {
        const std::size_t n = U16();
        if (n > limit) m_ok = false;
        std::string s;
        if (!m_ok || m_bytes.size() - m_pos < n) {
            m_ok = false;
            return s;
        }
        s.assign(reinterpret_cast<const char*>(m_bytes.data() + m_pos), n);
        m_pos += n;
        return s;
    }
    Bytes Blob(std::size_t limit)
    {
        const std::size_t n = U32();
        Bytes b;
        if (!m_ok || n > limit || m_bytes.size() - m_pos < n) {
            m_ok = false;
            return b;
        }
        b.assign(m_bytes.begin() + static_cast<std::ptrdiff_t>(m_pos),
                 m_bytes.begin() + static_cast<std::ptrdiff_t>(m_pos + n));
        m_pos += n;
        return b;
    }

private:
    std::span<const std::uint8_t> m_bytes;
    std::size_t m_pos = 0;
    bool m_ok = true;
};

class Writer {
public:
    void U32(std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i) m_bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void U16(std::uint16_t v)
    {
        m_bytes.push_back(static_cast<std::uint8_t>(v));
        m_bytes.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void Raw(const void* p, std::size_t n)
    {
        const auto* b = static_cast<const std::uint8_t*>(p);
        m_bytes.insert(m_bytes.end(), b, b + n);
    }
    void Text(const std::string& s, std::size_t limit)
    {
        const std::size_t n = std::min(s.size(), limit);
        U16(static_cast<std::uint16_t>(n));
        Raw(s.data(), n);
    }
    void Blob(const Bytes& b, std::size_t limit)
    {
        const std::size_t n = std::min(b.size(), limit);
        U32(static_cast<std::uint32_t>(n));
        Raw(b.data(), n);
    }
    Bytes& Out() { return m_bytes; }

private:
    Bytes m_bytes;
};

// Largest body each type may announce; a header over it is refused unread.
std::size_t MaxBody(FrameType type)
{
    switch (type) {
    case FrameType::Hello: return kMaxFrameBody;
    case FrameType::Welcome: return 8;
    case FrameType::ConnectResult: return 8 + kMaxReplyBytes;
    case FrameType::PlayerAdd:
    case FrameType::PlayerInfo: return 4 + 2 + kMaxNameBytes + 4 + kMaxInfoBytes;
    case FrameType::PlayerRemove: return 8;
    case FrameType::SetInfo: return 2 + kMaxNameBytes + 4 + kMaxInfoBytes;
    case FrameType::Data: return kDataEnvelopeSize + kChunkSize;
    case FrameType::Ping: return 0;
    case FrameType::Terminate: return 4;
    }
    return 0;
}

Bytes Finish(FrameType type, Writer& body)
{
    return MakeFrame(type, 0, body.Out());
}

}  // namespace

bool DecodeHeader(std::span<const std::uint8_t, kHeaderSize> bytes, FrameHeader& out)
{
    Reader r(bytes);
    const std::uint32_t size = r.U32();
    std::uint8_t typeFlags[2]{};
    r.Raw(typeFlags, 2);
    const std::uint16_t magic = r.U16();
    if (!r.Ok() || magic != kMagic) return false;
    const std::uint8_t type = typeFlags[0];
    if (type < static_cast<std::uint8_t>(FrameType::Hello) || type > static_cast<std::uint8_t>(FrameType::Terminate)) {
        return false;
    }
    const auto frameType = static_cast<FrameType>(type);
    const std::uint8_t allowed = frameType == FrameType::Data ? (kFlagHigh | kFlagFirst | kFlagLast) : 0;
    if ((typeFlags[1] & ~allowed) != 0) return false;
    if (size > MaxBody(frameType)) return false;
    out.bodySize = size;
    out.type = frameType;
    out.flags = typeFlags[1];
    return true;
}

void EncodeHeader(const FrameHeader& header, std::uint8_t* out)
{
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(header.bodySize >> (8 * i));
    out[4] = static_cast<std::uint8_t>(header.type);
    out[5] = header.flags;
    out[6] = static_cast<std::uint8_t>(kMagic);
    out[7] = static_cast<std::uint8_t>(kMagic >> 8);
}

bool IsPlainHelloHeader(std::span<const std::uint8_t, kHeaderSize> bytes)
{
    FrameHeader header;
    return DecodeHeader(bytes, header) && header.type == FrameType::Hello;
}

Bytes MakeFrame(FrameType type, std::uint8_t flags, std::span<const std::uint8_t> body)
{
    Bytes frame(kHeaderSize + body.size());
    EncodeHeader({static_cast<std::uint32_t>(body.size()), type, flags}, frame.data());
    if (!body.empty()) std::memcpy(frame.data() + kHeaderSize, body.data(), body.size());
    return frame;
}

bool DecodeHello(std::span<const std::uint8_t> body, Hello& out)
{
    Reader r(body);
    out.version = r.U16();
    // A host reads the version first so that it can refuse a newer joiner cleanly even when
    // the rest of the body has another layout.
    if (r.Ok() && (out.version < kOldestProtocolVersion || out.version > kProtocolVersion)) return true;
    if (r.U16() != 0) return false;
    r.Raw(out.application.data(), out.application.size());
    r.Raw(out.proof.data(), out.proof.size());
    out.name = r.Text(kMaxNameBytes);
    out.info = r.Blob(kMaxInfoBytes);
    out.connectData = r.Blob(kMaxConnectDataBytes);
    return r.AtEnd();
}

bool DecodeWelcome(std::span<const std::uint8_t> body, Welcome& out)
{
    Reader r(body);
    out.local = r.U32();
    out.host = r.U32();
    return r.AtEnd() && out.local != 0 && out.host != 0 && out.local != out.host;
}

bool DecodeConnectResult(std::span<const std::uint8_t> body, ConnectResult& out)
{
    Reader r(body);
    out.result = static_cast<Result>(r.U32());
    out.reply = r.Blob(kMaxReplyBytes);
    return r.AtEnd();
}

bool DecodePlayerRecord(std::span<const std::uint8_t> body, PlayerRecord& out)
{
    Reader r(body);
    out.id = r.U32();
    out.name = r.Text(kMaxNameBytes);
    out.info = r.Blob(kMaxInfoBytes);
    return r.AtEnd() && out.id != 0;
}

bool DecodePlayerRemove(std::span<const std::uint8_t> body, PlayerRemove& out)
{
    Reader r(body);
    out.id = r.U32();
    out.reason = r.U32();
    return r.AtEnd() && out.id != 0;
}

bool DecodeSetInfo(std::span<const std::uint8_t> body, SetInfo& out)
{
    Reader r(body);
    out.name = r.Text(kMaxNameBytes);
    out.info = r.Blob(kMaxInfoBytes);
    return r.AtEnd();
}

bool DecodeTerminate(std::span<const std::uint8_t> body, Terminate& out)
{
    Reader r(body);
    out.result = static_cast<Result>(r.U32());
    return r.AtEnd();
}

Bytes EncodeHello(const Hello& hello)
{
    Writer w;
    w.U16(hello.version);
    w.U16(0);
    w.Raw(hello.application.data(), hello.application.size());
    w.Raw(hello.proof.data(), hello.proof.size());
    w.Text(hello.name, kMaxNameBytes);
    w.Blob(hello.info, kMaxInfoBytes);
    w.Blob(hello.connectData, kMaxConnectDataBytes);
    return Finish(FrameType::Hello, w);
}

Bytes EncodeWelcome(const Welcome& welcome)
{
    Writer w;
    w.U32(welcome.local);
    w.U32(welcome.host);
    return Finish(FrameType::Welcome, w);
}

Bytes EncodeConnectResult(const ConnectResult& result)
{
    Writer w;
    w.U32(static_cast<std::uint32_t>(result.result));
    w.Blob(result.reply, kMaxReplyBytes);
    return Finish(FrameType::ConnectResult, w);
}

Bytes EncodePlayerRecord(FrameType type, const PlayerRecord& record)
{
    Writer w;
    w.U32(record.id);
    w.Text(record.name, kMaxNameBytes);
    w.Blob(record.info, kMaxInfoBytes);
    return Finish(type, w);
}

Bytes EncodePlayerRemove(const PlayerRemove& remove)
{
    Writer w;
    w.U32(remove.id);
    w.U32(remove.reason);
    return Finish(FrameType::PlayerRemove, w);
}

Bytes EncodeSetInfo(const SetInfo& info)
{
    Writer w;
    w.Text(info.name, kMaxNameBytes);
    w.Blob(info.info, kMaxInfoBytes);
    return Finish(FrameType::SetInfo, w);
}

Bytes EncodeTerminate(const Terminate& terminate)
{
    Writer w;
    w.U32(static_cast<std::uint32_t>(terminate.result));
    return Finish(FrameType::Terminate, w);
}

Bytes EncodePing()
{
    return MakeFrame(FrameType::Ping, 0, {});
}

std::size_t AppendDataChunkHead(Bytes& out, bool high, const DataEnvelope& envelope, std::size_t total,
                                std::size_t offset, std::size_t chunk)
{
    const bool first = offset == 0;
    const std::size_t n = std::min({chunk, kChunkSize, total - offset});
    const bool last = offset + n == total;
    const std::size_t bodySize = n + (first ? kDataEnvelopeSize : 0);
    const std::uint8_t flags =
        static_cast<std::uint8_t>((high ? kFlagHigh : 0) | (first ? kFlagFirst : 0) | (last ? kFlagLast : 0));
    const std::size_t start = out.size();
    out.resize(start + kHeaderSize + (first ? kDataEnvelopeSize : 0));
    std::uint8_t* p = out.data() + start;
    EncodeHeader({static_cast<std::uint32_t>(bodySize), FrameType::Data, flags}, p);
    p += kHeaderSize;
    if (first) {
        const std::uint32_t fields[4] = {envelope.total, envelope.from, envelope.to, envelope.timeoutMs};
        for (std::uint32_t v : fields) {
            for (int i = 0; i < 4; ++i) *p++ = static_cast<std::uint8_t>(v >> (8 * i));
        }
    }
    return n;
}

std::size_t AppendDataChunk(Bytes& out, bool high, const DataEnvelope& envelope, std::span<const std::uint8_t> payload,
                            std::size_t offset)
{
    const std::size_t n = AppendDataChunkHead(out, high, envelope, payload.size(), offset);
    out.insert(out.end(), payload.begin() + static_cast<std::ptrdiff_t>(offset),
               payload.begin() + static_cast<std::ptrdiff_t>(offset + n));
    return n;
}

CMessageAssembler::Status CMessageAssembler::Fail(Stream& s)
{
    s.active = false;
    GiveBuffer(std::move(s.payload));
    return Status::Malformed;
}

CMessageAssembler::Status CMessageAssembler::Feed(std::uint8_t flags, std::span<const std::uint8_t> body, Message& out)
{
    const std::size_t envelopeSize = (flags & kFlagFirst) ? kDataEnvelopeSize : 0;
    std::span<std::uint8_t> payload;
    if (Begin(flags, body.size(), body.first(std::min(body.size(), envelopeSize)), payload) == Status::Malformed) {
        return Status::Malformed;
    }
    std::memcpy(payload.data(), body.data() + envelopeSize, payload.size());
    return End(flags, out);
}

CMessageAssembler::Status CMessageAssembler::Begin(std::uint8_t flags, std::size_t bodySize,
                                                   std::span<const std::uint8_t> envelope,
                                                   std::span<std::uint8_t>& payload)
{
    Stream& s = m_streams[(flags & kFlagHigh) ? 1 : 0];
    std::size_t n = bodySize;
    if (flags & kFlagFirst) {
        if (s.active || bodySize < kDataEnvelopeSize || envelope.size() != kDataEnvelopeSize) return Fail(s);
        Reader r(envelope);
        s.envelope.total = r.U32();
        s.envelope.from = r.U32();
        s.envelope.to = r.U32();
        s.envelope.timeoutMs = r.U32();
        if (!r.Ok() || s.envelope.total == 0 || s.envelope.total > kMaxMessageSize) return Fail(s);
        s.active = true;
        // Room for most messages at once, without trusting a large announced size. Large
        // buffers are whole 2 MiB pages anyway, so less would only cost a regrowth and a copy.
        const std::size_t room = std::min<std::size_t>(s.envelope.total, 2 * 1024 * 1024);
        if (s.payload.capacity() < room) {
            GiveBuffer(std::move(s.payload));
            s.payload = TakeBuffer(room);
        }
        s.payload.clear();
        n -= kDataEnvelopeSize;
    } else if (!s.active) {
        return Fail(s);
    }
    const std::size_t have = s.payload.size();
    if (n == 0 || n > s.envelope.total - have) return Fail(s);
    if ((have + n == s.envelope.total) != ((flags & kFlagLast) != 0)) return Fail(s);
    if (have + n > s.payload.capacity()) {
        // Grows with what arrives, by doubling, but never past the announced size.
        s.payload.reserve(std::min<std::size_t>(s.envelope.total, std::max(2 * s.payload.capacity(), have + n)));
    }
    s.payload.resize(have + n);
    payload = std::span<std::uint8_t>(s.payload.data() + have, n);
    return Status::Incomplete;
}

CMessageAssembler::Status CMessageAssembler::End(std::uint8_t flags, Message& out)
{
    Stream& s = m_streams[(flags & kFlagHigh) ? 1 : 0];
    if (!s.active || s.payload.size() != s.envelope.total) return Status::Incomplete;
    out.envelope = s.envelope;
    out.high = (flags & kFlagHigh) != 0;
    // The buffers change places, so that a caller that keeps its Message reuses the memory
    // for the next message instead of allocating it anew.
    out.payload.swap(s.payload);
    s.active = false;
    s.payload.clear();
    if (s.payload.capacity() > kKeptCapacity) GiveBuffer(std::move(s.payload));
    return Status::Complete;
}

std::span<std::uint8_t> CMessageAssembler::Ahead(std::uint8_t flags)
{
    Stream& s = m_streams[(flags & kFlagHigh) ? 1 : 0];
    if (!s.active) return {};
    const std::size_t end = std::min<std::size_t>(s.envelope.total, s.payload.capacity());
    const std::size_t have = s.payload.size();
    return end > have ? std::span<std::uint8_t>(s.payload.data() + have, end - have) : std::span<std::uint8_t>();
}

void CMessageAssembler::Recycle(Message& handled)
{
    Stream& s = m_streams[handled.high ? 1 : 0];
    const std::size_t capacity = handled.payload.capacity();
    if (s.active || capacity > kKeptCapacity || capacity <= s.payload.capacity()) return;
    GiveBuffer(std::move(s.payload));
    s.payload = std::move(handled.payload);
    s.payload.clear();
    Buffer().swap(handled.payload);
}

void CMessageAssembler::ReleaseKept()
{
    for (Stream& s : m_streams) {
        if (!s.active) Buffer().swap(s.payload);
    }
}

std::size_t CMessageAssembler::BufferedBytes() const
{
    return m_streams[0].payload.capacity() + m_streams[1].payload.capacity();
}

}  // namespace wire
}  // namespace peer
