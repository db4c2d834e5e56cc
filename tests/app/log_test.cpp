#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/Log.h"
#include "app/OskelExcept.h"
#include "app/TracedObject.h"

namespace fs = std::filesystem;

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("morvika-log-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "HalvoLogFile.txt").string();
    }
    void TearDown() override
    {
        SetLogRateLimit(kLogLinesPerWindow, kLogWindowMs);
        SetLogFileLimit(kLogFileLimit);
        fs::remove_all(dir_);
    }

    std::string Contents() const
    {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    fs::path dir_;
    std::string path_;
};

TEST_F(LogTest, LineIsClockThenMsThenMessage)
{
    WriteLog(path_.c_str(), "LOG   CHalvoApp::InitInstance() Start\n");
    WriteLog(path_.c_str(), "ERROR X::Y() %d %s \n", 42, "abc");
    const std::string text = Contents();
    EXPECT_TRUE(std::regex_match(text, std::regex("[0-9]+ms LOG   CHalvoApp::InitInstance\\(\\) Start\n"
                                                  "[0-9]+ms ERROR X::Y\\(\\) 42 abc \n")))
        << text;
}

TEST_F(LogTest, AppendsAndNeverTruncates)
{
    {
        std::ofstream(path_) << "earlier\n";
    }
    WriteLog(path_.c_str(), "next\n");
    EXPECT_EQ(Contents().rfind("earlier\n", 0), 0u);
}

TEST_F(LogTest, LongMessageIsCutAt1023Bytes)
{
    const std::string big(5000, 'x');
    WriteLog(path_.c_str(), "%s", big.c_str());
    const std::string text = Contents();
    const auto ms = text.find("ms ");
    ASSERT_NE(ms, std::string::npos);
    for (std::size_t i = 0; i < ms; ++i) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(text[i])));
    EXPECT_EQ(text.size() - (ms + 3), 1023u);
}

TEST_F(LogTest, EmptyPathAndUnwritablePathDoNothing)
{
    WriteLog("", "nothing\n");
    WriteLog(nullptr, "nothing\n");
    WriteLog((dir_ / "missing" / "x.txt").c_str(), "nothing\n");
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
    EXPECT_FALSE(fs::exists(path_));
}

TEST_F(LogTest, ClockIsMonotonicAndStartsNearZero)
{
    const auto first = ProcessClockMs();
    const auto second = ProcessClockMs();
    EXPECT_LE(first, second);
    EXPECT_LT(first, 10u * 60u * 1000u);  // since process start, not since boot
}

TEST_F(LogTest, LinesFromManyThreadsAndProcessesNeverInterleave)
{
    constexpr int kThreads = 8;
    constexpr int kLines = 300;
    const std::string payload(700, 'p');
    SetLogRateLimit(0, kLogWindowMs);  // every line of the one format counts here
    auto writer = [&](int id) {
        for (int i = 0; i < kLines; ++i) WriteLog(path_.c_str(), "LOG   T%d %s\n", id, payload.c_str());
    };
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        writer(99);
        ::_exit(0);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(writer, t);
    for (auto& t : threads) t.join();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);

    std::ifstream in(path_);
    std::string line;
    int count = 0;
    const std::regex shape("[0-9]+ms LOG   T[0-9]+ p{700}");
    while (std::getline(in, line)) {
        ++count;
        ASSERT_TRUE(std::regex_match(line, shape)) << line.substr(0, 80);
    }
    EXPECT_EQ(count, (kThreads + 1) * kLines);
}

TEST_F(LogTest, TracedObjectTracesOnlyWithItsFlag)
{
    SetLogFilePath(path_);
    {
        TracedObject quiet("Quiet", TracedObject::kVersion, TraceSwitch());
        EXPECT_STREQ(quiet.name(), "Quiet");
        EXPECT_EQ(quiet.version(), 1001);
    }
    EXPECT_FALSE(fs::exists(path_));
    {
        TracedObject loud("Oskel2DSize", 1001, 1);
    }
    SetLogFilePath("");
    const std::string text = Contents();
    EXPECT_NE(text.find("ms TRACE Oskel2DSize::Oskel2DSize() Ver1001 \n"), std::string::npos) << text;
    EXPECT_NE(text.find("ms TRACE Oskel2DSize::~Oskel2DSize() \n"), std::string::npos) << text;
}

// Lines of the file, and the sum of the "... repeated" counts that name the given format.
struct LogCounts {
    std::size_t lines = 0;
    std::size_t matching = 0;
    std::size_t repeated = 0;
};

LogCounts CountLines(const std::string& path, const std::string& written, const std::string& format)
{
    LogCounts counts;
    std::ifstream in(path);
    std::string line;
    const std::regex summary("[0-9]+ms \\.\\.\\. repeated ([0-9]+) times: (.*)");
    std::smatch match;
    while (std::getline(in, line)) {
        ++counts.lines;
        if (std::regex_match(line, match, summary)) {
            if (match[2] == format) counts.repeated += std::stoul(match[1]);
        } else if (line.find(written) != std::string::npos) {
            ++counts.matching;
        }
    }
    return counts;
}

TEST_F(LogTest, AFloodOfOneFormatIsCountedInsteadOfWrittenWhileOtherLinesStillCome)
{
    constexpr int kFlood = 10000;
    const auto start = ProcessClockMs();
    for (int i = 0; i < kFlood; ++i) {
        WriteLog(path_.c_str(), "ERROR Flood::Packet() %d bad \n", i);
        if (i % 1000 == 0) WriteLog(path_.c_str(), "LOG   Other::Line() %d\n", i);
    }
    const auto windows = (ProcessClockMs() - start) / kLogWindowMs + 1;
    FlushLog();

    const LogCounts flood = CountLines(path_, "Flood::Packet()", "ERROR Flood::Packet() %d bad");
    EXPECT_EQ(flood.matching + flood.repeated, static_cast<std::size_t>(kFlood));
    EXPECT_LE(flood.matching, windows * kLogLinesPerWindow);
    EXPECT_EQ(CountLines(path_, "Other::Line()", "-").matching, 10u);
    EXPECT_LT(fs::file_size(path_), windows * 4096);
    // Nothing is left to report twice.
    FlushLog();
    EXPECT_EQ(CountLines(path_, "Flood::Packet()", "ERROR Flood::Packet() %d bad").repeated, flood.repeated);
}

TEST_F(LogTest, TheCountIsWrittenOnceItsWindowHasPassedBeforeTheNextLine)
{
    SetLogRateLimit(2, 100);
    const auto start = ProcessClockMs();
    for (int i = 0; i < 5; ++i) WriteLog(path_.c_str(), "LOG   Burst::Line() %d\n", i);
    while (ProcessClockMs() < start + 100) std::this_thread::yield();
    WriteLog(path_.c_str(), "LOG   Later::Line()\n");
    const std::string text = Contents();
    EXPECT_TRUE(std::regex_match(text, std::regex("[0-9]+ms LOG   Burst::Line\\(\\) 0\n"
                                                  "[0-9]+ms LOG   Burst::Line\\(\\) 1\n"
                                                  "[0-9]+ms \\.\\.\\. repeated 3 times: LOG   Burst::Line\\(\\) %d\n"
                                                  "[0-9]+ms LOG   Later::Line\\(\\)\n")))
        << text;
}

TEST_F(LogTest, AFullFileIsMovedAsideWholeAndAStartEmptiesBothPrivately)
{
    constexpr std::uint64_t kLimit = 64 * 1024;
    SetLogRateLimit(0, kLogWindowMs);
    SetLogFileLimit(kLimit);
    const std::string payload(1000, 'r');
    for (int i = 0; i < 300; ++i) WriteLog(path_.c_str(), "LOG   Rotate %04d %s\n", i, payload.c_str());

    const std::string aside = path_ + ".1";
    const std::regex shape("[0-9]+ms LOG   Rotate ([0-9]{4}) r{1000}");
    int last = -1;
    for (const std::string& file : {aside, path_}) {
        EXPECT_LE(fs::file_size(file), kLimit + 1100) << file;
        std::ifstream in(file);
        std::string line;
        std::smatch match;
        while (std::getline(in, line)) {
            ASSERT_TRUE(std::regex_match(line, match, shape)) << line.substr(0, 60);
            const int number = std::stoi(match[1]);
            if (last >= 0) {
                EXPECT_EQ(number, last + 1);  // the two files end and begin without a gap
            }
            last = number;
        }
    }
    EXPECT_EQ(last, 299);

    fs::permissions(path_, fs::perms(0644));
    ResetLogFile(path_.c_str());
    EXPECT_EQ(fs::file_size(path_), 0u);
    EXPECT_EQ(fs::status(path_).permissions(), fs::perms(0600));
    EXPECT_FALSE(fs::exists(aside));
    fs::remove(path_);
    WriteLog(path_.c_str(), "LOG   New\n");
    EXPECT_EQ(fs::status(path_).permissions(), fs::perms(0600));
}

TEST(OskelExceptTest, CarriesMessageAndTwoValues)
{
    try {
        throw OskelClassLib::OskelExcept("CUserInformationList::Find() 見つからない", 7, 9);
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "CUserInformationList::Find() 見つからない");
        const auto& oe = dynamic_cast<const OskelClassLib::OskelExcept&>(e);
        EXPECT_EQ(oe.Value1(), 7u);
        EXPECT_EQ(oe.Value2(), 9u);
    }
}

}  // namespace
