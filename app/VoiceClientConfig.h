#pragma once

#include <cstdint>

// The voice settings record: eight 32-bit fields, kept by the settings store under
// "VoiceClientConfig". Flags bit 0 mutes the microphone; Threshold is the codec's quality mode.
class CVoiceClientConfig {
public:
    static constexpr std::uint32_t kFlagMute = 0x01;
    static constexpr std::uint32_t kFlagDialog = 0x04;
    static constexpr std::uint32_t kFlagAutoGain = 0x08;

    // Automatic gain is never kept: both the getter and the setter drop bit 3.
    std::uint32_t GetFlags()
    {
        m_dwFlags &= ~kFlagAutoGain;
        return m_dwFlags;
    }
    void SetFlags(std::uint32_t flags) { m_dwFlags = flags & ~kFlagAutoGain; }

    // The raw field, without touching bit 3 (for readers that must not change the record).
    std::uint32_t RawFlags() const { return m_dwFlags; }

    std::uint32_t m_dwSize = 32;
    std::uint32_t m_dwFlags = 12;
    std::int32_t m_lRecordVolume = 1;
    std::int32_t m_lPlaybackVolume = 0;
    std::uint32_t m_dwThreshold = 7;
    std::uint32_t m_dwBufferQuality = 0;
    std::uint32_t m_dwBufferAggressiveness = 0;
    std::uint32_t m_dwNotifyPeriod = 20;

    friend bool operator==(const CVoiceClientConfig&, const CVoiceClientConfig&) = default;
};
