#pragma once
// Abstract audio codec: one block of PCM to one self-describing packet and back.

#include <cstddef>
#include <cstdint>
#include <memory>

class CAudioCodec {
public:
    virtual ~CAudioCodec() = default;

    // pcm: n bytes of 16-bit little-endian mono samples. The work buffers belong to the caller
    // and must each hold at least workSize bytes (n + 3 are needed). Returns 0 or 1.
    virtual int Encode(const std::uint8_t* pcm, std::uint32_t n, std::uint8_t* work1, std::uint8_t* work2,
                       std::size_t workSize, int mode, std::int16_t dc) = 0;
    // Decodes one packet of packetSize bytes; work buffers of workSize bytes each
    // (the packet's PCM size + 1024 are needed). Returns 0 or 1.
    virtual int Decode(const std::uint8_t* packet, std::size_t packetSize, std::uint8_t* work1, std::uint8_t* work2,
                       std::size_t workSize) = 0;
    // The packet of the last Encode; size is set even when the allocation fails.
    virtual std::unique_ptr<std::uint8_t[]> MakePacket(std::size_t& size) = 0;
    // The PCM of the last Decode (inside work1).
    virtual const std::uint8_t* GetData(std::size_t& size) const = 0;
    virtual int PostDecode(std::uint8_t* data, std::size_t packetSize) = 0;
};
