#pragma once
// The sound service: devices, and looping capture and playback buffers with cursors,
// position notifications, one- or two-region lock and unlock, volume and a lost state.
// Backends: PulseSoundBackend (the real server) and VirtualSoundBackend (a test clock).

#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "platform/sound/SoundTypes.h"

namespace morvika::sound {

class ISoundBuffer {
public:
    virtual ~ISoundBuffer() = default;

    virtual std::uint32_t Size() const = 0;
    // Replaces the notification positions; an offset of kNotifyOnStop fires on Stop.
    virtual int SetNotificationPositions(std::span<const SoundNotification> positions) = 0;
    // Playback: play and write cursor. Capture: capture and read cursor.
    virtual int GetCurrentPosition(std::uint32_t* cursor, std::uint32_t* safeCursor) = 0;
    // Playback only: moves the play cursor.
    virtual int SetCurrentPosition(std::uint32_t offset) = 0;
    // Gives one region, or two when the range wraps round the end of the ring.
    // One lock at a time; the regions stay valid until Unlock.
    virtual int Lock(std::uint32_t offset, std::uint32_t bytes, SoundRegion* first, SoundRegion* second,
                     std::uint32_t flags) = 0;
    virtual int Unlock(const SoundRegion& first, const SoundRegion& second) = 0;
    // Starts looping playback or capture.
    virtual int Start() = 0;
    virtual int Stop() = 0;
    virtual int GetStatus(std::uint32_t* status) = 0;
    virtual int Restore() = 0;
    // Playback only; hundredths of a decibel, kVolumeMin to kVolumeMax.
    virtual int SetVolume(std::int32_t volume) = 0;
    virtual int GetVolume(std::int32_t* volume) = 0;
};

class ISoundDevice {
public:
    virtual ~ISoundDevice() = default;
    virtual SoundDirection Direction() const = 0;
    // Capture only: the sound server cancels the speakers' echo in this source already.
    virtual bool CancelsEcho() const { return false; }
    virtual int CreateBuffer(const SoundFormat& format, std::uint32_t bytes, std::unique_ptr<ISoundBuffer>* out) = 0;
};

class ISoundBackend {
public:
    virtual ~ISoundBackend() = default;
    // Calls visit for the primary entry (without identifier) and then every device of the
    // direction; visit returns false to stop. Returns 0 or an error code.
    virtual int EnumerateDevices(SoundDirection direction,
                                 const std::function<bool(const SoundDeviceInfo&)>& visit) = 0;
    // id null or a default-device identifier selects the server's default device.
    virtual int OpenDevice(SoundDirection direction, const SoundDeviceId* id, std::unique_ptr<ISoundDevice>* out) = 0;
};

}  // namespace morvika::sound
