#pragma once
// What a picture window keeps: the queue of JPEG copies handed to it, the newest JPEG, and
// the bitmap decoded from it when the window paints. Free of widgets.

#include <cstdint>
#include <deque>
#include <vector>

#include "video/Bitmap.h"

// A window message's copy-data record: identifier, length, bytes (the bytes stay the sender's).
struct COPYDATASTRUCT {
    std::uintptr_t dwData;
    std::uint32_t cbData;
    const void* lpData;
};

// A decoded picture as the screen takes it: top-down rows of 32-bit 0xffRRGGBB words.
struct PictureBitmap {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint32_t stride = 0;
    std::vector<unsigned char> bits;
};

// Adds `brightness` to every byte: below 0 subtracts down to 0, above 0 adds up to 255.
void ApplyBrightness(unsigned char* bytes, std::size_t count, std::int32_t brightness);
// The same on the colour bytes of `count` 0xffRRGGBB words; the opaque byte stays.
void ApplyBrightnessToWords(unsigned char* words, std::size_t count, std::int32_t brightness);

class CPictureCore {
public:
    struct Record {
        std::uintptr_t type;
        std::vector<unsigned char> bytes;
    };

    // Queues a copy of the block.
    void Push(std::uintptr_t type, const void* data, std::uint32_t length);
    // Takes the oldest record as the current JPEG and drops the bitmap; false when empty.
    bool Drain();
    std::size_t QueuedCount() const { return m_queue.size(); }

    // The bitmap of the current JPEG, decoding it first when there is none; null when there
    // is nothing to show (no JPEG, or it does not decode). In fit mode the picture is
    // reduced by a power of two until it is at most `windowWidth` wide, and decoded again
    // when the window's width changes.
    const PictureBitmap* Bitmap(std::int32_t windowWidth);
    bool HasBitmap() const { return m_bHaveBitmap; }

    void SetFitMode(bool fit) { m_bFit = fit; }
    bool FitMode() const { return m_bFit; }
    // Takes effect at the next decode.
    void SetBrightness(std::int32_t value) { m_nBrightness = value; }
    std::int32_t Brightness() const { return m_nBrightness; }
    // Decodes anew at the next paint (after a brightness change).
    void DiscardBitmap() { m_bHaveBitmap = false; }

    // Pictures with more pixels are not decoded (the JPEG object's own limit by default).
    void SetMaxPixels(std::uint64_t pixels) { m_nMaxPixels = pixels; }

    const std::vector<unsigned char>& CurrentJpeg() const { return m_current; }
    std::uint64_t DecodeCount() const { return m_nDecodes; }

private:
    std::deque<Record> m_queue;
    std::vector<unsigned char> m_current;
    PictureBitmap m_bitmap;
    bool m_bHaveBitmap = false;
    bool m_bFit = false;
    std::int32_t m_nBrightness = 0;
    std::uint64_t m_nDecodes = 0;
    std::uint64_t m_nMaxPixels = 0;
    std::int32_t m_nFittedWidth = 0;  // the window width of the last fit-mode decode
};
