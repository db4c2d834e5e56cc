// The oskeljpegdump element driven buffer by buffer through a GstHarness.
#include <gtest/gtest.h>

#include <gst/check/gstharness.h>
#include <gst/video/video.h>

#include <cstring>

#include "GstTestEnvironment.h"
#include "filter/OskelJpegDumpControl.h"
#include "video/OskelJpegObject.h"

namespace {

int g_window = 0;  // any address serves as the hand-off target

class DumpHarness {
public:
    explicit DumpHarness(const char* caps = "video/x-raw,format=BGR,width=8,height=4,framerate=12/1")
    {
        InitGstreamerForTests();
        m_logPath = FreshLogPath("dump");
        m_harness = gst_harness_new_with_padnames("oskeljpegdump", "sink", nullptr);
        g_object_set(Element(), "sync", FALSE, "log-file", m_logPath.c_str(), "window", &g_window, nullptr);
        m_recorder.Connect(Element());
        GstCaps* parsed = gst_caps_from_string(caps);
        gst_video_info_from_caps(&m_info, parsed);
        gst_harness_set_src_caps(m_harness, parsed);  // takes the caps
    }
    ~DumpHarness() { gst_harness_teardown(m_harness); }

    GstElement* Element() const { return m_harness->element; }
    HandOffRecorder& Recorder() { return m_recorder; }
    const std::string& LogPath() const { return m_logPath; }

    // Pushes one frame filled with `fill`, starting at `ms` milliseconds.
    GstFlowReturn PushAt(guint64 ms, unsigned char fill = 0x40)
    {
        GstBuffer* buffer = gst_harness_create_buffer(m_harness, GST_VIDEO_INFO_SIZE(&m_info));
        gst_buffer_memset(buffer, 0, fill, GST_VIDEO_INFO_SIZE(&m_info));
        GST_BUFFER_PTS(buffer) = ms * GST_MSECOND;
        GST_BUFFER_DURATION(buffer) = GST_SECOND / 12;
        return gst_harness_push(m_harness, buffer);
    }

    GstFlowReturn Push(GstBuffer* buffer) { return gst_harness_push(m_harness, buffer); }

    void NewSegment()
    {
        GstSegment segment;
        gst_segment_init(&segment, GST_FORMAT_TIME);
        ASSERT_TRUE(gst_harness_push_event(m_harness, gst_event_new_segment(&segment)));
    }

    const GstVideoInfo& Info() const { return m_info; }

private:
    GstHarness* m_harness = nullptr;
    HandOffRecorder m_recorder;
    std::string m_logPath;
    GstVideoInfo m_info{};
};

OskelJpegDumpControlInterface* Control(GstElement* element)
{
    return oskel_jpeg_dump_control_get_iface(element);
}

OskelJpegDumpControlData Settings(gint32 quality, gint32 dct, gint32 rate)
{
    return {"OskelJpegControlData", 1001, 0, quality, dct, rate};
}

}  // namespace

TEST(OskelJpegDumpGate, SixStartTimesAtFourFramesPerSecond)
{
    DumpHarness dump;
    const struct {
        guint64 ms;
        std::size_t countAfter;
    } steps[] = {{0, 1}, {100, 2}, {200, 2}, {250, 2}, {400, 3}, {520, 3}};
    for (const auto& step : steps) {
        ASSERT_EQ(dump.PushAt(step.ms), GST_FLOW_OK);
        EXPECT_EQ(dump.Recorder().Count(), step.countAfter) << "after the frame at " << step.ms << " ms";
    }
    EXPECT_EQ(dump.Recorder().lastWindow, &g_window);
}

TEST(OskelJpegDumpGate, FrameRateZeroDropsEveryFrameUntilTurnedOn)
{
    DumpHarness dump;
    g_object_set(dump.Element(), "frame-rate", 0, nullptr);
    for (guint64 ms = 0; ms < 2000; ms += 83) ASSERT_EQ(dump.PushAt(ms), GST_FLOW_OK);
    EXPECT_EQ(dump.Recorder().Count(), 0u);

    // Settings change in one call while frames flow.
    const OskelJpegDumpControlData live = Settings(39, 1, 4);
    Control(dump.Element())->set_control_data(reinterpret_cast<OskelJpegDumpControl*>(dump.Element()), &live);
    ASSERT_EQ(dump.PushAt(2100), GST_FLOW_OK);
    EXPECT_EQ(dump.Recorder().Count(), 1u);
}

TEST(OskelJpegDumpGate, WithoutTargetFramesStillMoveTheGate)
{
    DumpHarness dump;
    g_object_set(dump.Element(), "window", nullptr, nullptr);
    ASSERT_EQ(dump.PushAt(0), GST_FLOW_OK);
    ASSERT_EQ(dump.PushAt(100), GST_FLOW_OK);
    EXPECT_EQ(dump.Recorder().Count(), 0u);

    g_object_set(dump.Element(), "window", &g_window, nullptr);
    ASSERT_EQ(dump.PushAt(200), GST_FLOW_OK);
    EXPECT_EQ(dump.Recorder().Count(), 0u) << "the target-less frame at 100 ms was let through the gate";
    ASSERT_EQ(dump.PushAt(350), GST_FLOW_OK);
    EXPECT_EQ(dump.Recorder().Count(), 1u);
}

TEST(OskelJpegDumpGate, TimeGoingBackwardsIsDroppedUntilANewSegment)
{
    DumpHarness dump;
    for (guint64 ms : {0, 100, 400}) ASSERT_EQ(dump.PushAt(ms), GST_FLOW_OK);
    ASSERT_EQ(dump.Recorder().Count(), 3u);
    for (guint64 ms : {300, 100, 500}) ASSERT_EQ(dump.PushAt(ms), GST_FLOW_OK);
    EXPECT_EQ(dump.Recorder().Count(), 3u);
    ASSERT_EQ(dump.PushAt(650), GST_FLOW_OK);
    EXPECT_EQ(dump.Recorder().Count(), 4u) << "times caught up";

    ASSERT_EQ(dump.PushAt(100), GST_FLOW_OK);
    EXPECT_EQ(dump.Recorder().Count(), 4u);
    dump.NewSegment();
    ASSERT_EQ(dump.PushAt(100), GST_FLOW_OK);
    EXPECT_EQ(dump.Recorder().Count(), 5u);
}

TEST(OskelJpegDumpHandOff, BytesAreTheObjectsEncodingOfTheBottomUpPicture)
{
    // 322 pixels: GStreamer rows are 966 bytes padded to 968, the bitmap's too.
    DumpHarness dump("video/x-raw,format=BGR,width=322,height=240,framerate=12/1");
    g_object_set(dump.Element(), "quality", 60, "dct-method", 0, nullptr);
    const GstVideoInfo& info = dump.Info();
    const int width = GST_VIDEO_INFO_WIDTH(&info);
    const int height = GST_VIDEO_INFO_HEIGHT(&info);

    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&info), nullptr);
    GST_BUFFER_PTS(buffer) = 0;
    GstVideoFrame frame;
    ASSERT_TRUE(gst_video_frame_map(&frame, &info, buffer, GST_MAP_WRITE));
    const int sourceStride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
    auto* top = static_cast<unsigned char*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
    // The expected input: the same picture as a bottom-up bitmap, built independently.
    const std::uint32_t stride = DibStride(24, static_cast<std::uint32_t>(width));
    std::vector<unsigned char> bitmap(static_cast<std::size_t>(stride) * static_cast<std::size_t>(height), 0);
    for (int row = 0; row < height; ++row) {
        for (int x = 0; x < width; ++x) {
            const unsigned char bgr[3] = {static_cast<unsigned char>(row < 20 ? 10 : x % 251),
                                          static_cast<unsigned char>(row % 253),
                                          static_cast<unsigned char>(row < 20 ? 240 : (x + row) % 256)};
            std::memcpy(top + row * sourceStride + x * 3, bgr, 3);
            std::memcpy(&bitmap[static_cast<std::size_t>(height - 1 - row) * stride + static_cast<std::size_t>(x) * 3],
                        bgr, 3);
        }
    }
    gst_video_frame_unmap(&frame);
    ASSERT_EQ(dump.Push(buffer), GST_FLOW_OK);

    OskelJpegObject reference;
    OskelJpegControlData settings;
    settings.m_nQuality = 60;
    settings.m_nDctMethod = 0;
    reference.SetControlData(settings);
    BitmapInfoHeader header;
    header.biWidth = width;
    header.biHeight = height;
    ASSERT_EQ(reference.Encode(&header, bitmap.data(), static_cast<std::uint32_t>(bitmap.size())), 0);

    ASSERT_EQ(dump.Recorder().Count(), 1u);
    const std::vector<unsigned char>& handed = dump.Recorder().frames[0];
    EXPECT_TRUE(handed ==
                std::vector<unsigned char>(reference.OutputData(), reference.OutputData() + reference.OutputLength()));
}

TEST(OskelJpegDumpHandOff, AFailedCompressionIsHandedOffAsAnEmptyBlock)
{
    DumpHarness dump;
    const OskelJpegDumpControlData unknownDct = Settings(39, 9, 4);
    Control(dump.Element())->set_control_data(reinterpret_cast<OskelJpegDumpControl*>(dump.Element()), &unknownDct);
    ASSERT_EQ(dump.PushAt(0), GST_FLOW_OK);
    ASSERT_EQ(dump.Recorder().Count(), 1u);
    EXPECT_TRUE(dump.Recorder().emptyBlocks[0]);
}

TEST(OskelJpegDumpCaps, OnlyBgrIsAcceptedAndEachRefusalLogsFourLines)
{
    DumpHarness dump;
    GstPad* pad = gst_element_get_static_pad(dump.Element(), "sink");
    const std::string prefix = "ERROR COskelJpegDumpInputPin::CheckMediaType() MEDIATYPE  ";
    const std::string video = "{73646976-0000-0010-8000-00AA00389B71} ";
    const std::string videoInfo = "{05589F80-C356-11CE-BF01-00AA0055595A} ";
    const std::string refused = "ERROR COskelJpegDumpInputPin::CheckMediaType() ERROR = -2147024809 ";

    GstCaps* bgr = gst_caps_from_string("video/x-raw,format=BGR,width=320,height=240,framerate=12/1");
    EXPECT_TRUE(gst_pad_query_accept_caps(pad, bgr));
    gst_caps_unref(bgr);
    EXPECT_TRUE(LogLines(dump.LogPath()).empty());

    GstCaps* yuy2 = gst_caps_from_string("video/x-raw,format=YUY2,width=320,height=240,framerate=12/1");
    EXPECT_FALSE(gst_pad_query_accept_caps(pad, yuy2));
    gst_caps_unref(yuy2);
    EXPECT_EQ(LogLines(dump.LogPath()),
              (std::vector<std::string>{prefix + video, prefix + "{32595559-0000-0010-8000-00AA00389B71} ",
                                        prefix + videoInfo, refused}));

    GstCaps* rgbx = gst_caps_from_string("video/x-raw,format=RGBx,width=320,height=240,framerate=12/1");
    EXPECT_FALSE(gst_pad_query_accept_caps(pad, rgbx));
    gst_caps_unref(rgbx);
    const std::vector<std::string> lines = LogLines(dump.LogPath());
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ((std::vector<std::string>(lines.begin() + 4, lines.end())),
              (std::vector<std::string>{prefix + video, prefix + "{00000000-0000-0000-0000-000000000000} ",
                                        prefix + videoInfo, refused}));
    gst_object_unref(pad);
}

TEST(OskelJpegDumpCaps, AStreamOfAnotherFormatIsNotNegotiated)
{
    DumpHarness dump("video/x-raw,format=YUY2,width=8,height=4,framerate=12/1");
    EXPECT_EQ(dump.PushAt(0), GST_FLOW_NOT_NEGOTIATED);
    EXPECT_EQ(dump.Recorder().Count(), 0u);
    EXPECT_GE(LogLines(dump.LogPath()).size(), 4u);
}

TEST(OskelJpegDumpControl, InterfaceOffersTargetSettingsLogFileAndGuidLines)
{
    DumpHarness dump;
    GstElement* element = dump.Element();
    OskelJpegDumpControlInterface* control = Control(element);
    ASSERT_NE(control, nullptr);
    auto* self = reinterpret_cast<OskelJpegDumpControl*>(element);

    int otherWindow = 0;
    control->set_window(self, &otherWindow);
    EXPECT_EQ(control->get_window(self), &otherWindow);
    control->set_window(self, nullptr);
    EXPECT_EQ(control->get_window(self), nullptr);

    const OskelJpegDumpControlData settings = Settings(75, 2, 10);
    control->set_control_data(self, &settings);
    gint quality = 0, dct = 0, rate = 0;
    g_object_get(element, "quality", &quality, "dct-method", &dct, "frame-rate", &rate, nullptr);
    EXPECT_EQ(quality, 75);
    EXPECT_EQ(dct, 2);
    EXPECT_EQ(rate, 10);

    const std::string log = FreshLogPath("control");
    control->set_log_file(self, log.c_str());
    gchar* current = nullptr;
    g_object_get(element, "log-file", &current, nullptr);
    EXPECT_EQ(log, current);
    g_free(current);

    const OskelGuid guid = {0xC9A68A30, 0x8B20, 0x4B88, {0x97, 0xE7, 0xF4, 0x36, 0xA9, 0xF3, 0xF3, 0x81}};
    control->log_guid(self, log.c_str(), "LOG   id", &guid);
    control->log_guid(self, log.c_str(), "LOG   id", nullptr);
    EXPECT_EQ(LogLines(log),
              (std::vector<std::string>{"LOG   id {C9A68A30-8B20-4B88-97E7-f436A9F3F381} ", "LOG   id { NULL } "}));

    // The plug-in keeps at most 260 bytes of a path.
    const std::string longPath(400, 'x');
    control->set_log_file(self, longPath.c_str());
    g_object_get(element, "log-file", &current, nullptr);
    EXPECT_EQ(std::string(current), longPath.substr(0, 260));
    g_free(current);
}
