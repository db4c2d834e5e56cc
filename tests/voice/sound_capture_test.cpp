#include <gtest/gtest.h>

#include "SoundTestSupport.h"
#include "VoiceTestSupport.h"
#include "voice/SoundCapture.h"

using namespace morvika::sound;

namespace {

constexpr WindowHandle kMainWindow = 0x1000;
constexpr WindowHandle kLevelWindow = 0x2000;

// A block of samples: offset + a small square wave, so its mean is the offset.
std::vector<std::uint8_t> Block(std::int16_t offset, std::size_t samples = kBlock / 2)
{
    std::vector<std::int16_t> s(samples);
    for (std::size_t i = 0; i < samples; ++i) s[i] = static_cast<std::int16_t>(offset + ((i % 2) ? 64 : -64));
    return PcmBytes(s);
}

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        capture.SetSettings(&settings);
        ASSERT_EQ(capture.Init(kMainWindow, nullptr, nullptr), 0);
        buffer = backend.LastBuffer(SoundDirection::Capture);
        ASSERT_NE(buffer, nullptr);
        ASSERT_EQ(capture.Start(), 0);
    }

    ScopedTestLog log;
    VirtualSoundBackend backend;
    RecordingPoster poster;
    RecordingSink sink;
    VoiceSettingsRecord settings;
    CSoundCapture capture{backend, &poster, &sink};
    VirtualSoundBuffer* buffer = nullptr;
};

TEST_F(CaptureTest, GeometryOfTheDefaultFormat)
{
    EXPECT_EQ(capture.BlockSize(), kBlock);
    EXPECT_EQ(capture.BufferSize(), 22048u);
    EXPECT_EQ(buffer->Size(), 22048u);
    EXPECT_EQ(capture.Format().avgBytesPerSec, 22050u);
    EXPECT_TRUE(log.Contains("LOG   CSoundCapture::Init() キャプチャオブジェクト生成完了 0\n"));
    EXPECT_TRUE(log.Contains("LOG   CSoundCapture::Start() 音声キャプチャ開始 \n"));
}

TEST_F(CaptureTest, FirstEightBlocksCalibrateAndTheNinthSendsTwoMessages)
{
    capture.SetLevelWindow(kLevelWindow);
    for (int i = 0; i < 8; ++i) {
        buffer->Feed(Block(static_cast<std::int16_t>(96 + 8 * (i % 2))));
        AdvanceAndWait(*buffer, capture, kBlock);
    }
    EXPECT_TRUE(sink.Packets().empty());
    EXPECT_TRUE(poster.Posted(WM_VOICE_LEVEL).empty());
    EXPECT_EQ(capture.BlockCount(), 8);
    // 96, then (96+104)/2 = 100, (100+96)/2 = 98, 101, 98, 101, 98, 101.
    EXPECT_EQ(capture.DcOffset(), 101);

    buffer->Feed(Block(101));
    AdvanceAndWait(*buffer, capture, kBlock);
    const auto packets = sink.Packets();
    ASSERT_EQ(packets.size(), 2u);
    const auto queued = poster.Posted(WM_VOICE_QUEUED);
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_EQ(queued[0].window, kMainWindow);
    EXPECT_EQ(queued[0].lParam, 0);
    const auto level = poster.Posted(WM_VOICE_LEVEL);
    ASSERT_EQ(level.size(), 1u);
    EXPECT_EQ(level[0].window, kLevelWindow);
    EXPECT_EQ(level[0].lParam, 101);
    for (std::size_t p = 0; p < packets.size(); ++p) {
        const auto& packet = packets[p];
        EXPECT_EQ(packet.kind, kVoicePacketKind);
        std::vector<std::uint8_t> w1(22050), w2(22050);
        CVoiceCodec codec;
        ASSERT_EQ(codec.Decode(packet.bytes.data(), packet.bytes.size(), w1.data(), w2.data(), w1.size()), 0);
        EXPECT_EQ(codec.wPcmSize, 1378);
        // Mode 7 with the offset removed: -64 and +64 quantise to -256 and 0. The second half
        // starts with sample 689, a +64 one.
        std::size_t size = 0;
        const std::uint8_t* pcm = codec.GetData(size);
        const auto samples = PcmSamples(pcm, size);
        EXPECT_EQ(samples[0], p == 0 ? -256 : 0);
        EXPECT_EQ(samples[1], p == 0 ? 0 : -256);
    }
}

TEST_F(CaptureTest, MutedMicrophoneSendsNothingAndDoesNotCalibrate)
{
    settings.m_dwFlags |= kVoiceFlagMicMuted;
    capture.SetLevelWindow(kLevelWindow);
    for (int i = 0; i < 10; ++i) {
        buffer->Feed(Block(50));
        AdvanceAndWait(*buffer, capture, kBlock);
    }
    EXPECT_EQ(capture.BlockCount(), 0);
    EXPECT_TRUE(sink.Packets().empty());
    EXPECT_TRUE(poster.Posted(WM_VOICE_LEVEL).empty());
    EXPECT_TRUE(poster.Posted(WM_VOICE_QUEUED).empty());
}

TEST_F(CaptureTest, WrappedReadIsJoinedInRingOrder)
{
    capture.SetDcOffset(0);
    settings.m_dwThreshold = 0;
    // A ramp in steps of 4 survives mode 0 unchanged.
    std::vector<std::int16_t> ramp(11024 + 1378);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::int16_t>(4 * i - 20000);
    buffer->Feed(PcmBytes(ramp));
    AdvanceAndWait(*buffer, capture, 7 * kBlock + 1378);  // up to 20670
    const std::size_t first = sink.Packets().size();
    AdvanceAndWait(*buffer, capture, kBlock);  // cursor wraps to 1378
    const auto packets = sink.Packets();
    ASSERT_EQ(packets.size(), first + 2);
    EXPECT_EQ(capture.NextOffset(), 1378u);
    std::vector<std::int16_t> joined;
    for (std::size_t p = first; p < packets.size(); ++p) {
        std::vector<std::uint8_t> w1(22050), w2(22050);
        CVoiceCodec codec;
        ASSERT_EQ(codec.Decode(packets[p].bytes.data(), packets[p].bytes.size(), w1.data(), w2.data(), w1.size()), 0);
        std::size_t size = 0;
        const std::uint8_t* pcm = codec.GetData(size);
        const auto samples = PcmSamples(pcm, size);
        joined.insert(joined.end(), samples.begin(), samples.end());
    }
    ASSERT_EQ(joined.size(), 1378u);
    EXPECT_TRUE(std::equal(joined.begin(), joined.end(), ramp.begin() + 10335));
}

TEST_F(CaptureTest, LevelIsTheRawMeanNotTheCorrectedOne)
{
    capture.SetDcOffset(5);
    capture.SetLevelWindow(kLevelWindow);
    capture.ProcessBlock(Block(-3).data(), kBlock);
    const auto level = poster.Posted(WM_VOICE_LEVEL);
    ASSERT_EQ(level.size(), 1u);
    EXPECT_EQ(level[0].lParam, -3);
    // The mean truncates toward zero: samples -1 and -2 average to -1.
    capture.ProcessBlock(PcmBytes({-1, -2}).data(), 4);
    EXPECT_EQ(poster.Posted(WM_VOICE_LEVEL).back().lParam, -1);
}

TEST_F(CaptureTest, BlocksOfAnyLengthSplitIntoAdjacentHalves)
{
    capture.SetDcOffset(0);
    settings.m_dwThreshold = 0;
    // 6 bytes: halves of 2 and 4 bytes, the second starting right behind the first.
    capture.ProcessBlock(PcmBytes({400, 800, 1200}).data(), 6);
    const auto packets = sink.Packets();
    ASSERT_EQ(packets.size(), 2u);
    std::vector<std::int16_t> joined;
    for (const auto& packet : packets) {
        std::vector<std::uint8_t> w1(22050), w2(22050);
        CVoiceCodec codec;
        ASSERT_EQ(codec.Decode(packet.bytes.data(), packet.bytes.size(), w1.data(), w2.data(), w1.size()), 0);
        std::size_t size = 0;
        const std::uint8_t* pcm = codec.GetData(size);
        const auto samples = PcmSamples(pcm, size);
        joined.insert(joined.end(), samples.begin(), samples.end());
    }
    EXPECT_EQ(joined, (std::vector<std::int16_t>{400, 800, 1200}));
}

TEST(CaptureGeometry, SmallFormatsGetBlocksOf1024BytesRoundedToTheBlockAlign)
{
    ScopedTestLog log;
    VirtualSoundBackend backend;
    SoundFormat slow;
    slow.samplesPerSec = 4000;  // 8000 bytes a second: an eighth is below 1024
    CSoundCapture capture(backend, nullptr, nullptr);
    ASSERT_EQ(capture.Init(0, nullptr, &slow), 0);
    EXPECT_EQ(capture.BlockSize(), 1024u);
    SoundFormat wide;
    wide.bitsPerSample = 24;
    wide.samplesPerSec = 2000;  // 6000 bytes a second, 3-byte frames
    CSoundCapture capture24(backend, nullptr, nullptr);
    ASSERT_EQ(capture24.Init(0, nullptr, &wide), 0);
    EXPECT_EQ(capture24.BlockSize(), 1023u);
}

TEST(CaptureFailures, DeviceErrorsAreLoggedAndReturned)
{
    ScopedTestLog log;
    VirtualSoundBackend backend;
    backend.FailOpen(kSoundErrNoDriver);
    CSoundCapture capture(backend, nullptr, nullptr);
    EXPECT_EQ(capture.Init(0, nullptr, nullptr), kSoundErrNoDriver);
    EXPECT_TRUE(
        log.Contains("ERROR CSoundCapture::Init() 指定された GUID が有効な DirectSound デバイス ID ではない\n"));
    EXPECT_EQ(capture.Start(), 1);
    EXPECT_TRUE(log.Contains("ERROR CSoundCapture::Start() 音声キャプチャ開始エラー 0\n"));
    EXPECT_EQ(capture.BufferDataProc(), 0);

    backend.FailOpen(kSoundErrAllocated);
    CSoundCapture busy(backend, nullptr, nullptr);
    EXPECT_EQ(busy.Init(0, nullptr, nullptr), kSoundErrAllocated);
    EXPECT_TRUE(log.Contains("優先レベルなどのリソースが他の呼び出しによって既に使用中であるため、要求は失敗した\n"));

    backend.FailOpen(0);
    backend.FailCreate(kSoundErrOutOfMemory);
    CSoundCapture noBuffer(backend, nullptr, nullptr);
    EXPECT_EQ(noBuffer.Init(0, nullptr, nullptr), 1);
    EXPECT_TRUE(log.Contains("ERROR CSoundCapture::CreateCaptureBuffer() 引数エラー\n"));
    EXPECT_TRUE(log.Contains("ERROR CSoundCapture::Init() バッファ生成エラー 1\n"));
}

TEST(CaptureFailures, UnreadablePositionsSkipTheBlockWithoutLosingIt)
{
    ScopedTestLog log;
    VirtualSoundBackend backend;
    RecordingSink sink;
    CSoundCapture capture(backend, nullptr, &sink);
    ASSERT_EQ(capture.Init(0, nullptr, nullptr), 0);
    capture.SetDcOffset(0);
    auto* buffer = backend.LastBuffer(SoundDirection::Capture);
    ASSERT_EQ(capture.Start(), 0);
    buffer->FailPositions(kSoundErrGeneric);
    AdvanceAndWait(*buffer, capture, kBlock);
    EXPECT_TRUE(log.Contains("ERROR CSoundCapture::BufferDataProc() ポジションが取得できない\n"));
    EXPECT_EQ(capture.NextOffset(), 0u);
    buffer->FailPositions(0);
    AdvanceAndWait(*buffer, capture, kBlock);
    EXPECT_EQ(capture.NextOffset(), 2 * kBlock);
    ASSERT_EQ(sink.Packets().size(), 2u);  // both blocks read as one
    std::vector<std::uint8_t> w1(22050), w2(22050);
    CVoiceCodec codec;
    ASSERT_EQ(codec.Decode(sink.Packets()[0].bytes.data(), sink.Packets()[0].bytes.size(), w1.data(), w2.data(), 22050),
              0);
    EXPECT_EQ(codec.wPcmSize, kBlock);
}

}  // namespace
