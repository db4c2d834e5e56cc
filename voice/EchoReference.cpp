#include "voice/EchoReference.h"

#include <algorithm>
#include <chrono>
#include <cmath>

std::int64_t CEchoReference::NowTick()
{
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::microseconds>(since).count() * kRate / 1000000;
}

void CEchoReference::Add(std::int64_t tick, const std::int16_t* samples, std::size_t count, double gain)
{
    if (samples == nullptr || count == 0 || gain <= 0 || !m_started.load(std::memory_order_acquire)) return;
    const std::int64_t read = m_readTick.load(std::memory_order_acquire);
    // Keep a margin to the reader on both sides: a slot it is clearing now, or one a lap ahead.
    const std::int64_t first = std::max(tick, read);
    const std::int64_t last = std::min(tick + static_cast<std::int64_t>(count), read + std::int64_t{kSamples} - 1024);
    for (std::int64_t t = first; t < last; ++t) {
        const double v = samples[t - tick] * gain;
        const auto scaled = static_cast<std::int32_t>(std::clamp(v, -1e6, 1e6));
        if (scaled != 0) m_sum[static_cast<std::size_t>(t) % kSamples].fetch_add(scaled, std::memory_order_relaxed);
    }
}

void CEchoReference::Take(std::int64_t tick, std::int16_t* out, std::size_t count)
{
    const std::int64_t end = tick + static_cast<std::int64_t>(count);
    std::int64_t read = m_readTick.load(std::memory_order_relaxed);
    if (!m_started.load(std::memory_order_relaxed) || end - read > std::int64_t{kSamples}) {
        // First read, or after a long pause: whatever the ring holds is stale.
        for (auto& slot : m_sum) slot.store(0, std::memory_order_relaxed);
        read = tick;
        m_readTick.store(read, std::memory_order_release);
        m_started.store(true, std::memory_order_release);
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t t = tick + static_cast<std::int64_t>(i);
        std::int32_t v = 0;
        if (t >= read) v = m_sum[static_cast<std::size_t>(t) % kSamples].exchange(0, std::memory_order_relaxed);
        out[i] = static_cast<std::int16_t>(std::clamp<std::int32_t>(v, -32768, 32767));
    }
    // Slots skipped between reads are cleared too, or they would come back a lap later.
    for (std::int64_t t = read; t < std::min(tick, end); ++t) {
        m_sum[static_cast<std::size_t>(t) % kSamples].store(0, std::memory_order_relaxed);
    }
    if (end > read) m_readTick.store(end, std::memory_order_release);
}

std::int64_t CStreamClock::Observe(std::int64_t position, std::int64_t now)
{
    const std::int64_t estimate = now - position;
    if (!m_valid) {
        m_valid = true;
        m_origin = estimate;
    } else {
        // Up by at most one sample per 0.1 s of clock (90 ppm), down at once.
        const std::int64_t rise = std::max<std::int64_t>(0, (now - m_lastNow) / (CEchoReference::kRate / 10));
        m_origin = std::min(m_origin + rise, estimate);
    }
    m_lastNow = now;
    return m_origin;
}
