// The frame format: header validation, bodies and reassembly.

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/peer/PeerBuffers.h"
#include "platform/peer/PeerFrame.h"

namespace peer::wire {
namespace {

std::array<std::uint8_t, kHeaderSize> HeaderOf(const Bytes& frame)
{
    std::array<std::uint8_t, kHeaderSize> h{};
    std::copy_n(frame.begin(), kHeaderSize, h.begin());
    return h;
}

TEST(PeerFrame, HeaderIsValidatedBeforeTheBody)
{
    FrameHeader header;
    const Bytes ping = EncodePing();
    ASSERT_EQ(ping.size(), kHeaderSize);
    ASSERT_TRUE(DecodeHeader(HeaderOf(ping), header));
    EXPECT_EQ(header.type, FrameType::Ping);
    EXPECT_EQ(header.bodySize, 0u);

    auto with = [&](auto change) {
        Bytes f = ping;
        change(f);
        return DecodeHeader(HeaderOf(f), header);
    };
    EXPECT_FALSE(with([](Bytes& f) { f[6] ^= 1; })) << "magic";
    EXPECT_FALSE(with([](Bytes& f) { f[4] = 0; })) << "type 0";
    EXPECT_FALSE(with([](Bytes& f) { f[4] = 11; })) << "type past the last";
    EXPECT_FALSE(with([](Bytes& f) { f[5] = 1; })) << "flags on a ping";
    EXPECT_FALSE(with([](Bytes& f) { f[0] = 1; })) << "a ping has no body";
    EXPECT_FALSE(with([](Bytes& f) {
        f[4] = static_cast<std::uint8_t>(FrameType::Data);
        f[3] = 0x10;  // 256 MiB
    }));
    EXPECT_FALSE(with([](Bytes& f) {
        f[4] = static_cast<std::uint8_t>(FrameType::Data);
        f[5] = 0x08;  // unknown data flag
    }));
    EXPECT_TRUE(with([](Bytes& f) {
        f[4] = static_cast<std::uint8_t>(FrameType::Data);
        f[5] = kFlagHigh | kFlagFirst | kFlagLast;
        f[0] = 17;
    }));
}

TEST(PeerFrame, BodiesRoundTripAndRefuseExtraOrMissingBytes)
{
    Hello hello;
    hello.application = *GuidFromString("{740AEEE2-6A2B-40BC-9DCB-B637D20ABFD9}");
    hello.name = "名前";
    hello.info = {1, 2, 3};
    hello.connectData = Bytes(1000, 7);
    const Bytes frame = EncodeHello(hello);
    FrameHeader header;
    ASSERT_TRUE(DecodeHeader(HeaderOf(frame), header));
    const std::span<const std::uint8_t> body(frame.data() + kHeaderSize, frame.size() - kHeaderSize);
    Hello back;
    ASSERT_TRUE(DecodeHello(body, back));
    EXPECT_EQ(back.application, hello.application);
    EXPECT_EQ(back.application[0], 0x74);
    EXPECT_EQ(back.name, hello.name);
    EXPECT_EQ(back.info, hello.info);
    EXPECT_EQ(back.connectData, hello.connectData);
    Bytes longer(body.begin(), body.end());
    longer.push_back(0);
    EXPECT_FALSE(DecodeHello(longer, back));
    EXPECT_FALSE(DecodeHello(body.first(body.size() - 1), back));

    PlayerRecord record{0x10203, "x", {9}};
    const Bytes r = EncodePlayerRecord(FrameType::PlayerAdd, record);
    PlayerRecord rb;
    ASSERT_TRUE(DecodePlayerRecord(std::span(r).subspan(kHeaderSize), rb));
    EXPECT_EQ(rb.id, record.id);
    EXPECT_EQ(rb.info, record.info);
    const Bytes zero = EncodePlayerRecord(FrameType::PlayerAdd, {0, "", {}});
    EXPECT_FALSE(DecodePlayerRecord(std::span(zero).subspan(kHeaderSize), rb)) << "id 0 is no player";

    Welcome w;
    const Bytes same = EncodeWelcome({5, 5});
    EXPECT_FALSE(DecodeWelcome(std::span(same).subspan(kHeaderSize), w));

    ConnectResult cr;
    const Bytes c = EncodeConnectResult({DPNERR_HOSTREJECTEDCONNECTION, {3, 0, 0, 0}});
    ASSERT_TRUE(DecodeConnectResult(std::span(c).subspan(kHeaderSize), cr));
    EXPECT_EQ(cr.result, DPNERR_HOSTREJECTEDCONNECTION);
    EXPECT_EQ(cr.reply, (Bytes{3, 0, 0, 0}));
    // A blob that claims more than the body holds.
    Bytes lying(c.begin() + kHeaderSize, c.end());
    lying[4] = 0xFF;
    EXPECT_FALSE(DecodeConnectResult(lying, cr));
}

// Splits encoded Data frames back into (flags, body) pairs.
std::vector<std::pair<std::uint8_t, Bytes>> SplitFrames(const Bytes& stream)
{
    std::vector<std::pair<std::uint8_t, Bytes>> frames;
    std::size_t pos = 0;
    while (pos < stream.size()) {
        FrameHeader h;
        std::array<std::uint8_t, kHeaderSize> raw{};
        std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(pos), kHeaderSize, raw.begin());
        EXPECT_TRUE(DecodeHeader(raw, h));
        pos += kHeaderSize;
        frames.emplace_back(h.flags, Bytes(stream.begin() + static_cast<std::ptrdiff_t>(pos),
                                           stream.begin() + static_cast<std::ptrdiff_t>(pos + h.bodySize)));
        pos += h.bodySize;
    }
    return frames;
}

Bytes Chunks(const Bytes& payload, bool high, const DataEnvelope& envelope)
{
    Bytes stream;
    std::size_t offset = 0;
    while (offset < payload.size()) offset += AppendDataChunk(stream, high, envelope, payload, offset);
    return stream;
}

TEST(PeerFrame, InterleavedPrioritiesReassemble)
{
    Bytes big(3 * kChunkSize + 5);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 31);
    const Bytes small{1, 2, 3};
    auto low = SplitFrames(Chunks(big, false, {static_cast<std::uint32_t>(big.size()), 7, 8, 0}));
    auto high = SplitFrames(Chunks(small, true, {3, 9, 8, 40}));
    ASSERT_EQ(low.size(), 4u);
    ASSERT_EQ(high.size(), 1u);

    CMessageAssembler assembler;
    CMessageAssembler::Message message;
    EXPECT_EQ(assembler.Feed(low[0].first, low[0].second, message), CMessageAssembler::Status::Incomplete);
    EXPECT_EQ(assembler.Feed(low[1].first, low[1].second, message), CMessageAssembler::Status::Incomplete);
    ASSERT_EQ(assembler.Feed(high[0].first, high[0].second, message), CMessageAssembler::Status::Complete);
    EXPECT_TRUE(message.high);
    EXPECT_EQ(Bytes(message.payload.begin(), message.payload.end()), small);
    EXPECT_EQ(message.envelope.from, 9u);
    EXPECT_EQ(message.envelope.timeoutMs, 40u);
    EXPECT_EQ(assembler.Feed(low[2].first, low[2].second, message), CMessageAssembler::Status::Incomplete);
    ASSERT_EQ(assembler.Feed(low[3].first, low[3].second, message), CMessageAssembler::Status::Complete);
    EXPECT_FALSE(message.high);
    EXPECT_EQ(Bytes(message.payload.begin(), message.payload.end()), big);
}

// A message that lands in a reused buffer holds its own bytes only, one in progress survives
// a release of the kept buffers, a handled message's buffer serves the next one, and the pool
// is bounded and empties once unused.
TEST(PeerFrame, ReusedMessageBuffersHoldOnlyTheirMessage)
{
    CMessageAssembler assembler;
    CMessageAssembler::Message message;
    const std::uint8_t* previous = nullptr;
    std::uint8_t seed = 1;
    for (const std::size_t size :
         {std::size_t{2} * 1024 * 1024, std::size_t{1024} * 1024 + 3, std::size_t{100} * 1024}) {
        Bytes m(size);
        for (std::size_t i = 0; i < size; ++i) m[i] = static_cast<std::uint8_t>(i * 7 + seed);
        const auto frames = SplitFrames(Chunks(m, false, {static_cast<std::uint32_t>(size), 1, 2, 0}));
        auto status = CMessageAssembler::Status::Incomplete;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            status = assembler.Feed(frames[i].first, frames[i].second, message);
            if (i == 0 && seed == 2) assembler.ReleaseKept();
        }
        ASSERT_EQ(status, CMessageAssembler::Status::Complete);
        EXPECT_EQ(Bytes(message.payload.begin(), message.payload.end()), m) << size;
        if (seed == 2) {
            EXPECT_EQ(message.payload.data(), previous) << "the recycled buffer";
        }
        if (seed++ == 2) GiveBuffer(std::move(message.payload));
        previous = message.payload.data();
        assembler.Recycle(message);
        EXPECT_TRUE(message.payload.empty());
    }
    for (int i = 0; i < 20; ++i) GiveBuffer(Buffer(2 * 1024 * 1024));
    EXPECT_TRUE(TakeBuffer(1024 * 1024).empty());
    EXPECT_GT(KeptBufferBytes(), 0u);
    EXPECT_LE(KeptBufferBytes(), 32u * 1024 * 1024);
    const auto now = std::chrono::steady_clock::now();
    TrimBuffers(now, std::chrono::hours(1));
    EXPECT_GT(KeptBufferBytes(), 0u);
    TrimBuffers(now + std::chrono::hours(2), std::chrono::hours(1));
    EXPECT_EQ(KeptBufferBytes(), 0u);
}

// A message copied into its buffer arrives byte for byte whatever the alignment of either end
// and its length, and nothing around it is touched.
TEST(PeerFrame, CopiedMessagesMatchTheirSourceWhateverTheAlignment)
{
    Bytes source(1024 * 1024 + 200);
    for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i * 13 + i / 251);
    Bytes target(source.size() + 64);
    for (const std::size_t size : {std::size_t{1000}, std::size_t{256} * 1024 - 1, std::size_t{256} * 1024 + 77,
                                   std::size_t{1024} * 1024 + 131}) {
        for (const std::size_t from : {0, 3}) {
            for (const std::size_t to : {0, 5, 16}) {
                std::fill(target.begin(), target.end(), std::uint8_t{0xEE});
                CopyMessage(target.data() + to, source.data() + from, size);
                ASSERT_TRUE(std::equal(source.begin() + from, source.begin() + from + size, target.begin() + to))
                    << size << " " << from << " " << to;
                const auto untouched = [](std::uint8_t b) { return b == 0xEE; };
                EXPECT_TRUE(std::all_of(target.begin(), target.begin() + to, untouched));
                EXPECT_TRUE(std::all_of(target.begin() + to + size, target.end(), untouched));
            }
        }
    }
}

TEST(PeerFrame, ReassemblyRefusesInconsistentChunks)
{
    const Bytes payload(2 * kChunkSize, 1);
    auto frames = SplitFrames(Chunks(payload, false, {static_cast<std::uint32_t>(payload.size()), 1, 2, 0}));
    CMessageAssembler::Message m;
    using S = CMessageAssembler::Status;
    {
        CMessageAssembler a;  // continuation first
        EXPECT_EQ(a.Feed(frames[1].first, frames[1].second, m), S::Malformed);
    }
    {
        CMessageAssembler a;  // a second start before the end
        EXPECT_EQ(a.Feed(frames[0].first, frames[0].second, m), S::Incomplete);
        EXPECT_EQ(a.Feed(frames[0].first, frames[0].second, m), S::Malformed);
    }
    {
        CMessageAssembler a;  // "last" while bytes are missing
        EXPECT_EQ(a.Feed(frames[0].first | kFlagLast, frames[0].second, m), S::Malformed);
    }
    {
        CMessageAssembler a;  // complete but not marked last
        EXPECT_EQ(a.Feed(frames[0].first, frames[0].second, m), S::Incomplete);
        EXPECT_EQ(a.Feed(frames[1].first & ~kFlagLast, frames[1].second, m), S::Malformed);
    }
    {
        CMessageAssembler a;  // more bytes than announced
        Bytes body = frames[0].second;
        body[0] = 10;
        body[1] = body[2] = body[3] = 0;
        EXPECT_EQ(a.Feed(frames[0].first, body, m), S::Malformed);
    }
    {
        CMessageAssembler a;  // an announced size over the limit, or zero
        Bytes body(kDataEnvelopeSize + 1, 0);
        const std::uint32_t huge = kMaxMessageSize + 1;
        for (int i = 0; i < 4; ++i) body[i] = static_cast<std::uint8_t>(huge >> (8 * i));
        EXPECT_EQ(a.Feed(kFlagFirst, body, m), S::Malformed);
        Bytes empty(kDataEnvelopeSize, 0);
        EXPECT_EQ(a.Feed(kFlagFirst | kFlagLast, empty, m), S::Malformed);
    }
}

TEST(PeerFrame, GuidText)
{
    const auto g = GuidFromString("{740AEEE2-6A2B-40BC-9DCB-B637D20ABFD9}");
    ASSERT_TRUE(g);
    EXPECT_EQ((*g)[15], 0xD9);
    EXPECT_EQ(GuidFromString("740AEEE2-6A2B-40BC-9DCB-B637D20ABFD9"), g);
    EXPECT_FALSE(GuidFromString("{740AEEE2-6A2B-40BC-9DCB-B637D20ABFD}"));
    EXPECT_FALSE(GuidFromString("{740AEEE2-6A2B-40BC-9DCB-B637D20ABFDX}"));
}

}  // namespace
}  // namespace peer::wire
