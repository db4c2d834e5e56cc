// The JPEG object against libjpeg-turbo called directly with the same settings: a camera
// frame (320x240) compressed at the defaults, and decoded at target width 160.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

#include "video/OskelJpegObject.h"

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
const std::uint32_t kStride = DibStride(24, kWidth);

// A camera-like picture: smooth shading, edges and a little sensor noise.
const std::vector<unsigned char>& CameraFrame()
{
    static const std::vector<unsigned char> frame = [] {
        std::vector<unsigned char> pixels(static_cast<std::size_t>(kStride) * kHeight, 0);
        std::uint32_t noise = 12345;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                noise = noise * 1664525u + 1013904223u;
                const int n = static_cast<int>(noise >> 28) - 8;
                const bool box = x > 100 && x < 220 && y > 60 && y < 180;
                unsigned char* px = &pixels[static_cast<std::size_t>(y) * kStride + static_cast<std::size_t>(x) * 3];
                px[0] = static_cast<unsigned char>(std::clamp(x * 200 / kWidth + n + (box ? 40 : 0), 0, 255));
                px[1] = static_cast<unsigned char>(std::clamp(y * 220 / kHeight + n, 0, 255));
                px[2] = static_cast<unsigned char>(std::clamp(120 + n + (box ? -60 : 0), 0, 255));
            }
        }
        return pixels;
    }();
    return frame;
}

std::vector<unsigned char> EncodeOnce()
{
    OskelJpegObject encoder;
    BitmapInfoHeader header;
    header.biWidth = kWidth;
    header.biHeight = kHeight;
    encoder.Encode(&header, CameraFrame().data(), static_cast<std::uint32_t>(CameraFrame().size()));
    return {encoder.OutputData(), encoder.OutputData() + encoder.OutputLength()};
}

void BM_Encode320x240_OskelJpegObject(benchmark::State& state)
{
    const auto& frame = CameraFrame();
    BitmapInfoHeader header;
    header.biWidth = kWidth;
    header.biHeight = kHeight;
    std::uint32_t bytes = 0;
    for (auto _ : state) {
        OskelJpegObject encoder;
        encoder.Encode(&header, frame.data(), static_cast<std::uint32_t>(frame.size()));
        bytes = encoder.OutputLength();
        benchmark::DoNotOptimize(encoder.OutputData());
    }
    state.counters["jpeg_bytes"] = bytes;
}
BENCHMARK(BM_Encode320x240_OskelJpegObject);

void BM_Encode320x240_LibjpegDirect(benchmark::State& state)
{
    const auto& frame = CameraFrame();
    unsigned long bytes = 0;
    for (auto _ : state) {
        jpeg_compress_struct cinfo;
        jpeg_error_mgr jerr;
        cinfo.err = jpeg_std_error(&jerr);
        jpeg_create_compress(&cinfo);
        unsigned char* out = nullptr;
        unsigned long outSize = 0;
        jpeg_mem_dest(&cinfo, &out, &outSize);
        cinfo.image_width = kWidth;
        cinfo.image_height = kHeight;
        cinfo.input_components = 3;
        cinfo.in_color_space = JCS_EXT_BGR;
        jpeg_set_defaults(&cinfo);
        jpeg_set_quality(&cinfo, 39, TRUE);
        cinfo.dct_method = JDCT_IFAST;
        jpeg_start_compress(&cinfo, TRUE);
        while (cinfo.next_scanline < cinfo.image_height) {
            JSAMPROW row =
                const_cast<JSAMPROW>(&frame[static_cast<std::size_t>(kHeight - 1 - cinfo.next_scanline) * kStride]);
            jpeg_write_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_compress(&cinfo);
        jpeg_destroy_compress(&cinfo);
        bytes = outSize;
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
    state.counters["jpeg_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Encode320x240_LibjpegDirect);

void BM_DecodeTarget160_OskelJpegObject(benchmark::State& state)
{
    const std::vector<unsigned char> jpeg = EncodeOnce();
    std::vector<unsigned char> pixels(static_cast<std::size_t>(DibStride(24, 160)) * 120);
    for (auto _ : state) {
        OskelJpegObject decoder;
        decoder.SetTargetWidth(160);
        decoder.BeginDecode(jpeg.data(), static_cast<std::uint32_t>(jpeg.size()), 0, 0);
        decoder.ReadAllRows(pixels.data());
        decoder.EndDecode();
        benchmark::DoNotOptimize(pixels.data());
    }
}
BENCHMARK(BM_DecodeTarget160_OskelJpegObject);

void BM_DecodeHalf_LibjpegDirect(benchmark::State& state)
{
    const std::vector<unsigned char> jpeg = EncodeOnce();
    const std::uint32_t stride = DibStride(24, 160);
    std::vector<unsigned char> pixels(static_cast<std::size_t>(stride) * 120);
    for (auto _ : state) {
        jpeg_decompress_struct cinfo;
        jpeg_error_mgr jerr;
        cinfo.err = jpeg_std_error(&jerr);
        jpeg_create_decompress(&cinfo);
        jpeg_mem_src(&cinfo, jpeg.data(), jpeg.size());
        jpeg_read_header(&cinfo, TRUE);
        cinfo.out_color_space = JCS_EXT_BGR;
        cinfo.scale_num = 1;
        cinfo.scale_denom = 2;
        jpeg_start_decompress(&cinfo);
        while (cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW row = &pixels[static_cast<std::size_t>(cinfo.output_height - 1 - cinfo.output_scanline) * stride];
            jpeg_read_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_decompress(&cinfo);
        jpeg_destroy_decompress(&cinfo);
        benchmark::DoNotOptimize(pixels.data());
    }
}
BENCHMARK(BM_DecodeHalf_LibjpegDirect);

}  // namespace
