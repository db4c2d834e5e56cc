// Without the frame dump element the camera fails to build and says so; nothing else breaks.
#include <gtest/gtest.h>

#include "VideoTestEnvironment.h"
#include "video/CameraPipeline.h"

TEST(CameraWithoutPlugin, WritesTheThreeErrorLinesAndStaysInStateZero)
{
    InitVideoGstreamer(false);
    const std::string log = UseFreshLog("noplugin");
    FakeMainWindow main;
    CCameraPipeline camera(main.Handle());
    camera.SetCameraName(CCameraPipeline::kTestSourceName);
    EXPECT_EQ(camera.Run(), 1);
    EXPECT_EQ(camera.State(), 0);
    EXPECT_EQ(camera.Pipeline(), nullptr);
    const auto lines = LogLines(log);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "LOG   CCameraView::Run() [videotestsrc] 0 ");
    EXPECT_EQ(lines[1], "ERROR CCameraView::GetInterfaces() 80040154 ");
    EXPECT_EQ(lines[2], "ERROR CCameraView::SetUpGraph() 80040154 ");
    EXPECT_EQ(lines[3], "ERROR CCameraView::Run() 80040154 ");
    // Running again tries again, with the same outcome.
    EXPECT_EQ(camera.Run(), 1);
    camera.Stop();
    EXPECT_EQ(camera.OnGraphNotify(), 0);
}
