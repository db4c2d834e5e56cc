#pragma once
// Records the microphone in blocks of an eighth of a second, estimates its DC offset over the
// first second, then encodes every block as two voice packets for the send queue.

#include <atomic>
#include <cstdint>

#include "voice/DirectSoundWraper.h"

class CSoundCapture : public CDirectSoundWraper {
public:
    // sink receives the packets (the main window's voice queue); it outlives the object.
    CSoundCapture(ISoundBackend& backend, IWindowPoster* poster, IVoicePacketSink* sink);
    ~CSoundCapture() override;

    // GUI thread.
    int Init(WindowHandle window, const SoundDeviceId* device, const SoundFormat* format) override;
    int Close() override;
    int CreateBuffer(const SoundFormat& format, std::uint32_t notifications) override
    {
        return CreateCaptureBuffer(format, notifications);
    }
    int CreateCaptureBuffer(const SoundFormat& format, std::uint32_t notifications);
    int InitNotifications(std::uint32_t notifications) override;
    int Start() override;
    int Stop() override;
    int ClearBuffer() override;

    // Sound thread.
    int BufferDataProc() override;
    int ProcessBlock(const std::uint8_t* block, std::uint32_t length);

    // GUI thread setters.
    void SetLevelWindow(WindowHandle window) { m_hLevelWnd = window; }
    void SetDcOffset(std::int16_t offset);
    std::int16_t DcOffset() const { return m_sDcOffset.load(); }
    std::uint16_t BlockCount() const { return m_wBlockCount.load(); }

private:
    std::atomic<std::uint16_t> m_wBlockCount{0};
    std::atomic<std::int16_t> m_sDcOffset{0};
    std::atomic<WindowHandle> m_hLevelWnd{0};
    IVoicePacketSink* m_SendQueue;
};
