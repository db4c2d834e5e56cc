/**
 * oskeljpegdump: compresses raw BGR video frames to JPEG at a limited rate and hands
 * each compressed frame to the application synchronously.
 *
 *   gst-launch-1.0 videotestsrc ! videoconvert ! video/x-raw,format=BGR ! oskeljpegdump
 *
 * The application sets a hand-off target ("window") and connects to "jpeg-frame":
 *
 *   void on_frame(GstElement* sink, gpointer window, gconstpointer data, guint length,
 *                 GCancellable* cancellable, gpointer user_data);
 *
 * The signal is emitted on the streaming thread and the bytes are valid only during the
 * call. A handler that waits for another thread must give up when `cancellable` is
 * cancelled: that happens when the pipeline stops or flushes, so a stop issued from the
 * very thread the handler waits for cannot dead-lock.
 */
#include "filter/gstoskeljpegdump.h"

#include <gio/gio.h>
#include <gst/video/video.h>

#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "app/Log.h"
#include "filter/FrameRateGate.h"
#include "filter/MediaTypeGuid.h"
#include "video/OskelJpegObject.h"

GST_DEBUG_CATEGORY_STATIC(gst_oskel_jpeg_dump_debug);
#define GST_CAT_DEFAULT gst_oskel_jpeg_dump_debug

namespace {

// Result codes written into the log, as the main program's log readers know them.
constexpr std::int32_t kEPointer = static_cast<std::int32_t>(0x80004003u);
constexpr std::int32_t kEFail = static_cast<std::int32_t>(0x80004005u);
constexpr std::int32_t kEInvalidArg = static_cast<std::int32_t>(0x80070057u);
constexpr std::int32_t kEOutOfMemory = static_cast<std::int32_t>(0x8007000Eu);

constexpr std::size_t kLogPathBytes = 261;  // including the terminator

enum {
    PROP_0,
    PROP_QUALITY,
    PROP_DCT_METHOD,
    PROP_FRAME_RATE,
    PROP_LOG_FILE,
    PROP_WINDOW,
};

enum {
    SIGNAL_JPEG_FRAME,
    LAST_SIGNAL,
};

guint g_signals[LAST_SIGNAL];

GstStaticPadTemplate g_sinkTemplate =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE("BGR")));

}  // namespace

struct GstOskelJpegDumpState {
    // Held across compression and the hand-off; end of stream waits for it.
    std::mutex receiveLock;

    // Guarded by the object lock: set from the application's thread while frames flow.
    OskelJpegControlData controlData{TraceSwitch()};
    gpointer window = nullptr;
    GCancellable* cancellable = g_cancellable_new();

    // Streaming thread only.
    CFrameRateGate gate;
    GstVideoInfo info{};
    bool haveInfo = false;
    std::vector<unsigned char> bitmap;  // the frame as a bottom-up bitmap

    ~GstOskelJpegDumpState() { g_object_unref(cancellable); }
};

struct _GstOskelJpegDump {
    GstBaseSink parent;
    GstOskelJpegDumpState* state;
};

static void gst_oskel_jpeg_dump_control_init(OskelJpegDumpControlInterface* iface);

G_DEFINE_INTERFACE(OskelJpegDumpControl, oskel_jpeg_dump_control, G_TYPE_OBJECT)

static void oskel_jpeg_dump_control_default_init(OskelJpegDumpControlInterface*) {}

G_DEFINE_TYPE_WITH_CODE(GstOskelJpegDump, gst_oskel_jpeg_dump, GST_TYPE_BASE_SINK,
                        G_IMPLEMENT_INTERFACE(oskel_jpeg_dump_control_get_type(), gst_oskel_jpeg_dump_control_init))

GST_ELEMENT_REGISTER_DEFINE(oskeljpegdump, "oskeljpegdump", GST_RANK_NONE, GST_TYPE_OSKEL_JPEG_DUMP)

static void gst_oskel_jpeg_dump_finalize(GObject* object);
static void gst_oskel_jpeg_dump_set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec);
static void gst_oskel_jpeg_dump_get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec);
static gboolean gst_oskel_jpeg_dump_query(GstBaseSink* sink, GstQuery* query);
static gboolean gst_oskel_jpeg_dump_set_caps(GstBaseSink* sink, GstCaps* caps);
static gboolean gst_oskel_jpeg_dump_start(GstBaseSink* sink);
static gboolean gst_oskel_jpeg_dump_stop(GstBaseSink* sink);
static gboolean gst_oskel_jpeg_dump_event(GstBaseSink* sink, GstEvent* event);
static GstFlowReturn gst_oskel_jpeg_dump_render(GstBaseSink* sink, GstBuffer* buffer);
static gboolean gst_oskel_jpeg_dump_unlock(GstBaseSink* sink);
static gboolean gst_oskel_jpeg_dump_unlock_stop(GstBaseSink* sink);

static void gst_oskel_jpeg_dump_class_init(GstOskelJpegDumpClass* klass)
{
    auto* gobjectClass = G_OBJECT_CLASS(klass);
    auto* elementClass = GST_ELEMENT_CLASS(klass);
    auto* sinkClass = GST_BASE_SINK_CLASS(klass);

    gobjectClass->finalize = gst_oskel_jpeg_dump_finalize;
    gobjectClass->set_property = gst_oskel_jpeg_dump_set_property;
    gobjectClass->get_property = gst_oskel_jpeg_dump_get_property;

    const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_PLAYING);
    g_object_class_install_property(gobjectClass, PROP_QUALITY,
                                    g_param_spec_int("quality", "Quality", "JPEG quality (baseline)", 0, 100,
                                                     OskelJpegControlData::kDefaultQuality, flags));
    g_object_class_install_property(gobjectClass, PROP_DCT_METHOD,
                                    g_param_spec_int("dct-method", "DCT method",
                                                     "DCT method: 0 accurate integer, 1 fast integer, 2 floating point",
                                                     0, 2, OskelJpegControlData::kDefaultDctMethod, flags));
    g_object_class_install_property(gobjectClass, PROP_FRAME_RATE,
                                    g_param_spec_int("frame-rate", "Frame rate",
                                                     "Frames per second let through (0 drops every frame)", 0, G_MAXINT,
                                                     OskelJpegControlData::kDefaultFrameRate, flags));
    g_object_class_install_property(
        gobjectClass, PROP_LOG_FILE,
        g_param_spec_string("log-file", "Log file", "Log file of the plug-in (shared by every oskeljpegdump element)",
                            "", flags));
    g_object_class_install_property(gobjectClass, PROP_WINDOW,
                                    g_param_spec_pointer("window", "Hand-off target",
                                                         "Passed to jpeg-frame handlers; NULL stops the hand-off",
                                                         flags));

    g_signals[SIGNAL_JPEG_FRAME] =
        g_signal_new("jpeg-frame", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_LAST, 0, nullptr, nullptr, nullptr,
                     G_TYPE_NONE, 4, G_TYPE_POINTER, G_TYPE_POINTER, G_TYPE_UINT, G_TYPE_CANCELLABLE);

    gst_element_class_add_static_pad_template(elementClass, &g_sinkTemplate);
    gst_element_class_set_static_metadata(
        elementClass, "OskelJpegDump", "Sink/Video",
        "Compresses BGR video frames to JPEG at a limited rate and hands each one to the "
        "application",
        "Morvika developers");

    sinkClass->query = GST_DEBUG_FUNCPTR(gst_oskel_jpeg_dump_query);
    sinkClass->set_caps = GST_DEBUG_FUNCPTR(gst_oskel_jpeg_dump_set_caps);
    sinkClass->start = GST_DEBUG_FUNCPTR(gst_oskel_jpeg_dump_start);
    sinkClass->stop = GST_DEBUG_FUNCPTR(gst_oskel_jpeg_dump_stop);
    sinkClass->event = GST_DEBUG_FUNCPTR(gst_oskel_jpeg_dump_event);
    sinkClass->render = GST_DEBUG_FUNCPTR(gst_oskel_jpeg_dump_render);
    sinkClass->unlock = GST_DEBUG_FUNCPTR(gst_oskel_jpeg_dump_unlock);
    sinkClass->unlock_stop = GST_DEBUG_FUNCPTR(gst_oskel_jpeg_dump_unlock_stop);

    GST_DEBUG_CATEGORY_INIT(gst_oskel_jpeg_dump_debug, "oskeljpegdump", 0, "OskelJpegDump frame dump sink");
}

static void gst_oskel_jpeg_dump_init(GstOskelJpegDump* self)
{
    try {
        self->state = new GstOskelJpegDumpState;
    } catch (const std::bad_alloc&) {
        // The element stays inert and refuses to start.
        self->state = nullptr;
        MORVIKA_LOG("ERROR %s ERROR = %d \n", "COskelJpegDump::COskelJpegDump()", kEOutOfMemory);
        return;
    }
    // Frames are not kept after their hand-off.
    gst_base_sink_set_last_sample_enabled(GST_BASE_SINK(self), FALSE);
}

static void gst_oskel_jpeg_dump_finalize(GObject* object)
{
    auto* self = GST_OSKEL_JPEG_DUMP(object);
    delete self->state;
    self->state = nullptr;
    G_OBJECT_CLASS(gst_oskel_jpeg_dump_parent_class)->finalize(object);
}

// Accepts exactly 24-bit BGR video in system memory; every refusal leaves four log lines.
static bool CheckMediaType(const GstCaps* caps)
{
    if (caps == nullptr) {
        return false;
    }
    const MediaTypeGuids guids = MediaTypeGuidsOf(caps);
    if (guids.majorType == kMediaTypeVideo && guids.subtype == kMediaSubtypeRgb24 &&
        guids.formatType == kFormatVideoInfo) {
        return true;
    }
    const std::string logPath = LogFilePath();
    const char* prefix = "ERROR COskelJpegDumpInputPin::CheckMediaType() MEDIATYPE ";
    LogGuid(logPath.c_str(), prefix, &guids.majorType);
    LogGuid(logPath.c_str(), prefix, &guids.subtype);
    LogGuid(logPath.c_str(), prefix, &guids.formatType);
    WriteLog(logPath.c_str(), "ERROR %s ERROR = %d \n", "COskelJpegDumpInputPin::CheckMediaType()", kEInvalidArg);
    GST_INFO("refused caps %" GST_PTR_FORMAT, static_cast<const void*>(caps));
    return false;
}

static gboolean gst_oskel_jpeg_dump_query(GstBaseSink* sink, GstQuery* query)
{
    if (GST_QUERY_TYPE(query) == GST_QUERY_ACCEPT_CAPS) {
        GstCaps* caps = nullptr;
        gst_query_parse_accept_caps(query, &caps);
        gst_query_set_accept_caps_result(query, CheckMediaType(caps) ? TRUE : FALSE);
        return TRUE;
    }
    return GST_BASE_SINK_CLASS(gst_oskel_jpeg_dump_parent_class)->query(sink, query);
}

static gboolean gst_oskel_jpeg_dump_set_caps(GstBaseSink* sink, GstCaps* caps)
{
    auto& state = *GST_OSKEL_JPEG_DUMP(sink)->state;
    if (!CheckMediaType(caps) || !gst_video_info_from_caps(&state.info, caps)) {
        state.haveInfo = false;
        return FALSE;
    }
    state.haveInfo = true;
    return TRUE;
}

static gboolean gst_oskel_jpeg_dump_start(GstBaseSink* sink)
{
    if (GST_OSKEL_JPEG_DUMP(sink)->state == nullptr) {
        GST_ELEMENT_ERROR(sink, RESOURCE, NO_SPACE_LEFT, ("Not enough memory for the JPEG frame dump."),
                          ("the element's state could not be allocated"));
        return FALSE;
    }
    return TRUE;
}

static gboolean gst_oskel_jpeg_dump_stop(GstBaseSink* sink)
{
    if (GST_OSKEL_JPEG_DUMP(sink)->state == nullptr) {
        return TRUE;
    }
    auto& state = *GST_OSKEL_JPEG_DUMP(sink)->state;
    state.haveInfo = false;
    state.bitmap.clear();
    state.bitmap.shrink_to_fit();
    return TRUE;
}

static gboolean gst_oskel_jpeg_dump_event(GstBaseSink* sink, GstEvent* event)
{
    auto& state = *GST_OSKEL_JPEG_DUMP(sink)->state;
    switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_SEGMENT: state.gate.Reset(); break;
    case GST_EVENT_EOS: {
        std::lock_guard lock(state.receiveLock);
        return GST_BASE_SINK_CLASS(gst_oskel_jpeg_dump_parent_class)->event(sink, event);
    }
    default: break;
    }
    return GST_BASE_SINK_CLASS(gst_oskel_jpeg_dump_parent_class)->event(sink, event);
}

// GStreamer hands over top-down rows with its own stride; the JPEG object compresses
// bottom-up bitmaps with 4-byte rows, reading the last row in memory first.
static void CopyBottomUp(const GstVideoFrame& frame, std::vector<unsigned char>& bitmap)
{
    const auto width = static_cast<std::uint32_t>(GST_VIDEO_FRAME_WIDTH(&frame));
    const auto height = static_cast<std::uint32_t>(GST_VIDEO_FRAME_HEIGHT(&frame));
    const std::uint32_t stride = DibStride(24, width);
    const std::size_t size = static_cast<std::size_t>(stride) * height;
    if (bitmap.size() != size) {
        bitmap.assign(size, 0);
    }
    const auto* source = static_cast<const unsigned char*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
    const auto sourceStride = static_cast<std::size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0));
    for (std::uint32_t y = 0; y < height; ++y) {
        std::memcpy(bitmap.data() + static_cast<std::size_t>(stride) * (height - 1 - y), source + sourceStride * y,
                    static_cast<std::size_t>(width) * 3);
    }
}

// Streaming thread: gate, compress, hand off; nothing is queued.
static GstFlowReturn gst_oskel_jpeg_dump_render(GstBaseSink* sink, GstBuffer* buffer)
{
    auto* self = GST_OSKEL_JPEG_DUMP(sink);
    auto& state = *self->state;
    std::lock_guard lock(state.receiveLock);

    if (buffer == nullptr) {
        MORVIKA_LOG("ERROR %s ERROR = %d \n", "COskelJpegDumpInputPin::Receive()", kEPointer);
        return GST_FLOW_ERROR;
    }

    GST_OBJECT_LOCK(self);
    const OskelJpegControlData controlData = state.controlData;
    gpointer window = state.window;
    GCancellable* cancellable = G_CANCELLABLE(g_object_ref(state.cancellable));
    GST_OBJECT_UNLOCK(self);

    GstFlowReturn result = GST_FLOW_OK;
    // Start time in 100-ns units; a frame without one counts as starting at 0.
    const std::int64_t start =
        GST_BUFFER_PTS_IS_VALID(buffer) ? static_cast<std::int64_t>(GST_BUFFER_PTS(buffer) / 100) : 0;
    if (controlData.m_nFrameRate == 0 || !state.gate.Admits(start, controlData.m_nFrameRate)) {
        g_object_unref(cancellable);
        return GST_FLOW_OK;
    }

    GstVideoFrame frame;
    if (!state.haveInfo || !gst_video_frame_map(&frame, &state.info, buffer, GST_MAP_READ)) {
        MORVIKA_LOG("ERROR %s ERROR = %d \n", "COskelJpegDumpInputPin::Receive()", kEFail);
        GST_ELEMENT_ERROR(
            self, RESOURCE, READ, ("Could not read a video frame."),
            ("mapping the buffer as %s failed", state.haveInfo ? "negotiated BGR video" : "video without caps"));
        g_object_unref(cancellable);
        return GST_FLOW_ERROR;
    }
    state.gate.Passed(start);

    {
        OskelJpegObject jpeg(TraceSwitch());
        if (window != nullptr) {
            jpeg.SetControlData(controlData);
            // A failed compression still reaches the target, as an empty block.
            try {
                CopyBottomUp(frame, state.bitmap);
                BitmapInfoHeader header;
                header.biWidth = GST_VIDEO_FRAME_WIDTH(&frame);
                header.biHeight = GST_VIDEO_FRAME_HEIGHT(&frame);
                if (state.bitmap.size() <= UINT32_MAX) {
                    jpeg.Encode(&header, state.bitmap.data(), static_cast<std::uint32_t>(state.bitmap.size()));
                }
            } catch (const std::bad_alloc&) {
                state.bitmap.clear();
            }
            g_signal_emit(self, g_signals[SIGNAL_JPEG_FRAME], 0, window, const_cast<unsigned char*>(jpeg.OutputData()),
                          jpeg.OutputLength(), cancellable);
            jpeg.ReleaseEncoder();
        }
    }

    gst_video_frame_unmap(&frame);
    g_object_unref(cancellable);
    return result;
}

// Any thread: releases a hand-off that waits while the pipeline stops or flushes.
static gboolean gst_oskel_jpeg_dump_unlock(GstBaseSink* sink)
{
    auto* self = GST_OSKEL_JPEG_DUMP(sink);
    if (self->state == nullptr) {
        return TRUE;
    }
    GST_OBJECT_LOCK(self);
    GCancellable* cancellable = G_CANCELLABLE(g_object_ref(self->state->cancellable));
    GST_OBJECT_UNLOCK(self);
    g_cancellable_cancel(cancellable);
    g_object_unref(cancellable);
    return TRUE;
}

static gboolean gst_oskel_jpeg_dump_unlock_stop(GstBaseSink* sink)
{
    auto* self = GST_OSKEL_JPEG_DUMP(sink);
    if (self->state == nullptr) {
        return TRUE;
    }
    GCancellable* fresh = g_cancellable_new();
    GST_OBJECT_LOCK(self);
    GCancellable* old = self->state->cancellable;
    self->state->cancellable = fresh;
    GST_OBJECT_UNLOCK(self);
    g_object_unref(old);
    return TRUE;
}

// The plug-in keeps one log path for all its elements, like the main program's own.
static void SetPluginLogFile(const gchar* path)
{
    std::string kept = path != nullptr ? path : "";
    if (kept.size() >= kLogPathBytes) {
        kept.resize(kLogPathBytes - 1);
    }
    SetLogFilePath(kept);
}

static void control_set_window(OskelJpegDumpControl* control, gpointer window)
{
    g_object_set(control, "window", window, nullptr);
}

static gpointer control_get_window(OskelJpegDumpControl* control)
{
    gpointer window = nullptr;
    g_object_get(control, "window", &window, nullptr);
    return window;
}

static void control_set_control_data(OskelJpegDumpControl* control, const OskelJpegDumpControlData* data)
{
    auto* self = GST_OSKEL_JPEG_DUMP(control);
    if (data == nullptr || self->state == nullptr) {
        return;
    }
    GST_OBJECT_LOCK(self);
    self->state->controlData.m_nQuality = data->quality;
    self->state->controlData.m_nDctMethod = data->dct_method;
    self->state->controlData.m_nFrameRate = data->frame_rate;
    GST_OBJECT_UNLOCK(self);
}

static void control_set_log_file(OskelJpegDumpControl*, const gchar* path)
{
    SetPluginLogFile(path);
}

static void control_log_guid(OskelJpegDumpControl*, const gchar* logPath, const gchar* prefix, const OskelGuid* guid)
{
    LogGuid(logPath, prefix != nullptr ? prefix : "", guid);
}

static void gst_oskel_jpeg_dump_control_init(OskelJpegDumpControlInterface* iface)
{
    iface->set_window = control_set_window;
    iface->get_window = control_get_window;
    iface->set_control_data = control_set_control_data;
    iface->set_log_file = control_set_log_file;
    iface->log_guid = control_log_guid;
}

static void gst_oskel_jpeg_dump_set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec)
{
    auto* self = GST_OSKEL_JPEG_DUMP(object);
    if (id == PROP_LOG_FILE) {
        SetPluginLogFile(g_value_get_string(value));
        return;
    }
    if (self->state == nullptr) {
        return;
    }
    auto& state = *self->state;
    GST_OBJECT_LOCK(self);
    switch (id) {
    case PROP_QUALITY: state.controlData.m_nQuality = g_value_get_int(value); break;
    case PROP_DCT_METHOD: state.controlData.m_nDctMethod = g_value_get_int(value); break;
    case PROP_FRAME_RATE: state.controlData.m_nFrameRate = g_value_get_int(value); break;
    case PROP_WINDOW: state.window = g_value_get_pointer(value); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
    GST_OBJECT_UNLOCK(self);
}

static void gst_oskel_jpeg_dump_get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec)
{
    auto* self = GST_OSKEL_JPEG_DUMP(object);
    if (id == PROP_LOG_FILE) {
        g_value_set_string(value, LogFilePath().c_str());
        return;
    }
    if (self->state == nullptr) {
        return;
    }
    auto& state = *self->state;
    GST_OBJECT_LOCK(self);
    switch (id) {
    case PROP_QUALITY: g_value_set_int(value, state.controlData.m_nQuality); break;
    case PROP_DCT_METHOD: g_value_set_int(value, state.controlData.m_nDctMethod); break;
    case PROP_FRAME_RATE: g_value_set_int(value, state.controlData.m_nFrameRate); break;
    case PROP_WINDOW: g_value_set_pointer(value, state.window); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
    GST_OBJECT_UNLOCK(self);
}
