#include "platform/sound/SoundRing.h"

#include <algorithm>
#include <cstring>

#include "platform/sound/SoundEvent.h"

namespace morvika::sound {

SoundRing::SoundRing(std::uint32_t size) : m_size(size), m_data(size, 0) {}

std::uint32_t SoundRing::Cursor() const
{
    std::lock_guard lock(m_mutex);
    return m_cursor;
}

void SoundRing::SetCursor(std::uint32_t offset)
{
    std::lock_guard lock(m_mutex);
    m_cursor = m_size ? offset % m_size : 0;
}

int SoundRing::SetNotifications(std::span<const SoundNotification> positions)
{
    for (const auto& p : positions) {
        if (p.event == nullptr || (p.offset != kNotifyOnStop && p.offset >= m_size)) return kSoundErrInvalidArg;
    }
    std::lock_guard lock(m_mutex);
    m_notify.assign(positions.begin(), positions.end());
    return kSoundOk;
}

int SoundRing::Lock(std::uint32_t offset, std::uint32_t bytes, SoundRegion* first, SoundRegion* second,
                    std::uint32_t flags)
{
    if (first == nullptr) return kSoundErrInvalidArg;
    if (flags & kLockEntireBuffer) {
        offset = 0;
        bytes = m_size;
    }
    if (bytes == 0 || bytes > m_size || offset >= m_size) return kSoundErrInvalidArg;
    std::lock_guard lock(m_mutex);
    if (m_locked) return kSoundErrInvalidCall;
    const std::uint32_t firstBytes = std::min(bytes, m_size - offset);
    if (firstBytes < bytes && second == nullptr) return kSoundErrInvalidArg;
    m_scratch.resize(bytes);
    std::memcpy(m_scratch.data(), m_data.data() + offset, firstBytes);
    std::memcpy(m_scratch.data() + firstBytes, m_data.data(), bytes - firstBytes);
    *first = {m_scratch.data(), firstBytes};
    if (second != nullptr) {
        *second = firstBytes < bytes ? SoundRegion{m_scratch.data() + firstBytes, bytes - firstBytes} : SoundRegion{};
    }
    m_locked = true;
    m_lockOffset = offset;
    m_lockBytes = bytes;
    return kSoundOk;
}

int SoundRing::Unlock(const SoundRegion& first, const SoundRegion& second, bool writeBack)
{
    std::lock_guard lock(m_mutex);
    if (!m_locked || first.data != m_scratch.data()) return kSoundErrInvalidCall;
    m_locked = false;
    if (!writeBack) return kSoundOk;
    const std::uint32_t firstBytes = std::min(first.size, m_lockBytes);
    const std::uint32_t secondBytes = std::min(second.size, m_lockBytes - firstBytes);
    std::memcpy(m_data.data() + m_lockOffset, m_scratch.data(), std::min(firstBytes, m_size - m_lockOffset));
    std::memcpy(m_data.data(), m_scratch.data() + firstBytes, secondBytes);
    return kSoundOk;
}

void SoundRing::Move(std::uint32_t bytes, std::vector<AutoResetEvent*>& fired)
{
    for (const auto& p : m_notify) {
        if (p.offset == kNotifyOnStop) continue;
        const std::uint32_t ahead = (p.offset + m_size - m_cursor) % m_size;
        if (ahead < bytes) fired.push_back(p.event);
    }
    m_cursor = static_cast<std::uint32_t>((std::uint64_t{m_cursor} + bytes) % m_size);
}

void SoundRing::Fire(const std::vector<AutoResetEvent*>& fired)
{
    for (auto* event : fired) event->Set();
}

void SoundRing::Consume(std::uint8_t* out, std::uint32_t bytes)
{
    std::vector<AutoResetEvent*> fired;
    {
        std::lock_guard lock(m_mutex);
        while (bytes > 0 && m_size > 0) {
            const std::uint32_t piece = std::min(bytes, m_size - m_cursor);
            if (out != nullptr) {
                std::memcpy(out, m_data.data() + m_cursor, piece);
                out += piece;
            }
            Move(piece, fired);
            bytes -= piece;
        }
    }
    Fire(fired);
}

void SoundRing::Produce(const std::uint8_t* in, std::uint32_t bytes)
{
    std::vector<AutoResetEvent*> fired;
    {
        std::lock_guard lock(m_mutex);
        while (bytes > 0 && m_size > 0) {
            const std::uint32_t piece = std::min(bytes, m_size - m_cursor);
            if (in != nullptr) {
                std::memcpy(m_data.data() + m_cursor, in, piece);
                in += piece;
            } else {
                std::memset(m_data.data() + m_cursor, 0, piece);
            }
            Move(piece, fired);
            bytes -= piece;
        }
    }
    Fire(fired);
}

void SoundRing::SignalStop()
{
    std::vector<AutoResetEvent*> fired;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& p : m_notify) {
            if (p.offset == kNotifyOnStop) fired.push_back(p.event);
        }
    }
    Fire(fired);
}

}  // namespace morvika::sound
