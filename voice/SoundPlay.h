#pragma once
// Plays one peer's voice through its own looping buffer: decodes each received packet, starts
// a talk spurt with its second packet and keeps writing ahead of the play cursor.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "voice/DirectSoundWraper.h"
#include "voice/EchoReference.h"
#include "voice/VoiceJoinBuffer.h"
#include "voice/VoicePcmQueue.h"

// A received voice message: the sender's user id and the packet (the message payload).
struct VoiceMessageView {
    std::uint32_t userId = 0;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

class CSoundPlay : public CDirectSoundWraper {
public:
    CSoundPlay(ISoundBackend& backend, IWindowPoster* poster);
    ~CSoundPlay() override;

    // GUI thread.
    int Init(WindowHandle window, const SoundDeviceId* device, const SoundFormat* format) override;
    int Close() override { return Stop(); }
    int CreateBuffer(const SoundFormat& format, std::uint32_t notifications) override
    {
        return CreateOutputBuffer(format, notifications);
    }
    int CreateOutputBuffer(const SoundFormat& format, std::uint32_t notifications);
    int InitNotifications(std::uint32_t notifications) override;
    int ClearBuffer() override;
    // When a queued packet wakes the sound thread, ahead of the next block's notification.
    enum class ArrivalWake { Now, Later };
    // 0 when the packet was used, 1 otherwise. With ArrivalWake::Later the caller hands over
    // every packet that came in together and then calls WakeForArrivals once: a burst after a
    // stalled link is then queued whole when the sound thread looks, and the overload rule
    // keeps only its newest packet instead of playing its oldest before it.
    int SaveData(const VoiceMessageView& message, ArrivalWake wake = ArrivalWake::Now);
    // GUI thread: the wake-up that packets saved with ArrivalWake::Later left out.
    void WakeForArrivals();
    int SetStartData();
    int StartPlay();
    int Start() override { return StartPlay(); }
    int Stop() override;
    int RestoreBuffer();
    int SetVolume(long volume) override;
    int GetVolume(long* volume) override;
    // Returns the saved volume.
    virtual long SetMute(int mute);
    virtual int IsMuted() const { return m_bMute.load(); }

    // Sound thread.
    int BufferDataProc() override;
    int OnStopped() override;
    int NonProc() override;

    // What this playback writes into its ring is added there too, at the gain it plays with.
    // Set before Init; may be null.
    void SetEchoReference(std::shared_ptr<CEchoReference> reference) { m_pEchoReference = std::move(reference); }

    int PlayState() const { return m_nPlayState.load(); }
    // Sound thread: bytes of sound taken out of quiet moments so far, to shorten a delay that
    // no longer serves.
    std::uint64_t DrainedBytes() const { return m_nDrained.load(); }
    std::size_t QueuedCount() const { return m_PlayQueue.Count(); }
    std::size_t QueuedBytes() const { return m_PlayQueue.Bytes(); }
    long Gain() const { return m_lGain.load(); }

private:
    // Locks at the offset, restoring a lost buffer once on the way.
    int LockRing(std::uint32_t offset, std::uint32_t bytes, morvika::sound::SoundRegion* first,
                 morvika::sound::SoundRegion* second);

    // GUI thread: wakes the sound thread when the write position is less than one block ahead
    // of the play cursor (or behind it).
    void WakeNearPlayCursor();

    // Sound thread: data written at `position` bytes from the talk spurt's start.
    void FeedEchoReference(const std::uint8_t* data, std::uint32_t bytes, std::int64_t position);
    // The linear gain the ring is played with: the buffer volume and the software gain.
    double PlayedGain();
    // GUI thread, before a packet is queued: the sound still ahead of the play cursor, written
    // and queued, is what the stream did not need to wait for it.
    void NoteArrivalLead();
    // Sound thread: `played` bytes played since the last pass, and whether this pass found the
    // stream disturbed; sets how much to drain.
    void WatchDelay(std::uint32_t played, bool disturbed);
    // Sound thread: takes up to the surplus out of the piece's quiet moments.
    void DrainQuiet(std::vector<std::uint8_t>& piece);

    CVoicePcmQueue m_PlayQueue;
    CVoiceJoinBuffer m_JoinBuffer;
    std::atomic<int> m_nPlayState{0};
    std::atomic<std::uint32_t> m_dwLastPlay{0};
    // An arrival wake-up is on its way to the sound thread: further packets wait for it, since
    // the write position they would judge by is about to move.
    std::atomic<bool> m_bArrivalWake{false};
    std::atomic<long> m_lSavedVolume{100};
    std::atomic<int> m_bMute{0};

    // The least sound ahead of the play cursor when a packet came (GUI thread lowers it), since
    // the watch last began; the sound thread counts how long that is in bytes played and keeps
    // the bytes still to be taken out of quiet moments.
    std::atomic<std::uint32_t> m_dwLeastLead{std::numeric_limits<std::uint32_t>::max()};
    std::uint64_t m_nSteadyPlayed = 0;
    std::uint32_t m_dwSurplus = 0;
    std::atomic<std::uint64_t> m_nDrained{0};
    // Set by a talk spurt's start: the watch begins afresh.
    std::atomic<bool> m_bRestartWatch{true};

    std::shared_ptr<CEchoReference> m_pEchoReference;
    // Sound thread: the play cursor counted from the talk spurt's start, its place on the
    // shared clock, and the start's data waiting for the first notification to place it.
    CStreamClock m_playClock;
    std::int64_t m_nPlayed = 0;
    std::vector<std::int16_t> m_referenceSamples;
    // Handed from the GUI thread to the sound thread whole, so neither waits for the other.
    std::atomic<std::vector<std::uint8_t>*> m_pStartData{nullptr};
};
