#include "video/CameraPipeline.h"

#include <gio/gio.h>
#include <gst/gst.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <thread>

#include "app/Log.h"
#include "filter/OskelJpegDumpControl.h"
#include "app/WindowMessages.h"
#include "platform/winmsg/WinMsgPayload.h"

namespace {

const std::string kCaps = "video/x-raw,format=BGR,width=" + std::to_string(kCameraWidth) +
                          ",height=" + std::to_string(kCameraHeight) + ",framerate=12/1";
// Settling a state change has no bound of its own; give up after this many 10 ms tries.
constexpr int kStateTries = 500;

// One frame on its way from the streaming thread to the main window. The bytes are the
// element's and valid only while the streaming thread waits, so the window thread uses
// them only while `abandoned` is false, under the lock.
struct HandOff {
    std::mutex lock;
    std::condition_variable changed;
    const unsigned char* bytes = nullptr;
    std::uint32_t count = 0;
    HWND target = 0;
    bool done = false;
    bool abandoned = false;
};

// What the message carries: however it ends, handled or dropped with a window that went
// away, the streaming thread stops waiting.
struct HandOffRef {
    explicit HandOffRef(std::shared_ptr<HandOff> shared) : handOff(std::move(shared)) {}
    HandOffRef(const HandOffRef&) = delete;
    HandOffRef& operator=(const HandOffRef&) = delete;
    ~HandOffRef()
    {
        std::lock_guard guard(handOff->lock);
        handOff->done = true;
        handOff->changed.notify_all();
    }
    std::shared_ptr<HandOff> handOff;
};

// Takes over a newly made object: a floating reference becomes the one the pointer owns.
template <typename T>
GstPtr<T> Sink(T* floating)
{
    if (floating != nullptr) gst_object_ref_sink(floating);
    return GstPtr<T>(floating);
}

void SetBusHandler(GstBus* bus, CCameraPipeline* self, GstBusSyncHandler handler)
{
    gst_bus_set_sync_handler(bus, handler, self, nullptr);
}

std::string DeviceName(GstDevice* device)
{
    gchar* name = gst_device_get_display_name(device);
    std::string result = name != nullptr ? name : "";
    g_free(name);
    return result;
}

}  // namespace

void GstUnref::operator()(void* object) const
{
    if (object != nullptr) gst_object_unref(object);
}

// Lives on the window thread; passes each frame on with a synchronous WM_JPEG_FRAME.
class CFrameRelay : public CMsgTarget {
public:
    ~CFrameRelay() override { DetachMessages(); }

    LRESULT WindowProc(UINT message, WPARAM, LPARAM lParam) override
    {
        if (message != WM_JPEG_FRAME) return 0;
        const std::unique_ptr<HandOffRef> ref = TakePayload<HandOffRef>(lParam);
        if (ref == nullptr) return 0;
        HandOff& handOff = *ref->handOff;
        std::lock_guard guard(handOff.lock);
        if (!handOff.abandoned) {
            const SendBlock block{0, handOff.count, handOff.bytes};
            SendPayload(handOff.target, WM_JPEG_FRAME, 0, block);
            m_nFrames.fetch_add(1);
        }
        handOff.done = true;
        handOff.changed.notify_all();
        return 1;
    }

    // Streaming thread: hands the frame over and waits until the window thread took it, or
    // until the element cancels (it stops or flushes, perhaps from the window thread).
    void HandOver(HWND target, const unsigned char* bytes, std::uint32_t count, GCancellable* cancellable)
    {
        auto handOff = std::make_shared<HandOff>();
        handOff->bytes = bytes;
        handOff->count = count;
        handOff->target = target;
        if (!PostPayload(Handle(), WM_JPEG_FRAME, 0, std::make_unique<HandOffRef>(handOff))) return;
        std::unique_lock guard(handOff->lock);
        while (!handOff->done) {
            if (cancellable != nullptr && g_cancellable_is_cancelled(cancellable)) {
                handOff->abandoned = true;
                return;
            }
            handOff->changed.wait_for(guard, std::chrono::milliseconds(20));
        }
    }

    std::uint64_t Frames() const { return m_nFrames.load(); }

    static void OnJpegFrame(GstElement*, gpointer window, gpointer data, guint length, GCancellable* cancellable,
                            gpointer self)
    {
        static_cast<CFrameRelay*>(self)->HandOver(static_cast<HWND>(reinterpret_cast<std::uintptr_t>(window)),
                                                  static_cast<const unsigned char*>(data), length, cancellable);
    }

private:
    std::atomic<std::uint64_t> m_nFrames{0};
};

bool CCameraPipeline::InitGstreamer()
{
    static const bool ready = [] {
        if (!gst_init_check(nullptr, nullptr, nullptr)) return false;
        // PipeWire's device provider (0.3.65) now and then corrupts the heap when a monitor
        // stops while the daemon's graph changes, and it only lists the V4L2 cameras a second
        // time; a provider of rank none takes no part in any monitor.
        if (GstPtr<GstDeviceProviderFactory> pipewire(gst_device_provider_factory_find("pipewiredeviceprovider"));
            pipewire) {
            gst_plugin_feature_set_rank(GST_PLUGIN_FEATURE(pipewire.get()), GST_RANK_NONE);
        }
        if (GstPtr<GstElementFactory>(gst_element_factory_find("oskeljpegdump"))) return true;
        // Run from the build tree: the plug-in sits in <build>/filter beside <build>/app.
        std::error_code ec;
        const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        if (!ec) {
            const auto folder = exe.parent_path().parent_path() / "filter";
            if (std::filesystem::exists(folder / "libgstoskeljpegdump.so", ec)) {
                gst_registry_scan_path(gst_registry_get(), folder.c_str());
            }
        }
        return true;
    }();
    return ready;
}

CCameraPipeline::CCameraPipeline(HWND mainWindow) : m_hMain(mainWindow), m_pRelay(std::make_unique<CFrameRelay>()) {}

CCameraPipeline::~CCameraPipeline()
{
    if (m_nState == kPipelineRunning && m_pPipeline) gst_element_set_state(m_pPipeline.get(), GST_STATE_NULL);
    m_nState = kPipelineNone;
    ReleaseAll();
    StopMonitor();
}

std::uint64_t CCameraPipeline::FramesHandedOff() const
{
    return m_pRelay->Frames();
}

void CCameraPipeline::QueueEvent(long code, long param)
{
    {
        std::lock_guard guard(m_eventLock);
        m_events.emplace_back(code, param);
    }
    PostMessage(m_hMain, WM_GRAPH_EVENT, 0, 0);
}

std::size_t CCameraPipeline::QueuedEvents() const
{
    std::lock_guard guard(m_eventLock);
    return m_events.size();
}

// Any thread: the pipeline's and the device monitor's messages become queued events.
int CCameraPipeline::OnBusMessage(GstBus*, GstMessage* message, void* data)
{
    auto* self = static_cast<CCameraPipeline*>(data);
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_EOS: self->QueueEvent(kEventComplete, 0); break;
    case GST_MESSAGE_ERROR: {
        GError* error = nullptr;
        gst_message_parse_error(message, &error, nullptr);
        GST_WARNING("camera pipeline error: %s", error != nullptr ? error->message : "?");
        g_clear_error(&error);
        self->QueueEvent(kEventErrorAbort, 0);
        break;
    }
    case GST_MESSAGE_DEVICE_ADDED:
    case GST_MESSAGE_DEVICE_REMOVED: {
        GstDevice* device = nullptr;
        const bool added = GST_MESSAGE_TYPE(message) == GST_MESSAGE_DEVICE_ADDED;
        if (added) {
            gst_message_parse_device_added(message, &device);
        } else {
            gst_message_parse_device_removed(message, &device);
        }
        if (device != nullptr) {
            const GstPtr<GstDevice> owned(device);
            const std::string name = DeviceName(device);
            bool changed = false;
            {
                std::lock_guard guard(self->m_eventLock);
                // Only a change counts: the devices a starting monitor reports, or a second
                // report of a listed one, are no comings and goings.
                if (name == self->m_strCameraName && added != self->m_bCameraListed) {
                    self->m_bCameraListed = added;
                    changed = !self->m_bMonitorStarting;
                }
            }
            if (changed) self->QueueEvent(kEventDeviceLost, added ? 1 : 0);
        }
        break;
    }
    default: break;
    }
    return GST_BUS_DROP;
}

std::uint32_t CCameraPipeline::GetInterfaces()
{
    const auto fail = [this](std::uint32_t result) {
        MORVIKA_LOG("ERROR CCameraView::GetInterfaces() %x \n", result);
        ReleaseAll();
        return result;
    };
    if (!InitGstreamer()) return fail(kHrFail);
    m_pPipeline = Sink(gst_pipeline_new("camera"));
    if (!m_pPipeline) return fail(kHrFail);
    SetBusHandler(GstPtr<GstBus>(gst_element_get_bus(m_pPipeline.get())).get(), this,
                  reinterpret_cast<GstBusSyncHandler>(&CCameraPipeline::OnBusMessage));
    m_pDump = Sink(gst_element_factory_make("oskeljpegdump", "Dump Render"));
    if (!m_pDump) return fail(kHrClassNotRegistered);
    OskelJpegDumpControlInterface* control = oskel_jpeg_dump_control_get_iface(m_pDump.get());
    if (control == nullptr) return fail(kHrNoInterface);
    auto* dump = reinterpret_cast<OskelJpegDumpControl*>(m_pDump.get());
    const std::string logPath = LogFilePath();
    control->set_log_file(dump, logPath.c_str());
    control->set_window(dump, reinterpret_cast<gpointer>(static_cast<std::uintptr_t>(m_hMain)));
    g_signal_connect(m_pDump.get(), "jpeg-frame", G_CALLBACK(&CFrameRelay::OnJpegFrame), m_pRelay.get());
    PushControlData();
    return 0;
}

bool CCameraPipeline::SetFilterControlData(const OskelJpegControlData& data)
{
    OskelJpegDumpControlInterface* control = oskel_jpeg_dump_control_get_iface(m_pDump.get());
    if (control == nullptr) return false;
    const OskelJpegControlData copy(data);
    const OskelJpegDumpControlData values{copy.name(),     copy.version(),    copy.traceFlag(),
                                          copy.m_nQuality, copy.m_nDctMethod, copy.m_nFrameRate};
    control->set_control_data(reinterpret_cast<OskelJpegDumpControl*>(m_pDump.get()), &values);
    return true;
}

void CCameraPipeline::PushControlData()
{
    OskelJpegDumpControlInterface* control = oskel_jpeg_dump_control_get_iface(m_pDump.get());
    if (control == nullptr) return;
    const OskelJpegControlData copy(m_ControlData);
    const OskelJpegDumpControlData data{copy.name(),     copy.version(),    copy.traceFlag(),
                                        copy.m_nQuality, copy.m_nDctMethod, copy.m_nFrameRate};
    control->set_control_data(reinterpret_cast<OskelJpegDumpControl*>(m_pDump.get()), &data);
}

bool CCameraPipeline::StartMonitor()
{
    if (m_pMonitor) return true;
    m_pMonitor.reset(gst_device_monitor_new());
    gst_device_monitor_add_filter(m_pMonitor.get(), "Video/Source", nullptr);
    SetBusHandler(GstPtr<GstBus>(gst_device_monitor_get_bus(m_pMonitor.get())).get(), this,
                  reinterpret_cast<GstBusSyncHandler>(&CCameraPipeline::OnBusMessage));
    {
        std::lock_guard guard(m_eventLock);
        m_bMonitorStarting = true;
    }
    const bool started = gst_device_monitor_start(m_pMonitor.get());
    {
        std::lock_guard guard(m_eventLock);
        m_bMonitorStarting = false;
    }
    if (!started) StopMonitor();
    return started;
}

void CCameraPipeline::StopMonitor()
{
    if (!m_pMonitor) return;
    gst_device_monitor_stop(m_pMonitor.get());
    SetBusHandler(GstPtr<GstBus>(gst_device_monitor_get_bus(m_pMonitor.get())).get(), nullptr, nullptr);
    m_pMonitor.reset();
}

std::uint32_t CCameraPipeline::FindCaptureSource(GstPtr<GstElement>* source, SourceKind* kind)
{
    source->reset();
    *kind = kSourceRaw;
    if (m_strCameraName == kTestSourceName) {
        *source = Sink(gst_element_factory_make("videotestsrc", "Video Capture"));
        if (!*source) return kHrFail;
        // A live, moving picture, like a camera's.
        g_object_set(source->get(), "is-live", TRUE, "horizontal-speed", 2, nullptr);
        return 0;
    }
    if (!StartMonitor()) return 1;  // no device category: nothing found
    GList* devices = gst_device_monitor_get_devices(m_pMonitor.get());
    std::uint32_t result = 1;  // the end of the list: success without a device
    for (GList* item = devices; item != nullptr; item = item->next) {
        GstDevice* device = GST_DEVICE(item->data);
        if (DeviceName(device) != m_strCameraName) continue;
        *source = Sink(gst_device_create_element(device, "Video Capture"));
        result = *source ? 0 : kHrFail;
        // Raw video where the device offers it (the converters take any raw format); else
        // MJPEG through its decoder, else whatever decodebin finds for it.
        if (GstCaps* caps = gst_device_get_caps(device)) {
            bool raw = false;
            bool jpeg = false;
            for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
                const char* media = gst_structure_get_name(gst_caps_get_structure(caps, i));
                raw = raw || g_str_equal(media, "video/x-raw");
                jpeg = jpeg || g_str_equal(media, "image/jpeg");
            }
            if (!raw && !gst_caps_is_empty(caps) && !gst_caps_is_any(caps)) *kind = jpeg ? kSourceJpeg : kSourceOther;
            gst_caps_unref(caps);
        }
        break;
    }
    g_list_free_full(devices, gst_object_unref);
    {
        std::lock_guard guard(m_eventLock);
        m_bCameraListed = *source != nullptr;
    }
    return result;
}

namespace {

// decodebin's pads appear once it knows the stream: its video pad goes to the converter.
void LinkDecodedPad(GstElement*, GstPad* pad, gpointer convert)
{
    GstPtr<GstPad> sink(gst_element_get_static_pad(static_cast<GstElement*>(convert), "sink"));
    if (!sink || gst_pad_is_linked(sink.get())) return;
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (caps == nullptr) caps = gst_pad_query_caps(pad, nullptr);
    const bool video = caps != nullptr && gst_caps_get_size(caps) > 0 &&
                       g_str_has_prefix(gst_structure_get_name(gst_caps_get_structure(caps, 0)), "video/");
    if (caps != nullptr) gst_caps_unref(caps);
    if (video && gst_pad_link(pad, sink.get()) != GST_PAD_LINK_OK) GST_WARNING("camera: decoded pad does not link");
}

}  // namespace

// The bin takes its own reference of each element it accepts; the pointers here drop theirs
// when they go, so an element is freed with the pipeline or, when it never got into it, here.
std::uint32_t CCameraPipeline::SetUpGraph()
{
    std::uint32_t result = GetInterfaces();
    GstPtr<GstElement> source;
    if (result == 0) {
        SourceKind kind = kSourceRaw;
        result = FindCaptureSource(&source, &kind);
        GstBin* bin = GST_BIN(m_pPipeline.get());
        if (!source) {
            // Adding a missing capture filter fails.
            if (result == 0 || result == 1) result = kHrPointer;
        } else if (!gst_bin_add(bin, source.get()) || !gst_bin_add(bin, m_pDump.get())) {
            result = kHrFail;
        } else {
            GstPtr<GstElement> convert = Sink(gst_element_factory_make("videoconvert", nullptr));
            GstPtr<GstElement> scale = Sink(gst_element_factory_make("videoscale", nullptr));
            GstPtr<GstElement> rate = Sink(gst_element_factory_make("videorate", nullptr));
            GstPtr<GstElement> filter = Sink(gst_element_factory_make("capsfilter", nullptr));
            if (!convert || !scale || !rate || !filter) {
                result = kHrFail;
            } else {
                GstCaps* caps = gst_caps_from_string(kCaps.c_str());
                g_object_set(filter.get(), "caps", caps, nullptr);
                gst_caps_unref(caps);
                gst_bin_add_many(bin, convert.get(), scale.get(), rate.get(), filter.get(), nullptr);
                GstPtr<GstElement> decoder;
                if (kind != kSourceRaw) {
                    decoder = Sink(gst_element_factory_make(kind == kSourceJpeg ? "jpegdec" : "decodebin", nullptr));
                }
                if (kind != kSourceRaw &&
                    (!decoder || !gst_bin_add(bin, decoder.get()) || !gst_element_link(source.get(), decoder.get()))) {
                    result = kHrFail;
                } else if (kind == kSourceOther) {
                    g_signal_connect(decoder.get(), "pad-added", G_CALLBACK(&LinkDecodedPad), convert.get());
                } else if (!gst_element_link(kind == kSourceJpeg ? decoder.get() : source.get(), convert.get())) {
                    result = kHrFail;
                }
                if (result == 0 && !gst_element_link_many(convert.get(), scale.get(), rate.get(), filter.get(),
                                                          m_pDump.get(), nullptr)) {
                    result = kHrFail;
                }
            }
        }
    }
    if (result != 0) {
        MORVIKA_LOG("ERROR CCameraView::SetUpGraph() %x \n", result);
        return result;
    }
    return 0;
}

bool CCameraPipeline::ReadState(int* state)
{
    if (m_pPipeline == nullptr) return false;
    for (int tries = 0; tries < kStateTries; ++tries) {
        GstState current = GST_STATE_VOID_PENDING;
        const GstStateChangeReturn ret = gst_element_get_state(m_pPipeline.get(), &current, nullptr, 10 * GST_MSECOND);
        if (ret == GST_STATE_CHANGE_ASYNC) continue;
        if (ret == GST_STATE_CHANGE_FAILURE) return false;
        // -1: no settled state yet.
        *state = current == GST_STATE_VOID_PENDING ? -1 : static_cast<int>(kPipelineStopped);
        if (current == GST_STATE_PLAYING) *state = kPipelineRunning;
        return true;
    }
    return false;
}

int CCameraPipeline::Run()
{
    MORVIKA_LOG("LOG   CCameraView::Run() [%s] %d \n", m_strCameraName.c_str(), static_cast<int>(m_nState));
    if (m_nState == kPipelineRunning) return 0;
    std::uint32_t result = 0;
    if (m_nState == kPipelineNone) {
        {
            std::lock_guard guard(m_eventLock);
            m_events.clear();
        }
        result = SetUpGraph();
    }
    if (result == 0) {
        const GstStateChangeReturn ret = gst_element_set_state(m_pPipeline.get(), GST_STATE_PLAYING);
        if (ret != GST_STATE_CHANGE_FAILURE) {
            m_nState = kPipelineRunning;
            return 0;
        }
        int state = 0;
        if (ReadState(&state)) {
            if (state < 0) return 0;
            m_nState = static_cast<PipelineState>(state);
            return 0;
        }
        result = kHrFail;
    }
    MORVIKA_LOG("ERROR CCameraView::Run() %x \n", result);
    m_nState = kPipelineNone;
    ReleaseAll();
    return 1;
}

void CCameraPipeline::Stop()
{
    MORVIKA_LOG("LOG   CCameraView::Stop() [%s] %d \n", m_strCameraName.c_str(), static_cast<int>(m_nState));
    int state = 0;
    if (m_nState == kPipelineRunning && ReadState(&state) && state == kPipelineRunning) {
        MORVIKA_LOG("LOG   CCameraView::Stop() m_pMediaControl->StopWhenReady() Start \n");
        gst_element_set_state(m_pPipeline.get(), GST_STATE_PAUSED);
        m_nState = kPipelineStopped;
        MORVIKA_LOG("LOG   CCameraView::Stop() m_pMediaControl->Stop() Start \n");
        if (gst_element_set_state(m_pPipeline.get(), GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
            MORVIKA_LOG("ERROR CCameraView::Stop() %x \n", kHrFail);
        }
    }
    MORVIKA_LOG("LOG   CCameraView::Stop() End \n");
}

void CCameraPipeline::Teardown()
{
    m_nState = kPipelineNone;
    ReleaseAll();
}

void CCameraPipeline::Restart()
{
    if (m_nState != kPipelineRunning) {
        Teardown();
        Run();
    }
}

void CCameraPipeline::ReleaseAll()
{
    if (m_pPipeline) {
        // A pipeline is released only when stopped; the element's cancellation lets a
        // frame waiting for this very thread go.
        gst_element_set_state(m_pPipeline.get(), GST_STATE_NULL);
        SetBusHandler(GstPtr<GstBus>(gst_element_get_bus(m_pPipeline.get())).get(), nullptr, nullptr);
    }
    if (m_pDump) g_signal_handlers_disconnect_by_data(m_pDump.get(), m_pRelay.get());
    m_pDump.reset();
    m_pPipeline.reset();
}

GraphAction CCameraPipeline::OnGraphNotify()
{
    MORVIKA_LOG("LOG   CCameraView::OnGraphNotify() Start \n");
    if (m_pPipeline == nullptr) return kGraphNothing;
    GraphAction result = kGraphNothing;
    for (;;) {
        std::pair<long, long> event;
        {
            std::lock_guard guard(m_eventLock);
            if (m_events.empty()) break;
            event = m_events.front();
            m_events.pop_front();
        }
        const long code = event.first;
        if (code >= kEventComplete && code <= kEventErrorAbort) {
            MORVIKA_LOG("ERROR CCameraView::OnGraphNotify() evCode %x \n", static_cast<unsigned>(code));
            return kGraphStop;
        }
        if (code == kEventDeviceLost) {
            if (event.second == 1) {
                MORVIKA_LOG("LOG   CCameraView::OnGraphNotify() カメラが再接続された \n");
                result = kGraphRebuild;
            } else {
                MORVIKA_LOG("LOG   CCameraView::OnGraphNotify() カメラが外された \n");
                result = kGraphStop;
            }
        }
    }
    MORVIKA_LOG("LOG   CCameraView::OnGraphNotify() End %x \n", static_cast<unsigned>(result));
    return result;
}

void CCameraPipeline::ApplyControlData(const OskelJpegControlData& data)
{
    m_ControlData = data;
    if (m_pDump != nullptr && oskel_jpeg_dump_control_get_iface(m_pDump.get()) != nullptr) {
        PushControlData();
        // Switching to a still picture sets frame rate 0 and sends the still right after:
        // the wait gives the streaming thread time to take the new rate, so that no live
        // frame follows the still picture.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (onControlDataApplied) onControlDataApplied();
}

void CCameraPipeline::SetFrameRate(std::int32_t rate)
{
    OskelJpegControlData copy(m_ControlData);
    copy.m_nFrameRate = rate;
    ApplyControlData(copy);
}

void CCameraPipeline::ToggleLive()
{
    SetFrameRate(m_ControlData.m_nFrameRate == 0 ? OskelJpegControlData::kDefaultFrameRate : 0);
}
