#include "voice/VoiceJoinBuffer.h"

#include <cstring>
#include <mutex>

namespace {
std::mutex& JoinBufferLock()
{
    static std::mutex lock;
    return lock;
}
}  // namespace

void CVoiceJoinBuffer::Append(const std::uint8_t* data, std::uint32_t length)
{
    std::lock_guard lock(JoinBufferLock());
    if (!m_pInput) {
        m_pInput = std::make_unique<std::uint8_t[]>(kVoiceJoinBufferSize);
        m_dwCount = 0;
    }
    if (data == nullptr || std::uint64_t{m_dwCount} + length >= kVoiceJoinBufferSize) return;
    std::memcpy(m_pInput.get() + m_dwCount, data, length);
    m_dwCount += length;
}

const std::uint8_t* CVoiceJoinBuffer::Take(std::uint32_t& length)
{
    std::lock_guard lock(JoinBufferLock());
    if (!m_pOutput) m_pOutput = std::make_unique<std::uint8_t[]>(kVoiceJoinBufferSize);
    if (m_dwCount == 0) return nullptr;
    std::memcpy(m_pOutput.get(), m_pInput.get(), m_dwCount);
    length = m_dwCount;
    m_dwCount = 0;
    return m_pOutput.get();
}
