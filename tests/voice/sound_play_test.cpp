#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "SoundTestSupport.h"
#include "VoiceTestSupport.h"
#include "voice/SoundPlay.h"

using namespace morvika::sound;

namespace {

constexpr std::uint32_t kRing = 22048;
constexpr std::uint32_t kUser = 0x1234;

// 689 samples of one value (a multiple of 4, so mode 0 keeps it).
std::vector<std::uint8_t> HalfBlock(std::int16_t value)
{
    return PcmBytes(std::vector<std::int16_t>(689, value));
}

class PlayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(play.Init(0x10, nullptr, nullptr), 0);
        buffer = backend.LastBuffer(SoundDirection::Playback);
        ASSERT_NE(buffer, nullptr);
        // Mark the whole ring so that cleared parts show.
        SoundRegion first, second;
        ASSERT_EQ(buffer->Lock(0, 0, &first, &second, kLockEntireBuffer), kSoundOk);
        std::memset(first.data, 0x55, first.size);
        ASSERT_EQ(buffer->Unlock(first, second), kSoundOk);
    }

    int Save(std::int16_t value)
    {
        const auto packet = EncodePacket(HalfBlock(value));
        return play.SaveData({kUser, packet.data(), packet.size()});
    }

    // Samples of the ring from offset on.
    std::vector<std::int16_t> RingSamples(std::uint32_t offset, std::uint32_t bytes)
    {
        const auto ring = buffer->Snapshot();
        return PcmSamples(ring.data() + offset, bytes);
    }

    // Starts a talk spurt of two packets (values 100 and 200).
    void StartSpurt()
    {
        ASSERT_EQ(Save(100), 0);
        ASSERT_EQ(Save(200), 0);
        ASSERT_EQ(play.PlayState(), 2);
    }

    ScopedTestLog log;
    VirtualSoundBackend backend;
    CSoundPlay play{backend, nullptr};
    VirtualSoundBuffer* buffer = nullptr;
};

TEST_F(PlayTest, GeometryAndInit)
{
    EXPECT_EQ(play.BlockSize(), kBlock);
    EXPECT_EQ(play.BufferSize(), kRing);
    EXPECT_EQ(play.NextOffset(), kBlock);
    EXPECT_TRUE(log.Contains("LOG   CSoundPlay::Init() 再生オブジェクト生成完了 0\n"));
}

TEST_F(PlayTest, FirstPacketIsSilentAndTheSecondStartsPlayback)
{
    ASSERT_EQ(Save(100), 0);
    EXPECT_EQ(play.PlayState(), 1);
    EXPECT_FALSE(buffer->IsRunning());
    EXPECT_EQ(play.NextOffset(), 0u);
    EXPECT_TRUE(log.Contains("LOG   CSoundPlay::SaveData() 音声を開始しましたUserID=1234 m_dwNextOffset=0 \n"));

    ASSERT_EQ(Save(200), 0);
    EXPECT_EQ(play.PlayState(), 2);
    EXPECT_TRUE(buffer->IsRunning());
    EXPECT_EQ(play.NextOffset(), kBlock);
    const auto samples = RingSamples(0, 3 * kBlock);
    for (std::size_t i = 0; i < 689; ++i) ASSERT_EQ(samples[i], 100) << i;
    for (std::size_t i = 689; i < 1378; ++i) ASSERT_EQ(samples[i], 200) << i;
    // Two blocks of silence behind the data, then the ring as it was.
    for (std::size_t i = 1378; i < 3 * 1378; ++i) ASSERT_EQ(samples[i], 0) << i;
    EXPECT_EQ(RingSamples(3 * kBlock, 2)[0], 0x5555);
}

TEST_F(PlayTest, EmptyQueueClearsThreeBlocksWithoutMoving)
{
    StartSpurt();
    AdvanceAndWait(*buffer, play, kBlock);
    EXPECT_EQ(play.NextOffset(), kBlock);
    const auto samples = RingSamples(kBlock, 3 * kBlock + 2);
    for (std::size_t i = 0; i < 3 * 1378; ++i) ASSERT_EQ(samples[i], 0) << i;
    EXPECT_EQ(samples[3 * 1378], 0x5555);
}

TEST_F(PlayTest, NineQueuedPacketsPlayOnlyTheNewest)
{
    StartSpurt();
    for (int i = 1; i <= 9; ++i) ASSERT_EQ(Save(static_cast<std::int16_t>(400 * i)), 0);
    EXPECT_EQ(play.QueuedCount(), 9u);
    AdvanceAndWait(*buffer, play, kBlock);
    EXPECT_EQ(play.QueuedCount(), 0u);
    EXPECT_EQ(play.NextOffset(), kBlock + 1378);
    const auto samples = RingSamples(kBlock, 1378 + 2);
    for (std::size_t i = 0; i < 689; ++i) ASSERT_EQ(samples[i], 3600) << i;
    EXPECT_EQ(samples[689], 0);
}

TEST_F(PlayTest, TwoQueuedPacketsAreWrittenAsOnePiece)
{
    StartSpurt();
    ASSERT_EQ(Save(300), 0);
    ASSERT_EQ(Save(500), 0);
    AdvanceAndWait(*buffer, play, kBlock);
    EXPECT_EQ(play.QueuedCount(), 0u);
    EXPECT_EQ(play.NextOffset(), 2 * kBlock);
    const auto samples = RingSamples(kBlock, kBlock + 2);
    for (std::size_t i = 0; i < 689; ++i) ASSERT_EQ(samples[i], 300) << i;
    for (std::size_t i = 689; i < 1378; ++i) ASSERT_EQ(samples[i], 500) << i;
    EXPECT_EQ(samples[1378], 0);
}

TEST_F(PlayTest, WriteWrapsRoundTheRingInTwoRegions)
{
    StartSpurt();
    // The first notification comes as soon as the buffer plays; each later one just after the
    // play cursor enters a block.
    ASSERT_EQ(Save(8), 0);
    AdvanceAndWait(*buffer, play, 3);
    EXPECT_EQ(play.NextOffset(), kBlock + 1378);
    for (int block = 0; block < 6; ++block) {
        ASSERT_EQ(Save(static_cast<std::int16_t>(40 * block)), 0);
        ASSERT_EQ(Save(static_cast<std::int16_t>(40 * block)), 0);
        AdvanceAndWait(*buffer, play, kBlock);
    }
    ASSERT_EQ(play.NextOffset(), 20670u);
    ASSERT_EQ(Save(1000), 0);
    ASSERT_EQ(Save(2000), 0);
    AdvanceAndWait(*buffer, play, kBlock);
    EXPECT_EQ(play.NextOffset(), 1378u);
    const auto tail = RingSamples(20670, 1378);
    const auto head = RingSamples(0, 1378 + 2 * kBlock);
    for (std::size_t i = 0; i < 689; ++i) ASSERT_EQ(tail[i], 1000) << i;
    for (std::size_t i = 0; i < 689; ++i) ASSERT_EQ(head[i], 2000) << i;
    // Silence behind it, in the second region.
    for (std::size_t i = 689; i < head.size(); ++i) ASSERT_EQ(head[i], 0) << i;
}

TEST_F(PlayTest, LateWritePositionJumpsToTheWriteCursor)
{
    StartSpurt();
    buffer->SetWriteLead(4 * kBlock);  // the device claims more than the data written
    ASSERT_EQ(Save(300), 0);
    AdvanceAndWait(*buffer, play, kBlock);
    // Write cursor at 2756 + 11024 = 13780: the packet goes there.
    EXPECT_EQ(play.NextOffset(), 13780u + 1378);
    EXPECT_EQ(RingSamples(13780, 2)[0], 300);
}

TEST_F(PlayTest, ArrivalNearThePlayCursorIsWrittenAtOnceAndABurstMeetsTheOverloadRule)
{
    StartSpurt();
    AdvanceAndWait(*buffer, play, 3);  // the first notification: nothing queued, silence
    ASSERT_EQ(play.NextOffset(), kBlock);

    // Less than a block of sound left: the packet is written without waiting for a notification.
    std::uint64_t handled = play.HandledEvents();
    ASSERT_EQ(Save(300), 0);
    ASSERT_TRUE(play.WaitHandledEvents(handled + 1, std::chrono::seconds(10)));
    EXPECT_EQ(play.NextOffset(), kBlock + 1378);
    EXPECT_EQ(RingSamples(kBlock, 2)[0], 300);

    // More than a block ahead: the next one waits for the notification.
    handled = play.HandledEvents();
    ASSERT_EQ(Save(500), 0);
    EXPECT_FALSE(play.WaitHandledEvents(handled + 1, std::chrono::milliseconds(200)));
    EXPECT_EQ(play.QueuedCount(), 1u);
    AdvanceAndWait(*buffer, play, kBlock);
    EXPECT_EQ(play.NextOffset(), kBlock + 2 * 1378);
    EXPECT_EQ(RingSamples(kBlock + 1378, 2)[0], 500);

    // A stalled link: the cursor runs on to the end of the written sound, then twelve packets
    // come at once and are handed over together before the one wake-up. The overload rule
    // plays only the newest, right where the write position stands: nothing older is heard
    // and the delay is what it was.
    AdvanceAndWait(*buffer, play, 2 * 1378);
    handled = play.HandledEvents();
    const std::uint32_t before = play.NextOffset();
    for (int i = 1; i <= 12; ++i) {
        const auto packet = EncodePacket(HalfBlock(static_cast<std::int16_t>(100 * i)));
        ASSERT_EQ(play.SaveData({kUser, packet.data(), packet.size()}, CSoundPlay::ArrivalWake::Later), 0);
    }
    EXPECT_FALSE(play.WaitHandledEvents(handled + 1, std::chrono::milliseconds(100))) << "woken before the last";
    play.WakeForArrivals();
    ASSERT_TRUE(play.WaitHandledEvents(handled + 1, std::chrono::seconds(10)));
    EXPECT_EQ(play.QueuedCount(), 0u);
    EXPECT_EQ(play.NextOffset(), before + 1378) << "the burst was written in full";
    EXPECT_EQ(RingSamples(before, 2)[0], 1200);
}

// The second packet of a pair often arrives while the sound thread is still writing the first:
// it must not wait for the next block's notification while the sound before it runs out.
TEST_F(PlayTest, APacketArrivingDuringAnArrivalWriteIsWrittenWithoutWaitingForTheNextBlock)
{
    StartSpurt();
    AdvanceAndWait(*buffer, play, 3);
    buffer->Advance(2697);  // 56 bytes of sound left, no notification crossed
    buffer->OnNextLock([this] { ASSERT_EQ(Save(600), 0); });
    const std::uint64_t handled = play.HandledEvents();
    ASSERT_EQ(Save(500), 0);
    ASSERT_TRUE(play.WaitHandledEvents(handled + 2, std::chrono::seconds(10))) << "the second packet waits";
    EXPECT_EQ(play.QueuedCount(), 0u);
    EXPECT_EQ(play.NextOffset(), kBlock + 2 * 1378);
    EXPECT_EQ(RingSamples(kBlock, 2)[0], 500);
    EXPECT_EQ(RingSamples(kBlock + 1378, 2)[0], 600);
}

// A burst left four packets (a quarter of a second) queued ahead of what the stream needs. Once
// the stream has run steadily for two seconds, that delay is taken out of quiet moments, a
// little each time; while the sound is loud nothing is cut, and no sound is lost.
TEST_F(PlayTest, ADelayThatNoLongerServesDrainsInQuietMomentsOnly)
{
    StartSpurt();
    AdvanceAndWait(*buffer, play, 3);
    const auto ahead = [&] {
        std::uint32_t cursor = 0, write = 0;
        buffer->GetCurrentPosition(&cursor, &write);
        return (play.NextOffset() + kRing - cursor) % kRing;
    };
    std::size_t saved = 2 * 1378, played = 3, leastLead = kRing;
    auto save = [&](std::int16_t value) {
        const auto packet = EncodePacket(HalfBlock(value));
        ASSERT_EQ(play.SaveData({kUser, packet.data(), packet.size()}, CSoundPlay::ArrivalWake::Later), 0);
        saved += 1378;
    };
    for (int i = 0; i < 4; ++i) save(3000);
    // Loud for four seconds, then quiet for four: two packets in the middle of each block, as a
    // capture sends them; the arrival is written at once when the ring holds less than a block.
    for (int block = 0; block < 64; ++block) {
        const std::int16_t value = block < 32 ? 3000 : 40;
        buffer->Advance(kBlock / 2);
        if (block == 32) {
            EXPECT_EQ(play.DrainedBytes(), 0u) << "loud sound was cut";
        }
        if (block >= 48) leastLead = std::min<std::size_t>(leastLead, ahead() + play.QueuedBytes());
        const std::uint64_t handled = play.HandledEvents();
        const bool wakes = ahead() < kBlock;
        save(value);
        save(value);
        play.WakeForArrivals();
        if (wakes) {
            ASSERT_TRUE(play.WaitHandledEvents(handled + 1, std::chrono::seconds(10)));
        }
        AdvanceAndWait(*buffer, play, kBlock / 2);
        if (HasFatalFailure()) return;
        played += kBlock;
    }
    // Two blocks and more were queued at each arrival; an eighth of a block is left.
    EXPECT_GE(play.DrainedBytes(), 4 * 1378u);
    EXPECT_LE(leastLead, kBlock / 8 + 64);
    // Everything saved was played, is still ahead, or was taken out of a quiet moment.
    EXPECT_EQ(played + ahead() + play.QueuedBytes() + play.DrainedBytes(), saved);
    EXPECT_FALSE(log.Contains("ERROR")) << log.Text();
}

TEST_F(PlayTest, VolumeAndSoftwareGain)
{
    std::int32_t level = 1;
    ASSERT_EQ(play.SetVolume(100), kSoundOk);
    buffer->GetVolume(&level);
    EXPECT_EQ(level, 0);
    EXPECT_EQ(play.Gain(), 0);
    ASSERT_EQ(play.SetVolume(50), kSoundOk);
    buffer->GetVolume(&level);
    EXPECT_EQ(level, -2929);
    long volume = 0;
    ASSERT_EQ(play.GetVolume(&volume), 0);
    EXPECT_EQ(volume, 49);  // (7.071)^2 truncated
    ASSERT_EQ(play.SetVolume(-5), kSoundOk);
    buffer->GetVolume(&level);
    EXPECT_EQ(level, -10000);

    ASSERT_EQ(play.SetVolume(101), kSoundOk);
    buffer->GetVolume(&level);
    EXPECT_EQ(level, 0);
    EXPECT_EQ(play.Gain(), 101);
    std::vector<std::uint8_t> out(6);
    const auto in = PcmBytes({1000, -1000, 30000});
    play.CopyWithGain(out.data(), in.data(), 6);
    // 1.04 times, truncated toward zero, 31200 kept to its low 16 bits.
    EXPECT_EQ(PcmSamples(out.data(), 6), (std::vector<std::int16_t>{1040, -1040, 31200}));
    ASSERT_EQ(play.SetVolume(200), kSoundOk);
    play.CopyWithGain(out.data(), in.data(), 6);
    EXPECT_EQ(PcmSamples(out.data(), 6),
              (std::vector<std::int16_t>{5000, -5000, static_cast<std::int16_t>(150000 & 0xFFFF)}));

    // The gain applies to what the sound thread writes.
    ASSERT_EQ(play.SetVolume(125), kSoundOk);
    StartSpurt();
    ASSERT_EQ(Save(400), 0);
    AdvanceAndWait(*buffer, play, kBlock);
    EXPECT_EQ(RingSamples(kBlock, 2)[0], 800);
}

TEST_F(PlayTest, MuteAndUnmuteRestoreTheVolume)
{
    ASSERT_EQ(play.SetVolume(150), kSoundOk);
    EXPECT_EQ(play.SetMute(1), 150);
    EXPECT_TRUE(play.IsMuted());
    std::int32_t level = 0;
    buffer->GetVolume(&level);
    EXPECT_EQ(level, -10000);
    long volume = 0;
    play.GetVolume(&volume);
    EXPECT_EQ(volume, 150);
    play.SetMute(1);  // twice muted keeps the first saved volume
    play.SetMute(0);
    EXPECT_FALSE(play.IsMuted());
    play.GetVolume(&volume);
    EXPECT_EQ(volume, 150);
    EXPECT_EQ(play.Gain(), 150);

    ASSERT_EQ(play.SetVolume(64), kSoundOk);
    play.SetMute(1);
    play.SetMute(0);
    play.GetVolume(&volume);
    EXPECT_EQ(volume, 64);
}

TEST_F(PlayTest, StopEndsTheTalkSpurt)
{
    StartSpurt();
    const std::uint64_t before = play.HandledEvents();
    ASSERT_EQ(play.Stop(), 0);
    ASSERT_TRUE(play.WaitHandledEvents(before + 1, std::chrono::seconds(10)));
    EXPECT_EQ(play.PlayState(), 0);
    EXPECT_TRUE(log.Contains("LOG   CSoundPlay::Stop() 音声を停止しました \n"));
    ASSERT_EQ(Save(700), 0);
    EXPECT_EQ(play.PlayState(), 1);
}

TEST_F(PlayTest, LostBufferIsRestoredInsideTheLock)
{
    StartSpurt();
    ASSERT_EQ(Save(900), 0);
    buffer->SetLost(true);
    play.BufferDataProc();  // on this thread: the buffer is stopped, so no notification runs
    EXPECT_EQ(RingSamples(kBlock, 2)[0], 900);
    EXPECT_EQ(play.NextOffset(), kBlock + 1378);
}

TEST_F(PlayTest, UndecodablePacketsAreDropped)
{
    const std::vector<std::uint8_t> junk = {1, 2, 3, 4, 0, 0, 0x05, 0, 4, 0, 4, 0, 1, 2, 3, 4};
    EXPECT_EQ(play.SaveData({kUser, junk.data(), junk.size()}), 1);
    EXPECT_TRUE(log.Contains("LOG   CSoundPlay::SaveData() デコードできない UserID=1234 m_dwNextOffset=2756 \n"));
    EXPECT_EQ(play.PlayState(), 0);
}

// A member sending nothing but junk fills no disk: the log stays small and says how many.
TEST_F(PlayTest, TenThousandUndecodablePacketsLeaveAShortLog)
{
    const std::vector<std::uint8_t> junk = {1, 2, 3, 4, 0, 0, 0x05, 0, 4, 0, 4, 0, 1, 2, 3, 4};
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(play.SaveData({kUser, junk.data(), junk.size()}), 1);
    FlushLog();
    const std::string text = log.Text();
    EXPECT_LT(text.size(), 64u * 1024u);
    std::size_t written = 0;
    std::size_t repeated = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("CSoundPlay::SaveData() デコードできない UserID=") != std::string::npos) {
            if (line.find(" ... repeated ") != std::string::npos) {
                repeated += std::stoul(line.substr(line.find(" ... repeated ") + 14));
            } else {
                ++written;
            }
        }
    }
    EXPECT_GE(written, 1u);
    EXPECT_EQ(written + repeated, 10000u) << text.substr(0, 2000);
}

// A playback object that could not be set up says so with the sound server's code, and then
// ignores what it is given.
TEST(PlayFailures, DeviceAndBufferErrorsAreLoggedAndReturned)
{
    ScopedTestLog log;
    VirtualSoundBackend backend;
    backend.FailOpen(kSoundErrNoDriver);
    CSoundPlay noDevice(backend, nullptr);
    EXPECT_EQ(noDevice.Init(0, nullptr, nullptr), kSoundErrNoDriver);

    backend.FailOpen(0);
    backend.FailCreate(kSoundErrOutOfMemory);
    CSoundPlay noBuffer(backend, nullptr);
    EXPECT_EQ(noBuffer.Init(0, nullptr, nullptr), kSoundErrOutOfMemory);
    EXPECT_TRUE(log.Contains("ERROR CSoundPlay::CreateOutputBuffer() セカンダリバッファを生成できない\n"));
    EXPECT_TRUE(
        log.Contains("ERROR CSoundPlay::Init() バッファ生成エラー " + std::to_string(kSoundErrOutOfMemory) + "\n"));
    EXPECT_FALSE(log.Contains("再生オブジェクト生成完了"));
    const auto packet = EncodePacket(HalfBlock(100));
    EXPECT_EQ(noBuffer.SaveData({kUser, packet.data(), packet.size()}), 1);
}

TEST(VoiceJoinBuffer, AppendsUntilFullAndTakesOnce)
{
    CVoiceJoinBuffer join;
    std::uint32_t length = 0;
    EXPECT_EQ(join.Take(length), nullptr);
    std::vector<std::uint8_t> piece(20000, 7);
    join.Append(piece.data(), 20000);
    join.Append(piece.data(), 20000);
    join.Append(piece.data(), 4100);  // 44100 would not fit below the limit
    const std::uint8_t* out = join.Take(length);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(length, 40000u);
    EXPECT_EQ(join.Take(length), nullptr);
}

}  // namespace
