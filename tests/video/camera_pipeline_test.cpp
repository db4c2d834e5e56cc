// The camera pipeline with real GStreamer pipelines (the test source stands in for a
// camera) and a real Qt event loop carrying its messages.
#include <gtest/gtest.h>

#include <gst/gst.h>

#include <QThread>

#include <algorithm>

#include "VideoTestEnvironment.h"
#include "video/CameraPipeline.h"
#include "video/OskelJpegObject.h"

using namespace std::chrono_literals;

namespace {

class CameraPipelineTest : public ::testing::Test {
protected:
    void SetUp() override { m_log = UseFreshLog("camera"); }
    std::vector<std::string> Lines() const { return LogLines(m_log); }

    FakeMainWindow m_main;
    std::string m_log;
};

}  // namespace

TEST_F(CameraPipelineTest, TestSourceRunsAndFramesReachTheMainWindowAtTheConfiguredRate)
{
    CCameraPipeline camera(m_main.Handle());
    camera.SetCameraName(CCameraPipeline::kTestSourceName);
    ASSERT_EQ(camera.Run(), 0);
    EXPECT_EQ(camera.State(), 2);
    ASSERT_TRUE(WaitFor([&] { return m_main.frames.size() >= 9; }, 30s));

    // Every frame is a 320 x 240 JPEG of the test picture.
    OskelJpegObject jpeg;
    jpeg.BeginDecode(m_main.frames.back().data(), static_cast<std::uint32_t>(m_main.frames.back().size()), 1, 1);
    EXPECT_EQ(jpeg.OutputWidth(), 320u);
    EXPECT_EQ(jpeg.OutputHeight(), 240u);
    jpeg.EndDecode();
    // The picture moves.
    EXPECT_NE(m_main.frames[1], m_main.frames[8]);
    // About 4 frames a second: 8 intervals take roughly two seconds (generous bounds).
    const std::uint64_t span = m_main.frameTimesMs[8] - m_main.frameTimesMs[0];
    EXPECT_GT(span, 1000u);
    EXPECT_LT(span, 8000u);
    EXPECT_EQ(camera.FramesHandedOff(), m_main.frames.size());

    const auto lines = Lines();
    EXPECT_EQ(LinesStartingWith(lines, "LOG   CCameraView::Run() [videotestsrc] 0 ").size(), 1u);
    EXPECT_TRUE(LinesStartingWith(lines, "ERROR").empty());
}

TEST_F(CameraPipelineTest, RunTwiceLogsAndReturnsWithoutTouchingThePipeline)
{
    CCameraPipeline camera(m_main.Handle());
    camera.SetCameraName(CCameraPipeline::kTestSourceName);
    ASSERT_EQ(camera.Run(), 0);
    GstElement* pipeline = camera.Pipeline();
    EXPECT_EQ(camera.Run(), 0);
    EXPECT_EQ(camera.Pipeline(), pipeline);
    EXPECT_EQ(camera.State(), 2);
    const auto lines = Lines();
    EXPECT_EQ(LinesStartingWith(lines, "LOG   CCameraView::Run() [videotestsrc] 2 ").size(), 1u);
}

TEST_F(CameraPipelineTest, StopWhileFramesFlowKeepsThePipelineAndRunResumesIt)
{
    CCameraPipeline camera(m_main.Handle());
    camera.SetCameraName(CCameraPipeline::kTestSourceName);
    camera.SetFrameRate(12);
    ASSERT_EQ(camera.Run(), 0);
    ASSERT_TRUE(WaitFor([&] { return m_main.frames.size() >= 3; }, 30s));
    // The streaming thread may be waiting for this very thread: Stop must not dead-lock.
    camera.Stop();
    EXPECT_EQ(camera.State(), 1);
    EXPECT_NE(camera.Pipeline(), nullptr);
    const auto lines = Lines();
    EXPECT_EQ(LinesStartingWith(lines, "LOG   CCameraView::Stop() m_pMediaControl->StopWhenReady() Start").size(), 1u);
    EXPECT_EQ(LinesStartingWith(lines, "LOG   CCameraView::Stop() m_pMediaControl->Stop() Start").size(), 1u);
    EXPECT_EQ(LinesStartingWith(lines, "LOG   CCameraView::Stop() End").size(), 1u);

    const std::size_t stoppedAt = m_main.frames.size();
    WaitFor([] { return false; }, 500ms);
    EXPECT_LE(m_main.frames.size(), stoppedAt + 1);  // at most one that was on its way

    GstElement* pipeline = camera.Pipeline();
    ASSERT_EQ(camera.Run(), 0);
    EXPECT_EQ(camera.Pipeline(), pipeline);  // no rebuild from state 1
    EXPECT_EQ(camera.State(), 2);
    const std::size_t resumedAt = m_main.frames.size();
    EXPECT_TRUE(WaitFor([&] { return m_main.frames.size() >= resumedAt + 2; }, 30s));
}

TEST_F(CameraPipelineTest, StopInStateZeroOrOneOnlyLogs)
{
    CCameraPipeline camera(m_main.Handle());
    camera.SetCameraName(CCameraPipeline::kTestSourceName);
    camera.Stop();
    EXPECT_EQ(camera.State(), 0);
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "LOG   CCameraView::Stop() [videotestsrc] 0 ");
    EXPECT_EQ(lines[1], "LOG   CCameraView::Stop() End ");

    ASSERT_EQ(camera.Run(), 0);
    camera.Stop();
    const std::size_t before = Lines().size();
    camera.Stop();
    lines = Lines();
    ASSERT_EQ(lines.size(), before + 2);
    EXPECT_EQ(lines[before], "LOG   CCameraView::Stop() [videotestsrc] 1 ");
    EXPECT_EQ(camera.State(), 1);
}

TEST_F(CameraPipelineTest, ANameDifferingOnlyInCaseIsNotFound)
{
    CCameraPipeline camera(m_main.Handle());
    camera.SetCameraName("VideoTestSrc");
    EXPECT_EQ(camera.Run(), 1);
    EXPECT_EQ(camera.State(), 0);
    EXPECT_EQ(camera.Pipeline(), nullptr);
    const auto lines = Lines();
    EXPECT_EQ(LinesStartingWith(lines, "ERROR CCameraView::SetUpGraph() 80004003 ").size(), 1u);
    EXPECT_EQ(LinesStartingWith(lines, "ERROR CCameraView::Run() 80004003 ").size(), 1u);
    EXPECT_TRUE(m_main.frames.empty());
}

TEST_F(CameraPipelineTest, DeviceLostThenBackInOneDrainAsksForARebuild)
{
    CCameraPipeline camera(m_main.Handle());
    camera.SetCameraName(CCameraPipeline::kTestSourceName);
    ASSERT_EQ(camera.Run(), 0);
    camera.QueueEvent(kEventDeviceLost, 0);
    camera.QueueEvent(kEventDeviceLost, 1);
    ASSERT_TRUE(WaitFor([&] { return m_main.graphEvents >= 2; }, 10s));
    EXPECT_EQ(camera.OnGraphNotify(), 31);
    const auto lines = Lines();
    EXPECT_EQ(LinesStartingWith(lines, "LOG   CCameraView::OnGraphNotify() カメラが外された ").size(), 1u);
    EXPECT_EQ(LinesStartingWith(lines, "LOG   CCameraView::OnGraphNotify() カメラが再接続された ").size(), 1u);
    EXPECT_EQ(LinesStartingWith(lines, "LOG   CCameraView::OnGraphNotify() End 1f ").size(), 1u);

    camera.QueueEvent(kEventDeviceLost, 0);
    EXPECT_EQ(camera.OnGraphNotify(), 3);
    EXPECT_EQ(camera.OnGraphNotify(), 0);  // drained
}

TEST_F(CameraPipelineTest, AnErrorAbortReturnsBeforeLaterEvents)
{
    CCameraPipeline camera(m_main.Handle());
    camera.SetCameraName(CCameraPipeline::kTestSourceName);
    ASSERT_EQ(camera.Run(), 0);
    camera.QueueEvent(kEventErrorAbort, 0);
    camera.QueueEvent(kEventDeviceLost, 1);
    EXPECT_EQ(camera.OnGraphNotify(), 3);
    EXPECT_EQ(camera.QueuedEvents(), 1u);
    const auto lines = Lines();
    EXPECT_EQ(LinesStartingWith(lines, "ERROR CCameraView::OnGraphNotify() evCode 3 ").size(), 1u);
    EXPECT_TRUE(LinesStartingWith(lines, "LOG   CCameraView::OnGraphNotify() End").empty());
    EXPECT_EQ(camera.OnGraphNotify(), 31);
}

TEST_F(CameraPipelineTest, PipelineErrorsAndEndOfStreamArriveAsGraphEvents)
{
    CCameraPipeline camera(m_main.Handle());
    camera.SetCameraName(CCameraPipeline::kTestSourceName);
    ASSERT_EQ(camera.Run(), 0);
    GError* error = g_error_new_literal(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_READ, "unplugged");
    gst_element_post_message(camera.Pipeline(), gst_message_new_error(GST_OBJECT(camera.Pipeline()), error, "test"));
    g_error_free(error);
    ASSERT_TRUE(WaitFor([&] { return m_main.graphEvents >= 1; }, 10s));
    EXPECT_EQ(camera.OnGraphNotify(), 3);

    gst_element_post_message(camera.Pipeline(), gst_message_new_eos(GST_OBJECT(camera.Pipeline())));
    ASSERT_TRUE(WaitFor([&] { return m_main.graphEvents >= 2; }, 10s));
    EXPECT_EQ(camera.OnGraphNotify(), 3);
    EXPECT_EQ(LinesStartingWith(Lines(), "ERROR CCameraView::OnGraphNotify() evCode 1 ").size(), 1u);

    camera.Teardown();
    EXPECT_EQ(camera.State(), 0);
    EXPECT_EQ(camera.OnGraphNotify(), 0);  // no pipeline: nothing to do
}

TEST_F(CameraPipelineTest, ToggleLiveTwiceReturnsToFourWhateverTheRateWas)
{
    CCameraPipeline camera(m_main.Handle());
    camera.SetCameraName(CCameraPipeline::kTestSourceName);
    int applied = 0;
    camera.onControlDataApplied = [&] { ++applied; };
    camera.SetFrameRate(10);
    camera.ToggleLive();
    EXPECT_EQ(camera.ControlData().m_nFrameRate, 0);
    camera.ToggleLive();
    EXPECT_EQ(camera.ControlData().m_nFrameRate, 4);
    EXPECT_EQ(applied, 3);
}

TEST_F(CameraPipelineTest, LiveOffStopsFramesWhileThePipelineKeepsRunning)
{
    CCameraPipeline camera(m_main.Handle());
    camera.SetCameraName(CCameraPipeline::kTestSourceName);
    camera.SetFrameRate(12);
    ASSERT_EQ(camera.Run(), 0);
    ASSERT_TRUE(WaitFor([&] { return m_main.frames.size() >= 2; }, 30s));
    camera.ToggleLive();
    WaitFor([] { return false; }, 300ms);  // a frame on its way lands
    const std::size_t offAt = m_main.frames.size();
    WaitFor([] { return false; }, 1000ms);
    EXPECT_EQ(m_main.frames.size(), offAt);
    EXPECT_EQ(camera.State(), 2);
    camera.ToggleLive();
    EXPECT_TRUE(WaitFor([&] { return m_main.frames.size() >= offAt + 2; }, 30s));
}

TEST_F(CameraPipelineTest, RestartRebuildsOnlyWhenNotRunning)
{
    CCameraPipeline camera(m_main.Handle());
    camera.SetCameraName(CCameraPipeline::kTestSourceName);
    ASSERT_EQ(camera.Run(), 0);
    GstElement* pipeline = camera.Pipeline();
    camera.Restart();
    EXPECT_EQ(camera.Pipeline(), pipeline);
    camera.Stop();
    camera.Restart();
    EXPECT_EQ(camera.State(), 2);
    EXPECT_TRUE(WaitFor([&] { return !m_main.frames.empty(); }, 30s));
}

TEST_F(CameraPipelineTest, DestroyingARunningCameraWhileTheMainWindowIsBusyReturns)
{
    auto camera = std::make_unique<CCameraPipeline>(m_main.Handle());
    camera->SetCameraName(CCameraPipeline::kTestSourceName);
    camera->SetFrameRate(12);
    ASSERT_EQ(camera->Run(), 0);
    ASSERT_TRUE(WaitFor([&] { return !m_main.frames.empty(); }, 30s));
    // Without pumping events, a frame is soon waiting for this thread.
    QThread::msleep(300);
    camera.reset();
    SUCCEED();
}
