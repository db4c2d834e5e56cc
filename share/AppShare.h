#pragma once
// Window sharing: while sharing is on, a low-priority thread wakes once a second, copies the
// window the user works in (frame included) into a 24-bit picture at most 800 pixels wide,
// skips it when it equals the last picture sent, compresses it with the camera's settings
// and hands the JPEG to the main window with a synchronous WM_JPEG_FRAME.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/sound/SoundEvent.h"
#include "app/WindowMessages.h"
#include "platform/winmsg/WinMsg.h"
#include "video/Bitmap.h"
#include "video/OskelJpegControlData.h"

// What is captured: the foreground window of the desktop. Its calls run on the share thread.
class IShareSource {
public:
    using WindowId = std::uint64_t;
    virtual ~IShareSource() = default;
    // The window the user works in; 0 when there is none.
    virtual WindowId Foreground() = 0;
    // Size of that window with its frame.
    virtual bool WindowSize(WindowId window, int& width, int& height) = 0;
    // Stretches the whole window (frame included) over the bottom-up 24-bit section.
    virtual bool StretchCopy(WindowId window, const DibSection& target) = 0;
};

class CAppShare : public CMsgTarget {
public:
    static constexpr int kMaxWidth = 800;
    static constexpr std::uint32_t kStillActive = 259;  // the exit code of a running thread

    explicit CAppShare(std::unique_ptr<IShareSource> source);
    virtual ~CAppShare();
    CAppShare(const CAppShare&) = delete;
    CAppShare& operator=(const CAppShare&) = delete;

    // Creates the events, takes the main window, sharing off, starts the thread.
    virtual int Init(HWND window, std::uint32_t param, void* unused = nullptr);
    // Sharing off; ends the thread.
    virtual void Stop();
    virtual HWND GetWnd() const { return m_hWnd; }
    virtual void SetWnd(HWND window) { m_hWnd = window; }
    virtual bool IsSharing() const { return m_bSharing.load(); }
    virtual void SetSharing(bool sharing) { m_bSharing.store(sharing); }
    // The frame to the main window, with a synchronous message.
    virtual LRESULT SendToWnd(UINT message, WPARAM wParam, const SendBlock& block);
    virtual morvika::sound::AutoResetEvent& WakeEvent() { return m_events[0]; }
    virtual int CreateEvents();
    virtual void OnWake() {}
    virtual void OnStopEvent() { SetSharing(false); }
    // One capture; runs on the share thread when the wait times out.
    virtual void CaptureFrame();
    virtual void OnWaitFailed() {}
    virtual int CreateThredProc();
    virtual int WaitEndThred();
    // The native windows never captured: the main window and the share preview.
    virtual void SetExcludeWnd(IShareSource::WindowId window) { m_hExcludeWnd.store(window); }
    virtual morvika::sound::AutoResetEvent& StopEvent() { return m_events[1]; }

    void SetMainWindowId(IShareSource::WindowId window) { m_hMainWindowId.store(window); }
    // A copy of the compression settings; null goes back to the defaults.
    void SetJpegSettings(const OskelJpegControlData* settings);
    // How long the thread waits between captures (1000 ms).
    void SetPeriod(std::uint32_t ms) { m_dwPeriod.store(ms); }
    std::uint32_t Period() const { return m_dwPeriod.load(); }
    bool ThreadRunning() const { return m_hThread.joinable(); }

    // The reference comparison: true when the picture differs from the last one kept (which
    // it then replaces).
    bool CompareReference(const DibSection& picture);
    // Any thread: the next capture is sent even when unchanged (someone joined meanwhile).
    void ResendNext() { m_bResend = true; }

    // Target size of a window of width x height: no wider than 800 pixels.
    static void TargetSize(int width, int height, int& targetWidth, int& targetHeight);

    // The hand-off of a frame from the share thread, on the thread that created the engine.
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    struct HandOff;
    void ThreadMain();
    // Sends the frame to the main window and waits until it is handled there; gives up
    // when the engine is told to quit, so that ending the thread never waits on a window
    // thread that is itself waiting for the thread.
    void HandOffFrame(std::unique_ptr<unsigned char[]> jpeg, std::uint32_t length);

    HWND m_hWnd = 0;
    morvika::sound::AutoResetEvent m_events[3];  // wake, stop sharing, quit
    std::uint32_t m_dwParam = 0;
    std::atomic<IShareSource::WindowId> m_hExcludeWnd{0};
    std::atomic<IShareSource::WindowId> m_hMainWindowId{0};
    std::thread m_hThread;
    std::atomic<std::uint32_t> m_dwExitCode{0};
    std::atomic<bool> m_bSharing{false};
    std::atomic<bool> m_bResend{false};
    std::atomic<std::uint32_t> m_dwPeriod{1000};
    std::mutex m_settingsLock;
    std::optional<OskelJpegControlData> m_pJpegSettings;
    std::vector<unsigned char> m_pRefBits;
    DibSection m_RefInfo;
    bool m_bHasReference = false;
    std::unique_ptr<IShareSource> m_pSource;
    std::thread::id m_ownerThread;
    std::mutex m_handOffLock;
    std::shared_ptr<HandOff> m_pHandOff;  // the frame waiting for the main window
    bool m_bQuitting = false;             // guarded by m_handOffLock
};
