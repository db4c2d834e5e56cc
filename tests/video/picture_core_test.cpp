// The picture queue, the lazy decode and the brightness of the picture windows.
#include <gtest/gtest.h>

#include <cstring>

#include "JpegTestPictures.h"
#include "video/PictureCore.h"

TEST(PictureCore, OnlyTheNewestFrameIsDecodedAtPaint)
{
    const auto first = EncodeDefault(MakeBandedBitmap(320, 240));
    const auto second = EncodeDefault(MakeBandedBitmap(64, 48));
    CPictureCore core;
    core.Push(0, first.data(), static_cast<std::uint32_t>(first.size()));
    core.Push(0, second.data(), static_cast<std::uint32_t>(second.size()));
    EXPECT_EQ(core.QueuedCount(), 2u);
    ASSERT_TRUE(core.Drain());
    ASSERT_TRUE(core.Drain());
    EXPECT_FALSE(core.Drain());
    const PictureBitmap* bitmap = core.Bitmap(320);
    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(bitmap->width, 64);
    EXPECT_EQ(core.DecodeCount(), 1u);
    // Painting again does not decode again.
    EXPECT_EQ(core.Bitmap(320), bitmap);
    EXPECT_EQ(core.DecodeCount(), 1u);
}

TEST(PictureCore, QueueHoldsCopies)
{
    auto jpeg = EncodeDefault(MakeBandedBitmap(32, 32));
    CPictureCore core;
    core.Push(0, jpeg.data(), static_cast<std::uint32_t>(jpeg.size()));
    const auto original = jpeg;
    std::fill(jpeg.begin(), jpeg.end(), 0);  // the sender reuses its buffer
    ASSERT_TRUE(core.Drain());
    EXPECT_EQ(core.CurrentJpeg(), original);
    EXPECT_NE(core.Bitmap(32), nullptr);
}

TEST(PictureCore, FitModeReducesByAPowerOfTwo)
{
    const auto jpeg = EncodeDefault(MakeBandedBitmap(640, 480));
    CPictureCore core;
    core.SetFitMode(true);
    core.Push(0, jpeg.data(), static_cast<std::uint32_t>(jpeg.size()));
    core.Drain();
    const PictureBitmap* bitmap = core.Bitmap(160);
    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(bitmap->width, 160);
    EXPECT_EQ(bitmap->height, 120);
    EXPECT_EQ(bitmap->stride, 640u);  // 32-bit words

    // Not a power of two: the first reduction at most as wide as the window.
    core.DiscardBitmap();
    bitmap = core.Bitmap(200);
    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(bitmap->width, 160);

    // The window grows: decoded again at the new width, not the small bitmap stretched;
    // painting again at the same width decodes nothing.
    bitmap = core.Bitmap(640);
    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(bitmap->width, 640);
    const std::uint64_t decodes = core.DecodeCount();
    core.Bitmap(640);
    EXPECT_EQ(core.DecodeCount(), decodes);

    core.SetFitMode(false);
    core.DiscardBitmap();
    bitmap = core.Bitmap(160);
    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(bitmap->width, 640);
}

TEST(PictureCore, BlocksThatDoNotDecodeLeaveNoBitmap)
{
    CPictureCore core;
    EXPECT_EQ(core.Bitmap(160), nullptr);  // nothing stored
    core.Push(0, nullptr, 0);
    core.Drain();
    EXPECT_EQ(core.Bitmap(160), nullptr);  // empty block

    const unsigned char garbage[] = {1, 2, 3, 4, 5, 6, 7, 8};
    core.Push(0, garbage, sizeof garbage);
    core.Drain();
    EXPECT_EQ(core.Bitmap(160), nullptr);

    auto jpeg = EncodeDefault(MakeBandedBitmap(320, 240));
    jpeg.resize(jpeg.size() / 3);  // truncated: shown as far as it goes, or black, never a crash
    core.Push(0, jpeg.data(), static_cast<std::uint32_t>(jpeg.size()));
    core.Drain();
    (void)core.Bitmap(160);
}

TEST(Brightness, AddsWithCeilingAndSubtractsWithFloor)
{
    unsigned char bright[] = {240, 0, 224, 255};
    ApplyBrightness(bright, sizeof bright, 31);
    EXPECT_EQ(bright[0], 255);
    EXPECT_EQ(bright[1], 31);
    EXPECT_EQ(bright[2], 255);
    EXPECT_EQ(bright[3], 255);

    unsigned char dark[] = {20, 31, 255, 0};
    ApplyBrightness(dark, sizeof dark, -31);
    EXPECT_EQ(dark[0], 0);
    EXPECT_EQ(dark[1], 0);
    EXPECT_EQ(dark[2], 224);
    EXPECT_EQ(dark[3], 0);

    unsigned char same[] = {20, 240};
    ApplyBrightness(same, sizeof same, 0);
    EXPECT_EQ(same[0], 20);
    EXPECT_EQ(same[1], 240);
}

TEST(Brightness, AppliesToTheDecodedPicture)
{
    const auto jpeg = EncodeDefault(MakeBandedBitmap(64, 48));
    CPictureCore plain;
    plain.Push(0, jpeg.data(), static_cast<std::uint32_t>(jpeg.size()));
    plain.Drain();
    const std::vector<unsigned char> reference = plain.Bitmap(64)->bits;

    CPictureCore brighter;
    brighter.SetBrightness(31);
    brighter.Push(0, jpeg.data(), static_cast<std::uint32_t>(jpeg.size()));
    brighter.Drain();
    const PictureBitmap* bitmap = brighter.Bitmap(64);
    ASSERT_NE(bitmap, nullptr);
    ASSERT_EQ(bitmap->bits.size(), reference.size());
    for (std::size_t i = 0; i < reference.size(); i += 97) {
        EXPECT_EQ(bitmap->bits[i], std::min(255, reference[i] + 31)) << i;
    }

    // Darker: the colours go down, the screen's opaque byte of each word stays.
    CPictureCore darker;
    darker.SetBrightness(-31);
    darker.Push(0, jpeg.data(), static_cast<std::uint32_t>(jpeg.size()));
    darker.Drain();
    const PictureBitmap* dark = darker.Bitmap(64);
    ASSERT_NE(dark, nullptr);
    std::uint32_t word = 0;
    std::memcpy(&word, dark->bits.data() + 4 * 100, sizeof word);
    std::uint32_t plainWord = 0;
    std::memcpy(&plainWord, reference.data() + 4 * 100, sizeof plainWord);
    EXPECT_EQ(word >> 24, 0xFFu);
    const std::uint32_t green = (plainWord >> 8) & 0xFF;
    EXPECT_EQ((word >> 8) & 0xFF, green - std::min(green, 31u));
}
