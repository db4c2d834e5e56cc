#include "session/TransBlock.h"

CTransBlock::CTransBlock(const void* data, std::size_t size)
{
    if (data && size > 0) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        m_bytes.assign(bytes, bytes + size);
    }
}

void CTransBlock::Reset() noexcept
{
    std::vector<std::uint8_t>().swap(m_bytes);
}
