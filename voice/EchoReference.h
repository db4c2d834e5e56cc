#pragma once
// What the speakers play, as one signal on a shared clock: every playback object adds the sound
// it writes at the time it will be handed to the sound server, and the capture reads back the
// stretch its block covers, as the canceller's far end. Lock-free: the sound threads never wait
// on each other here.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

class CEchoReference {
public:
    static constexpr int kRate = 11025;
    // About three seconds; writes further ahead than the ring reaches are dropped.
    static constexpr std::size_t kSamples = 1u << 15;

    // Samples of kRate since an arbitrary start of the monotonic clock.
    static std::int64_t NowTick();

    // Sound threads of the playbacks: adds samples starting at the tick, scaled by gain.
    // Samples at ticks the capture has read already are lost, and so are those more than the
    // ring ahead of it.
    void Add(std::int64_t tick, const std::int16_t* samples, std::size_t count, double gain);

    // Capture's sound thread: the sum at [tick, tick + count), and everything before it is
    // forgotten. Ticks before the previous read give silence.
    void Take(std::int64_t tick, std::int16_t* out, std::size_t count);

private:
    std::array<std::atomic<std::int32_t>, kSamples> m_sum{};
    // Everything below this tick has been read (or skipped) and cleared.
    std::atomic<std::int64_t> m_readTick{0};
    std::atomic<bool> m_started{false};
};

// The mapping of one stream's sample count onto the shared clock. Wake-ups only come late, so
// the earliest estimate is the best; it may rise slowly, for a device clock a little slower than
// the system's.
class CStreamClock {
public:
    // Forgets the stream's start (a new talk spurt, a new capture).
    void Reset() { m_valid = false; }
    // The stream has passed `position` samples at `now`; returns the tick of sample 0.
    std::int64_t Observe(std::int64_t position, std::int64_t now);
    bool Valid() const { return m_valid; }
    std::int64_t Origin() const { return m_origin; }

private:
    bool m_valid = false;
    std::int64_t m_origin = 0;
    std::int64_t m_lastNow = 0;
};
