#pragma once
// 24-bit device-independent bitmaps: blue, green, red bytes, rows padded to 4 bytes,
// stored bottom-up (the first row in memory is the picture's bottom row).

#include <cstdint>

// The 40-byte bitmap header of a device-independent bitmap.
struct BitmapInfoHeader {
    std::uint32_t biSize = sizeof(BitmapInfoHeader);
    std::int32_t biWidth = 0;
    std::int32_t biHeight = 0;  // positive: bottom-up
    std::uint16_t biPlanes = 1;
    std::uint16_t biBitCount = 24;
    std::uint32_t biCompression = 0;
    std::uint32_t biSizeImage = 0;
    std::int32_t biXPelsPerMeter = 0;
    std::int32_t biYPelsPerMeter = 0;
    std::uint32_t biClrUsed = 0;
    std::uint32_t biClrImportant = 0;
};
static_assert(sizeof(BitmapInfoHeader) == 40);

// The bitmap record of a device-independent section: its size and where its pixels are.
struct DibSection {
    std::int32_t bmWidth = 0;
    std::int32_t bmHeight = 0;
    std::int32_t bmWidthBytes = 0;
    std::uint16_t bmPlanes = 1;
    std::uint16_t bmBitsPixel = 24;
    unsigned char* bmBits = nullptr;
};

// Bytes per row: the bits rounded up to whole 32-bit words.
constexpr std::uint32_t DibStride(std::uint32_t bitsPerPixel, std::uint32_t width)
{
    return ((bitsPerPixel * width + 31) >> 3) & ~3u;
}
