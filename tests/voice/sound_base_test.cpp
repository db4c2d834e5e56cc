#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <cstring>
#include <string>
#include <thread>

#include "SoundTestSupport.h"
#include "VoiceTestSupport.h"
#include "platform/sound/SoundEvent.h"
#include "voice/DirectSoundDriverData.h"
#include "voice/SoundPlay.h"

using namespace morvika::sound;

namespace {

SoundDeviceId Id(std::uint8_t tag)
{
    SoundDeviceId id{};
    id.fill(tag);
    return id;
}

TEST(DeviceList, CaptureListStartsWithTheDefaultDevice)
{
    ScopedTestLog log;
    VirtualSoundBackend backend;
    backend.AddDevice(SoundDirection::Capture, Id(1), "USB Microphone");
    backend.AddDevice(SoundDirection::Playback, Id(2), "Speakers");
    CDirectSoundDriverData capture(backend, 1);
    const SoundDriverEntry* entry = capture.GetSoundDriverGUID("USB Microphone");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->guid, Id(1));
    ASSERT_EQ(capture.Count(), 2);
    EXPECT_EQ(capture.GetTable()[0].guid, kDefaultCaptureDevice);
    EXPECT_STREQ(capture.GetTable()[0].description, "Primary Sound Capture Driver");
    EXPECT_TRUE(log.Contains("LOG   CDirectSoundDriverData::GetDriverGUID() デバイスドライバの取得 完了\n"));

    // The primary description selects the default identifier, not null.
    entry = capture.GetSoundDriverGUID("Primary Sound Capture Driver");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->guid, kDefaultCaptureDevice);
    CDirectSoundDriverData playback(backend, 0);
    entry = playback.GetSoundDriverGUID("Primary Sound Driver");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->guid, kDefaultPlaybackDevice);

    // Case matters; no match and no name select the default device.
    EXPECT_EQ(capture.GetSoundDriverGUID("usb microphone"), nullptr);
    EXPECT_TRUE(log.Contains("ERROR CDirectSoundDriverData::GetDriverGUID() デバイスドライバの取得エラー\n"));
    EXPECT_EQ(capture.GetSoundDriverGUID(nullptr), nullptr);

    backend.FailEnumerate(kSoundErrGeneric);
    EXPECT_EQ(capture.GetSoundDriverGUID("USB Microphone"), nullptr);
    EXPECT_TRUE(log.Contains("ERROR CDirectSoundDriverData::GetSoundDriverGUID() デバイスの列挙エラー\n"));
}

TEST(DeviceList, TwentyFirstDeviceIsDroppedAndLongDescriptionsAreCut)
{
    ScopedTestLog log;
    VirtualSoundBackend backend;
    for (int i = 0; i < 19; ++i)
        backend.AddDevice(SoundDirection::Playback, Id(static_cast<std::uint8_t>(i + 1)), "Out " + std::to_string(i));
    backend.AddDevice(SoundDirection::Playback, Id(99), "Out 19");
    CDirectSoundDriverData list(backend, 0);
    EXPECT_EQ(list.GetSoundDriverGUID("Out 18")->guid, Id(19));
    EXPECT_EQ(list.Count(), 20);
    EXPECT_TRUE(log.Contains("ERROR CDirectSoundDriverData::AddDriver() デバイスドライバの追加エラー\n"));
    EXPECT_EQ(list.GetDriverGUID("Out 19"), nullptr);

    const std::string longName(80, 'x');
    CDirectSoundDriverData other(backend, 0);
    other.ClearTable();
    ASSERT_EQ(other.AddDriver(Id(5), longName.c_str()), 0);
    EXPECT_EQ(std::string(other.GetTable()[0].description, 64), std::string(64, 'x'));
    EXPECT_NE(other.GetDriverGUID(std::string(64, 'x').c_str()), nullptr);
}

TEST(DeviceList, LongDescriptionsAreCutBetweenCharactersAndStillFound)
{
    ScopedTestLog log;
    VirtualSoundBackend backend;
    // 22 three-byte characters: byte 64 falls inside the 22nd.
    std::string longName;
    for (int i = 0; i < 22; ++i) longName += "音";
    backend.AddDevice(SoundDirection::Capture, Id(7), longName);
    CDirectSoundDriverData capture(backend, 1);

    // The name the program was given, in full, and the name as the device list shows it.
    const SoundDriverEntry* entry = capture.GetSoundDriverGUID(longName.c_str());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->guid, Id(7));
    const std::string listed(entry->description, strnlen(entry->description, sizeof entry->description));
    EXPECT_EQ(listed, longName.substr(0, 63));
    entry = capture.GetSoundDriverGUID(listed.c_str());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->guid, Id(7));
    // A name that differs only after the cut is the same device; one cut shorter is not.
    EXPECT_NE(capture.GetSoundDriverGUID((listed + "音音").c_str()), nullptr);
    EXPECT_EQ(capture.GetSoundDriverGUID(longName.substr(0, 60).c_str()), nullptr);
}

TEST(SoundBase, FormatIsRecomputedFromChannelsAndBits)
{
    VirtualSoundBackend backend;
    CDirectSoundWraper base(backend, nullptr);
    SoundFormat format;
    format.channels = 2;
    format.bitsPerSample = 8;
    format.samplesPerSec = 8000;
    format.blockAlign = 7;
    format.avgBytesPerSec = 1;
    base.Init(0, nullptr, &format);
    EXPECT_EQ(base.Format().blockAlign, 2);
    EXPECT_EQ(base.Format().avgBytesPerSec, 16000u);
    EXPECT_EQ(base.WaitEndThred(), 1);  // no thread ever started
}

TEST(SoundBase, WaitEndThredEndsTheSoundThread)
{
    ScopedTestLog log;
    VirtualSoundBackend backend;
    CSoundPlay play(backend, nullptr);
    ASSERT_EQ(play.Init(0, nullptr, nullptr), 0);
    EXPECT_EQ(play.WaitEndThred(), 0);
    EXPECT_TRUE(log.Contains("LOG   CDirectSoundWraper::WaitEndThred() スレッドの終了を待つ\n"));
    EXPECT_EQ(play.WaitEndThred(), 1);
}

TEST(AutoResetEvent, WaitAnyTakesTheLowestSignalledAndResetsIt)
{
    AutoResetEvent a, b, c;
    AutoResetEvent* const events[] = {&a, &b, &c};
    c.Set();
    b.Set();
    EXPECT_EQ(AutoResetEvent::WaitAny(events), 1);
    EXPECT_EQ(AutoResetEvent::WaitAny(events), 2);
    EXPECT_EQ(AutoResetEvent::WaitAny(events, std::chrono::milliseconds(20)), -1);
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        a.Set();
    });
    EXPECT_EQ(AutoResetEvent::WaitAny(events, std::chrono::seconds(10)), 0);
    setter.join();
    EXPECT_FALSE(a.IsSet());
}

long VoluntarySwitches(pid_t tid)
{
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
    }
    return -1;
}

// A session runs a sound thread per member: one's events must not wake the others.
TEST(AutoResetEvent, AnEventWakesOnlyTheThreadsWaitingForIt)
{
    AutoResetEvent busy, busyDone, quiet;
    std::atomic<pid_t> quietTid{0};
    std::thread sleeper([&] {
        quietTid = static_cast<pid_t>(syscall(SYS_gettid));
        AutoResetEvent* const mine[] = {&quiet};
        EXPECT_EQ(AutoResetEvent::WaitAny(mine, std::chrono::seconds(30)), 0);
    });
    std::thread worker([&] {
        AutoResetEvent* const mine[] = {&busy};
        for (int i = 0; i < 200; ++i) {
            EXPECT_EQ(AutoResetEvent::WaitAny(mine, std::chrono::seconds(10)), 0);
            busyDone.Set();
        }
    });
    while (quietTid == 0) std::this_thread::yield();
    // Let the sleeper reach its wait (its own switches settle) before counting.
    long before = VoluntarySwitches(quietTid);
    for (long seen = -2; seen != before; before = VoluntarySwitches(quietTid)) {
        seen = before;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    AutoResetEvent* const done[] = {&busyDone};
    for (int i = 0; i < 200; ++i) {
        busy.Set();
        ASSERT_EQ(AutoResetEvent::WaitAny(done, std::chrono::seconds(10)), 0);
    }
    EXPECT_LE(VoluntarySwitches(quietTid) - before, 5) << "woken by 400 events it does not wait for";
    quiet.Set();
    worker.join();
    sleeper.join();
    // A wait that timed out left nothing behind: setting the event later wakes nobody stale.
    AutoResetEvent* const lone[] = {&quiet};
    EXPECT_EQ(AutoResetEvent::WaitAny(lone, std::chrono::milliseconds(10)), -1);
    quiet.Set();
    EXPECT_EQ(AutoResetEvent::WaitAny(lone, std::chrono::milliseconds(10)), 0);
}

}  // namespace
