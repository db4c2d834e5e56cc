// Decodes arbitrary bytes as a JPEG block, at full size or at a target width chosen by the
// last byte, as received pictures are decoded.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "video/OskelJpegObject.h"

namespace {
// Smaller than the object's own limit so that each input stays quick to decode; the limit
// check itself is the same code.
constexpr std::uint64_t kFuzzMaxPixels = 512 * 512;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > UINT32_MAX) {
        return 0;
    }
    OskelJpegObject decoder;
    decoder.SetMaxPixels(kFuzzMaxPixels);
    const bool targetMode = size > 0 && (data[size - 1] & 1) != 0;
    if (targetMode) {
        decoder.SetTargetWidth(static_cast<std::int32_t>(data[size - 1]) - 64);
        decoder.BeginDecode(data, static_cast<std::uint32_t>(size), 0, 0);
    } else {
        decoder.BeginDecode(data, static_cast<std::uint32_t>(size), 1, 1);
    }
    if (decoder.DecodeState() == 1) {
        std::vector<unsigned char> pixels(static_cast<std::size_t>(DibStride(24, decoder.OutputWidth())) *
                                          decoder.OutputHeight());
        decoder.ReadAllRows(pixels.data());
    }
    decoder.EndDecode();
    return 0;
}
