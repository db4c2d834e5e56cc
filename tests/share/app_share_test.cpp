// The window-sharing engine with a scripted foreground window: sizes, the reference
// comparison, the excluded windows, the settings used and the thread's life.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "app/Log.h"
#include "app/WindowMessages.h"
#include "share/AppShare.h"
#include "video/OskelJpegObject.h"
#include "platform/winmsg/WinMsgPayload.h"

namespace {

// A desktop with one window whose size and colour the test sets.
struct Desktop {
    std::mutex lock;
    IShareSource::WindowId foreground = 7;
    int width = 640;
    int height = 480;
    std::uint8_t shade = 40;
};

class ScriptedSource : public IShareSource {
public:
    explicit ScriptedSource(Desktop& desktop) : m_desktop(desktop) {}
    WindowId Foreground() override
    {
        std::lock_guard guard(m_desktop.lock);
        return m_desktop.foreground;
    }
    bool WindowSize(WindowId, int& width, int& height) override
    {
        std::lock_guard guard(m_desktop.lock);
        width = m_desktop.width;
        height = m_desktop.height;
        return true;
    }
    bool StretchCopy(WindowId, const DibSection& target) override
    {
        std::lock_guard guard(m_desktop.lock);
        for (int y = 0; y < target.bmHeight; ++y) {
            unsigned char* row = target.bmBits + static_cast<std::ptrdiff_t>(y) * target.bmWidthBytes;
            for (int x = 0; x < target.bmWidth * 3; ++x)
                row[x] = static_cast<unsigned char>(m_desktop.shade + (x / 48) * 9);
        }
        return true;
    }

private:
    Desktop& m_desktop;
};

// The main window as the engine sees it: keeps a copy of every frame.
class FrameSink : public CMsgTarget {
public:
    LRESULT WindowProc(UINT message, WPARAM, LPARAM lParam) override
    {
        const auto* block = SentPayload<const SendBlock>(lParam);
        if (message != WM_JPEG_FRAME || block == nullptr) return 0;
        std::lock_guard guard(lock);
        frames.emplace_back(block->bytes, block->bytes + block->count);
        return 0;
    }
    std::size_t Count()
    {
        std::lock_guard guard(lock);
        return frames.size();
    }
    std::mutex lock;
    std::vector<std::vector<unsigned char>> frames;
};

struct Decoded {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<unsigned char> pixels;
};

Decoded Decode(const std::vector<unsigned char>& jpeg)
{
    OskelJpegObject object;
    object.BeginDecode(jpeg.data(), static_cast<std::uint32_t>(jpeg.size()), 1, 1);
    Decoded result;
    result.width = object.OutputWidth();
    result.height = object.OutputHeight();
    result.pixels.resize(static_cast<std::size_t>(DibStride(24, result.width)) * result.height);
    if (!result.pixels.empty()) object.ReadAllRows(result.pixels.data());
    object.EndDecode();
    return result;
}

class AppShareTest : public ::testing::Test {
protected:
    AppShareTest() : share(std::make_unique<ScriptedSource>(desktop)) {}
    Desktop desktop;
    FrameSink sink;
    CAppShare share;
};

TEST_F(AppShareTest, WindowsWiderThan800AreScaledDownAndOthersKeepTheirSize)
{
    share.SetWnd(sink.Handle());
    share.SetSharing(true);
    share.CaptureFrame();
    desktop.width = 1600;
    desktop.height = 1200;
    share.CaptureFrame();
    desktop.width = 1024;
    desktop.height = 768;
    desktop.shade = 41;
    share.CaptureFrame();
    ASSERT_EQ(sink.Count(), 3u);
    const Decoded small = Decode(sink.frames[0]);
    const Decoded large = Decode(sink.frames[1]);
    const Decoded odd = Decode(sink.frames[2]);
    EXPECT_EQ(small.width, 640u);
    EXPECT_EQ(small.height, 480u);
    EXPECT_EQ(large.width, 800u);
    EXPECT_EQ(large.height, 600u);
    EXPECT_EQ(odd.width, 800u);
    EXPECT_EQ(odd.height, 600u);
    int w = 0;
    int h = 0;
    CAppShare::TargetSize(1601, 1201, w, h);  // truncated, never rounded up past 800
    EXPECT_EQ(w, 800);
    EXPECT_EQ(h, 600);
    for (int width = 801; width <= 4000; ++width) {
        CAppShare::TargetSize(width, 1000, w, h);
        ASSERT_EQ(w, 800) << width;
        ASSERT_EQ(h, 1000 * 800 / width) << width;
    }
}

TEST_F(AppShareTest, OnlyChangedPicturesAreSent)
{
    share.SetWnd(sink.Handle());
    share.SetSharing(true);
    share.CaptureFrame();
    share.CaptureFrame();
    EXPECT_EQ(sink.Count(), 1u) << "an unchanged second picture went out";
    desktop.shade = 90;
    share.CaptureFrame();
    desktop.shade = 40;
    share.CaptureFrame();
    EXPECT_EQ(sink.Count(), 3u) << "a change and the return to the earlier content are two pictures";
    // Same bytes in another shape are a change too.
    desktop.width = 480;
    desktop.height = 640;
    share.CaptureFrame();
    EXPECT_EQ(sink.Count(), 4u);
}

TEST_F(AppShareTest, NothingIsCapturedOfTheMainWindowThePreviewOrWithSharingOff)
{
    share.SetWnd(sink.Handle());
    share.SetMainWindowId(11);
    share.SetExcludeWnd(12);
    share.CaptureFrame();  // sharing is still off
    share.SetSharing(true);
    for (IShareSource::WindowId excluded :
         {IShareSource::WindowId{11}, IShareSource::WindowId{12}, IShareSource::WindowId{0}}) {
        desktop.foreground = excluded;
        share.CaptureFrame();
    }
    EXPECT_EQ(sink.Count(), 0u);
    desktop.foreground = 13;
    share.CaptureFrame();
    EXPECT_EQ(sink.Count(), 1u);
}

TEST_F(AppShareTest, PicturesUseTheGivenQuality)
{
    share.SetWnd(sink.Handle());
    share.SetSharing(true);
    OskelJpegControlData fine;
    fine.m_nQuality = 95;
    share.SetJpegSettings(&fine);
    share.CaptureFrame();
    share.SetJpegSettings(nullptr);  // back to the defaults (39)
    desktop.shade = 41;
    share.CaptureFrame();
    ASSERT_EQ(sink.Count(), 2u);
    // The finer setting reproduces the window more closely.
    auto error = [&](const std::vector<unsigned char>& jpeg, int shade) {
        const Decoded picture = Decode(jpeg);
        const DibSection expected{640, 480, static_cast<std::int32_t>(DibStride(24, 640)), 1, 24, nullptr};
        std::vector<unsigned char> bits(static_cast<std::size_t>(expected.bmWidthBytes) * 480);
        Desktop model;
        model.shade = static_cast<std::uint8_t>(shade);
        ScriptedSource(model).StretchCopy(1, DibSection{640, 480, expected.bmWidthBytes, 1, 24, bits.data()});
        double sum = 0;
        for (std::size_t i = 0; i < bits.size() && i < picture.pixels.size(); ++i)
            sum += std::abs(bits[i] - picture.pixels[i]);
        return sum / static_cast<double>(bits.size());
    };
    EXPECT_LT(error(sink.frames[0], 40) * 2, error(sink.frames[1], 41));
}

TEST_F(AppShareTest, TheThreadCapturesOnItsOwnAndEndsOnStop)
{
    QTemporaryDir dir;
    const std::string log = dir.filePath(QStringLiteral("HalvoLogFile.txt")).toStdString();
    const std::string previousLog = LogFilePath();
    SetLogFilePath(log);
    share.SetPeriod(50);
    ASSERT_EQ(share.Init(sink.Handle(), 0), 0);
    share.SetSharing(true);
    QElapsedTimer timer;
    timer.start();
    while (sink.Count() == 0 && timer.elapsed() < 20000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(sink.Count(), 1u);

    // The stop event switches sharing off from the thread's side.
    share.StopEvent().Set();
    timer.restart();
    while (share.IsSharing() && timer.elapsed() < 20000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_FALSE(share.IsSharing());

    share.Stop();
    EXPECT_FALSE(share.ThreadRunning());
    EXPECT_EQ(share.WaitEndThred(), 1) << "no thread is left to wait for";
    SetLogFilePath(previousLog);
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("LOG   CAppShare::WaitEndThred() スレッドの終了を待つ\n"), std::string::npos);
}

TEST_F(AppShareTest, StoppingNeverWaitsForAFrameTheWindowThreadCannotTake)
{
    // The thread hands a frame to this (the window) thread, which is busy stopping the engine
    // and handles no messages meanwhile: the stop must still end the thread.
    share.SetPeriod(10);
    ASSERT_EQ(share.Init(sink.Handle(), 0), 0);
    share.SetSharing(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    share.Stop();
    EXPECT_FALSE(share.ThreadRunning());
    QCoreApplication::processEvents();
    EXPECT_EQ(sink.Count(), 0u) << "an abandoned frame must not be delivered late";
}

}  // namespace
