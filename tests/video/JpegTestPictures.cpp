#include "JpegTestPictures.h"

#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

#include "video/OskelJpegObject.h"

BitmapInfoHeader TestBitmap::Header() const
{
    BitmapInfoHeader header;
    header.biWidth = width;
    header.biHeight = height;
    return header;
}

const unsigned char* TestBitmap::PixelAt(std::int32_t row, std::int32_t x) const
{
    const std::size_t memoryRow = static_cast<std::size_t>(height - 1 - row);
    return pixels.data() + memoryRow * Stride() + static_cast<std::size_t>(x) * 3;
}

TestBitmap MakeBandedBitmap(std::int32_t width, std::int32_t height)
{
    TestBitmap bitmap{width, height, {}};
    bitmap.pixels.assign(static_cast<std::size_t>(bitmap.Stride()) * height, 0);
    for (std::int32_t row = 0; row < height; ++row) {
        unsigned char* line = bitmap.pixels.data() + static_cast<std::size_t>(height - 1 - row) * bitmap.Stride();
        for (std::int32_t x = 0; x < width; ++x) {
            unsigned char* px = line + static_cast<std::size_t>(x) * 3;
            if (row < height / 4) {  // top band: red
                px[0] = 20, px[1] = 20, px[2] = 230;
            } else if (row >= height - height / 4) {  // bottom band: blue
                px[0] = 230, px[1] = 20, px[2] = 20;
            } else {
                px[0] = static_cast<unsigned char>(x * 255 / width);
                px[1] = 128;
                px[2] = static_cast<unsigned char>(row * 255 / height);
            }
        }
    }
    return bitmap;
}

TestBitmap MakeNoisyBitmap(std::int32_t width, std::int32_t height, std::uint32_t seed)
{
    TestBitmap bitmap{width, height, {}};
    bitmap.pixels.assign(static_cast<std::size_t>(bitmap.Stride()) * height, 0);
    std::uint32_t state = seed;
    for (auto& byte : bitmap.pixels) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<unsigned char>(state >> 24);
    }
    return bitmap;
}

std::vector<unsigned char> EncodeDefault(const TestBitmap& bitmap)
{
    OskelJpegObject encoder;
    const BitmapInfoHeader header = bitmap.Header();
    if (encoder.Encode(&header, bitmap.pixels.data(), static_cast<std::uint32_t>(bitmap.pixels.size())) != 0) {
        return {};
    }
    return {encoder.OutputData(), encoder.OutputData() + encoder.OutputLength()};
}

std::vector<unsigned char> MakeGreyJpeg(int width, int height, bool progressive)
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&cinfo, &out, &outSize);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = 1;
    cinfo.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    if (progressive) jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<unsigned char> row(static_cast<std::size_t>(width));
    while (cinfo.next_scanline < cinfo.image_height) {
        for (int x = 0; x < width; ++x) row[static_cast<std::size_t>(x)] = static_cast<unsigned char>(x * 255 / width);
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&cinfo, &p, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<unsigned char> jpeg(out, out + outSize);
    std::free(out);
    return jpeg;
}

bool DecodeDirect(const std::vector<unsigned char>& jpeg, TopDownPicture& out)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), jpeg.size());
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    out.progressive = cinfo.progressive_mode != 0;
    cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&cinfo);
    out.baseline = true;
    for (int c = 0; c < NUM_QUANT_TBLS; ++c) {
        if (cinfo.quant_tbl_ptrs[c] != nullptr) {
            for (int i = 0; i < DCTSIZE2; ++i) {
                if (cinfo.quant_tbl_ptrs[c]->quantval[i] > 255) out.baseline = false;
            }
        }
    }
    out.firstQuantValue = cinfo.quant_tbl_ptrs[0]->quantval[0];
    out.width = static_cast<int>(cinfo.output_width);
    out.height = static_cast<int>(cinfo.output_height);
    out.rows.assign(static_cast<std::size_t>(out.width) * 3 * static_cast<std::size_t>(out.height), 0);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW p =
            out.rows.data() + static_cast<std::size_t>(cinfo.output_scanline) * static_cast<std::size_t>(out.width) * 3;
        jpeg_read_scanlines(&cinfo, &p, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}
