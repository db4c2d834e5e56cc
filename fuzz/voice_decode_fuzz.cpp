// Decodes arbitrary bytes as a voice packet, with work buffers of exactly the required size
// so that any read or write outside them is caught, and checks that a decoded packet
// re-encodes to the same PCM.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "voice/VoiceCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The playback objects decode in one second of the default format.
    constexpr std::size_t kWork = 22050;
    std::vector<std::uint8_t> packet(data, data + size);  // exact size: overreads are caught
    std::vector<std::uint8_t> work1(kWork), work2(kWork);
    CVoiceCodec codec;
    if (codec.Decode(packet.data(), packet.size(), work1.data(), work2.data(), kWork) != 0) return 0;
    std::size_t pcmSize = 0;
    const std::uint8_t* pcm = codec.GetData(pcmSize);
    if (pcmSize > kWork || pcm != work1.data()) std::abort();
    if (pcmSize % 2 != 0 || pcmSize == 0) return 0;

    // Quantising in mode 0 with no offset changes PCM that came out of the plane stage of mode 0
    // only in its low two bits; encoding the decoded PCM must decode again.
    std::vector<std::uint8_t> copy(pcm, pcm + pcmSize);
    std::vector<std::uint8_t> e1(kWork), e2(kWork);
    CVoiceCodec encoder;
    if (encoder.Encode(copy.data(), static_cast<std::uint32_t>(copy.size()), e1.data(), e2.data(), kWork, 0, 0) != 0) {
        std::abort();
    }
    std::size_t packetSize = 0;
    auto again = encoder.MakePacket(packetSize);
    CVoiceCodec decoder;
    if (decoder.Decode(again.get(), packetSize, work1.data(), work2.data(), kWork) != 0) std::abort();
    std::size_t roundSize = 0;
    const std::uint8_t* round = decoder.GetData(roundSize);
    if (roundSize != copy.size()) std::abort();
    for (std::size_t i = 0; i + 1 < roundSize; i += 2) {
        const auto a = static_cast<std::int16_t>(copy[i] | (copy[i + 1] << 8));
        const auto b = static_cast<std::int16_t>(round[i] | (round[i + 1] << 8));
        if (CVoiceCodec::Quantise(a, 0, 0) != b) std::abort();
    }
    return 0;
}
