#include "platform/sound/PulseSound.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/sound/SoundRing.h"
#include "platform/sound/SoundThreadPriority.h"

namespace morvika::sound {

namespace {

constexpr const char* kMediaRole = "phone";
// Small server-side requests keep the cursors fine-grained: a notification position is passed
// within about one request (5 ms) of the sound reaching it, and a block of the capture is read
// within one of its end. Coarser steps make the blocks arrive unevenly at the peer, whose
// playback then runs late and has to jump.
constexpr std::uint32_t kRequestMs = 5;
// What the server holds of a playback: all that covers for our answers coming late. When it
// runs dry all the same (a busy or virtual machine), it holds more from the mix's next start
// on (when no buffer played), up to the most, trading a little delay for no further dropouts.
// Only at a start:
// a larger buffer in the middle of a sound would delay the rest of it, a slip.
constexpr std::uint32_t kTargetMs = 40;
constexpr std::uint32_t kTargetStepMs = 20;
constexpr std::uint32_t kMostTargetMs = 120;
constexpr std::chrono::seconds kQuietBeforeStepDown{30};
// A starting playback answers the server's first requests with silence: what fills the
// server's buffer (when the mix starts with it) plus this lead, the ring's cursor staying put
// meanwhile. Sound arriving on
// the ring's rhythm, now and then a little late, then still lands ahead of the cursor; without
// the lead every piece a moment later than the one before moves the write position again, a
// slip of a few samples each time. The lead costs latency, so the server's target is smaller.
constexpr std::uint32_t kStartLeadMs = 20;
// A buffer that starts while its mix plays finds the server's buffer full and its requests
// coming on their rhythm: it leads by one request. More stays as delay for the whole session
// (it is never needed, so it is never taken back), 15 ms more at every listener with the full
// lead above.
constexpr std::uint32_t kJoinLeadMs = 5;

// Holds the main loop lock for a scope; never used on the main loop's own thread.
class MainLoopLock {
public:
    explicit MainLoopLock(pa_threaded_mainloop* loop) : m_loop(loop) { pa_threaded_mainloop_lock(m_loop); }
    ~MainLoopLock() { pa_threaded_mainloop_unlock(m_loop); }
    MainLoopLock(const MainLoopLock&) = delete;
    MainLoopLock& operator=(const MainLoopLock&) = delete;

private:
    pa_threaded_mainloop* m_loop;
};

// Waits, with the main loop lock held, until the operation has finished.
void WaitOperation(pa_threaded_mainloop* loop, pa_operation* op)
{
    if (op == nullptr) return;
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop);
    pa_operation_unref(op);
}

// Main loop thread: an operation awaited with WaitOperation has finished (userdata: the loop).
void SignalOperation(pa_stream* /*stream*/, int /*success*/, void* loop)
{
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

// Main loop lock held (or the main loop thread): no callback reaches the stream's owner after.
void ReleaseStream(pa_stream*& stream)
{
    if (stream == nullptr) return;
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
}

std::uint32_t BytesForMs(const SoundFormat& format, std::uint32_t ms)
{
    const std::uint32_t align = std::max<std::uint32_t>(format.blockAlign, 1);
    const std::uint64_t bytes = std::uint64_t{format.avgBytesPerSec} * ms / 1000;
    return std::max<std::uint32_t>(align, static_cast<std::uint32_t>(bytes - bytes % align));
}

pa_stream* NewStream(PulseSoundBackend& backend, const pa_sample_spec& sampleSpec)
{
    pa_proplist* props = pa_proplist_new();
    const char* name = backend.ApplicationName().c_str();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, name);
    pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, kMediaRole);
    pa_proplist_sets(props, PA_PROP_MEDIA_NAME, name);
    pa_stream* stream = pa_stream_new_with_proplist(backend.Context(), name, &sampleSpec, nullptr, props);
    pa_proplist_free(props);
    return stream;
}

// Main loop lock held: false when the stream failed to connect.
bool WaitReady(PulseSoundBackend& backend, pa_stream* stream)
{
    for (;;) {
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_READY) return true;
        if (!PA_STREAM_IS_GOOD(state)) return false;
        pa_threaded_mainloop_wait(backend.MainLoop());
    }
}

}  // namespace

class PulseSoundBuffer;

// Main loop lock held for everything. Every playing buffer of one device and sample layout is
// mixed here into one stream: a session plays one buffer per peer, and with a stream each the
// server's requests (one per 5 ms per stream) woke this process and the server more often than
// the sound itself cost, growing with every member.
class PlaybackMix {
public:
    PlaybackMix(PulseSoundBackend& backend, std::string device, std::uint32_t rate, std::uint16_t channels);
    ~PlaybackMix() { ReleaseStream(m_stream); }
    PlaybackMix(const PlaybackMix&) = delete;
    PlaybackMix& operator=(const PlaybackMix&) = delete;

    int CreateStream();
    bool Usable() const { return m_stream != nullptr && !m_failed; }
    void Attach(PulseSoundBuffer* buffer) { m_buffers.push_back(buffer); }
    // A buffer that goes (stopped or not): the stream stops with the last playing one.
    void Detach(PulseSoundBuffer* buffer);
    // The buffer plays from its cursor on: at the next request, or, when nothing played, once
    // the server's buffer is filled.
    void Start(PulseSoundBuffer& buffer);
    // After a buffer stopped: with none playing, what the server still holds is dropped.
    void StopWhenIdle();

private:
    bool AnyPlaying() const;
    void ApplyTargetAtStart();
    void Write(std::size_t bytes);

    static void OnWritable(pa_stream* stream, std::size_t bytes, void* self);
    static void OnUnderflow(pa_stream* stream, void* self);
    static void OnState(pa_stream* stream, void* self);

    PulseSoundBackend& m_backend;
    const std::string m_device;
    const SoundFormat m_format;  // 16-bit, whatever the buffers hold
    pa_stream* m_stream = nullptr;
    bool m_failed = false;
    bool m_playing = false;  // uncorked
    std::vector<PulseSoundBuffer*> m_buffers;
    std::vector<std::int32_t> m_sum;
    std::uint32_t m_targetMs = kTargetMs;  // kept for the mix's life
    std::chrono::steady_clock::time_point m_lastDropout;
    bool m_raisePending = false;
};

class PulseSoundBuffer : public ISoundBuffer {
public:
    PulseSoundBuffer(PulseSoundBackend& backend, SoundDirection direction, std::string device,
                     const SoundFormat& format, std::uint32_t bytes)
        : m_backend(backend),
          m_direction(direction),
          m_device(std::move(device)),
          m_format(format),
          m_ring(bytes)
    {
    }

    ~PulseSoundBuffer() override
    {
        MainLoopLock lock(m_backend.MainLoop());
        LeaveMix();
        ReleaseStream(m_stream);
    }

    // Caller's thread, main loop lock held.
    int CreateStream()
    {
        pa_sample_spec sampleSpec{};
        sampleSpec.format = m_format.bitsPerSample == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE;
        sampleSpec.rate = m_format.samplesPerSec;
        sampleSpec.channels = static_cast<std::uint8_t>(m_format.channels);
        if (m_format.formatTag != 1 || (m_format.bitsPerSample != 8 && m_format.bitsPerSample != 16) ||
            !pa_sample_spec_valid(&sampleSpec)) {
            return kSoundErrInvalidArg;
        }
        if (m_direction == SoundDirection::Playback) {
            m_mix = m_backend.MixFor(m_device, m_format.samplesPerSec, m_format.channels);
            if (!m_mix) return kSoundErrNoDriver;
            m_mix->Attach(this);
            m_lost = false;
            return kSoundOk;
        }
        m_stream = NewStream(m_backend, sampleSpec);
        if (m_stream == nullptr) return kSoundErrGeneric;
        pa_stream_set_state_callback(m_stream, &PulseSoundBuffer::OnState, this);
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.prebuf = 0;
        attr.tlength = attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = BytesForMs(m_format, kRequestMs);
        pa_stream_set_read_callback(m_stream, &PulseSoundBuffer::OnReadable, this);
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY);
        const char* device = m_device.empty() ? nullptr : m_device.c_str();
        if (pa_stream_connect_record(m_stream, device, &attr, flags) < 0 || !WaitReady(m_backend, m_stream)) {
            ReleaseStream(m_stream);
            return kSoundErrNoDriver;
        }
        m_lost = false;
        return kSoundOk;
    }

    std::uint32_t Size() const override { return m_ring.Size(); }

    int SetNotificationPositions(std::span<const SoundNotification> positions) override
    {
        return m_ring.SetNotifications(positions);
    }

    int GetCurrentPosition(std::uint32_t* cursor, std::uint32_t* safeCursor) override
    {
        // Everything before the cursor has been handed to the server (playback) or received
        // from it (capture), so both cursors are the same.
        const std::uint32_t at = m_ring.Cursor();
        if (cursor) *cursor = at;
        if (safeCursor) *safeCursor = at;
        return kSoundOk;
    }

    int SetCurrentPosition(std::uint32_t offset) override
    {
        if (m_direction != SoundDirection::Playback) return kSoundErrInvalidCall;
        m_ring.SetCursor(offset);
        return kSoundOk;
    }

    int Lock(std::uint32_t offset, std::uint32_t bytes, SoundRegion* first, SoundRegion* second,
             std::uint32_t flags) override
    {
        if (m_lost) return kSoundErrBufferLost;
        return m_ring.Lock(offset, bytes, first, second, flags);
    }

    int Unlock(const SoundRegion& first, const SoundRegion& second) override
    {
        return m_ring.Unlock(first, second, m_direction == SoundDirection::Playback || !m_running);
    }

    int Start() override
    {
        MainLoopLock lock(m_backend.MainLoop());
        if (m_direction == SoundDirection::Playback) {
            if (m_lost || !m_mix || !m_mix->Usable()) return kSoundErrBufferLost;
            if (!m_running) m_mix->Start(*this);
            return kSoundOk;
        }
        if (m_lost || m_stream == nullptr) return kSoundErrBufferLost;
        m_running = true;
        WaitOperation(m_backend.MainLoop(), pa_stream_cork(m_stream, 0, &SignalOperation, m_backend.MainLoop()));
        return kSoundOk;
    }

    int Stop() override
    {
        {
            MainLoopLock lock(m_backend.MainLoop());
            m_running = false;
            if (m_direction == SoundDirection::Playback) {
                if (m_mix) m_mix->StopWhenIdle();
            } else if (m_stream != nullptr && !m_lost) {
                WaitOperation(m_backend.MainLoop(),
                              pa_stream_cork(m_stream, 1, &SignalOperation, m_backend.MainLoop()));
            }
        }
        m_ring.SignalStop();
        return kSoundOk;
    }

    int GetStatus(std::uint32_t* status) override
    {
        if (status == nullptr) return kSoundErrInvalidArg;
        *status = (m_running ? kStatusPlaying | kStatusLooping : 0u) | (m_lost ? kStatusBufferLost : 0u);
        return kSoundOk;
    }

    int Restore() override
    {
        {
            MainLoopLock lock(m_backend.MainLoop());
            if (!m_lost) return kSoundOk;
            LeaveMix();
            ReleaseStream(m_stream);
            m_running = false;
        }
        // The server may have gone and come back: reconnect first (without the lock, which
        // Connect takes and waits on itself).
        if (m_backend.Connect() != kSoundOk) return kSoundErrBufferLost;
        MainLoopLock lock(m_backend.MainLoop());
        return CreateStream() == kSoundOk ? kSoundOk : kSoundErrBufferLost;
    }

    int SetVolume(std::int32_t volume) override
    {
        if (m_direction != SoundDirection::Playback) return kSoundErrInvalidCall;
        if (volume < kVolumeMin || volume > kVolumeMax) return kSoundErrInvalidArg;
        m_volume = volume;
        return kSoundOk;
    }

    int GetVolume(std::int32_t* volume) override
    {
        if (m_direction != SoundDirection::Playback) return kSoundErrInvalidCall;
        if (volume == nullptr) return kSoundErrInvalidArg;
        *volume = m_volume;
        return kSoundOk;
    }

    // Main loop thread (or a caller holding its lock), mix side.
    bool Playing() const { return m_running && !m_lost; }
    // Its lead: frames of silence before the ring's cursor moves (see kStartLeadMs).
    void BeginPlaying(std::uint32_t leadFrames)
    {
        m_leadFrames = leadFrames;
        m_running = true;
    }
    void MarkLost()
    {
        m_lost = true;
        m_running = false;
    }

    // Adds the next frames of this buffer, at its volume, to the mix: the lead of a starting
    // buffer first (silence, the ring's cursor staying where it is), then the ring from its
    // cursor on.
    void MixInto(std::int32_t* sum, std::uint32_t frames)
    {
        const std::uint32_t lead = std::min(m_leadFrames, frames);
        m_leadFrames -= lead;
        const std::uint32_t align = std::max<std::uint32_t>(m_format.blockAlign, 1);
        const std::uint32_t rest = (frames - lead) * align;
        if (rest == 0) return;
        m_piece.resize(rest);
        m_ring.Consume(m_piece.data(), rest);
        const std::int32_t volume = m_volume.load();
        if (volume <= kVolumeMin) return;
        const std::size_t samples = rest / (m_format.bitsPerSample / 8);
        std::int32_t* out = sum + std::size_t{lead} * m_format.channels;
        // Hundredths of a decibel: 0 is the sound as it is.
        const double gain = std::pow(10.0, volume / 2000.0);
        const auto scaled = [&](std::int32_t v) {
            return volume == 0 ? v : static_cast<std::int32_t>(std::lround(v * gain));
        };
        if (m_format.bitsPerSample == 8) {
            for (std::size_t i = 0; i < samples; ++i) out[i] += scaled((m_piece[i] - 128) * 256);
        } else {
            for (std::size_t i = 0; i < samples; ++i) {
                std::int16_t v = 0;
                std::memcpy(&v, m_piece.data() + 2 * i, sizeof v);
                out[i] += scaled(v);
            }
        }
    }

private:
    // Main loop lock held.
    void LeaveMix()
    {
        if (!m_mix) return;
        m_running = false;
        m_mix->Detach(this);
        m_mix.reset();
    }

    // Main loop thread.
    static void OnReadable(pa_stream* stream, std::size_t bytes, void* self)
    {
        auto* buffer = static_cast<PulseSoundBuffer*>(self);
        // Told how much is readable, the loop takes exactly that: asking the size again costs a
        // call into the library per fragment, and each call asks the kernel for the process id.
        // What comes meanwhile is told by the next call.
        while (bytes > 0) {
            const void* data = nullptr;
            std::size_t piece = 0;
            if (pa_stream_peek(stream, &data, &piece) < 0 || piece == 0) return;
            // A hole in the recording (no data, some bytes) is stored as silence.
            if (buffer->m_running) {
                buffer->m_ring.Produce(static_cast<const std::uint8_t*>(data), static_cast<std::uint32_t>(piece));
            }
            pa_stream_drop(stream);
            bytes -= std::min(bytes, piece);
        }
    }

    // Main loop thread.
    static void OnState(pa_stream* stream, void* self)
    {
        auto* buffer = static_cast<PulseSoundBuffer*>(self);
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) buffer->MarkLost();
        pa_threaded_mainloop_signal(buffer->m_backend.MainLoop(), 0);
    }

    PulseSoundBackend& m_backend;
    const SoundDirection m_direction;
    const std::string m_device;
    const SoundFormat m_format;
    SoundRing m_ring;
    pa_stream* m_stream = nullptr;       // capture; main loop lock
    std::shared_ptr<PlaybackMix> m_mix;  // playback; main loop lock
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_lost{false};
    std::atomic<std::int32_t> m_volume{0};
    std::uint32_t m_leadFrames = 0;     // main loop lock
    std::vector<std::uint8_t> m_piece;  // main loop lock
};

PlaybackMix::PlaybackMix(PulseSoundBackend& backend, std::string device, std::uint32_t rate, std::uint16_t channels)
    : m_backend(backend),
      m_device(std::move(device)),
      m_format{1, channels, rate, rate * channels * 2u, static_cast<std::uint16_t>(channels * 2u), 16}
{
}

int PlaybackMix::CreateStream()
{
    pa_sample_spec sampleSpec{};
    sampleSpec.format = PA_SAMPLE_S16LE;
    sampleSpec.rate = m_format.samplesPerSec;
    sampleSpec.channels = static_cast<std::uint8_t>(m_format.channels);
    m_stream = NewStream(m_backend, sampleSpec);
    if (m_stream == nullptr) return kSoundErrGeneric;
    pa_stream_set_state_callback(m_stream, &PlaybackMix::OnState, this);
    pa_stream_set_write_callback(m_stream, &PlaybackMix::OnWritable, this);
    pa_stream_set_underflow_callback(m_stream, &PlaybackMix::OnUnderflow, this);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    // No prebuffering: when a request is answered late the server plays on by its own
    // clock instead of stopping until it has a full buffer again, so the rings keep their
    // time and a late answer costs a dropout, not a shift of everything after it.
    attr.prebuf = 0;
    attr.tlength = BytesForMs(m_format, m_targetMs);
    attr.minreq = BytesForMs(m_format, kRequestMs);
    attr.fragsize = static_cast<std::uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY);
    const char* device = m_device.empty() ? nullptr : m_device.c_str();
    if (pa_stream_connect_playback(m_stream, device, &attr, flags, nullptr, nullptr) < 0 ||
        !WaitReady(m_backend, m_stream)) {
        ReleaseStream(m_stream);
        return kSoundErrNoDriver;
    }
    return kSoundOk;
}

void PlaybackMix::Detach(PulseSoundBuffer* buffer)
{
    m_buffers.erase(std::remove(m_buffers.begin(), m_buffers.end(), buffer), m_buffers.end());
    StopWhenIdle();
}

bool PlaybackMix::AnyPlaying() const
{
    return std::any_of(m_buffers.begin(), m_buffers.end(), [](const PulseSoundBuffer* b) { return b->Playing(); });
}

void PlaybackMix::Start(PulseSoundBuffer& buffer)
{
    if (m_playing) {
        buffer.BeginPlaying(m_format.samplesPerSec * kJoinLeadMs / 1000);
        return;
    }
    // Corked meanwhile, so no request moves a ring before the lead is set.
    ApplyTargetAtStart();
    // What the server asks for first fills its own buffer; the lead comes on top of it.
    std::size_t fill = pa_stream_writable_size(m_stream);
    if (fill == static_cast<std::size_t>(-1) || fill > BytesForMs(m_format, kMostTargetMs)) {
        fill = BytesForMs(m_format, m_targetMs);
    }
    buffer.BeginPlaying(static_cast<std::uint32_t>(fill / m_format.blockAlign) +
                        m_format.samplesPerSec * kStartLeadMs / 1000);
    m_playing = true;
    // The server's buffer is filled before it starts playing, or it starts with nothing.
    Write(pa_stream_writable_size(m_stream));
    WaitOperation(m_backend.MainLoop(), pa_stream_cork(m_stream, 0, &SignalOperation, m_backend.MainLoop()));
}

void PlaybackMix::StopWhenIdle()
{
    if (!m_playing || AnyPlaying() || !Usable()) return;
    m_playing = false;
    WaitOperation(m_backend.MainLoop(), pa_stream_cork(m_stream, 1, &SignalOperation, m_backend.MainLoop()));
    // What the server still holds belongs to the stopped sound.
    WaitOperation(m_backend.MainLoop(), pa_stream_flush(m_stream, &SignalOperation, m_backend.MainLoop()));
}

// Corked: the target raised by dropouts takes effect, or comes down a step when the server has
// kept up for a while, so one bad moment does not cost delay for good.
void PlaybackMix::ApplyTargetAtStart()
{
    const auto now = std::chrono::steady_clock::now();
    m_raisePending = false;
    if (m_targetMs > kTargetMs && now - m_lastDropout >= kQuietBeforeStepDown) {
        m_targetMs -= kTargetStepMs;
        m_lastDropout = now;
    }
    const std::uint32_t tlength = BytesForMs(m_format, m_targetMs);
    pa_buffer_attr attr = *pa_stream_get_buffer_attr(m_stream);
    if (attr.tlength == tlength) return;
    attr.tlength = tlength;
    WaitOperation(m_backend.MainLoop(),
                  pa_stream_set_buffer_attr(m_stream, &attr, &SignalOperation, m_backend.MainLoop()));
}

void PlaybackMix::Write(std::size_t bytes)
{
    const std::uint32_t align = m_format.blockAlign;
    bytes -= bytes % align;
    while (bytes > 0) {
        void* data = nullptr;
        std::size_t piece = bytes;
        if (pa_stream_begin_write(m_stream, &data, &piece) < 0 || data == nullptr) return;
        piece = std::min(piece, bytes);
        piece -= piece % align;
        if (piece == 0) {
            pa_stream_cancel_write(m_stream);
            return;
        }
        const std::size_t samples = piece / 2;
        m_sum.assign(samples, 0);
        const auto frames = static_cast<std::uint32_t>(piece / align);
        for (PulseSoundBuffer* buffer : m_buffers) {
            if (buffer->Playing()) buffer->MixInto(m_sum.data(), frames);
        }
        auto* out = static_cast<std::uint8_t*>(data);
        for (std::size_t i = 0; i < samples; ++i) {
            const auto v = static_cast<std::int16_t>(std::clamp<std::int32_t>(m_sum[i], -32768, 32767));
            std::memcpy(out + 2 * i, &v, sizeof v);
        }
        if (pa_stream_write(m_stream, data, piece, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
        bytes -= piece;
    }
}

// Main loop thread.
void PlaybackMix::OnWritable(pa_stream* /*stream*/, std::size_t bytes, void* self)
{
    auto* mix = static_cast<PlaybackMix*>(self);
    if (mix->m_playing) mix->Write(bytes);
}

// Main loop thread: the server played past what it had. The rings' cursors kept the server's
// time, so what is written next still lands where it belongs; the larger target waits for the
// next start of the mix (a larger buffer in the middle of a sound would delay the rest of it, a
// slip). One step per start, however often it ran dry meanwhile.
void PlaybackMix::OnUnderflow(pa_stream* /*stream*/, void* self)
{
    auto* mix = static_cast<PlaybackMix*>(self);
    mix->m_lastDropout = std::chrono::steady_clock::now();
    if (!mix->m_playing || mix->m_raisePending || mix->m_targetMs >= kMostTargetMs) return;
    mix->m_raisePending = true;
    mix->m_targetMs = std::min(mix->m_targetMs + kTargetStepMs, kMostTargetMs);
    std::fprintf(stderr, "%s: the sound server ran out of playback; it holds %u ms from the next start on\n",
                 mix->m_backend.ApplicationName().c_str(), static_cast<unsigned>(mix->m_targetMs));
}

// Main loop thread.
void PlaybackMix::OnState(pa_stream* stream, void* self)
{
    auto* mix = static_cast<PlaybackMix*>(self);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        mix->m_failed = true;
        mix->m_playing = false;
        for (PulseSoundBuffer* buffer : mix->m_buffers) buffer->MarkLost();
    }
    pa_threaded_mainloop_signal(mix->m_backend.MainLoop(), 0);
}

namespace {

class PulseSoundDevice : public ISoundDevice {
public:
    PulseSoundDevice(PulseSoundBackend& backend, SoundDirection direction, std::string name)
        : m_backend(backend),
          m_direction(direction),
          m_name(std::move(name))
    {
    }

    SoundDirection Direction() const override { return m_direction; }
    bool CancelsEcho() const override { return m_cancelsEcho; }
    void SetCancelsEcho(bool cancels) { m_cancelsEcho = cancels; }

    int CreateBuffer(const SoundFormat& format, std::uint32_t bytes, std::unique_ptr<ISoundBuffer>* out) override
    {
        if (out == nullptr || bytes == 0 || format.blockAlign == 0) return kSoundErrInvalidArg;
        auto buffer = std::make_unique<PulseSoundBuffer>(m_backend, m_direction, m_name, format, bytes);
        int rc = 0;
        {
            MainLoopLock lock(m_backend.MainLoop());
            rc = buffer->CreateStream();
        }
        if (rc != kSoundOk) return rc;
        *out = std::move(buffer);
        return kSoundOk;
    }

private:
    PulseSoundBackend& m_backend;
    SoundDirection m_direction;
    std::string m_name;  // empty: the server's default
    bool m_cancelsEcho = false;
};

struct EchoCancelQuery {
    pa_threaded_mainloop* loop = nullptr;
    bool cancels = false;
};

// Main loop thread. PulseAudio's module-echo-cancel names its driver after itself, and PipeWire's
// echo-cancel module names its source so.
void OnSourceForEchoCancel(pa_context* /*context*/, const pa_source_info* info, int eol, void* user)
{
    auto* query = static_cast<EchoCancelQuery*>(user);
    if (eol == 0 && info != nullptr) {
        auto has = [](const char* text, const char* part) { return text != nullptr && std::strstr(text, part); };
        query->cancels = has(info->driver, "echo-cancel") || has(info->name, "echo-cancel");
    }
    pa_threaded_mainloop_signal(query->loop, 0);
}

struct EnumerationState {
    pa_threaded_mainloop* loop = nullptr;
    std::vector<std::pair<std::string, std::string>> devices;  // name, description
};

// Main loop thread.
template <typename Info>
void OnDeviceInfo(pa_context* /*context*/, const Info* info, int eol, void* user)
{
    auto* state = static_cast<EnumerationState*>(user);
    if (eol == 0 && info != nullptr) {
        state->devices.emplace_back(info->name ? info->name : "", info->description ? info->description : "");
    }
    pa_threaded_mainloop_signal(state->loop, 0);
}

}  // namespace

PulseSoundBackend::PulseSoundBackend(std::string applicationName) : m_applicationName(std::move(applicationName))
{
    m_mainloop = pa_threaded_mainloop_new();
    if (m_mainloop != nullptr && pa_threaded_mainloop_start(m_mainloop) < 0) {
        pa_threaded_mainloop_free(m_mainloop);
        m_mainloop = nullptr;
    }
    if (m_mainloop == nullptr) return;
    // The main loop's thread hands every stream its sound when the server asks; late, the
    // server runs dry. It asks for the sound threads' scheduling from its own thread.
    MainLoopLock lock(m_mainloop);
    pa_mainloop_api_once(
        pa_threaded_mainloop_get_api(m_mainloop), [](pa_mainloop_api*, void*) { RequestRealtimeForThisThread(); },
        nullptr);
}

PulseSoundBackend::~PulseSoundBackend()
{
    if (m_mainloop == nullptr) return;
    {
        MainLoopLock lock(m_mainloop);
        if (m_context != nullptr) {
            pa_context_set_state_callback(m_context, nullptr, nullptr);
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
            m_context = nullptr;
        }
    }
    pa_threaded_mainloop_stop(m_mainloop);
    pa_threaded_mainloop_free(m_mainloop);
}

void PulseSoundBackend::OnContextState(pa_context* /*context*/, void* self)
{
    pa_threaded_mainloop_signal(static_cast<PulseSoundBackend*>(self)->m_mainloop, 0);
}

int PulseSoundBackend::Connect()
{
    if (m_mainloop == nullptr) return kSoundErrOutOfMemory;
    MainLoopLock lock(m_mainloop);
    if (m_context != nullptr) {
        if (pa_context_get_state(m_context) == PA_CONTEXT_READY) return kSoundOk;
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        m_context = nullptr;
    }
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, m_applicationName.c_str());
    pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, kMediaRole);
    m_context =
        pa_context_new_with_proplist(pa_threaded_mainloop_get_api(m_mainloop), m_applicationName.c_str(), props);
    pa_proplist_free(props);
    if (m_context == nullptr) return kSoundErrOutOfMemory;
    pa_context_set_state_callback(m_context, &PulseSoundBackend::OnContextState, this);
    if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return kSoundErrNoDriver;
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(m_context);
        if (state == PA_CONTEXT_READY) return kSoundOk;
        if (!PA_CONTEXT_IS_GOOD(state)) return kSoundErrNoDriver;
        pa_threaded_mainloop_wait(m_mainloop);
    }
}

bool PulseSoundBackend::IsConnected()
{
    if (m_mainloop == nullptr) return false;
    MainLoopLock lock(m_mainloop);
    return m_context != nullptr && pa_context_get_state(m_context) == PA_CONTEXT_READY;
}

SoundDeviceId PulseSoundBackend::IdForName(const std::string& name)
{
    // Two FNV-1a passes with different bases, laid out as a version-4-like identifier.
    std::uint64_t a = 0xcbf29ce484222325ull;
    std::uint64_t b = 0x84222325cbf29ce4ull;
    for (unsigned char c : name) {
        a = (a ^ c) * 0x100000001b3ull;
        b = (b ^ c) * 0x100000001b3ull;
        b ^= b >> 29;
    }
    SoundDeviceId id{};
    for (int i = 0; i < 8; ++i) {
        id[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(a >> (8 * i));
        id[static_cast<std::size_t>(8 + i)] = static_cast<std::uint8_t>(b >> (8 * i));
    }
    id[7] = static_cast<std::uint8_t>((id[7] & 0x0F) | 0x40);
    id[8] = static_cast<std::uint8_t>((id[8] & 0x3F) | 0x80);
    return id;
}

int PulseSoundBackend::EnumerateDevices(SoundDirection direction,
                                        const std::function<bool(const SoundDeviceInfo&)>& visit)
{
    if (const int rc = Connect(); rc != kSoundOk) return rc;
    EnumerationState state;
    state.loop = m_mainloop;
    {
        MainLoopLock lock(m_mainloop);
        pa_operation* op = direction == SoundDirection::Capture
                               ? pa_context_get_source_info_list(m_context, &OnDeviceInfo<pa_source_info>, &state)
                               : pa_context_get_sink_info_list(m_context, &OnDeviceInfo<pa_sink_info>, &state);
        if (op == nullptr) return kSoundErrGeneric;
        WaitOperation(m_mainloop, op);
    }
    std::vector<SoundDeviceInfo> entries;
    SoundDeviceInfo primary;
    primary.description =
        direction == SoundDirection::Capture ? "Primary Sound Capture Driver" : "Primary Sound Driver";
    entries.push_back(primary);
    {
        std::lock_guard lock(m_namesMutex);
        for (const auto& [name, description] : state.devices) {
            const SoundDeviceId id = IdForName(name);
            m_names[id] = name;
            entries.push_back({true, id, description});
        }
    }
    for (const auto& entry : entries) {
        if (!visit(entry)) break;
    }
    return kSoundOk;
}

int PulseSoundBackend::OpenDevice(SoundDirection direction, const SoundDeviceId* id, std::unique_ptr<ISoundDevice>* out)
{
    if (out == nullptr) return kSoundErrInvalidArg;
    if (const int rc = Connect(); rc != kSoundOk) return rc;
    std::string name;
    if (id != nullptr && *id != kDefaultPlaybackDevice && *id != kDefaultCaptureDevice) {
        auto lookup = [&] {
            std::lock_guard lock(m_namesMutex);
            const auto it = m_names.find(*id);
            if (it != m_names.end()) name = it->second;
            return it != m_names.end();
        };
        bool found = lookup();
        if (!found) {
            // Identifiers are stable, so a fresh list finds devices this object never listed.
            EnumerateDevices(direction, [](const SoundDeviceInfo&) { return true; });
            found = lookup();
        }
        if (!found) return kSoundErrNoDriver;
    }
    auto device = std::make_unique<PulseSoundDevice>(*this, direction, name);
    if (direction == SoundDirection::Capture) {
        EchoCancelQuery query;
        query.loop = m_mainloop;
        MainLoopLock lock(m_mainloop);
        const std::string source = name.empty() ? std::string("@DEFAULT_SOURCE@") : name;
        WaitOperation(m_mainloop,
                      pa_context_get_source_info_by_name(m_context, source.c_str(), &OnSourceForEchoCancel, &query));
        device->SetCancelsEcho(query.cancels);
    }
    *out = std::move(device);
    return kSoundOk;
}

std::shared_ptr<PlaybackMix> PulseSoundBackend::MixFor(const std::string& device, std::uint32_t rate,
                                                       std::uint16_t channels)
{
    const std::string key = device + "/" + std::to_string(rate) + "/" + std::to_string(channels);
    if (const auto it = m_mixes.find(key); it != m_mixes.end()) {
        if (auto mix = it->second.lock(); mix && mix->Usable()) return mix;
    }
    // A failed mix stays with the buffers not restored yet; the restored ones get a new one.
    std::erase_if(m_mixes, [](const auto& entry) { return entry.second.expired(); });
    auto mix = std::make_shared<PlaybackMix>(*this, device, rate, channels);
    if (mix->CreateStream() != kSoundOk) return nullptr;
    m_mixes[key] = mix;
    return mix;
}

}  // namespace morvika::sound
