#include "voice/VoiceCodec.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "app/Log.h"

namespace {

// Longest pattern the run-length stage looks for, and the longest run it counts.
constexpr std::uint32_t kMaxPattern = 15;
constexpr std::uint32_t kMaxRepeats = 255;

struct RunLengthParams {
    std::uint8_t a;  // prefix in front of a count that equals the escape
    std::uint8_t b;  // quad marker
    std::uint8_t c;  // length of an escaped literal
};

RunLengthParams ParamsFor(std::uint8_t esc)
{
    if (esc == 0) return {1, 0, 3};
    if (esc == 1) return {0, 1, 3};
    return {0, 1, 2};
}

// Copies of the len bytes at pos that follow one another from pos on, the first included.
std::uint32_t CountRepeats(const std::uint8_t* in, std::uint32_t n, std::uint32_t pos, std::uint32_t len,
                           std::uint32_t limit)
{
    if (limit == 0) return 0;
    std::uint32_t count = 1;
    while (count < kMaxRepeats && count * len < limit) {
        const std::uint32_t next = pos + count * len;
        if (next + len > n || std::memcmp(in + pos, in + next, len) != 0) break;
        ++count;
    }
    return count;
}

std::uint16_t ReadLe16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

void WriteLe16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

}  // namespace

CVoiceCodec::~CVoiceCodec() = default;

int CVoiceCodec::ShiftForMode(int mode)
{
    switch (mode) {
    case 4: return 6;
    case 7: return 8;
    case 8: return 10;
    default: return 2;
    }
}

std::int16_t CVoiceCodec::Quantise(std::int16_t sample, int mode, std::int16_t dc)
{
    // 16-bit two's-complement arithmetic throughout: results wrap.
    auto v = static_cast<std::int16_t>(static_cast<std::uint16_t>(sample) - static_cast<std::uint16_t>(dc));
    if (mode == 8) {
        const std::uint16_t moved =
            v > 0 ? static_cast<std::uint16_t>(v) + 1024u : static_cast<std::uint16_t>(v) - 1024u;
        v = static_cast<std::int16_t>(moved);
    }
    const int shift = ShiftForMode(mode);
    const std::uint16_t mask = static_cast<std::uint16_t>(0xFFFFu << shift);
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(v) & mask);
}

int CVoiceCodec::Encode(const std::uint8_t* pcm, std::uint32_t n, std::uint8_t* work1, std::uint8_t* work2,
                        std::size_t workSize, int mode, std::int16_t dc)
{
    if (pcm == nullptr || work1 == nullptr || work2 == nullptr) {
        MORVIKA_LOG("ERROR CVoiceCodec::Encode() 引数エラー \n");
        return 1;
    }
    // An odd length has no last sample to quantise, and the stages may run 3 bytes past n.
    if (n > kVoiceMaxPcmSize || (n % 2) != 0 || workSize < std::size_t{n} + 3) {
        MORVIKA_LOG("ERROR CVoiceCodec::Encode() 音声データサイズが異常 %d\n", static_cast<int>(n));
        return 1;
    }
    pWork1 = work1;
    pWork2 = work2;
    dwTicks = static_cast<std::uint32_t>(ProcessClockMs());
    wReserved = 0;
    byFlags = 0;
    byEscape = 0;
    wPcmSize = static_cast<std::uint16_t>(n);
    wEncodedSize = 0;
    if (!m_pCounts) {
        m_pCounts.reset(new (std::nothrow) CountTable{});
        if (!m_pCounts) {
            MORVIKA_LOG("ERROR CVoiceCodec::Encode() メモリ確保できない \n");
            return 1;
        }
    }
    std::memset(work1, 0, n);
    std::memset(work2, 0, n);
    std::memcpy(work1, pcm, n);

    SplitPlanes(work1, n, work2, mode, dc);
    std::memcpy(work1, work2, n);
    byFlags |= VCF_PLANES;
    if (mode == 8) byFlags |= VCF_COARSE;
    wEncodedSize = static_cast<std::uint16_t>(n);
    std::memset(work2, 0, n);

    if (const std::uint32_t r = RunLengthEncode(work1, n, work2); r != 0) {
        std::memset(work1, 0, n);
        std::memcpy(work1, work2, r);
        byFlags |= VCF_RUNLENGTH;
        wEncodedSize = static_cast<std::uint16_t>(r);
        std::memset(work2, 0, n);
    }
    if (const std::uint32_t r = NibblePairEncode(work1, wEncodedSize, work2); r != 0) {
        std::memset(work1, 0, n);
        std::memcpy(work1, work2, r);
        byFlags |= VCF_NIBBLEPAIRS;
        wEncodedSize = static_cast<std::uint16_t>(r);
    }
    return 0;
}

void CVoiceCodec::SplitPlanes(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out, int mode, std::int16_t dc)
{
    auto sample = [&](std::uint32_t index) {
        const auto raw = static_cast<std::int16_t>(ReadLe16(in + 2 * index));
        return static_cast<std::uint16_t>(Quantise(raw, mode, dc));
    };
    const std::uint32_t p = n / 4;
    const std::uint32_t r = n % 4;
    for (std::uint32_t i = 0; i < p; ++i) {
        const std::uint16_t s0 = sample(2 * i);
        const std::uint16_t s1 = sample(2 * i + 1);
        const std::uint8_t l0 = s0 & 0xFF, h0 = s0 >> 8, l1 = s1 & 0xFF, h1 = s1 >> 8;
        out[i] = static_cast<std::uint8_t>((h0 & 0xF0) | (h1 >> 4));
        out[p + i] = static_cast<std::uint8_t>(((h0 & 0x0F) << 4) | (h1 & 0x0F));
        out[2 * p + r + i] = static_cast<std::uint8_t>((l0 & 0xF0) | (l1 >> 4));
        out[3 * p + r + i] = static_cast<std::uint8_t>(((l0 & 0x0F) << 4) | (l1 & 0x0F));
    }
    if (r == 2) WriteLe16(out + 2 * p, sample(2 * p));
    CountBytes(out, n);
}

void CVoiceCodec::JoinPlanes(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out)
{
    const std::uint32_t p = n / 4;
    const std::uint32_t r = n % 4;
    const std::uint8_t* a = in;
    const std::uint8_t* b = in + p;
    const std::uint8_t* c = in + 2 * p + r;
    const std::uint8_t* d = in + 3 * p + r;
    for (std::uint32_t i = 0; i < p; ++i) {
        out[4 * i + 0] = static_cast<std::uint8_t>((c[i] & 0xF0) | (d[i] >> 4));
        out[4 * i + 1] = static_cast<std::uint8_t>((a[i] & 0xF0) | (b[i] >> 4));
        out[4 * i + 2] = static_cast<std::uint8_t>(((c[i] & 0x0F) << 4) | (d[i] & 0x0F));
        out[4 * i + 3] = static_cast<std::uint8_t>(((a[i] & 0x0F) << 4) | (b[i] & 0x0F));
    }
    // The middle bytes (the last sample of an odd count) travel as they are.
    std::memcpy(out + 4 * p, in + 2 * p, r);
}

bool CVoiceCodec::CountBytes(const std::uint8_t* in, std::uint32_t n)
{
    if (!m_pCounts) m_pCounts.reset(new (std::nothrow) CountTable{});
    if (!m_pCounts) return false;
    m_pCounts->fill(0);
    for (std::uint32_t i = 0; i < n; ++i) ++(*m_pCounts)[in[i]];
    return true;
}

std::uint8_t CVoiceCodec::LeastUsedByte() const
{
    const CountTable& count = *m_pCounts;
    unsigned candidate = 255;
    for (unsigned v = 254; v >= 1 && count[candidate] != 0; --v) {
        if (count[v] < count[candidate]) candidate = v;
    }
    return static_cast<std::uint8_t>(candidate);
}

std::uint32_t CVoiceCodec::RunLengthEncode(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out)
{
    // The counts of stage 1's output are the counts of this input.
    if (!CountBytes(in, n)) return 0;
    const std::uint8_t esc = LeastUsedByte();
    byEscape = esc;
    const RunLengthParams prm = ParamsFor(esc);
    if (n == 0) return 0;

    std::uint32_t off = 0;
    std::uint32_t g = 0;
    while (off < n) {
        if (g > n) return 0;
        const std::uint8_t byte = in[off];
        const std::uint32_t m = CountRepeats(in, n, off, 1, std::min(n - off, kMaxRepeats));
        if (m == 4 && byte != esc) {
            out[g++] = esc;
            out[g++] = prm.b;
            out[g++] = byte;
            off += 4;
            continue;
        }
        if (m >= 5) {
            const std::uint32_t x = (m == esc) ? 1 : 0;
            if (g + x + 4 > n) return 0;
            out[g++] = esc;
            if (x) out[g++] = prm.a;
            out[g++] = static_cast<std::uint8_t>(m);
            out[g++] = 1;
            out[g++] = byte;
            off += m;
            continue;
        }
        const std::uint32_t limit = (n - off) % 256;
        bool coded = false;
        for (std::uint32_t len = 2; len <= kMaxPattern; ++len) {
            const std::uint32_t t = CountRepeats(in, n, off, len, limit);
            if (t < 2 || t * len < 6) continue;
            const std::uint32_t x = (t == esc) ? 1 : 0;
            if (g + x + len + 3 > n) return 0;
            out[g++] = esc;
            if (x) out[g++] = prm.a;
            out[g++] = static_cast<std::uint8_t>(t);
            out[g++] = static_cast<std::uint8_t>(len);
            std::memcpy(out + g, in + off, len);
            g += len;
            off += t * len;
            coded = true;
            break;
        }
        if (coded) continue;
        if (byte == esc) {
            for (unsigned i = 0; i < prm.c; ++i) out[g++] = esc;
        } else {
            out[g++] = byte;
        }
        off += 1;
    }
    return g > n ? 0 : g;
}

std::uint32_t CVoiceCodec::RunLengthDecode(const std::uint8_t* in, std::uint32_t k, std::uint8_t* out)
{
    const std::uint8_t esc = byEscape;
    const RunLengthParams prm = ParamsFor(esc);
    const std::uint32_t limit = wPcmSize;
    std::uint32_t pos = 0;
    std::uint32_t produced = 0;
    bool corrupt = false;
    // Every read stays inside the k input bytes and every write inside wPcmSize output bytes;
    // a stream that would need more is corrupt.
    auto put = [&](std::uint8_t value) {
        if (produced >= limit) return false;
        out[produced++] = value;
        return true;
    };
    while (pos < k && !corrupt) {
        const std::uint8_t c = in[pos];
        if (c != esc) {
            corrupt = !put(c);
            pos += 1;
            continue;
        }
        if (pos + 1 >= k) {
            corrupt = true;
            break;
        }
        const std::uint8_t d = in[pos + 1];
        if (d == esc) {
            if (prm.c == 2) {
                corrupt = !put(esc);
                pos += 2;
                continue;
            }
            if (pos + 2 >= k) {
                corrupt = true;
                break;
            }
            if (in[pos + 2] == esc) {
                corrupt = !put(esc);
                pos += 3;
                continue;
            }
        }
        if (d == prm.b) {
            if (pos + 2 >= k || produced + 4 > limit) {
                corrupt = true;
                break;
            }
            std::memset(out + produced, in[pos + 2], 4);
            produced += 4;
            pos += 3;
            continue;
        }
        const std::uint32_t x = (d == prm.a) ? 1 : 0;
        if (pos + 2 + x >= k) {
            corrupt = true;
            break;
        }
        const std::uint32_t count = in[pos + 1 + x];
        const std::uint32_t len = in[pos + 2 + x];
        const std::uint32_t from = pos + 3 + x;
        if (produced + count * len > limit || from + len > k) {
            corrupt = true;
            break;
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            std::memcpy(out + produced, in + from, len);
            produced += len;
        }
        pos = from + len;
    }
    if (corrupt || produced != limit) {
        MORVIKA_LOG("ERROR CVoiceCodec::RunLengthDecode() データが壊れている \n");
        return 0;
    }
    return produced;
}

std::uint32_t CVoiceCodec::NibblePairEncode(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out)
{
    if (!CountBytes(in, n)) return 0;
    const std::uint8_t esc = LeastUsedByte();
    // A literal equal to the escape cannot be carried; such data stays as it is.
    if ((*m_pCounts)[esc] != 0) return 0;

    out[0] = esc;
    std::uint32_t i = 1;
    std::uint32_t off = 0;
    while (off < n) {
        if (i > n) return 0;
        if (n - off < 4) {
            out[i++] = in[off++];
            continue;
        }
        const std::uint8_t* b = in + off;
        const std::uint8_t nib[8] = {static_cast<std::uint8_t>(b[0] >> 4), static_cast<std::uint8_t>(b[0] & 0x0F),
                                     static_cast<std::uint8_t>(b[1] >> 4), static_cast<std::uint8_t>(b[1] & 0x0F),
                                     static_cast<std::uint8_t>(b[2] >> 4), static_cast<std::uint8_t>(b[2] & 0x0F),
                                     static_cast<std::uint8_t>(b[3] >> 4), static_cast<std::uint8_t>(b[3] & 0x0F)};
        const std::uint8_t e = nib[1];
        std::uint8_t f = e;
        bool codable = true;
        if (nib[0] != e) {
            f = nib[0];
        } else if (nib[2] != e) {
            f = nib[2];
        } else if (nib[3] != e) {
            f = nib[3];
        } else if (b[2] != b[0]) {
            f = nib[5] != e ? nib[5] : nib[4];
        } else if (b[3] == b[0]) {
            f = e;
        } else if (nib[7] == e) {
            f = nib[6];
        } else if (nib[6] == e) {
            f = nib[7];
        } else {
            codable = false;
        }
        std::uint8_t mask = 0;
        for (int j = 0; j < 8 && codable; ++j) {
            if (nib[j] != e && nib[j] != f) codable = false;
            if (nib[j] == f && f != e) mask |= static_cast<std::uint8_t>(1u << (7 - j));
        }
        if (!codable) {
            out[i++] = b[0];
            off += 1;
            continue;
        }
        out[i++] = esc;
        out[i++] = mask;
        out[i++] = static_cast<std::uint8_t>((f << 4) | e);
        off += 4;
    }
    return i > n ? 0 : i;
}

std::uint32_t CVoiceCodec::NibblePairDecode(const std::uint8_t* in, std::uint32_t k, std::uint8_t* out)
{
    if (k <= 1) return 0;
    // The output never exceeds the PCM size, and an escape needs its two bytes.
    const std::uint32_t limit = wPcmSize;
    const std::uint8_t esc = in[0];
    std::uint32_t pos = 1;
    std::uint32_t produced = 0;
    while (pos < k) {
        if (in[pos] != esc) {
            if (produced >= limit) return 0;
            out[produced++] = in[pos++];
            continue;
        }
        if (pos + 2 >= k || produced + 4 > limit) return 0;
        const std::uint8_t m = in[pos + 1];
        const std::uint8_t q = in[pos + 2];
        const std::uint8_t e = q & 0x0F;
        const std::uint8_t f = q >> 4;
        for (int j = 0; j < 4; ++j) {
            const std::uint8_t hi = (m >> (7 - 2 * j)) & 1 ? f : e;
            const std::uint8_t lo = (m >> (6 - 2 * j)) & 1 ? f : e;
            out[produced++] = static_cast<std::uint8_t>((hi << 4) | lo);
        }
        pos += 3;
    }
    return produced;
}

int CVoiceCodec::Decode(const std::uint8_t* packet, std::size_t packetSize, std::uint8_t* work1, std::uint8_t* work2,
                        std::size_t workSize)
{
    if (packet == nullptr || work1 == nullptr || work2 == nullptr) {
        MORVIKA_LOG("ERROR CVoiceCodec::Decode() 引数エラー \n");
        return 1;
    }
    pWork1 = work1;
    pWork2 = work2;
    if (packetSize < kVoicePacketHeaderSize) {
        wPcmSize = 0;
        wEncodedSize = 0;
        MORVIKA_LOG("ERROR CVoiceCodec::Decode() 音声データサイズが異常 %d %d\n", 0, static_cast<int>(packetSize));
        return 1;
    }
    dwTicks = static_cast<std::uint32_t>(packet[0] | (packet[1] << 8) | (packet[2] << 16)) |
              (static_cast<std::uint32_t>(packet[3]) << 24);
    wReserved = ReadLe16(packet + 4);
    byFlags = packet[6];
    byEscape = packet[7];
    wPcmSize = ReadLe16(packet + 8);
    wEncodedSize = ReadLe16(packet + 10);
    // Besides the header's own consistency, the payload must be inside the packet and the
    // PCM must fit the caller's work buffers.
    if (wPcmSize < wEncodedSize || packetSize - kVoicePacketHeaderSize < wEncodedSize ||
        std::size_t{wPcmSize} + kVoiceDecodeSlack > workSize) {
        MORVIKA_LOG("ERROR CVoiceCodec::Decode() 音声データサイズが異常 %d %d\n", wPcmSize, wEncodedSize);
        return 1;
    }
    const std::uint8_t original = byFlags;
    std::memset(work1, 0, std::size_t{wPcmSize} + kVoiceDecodeSlack);
    // Cleared for the whole PCM size so a short payload never exposes stale bytes.
    std::memset(work2, 0, wPcmSize);
    std::memcpy(work2, packet + kVoicePacketHeaderSize, wEncodedSize);
    std::uint32_t length = wEncodedSize;

    if (byFlags & VCF_NIBBLEPAIRS) {
        if (const std::uint32_t r = NibblePairDecode(work2, length, work1); r != 0) {
            std::memcpy(work2, work1, wPcmSize);
            byFlags &= static_cast<std::uint8_t>(~VCF_NIBBLEPAIRS);
            length = r;
        }
    }
    if (byFlags & VCF_RUNLENGTH) {
        if (const std::uint32_t r = RunLengthDecode(work2, length, work1); r != 0) {
            std::memcpy(work2, work1, wPcmSize);
            byFlags &= static_cast<std::uint8_t>(~VCF_RUNLENGTH);
            length = r;
        }
    }
    if (byFlags & VCF_PLANES) {
        JoinPlanes(work2, wPcmSize, work1);
        std::memcpy(work2, work1, wPcmSize);
        byFlags &= static_cast<std::uint8_t>(~VCF_PLANES);
    }
    if (byFlags & VCF_COARSE) {
        PostDecode(work1, packetSize);
        byFlags &= static_cast<std::uint8_t>(~VCF_COARSE);
    }
    byFlags &= 0x1F;
    if (byFlags != 0) {
        MORVIKA_LOG("ERROR CVoiceCodec::Decode() 解凍が出来ていない %x %d %d\n", byFlags, wPcmSize,
                    static_cast<int>(length));
        return 1;
    }
    // A packet without the plane stage carries its PCM as it is.
    if (!(original & VCF_PLANES)) std::memcpy(work1, work2, wPcmSize);
    return 0;
}

std::unique_ptr<std::uint8_t[]> CVoiceCodec::MakePacket(std::size_t& size)
{
    size = PacketSize();
    std::unique_ptr<std::uint8_t[]> packet(new (std::nothrow) std::uint8_t[size]);
    if (!packet) return nullptr;
    WritePacket(packet.get(), size);
    return packet;
}

std::size_t CVoiceCodec::WritePacket(std::uint8_t* out, std::size_t room) const
{
    const std::size_t size = PacketSize();
    if (out == nullptr || room < size) return 0;
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(dwTicks >> (8 * i));
    WriteLe16(out + 4, wReserved);
    out[6] = byFlags;
    out[7] = byEscape;
    WriteLe16(out + 8, wPcmSize);
    WriteLe16(out + 10, wEncodedSize);
    if (wEncodedSize != 0 && pWork1 != nullptr) std::memcpy(out + kVoicePacketHeaderSize, pWork1, wEncodedSize);
    return size;
}

const std::uint8_t* CVoiceCodec::GetData(std::size_t& size) const
{
    size = wPcmSize;
    return pWork1;
}

int CVoiceCodec::PostDecode(std::uint8_t* /*data*/, std::size_t /*packetSize*/)
{
    return 0;
}
