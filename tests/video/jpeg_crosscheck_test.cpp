// The JPEG object against libjpeg-turbo's own cjpeg and djpeg, through morvika-tool.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "JpegTestPictures.h"

namespace fs = std::filesystem;

namespace {

struct CommandResult {
    int exitCode = -1;
    std::string out;
};

CommandResult RunCommand(const std::string& command)
{
    CommandResult run;
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return run;
    char chunk[256];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) run.out.append(chunk, got);
    const int status = ::pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::vector<unsigned char> ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

template <typename T>
void Put(std::vector<unsigned char>& out, T value)
{
    for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// A 24-bit BMP file around a bottom-up bitmap, with no resolution (so cjpeg writes the
// default JFIF density).
std::vector<unsigned char> BmpFile(const TestBitmap& bitmap)
{
    std::vector<unsigned char> file = {'B', 'M'};
    Put<std::uint32_t>(file, static_cast<std::uint32_t>(54 + bitmap.pixels.size()));
    Put<std::uint32_t>(file, 0);
    Put<std::uint32_t>(file, 54);
    Put<std::uint32_t>(file, 40);
    Put<std::int32_t>(file, bitmap.width);
    Put<std::int32_t>(file, bitmap.height);
    Put<std::uint16_t>(file, 1);
    Put<std::uint16_t>(file, 24);
    for (int i = 0; i < 6; ++i) Put<std::uint32_t>(file, 0);
    file.insert(file.end(), bitmap.pixels.begin(), bitmap.pixels.end());
    return file;
}

class JpegCrossCheck : public testing::Test {
protected:
    void SetUp() override
    {
        if (RunCommand("command -v cjpeg && command -v djpeg").exitCode != 0) {
            GTEST_SKIP() << "cjpeg/djpeg missing: install libjpeg-turbo-progs (tools/setup.sh)";
        }
        m_dir = fs::temp_directory_path() / ("morvika-jpegcheck-" + std::to_string(::getpid()));
        fs::create_directories(m_dir);
    }
    void TearDown() override
    {
        if (!m_dir.empty()) fs::remove_all(m_dir);
    }
    std::string P(const char* name) const { return (m_dir / name).string(); }
    static std::string Tool() { return MORVIKA_TOOL_PATH; }

    fs::path m_dir;
};

}  // namespace

TEST_F(JpegCrossCheck, EncodeGivesCjpegsBytesForEachQualityAndDctMethod)
{
    const TestBitmap bitmap = MakeBandedBitmap(320, 240);
    WriteFile(P("in.bgr"), bitmap.pixels);
    WriteFile(P("in.bmp"), BmpFile(bitmap));
    const char* dctNames[] = {"int", "fast", "float"};
    struct Setting {
        int quality;
        int dct;
    };
    for (const Setting s : {Setting{39, 1}, Setting{39, 0}, Setting{75, 2}, Setting{5, 1}, Setting{95, 0}}) {
        SCOPED_TRACE("quality " + std::to_string(s.quality) + " dct " + std::to_string(s.dct));
        const CommandResult ours =
            RunCommand(Tool() + " jpeg-encode --quality " + std::to_string(s.quality) + " --dct " +
                       std::to_string(s.dct) + " --width 320 --height 240 " + P("in.bgr") + " " + P("ours.jpg"));
        ASSERT_EQ(ours.exitCode, 0);
        const CommandResult theirs =
            RunCommand("cjpeg -quality " + std::to_string(s.quality) + " -dct " + dctNames[s.dct] +
                       " -baseline -outfile " + P("theirs.jpg") + " " + P("in.bmp"));
        ASSERT_EQ(theirs.exitCode, 0);
        const auto a = ReadFile(P("ours.jpg"));
        EXPECT_FALSE(a.empty());
        EXPECT_TRUE(a == ReadFile(P("theirs.jpg"))) << "jpeg-encode and cjpeg differ";
    }
}

TEST_F(JpegCrossCheck, DecodeGivesDjpegsBottomUpBgrPicture)
{
    WriteFile(P("in.jpg"), EncodeDefault(MakeNoisyBitmap(320, 240, 9)));
    struct Scale {
        const char* option;
        const char* djpegScale;
        const char* size;
    };
    for (const Scale s : {Scale{"", "1/1", "320 240\n"}, Scale{"--target-width 160", "1/2", "160 120\n"},
                          Scale{"--target-width 100", "1/4", "80 60\n"}}) {
        SCOPED_TRACE(s.djpegScale);
        const CommandResult ours =
            RunCommand(Tool() + " jpeg-decode " + s.option + " " + P("in.jpg") + " " + P("ours.bgr"));
        ASSERT_EQ(ours.exitCode, 0);
        EXPECT_EQ(ours.out, s.size);
        ASSERT_EQ(RunCommand(std::string("djpeg -bmp -scale ") + s.djpegScale + " -outfile " + P("theirs.bmp") + " " +
                             P("in.jpg"))
                      .exitCode,
                  0);
        const auto bmp = ReadFile(P("theirs.bmp"));
        ASSERT_GT(bmp.size(), 54u);
        std::int32_t height = 0;
        std::uint16_t bits = 0;
        std::memcpy(&height, &bmp[22], 4);
        std::memcpy(&bits, &bmp[28], 2);
        ASSERT_EQ(bits, 24);
        ASSERT_GT(height, 0) << "djpeg writes bottom-up BMP files";
        const std::vector<unsigned char> theirs(bmp.begin() + 54, bmp.end());
        EXPECT_TRUE(ReadFile(P("ours.bgr")) == theirs) << "jpeg-decode and djpeg differ";
    }
}

TEST_F(JpegCrossCheck, ToolExitCodesSeparateBadDataFromWrongUsage)
{
    std::vector<unsigned char> garbage(3000);
    for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<unsigned char>(i * 31 + 7);
    WriteFile(P("garbage.jpg"), garbage);
    WriteFile(P("empty.jpg"), {});
    WriteFile(P("short.bgr"), std::vector<unsigned char>(100, 1));

    EXPECT_EQ(RunCommand(Tool() + " jpeg-decode " + P("garbage.jpg") + " " + P("x.bgr")).exitCode, 1);
    EXPECT_EQ(RunCommand(Tool() + " jpeg-decode " + P("empty.jpg") + " " + P("x.bgr")).exitCode, 1);
    EXPECT_EQ(RunCommand(Tool() + " jpeg-decode " + P("missing.jpg") + " " + P("x.bgr")).exitCode, 1);
    EXPECT_EQ(
        RunCommand(Tool() + " jpeg-encode --width 320 --height 240 " + P("short.bgr") + " " + P("x.jpg")).exitCode, 1);

    EXPECT_EQ(RunCommand(Tool() + " jpeg-decode").exitCode, 2);
    EXPECT_EQ(RunCommand(Tool() + " jpeg-decode --target-width abc a b").exitCode, 2);
    EXPECT_EQ(RunCommand(Tool() + " jpeg-decode --scale 2 a b").exitCode, 2);
    EXPECT_EQ(RunCommand(Tool() + " jpeg-encode --width 4 a b").exitCode, 2);
    EXPECT_EQ(RunCommand(Tool() + " jpeg-encode --dct 3 --width 4 --height 4 a b").exitCode, 2);
    EXPECT_EQ(RunCommand(Tool() + " jpeg-encode --width 4 --height 4 a").exitCode, 2);
}
