// The element at the end of real pipelines fed by videotestsrc at 12 frames per second.
#include <gtest/gtest.h>

#include <gio/gio.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>

#include "GstTestEnvironment.h"
#include "video/OskelJpegObject.h"

using namespace std::chrono_literals;

namespace {

int g_pipelineWindow = 0;

class Pipeline {
public:
    explicit Pipeline(int frameRate, int buffers)
    {
        InitGstreamerForTests();
        const std::string description =
            "videotestsrc num-buffers=" + std::to_string(buffers) +
            " ! video/x-raw,format=BGR,width=320,height=240,framerate=12/1 ! oskeljpegdump name=dump";
        GError* error = nullptr;
        m_pipeline = gst_parse_launch(description.c_str(), &error);
        if (error != nullptr) {
            ADD_FAILURE() << error->message;
            g_error_free(error);
        }
        m_dump = gst_bin_get_by_name(GST_BIN(m_pipeline), "dump");
        g_object_set(m_dump, "frame-rate", frameRate, "window", &g_pipelineWindow, "log-file",
                     FreshLogPath("pipeline").c_str(), nullptr);
    }
    ~Pipeline()
    {
        gst_element_set_state(m_pipeline, GST_STATE_NULL);
        gst_object_unref(m_dump);
        gst_object_unref(m_pipeline);
    }

    GstElement* Dump() const { return m_dump; }
    GstStateChangeReturn Play() { return gst_element_set_state(m_pipeline, GST_STATE_PLAYING); }
    GstStateChangeReturn Stop() { return gst_element_set_state(m_pipeline, GST_STATE_NULL); }

    // Waits for the end of the stream; false on an error or after a generous time.
    bool RunToEnd()
    {
        GstBus* bus = gst_element_get_bus(m_pipeline);
        GstMessage* message = gst_bus_timed_pop_filtered(
            bus, 60 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        const bool ended = message != nullptr && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
        if (message != nullptr) gst_message_unref(message);
        gst_object_unref(bus);
        return ended;
    }

private:
    GstElement* m_pipeline = nullptr;
    GstElement* m_dump = nullptr;
};

}  // namespace

TEST(OskelJpegDumpPipeline, FourFramesPerSecondOutOfTwelve)
{
    Pipeline pipeline(4, 36);  // three seconds of video
    HandOffRecorder recorder;
    recorder.Connect(pipeline.Dump());
    ASSERT_NE(pipeline.Play(), GST_STATE_CHANGE_FAILURE);
    ASSERT_TRUE(pipeline.RunToEnd());
    // About 4 per second, plus the second frame that always passes.
    RecordProperty("handoffs", static_cast<int>(recorder.Count()));
    EXPECT_GE(recorder.Count(), 11u);
    EXPECT_LE(recorder.Count(), 14u);

    std::lock_guard lock(recorder.mutex);
    ASSERT_FALSE(recorder.frames.empty());
    const auto& jpeg = recorder.frames.front();
    OskelJpegObject decoder;
    decoder.BeginDecode(jpeg.data(), static_cast<std::uint32_t>(jpeg.size()), 1, 1);
    EXPECT_EQ(decoder.OutputWidth(), 320u);
    EXPECT_EQ(decoder.OutputHeight(), 240u);
}

TEST(OskelJpegDumpPipeline, FrameRateZeroHandsOffNothing)
{
    Pipeline pipeline(0, 24);
    HandOffRecorder recorder;
    recorder.Connect(pipeline.Dump());
    ASSERT_NE(pipeline.Play(), GST_STATE_CHANGE_FAILURE);
    ASSERT_TRUE(pipeline.RunToEnd());
    EXPECT_EQ(recorder.Count(), 0u);
}

namespace {

// A hand-off target that never answers on its own, like a main window busy stopping the
// very pipeline: it waits until the element abandons the hand-off.
struct BlockedTarget {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool abandoned = false;

    static void OnCancelled(GCancellable*, gpointer self)
    {
        auto* target = static_cast<BlockedTarget*>(self);
        std::lock_guard lock(target->mutex);
        target->abandoned = true;
        target->changed.notify_all();
    }

    static void OnJpegFrame(GstElement*, gpointer, gpointer, guint, GCancellable* cancellable, gpointer self)
    {
        auto* target = static_cast<BlockedTarget*>(self);
        const gulong id = g_cancellable_connect(cancellable, G_CALLBACK(&BlockedTarget::OnCancelled), target, nullptr);
        std::unique_lock lock(target->mutex);
        target->entered = true;
        target->changed.notify_all();
        target->changed.wait_for(lock, 60s, [target] { return target->abandoned; });
        lock.unlock();
        g_cancellable_disconnect(cancellable, id);
    }
};

}  // namespace

TEST(OskelJpegDumpPipeline, StoppingDuringABlockedHandOffReturns)
{
    Pipeline pipeline(4, 1000);
    BlockedTarget target;
    g_signal_connect(pipeline.Dump(), "jpeg-frame", G_CALLBACK(&BlockedTarget::OnJpegFrame), &target);
    ASSERT_NE(pipeline.Play(), GST_STATE_CHANGE_FAILURE);
    {
        std::unique_lock lock(target.mutex);
        ASSERT_TRUE(target.changed.wait_for(lock, 60s, [&] { return target.entered; }));
    }
    auto stopped = std::async(std::launch::async, [&] { return pipeline.Stop(); });
    if (stopped.wait_for(60s) != std::future_status::ready) {
        ADD_FAILURE() << "stopping the pipeline dead-locked on the hand-off";
        std::_Exit(1);
    }
    EXPECT_EQ(stopped.get(), GST_STATE_CHANGE_SUCCESS);
    std::lock_guard lock(target.mutex);
    EXPECT_TRUE(target.abandoned);
}
