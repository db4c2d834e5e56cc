#include <gtest/gtest.h>

#include <gst/gst.h>

#include <algorithm>
#include <string>
#include <vector>

#include "video/CameraDevices.h"
#include "video/CameraPipeline.h"

TEST(CameraDevicesTest, NamesAreCutToSixtyThreeWholeCharacters)
{
    const std::string ascii(70, 'c');
    EXPECT_EQ(CutCameraName(ascii), std::string(63, 'c'));
    EXPECT_EQ(CutCameraName(std::string(63, 'c')), std::string(63, 'c'));
    // Three bytes a character: 63 characters stay whole, the 64th goes.
    std::string kana;
    for (int i = 0; i < 64; ++i) kana += "カ";
    const std::string cut = CutCameraName(kana);
    EXPECT_EQ(cut.size(), 63u * 3u);
    EXPECT_EQ(cut, kana.substr(0, 63 * 3));
}

// PipeWire's provider lists the same V4L2 cameras again and, at 0.3.65, tore the heap now
// and then when a monitor stopped; the camera lists leave it out.
TEST(CameraDevicesTest, ThePipeWireProviderTakesNoPartInTheCameraLists)
{
    ASSERT_TRUE(CCameraPipeline::InitGstreamer());
    if (!GstPtr<GstDeviceProviderFactory>(gst_device_provider_factory_find("pipewiredeviceprovider"))) {
        GTEST_SKIP() << "no PipeWire device provider installed";
    }
    GstPtr<GstDeviceMonitor> monitor(gst_device_monitor_new());
    gst_device_monitor_add_filter(monitor.get(), "Video/Source", nullptr);
    gchar** providers = gst_device_monitor_get_providers(monitor.get());
    std::vector<std::string> names;
    for (gchar** name = providers; name != nullptr && *name != nullptr; ++name) names.emplace_back(*name);
    g_strfreev(providers);
    EXPECT_EQ(std::count(names.begin(), names.end(), "pipewiredeviceprovider"), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), "v4l2deviceprovider"), 1);
}
