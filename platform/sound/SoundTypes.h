#pragma once
// Values shared by the sound service's callers and backends.

#include <array>
#include <cstdint>
#include <string>

namespace morvika::sound {

class AutoResetEvent;

enum class SoundDirection { Playback, Capture };

// PCM format description (the 18-byte wave format record).
struct SoundFormat {
    std::uint16_t formatTag = 1;
    std::uint16_t channels = 1;
    std::uint32_t samplesPerSec = 11025;
    std::uint32_t avgBytesPerSec = 22050;
    std::uint16_t blockAlign = 2;
    std::uint16_t bitsPerSample = 16;
    std::uint16_t extraSize = 0;
};

// A device identifier: 16 bytes in GUID layout.
using SoundDeviceId = std::array<std::uint8_t, 16>;

// {DEF00000-9C6D-47ED-AAF1-4DDA8F2B5C03} and {DEF00001-...}: the server's default sink / source.
inline constexpr SoundDeviceId kDefaultPlaybackDevice = {0x00, 0x00, 0xF0, 0xDE, 0x6D, 0x9C, 0xED, 0x47,
                                                         0xAA, 0xF1, 0x4D, 0xDA, 0x8F, 0x2B, 0x5C, 0x03};
inline constexpr SoundDeviceId kDefaultCaptureDevice = {0x01, 0x00, 0xF0, 0xDE, 0x6D, 0x9C, 0xED, 0x47,
                                                        0xAA, 0xF1, 0x4D, 0xDA, 0x8F, 0x2B, 0x5C, 0x03};

// Results: 0 for success, else a negative code with the classic sound-API values.
inline constexpr int kSoundOk = 0;
inline constexpr int kSoundErrGeneric = static_cast<int>(0x80004005u);
inline constexpr int kSoundErrInvalidArg = static_cast<int>(0x80070057u);
inline constexpr int kSoundErrOutOfMemory = static_cast<int>(0x8007000Eu);
inline constexpr int kSoundErrNoDriver = static_cast<int>(0x88780078u);
inline constexpr int kSoundErrAllocated = static_cast<int>(0x8878000Au);
inline constexpr int kSoundErrInvalidCall = static_cast<int>(0x88780032u);
inline constexpr int kSoundErrBufferLost = static_cast<int>(0x88780096u);

// Notification offset that fires when the buffer stops.
inline constexpr std::uint32_t kNotifyOnStop = 0xFFFFFFFFu;

struct SoundNotification {
    std::uint32_t offset = 0;
    AutoResetEvent* event = nullptr;
};

// One region of a lock: bytes the caller may read and write until Unlock.
struct SoundRegion {
    std::uint8_t* data = nullptr;
    std::uint32_t size = 0;
};

inline constexpr std::uint32_t kLockEntireBuffer = 0x2;

// Status bits.
inline constexpr std::uint32_t kStatusPlaying = 0x1;
inline constexpr std::uint32_t kStatusBufferLost = 0x2;
inline constexpr std::uint32_t kStatusLooping = 0x4;

// Buffer volume in hundredths of a decibel.
inline constexpr std::int32_t kVolumeMin = -10000;
inline constexpr std::int32_t kVolumeMax = 0;

struct SoundDeviceInfo {
    bool hasId = false;  // the primary entry comes without an identifier
    SoundDeviceId id{};
    std::string description;
};

}  // namespace morvika::sound
