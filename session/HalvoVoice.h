#pragma once
// The sound side of the main window, free of widgets: the connection to the sound server,
// the capture and playback device lists built from the device settings, and one playback
// object per user window. Without a sound server the program runs on without sound.

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/sound/SoundService.h"
#include "platform/sound/SourceMixer.h"
#include "platform/winmsg/WinMsg.h"
#include "session/PeerMessageQueue.h"
#include "voice/DirectSoundDriverData.h"
#include "voice/EchoReference.h"
#include "voice/MixerControl.h"
#include "voice/SoundPlay.h"
#include "voice/VoiceBindings.h"

class QSocketNotifier;

// Window messages of the sound objects go through the program's message layer.
class CWinMsgPoster : public IWindowPoster {
public:
    void PostWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                           std::intptr_t lParam) override;
    std::intptr_t SendWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                    std::intptr_t lParam) override;
    static CWinMsgPoster& Instance();
};

// Window messages from the capture's thread without an allocation each (a posted message
// allocates its event): they wait in a ring of fixed size, and an event counter wakes the
// window thread, which hands them to their windows in order. Where the ring is full, or
// there is no event loop, they are posted as usual.
class CCapturePoster : public IWindowPoster {
public:
    CCapturePoster();  // window thread
    ~CCapturePoster() override;
    CCapturePoster(const CCapturePoster&) = delete;
    CCapturePoster& operator=(const CCapturePoster&) = delete;

    void PostWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                           std::intptr_t lParam) override;
    std::intptr_t SendWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                    std::intptr_t lParam) override;

private:
    void Deliver();

    struct Posted {
        WindowHandle window;
        std::uint32_t message;
        std::uintptr_t wParam;
        std::intptr_t lParam;
    };
    static constexpr std::size_t kRing = 256;
    std::mutex m_lock;
    std::array<Posted, kRing> m_ring{};
    std::size_t m_first = 0;
    std::size_t m_count = 0;
    int m_wake = -1;  // the event counter
    std::unique_ptr<QSocketNotifier> m_pNotifier;
};

// The capture's packets as voice messages (user and group 0) on a message queue. The
// messages come from a stock of spares that the voice pump gives back once they have gone
// out, so that the capture's thread allocates none.
class CVoiceQueueSink : public IVoicePacketSink {
public:
    explicit CVoiceQueueSink(CPeerMessageQueue& queue);
    void PushVoicePacket(std::uint32_t kind, const std::uint8_t* data, std::size_t size) override;
    // Window thread: a message taken off the queue and done with.
    void GiveBack(CPeerMessage&& message);

private:
    // Enough for two seconds of packets waiting; a packet is some hundreds of bytes.
    static constexpr std::size_t kSpares = 32;
    static constexpr std::uint32_t kSparePayload = 2048;
    CPeerMessageQueue& m_queue;
    CPeerMessageQueue m_spares;
};

// A user window's playback. Keeps the sound server connection alive for as long as the
// window holds it, which may be past the main window's own clean-up.
class CUserPlayback : public std::enable_shared_from_this<CUserPlayback> {
public:
    CUserPlayback(std::shared_ptr<morvika::sound::ISoundBackend> backend, IWindowPoster* poster)
        : m_backend(std::move(backend)),
          m_play(*m_backend, poster)
    {
    }
    CSoundPlay& Play() { return m_play; }
    // GUI thread: a received (or the own) voice message. The sound thread is woken once the
    // messages that came in with it have been handed over too (see SettleArrivals).
    int SaveData(std::uint32_t userId, const std::uint8_t* packet, std::size_t size);
    int Stop() { return m_play.Stop(); }

private:
    // Runs behind the window messages posted so far. While voice messages keep coming in, it
    // goes behind them again; then it wakes the sound thread once.
    void SettleArrivals(std::uint64_t seen);
    // Posts SettleArrivals with the arrivals counted so far.
    void PostSettle();

    std::shared_ptr<morvika::sound::ISoundBackend> m_backend;  // destroyed after m_play
    CSoundPlay m_play;
    std::uint64_t m_nArrivals = 0;
    bool m_bSettling = false;
};

class CHalvoVoice {
public:
    // The sound server of the session (PULSE_SERVER or the desktop's); null when there is none,
    // which is logged.
    static std::shared_ptr<morvika::sound::ISoundBackend> ConnectSoundServer();

    // Also gives the server's source mixer when the backend is the real server's.
    void SetBackend(std::shared_ptr<morvika::sound::ISoundBackend> backend);
    morvika::sound::ISoundBackend* Backend() const { return m_backend.get(); }
    bool HasSound() const { return m_backend != nullptr; }

    // Lists both kinds of devices and picks the ones the settings name; a name that matches
    // no device, or none at all, selects the server's default device.
    void BuildDeviceLists(const std::string& captureName, const std::string& soundName);
    void ReleaseDeviceLists();
    // Null selects the default device.
    const morvika::sound::SoundDeviceId* CaptureDevice() const { return m_captureId ? &*m_captureId : nullptr; }
    const morvika::sound::SoundDeviceId* SoundDevice() const { return m_soundId ? &*m_soundId : nullptr; }

    // A started playback object on the settings' playback device; null without sound.
    std::shared_ptr<CUserPlayback> CreatePlayback(HWND window);

    // Opens the microphone mixer of the capture device and takes the microphone out of the
    // speaker mix. Failures are logged by the mixer; the program runs on without it.
    void OpenMixer(const std::string& captureName);
    // The server's capture sources (null without a sound server), for the settings dialog.
    morvika::sound::ISourceMixer* SourceMixer() const { return m_pSourceMixer.get(); }
    CMixerControl* Mixer() const { return m_pMixer.get(); }
    // What all playbacks play together: the far end of the capture's echo canceller.
    const std::shared_ptr<CEchoReference>& EchoReference() const { return m_pEchoReference; }

private:
    std::shared_ptr<CEchoReference> m_pEchoReference = std::make_shared<CEchoReference>();
    std::shared_ptr<morvika::sound::ISoundBackend> m_backend;
    std::unique_ptr<CDirectSoundDriverData> m_pCaptureDevices;
    std::unique_ptr<CDirectSoundDriverData> m_pSoundDevices;
    std::optional<morvika::sound::SoundDeviceId> m_captureId;
    std::optional<morvika::sound::SoundDeviceId> m_soundId;
    std::unique_ptr<morvika::sound::ISourceMixer> m_pSourceMixer;  // uses m_backend
    std::unique_ptr<CMixerControl> m_pMixer;
};
