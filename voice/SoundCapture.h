#pragma once
// Records the microphone in blocks of an eighth of a second, estimates its DC offset over the
// first second, then encodes every block as two voice packets for the send queue.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "voice/DirectSoundWraper.h"
#include "voice/EchoReference.h"
#include "voice/VoiceCodec.h"

class CEchoCanceller;

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

    // What the speakers play, for the echo canceller; set before Init. May be null.
    void SetEchoReference(std::shared_ptr<CEchoReference> reference) { m_pEchoReference = std::move(reference); }
    // GUI thread, any time: the speakers' echo cancelled and noise suppressed in every block
    // before it is encoded. With both off the blocks are encoded as they were recorded.
    void SetEchoCancel(bool on) { m_bEchoCancel = on; }
    void SetNoiseSuppress(bool on) { m_bNoiseSuppress = on; }
    // The sound server cancels the echo of the capture device already (known after Init).
    bool ServerCancelsEcho() const { return m_bServerCancels.load(); }
    // How much later the processed sound is encoded than it was recorded, in milliseconds.
    double ProcessingDelayMs() const { return m_dProcessingDelayMs.load(); }

private:
    bool Processing() const { return (m_bEchoCancel.load() && !m_bServerCancels.load()) || m_bNoiseSuppress.load(); }

    std::atomic<std::uint16_t> m_wBlockCount{0};
    std::atomic<std::int16_t> m_sDcOffset{0};
    std::atomic<WindowHandle> m_hLevelWnd{0};
    IVoicePacketSink* m_SendQueue;

    std::shared_ptr<CEchoReference> m_pEchoReference;
    std::atomic<bool> m_bEchoCancel{false};
    std::atomic<bool> m_bNoiseSuppress{false};
    std::atomic<bool> m_bServerCancels{false};
    std::atomic<double> m_dProcessingDelayMs{0};
    // Sound thread only.
    std::unique_ptr<CEchoCanceller> m_pCanceller;
    CStreamClock m_captureClock;
    std::int64_t m_nCaptured = 0;
    // Kept from block to block, so that once they have grown the thread allocates nothing.
    std::vector<std::uint8_t> m_block;  // the block as read
    CVoiceCodec m_codec;
    std::vector<std::uint8_t> m_packet;     // one encoded half
    std::vector<std::int16_t> m_far;        // the far end of the block being handled
    std::vector<std::int16_t> m_pcm;        // the block's samples on their way through it
    std::vector<std::uint8_t> m_processed;  // the block as processed
    bool m_bThreadNamed = false;
    bool m_bWasProcessing = false;
};
