#pragma once
// The looping ring behind every buffer of every backend: bytes, one cursor, notification
// positions and the lock scratch. Callers' threads lock and unlock; the backend's thread moves
// the cursor. One mutex guards it all, so a lock is a copy in and a copy out.

#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "platform/sound/SoundMutex.h"
#include "platform/sound/SoundTypes.h"

namespace morvika::sound {

class SoundRing {
public:
    explicit SoundRing(std::uint32_t size);

    std::uint32_t Size() const { return m_size; }
    std::uint32_t Cursor() const;
    void SetCursor(std::uint32_t offset);

    int SetNotifications(std::span<const SoundNotification> positions);
    int Lock(std::uint32_t offset, std::uint32_t bytes, SoundRegion* first, SoundRegion* second, std::uint32_t flags);
    // writeBack false leaves the ring as it is (capture data is read, not written).
    int Unlock(const SoundRegion& first, const SoundRegion& second, bool writeBack);

    // Backend thread: playback hands the bytes from the cursor on to out; capture stores in at
    // the cursor (null stores silence). Either way the cursor moves and crossed positions fire.
    void Consume(std::uint8_t* out, std::uint32_t bytes);
    void Produce(const std::uint8_t* in, std::uint32_t bytes);
    void SignalStop();

private:
    void Move(std::uint32_t bytes, std::vector<AutoResetEvent*>& fired);
    static void Fire(const std::vector<AutoResetEvent*>& fired);

    const std::uint32_t m_size;
    mutable SoundMutex m_mutex;
    std::vector<std::uint8_t> m_data;
    std::uint32_t m_cursor = 0;
    std::vector<SoundNotification> m_notify;
    std::vector<std::uint8_t> m_scratch;
    bool m_locked = false;
    std::uint32_t m_lockOffset = 0;
    std::uint32_t m_lockBytes = 0;
};

}  // namespace morvika::sound
