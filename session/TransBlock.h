#pragma once
// A record block: the serialized bytes of one record, always together with their real size.
// The record header's total word (offset 8) says how much of it is in use; appends raise it,
// decoding lowers it in place. The default block is the null block (no bytes at all).

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

class CTransBlock {
public:
    CTransBlock() = default;
    // A copy of bytes received from elsewhere; decoding never reads beyond `size`.
    CTransBlock(const void* data, std::size_t size);

    bool IsNull() const noexcept { return m_bytes.empty(); }
    std::size_t Size() const noexcept { return m_bytes.size(); }
    const std::uint8_t* Data() const noexcept { return m_bytes.empty() ? nullptr : m_bytes.data(); }
    std::uint8_t* Data() noexcept { return m_bytes.empty() ? nullptr : m_bytes.data(); }
    std::span<const std::uint8_t> Bytes() const noexcept { return m_bytes; }

    void Reset() noexcept;

private:
    friend class CHalvoTransData;
    std::vector<std::uint8_t> m_bytes;
};
