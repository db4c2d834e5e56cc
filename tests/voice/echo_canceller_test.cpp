// The capture's echo canceller and its far end: a synthetic room (the far end, delayed and
// quieter, in the microphone) is cleared while a near-end voice passes with a fixed small lag;
// the far end sums every playback on one clock.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "SoundTestSupport.h"
#include "VoiceTestSupport.h"
#include "voice/EchoCanceller.h"
#include "voice/EchoReference.h"
#include "voice/SoundCapture.h"

using namespace morvika::sound;

namespace {

constexpr std::size_t kSamples = kBlock / 2;

// Voiced-like sound: coloured noise switched on and off twice a second.
std::vector<double> Babble(std::size_t count, unsigned seed, double level)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0, 1);
    std::vector<double> out(count);
    double y = 0;
    for (std::size_t i = 0; i < count; ++i) {
        y = 0.9 * y + noise(rng);
        const bool on = std::sin(static_cast<double>(i) * 2 * M_PI / (11025 * 0.7)) > 0;
        out[i] = y * level * (on ? 1.0 : 0.05);
    }
    return out;
}

double Energy(const std::vector<std::int16_t>& x, std::size_t from, std::size_t to)
{
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += static_cast<double>(x[i]) * x[i];
    return sum;
}

}  // namespace

TEST(EchoCanceller, AnEchoOfTheFarEndIsTakenOutAndTheNearEndPassesWithItsStatedLag)
{
    constexpr std::size_t kBlocks = 160;  // 20 seconds
    constexpr std::size_t kDelay = 1000;  // 91 ms from the far end to the microphone
    const auto far = Babble(kBlocks * kSamples, 1, 1500);
    CEchoCanceller canceller;
    ASSERT_TRUE(canceller.IsReady());
    std::vector<std::int16_t> in, out;
    for (std::size_t b = 0; b < kBlocks; ++b) {
        std::vector<std::int16_t> mic(kSamples), farBlock(kSamples);
        for (std::size_t i = 0; i < kSamples; ++i) {
            const std::size_t t = b * kSamples + i;
            farBlock[i] = static_cast<std::int16_t>(far[t]);
            mic[i] = static_cast<std::int16_t>(t >= kDelay ? 0.4 * far[t - kDelay] : 0);
        }
        in.insert(in.end(), mic.begin(), mic.end());
        canceller.Process(mic.data(), kSamples, farBlock.data());
        out.insert(out.end(), mic.begin(), mic.end());
    }
    const double reduction =
        10 * std::log10(Energy(in, in.size() / 2, in.size()) / std::max(1.0, Energy(out, out.size() / 2, out.size())));
    std::printf("echo %.1f dB lower over the second half\n", reduction);
    EXPECT_GT(reduction, 25.0);

    // The near end alone: a tone burst comes out whole, as late as the canceller says, with
    // and without its processing.
    for (const bool processing : {false, true}) {
        CEchoCanceller plain;
        plain.Configure(processing, processing);
        std::vector<std::int16_t> burst(20 * kSamples, 0), heard;
        for (std::size_t k = 0; k < 400; ++k) {
            burst[10 * kSamples + k] = static_cast<std::int16_t>(8000 * std::sin(0.3 * static_cast<double>(k)) *
                                                                 std::exp(-std::pow(k - 200.0, 2) / 8000.0));
        }
        for (std::size_t b = 0; b < 20; ++b) {
            std::vector<std::int16_t> block(burst.begin() + static_cast<long>(b * kSamples),
                                            burst.begin() + static_cast<long>((b + 1) * kSamples));
            plain.Process(block.data(), kSamples, nullptr);
            heard.insert(heard.end(), block.begin(), block.end());
        }
        long bestLag = -1;
        double best = 0;
        for (long lag = 0; lag < 400; ++lag) {
            double dot = 0;
            for (std::size_t i = 10 * kSamples; i < 10 * kSamples + 400; ++i) dot += burst[i] * heard[i + lag];
            if (dot > best) best = dot, bestLag = lag;
        }
        std::printf("near end %ld samples late (%.2f ms); stated %.1f\n", bestLag, bestLag * 1000.0 / 11025,
                    plain.Latency());
        EXPECT_NEAR(static_cast<double>(bestLag), plain.Latency(), 2.0);
        if (!processing) {
            EXPECT_LE(plain.Latency(), 80.0) << "the resampling and framing alone take more than 7 ms";
        }
        // The suppressor takes a lone burst out of silence for noise in part.
        EXPECT_GT(Energy(heard, 0, heard.size()), (processing ? 0.25 : 0.7) * Energy(burst, 0, burst.size()));
    }
}

TEST(EchoReference, PlaybacksSumOnOneClockAndReadSoundIsGone)
{
    CEchoReference reference;
    std::vector<std::int16_t> out(100);
    reference.Take(1000, out.data(), out.size());  // the capture starts at 1000
    const std::vector<std::int16_t> one(50, 100), two(50, 1000);
    reference.Add(1100, one.data(), one.size(), 1.0);
    reference.Add(1125, two.data(), two.size(), 0.5);
    reference.Add(1050, one.data(), one.size(), 1.0);  // late: the capture has read it already
    reference.Take(1100, out.data(), out.size());
    EXPECT_EQ(out[0], 100);
    EXPECT_EQ(out[25], 600);
    EXPECT_EQ(out[49], 600);
    EXPECT_EQ(out[50], 500);
    EXPECT_EQ(out[75], 0);
    // Read once only, and a stretch the capture skipped does not come back a lap later.
    reference.Take(1100 + CEchoReference::kSamples, out.data(), out.size());
    for (std::int16_t s : out) EXPECT_EQ(s, 0);
}

TEST(EchoReference, AStreamClockTakesTheEarliestStartAndFollowsASlowerDevice)
{
    CStreamClock clock;
    EXPECT_EQ(clock.Observe(1378, 10000), 10000 - 1378);
    EXPECT_EQ(clock.Observe(2756, 10000 + 1378 + 40), 10000 - 1378 + 1);  // woken late: a sample up at most
    EXPECT_EQ(clock.Observe(4134, 10000 + 2756 - 5), 10000 - 1378 - 5);   // earlier: taken at once
    // A device a little slower than the clock: the start follows, by at most a sample a tenth.
    std::int64_t origin = 0;
    for (int i = 4; i < 400; ++i) origin = clock.Observe(1378 * i, 10000 + 1378 * (i - 1) + i / 4);
    EXPECT_GT(origin, 10000 - 1378 - 5 + 50);
}

namespace {

class ProcessingCaptureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        capture.SetSettings(&settings);
        capture.SetEchoReference(reference);
        capture.SetEchoCancel(true);
        capture.SetNoiseSuppress(true);
        ASSERT_EQ(capture.Init(0x1000, nullptr, nullptr), 0);
        buffer = backend.LastBuffer(SoundDirection::Capture);
        ASSERT_NE(buffer, nullptr);
        ASSERT_EQ(capture.Start(), 0);
    }

    ScopedTestLog log;
    VirtualSoundBackend backend;
    RecordingPoster poster;
    RecordingSink sink;
    VoiceSettingsRecord settings;
    std::shared_ptr<CEchoReference> reference = std::make_shared<CEchoReference>();
    CSoundCapture capture{backend, &poster, &sink};
    VirtualSoundBuffer* buffer = nullptr;
};

}  // namespace

// The blocks are processed and still encoded as two packets each; a voice on a DC offset comes
// out without it, not with it taken off twice.
TEST_F(ProcessingCaptureTest, BlocksAreProcessedAndSentWithoutTheirOffset)
{
    const auto voice = Babble(16 * kSamples, 5, 3000);
    double voiceEnergy = 0;
    for (std::size_t i = 8 * kSamples; i < voice.size(); ++i) voiceEnergy += voice[i] * voice[i];
    for (std::size_t b = 0; b < 16; ++b) {
        std::vector<std::int16_t> samples(kSamples);
        for (std::size_t i = 0; i < kSamples; ++i)
            samples[i] = static_cast<std::int16_t>(300 + voice[b * kSamples + i]);
        buffer->Feed(PcmBytes(samples));
        AdvanceAndWait(*buffer, capture, kBlock);
    }
    const auto packets = sink.Packets();
    ASSERT_EQ(packets.size(), 16u);  // eight blocks after the calibration's eight
    std::vector<std::uint8_t> w1(22050), w2(22050);
    double sum = 0, energy = 0;
    std::size_t n = 0;
    for (std::size_t p = 0; p < packets.size(); ++p) {
        CVoiceCodec codec;
        ASSERT_EQ(codec.Decode(packets[p].bytes.data(), packets[p].bytes.size(), w1.data(), w2.data(), w1.size()), 0);
        std::size_t size = 0;
        const std::uint8_t* pcm = codec.GetData(size);
        ASSERT_EQ(size, kBlock / 2);
        for (std::size_t i = 0; i + 1 < size; i += 2, ++n) {
            const auto s = static_cast<std::int16_t>(pcm[i] | (pcm[i + 1] << 8));
            sum += s;
            energy += static_cast<double>(s) * s;
        }
    }
    EXPECT_GT(energy, 0.5 * voiceEnergy) << "the voice did not come through";
    // The codec's quantisation alone leaves about -128; the offset taken off twice, -428.
    EXPECT_LT(std::fabs(sum / static_cast<double>(n)), 200.0) << "the offset is wrong";
    EXPECT_GT(capture.ProcessingDelayMs(), 1.0);
    // Resampling and framing some 6 ms, the canceller and the suppressor some 13 ms more.
    EXPECT_LE(capture.ProcessingDelayMs(), 20.0);
}
