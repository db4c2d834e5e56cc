#pragma once
// A sound backend without hardware: cursors move only when a test advances them, so tests of
// the sound objects are deterministic. Playback buffers keep what passed their play cursor;
// capture buffers take their input from a feed the test gives.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sound/SoundRing.h"
#include "platform/sound/SoundService.h"

namespace morvika::sound {

class VirtualSoundBuffer : public ISoundBuffer {
public:
    VirtualSoundBuffer(SoundDirection direction, const SoundFormat& format, std::uint32_t bytes);

    std::uint32_t Size() const override { return m_ring.Size(); }
    int SetNotificationPositions(std::span<const SoundNotification> positions) override;
    int GetCurrentPosition(std::uint32_t* cursor, std::uint32_t* safeCursor) override;
    int SetCurrentPosition(std::uint32_t offset) override;
    int Lock(std::uint32_t offset, std::uint32_t bytes, SoundRegion* first, SoundRegion* second,
             std::uint32_t flags) override;
    int Unlock(const SoundRegion& first, const SoundRegion& second) override;
    int Start() override;
    int Stop() override;
    int GetStatus(std::uint32_t* status) override;
    int Restore() override;
    int SetVolume(std::int32_t volume) override;
    int GetVolume(std::int32_t* volume) override;

    // Test clock: moves the cursor by bytes when running (playback records what it passes,
    // capture stores the next bytes of its feed, silence when the feed is dry).
    void Advance(std::uint32_t bytes);
    void Feed(const std::vector<std::uint8_t>& bytes);
    // The write cursor runs this many bytes ahead of the play cursor; the read cursor equals
    // the capture cursor.
    void SetWriteLead(std::uint32_t bytes);
    // Lost buffers fail Lock until restored; restores fail this many times first.
    void SetLost(bool lost, int failingRestores = 0);
    // Any call fails with this code while set (0 clears).
    void FailPositions(int code);
    // Runs once, on the locking thread, at the start of the next Lock: something that happens
    // while a sound thread is in the middle of its write.
    void OnNextLock(std::function<void()> hook);
    bool IsRunning() const;
    std::vector<std::uint8_t> TakePlayed();
    // Direct access to the ring's bytes, without going through Lock.
    std::vector<std::uint8_t> Snapshot();
    SoundDirection Direction() const { return m_direction; }
    const SoundFormat& Format() const { return m_format; }

private:
    const SoundDirection m_direction;
    const SoundFormat m_format;
    SoundRing m_ring;
    mutable std::mutex m_mutex;  // the fields below
    bool m_running = false;
    bool m_lost = false;
    int m_failingRestores = 0;
    int m_positionError = 0;
    std::uint32_t m_writeLead = 0;
    std::function<void()> m_nextLock;
    std::int32_t m_volume = 0;
    std::deque<std::uint8_t> m_feed;
    std::vector<std::uint8_t> m_played;
};

class VirtualSoundBackend : public ISoundBackend {
public:
    struct Device {
        SoundDirection direction;
        SoundDeviceId id;
        std::string description;
    };

    VirtualSoundBackend();
    int EnumerateDevices(SoundDirection direction, const std::function<bool(const SoundDeviceInfo&)>& visit) override;
    int OpenDevice(SoundDirection direction, const SoundDeviceId* id, std::unique_ptr<ISoundDevice>* out) override;

    void AddDevice(SoundDirection direction, const SoundDeviceId& id, const std::string& description);
    void SetPrimaryDescription(SoundDirection direction, const std::string& description);
    // OpenDevice / CreateBuffer / EnumerateDevices fail with these codes while they are not 0.
    void FailOpen(int code) { m_openError = code; }
    void FailCreate(int code) { m_createError = code; }
    void FailEnumerate(int code) { m_enumerateError = code; }

    // Every buffer created so far, oldest first (they belong to their sound objects; a test
    // must not use one after its owner released it).
    std::vector<VirtualSoundBuffer*> Buffers();
    VirtualSoundBuffer* LastBuffer(SoundDirection direction);
    // Moves every running buffer by the bytes of ms milliseconds of its format.
    void AdvanceMs(std::uint32_t ms);

    void Register(VirtualSoundBuffer* buffer);
    void Unregister(VirtualSoundBuffer* buffer);
    int CreateError() const { return m_createError; }

private:
    std::mutex m_mutex;
    std::vector<Device> m_devices;
    std::string m_primaryPlayback = "Primary Sound Driver";
    std::string m_primaryCapture = "Primary Sound Capture Driver";
    std::vector<VirtualSoundBuffer*> m_buffers;
    int m_openError = 0;
    int m_createError = 0;
    int m_enumerateError = 0;
};

}  // namespace morvika::sound
