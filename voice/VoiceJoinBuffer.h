#pragma once
// Collects PCM to be written into a ring as one piece. Every join buffer shares one lock.

#include <cstdint>
#include <memory>

inline constexpr std::uint32_t kVoiceJoinBufferSize = 44100;

class CVoiceJoinBuffer {
public:
    CVoiceJoinBuffer() = default;
    virtual ~CVoiceJoinBuffer() = default;
    CVoiceJoinBuffer(const CVoiceJoinBuffer&) = delete;
    CVoiceJoinBuffer& operator=(const CVoiceJoinBuffer&) = delete;

    // Data that would not fit is dropped without notice.
    void Append(const std::uint8_t* data, std::uint32_t length);
    // The collected bytes (valid until the next Take), or null when there are none.
    const std::uint8_t* Take(std::uint32_t& length);

private:
    std::unique_ptr<std::uint8_t[]> m_pInput;
    std::uint32_t m_dwCount = 0;
    std::unique_ptr<std::uint8_t[]> m_pOutput;
};
