#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "JpegTestPictures.h"
#include "video/JpegBuffer.h"

namespace {

std::filesystem::path TempPath(const std::string& name)
{
    return std::filesystem::temp_directory_path() / ("morvika-jpegbuffer-" + std::to_string(::getpid()) + "-" + name);
}

std::uint32_t WidthOf(const unsigned char* jpeg, std::uint32_t length)
{
    TopDownPicture picture;
    return DecodeDirect(std::vector<unsigned char>(jpeg, jpeg + length), picture)
               ? static_cast<std::uint32_t>(picture.width)
               : 0;
}

}  // namespace

TEST(JpegBuffer, FilesRoundTripAndMissingFilesLeaveItEmpty)
{
    const std::vector<unsigned char> jpeg = EncodeDefault(MakeBandedBitmap(64, 48));
    const auto path = TempPath("a.jpg");
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
    }
    JpegBuffer buffer;
    buffer.LoadFile(path.string());
    ASSERT_EQ(buffer.Length(), jpeg.size());
    EXPECT_EQ(std::vector<unsigned char>(buffer.Data(), buffer.Data() + buffer.Length()), jpeg);

    const auto copy = TempPath("b.jpg");
    ASSERT_TRUE(buffer.SaveFile(copy.string()));
    EXPECT_EQ(std::filesystem::file_size(copy), jpeg.size());

    buffer.LoadFile(TempPath("missing.jpg").string());
    EXPECT_EQ(buffer.Data(), nullptr);
    EXPECT_EQ(buffer.Length(), 0u);
    std::filesystem::remove(path);
    std::filesystem::remove(copy);
}

TEST(JpegBuffer, TranscodeShrinksToTheTargetOrHandsBackTheHeldBlock)
{
    const std::vector<unsigned char> wide = EncodeDefault(MakeBandedBitmap(640, 480));
    JpegBuffer buffer;
    OskelJpegControlData settings;
    settings.m_nQuality = 60;
    JpegBlock smaller = buffer.Transcode(wide.data(), static_cast<std::uint32_t>(wide.size()), 320, settings);
    ASSERT_TRUE(smaller);
    EXPECT_EQ(WidthOf(smaller.get(), buffer.Length()), 320u);

    const std::vector<unsigned char> garbage(500, 0x5A);
    JpegBuffer fresh;
    EXPECT_FALSE(fresh.Transcode(garbage.data(), static_cast<std::uint32_t>(garbage.size()), 320, settings));

    // A buffer holding a file gives that file's block back when the source is undecodable.
    const auto path = TempPath("held.jpg");
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(wide.data()), static_cast<std::streamsize>(wide.size()));
    }
    JpegBuffer held;
    held.LoadFile(path.string());
    JpegBlock same = held.Transcode(garbage.data(), static_cast<std::uint32_t>(garbage.size()), 320, settings);
    ASSERT_TRUE(same);
    EXPECT_EQ(held.Length(), wide.size());
    EXPECT_EQ(std::vector<unsigned char>(same.get(), same.get() + held.Length()), wide);
    std::filesystem::remove(path);
}

TEST(JpegBuffer, EncodeBitmapGivesTheObjectsBytesOrNothing)
{
    TestBitmap bitmap = MakeBandedBitmap(100, 50);
    DibSection section;
    section.bmWidth = 100;
    section.bmHeight = 50;
    section.bmWidthBytes = static_cast<std::int32_t>(bitmap.Stride());
    section.bmBits = bitmap.pixels.data();
    std::uint32_t length = 99;
    JpegBlock block = JpegBuffer::EncodeBitmap(section, OskelJpegControlData(), length);
    ASSERT_TRUE(block);
    EXPECT_EQ(std::vector<unsigned char>(block.get(), block.get() + length), EncodeDefault(bitmap));

    DibSection topDown = section;
    topDown.bmHeight = -50;
    EXPECT_FALSE(JpegBuffer::EncodeBitmap(topDown, OskelJpegControlData(), length));
    EXPECT_EQ(length, 0u);
    DibSection noPixels = section;
    noPixels.bmBits = nullptr;
    EXPECT_FALSE(JpegBuffer::EncodeBitmap(noPixels, OskelJpegControlData(), length));
}
