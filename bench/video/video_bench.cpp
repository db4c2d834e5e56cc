// What a picture window costs per paint: decoding a camera frame into a 160 x 120 window in
// fit mode (reduced to 160 by the codec), and the whole paint with the stretch.
#include <benchmark/benchmark.h>

#include <QImage>
#include <QPainter>

#include <cmath>
#include <cstring>
#include <vector>

#include "video/OskelJpegObject.h"
#include "video/PictureCore.h"
#include "video/PictureWnd.h"

namespace {

// A 320 x 240 frame like the test camera's, compressed with the default settings.
std::vector<unsigned char> CameraFrame(int width, int height)
{
    const std::uint32_t stride = DibStride(24, static_cast<std::uint32_t>(width));
    std::vector<unsigned char> pixels(static_cast<std::size_t>(stride) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            unsigned char* p = pixels.data() + static_cast<std::size_t>(stride) * y + 3 * x;
            p[0] = static_cast<unsigned char>((x * 255) / width);
            p[1] = static_cast<unsigned char>((y * 255) / height);
            p[2] = static_cast<unsigned char>(128 + 100 * std::sin((x + y) / 9.0));
        }
    }
    BitmapInfoHeader header;
    header.biWidth = width;
    header.biHeight = height;
    OskelJpegObject jpeg;
    jpeg.Encode(&header, pixels.data(), static_cast<std::uint32_t>(pixels.size()));
    return {jpeg.OutputData(), jpeg.OutputData() + jpeg.OutputLength()};
}

void BM_DecodePerPaintFit160(benchmark::State& state)
{
    const int width = static_cast<int>(state.range(0));
    const auto frame = CameraFrame(width, width * 3 / 4);
    CPictureCore core;
    core.SetFitMode(true);
    for (auto _ : state) {
        core.Push(0, frame.data(), static_cast<std::uint32_t>(frame.size()));
        core.Drain();
        benchmark::DoNotOptimize(core.Bitmap(160));
    }
    state.counters["jpeg_bytes"] = static_cast<double>(frame.size());
}
BENCHMARK(BM_DecodePerPaintFit160)->Arg(320)->Arg(640)->Unit(benchmark::kMicrosecond);

void BM_FullPaintFit(benchmark::State& state)
{
    // A peer's window: 160 wide in the small view, 320 in the medium one (the default).
    const auto width = static_cast<int>(state.range(0));
    const auto frame = CameraFrame(320, 240);
    CPictureCore core;
    core.SetFitMode(true);
    QImage target(width, width * 3 / 4, QImage::Format_RGB32);
    for (auto _ : state) {
        core.Push(0, frame.data(), static_cast<std::uint32_t>(frame.size()));
        core.Drain();
        const PictureBitmap* bitmap = core.Bitmap(width);
        QPainter painter(&target);
        painter.drawImage(target.rect(), ScreenImage(*bitmap));
    }
}
BENCHMARK(BM_FullPaintFit)->Arg(160)->Arg(320)->Unit(benchmark::kMicrosecond);

void BM_DecodeFullSize320(benchmark::State& state)
{
    const auto frame = CameraFrame(320, 240);
    CPictureCore core;
    core.SetFitMode(false);
    for (auto _ : state) {
        core.Push(0, frame.data(), static_cast<std::uint32_t>(frame.size()));
        core.Drain();
        benchmark::DoNotOptimize(core.Bitmap(160));
    }
}
BENCHMARK(BM_DecodeFullSize320)->Unit(benchmark::kMicrosecond);

}  // namespace
