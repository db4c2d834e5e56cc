#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "JpegTestPictures.h"
#include "video/JpegMemory.h"
#include "video/OskelJpegObject.h"

namespace {

struct Decoded {
    std::int32_t state = -1;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<unsigned char> pixels;
};

Decoded DecodeWith(OskelJpegObject& decoder, const std::vector<unsigned char>& jpeg, std::uint32_t num,
                   std::uint32_t denom)
{
    Decoded result;
    decoder.BeginDecode(jpeg.data(), static_cast<std::uint32_t>(jpeg.size()), num, denom);
    result.width = decoder.OutputWidth();
    result.height = decoder.OutputHeight();
    if (decoder.DecodeState() == 1) {
        result.pixels.assign(static_cast<std::size_t>(DibStride(24, result.width)) * result.height, 0);
        decoder.ReadAllRows(result.pixels.data());
    }
    result.state = decoder.DecodeState();
    decoder.EndDecode();
    return result;
}

bool Reddish(const unsigned char* bgr)
{
    return bgr[2] > 180 && bgr[0] < 90;
}
bool Bluish(const unsigned char* bgr)
{
    return bgr[0] > 180 && bgr[2] < 90;
}

}  // namespace

TEST(OskelJpegEncode, Baseline320x240AtDefaultsHasTheLastMemoryRowOnTop)
{
    const TestBitmap bitmap = MakeBandedBitmap(320, 240);
    const std::vector<unsigned char> jpeg = EncodeDefault(bitmap);
    ASSERT_GT(jpeg.size(), 4u);
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
    EXPECT_EQ(std::memcmp(jpeg.data() + 6, "JFIF", 4), 0);

    TopDownPicture picture;
    ASSERT_TRUE(DecodeDirect(jpeg, picture));
    EXPECT_EQ(picture.width, 320);
    EXPECT_EQ(picture.height, 240);
    EXPECT_FALSE(picture.progressive);
    EXPECT_TRUE(picture.baseline);
    EXPECT_EQ(picture.firstQuantValue, (16 * (5000 / 39) + 50) / 100) << "quality 39 scaling";
    // The first decoded scanline is the bitmap's last row in memory: the red band.
    EXPECT_TRUE(Reddish(&picture.rows[160 * 3]));
    EXPECT_TRUE(Bluish(&picture.rows[(239 * 320 + 160) * 3]));

    // And decoding gives a bottom-up bitmap of the same orientation.
    OskelJpegObject decoder;
    const Decoded decoded = DecodeWith(decoder, jpeg, 1, 1);
    ASSERT_EQ(decoded.width, 320u);
    ASSERT_EQ(decoded.height, 240u);
    const std::uint32_t stride = DibStride(24, 320);
    EXPECT_TRUE(Reddish(&decoded.pixels[239 * stride + 160 * 3]));
    EXPECT_TRUE(Bluish(&decoded.pixels[160 * 3]));
    EXPECT_EQ(decoded.state, 1);
    EXPECT_EQ(decoder.DecodeState(), 0);
}

TEST(OskelJpegEncode, RefusesWhatItCannotCompressAndKeepsEarlierOutput)
{
    const TestBitmap bitmap = MakeBandedBitmap(64, 48);
    OskelJpegObject encoder;
    BitmapInfoHeader header = bitmap.Header();
    const auto size = static_cast<std::uint32_t>(bitmap.pixels.size());

    // Nothing produced yet: every refusal leaves null and 0.
    BitmapInfoHeader topDown = header;
    topDown.biHeight = -48;
    EXPECT_EQ(encoder.Encode(&topDown, bitmap.pixels.data(), size), 1);
    EXPECT_EQ(encoder.OutputData(), nullptr);
    EXPECT_EQ(encoder.OutputLength(), 0u);

    BitmapInfoHeader noWidth = header;
    noWidth.biWidth = 0;
    EXPECT_EQ(encoder.Encode(&noWidth, bitmap.pixels.data(), size), 1);
    BitmapInfoHeader wrongDepth = header;
    wrongDepth.biBitCount = 32;
    EXPECT_EQ(encoder.Encode(&wrongDepth, bitmap.pixels.data(), size), 1);
    EXPECT_EQ(encoder.Encode(&header, bitmap.pixels.data(), size - 1), 1) << "short pixel block";
    EXPECT_EQ(encoder.Encode(&header, nullptr, size), 1);
    OskelJpegControlData badDct;
    badDct.m_nDctMethod = 7;
    encoder.SetControlData(badDct);
    EXPECT_EQ(encoder.Encode(&header, bitmap.pixels.data(), size), 1);
    EXPECT_EQ(encoder.OutputData(), nullptr);
    EXPECT_EQ(encoder.OutputLength(), 0u);

    encoder.SetControlData(OskelJpegControlData());
    ASSERT_EQ(encoder.Encode(&header, bitmap.pixels.data(), size), 0);
    const std::vector<unsigned char> first(encoder.OutputData(), encoder.OutputData() + encoder.OutputLength());
    EXPECT_EQ(encoder.DecodeState(), 0);
    EXPECT_EQ(encoder.Encode(&topDown, bitmap.pixels.data(), size), 1);
    EXPECT_EQ(std::vector<unsigned char>(encoder.OutputData(), encoder.OutputData() + encoder.OutputLength()), first);

    // A second encode replaces the block (the old one is freed: ASan would see a leak).
    const TestBitmap other = MakeNoisyBitmap(64, 48, 3);
    BitmapInfoHeader otherHeader = other.Header();
    ASSERT_EQ(encoder.Encode(&otherHeader, other.pixels.data(), static_cast<std::uint32_t>(other.pixels.size())), 0);
    EXPECT_EQ(std::vector<unsigned char>(encoder.OutputData(), encoder.OutputData() + encoder.OutputLength()),
              EncodeDefault(other));
    encoder.ReleaseEncoder();
    EXPECT_EQ(encoder.DecodeState(), 0);
}

TEST(OskelJpegEncode, EncodingOnAnObjectWithAnOpenDecodeEndsThatDecode)
{
    const TestBitmap bitmap = MakeBandedBitmap(32, 16);
    const std::vector<unsigned char> jpeg = EncodeDefault(bitmap);
    OskelJpegObject object;
    object.BeginDecode(jpeg.data(), static_cast<std::uint32_t>(jpeg.size()), 1, 1);
    ASSERT_EQ(object.DecodeState(), 1);
    const BitmapInfoHeader header = bitmap.Header();
    EXPECT_EQ(object.Encode(&header, bitmap.pixels.data(), static_cast<std::uint32_t>(bitmap.pixels.size())), 0);
    EXPECT_EQ(object.DecodeState(), 0);
    EXPECT_EQ(object.OutputWidth(), 0u);
    EXPECT_EQ(std::vector<unsigned char>(object.OutputData(), object.OutputData() + object.OutputLength()), jpeg);
}

TEST(JpegMemoryDestination, GrowsInWholeStepsAndAddsNothingForAnEmptyTail)
{
    for (const std::uint32_t tail : {0u, 1u, 100u, 4095u}) {
        jpeg_compress_struct cinfo;
        jpeg_error_mgr jerr;
        cinfo.err = jpeg_std_error(&jerr);
        jpeg_create_compress(&cinfo);
        JpegMemoryDestinationAttach(&cinfo);
        cinfo.dest->init_destination(&cinfo);

        std::vector<unsigned char> expected;
        for (int step = 0; step < 2; ++step) {
            ASSERT_EQ(cinfo.dest->free_in_buffer, kJpegDestinationStep);
            for (std::uint32_t i = 0; i < kJpegDestinationStep; ++i) {
                const auto byte = static_cast<unsigned char>(i * 7 + static_cast<std::uint32_t>(step));
                *cinfo.dest->next_output_byte++ = byte;
                expected.push_back(byte);
            }
            cinfo.dest->free_in_buffer = 0;
            ASSERT_TRUE(cinfo.dest->empty_output_buffer(&cinfo));
        }
        for (std::uint32_t i = 0; i < tail; ++i) {
            *cinfo.dest->next_output_byte++ = static_cast<unsigned char>(i);
            expected.push_back(static_cast<unsigned char>(i));
        }
        cinfo.dest->free_in_buffer -= tail;
        cinfo.dest->term_destination(&cinfo);

        std::uint32_t length = 0;
        unsigned char* block = JpegMemoryDestinationTake(&cinfo, &length);
        EXPECT_EQ(length, 2 * kJpegDestinationStep + tail);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(std::vector<unsigned char>(block, block + length), expected);
        delete[] block;
        jpeg_destroy_compress(&cinfo);
    }
}

TEST(OskelJpegEncode, OutputsAcrossSeveralStepsMatchTheCodecsOwnMemoryDestination)
{
    const TestBitmap bitmap = MakeNoisyBitmap(320, 240, 11);
    const std::vector<unsigned char> ours = EncodeDefault(bitmap);
    ASSERT_GT(ours.size(), 3 * kJpegDestinationStep);

    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&cinfo, &out, &outSize);
    cinfo.image_width = 320;
    cinfo.image_height = 240;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 39, TRUE);
    cinfo.dct_method = JDCT_IFAST;
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(bitmap.PixelAt(static_cast<std::int32_t>(cinfo.next_scanline), 0));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    const std::vector<unsigned char> direct(out, out + outSize);
    jpeg_destroy_compress(&cinfo);
    std::free(out);
    EXPECT_EQ(ours, direct);
}

struct TargetCase {
    std::int32_t imageWidth;
    std::int32_t targetWidth;
    std::uint32_t expectedWidth;
};

class OskelJpegTargetWidth : public testing::TestWithParam<TargetCase> {};

TEST_P(OskelJpegTargetWidth, PicksTheLeastReductionThatFits)
{
    const TargetCase c = GetParam();
    const std::vector<unsigned char> jpeg = EncodeDefault(MakeBandedBitmap(c.imageWidth, 16));
    OskelJpegObject decoder;
    decoder.SetTargetWidth(c.targetWidth);
    const Decoded decoded = DecodeWith(decoder, jpeg, 0, 0);
    EXPECT_EQ(decoded.state, 1);
    EXPECT_EQ(decoded.width, c.expectedWidth);
    if (c.targetWidth < 1) {
        EXPECT_EQ(decoder.TargetWidth(), 320) << "the object keeps the default";
    }
}

INSTANTIATE_TEST_SUITE_P(Reductions, OskelJpegTargetWidth,
                         testing::Values(TargetCase{640, 320, 320}, TargetCase{1280, 320, 320},
                                         TargetCase{4000, 320, 500}, TargetCase{200, 320, 200},
                                         TargetCase{320, 160, 160}, TargetCase{700, 320, 175}, TargetCase{640, 0, 320},
                                         TargetCase{1280, -5, 320}),
                         [](const testing::TestParamInfo<TargetCase>& info) {
                             const TargetCase& c = info.param;
                             return "Image" + std::to_string(c.imageWidth) + "Target" +
                                    (c.targetWidth < 0 ? "Minus" + std::to_string(-c.targetWidth)
                                                       : std::to_string(c.targetWidth));
                         });

TEST(OskelJpegDecode, SecondBeginIsIgnoredWhileOpen)
{
    const std::vector<unsigned char> small = EncodeDefault(MakeBandedBitmap(64, 32));
    const std::vector<unsigned char> large = EncodeDefault(MakeBandedBitmap(128, 96));
    OskelJpegObject decoder;
    EXPECT_EQ(decoder.DecodeState(), -1);
    decoder.BeginDecode(small.data(), static_cast<std::uint32_t>(small.size()), 1, 1);
    ASSERT_EQ(decoder.DecodeState(), 1);
    decoder.BeginDecode(large.data(), static_cast<std::uint32_t>(large.size()), 1, 1);
    EXPECT_EQ(decoder.OutputWidth(), 64u);
    EXPECT_EQ(decoder.OutputHeight(), 32u);
    // Destroying an open decode is fine too.
}

TEST(OskelJpegDecode, GarbageTruncatedAndEmptyBlocksEndQuietly)
{
    std::vector<unsigned char> garbage(2000);
    std::uint32_t seed = 5;
    for (auto& byte : garbage) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<unsigned char>(seed >> 16);
    }
    const std::vector<unsigned char> good = EncodeDefault(MakeBandedBitmap(160, 120));
    std::vector<unsigned char> startThenGarbage(garbage);
    startThenGarbage[0] = 0xFF;
    startThenGarbage[1] = 0xD8;
    const std::vector<unsigned char> truncated(good.begin(), good.begin() + static_cast<long>(good.size() / 2));
    const std::vector<unsigned char> headerOnly(good.begin(), good.begin() + 20);

    const std::vector<const std::vector<unsigned char>*> blocks = {&garbage, &startThenGarbage, &truncated,
                                                                   &headerOnly};
    for (const auto* block : blocks) {
        OskelJpegObject decoder;
        const Decoded decoded = DecodeWith(decoder, *block, 1, 1);
        EXPECT_EQ(decoder.DecodeState(), 0);
        if (decoded.state != 1) {
            EXPECT_EQ(decoded.width, 0u);
            EXPECT_EQ(decoded.height, 0u);
        }
    }
    {
        OskelJpegObject decoder;
        decoder.BeginDecode(garbage.data(), static_cast<std::uint32_t>(garbage.size()), 1, 1);
        EXPECT_EQ(decoder.DecodeState(), 0) << "garbage fails while reading the header";
    }
    {
        // A valid picture behind a zero length must not be read at all.
        OskelJpegObject decoder;
        decoder.BeginDecode(good.data(), 0, 1, 1);
        EXPECT_EQ(decoder.DecodeState(), 0);
        EXPECT_EQ(decoder.OutputWidth(), 0u);
        decoder.BeginDecode(nullptr, 100, 1, 1);
        EXPECT_EQ(decoder.DecodeState(), 0);
    }
}

TEST(OskelJpegDecode, ASegmentRunningPastTheEndOfTheBlockEndsTheDecode)
{
    // A table segment that runs past the block's end: re-reading the block from its start
    // would reach the same segment again for ever.
    const std::vector<unsigned char> jpeg = {
        0xff, 0xd8, 0xff, 0xe0, 0x00, 0x10, 0x4a, 0x46, 0x49, 0x07, 0x06, 0x05, 0x08, 0x07, 0x07, 0xf2, 0xf6,
        0xf6, 0xf7, 0x0a, 0x0c, 0x14, 0x0d, 0x0c, 0x0b, 0x0b, 0x0c, 0x19, 0x12, 0x13, 0x0f, 0x14, 0x1d, 0x1a,
        0x1f, 0x1e, 0x1d, 0x1a, 0x1c, 0x1c, 0x20, 0x24, 0x46, 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01,
        0x00, 0x00, 0xff, 0xdb, 0x00, 0x43, 0x00, 0x08, 0x06, 0x06, 0x07, 0x06, 0x05, 0x08, 0x07, 0x07, 0xf2,
        0xf6, 0xf6, 0xf7, 0x0a, 0x0c, 0x14, 0x0d, 0x0c, 0x0b, 0x0b, 0x0c, 0x19, 0x12, 0x13, 0x0f, 0x14, 0x1d,
        0x1a, 0x1f, 0x1e, 0x1d, 0x1a, 0x1c, 0x1c, 0x20, 0x24, 0x2e, 0x27, 0x20, 0x22, 0x2c, 0x32, 0x32, 0x27,
        0xab, 0x18, 0xdc, 0x87, 0x03, 0x44, 0x03, 0x74, 0x12, 0x55, 0xe4, 0x9b, 0xff, 0xd9};
    OskelJpegObject decoder;
    decoder.BeginDecode(jpeg.data(), static_cast<std::uint32_t>(jpeg.size()), 1, 1);
    EXPECT_EQ(decoder.DecodeState(), 0);
}

TEST(OskelJpegDecode, ATruncatedPictureDecodesWithItsMissingPartFilledIn)
{
    const TestBitmap bitmap = MakeBandedBitmap(160, 120);
    const std::vector<unsigned char> good = EncodeDefault(bitmap);
    const std::vector<unsigned char> truncated(good.begin(), good.begin() + static_cast<long>(good.size() * 3 / 4));
    OskelJpegObject decoder;
    const Decoded decoded = DecodeWith(decoder, truncated, 1, 1);
    ASSERT_EQ(decoded.state, 1);
    EXPECT_EQ(decoded.width, 160u);
    // The top of the picture arrived: it is the last row in memory.
    EXPECT_TRUE(Reddish(&decoded.pixels[119 * DibStride(24, 160) + 80 * 3]));
}

TEST(OskelJpegDecode, GreyAndProgressivePicturesComeOutAsBgr)
{
    for (const bool progressive : {false, true}) {
        const std::vector<unsigned char> grey = MakeGreyJpeg(80, 40, progressive);
        OskelJpegObject decoder;
        const Decoded decoded = DecodeWith(decoder, grey, 1, 1);
        ASSERT_EQ(decoded.state, 1);
        ASSERT_EQ(decoded.width, 80u);
        const unsigned char* px = &decoded.pixels[10 * DibStride(24, 80) + 70 * 3];
        EXPECT_EQ(px[0], px[1]);
        EXPECT_EQ(px[1], px[2]);
        EXPECT_GT(px[0], 150);
    }
}

TEST(OskelJpegDecode, PicturesOverThePixelLimitAreRefusedBeforeDecompression)
{
    const std::vector<unsigned char> jpeg = EncodeDefault(MakeBandedBitmap(320, 240));
    OskelJpegObject refused;
    refused.SetMaxPixels(320 * 240 - 1);
    refused.BeginDecode(jpeg.data(), static_cast<std::uint32_t>(jpeg.size()), 1, 1);
    EXPECT_EQ(refused.DecodeState(), 0);

    OskelJpegObject accepted;
    accepted.SetMaxPixels(320 * 240);
    accepted.BeginDecode(jpeg.data(), static_cast<std::uint32_t>(jpeg.size()), 1, 1);
    EXPECT_EQ(accepted.DecodeState(), 1);
}
