#include <gtest/gtest.h>

#include <cstring>

#include "platform/sound/SoundEvent.h"
#include "platform/sound/VirtualSound.h"

using namespace morvika::sound;

namespace {

TEST(SoundRing, LockGivesTwoRegionsWhenTheRangeWraps)
{
    VirtualSoundBackend backend;
    std::unique_ptr<ISoundDevice> device;
    ASSERT_EQ(backend.OpenDevice(SoundDirection::Playback, nullptr, &device), kSoundOk);
    std::unique_ptr<ISoundBuffer> buffer;
    ASSERT_EQ(device->CreateBuffer(SoundFormat{}, 100, &buffer), kSoundOk);
    SoundRegion first, second;
    ASSERT_EQ(buffer->Lock(90, 30, &first, &second, 0), kSoundOk);
    EXPECT_EQ(first.size, 10u);
    EXPECT_EQ(second.size, 20u);
    std::memset(first.data, 1, first.size);
    std::memset(second.data, 2, second.size);
    EXPECT_EQ(buffer->Lock(0, 10, &first, &second, 0), kSoundErrInvalidCall);  // one lock at a time
    ASSERT_EQ(buffer->Unlock(first, second), kSoundOk);
    const auto bytes = backend.LastBuffer(SoundDirection::Playback)->Snapshot();
    EXPECT_EQ(bytes[95], 1);
    EXPECT_EQ(bytes[5], 2);
    EXPECT_EQ(bytes[25], 0);
    EXPECT_EQ(buffer->Lock(100, 1, &first, &second, 0), kSoundErrInvalidArg);
    EXPECT_EQ(buffer->Lock(0, 101, &first, &second, 0), kSoundErrInvalidArg);
    EXPECT_EQ(buffer->Lock(50, 60, &first, nullptr, 0), kSoundErrInvalidArg);
}

TEST(SoundRing, CursorPassingAPositionSignalsItsEventOnce)
{
    VirtualSoundBackend backend;
    std::unique_ptr<ISoundDevice> device;
    ASSERT_EQ(backend.OpenDevice(SoundDirection::Capture, nullptr, &device), kSoundOk);
    std::unique_ptr<ISoundBuffer> buffer;
    ASSERT_EQ(device->CreateBuffer(SoundFormat{}, 100, &buffer), kSoundOk);
    AutoResetEvent at49, at99, stopped;
    const SoundNotification positions[] = {{49, &at49}, {99, &at99}, {kNotifyOnStop, &stopped}};
    ASSERT_EQ(buffer->SetNotificationPositions(positions), kSoundOk);
    auto* virtualBuffer = backend.LastBuffer(SoundDirection::Capture);
    virtualBuffer->Advance(50);  // not running: nothing moves
    EXPECT_FALSE(at49.IsSet());
    ASSERT_EQ(buffer->Start(), kSoundOk);
    virtualBuffer->Feed(std::vector<std::uint8_t>(60, 7));
    virtualBuffer->Advance(49);
    EXPECT_FALSE(at49.IsSet());
    virtualBuffer->Advance(1);
    EXPECT_TRUE(at49.IsSet());
    virtualBuffer->Advance(60);  // wraps: passes 99
    EXPECT_TRUE(at99.IsSet());
    std::uint32_t cursor = 0, read = 0;
    ASSERT_EQ(buffer->GetCurrentPosition(&cursor, &read), kSoundOk);
    EXPECT_EQ(cursor, 10u);
    EXPECT_EQ(read, 10u);
    const auto bytes = virtualBuffer->Snapshot();
    EXPECT_EQ(bytes[59], 7);
    EXPECT_EQ(bytes[60], 0);  // the feed ran dry: silence
    ASSERT_EQ(buffer->Stop(), kSoundOk);
    EXPECT_TRUE(stopped.IsSet());
}

TEST(SoundRing, LostBufferFailsLockUntilRestored)
{
    VirtualSoundBackend backend;
    std::unique_ptr<ISoundDevice> device;
    ASSERT_EQ(backend.OpenDevice(SoundDirection::Playback, nullptr, &device), kSoundOk);
    std::unique_ptr<ISoundBuffer> buffer;
    ASSERT_EQ(device->CreateBuffer(SoundFormat{}, 100, &buffer), kSoundOk);
    backend.LastBuffer(SoundDirection::Playback)->SetLost(true, 1);
    std::uint32_t status = 0;
    buffer->GetStatus(&status);
    EXPECT_TRUE(status & kStatusBufferLost);
    SoundRegion first, second;
    EXPECT_EQ(buffer->Lock(0, 10, &first, &second, 0), kSoundErrBufferLost);
    EXPECT_EQ(buffer->Restore(), kSoundErrBufferLost);
    EXPECT_EQ(buffer->Restore(), kSoundOk);
    EXPECT_EQ(buffer->Lock(0, 10, &first, &second, 0), kSoundOk);
    EXPECT_EQ(buffer->Unlock(first, second), kSoundOk);
}

}  // namespace
