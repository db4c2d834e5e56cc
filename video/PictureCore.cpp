#include "video/PictureCore.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "video/OskelJpegObject.h"

void ApplyBrightness(unsigned char* bytes, std::size_t count, std::int32_t brightness)
{
    if (brightness == 0) return;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t value = std::clamp(static_cast<std::int32_t>(bytes[i]) + brightness, 0, 255);
        bytes[i] = static_cast<unsigned char>(value);
    }
}

void ApplyBrightnessToWords(unsigned char* words, std::size_t count, std::int32_t brightness)
{
    if (brightness == 0) return;
    // Where the word's top byte, the opaque one, sits in memory.
    constexpr std::size_t kColours = std::endian::native == std::endian::little ? 0 : 1;
    for (std::size_t i = 0; i < count; ++i) ApplyBrightness(words + 4 * i + kColours, 3, brightness);
}

void CPictureCore::Push(std::uintptr_t type, const void* data, std::uint32_t length)
{
    Record record{type, {}};
    if (data != nullptr && length > 0) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        record.bytes.assign(bytes, bytes + length);
    }
    m_queue.push_back(std::move(record));
}

bool CPictureCore::Drain()
{
    if (m_queue.empty()) return false;
    m_current = std::move(m_queue.front().bytes);
    m_queue.pop_front();
    m_bHaveBitmap = false;
    return true;
}

const PictureBitmap* CPictureCore::Bitmap(std::int32_t windowWidth)
{
    // A picture fitted to another width is decoded again: one decoded for a small window
    // would stay coarse once the window grows.
    if (m_bHaveBitmap && (!m_bFit || windowWidth == m_nFittedWidth)) return &m_bitmap;
    m_bHaveBitmap = false;
    m_nFittedWidth = windowWidth;
    if (m_current.empty()) return nullptr;
    ++m_nDecodes;
    OskelJpegObject jpeg;
    jpeg.SetScreenOutput(true);
    if (m_nMaxPixels != 0) jpeg.SetMaxPixels(m_nMaxPixels);
    if (m_bFit) {
        jpeg.SetTargetWidth(std::max(windowWidth, 1));
        jpeg.BeginDecode(m_current.data(), static_cast<std::uint32_t>(m_current.size()), 0, 0);
    } else {
        jpeg.BeginDecode(m_current.data(), static_cast<std::uint32_t>(m_current.size()), 1, 1);
    }
    const std::uint32_t width = jpeg.OutputWidth();
    const std::uint32_t height = jpeg.OutputHeight();
    if (jpeg.DecodeState() <= 0 || width == 0 || height == 0) {
        jpeg.EndDecode();
        return nullptr;
    }
    const std::uint32_t stride = ScreenStride(width);
    try {
        m_bitmap.bits.resize(static_cast<std::size_t>(stride) * height);
    } catch (const std::bad_alloc&) {
        jpeg.EndDecode();
        return nullptr;
    }
    jpeg.ReadAllRows(m_bitmap.bits.data());
    if (jpeg.DecodeState() != 1) {
        jpeg.EndDecode();
        return nullptr;
    }
    ApplyBrightnessToWords(m_bitmap.bits.data(), static_cast<std::size_t>(width) * height, m_nBrightness);
    jpeg.EndDecode();
    m_bitmap.width = static_cast<std::int32_t>(width);
    m_bitmap.height = static_cast<std::int32_t>(height);
    m_bitmap.stride = stride;
    m_bHaveBitmap = true;
    return &m_bitmap;
}
