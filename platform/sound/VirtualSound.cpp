#include "platform/sound/VirtualSound.h"

#include <algorithm>
#include <utility>

namespace morvika::sound {

namespace {

class VirtualSoundDevice;

// The buffer tells its backend when it goes away, so the backend's list stays valid.
class RegisteredBuffer : public VirtualSoundBuffer {
public:
    RegisteredBuffer(VirtualSoundBackend& backend, SoundDirection direction, const SoundFormat& format,
                     std::uint32_t bytes)
        : VirtualSoundBuffer(direction, format, bytes),
          m_backend(backend)
    {
        m_backend.Register(this);
    }
    ~RegisteredBuffer() override { m_backend.Unregister(this); }

private:
    VirtualSoundBackend& m_backend;
};

class VirtualSoundDevice : public ISoundDevice {
public:
    VirtualSoundDevice(VirtualSoundBackend& backend, SoundDirection direction)
        : m_backend(backend),
          m_direction(direction)
    {
    }
    SoundDirection Direction() const override { return m_direction; }
    int CreateBuffer(const SoundFormat& format, std::uint32_t bytes, std::unique_ptr<ISoundBuffer>* out) override
    {
        if (out == nullptr || bytes == 0 || format.blockAlign == 0) return kSoundErrInvalidArg;
        if (m_backend.CreateError() != 0) return m_backend.CreateError();
        *out = std::make_unique<RegisteredBuffer>(m_backend, m_direction, format, bytes);
        return kSoundOk;
    }

private:
    VirtualSoundBackend& m_backend;
    SoundDirection m_direction;
};

}  // namespace

VirtualSoundBuffer::VirtualSoundBuffer(SoundDirection direction, const SoundFormat& format, std::uint32_t bytes)
    : m_direction(direction),
      m_format(format),
      m_ring(bytes)
{
}

int VirtualSoundBuffer::SetNotificationPositions(std::span<const SoundNotification> positions)
{
    return m_ring.SetNotifications(positions);
}

int VirtualSoundBuffer::GetCurrentPosition(std::uint32_t* cursor, std::uint32_t* safeCursor)
{
    std::uint32_t lead = 0;
    {
        std::lock_guard lock(m_mutex);
        if (m_positionError != 0) return m_positionError;
        lead = m_direction == SoundDirection::Playback ? m_writeLead : 0;
    }
    const std::uint32_t at = m_ring.Cursor();
    if (cursor) *cursor = at;
    if (safeCursor) *safeCursor = (at + lead) % m_ring.Size();
    return kSoundOk;
}

int VirtualSoundBuffer::SetCurrentPosition(std::uint32_t offset)
{
    if (m_direction != SoundDirection::Playback) return kSoundErrInvalidCall;
    m_ring.SetCursor(offset);
    return kSoundOk;
}

int VirtualSoundBuffer::Lock(std::uint32_t offset, std::uint32_t bytes, SoundRegion* first, SoundRegion* second,
                             std::uint32_t flags)
{
    std::function<void()> hook;
    {
        std::lock_guard lock(m_mutex);
        hook.swap(m_nextLock);
    }
    if (hook) hook();
    {
        std::lock_guard lock(m_mutex);
        if (m_lost) return kSoundErrBufferLost;
    }
    return m_ring.Lock(offset, bytes, first, second, flags);
}

void VirtualSoundBuffer::OnNextLock(std::function<void()> hook)
{
    std::lock_guard lock(m_mutex);
    m_nextLock = std::move(hook);
}

int VirtualSoundBuffer::Unlock(const SoundRegion& first, const SoundRegion& second)
{
    return m_ring.Unlock(first, second, m_direction == SoundDirection::Playback || !IsRunning());
}

int VirtualSoundBuffer::Start()
{
    std::lock_guard lock(m_mutex);
    if (m_lost) return kSoundErrBufferLost;
    m_running = true;
    return kSoundOk;
}

int VirtualSoundBuffer::Stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_running = false;
    }
    m_ring.SignalStop();
    return kSoundOk;
}

int VirtualSoundBuffer::GetStatus(std::uint32_t* status)
{
    if (status == nullptr) return kSoundErrInvalidArg;
    std::lock_guard lock(m_mutex);
    *status = (m_running ? kStatusPlaying | kStatusLooping : 0u) | (m_lost ? kStatusBufferLost : 0u);
    return kSoundOk;
}

int VirtualSoundBuffer::Restore()
{
    std::lock_guard lock(m_mutex);
    if (m_failingRestores > 0) {
        --m_failingRestores;
        return kSoundErrBufferLost;
    }
    m_lost = false;
    return kSoundOk;
}

int VirtualSoundBuffer::SetVolume(std::int32_t volume)
{
    if (m_direction != SoundDirection::Playback) return kSoundErrInvalidCall;
    if (volume < kVolumeMin || volume > kVolumeMax) return kSoundErrInvalidArg;
    std::lock_guard lock(m_mutex);
    m_volume = volume;
    return kSoundOk;
}

int VirtualSoundBuffer::GetVolume(std::int32_t* volume)
{
    if (m_direction != SoundDirection::Playback) return kSoundErrInvalidCall;
    if (volume == nullptr) return kSoundErrInvalidArg;
    std::lock_guard lock(m_mutex);
    *volume = m_volume;
    return kSoundOk;
}

void VirtualSoundBuffer::Advance(std::uint32_t bytes)
{
    if (!IsRunning() || bytes == 0) return;
    if (m_direction == SoundDirection::Playback) {
        std::vector<std::uint8_t> out(bytes);
        m_ring.Consume(out.data(), bytes);
        std::lock_guard lock(m_mutex);
        m_played.insert(m_played.end(), out.begin(), out.end());
        return;
    }
    std::vector<std::uint8_t> in(bytes, 0);
    {
        std::lock_guard lock(m_mutex);
        const std::size_t take = std::min<std::size_t>(bytes, m_feed.size());
        std::copy_n(m_feed.begin(), take, in.begin());
        m_feed.erase(m_feed.begin(), m_feed.begin() + static_cast<std::ptrdiff_t>(take));
    }
    m_ring.Produce(in.data(), bytes);
}

void VirtualSoundBuffer::Feed(const std::vector<std::uint8_t>& bytes)
{
    std::lock_guard lock(m_mutex);
    m_feed.insert(m_feed.end(), bytes.begin(), bytes.end());
}

void VirtualSoundBuffer::SetWriteLead(std::uint32_t bytes)
{
    std::lock_guard lock(m_mutex);
    m_writeLead = bytes;
}

void VirtualSoundBuffer::SetLost(bool lost, int failingRestores)
{
    std::lock_guard lock(m_mutex);
    m_lost = lost;
    m_failingRestores = failingRestores;
    if (lost) m_running = false;
}

void VirtualSoundBuffer::FailPositions(int code)
{
    std::lock_guard lock(m_mutex);
    m_positionError = code;
}

bool VirtualSoundBuffer::IsRunning() const
{
    std::lock_guard lock(m_mutex);
    return m_running;
}

std::vector<std::uint8_t> VirtualSoundBuffer::TakePlayed()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_played, {});
}

std::vector<std::uint8_t> VirtualSoundBuffer::Snapshot()
{
    SoundRegion first, second;
    std::vector<std::uint8_t> bytes;
    if (m_ring.Lock(0, 0, &first, &second, kLockEntireBuffer) != kSoundOk) return bytes;
    bytes.assign(first.data, first.data + first.size);
    m_ring.Unlock(first, second, false);
    return bytes;
}

VirtualSoundBackend::VirtualSoundBackend() = default;

int VirtualSoundBackend::EnumerateDevices(SoundDirection direction,
                                          const std::function<bool(const SoundDeviceInfo&)>& visit)
{
    std::vector<SoundDeviceInfo> entries;
    {
        std::lock_guard lock(m_mutex);
        if (m_enumerateError != 0) return m_enumerateError;
        SoundDeviceInfo primary;
        primary.description = direction == SoundDirection::Capture ? m_primaryCapture : m_primaryPlayback;
        entries.push_back(primary);
        for (const auto& device : m_devices) {
            if (device.direction == direction) entries.push_back({true, device.id, device.description});
        }
    }
    for (const auto& entry : entries) {
        if (!visit(entry)) break;
    }
    return kSoundOk;
}

int VirtualSoundBackend::OpenDevice(SoundDirection direction, const SoundDeviceId* id,
                                    std::unique_ptr<ISoundDevice>* out)
{
    if (out == nullptr) return kSoundErrInvalidArg;
    std::lock_guard lock(m_mutex);
    if (m_openError != 0) return m_openError;
    const bool isDefault = id == nullptr || *id == kDefaultPlaybackDevice || *id == kDefaultCaptureDevice;
    if (!isDefault) {
        const bool known = std::any_of(m_devices.begin(), m_devices.end(),
                                       [&](const Device& d) { return d.direction == direction && d.id == *id; });
        if (!known) return kSoundErrNoDriver;
    }
    *out = std::make_unique<VirtualSoundDevice>(*this, direction);
    return kSoundOk;
}

void VirtualSoundBackend::AddDevice(SoundDirection direction, const SoundDeviceId& id, const std::string& description)
{
    std::lock_guard lock(m_mutex);
    m_devices.push_back({direction, id, description});
}

void VirtualSoundBackend::SetPrimaryDescription(SoundDirection direction, const std::string& description)
{
    std::lock_guard lock(m_mutex);
    (direction == SoundDirection::Capture ? m_primaryCapture : m_primaryPlayback) = description;
}

std::vector<VirtualSoundBuffer*> VirtualSoundBackend::Buffers()
{
    std::lock_guard lock(m_mutex);
    return m_buffers;
}

VirtualSoundBuffer* VirtualSoundBackend::LastBuffer(SoundDirection direction)
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_buffers.rbegin(); it != m_buffers.rend(); ++it) {
        if ((*it)->Direction() == direction) return *it;
    }
    return nullptr;
}

void VirtualSoundBackend::AdvanceMs(std::uint32_t ms)
{
    for (auto* buffer : Buffers()) {
        const std::uint32_t align = std::max<std::uint32_t>(buffer->Format().blockAlign, 1);
        const std::uint64_t bytes = std::uint64_t{buffer->Format().avgBytesPerSec} * ms / 1000;
        buffer->Advance(static_cast<std::uint32_t>(bytes - bytes % align));
    }
}

void VirtualSoundBackend::Register(VirtualSoundBuffer* buffer)
{
    std::lock_guard lock(m_mutex);
    m_buffers.push_back(buffer);
}

void VirtualSoundBackend::Unregister(VirtualSoundBuffer* buffer)
{
    std::lock_guard lock(m_mutex);
    std::erase(m_buffers, buffer);
}

}  // namespace morvika::sound
