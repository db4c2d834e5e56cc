// A received picture as a picture window handles it: queued, drained, decoded at paint in
// fit mode for a window width taken from the first byte, with a brightness from the second.
#include <cstddef>
#include <cstdint>

#include "video/PictureCore.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2 || size > UINT32_MAX) return 0;
    CPictureCore core;
    core.SetMaxPixels(512 * 512);
    core.SetFitMode((data[0] & 1) != 0);
    core.SetBrightness(static_cast<std::int8_t>(data[1]) % 32);
    core.Push(0, data + 2, static_cast<std::uint32_t>(size - 2));
    core.Drain();
    const PictureBitmap* bitmap = core.Bitmap(data[0]);
    if (bitmap != nullptr) {
        // Every row the painter will read is there.
        volatile unsigned char sink = 0;
        for (std::int32_t y = 0; y < bitmap->height; ++y) {
            sink = sink ^ bitmap->bits[static_cast<std::size_t>(bitmap->stride) * y + bitmap->stride - 1];
        }
    }
    return 0;
}
