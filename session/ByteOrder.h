#pragma once
// Little-endian 32-bit words of the wire formats, independent of the host's byte order
// and of alignment.

#include <cstdint>

namespace morvika::wire {

inline std::uint32_t LoadU32(const std::uint8_t* p) noexcept
{
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

inline void StoreU32(std::uint8_t* p, std::uint32_t value) noexcept
{
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
    p[2] = static_cast<std::uint8_t>(value >> 16);
    p[3] = static_cast<std::uint8_t>(value >> 24);
}

}  // namespace morvika::wire
