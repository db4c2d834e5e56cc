// morvika-tool voice-encode / voice-decode as a user runs them.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "VoiceTestSupport.h"

namespace {

namespace fs = std::filesystem;

class VoiceToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = fs::temp_directory_path() / ("morvika-voice-tool-" + std::to_string(::getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string Path(const std::string& name) const { return (m_dir / name).string(); }

    void Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const
    {
        std::ofstream out(Path(name), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<std::uint8_t> Read(const std::string& name) const
    {
        std::ifstream in(Path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // Runs the tool; its exit code, with standard error kept in m_stderr.
    int Run(const std::string& args)
    {
        const std::string command = std::string(MORVIKA_TOOL) + " " + args + " >/dev/null 2>" + Path("stderr");
        const int status = std::system(command.c_str());
        const auto err = Read("stderr");
        m_stderr.assign(err.begin(), err.end());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    fs::path m_dir;
    std::string m_stderr;
};

TEST_F(VoiceToolTest, EncodesAndDecodesBlocks)
{
    Write("silence.raw", std::vector<std::uint8_t>(8, 0));
    ASSERT_EQ(Run("voice-encode --mode 0 " + Path("silence.raw") + " " + Path("silence.pkt")), 0) << m_stderr;
    const auto packet = Read("silence.pkt");
    ASSERT_EQ(packet.size(), 16u);
    EXPECT_EQ(std::vector<std::uint8_t>(packet.begin() + 4, packet.end()),
              (std::vector<std::uint8_t>{0, 0, 0x03, 0xFF, 8, 0, 4, 0, 0xFF, 0x08, 0x01, 0x00}));

    // Blocks of 4 bytes: 10 bytes give packets of 4, 4 and 2 PCM bytes; DC 100 is removed.
    Write("ramp.raw", PcmBytes({1100, 2100, 3100, 4100, 5100}));
    ASSERT_EQ(Run("voice-encode --mode 0 --dc 100 --block 4 " + Path("ramp.raw") + " " + Path("ramp.pkt")), 0)
        << m_stderr;
    ASSERT_EQ(Run("voice-decode " + Path("ramp.pkt") + " " + Path("ramp.out")), 0) << m_stderr;
    const auto pcm = Read("ramp.out");
    EXPECT_EQ(PcmSamples(pcm.data(), pcm.size()), (std::vector<std::int16_t>{1000, 2000, 3000, 4000, 5000}));
    const auto packets = Read("ramp.pkt");
    EXPECT_EQ(packets[8], 4);  // first packet's PCM size

    Write("empty.raw", {});
    EXPECT_EQ(Run("voice-encode " + Path("empty.raw") + " " + Path("empty.pkt")), 0);
    EXPECT_EQ(Run("voice-decode " + Path("empty.pkt") + " " + Path("empty.out")), 0);
    EXPECT_TRUE(Read("empty.out").empty());
}

TEST_F(VoiceToolTest, WrongUsageExitsWith2)
{
    Write("in.raw", std::vector<std::uint8_t>(8, 0));
    EXPECT_EQ(Run("voice-encode"), 2);
    EXPECT_NE(m_stderr.find("usage: morvika-tool voice-encode"), std::string::npos) << m_stderr;
    EXPECT_EQ(Run("voice-encode --block 3 " + Path("in.raw") + " " + Path("o")), 2);
    EXPECT_NE(m_stderr.find("--block must be an even number"), std::string::npos) << m_stderr;
    EXPECT_EQ(Run("voice-encode --block 47106 " + Path("in.raw") + " " + Path("o")), 2);
    EXPECT_EQ(Run("voice-encode --mode seven " + Path("in.raw") + " " + Path("o")), 2);
    EXPECT_EQ(Run("voice-encode --dc 40000 " + Path("in.raw") + " " + Path("o")), 2);
    EXPECT_EQ(Run("voice-encode --mode "), 2);
    EXPECT_EQ(Run("voice-encode --fast " + Path("in.raw") + " " + Path("o")), 2);
    EXPECT_EQ(Run("voice-decode " + Path("in.raw")), 2);
}

TEST_F(VoiceToolTest, BadDataExitsWith1)
{
    Write("odd.raw", std::vector<std::uint8_t>(7, 0));
    EXPECT_EQ(Run("voice-encode " + Path("odd.raw") + " " + Path("o")), 1);
    EXPECT_NE(m_stderr.find("not whole 16-bit samples"), std::string::npos) << m_stderr;
    EXPECT_EQ(Run("voice-encode " + Path("missing.raw") + " " + Path("o")), 1);
    EXPECT_NE(m_stderr.find("cannot read"), std::string::npos) << m_stderr;

    Write("in.raw", PcmBytes(std::vector<std::int16_t>(689, 3000)));
    ASSERT_EQ(Run("voice-encode " + Path("in.raw") + " " + Path("good.pkt")), 0);
    auto packets = Read("good.pkt");
    Write("cut.pkt", std::vector<std::uint8_t>(packets.begin(), packets.end() - 1));
    EXPECT_EQ(Run("voice-decode " + Path("cut.pkt") + " " + Path("o")), 1);
    EXPECT_NE(m_stderr.find("packet 0 at offset 0"), std::string::npos) << m_stderr;
    // A second packet with flag bit 2 set.
    auto twice = packets;
    twice.insert(twice.end(), packets.begin(), packets.end());
    twice[packets.size() + 6] |= 0x04;
    Write("bad.pkt", twice);
    EXPECT_EQ(Run("voice-decode " + Path("bad.pkt") + " " + Path("o")), 1);
    EXPECT_NE(m_stderr.find("packet 1 at offset " + std::to_string(packets.size()) + " cannot be decoded"),
              std::string::npos)
        << m_stderr;
    Write("short.pkt", {1, 2, 3});
    EXPECT_EQ(Run("voice-decode " + Path("short.pkt") + " " + Path("o")), 1);
}

}  // namespace
