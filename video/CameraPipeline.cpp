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

namespace {

constexpr const char* kCaps = "video/x-raw,format=BGR,width=320,height=240,framerate=12/1";
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

using HandOffRef = std::shared_ptr<HandOff>;

void FinishHandOff(HandOff& handOff)
{
    std::lock_guard guard(handOff.lock);
    handOff.done = true;
    handOff.changed.notify_all();
}

void DropHandOff(UINT, WPARAM, LPARAM lParam)
{
    auto* ref = reinterpret_cast<HandOffRef*>(lParam);
    FinishHandOff(**ref);
    delete ref;
}

std::string DeviceName(GstDevice* device)
{
    gchar* name = gst_device_get_display_name(device);
    std::string result = name != nullptr ? name : "";
    g_free(name);
    return result;
}

}  // namespace

// Lives on the window thread; passes each frame on with a synchronous WM_JPEG_FRAME.
class CFrameRelay : public CMsgTarget {
public:
    ~CFrameRelay() override { DetachMessages(); }

    LRESULT WindowProc(UINT message, WPARAM, LPARAM lParam) override
    {
        if (message != WM_JPEG_FRAME || lParam == 0) return 0;
        std::unique_ptr<HandOffRef> ref(reinterpret_cast<HandOffRef*>(lParam));
        HandOff& handOff = **ref;
        std::lock_guard guard(handOff.lock);
        if (!handOff.abandoned) {
            SendBlock block {0, handOff.count, handOff.bytes};
            SendMessage(handOff.target, WM_JPEG_FRAME, 0, reinterpret_cast<LPARAM>(&block));
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
        auto* ref = new HandOffRef(handOff);
        if (!PostMessage(Handle(), WM_JPEG_FRAME, 0, reinterpret_cast<LPARAM>(ref), &DropHandOff)) return;
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
    std::atomic<std::uint64_t> m_nFrames {0};
};

bool CCameraPipeline::InitGstreamer()
{
    static const bool ready = [] {
        if (!gst_init_check(nullptr, nullptr, nullptr)) return false;
        GstElementFactory* factory = gst_element_factory_find("oskeljpegdump");
        if (factory != nullptr) {
            gst_object_unref(factory);
            return true;
        }
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

CCameraPipeline::CCameraPipeline(HWND mainWindow)
    : m_hMain(mainWindow), m_pRelay(std::make_unique<CFrameRelay>())
{
}

CCameraPipeline::~CCameraPipeline()
{
    if (m_nState == 2 && m_pPipeline != nullptr) gst_element_set_state(m_pPipeline, GST_STATE_NULL);
    m_nState = 0;
    ReleaseAll();
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
    case GST_MESSAGE_EOS:
        self->QueueEvent(kEventComplete, 0);
        break;
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
            std::string watched;
            {
                std::lock_guard guard(self->m_eventLock);
                watched = self->m_strCameraName;
            }
            if (DeviceName(device) == watched) self->QueueEvent(kEventDeviceLost, added ? 1 : 0);
            gst_object_unref(device);
        }
        break;
    }
    default:
        break;
    }
    return GST_BUS_DROP;
}

std::uint32_t CCameraPipeline::GetInterfaces()
{
    std::uint32_t result = 0;
    OskelJpegDumpControlInterface* control = nullptr;
    if (!InitGstreamer()) {
        result = kHrFail;
        goto failed;
    }
    m_pPipeline = gst_pipeline_new("camera");
    if (m_pPipeline == nullptr) {
        result = kHrFail;
        goto failed;
    }
    gst_object_ref_sink(m_pPipeline);
    {
        GstBus* bus = gst_element_get_bus(m_pPipeline);
        gst_bus_set_sync_handler(bus, reinterpret_cast<GstBusSyncHandler>(&CCameraPipeline::OnBusMessage), this,
                                 nullptr);
        gst_object_unref(bus);
    }
    m_pDump = gst_element_factory_make("oskeljpegdump", "Dump Render");
    if (m_pDump == nullptr) {
        result = kHrClassNotRegistered;
        goto failed;
    }
    gst_object_ref_sink(m_pDump);
    control = oskel_jpeg_dump_control_get_iface(m_pDump);
    if (control == nullptr) {
        result = kHrNoInterface;
        goto failed;
    }
    {
        const std::string logPath = LogFilePath();
        control->set_log_file(reinterpret_cast<OskelJpegDumpControl*>(m_pDump), logPath.c_str());
        control->set_window(reinterpret_cast<OskelJpegDumpControl*>(m_pDump),
                            reinterpret_cast<gpointer>(static_cast<std::uintptr_t>(m_hMain)));
        g_signal_connect(m_pDump, "jpeg-frame", G_CALLBACK(&CFrameRelay::OnJpegFrame), m_pRelay.get());
        PushControlData();
    }
    return 0;

failed:
    MORVIKA_LOG("ERROR CCameraView::GetInterfaces() %x \n", result);
    ReleaseAll();
    return result;
}

bool CCameraPipeline::SetFilterControlData(const OskelJpegControlData& data)
{
    OskelJpegDumpControlInterface* control = oskel_jpeg_dump_control_get_iface(m_pDump);
    if (control == nullptr) return false;
    const OskelJpegControlData copy(data);
    const OskelJpegDumpControlData values {copy.name(), copy.version(), copy.traceFlag(),
                                           copy.m_nQuality, copy.m_nDctMethod, copy.m_nFrameRate};
    control->set_control_data(reinterpret_cast<OskelJpegDumpControl*>(m_pDump), &values);
    return true;
}

void CCameraPipeline::PushControlData()
{
    OskelJpegDumpControlInterface* control = oskel_jpeg_dump_control_get_iface(m_pDump);
    if (control == nullptr) return;
    const OskelJpegControlData copy(m_ControlData);
    const OskelJpegDumpControlData data {copy.name(), copy.version(), copy.traceFlag(),
                                         copy.m_nQuality, copy.m_nDctMethod, copy.m_nFrameRate};
    control->set_control_data(reinterpret_cast<OskelJpegDumpControl*>(m_pDump), &data);
}

std::uint32_t CCameraPipeline::FindCaptureSource(GstElement** source)
{
    *source = nullptr;
    if (m_strCameraName == kTestSourceName) {
        *source = gst_element_factory_make("videotestsrc", "Video Capture");
        if (*source == nullptr) return kHrFail;
        // A live, moving picture, like a camera's.
        g_object_set(*source, "is-live", TRUE, "horizontal-speed", 2, nullptr);
        return 0;
    }
    if (m_pMonitor == nullptr) {
        m_pMonitor = gst_device_monitor_new();
        gst_device_monitor_add_filter(m_pMonitor, "Video/Source", nullptr);
        GstBus* bus = gst_device_monitor_get_bus(m_pMonitor);
        gst_bus_set_sync_handler(bus, reinterpret_cast<GstBusSyncHandler>(&CCameraPipeline::OnBusMessage), this,
                                 nullptr);
        gst_object_unref(bus);
        if (!gst_device_monitor_start(m_pMonitor)) return 1;  // no device category: nothing found
    }
    GList* devices = gst_device_monitor_get_devices(m_pMonitor);
    std::uint32_t result = 1;  // the end of the list: success without a device
    for (GList* item = devices; item != nullptr; item = item->next) {
        GstDevice* device = GST_DEVICE(item->data);
        if (DeviceName(device) != m_strCameraName) continue;
        *source = gst_device_create_element(device, "Video Capture");
        result = *source != nullptr ? 0 : kHrFail;
        break;
    }
    g_list_free_full(devices, gst_object_unref);
    return result;
}

std::uint32_t CCameraPipeline::SetUpGraph()
{
    std::uint32_t result = GetInterfaces();
    GstElement* source = nullptr;
    if (result == 0) {
        result = FindCaptureSource(&source);
        if (source == nullptr) {
            // Adding a missing capture filter fails.
            if (result == 0 || result == 1) result = kHrPointer;
        } else if (!gst_bin_add(GST_BIN(m_pPipeline), source)) {
            result = kHrFail;
        } else if (!gst_bin_add(GST_BIN(m_pPipeline), GST_ELEMENT(gst_object_ref(m_pDump)))) {
            result = kHrFail;
        } else {
            GstElement* convert = gst_element_factory_make("videoconvert", nullptr);
            GstElement* scale = gst_element_factory_make("videoscale", nullptr);
            GstElement* rate = gst_element_factory_make("videorate", nullptr);
            GstElement* filter = gst_element_factory_make("capsfilter", nullptr);
            if (convert == nullptr || scale == nullptr || rate == nullptr || filter == nullptr) {
                for (GstElement* e : {convert, scale, rate, filter}) {
                    if (e != nullptr) gst_object_unref(gst_object_ref_sink(e));
                }
                result = kHrFail;
            } else {
                GstCaps* caps = gst_caps_from_string(kCaps);
                g_object_set(filter, "caps", caps, nullptr);
                gst_caps_unref(caps);
                gst_bin_add_many(GST_BIN(m_pPipeline), convert, scale, rate, filter, nullptr);
                if (!gst_element_link_many(source, convert, scale, rate, filter, m_pDump, nullptr)) result = kHrFail;
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
        const GstStateChangeReturn ret = gst_element_get_state(m_pPipeline, &current, nullptr, 10 * GST_MSECOND);
        if (ret == GST_STATE_CHANGE_ASYNC) continue;
        if (ret == GST_STATE_CHANGE_FAILURE) return false;
        *state = current == GST_STATE_PLAYING ? 2 : current == GST_STATE_VOID_PENDING ? -1 : 1;
        return true;
    }
    return false;
}

int CCameraPipeline::Run()
{
    MORVIKA_LOG("LOG   CCameraView::Run() [%s] %d \n", m_strCameraName.c_str(), static_cast<int>(m_nState));
    if (m_nState == 2) return 0;
    std::uint32_t result = 0;
    if (m_nState == 0) {
        {
            std::lock_guard guard(m_eventLock);
            m_events.clear();
        }
        result = SetUpGraph();
    }
    if (result == 0) {
        const GstStateChangeReturn ret = gst_element_set_state(m_pPipeline, GST_STATE_PLAYING);
        if (ret != GST_STATE_CHANGE_FAILURE) {
            m_nState = 2;
            return 0;
        }
        int state = 0;
        if (ReadState(&state)) {
            if (state < 0) return 0;
            m_nState = state;
            return 0;
        }
        result = kHrFail;
    }
    MORVIKA_LOG("ERROR CCameraView::Run() %x \n", result);
    m_nState = 0;
    ReleaseAll();
    return 1;
}

void CCameraPipeline::Stop()
{
    MORVIKA_LOG("LOG   CCameraView::Stop() [%s] %d \n", m_strCameraName.c_str(), static_cast<int>(m_nState));
    int state = 0;
    if (m_nState == 2 && ReadState(&state) && state == 2) {
        MORVIKA_LOG("LOG   CCameraView::Stop() m_pMediaControl->StopWhenReady() Start \n");
        gst_element_set_state(m_pPipeline, GST_STATE_PAUSED);
        m_nState = 1;
        MORVIKA_LOG("LOG   CCameraView::Stop() m_pMediaControl->Stop() Start \n");
        if (gst_element_set_state(m_pPipeline, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
            MORVIKA_LOG("ERROR CCameraView::Stop() %x \n", kHrFail);
        }
    }
    MORVIKA_LOG("LOG   CCameraView::Stop() End \n");
}

void CCameraPipeline::Teardown()
{
    m_nState = 0;
    ReleaseAll();
}

void CCameraPipeline::Restart()
{
    if (m_nState != 2) {
        Teardown();
        Run();
    }
}

void CCameraPipeline::ReleaseAll()
{
    if (m_pPipeline != nullptr) {
        // A pipeline is released only when stopped; the element's cancellation lets a
        // frame waiting for this very thread go.
        gst_element_set_state(m_pPipeline, GST_STATE_NULL);
        GstBus* bus = gst_element_get_bus(m_pPipeline);
        gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
        gst_object_unref(bus);
    }
    if (m_pDump != nullptr) {
        g_signal_handlers_disconnect_by_data(m_pDump, m_pRelay.get());
        gst_object_unref(m_pDump);
        m_pDump = nullptr;
    }
    if (m_pPipeline != nullptr) {
        gst_object_unref(m_pPipeline);
        m_pPipeline = nullptr;
    }
    if (m_pMonitor != nullptr) {
        gst_device_monitor_stop(m_pMonitor);
        GstBus* bus = gst_device_monitor_get_bus(m_pMonitor);
        gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
        gst_object_unref(bus);
        gst_object_unref(m_pMonitor);
        m_pMonitor = nullptr;
    }
}

int CCameraPipeline::OnGraphNotify()
{
    MORVIKA_LOG("LOG   CCameraView::OnGraphNotify() Start \n");
    if (m_pPipeline == nullptr) return 0;
    int result = 0;
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
            return 3;
        }
        if (code == kEventDeviceLost) {
            if (event.second == 1) {
                MORVIKA_LOG("LOG   CCameraView::OnGraphNotify() カメラが再接続された \n");
                result = 31;
            } else {
                MORVIKA_LOG("LOG   CCameraView::OnGraphNotify() カメラが外された \n");
                result = 3;
            }
        }
    }
    MORVIKA_LOG("LOG   CCameraView::OnGraphNotify() End %x \n", static_cast<unsigned>(result));
    return result;
}

void CCameraPipeline::ApplyControlData(const OskelJpegControlData& data)
{
    m_ControlData = data;
    if (m_pDump != nullptr && oskel_jpeg_dump_control_get_iface(m_pDump) != nullptr) {
        PushControlData();
        // The streaming thread may be reading the old settings; give it time to pass.
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
