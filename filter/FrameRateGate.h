#pragma once
// The frame dump element's rate limit: a frame passes when it starts at least one frame
// interval after the last frame let through. Times are in 100-ns units.

#include <cstdint>

class CFrameRateGate {
public:
    static constexpr std::uint32_t kUnitsPerSecond = 10'000'000;

    // True when a frame starting at `start` may pass at `frameRate` frames per second.
    // While the last start time is 0 every frame passes (so the first two always do).
    bool Admits(std::int64_t start, std::int32_t frameRate) const
    {
        if (m_llLastStart == 0) {
            return true;
        }
        const std::int64_t interval = kUnitsPerSecond / static_cast<std::uint32_t>(frameRate);
        return start >= m_llLastStart + interval;
    }

    void Passed(std::int64_t start) { m_llLastStart = start; }
    // A new segment starts time again.
    void Reset() { m_llLastStart = 0; }
    std::int64_t LastStart() const { return m_llLastStart; }

private:
    std::int64_t m_llLastStart = 0;
};
