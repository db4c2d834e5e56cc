#pragma once
// Pictures and raw libjpeg helpers shared by the JPEG tests.

#include <cstdint>
#include <vector>

#include "video/Bitmap.h"

struct TestBitmap {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<unsigned char> pixels;  // bottom-up BGR, 4-byte rows

    std::uint32_t Stride() const { return DibStride(24, static_cast<std::uint32_t>(width)); }
    BitmapInfoHeader Header() const;
    // The pixel at picture row `row` (0 = top) and column `x`: {b, g, r}.
    const unsigned char* PixelAt(std::int32_t row, std::int32_t x) const;
};

// A smooth pattern with a distinct top band (red) and bottom band (blue).
TestBitmap MakeBandedBitmap(std::int32_t width, std::int32_t height);
// Noise-like content that compresses badly (large outputs).
TestBitmap MakeNoisyBitmap(std::int32_t width, std::int32_t height, std::uint32_t seed);

// Compresses with the default settings through OskelJpegObject.
std::vector<unsigned char> EncodeDefault(const TestBitmap& bitmap);

// A grey (one component) JPEG made with libjpeg directly.
std::vector<unsigned char> MakeGreyJpeg(int width, int height, bool progressive = false);

// Decodes with libjpeg directly, top-down, 3 bytes per pixel in BGR order.
struct TopDownPicture {
    int width = 0;
    int height = 0;
    int firstQuantValue = 0;  // luminance table entry 0
    bool progressive = false;
    bool baseline = false;
    std::vector<unsigned char> rows;
};
bool DecodeDirect(const std::vector<unsigned char>& jpeg, TopDownPicture& out);
