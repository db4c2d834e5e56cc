// The cost of one window-sharing second: resampling the captured window, comparing it with
// the last picture sent and compressing it; against the camera's own frame (320 x 240) as the
// baseline. With DISPLAY set, also the X server read of the active window.
//   share_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "platform/capture/Stretch.h"
#include "platform/capture/WindowCapture.h"
#include "app/WindowMessages.h"
#include "share/AppShare.h"
#include "video/JpegBuffer.h"
#include "platform/winmsg/WinMsgPayload.h"

namespace {

// A window of ordinary content: panels, a gradient and lines of "text".
std::vector<std::uint8_t> WindowPixels(int width, int height, int variant)
{
    std::vector<std::uint8_t> bgrx(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &bgrx[(static_cast<std::size_t>(y) * width + x) * 4];
            const bool text = (y % 18) < 11 && (y / 18) % 3 != 0 && ((x * 7 + y * 3 + variant) % 11) < 5 && x > 40;
            const std::uint8_t panel = static_cast<std::uint8_t>(x < 200 ? 225 : 250 - y * 20 / height);
            p[0] = text ? 30 : panel;
            p[1] = text ? 30 : static_cast<std::uint8_t>(panel - 5);
            p[2] = text ? 40 : static_cast<std::uint8_t>(panel - (x < 200 ? 20 : 0));
            p[3] = 0;
        }
    }
    return bgrx;
}

class BenchSource : public IShareSource {
public:
    BenchSource(int width, int height) : m_width(width), m_height(height)
    {
        m_variants[0] = WindowPixels(width, height, 0);
        m_variants[1] = WindowPixels(width, height, 1);
    }
    WindowId Foreground() override { return 1; }
    bool WindowSize(WindowId, int& width, int& height) override
    {
        width = m_width;
        height = m_height;
        return true;
    }
    bool StretchCopy(WindowId, const DibSection& target) override
    {
        const auto& pixels = m_variants[changing ? (m_frame++ & 1) : 0];
        const morvika::capture::PixelView view{pixels.data(), m_width, m_height, m_width * 4};
        morvika::capture::StretchBgrxToBgr(view, target.bmBits, target.bmWidth, target.bmHeight, target.bmWidthBytes,
                                           true);
        return true;
    }
    bool changing = true;

private:
    int m_width;
    int m_height;
    unsigned m_frame = 0;
    std::vector<std::uint8_t> m_variants[2];
};

class CountingSink : public CMsgTarget {
public:
    LRESULT WindowProc(UINT message, WPARAM, LPARAM lParam) override
    {
        const auto* block = SentPayload<const SendBlock>(lParam);
        if (message == WM_JPEG_FRAME && block != nullptr) bytes += block->count;
        ++frames;
        return 0;
    }
    std::uint64_t frames = 0;
    std::uint64_t bytes = 0;
};

void RunShare(benchmark::State& state, int width, int height, bool changing)
{
    auto source = std::make_unique<BenchSource>(width, height);
    source->changing = changing;
    CountingSink sink;
    CAppShare share(std::move(source));
    share.SetWnd(sink.Handle());
    share.SetSharing(true);
    share.CaptureFrame();  // the first picture is always new
    const std::uint64_t before = sink.frames;
    for (auto _ : state) share.CaptureFrame();
    state.counters["sent"] =
        benchmark::Counter(static_cast<double>(sink.frames - before), benchmark::Counter::kAvgIterations);
    if (sink.frames > 0)
        state.counters["jpeg_bytes"] = static_cast<double>(sink.bytes) / static_cast<double>(sink.frames);
}

// An 800 x 600 window that changes every second: resample (1:1), compare, encode.
void BM_Share800x600Changed(benchmark::State& state)
{
    RunShare(state, 800, 600, true);
}
// The same window unchanged: resample and one full comparison, nothing sent.
void BM_Share800x600Unchanged(benchmark::State& state)
{
    RunShare(state, 800, 600, false);
}
// A 1600 x 1200 window, shrunk to 800 x 600 first.
void BM_Share1600x1200Changed(benchmark::State& state)
{
    RunShare(state, 1600, 1200, true);
}

// Baseline: the camera element's work per frame, a 320 x 240 picture at the same settings.
void BM_CameraFrame320x240(benchmark::State& state)
{
    const auto pixels = WindowPixels(320, 240, 0);
    std::vector<unsigned char> bits(static_cast<std::size_t>(DibStride(24, 320)) * 240);
    morvika::capture::StretchBgrxToBgr({pixels.data(), 320, 240, 320 * 4}, bits.data(), 320, 240,
                                       static_cast<int>(DibStride(24, 320)), true);
    const DibSection section{320, 240, static_cast<std::int32_t>(DibStride(24, 320)), 1, 24, bits.data()};
    const OskelJpegControlData settings;
    for (auto _ : state) {
        std::uint32_t length = 0;
        benchmark::DoNotOptimize(JpegBuffer::EncodeBitmap(section, settings, length));
    }
}

// The X server read of the active window (only with a display and an active window).
void BM_X11GrabActiveWindow(benchmark::State& state)
{
    auto capture = morvika::capture::WindowCapture::Open();
    const auto active = capture ? capture->ActiveWindow() : 0;
    const auto frame = active != 0 ? capture->FrameOf(active) : 0;
    if (frame == 0) {
        state.SkipWithError("no X11 display with an active window");
        return;
    }
    morvika::capture::CapturedImage image;
    for (auto _ : state) benchmark::DoNotOptimize(capture->Grab(frame, image));
    state.counters["width"] = image.width;
    state.counters["height"] = image.height;
}

}  // namespace

BENCHMARK(BM_CameraFrame320x240)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Share800x600Changed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Share800x600Unchanged)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Share1600x1200Changed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_X11GrabActiveWindow)->Unit(benchmark::kMillisecond);
