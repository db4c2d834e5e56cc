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
    void TearDown() override { fs::remove_all(dir_); }

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
