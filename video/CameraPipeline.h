#pragma once
// The camera pipeline: a GStreamer pipeline from the camera (or the test source) through
// the converters into the frame dump element, its states, and its events. Frames go to
// the main window as WM_JPEG_FRAME, handed over synchronously from the streaming thread;
// events reach the main window as WM_GRAPH_EVENT and are drained by OnGraphNotify.
// Free of widgets; every operation runs on the thread that created the object.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/winmsg/WinMsg.h"
#include "video/OskelJpegControlData.h"

typedef struct _GstElement GstElement;
typedef struct _GstBus GstBus;
typedef struct _GstMessage GstMessage;
typedef struct _GstDeviceMonitor GstDeviceMonitor;

class CFrameRelay;

// Drops one reference of a GStreamer object; GstPtr owns exactly one.
struct GstUnref {
    void operator()(void* object) const;
};
template <typename T>
using GstPtr = std::unique_ptr<T, GstUnref>;

// The size of every camera picture, and of the camera's window.
inline constexpr int kCameraWidth = 320;
inline constexpr int kCameraHeight = 240;

// What the main window does after draining the pipeline's events.
enum GraphAction : int {
    kGraphNothing = 0,
    kGraphStop = 3,
    kGraphRebuild = 31,  // the camera came back
};

// 0 no pipeline, 1 built and not running, 2 running.
enum PipelineState : std::int32_t {
    kPipelineNone = 0,
    kPipelineStopped = 1,
    kPipelineRunning = 2,
};

// Result codes as the log shows them.
constexpr std::uint32_t kHrFail = 0x80004005u;
constexpr std::uint32_t kHrPointer = 0x80004003u;
constexpr std::uint32_t kHrNoInterface = 0x80004002u;
constexpr std::uint32_t kHrClassNotRegistered = 0x80040154u;

// Pipeline event codes (as the media event queue numbers them).
constexpr long kEventComplete = 1;
constexpr long kEventUserAbort = 2;
constexpr long kEventErrorAbort = 3;
constexpr long kEventDeviceLost = 0x1F;

class CCameraPipeline {
public:
    // The camera name that selects GStreamer's test picture instead of a device.
    static constexpr const char* kTestSourceName = "videotestsrc";

    // mainWindow receives WM_GRAPH_EVENT and WM_JPEG_FRAME.
    explicit CCameraPipeline(HWND mainWindow);
    ~CCameraPipeline();
    CCameraPipeline(const CCameraPipeline&) = delete;
    CCameraPipeline& operator=(const CCameraPipeline&) = delete;

    void SetCameraName(const std::string& name)
    {
        std::lock_guard guard(m_eventLock);                    // the device monitor's thread reads it
        if (name != m_strCameraName) m_bCameraListed = false;  // learnt again at the next build
        m_strCameraName = name;
    }
    const std::string& CameraName() const { return m_strCameraName; }

    // 0 when running (or in a state the pipeline accepts), 1 on failure.
    int Run();
    void Stop();
    void Teardown();
    void Restart();
    GraphAction OnGraphNotify();

    void ApplyControlData(const OskelJpegControlData& data);
    // Hands settings to the frame dump element only (the camera image page's Apply); false
    // when there is no element.
    bool SetFilterControlData(const OskelJpegControlData& data);
    void SetFrameRate(std::int32_t rate);
    void ToggleLive();
    const OskelJpegControlData& ControlData() const { return m_ControlData; }
    // Called after new settings were applied (the icon view follows the frame rate).
    std::function<void()> onControlDataApplied;

    PipelineState State() const { return m_nState; }

    // Queues a pipeline event and tells the main window, as the pipeline's bus does.
    void QueueEvent(long code, long param);
    std::size_t QueuedEvents() const;

    std::uint64_t FramesHandedOff() const;
    GstElement* Pipeline() const { return m_pPipeline.get(); }
    GstElement* DumpElement() const { return m_pDump.get(); }

    // Makes GStreamer ready and the frame dump element findable (the build tree's plug-in
    // folder is scanned when the installed registry does not know the element). False when
    // GStreamer cannot start.
    static bool InitGstreamer();

private:
    std::uint32_t GetInterfaces();
    std::uint32_t SetUpGraph();
    // What the source delivers, so that the right converters follow it.
    enum SourceKind { kSourceRaw, kSourceJpeg, kSourceOther };
    std::uint32_t FindCaptureSource(GstPtr<GstElement>* source, SourceKind* kind);
    // The device monitor, started once and kept for the object's life: starting a monitor
    // reports every present device as added, which must not read as "the camera came back".
    bool StartMonitor();
    void StopMonitor();
    // The settled state; false on failure.
    bool ReadState(int* state);
    void ReleaseAll();
    void PushControlData();

    static int OnBusMessage(GstBus* bus, GstMessage* message, void* self);

    HWND m_hMain;
    std::string m_strCameraName;
    OskelJpegControlData m_ControlData;
    PipelineState m_nState = kPipelineNone;

    GstPtr<GstElement> m_pPipeline;
    GstPtr<GstElement> m_pDump;
    GstPtr<GstDeviceMonitor> m_pMonitor;
    std::unique_ptr<CFrameRelay> m_pRelay;

    mutable std::mutex m_eventLock;
    std::deque<std::pair<long, long>> m_events;
    // Under m_eventLock: whether the monitor lists the camera now, and whether it is still
    // reporting the devices it found at its start.
    bool m_bCameraListed = false;
    bool m_bMonitorStarting = false;
};
