#pragma once
// Resampling of a 32-bit BGRX picture into a 24-bit BGR one of another size.

#include <cstdint>

namespace morvika::capture {

// A picture in memory: rows of `stride` bytes, first row at `bits`.
struct PixelView {
    const std::uint8_t* bits = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
};

// Stretches a top-down BGRX source over a 24-bit BGR target of width x height with rows of
// `targetStride` bytes; bottomUp stores the picture's top row last. Shrinking averages the
// source pixels each target pixel covers, so text stays legible at half size; enlarging
// repeats pixels.
void StretchBgrxToBgr(const PixelView& source, std::uint8_t* target, int width, int height, int targetStride,
                      bool bottomUp);

}  // namespace morvika::capture
