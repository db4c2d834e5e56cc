#pragma once
// Common base of the capture and playback objects: the sound format, two one-second work
// buffers, the ring geometry, the notification table, three events and the sound thread that
// waits on them and calls the subclass's handlers.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/sound/SoundEvent.h"
#include "platform/sound/SoundService.h"
#include "voice/VoiceBindings.h"

using morvika::sound::AutoResetEvent;
using morvika::sound::ISoundBackend;
using morvika::sound::ISoundBuffer;
using morvika::sound::ISoundDevice;
using morvika::sound::SoundDeviceId;
using morvika::sound::SoundFormat;
using morvika::sound::SoundNotification;

inline constexpr int kSoundNotifyEntries = 34;
inline constexpr int kSoundEventData = 0;
inline constexpr int kSoundEventStop = 1;
inline constexpr int kSoundEventQuit = 2;

class CDirectSoundWraper {
public:
    // backend and poster outlive the object; poster may be null (nothing is posted).
    CDirectSoundWraper(ISoundBackend& backend, IWindowPoster* poster);
    virtual ~CDirectSoundWraper();
    CDirectSoundWraper(const CDirectSoundWraper&) = delete;
    CDirectSoundWraper& operator=(const CDirectSoundWraper&) = delete;

    // GUI thread. Events, window, format and work buffers; always 0.
    virtual int Init(WindowHandle window, const SoundDeviceId* device, const SoundFormat* format);
    virtual int Close() { return 0; }
    virtual WindowHandle GetWindow() const { return m_hWnd.load(); }
    virtual void SetWindow(WindowHandle window) { m_hWnd = window; }
    virtual std::intptr_t SendWindowMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
    virtual AutoResetEvent* GetDataEvent() { return m_hEvents[kSoundEventData].get(); }
    virtual int CreateEvents();
    virtual int CreateBuffer(const SoundFormat& /*format*/, std::uint32_t /*notifications*/) { return 0; }
    virtual int ClearBuffer() { return 0; }
    // Base step: 1 when the table exists already, else 0 with entry 0 set to the stop event.
    virtual int InitNotifications(std::uint32_t notifications);
    // Sound thread handlers.
    virtual int BufferDataProc() { return 0; }
    virtual int OnStopped() { return 0; }
    virtual int NonProc() { return 0; }
    virtual int CreateThredProc();
    // GUI thread; 1 when no thread runs, else 0 once it has ended.
    virtual int WaitEndThred();
    virtual int Start() { return 0; }
    virtual int Stop() { return 0; }
    virtual int SetVolume(long /*volume*/) { return 0; }
    virtual int GetVolume(long* /*volume*/) { return 0; }
    virtual void SetSettings(VoiceSettingsRecord* settings) { m_pSettings = settings; }
    virtual void CopySettings(const VoiceSettingsRecord& settings);
    // Copies bytes of 16-bit samples with the software gain (no clamping).
    virtual void CopyWithGain(std::uint8_t* destination, const std::uint8_t* source, std::uint32_t bytes) const;
    virtual void PostWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                   std::intptr_t lParam);
    virtual AutoResetEvent* GetStopEvent() { return m_hEvents[kSoundEventStop].get(); }

    const SoundFormat& Format() const { return m_Format; }
    std::uint32_t BlockSize() const { return m_dwBlockSize; }
    std::uint32_t BufferSize() const { return m_dwBufferSize; }
    std::uint32_t NextOffset() const { return m_dwNextOffset.load(); }
    bool HasBuffer() const { return m_pBuffer != nullptr; }
    // Events handled by the sound thread so far, and a wait for a count (for tests and
    // diagnosis); false when the time-out passed first.
    std::uint64_t HandledEvents() const;
    bool WaitHandledEvents(std::uint64_t count, std::chrono::milliseconds timeout) const;

protected:
    // Block size of a ring of n notifications: one n-th of a second, at least 1024 bytes,
    // whole sample frames.
    std::uint32_t ComputeBlockSize(const SoundFormat& format, std::uint32_t notifications) const;
    ISoundBackend& Backend() { return m_backend; }

    std::atomic<WindowHandle> m_hWnd{0};
    std::unique_ptr<AutoResetEvent> m_hEvents[3];
    std::thread m_hThread;
    std::atomic<bool> m_threadEnded{false};
    std::uint32_t m_dwBlockSize = 0;
    std::uint32_t m_dwBufferSize = 0;
    std::atomic<std::uint32_t> m_dwNextOffset{0};
    std::atomic<std::uint32_t> m_dwLastTicks{0};
    std::unique_ptr<SoundNotification[]> m_pNotify;
    SoundFormat m_Format;
    std::vector<std::uint8_t> m_pWork1;
    std::vector<std::uint8_t> m_pWork2;
    VoiceSettingsRecord* m_pSettings = nullptr;
    std::atomic<long> m_lGain{0};
    std::unique_ptr<ISoundDevice> m_pDevice;
    std::unique_ptr<ISoundBuffer> m_pBuffer;

private:
    void ThreadMain();

    ISoundBackend& m_backend;
    IWindowPoster* m_poster;
    mutable std::mutex m_handledMutex;
    mutable std::condition_variable m_handledCondition;
    std::uint64_t m_handled = 0;
};
