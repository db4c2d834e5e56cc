#pragma once
// Morvika's own voice codec: quantisation with a bit-plane split, then byte run-length
// coding and nibble-pair coding where they shrink the data. Stateless between packets.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "voice/AudioCodec.h"

// byFlags bits.
inline constexpr std::uint8_t VCF_PLANES = 0x01;
inline constexpr std::uint8_t VCF_RUNLENGTH = 0x02;
inline constexpr std::uint8_t VCF_NIBBLEPAIRS = 0x08;
inline constexpr std::uint8_t VCF_COARSE = 0x10;

inline constexpr std::size_t kVoicePacketHeaderSize = 12;
inline constexpr std::uint32_t kVoiceMaxPcmSize = 0xB800;
// Decode needs this much room beyond the PCM size in work1.
inline constexpr std::size_t kVoiceDecodeSlack = 1024;

class CVoiceCodec : public CAudioCodec {
public:
    CVoiceCodec() = default;
    ~CVoiceCodec() override;
    CVoiceCodec(const CVoiceCodec&) = delete;
    CVoiceCodec& operator=(const CVoiceCodec&) = delete;

    int Encode(const std::uint8_t* pcm, std::uint32_t n, std::uint8_t* work1, std::uint8_t* work2, std::size_t workSize,
               int mode, std::int16_t dc) override;
    int Decode(const std::uint8_t* packet, std::size_t packetSize, std::uint8_t* work1, std::uint8_t* work2,
               std::size_t workSize) override;
    std::unique_ptr<std::uint8_t[]> MakePacket(std::size_t& size) override;
    // The same packet written into the caller's buffer (the capture's, reused for every
    // block): its size, or 0 when it needs more than room.
    std::size_t PacketSize() const { return kVoicePacketHeaderSize + wEncodedSize; }
    std::size_t WritePacket(std::uint8_t* out, std::size_t room) const;
    const std::uint8_t* GetData(std::size_t& size) const override;
    int PostDecode(std::uint8_t* data, std::size_t packetSize) override;
    // Undo stage 2 / stage 3; return the output length or 0 on failure.
    virtual std::uint32_t RunLengthDecode(const std::uint8_t* in, std::uint32_t k, std::uint8_t* out);
    virtual std::uint32_t NibblePairDecode(const std::uint8_t* in, std::uint32_t k, std::uint8_t* out);

    // Stage 2 and stage 3 coding: the output length, or 0 when the stage would not shrink the
    // data. out needs n + 3 bytes. Each picks its escape from the counts of its own input.
    std::uint32_t RunLengthEncode(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out);
    std::uint32_t NibblePairEncode(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out);

    // Low bits cleared by a quality mode.
    static int ShiftForMode(int mode);
    // The quantised value of one sample, as stage 1 computes it.
    static std::int16_t Quantise(std::int16_t sample, int mode, std::int16_t dc);

    // Header fields of the last packet encoded or decoded.
    std::uint32_t dwTicks = 0;
    std::uint16_t wReserved = 0;
    std::uint8_t byFlags = 0;
    std::uint8_t byEscape = 0;
    std::uint16_t wPcmSize = 0;
    std::uint16_t wEncodedSize = 0;

private:
    using CountTable = std::array<std::uint16_t, 256>;

    void SplitPlanes(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out, int mode, std::int16_t dc);
    static void JoinPlanes(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out);
    bool CountBytes(const std::uint8_t* in, std::uint32_t n);
    std::uint8_t LeastUsedByte() const;

    std::uint8_t* pWork1 = nullptr;
    std::uint8_t* pWork2 = nullptr;
    std::unique_ptr<CountTable> m_pCounts;
};
