#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "VoiceTestSupport.h"
#include "voice/VoiceCodec.h"

namespace {

constexpr std::size_t kWork = 22050;

struct Encoded {
    int result = 1;
    std::vector<std::uint8_t> packet;
};

Encoded EncodeBlock(const std::vector<std::uint8_t>& pcm, int mode, std::int16_t dc = 0)
{
    std::vector<std::uint8_t> work1(kWork), work2(kWork);
    CVoiceCodec codec;
    Encoded out;
    out.result =
        codec.Encode(pcm.data(), static_cast<std::uint32_t>(pcm.size()), work1.data(), work2.data(), kWork, mode, dc);
    if (out.result == 0) {
        std::size_t size = 0;
        auto packet = codec.MakePacket(size);
        out.packet.assign(packet.get(), packet.get() + size);
    }
    return out;
}

// Decodes a packet; the PCM samples, or nothing when it fails.
bool DecodePacket(const std::vector<std::uint8_t>& packet, std::vector<std::int16_t>& samples)
{
    std::vector<std::uint8_t> work1(kWork), work2(kWork);
    CVoiceCodec codec;
    if (codec.Decode(packet.data(), packet.size(), work1.data(), work2.data(), kWork) != 0) return false;
    std::size_t size = 0;
    const std::uint8_t* pcm = codec.GetData(size);
    samples = PcmSamples(pcm, size);
    return true;
}

std::vector<std::uint8_t> Header(std::uint8_t flags, std::uint8_t escape, std::uint16_t pcm, std::uint16_t encoded)
{
    return {0,
            0,
            0,
            0,
            0,
            0,
            flags,
            escape,
            static_cast<std::uint8_t>(pcm),
            static_cast<std::uint8_t>(pcm >> 8),
            static_cast<std::uint8_t>(encoded),
            static_cast<std::uint8_t>(encoded >> 8)};
}

TEST(VoiceCodec, EightSilentBytesGiveTheSixteenBytePacket)
{
    ScopedTestLog log;
    const Encoded e = EncodeBlock(std::vector<std::uint8_t>(8, 0), 0);
    ASSERT_EQ(e.result, 0);
    const std::vector<std::uint8_t> expected = {0x00, 0x00, 0x03, 0xFF, 0x08, 0x00, 0x04, 0x00, 0xFF, 0x08, 0x01, 0x00};
    ASSERT_EQ(e.packet.size(), 16u);
    EXPECT_EQ(std::vector<std::uint8_t>(e.packet.begin() + 4, e.packet.end()), expected);
    std::vector<std::int16_t> samples;
    ASSERT_TRUE(DecodePacket(e.packet, samples));
    EXPECT_EQ(samples, std::vector<std::int16_t>(4, 0));
}

TEST(VoiceCodec, OddSampleCountCarriesTheLastSampleBetweenThePlanes)
{
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> dist(-30000, 30000);
    std::vector<std::int16_t> in(689);
    for (auto& s : in) s = static_cast<std::int16_t>(dist(rng));
    in.back() = 12345;
    const Encoded e = EncodeBlock(PcmBytes(in), 0);
    ASSERT_EQ(e.result, 0);
    std::vector<std::int16_t> out;
    ASSERT_TRUE(DecodePacket(e.packet, out));
    ASSERT_EQ(out.size(), 689u);
    EXPECT_EQ(out.back(), 12344);  // 12345 with its low two bits cleared
    for (std::size_t i = 0; i < in.size(); ++i) ASSERT_EQ(out[i], CVoiceCodec::Quantise(in[i], 0, 0)) << i;

    // The plane split by hand for three samples: the last travels low byte, high byte at 2p.
    std::vector<std::uint8_t> work1(16), work2(16);
    CVoiceCodec codec;
    const std::vector<std::uint8_t> pcm = PcmBytes({0x1234, 0x5678, 0x0ABC});
    ASSERT_EQ(codec.Encode(pcm.data(), 6, work1.data(), work2.data(), 16, 0, 0), 0);
    EXPECT_EQ(codec.byFlags & VCF_PLANES, VCF_PLANES);
}

TEST(VoiceCodec, Mode7ClearsEightBitsAndMode8MovesAwayFromZero)
{
    const Encoded e = EncodeBlock(PcmBytes({1000, -1000, 255, -1, 0, 32767}), 7);
    std::vector<std::int16_t> out;
    ASSERT_TRUE(DecodePacket(e.packet, out));
    EXPECT_EQ(out, (std::vector<std::int16_t>{768, -1024, 0, -256, 0, 32512}));

    EXPECT_EQ(CVoiceCodec::Quantise(1, 8, 0), 1024);
    EXPECT_EQ(CVoiceCodec::Quantise(0, 8, 0), -1024);
    EXPECT_EQ(CVoiceCodec::Quantise(32000, 8, 0), -32768);  // wraps, never clamps
    EXPECT_EQ(CVoiceCodec::Quantise(100, 4, 40), 0);
    EXPECT_EQ(CVoiceCodec::Quantise(-32768, 0, 1), 32764);
    const Encoded coarse = EncodeBlock(PcmBytes({100, 200}), 8);
    EXPECT_EQ(coarse.packet[6] & VCF_COARSE, VCF_COARSE);
}

TEST(VoiceCodec, NibblePairGroups)
{
    CVoiceCodec codec;
    std::vector<std::uint8_t> out(16);
    // Mixed groups: one with two nibble values, one of equal bytes, one that cannot be coded.
    const std::vector<std::uint8_t> in = {0x0F, 0x0F, 0xF0, 0xF0, 0x33, 0x33, 0x33, 0x33, 0x12, 0x34, 0x56};
    const std::uint32_t n = codec.NibblePairEncode(in.data(), static_cast<std::uint32_t>(in.size()), out.data());
    ASSERT_EQ(n, 10u);
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + n),
              (std::vector<std::uint8_t>{0xFF, 0xFF, 0xA5, 0x0F, 0xFF, 0x00, 0x33, 0x12, 0x34, 0x56}));

    std::vector<std::uint8_t> back(32);
    codec.wPcmSize = 32;
    ASSERT_EQ(codec.NibblePairDecode(out.data(), n, back.data()), in.size());
    EXPECT_EQ(std::vector<std::uint8_t>(back.begin(), back.begin() + 11), in);
}

TEST(VoiceCodec, NibblePairsAreNotAppliedWhenTheEscapeOccursInTheInput)
{
    // Every value from 0 to 255 occurs: no escape can be absent, so the stage stays out.
    std::vector<std::uint8_t> in;
    for (int v = 0; v < 256; ++v) in.push_back(static_cast<std::uint8_t>(v));
    for (int i = 0; i < 64; ++i) in.push_back(0x11);
    std::vector<std::uint8_t> out(in.size() + 3);
    CVoiceCodec codec;
    EXPECT_EQ(codec.NibblePairEncode(in.data(), static_cast<std::uint32_t>(in.size()), out.data()), 0u);
}

// Every value 1..255 but 0xAA appears five times in rising rounds (no runs, no short
// patterns), 0xAA four times, and a long run of zeros makes the stage worth applying.
std::vector<std::uint8_t> EscapeAaInput(const std::vector<std::uint8_t>& insert)
{
    std::vector<std::uint8_t> in(200, 0);
    for (int round = 0; round < 5; ++round) {
        for (int v = 1; v < 256; ++v) {
            if (v != 0xAA) in.push_back(static_cast<std::uint8_t>(v));
        }
        if (round == 2) in.insert(in.end(), insert.begin(), insert.end());
    }
    return in;
}

TEST(VoiceCodec, QuadFormAndEscapeRuns)
{
    const std::vector<std::uint8_t> marker = {0xAA, 0xAA, 0xAA, 0xAA, 0x01, 0x03, 0x77, 0x77, 0x77, 0x77, 0x02};
    const std::vector<std::uint8_t> in = EscapeAaInput(marker);
    std::vector<std::uint8_t> out(in.size() + 3);
    CVoiceCodec codec;
    const std::uint32_t n = codec.RunLengthEncode(in.data(), static_cast<std::uint32_t>(in.size()), out.data());
    ASSERT_NE(n, 0u);
    EXPECT_EQ(codec.byEscape, 0xAA);
    const std::vector<std::uint8_t> coded(out.begin(), out.begin() + n);
    // Four escapes end up as four escaped literals (two bytes each), four 0x77 as the quad form.
    const std::vector<std::uint8_t> expected = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,
                                                0xAA, 0x01, 0x03, 0xAA, 0x01, 0x77, 0x02};
    EXPECT_NE(std::search(coded.begin(), coded.end(), expected.begin(), expected.end()), coded.end());
    // The leading zeros: one run of 200.
    EXPECT_EQ(std::vector<std::uint8_t>(coded.begin(), coded.begin() + 4),
              (std::vector<std::uint8_t>{0xAA, 200, 1, 0}));

    std::vector<std::uint8_t> back(in.size() + 1024);
    codec.wPcmSize = static_cast<std::uint16_t>(in.size());
    ASSERT_EQ(codec.RunLengthDecode(out.data(), n, back.data()), in.size());
    EXPECT_TRUE(std::equal(in.begin(), in.end(), back.begin()));
}

TEST(VoiceCodec, RunWhoseLengthEqualsTheEscapeGetsThePrefix)
{
    std::vector<std::uint8_t> in(300, 0);  // 0xFF never occurs: it is the escape
    std::vector<std::uint8_t> out(in.size() + 3);
    CVoiceCodec codec;
    const std::uint32_t n = codec.RunLengthEncode(in.data(), 300, out.data());
    ASSERT_EQ(n, 9u);
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + n),
              (std::vector<std::uint8_t>{0xFF, 0x00, 0xFF, 0x01, 0x00, 0xFF, 45, 0x01, 0x00}));
    std::vector<std::uint8_t> back(300 + 1024);
    codec.wPcmSize = 300;
    ASSERT_EQ(codec.RunLengthDecode(out.data(), n, back.data()), 300u);
    EXPECT_TRUE(std::all_of(back.begin(), back.begin() + 300, [](std::uint8_t b) { return b == 0; }));
}

TEST(VoiceCodec, RejectedPackets)
{
    ScopedTestLog log;
    std::vector<std::int16_t> out;
    // Encoded size above the PCM size: refused before any work.
    auto bigger = Header(0x01, 0xFF, 4, 8);
    bigger.resize(20);
    EXPECT_FALSE(DecodePacket(bigger, out));
    EXPECT_TRUE(log.Contains("ERROR CVoiceCodec::Decode() 音声データサイズが異常 4 8\n"));
    // A payload that the packet does not hold.
    auto truncated = Header(0x01, 0xFF, 8, 8);
    EXPECT_FALSE(DecodePacket(truncated, out));
    EXPECT_FALSE(DecodePacket(std::vector<std::uint8_t>(5, 0), out));
    // A PCM size beyond the work buffers.
    auto huge = Header(0x01, 0xFF, 60000, 0);
    EXPECT_FALSE(DecodePacket(huge, out));

    // Flag bit 2 and run-length data that does not add up.
    auto bit2 = Header(0x05, 0xFF, 4, 4);
    bit2.insert(bit2.end(), {1, 2, 3, 4});
    EXPECT_FALSE(DecodePacket(bit2, out));
    EXPECT_TRUE(log.Contains("ERROR CVoiceCodec::Decode() 解凍が出来ていない 4 4 4\n"));
    auto shortRun = Header(0x03, 0xFF, 8, 4);
    shortRun.insert(shortRun.end(), {0xFF, 0x07, 0x01, 0x00});
    EXPECT_FALSE(DecodePacket(shortRun, out));
    EXPECT_TRUE(log.Contains("ERROR CVoiceCodec::RunLengthDecode() データが壊れている \n"));
    EXPECT_TRUE(log.Contains("ERROR CVoiceCodec::Decode() 解凍が出来ていない 2 8 4\n"));
    // An escape at the very end of the payload has nothing to read behind it.
    auto dangling = Header(0x03, 0xFF, 8, 3);
    dangling.insert(dangling.end(), {0x00, 0x00, 0xFF});
    EXPECT_FALSE(DecodePacket(dangling, out));
    auto danglingPairs = Header(0x09, 0xFF, 8, 3);
    danglingPairs.insert(danglingPairs.end(), {0xEE, 0x01, 0xEE});
    EXPECT_FALSE(DecodePacket(danglingPairs, out));

    // High flag bits do not stop decoding.
    Encoded e = EncodeBlock(PcmBytes({1000, 2000, 3000, 4000}), 7);
    e.packet[6] |= 0xE0;
    ASSERT_TRUE(DecodePacket(e.packet, out));
    EXPECT_EQ(out, (std::vector<std::int16_t>{768, 1792, 2816, 3840}));

    std::vector<std::uint8_t> work(kWork);
    CVoiceCodec codec;
    EXPECT_EQ(codec.Encode(nullptr, 8, work.data(), work.data(), kWork, 7, 0), 1);
    EXPECT_TRUE(log.Contains("ERROR CVoiceCodec::Encode() 引数エラー \n"));
    std::vector<std::uint8_t> big(47106);
    std::vector<std::uint8_t> w1(50000), w2(50000);
    EXPECT_EQ(codec.Encode(big.data(), 47106, w1.data(), w2.data(), 50000, 7, 0), 1);
    EXPECT_TRUE(log.Contains("ERROR CVoiceCodec::Encode() 音声データサイズが異常 47106\n"));
    EXPECT_EQ(codec.Decode(nullptr, 0, w1.data(), w2.data(), 50000), 1);
    EXPECT_TRUE(log.Contains("ERROR CVoiceCodec::Decode() 引数エラー \n"));
}

// decode(encode(x)) is x with the DC offset removed and the low bits cleared, for every mode
// and for sound of every kind.
TEST(VoiceCodec, RoundTripProperty)
{
    std::mt19937 rng(20261208);
    const int modes[] = {0, 4, 7, 8, 3, -1};
    std::vector<std::uint8_t> w1(50000), w2(50000);
    for (int trial = 0; trial < 600; ++trial) {
        const int mode = modes[trial % 6];
        const std::size_t samples = trial == 0 ? 23552 : std::uniform_int_distribution<std::size_t>(0, 1400)(rng);
        const auto dc = static_cast<std::int16_t>(std::uniform_int_distribution<int>(-2000, 2000)(rng));
        const int kind = trial % 5;
        const int amplitude = std::uniform_int_distribution<int>(1, 32767)(rng);
        std::vector<std::int16_t> in(samples);
        for (std::size_t i = 0; i < samples; ++i) {
            double v = 0;
            switch (kind) {
            case 0: v = std::uniform_int_distribution<int>(-amplitude, amplitude)(rng); break;
            case 1: v = amplitude * std::sin(static_cast<double>(i) * 0.05); break;
            case 2: v = dc + std::uniform_int_distribution<int>(-30, 30)(rng); break;
            case 3: v = (i / 37) % 2 ? 500 : -500; break;
            default: v = static_cast<double>(std::uniform_int_distribution<int>(0, 3)(rng)) * 4096 - 8192; break;
            }
            in[i] = static_cast<std::int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
        }
        const std::vector<std::uint8_t> pcm = PcmBytes(in);
        CVoiceCodec encoder;
        ASSERT_EQ(encoder.Encode(pcm.data(), static_cast<std::uint32_t>(pcm.size()), w1.data(), w2.data(), w1.size(),
                                 mode, dc),
                  0);
        std::size_t size = 0;
        auto packet = encoder.MakePacket(size);
        ASSERT_LE(size, 12 + pcm.size());
        CVoiceCodec decoder;
        std::vector<std::uint8_t> d1(50000), d2(50000);
        ASSERT_EQ(decoder.Decode(packet.get(), size, d1.data(), d2.data(), d1.size()), 0) << "trial " << trial;
        std::size_t bytes = 0;
        const std::uint8_t* decoded = decoder.GetData(bytes);
        const auto out = PcmSamples(decoded, bytes);
        ASSERT_EQ(out.size(), in.size());
        for (std::size_t i = 0; i < in.size(); ++i) {
            ASSERT_EQ(out[i], CVoiceCodec::Quantise(in[i], mode, dc)) << "trial " << trial << " sample " << i;
        }
    }
}

}  // namespace
