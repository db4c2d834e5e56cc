#include "platform/capture/Stretch.h"

#include <algorithm>
#include <vector>

namespace morvika::capture {

namespace {

// The source span [first, last) that target index i covers when n source units map onto m.
void Span(int i, int n, int m, int& first, int& last)
{
    first = static_cast<int>(static_cast<std::int64_t>(i) * n / m);
    last = static_cast<int>(static_cast<std::int64_t>(i + 1) * n / m);
    if (last <= first) last = first + 1;
    last = std::min(last, n);
    first = std::min(first, n - 1);
}

}  // namespace

void StretchBgrxToBgr(const PixelView& source, std::uint8_t* target, int width, int height, int targetStride,
                      bool bottomUp)
{
    if (source.bits == nullptr || source.width <= 0 || source.height <= 0 || width <= 0 || height <= 0) return;
    std::vector<int> x0(static_cast<std::size_t>(width));
    std::vector<int> x1(static_cast<std::size_t>(width));
    for (int x = 0; x < width; ++x) Span(x, source.width, width, x0[x], x1[x]);
    std::vector<std::uint32_t> sums(static_cast<std::size_t>(width) * 3);

    for (int y = 0; y < height; ++y) {
        int y0 = 0;
        int y1 = 0;
        Span(y, source.height, height, y0, y1);
        std::fill(sums.begin(), sums.end(), 0u);
        for (int sy = y0; sy < y1; ++sy) {
            const std::uint8_t* row = source.bits + static_cast<std::ptrdiff_t>(sy) * source.stride;
            for (int x = 0; x < width; ++x) {
                std::uint32_t* sum = &sums[static_cast<std::size_t>(x) * 3];
                for (int sx = x0[x]; sx < x1[x]; ++sx) {
                    const std::uint8_t* p = row + sx * 4;
                    sum[0] += p[0];
                    sum[1] += p[1];
                    sum[2] += p[2];
                }
            }
        }
        const int outRow = bottomUp ? height - 1 - y : y;
        std::uint8_t* out = target + static_cast<std::ptrdiff_t>(outRow) * targetStride;
        for (int x = 0; x < width; ++x) {
            const std::uint32_t count = static_cast<std::uint32_t>((x1[x] - x0[x]) * (y1 - y0));
            const std::uint32_t* sum = &sums[static_cast<std::size_t>(x) * 3];
            out[x * 3 + 0] = static_cast<std::uint8_t>((sum[0] + count / 2) / count);
            out[x * 3 + 1] = static_cast<std::uint8_t>((sum[1] + count / 2) / count);
            out[x * 3 + 2] = static_cast<std::uint8_t>((sum[2] + count / 2) / count);
        }
    }
}

}  // namespace morvika::capture
