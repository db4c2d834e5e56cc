#include "voice/SoundPlay.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>

#include "app/Log.h"
#include "voice/VoiceCodec.h"

using namespace morvika::sound;

namespace {
constexpr std::uint32_t kPlayNotifications = 8;
// More queued packets than this (about half a second) are cut to the newest one.
constexpr std::size_t kOverloadPackets = 8;
constexpr int kRestoreWaits = 100;
// The far end is placed where the server plays it, by its usual buffer behind the handover.
constexpr std::int64_t kServerBufferTicks = CEchoReference::kRate * 40 / 1000;
// A delay that a disturbance left (a burst after a stall, a backlog at the start) is taken back
// once the stream has run this long without one while every packet found more than a block
// still queued ahead of the play cursor: down to an eighth of a block of that least lead, a
// margin on top of the arrivals' lateness seen meanwhile.
constexpr std::uint32_t kSteadySeconds = 2;
// Taken out of quiet moments only, a short frame at a time with a cross-fade, at most one frame
// of every four written (of silence, every other one): too little, and too quiet, for a
// listener to hear.
constexpr std::size_t kDrainFrame = 32;
constexpr std::size_t kDrainEvery = 4;
constexpr int kQuietPeak = 512;
constexpr int kSilentPeak = 64;

void WaitRestoreInterval()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
}  // namespace

CSoundPlay::CSoundPlay(ISoundBackend& backend, IWindowPoster* poster) : CDirectSoundWraper(backend, poster) {}

CSoundPlay::~CSoundPlay()
{
    Stop();
    WaitEndThred();
    m_pBuffer.reset();
    m_pDevice.reset();
    m_PlayQueue.Clear();
    delete m_pStartData.exchange(nullptr);
}

int CSoundPlay::Init(WindowHandle window, const SoundDeviceId* device, const SoundFormat* format)
{
    CDirectSoundWraper::Init(window, device, format);
    if (const int rc = Backend().OpenDevice(SoundDirection::Playback, device, &m_pDevice); rc != kSoundOk) {
        MORVIKA_LOG("ERROR CSoundPlay::Init() サウンドデバイスの生成エラー %d\n", rc);
        return rc;
    }
    // The co-operative level has no counterpart on a sound server: every stream may play.
    if (const int rc = CreateOutputBuffer(m_Format, kPlayNotifications); rc != 0) {
        MORVIKA_LOG("ERROR CSoundPlay::Init() バッファ生成エラー %d\n", rc);
        return rc;
    }
    if (const int rc = CreateThredProc(); rc != 0) {
        MORVIKA_LOG("ERROR CSoundPlay::Init() スレッドの生成エラー %d\n", rc);
        return rc;
    }
    MORVIKA_LOG("LOG   CSoundPlay::Init() 再生オブジェクト生成完了 %d\n", 0);
    return 0;
}

int CSoundPlay::CreateOutputBuffer(const SoundFormat& format, std::uint32_t notifications)
{
    m_dwBlockSize = ComputeBlockSize(format, notifications);
    m_dwBufferSize = m_dwBlockSize * notifications;
    const int rc = m_pDevice ? m_pDevice->CreateBuffer(format, m_dwBufferSize, &m_pBuffer) : kSoundErrInvalidArg;
    if (rc != kSoundOk) {
        MORVIKA_LOG("ERROR CSoundPlay::CreateOutputBuffer() セカンダリバッファを生成できない\n");
        return rc;
    }
    if (const int result = InitNotifications(notifications); result != 0) {
        MORVIKA_LOG("ERROR CSoundPlay::CreateCaptureBuffer() イベント通知設定エラー\n");
        return result;
    }
    const int result = ClearBuffer();
    if (result != 0) {
        MORVIKA_LOG("ERROR CSoundPlay::CreateCaptureBuffer() バッファクリアエラー\n");
    } else {
        m_dwNextOffset = m_dwBlockSize;
    }
    return result;
}

int CSoundPlay::InitNotifications(std::uint32_t notifications)
{
    if (CDirectSoundWraper::InitNotifications(notifications) != 0) {
        MORVIKA_LOG("ERROR CSoundPlay::InitNotifications() 親クラスでエラー\n");
        return 1;
    }
    if (!m_pNotify) return 1;
    if (!m_pBuffer || notifications + 1 > kSoundNotifyEntries) {
        MORVIKA_LOG("ERROR CSoundPlay::InitNotifications() インタフェイスが取得できない\n");
        return kSoundErrInvalidArg;
    }
    // The data event fires just after the play cursor enters each block.
    for (std::uint32_t i = 1; i <= notifications; ++i) {
        m_pNotify[i] = {(i - 1) * m_dwBlockSize + 2, GetDataEvent()};
    }
    const int rc = m_pBuffer->SetNotificationPositions({m_pNotify.get(), notifications + 1});
    if (rc != kSoundOk) {
        MORVIKA_LOG("ERROR CSoundPlay::InitNotifications() イベント設定データを有効にできない\n");
    }
    return rc;
}

int CSoundPlay::ClearBuffer()
{
    if (!m_pBuffer) return 1;
    SoundRegion first, second;
    const int rc = m_pBuffer->Lock(0, 0, &first, &second, kLockEntireBuffer);
    if (rc != kSoundOk) return rc;
    std::memset(first.data, 0, first.size);
    if (second.data) std::memset(second.data, 0, second.size);
    return m_pBuffer->Unlock(first, second);
}

int CSoundPlay::SaveData(const VoiceMessageView& message, ArrivalWake wake)
{
    if (!m_pBuffer) return 1;
    CVoiceCodec codec;
    if (message.data == nullptr ||
        codec.Decode(message.data, message.size, m_pWork1.data(), m_pWork2.data(), m_pWork1.size()) != 0) {
        MORVIKA_LOG("LOG   CSoundPlay::SaveData() デコードできない UserID=%x m_dwNextOffset=%d \n", message.userId,
                    m_dwNextOffset.load());
        return 1;
    }
    std::size_t size = 0;
    const std::uint8_t* pcm = codec.GetData(size);
    const int state = m_nPlayState.load();
    if (state == 0) {
        m_nPlayState = 1;
        m_dwNextOffset = 0;
        m_dwLastPlay = 0;
        m_bRestartWatch = true;
        MORVIKA_LOG("LOG   CSoundPlay::SaveData() 音声を開始しましたUserID=%x m_dwNextOffset=%d \n", message.userId, 0);
        std::uint32_t discarded = 0;
        m_JoinBuffer.Take(discarded);
        m_JoinBuffer.Append(pcm, static_cast<std::uint32_t>(size));
    } else if (state == 1) {
        m_JoinBuffer.Append(pcm, static_cast<std::uint32_t>(size));
        m_PlayQueue.Clear();
        StartPlay();
        ++m_nPlayState;
    } else {
        NoteArrivalLead();
        m_PlayQueue.Push(CVoicePcmQueue::Entry(pcm, pcm + size));
        if (wake == ArrivalWake::Now) WakeNearPlayCursor();
    }
    return 0;
}

void CSoundPlay::WakeForArrivals()
{
    if (m_nPlayState.load() >= 2 && !m_PlayQueue.IsEmpty()) WakeNearPlayCursor();
}

void CSoundPlay::WakeNearPlayCursor()
{
    // A packet that arrives while less than a block of written sound is left need not wait for
    // the next block's notification: the sound thread handles the wake-up like one, so every rule
    // of the write still applies there. Further ahead, the notifications keep the pace, and a
    // burst after a stalled link piles up for the overload rule.
    std::uint32_t play = 0, write = 0;
    if (!m_pBuffer || m_pBuffer->GetCurrentPosition(&play, &write) != kSoundOk) return;
    const std::uint32_t ring = m_dwBufferSize;
    const std::uint32_t lastPlay = m_dwLastPlay.load();
    const std::uint32_t dPlay = (play + ring - lastPlay) % ring;
    const std::uint32_t dNext = (m_dwNextOffset.load() + ring - lastPlay) % ring;
    if ((dNext <= dPlay || dNext - dPlay < m_dwBlockSize) && !m_bArrivalWake.exchange(true)) GetDataEvent()->Set();
}

int CSoundPlay::LockRing(std::uint32_t offset, std::uint32_t bytes, SoundRegion* first, SoundRegion* second)
{
    int rc = m_pBuffer->Lock(offset, bytes, first, second, 0);
    if (rc == kSoundErrBufferLost) {
        WaitRestoreInterval();
        m_pBuffer->Restore();
        rc = m_pBuffer->Lock(offset, bytes, first, second, 0);
    }
    return rc;
}

int CSoundPlay::SetStartData()
{
    if (m_nPlayState.load() == 0) return 0;
    if (!m_pBuffer) {
        MORVIKA_LOG("ERROR CSoundPlay::SetStartData() オブジェクトがない\n");
        return 0;
    }
    std::uint32_t size = 0;
    const std::uint8_t* data = m_JoinBuffer.Take(size);
    if (data == nullptr) size = m_dwBlockSize;
    const std::uint32_t lockSize = size + m_dwBlockSize * (size > 2 * m_dwBlockSize ? 1 : 2);
    SoundRegion first, second;
    const int rc = LockRing(0, lockSize, &first, &second);
    if (rc != kSoundOk) {
        MORVIKA_LOG("ERROR CSoundPlay::SetStartData() ロックエラー\n");
        return rc;
    }
    std::memset(first.data, 0, first.size);
    if (second.data) std::memset(second.data, 0, second.size);
    if (data != nullptr) std::memcpy(first.data, data, std::min(size, first.size));
    if (m_pEchoReference) {
        // Placed once the cursor has moved: a starting stream first fills the server's buffer.
        auto* start = new std::vector<std::uint8_t>(data, data + (data ? std::min(size, first.size) : 0));
        delete m_pStartData.exchange(start);
    }
    m_dwNextOffset = (m_dwNextOffset.load() + size) % m_dwBufferSize;
    m_pBuffer->Unlock(first, second);
    return 0;
}

int CSoundPlay::StartPlay()
{
    if (!m_pBuffer) return 0;
    SetStartData();
    m_pBuffer->SetCurrentPosition(0);
    return m_pBuffer->Start();
}

int CSoundPlay::BufferDataProc()
{
    // Whatever this pass writes, the next arrival judges by the position it leaves. A packet
    // that arrived during the pass saw the wake-up pending and did not signal: it is judged
    // here, by the position the pass left, or it would wait for the next block's notification
    // while the sound written before it runs out.
    struct ArrivalWakeDone {
        CSoundPlay& play;
        ~ArrivalWakeDone()
        {
            play.m_bArrivalWake.store(false);
            if (play.m_nPlayState.load() >= 2 && !play.m_PlayQueue.IsEmpty()) play.WakeNearPlayCursor();
        }
    } arrivalWakeDone{*this};
    if (m_nPlayState.load() == 0) return 0;
    if (!m_pBuffer) {
        MORVIKA_LOG("ERROR CSoundPlay::BufferDataProc() オブジェクトがない\n");
        return 0;
    }
    std::uint32_t dwPlayOffset = 0;
    std::uint32_t dwWriteOffset = 0;
    if (const int rc = m_pBuffer->GetCurrentPosition(&dwPlayOffset, &dwWriteOffset); rc != kSoundOk) {
        MORVIKA_LOG("ERROR CSoundPlay::BufferDataProc() ポジションが取得できない\n");
        return rc;
    }
    const std::uint32_t ring = m_dwBufferSize;
    const std::uint32_t lastPlay = m_dwLastPlay.load();
    auto forward = [&](std::uint32_t to) { return (to + ring - lastPlay) % ring; };
    const std::uint32_t dPlay = forward(dwPlayOffset);
    const std::uint32_t dWr = forward(dwWriteOffset);
    std::uint32_t dNext = forward(m_dwNextOffset.load());

    bool disturbed = m_bRestartWatch.exchange(false) || dWr > dNext;

    // The data to write this time.
    CVoicePcmQueue::Entry piece;
    const std::uint8_t* data = nullptr;
    std::uint32_t size = m_dwBlockSize;
    bool advance = false;
    const std::size_t queued = m_PlayQueue.Count();
    if (queued > kOverloadPackets) {
        disturbed = true;
        if (auto newest = m_PlayQueue.PopFront()) piece = std::move(*newest);
        m_PlayQueue.Clear();
        data = piece.data();
        size = static_cast<std::uint32_t>(piece.size());
        advance = true;
    } else if (queued == 1) {
        if (auto oldest = m_PlayQueue.Pop()) piece = std::move(*oldest);
        data = piece.data();
        size = static_cast<std::uint32_t>(piece.size());
        advance = true;
    } else if (queued >= 2) {
        if (auto oldest = m_PlayQueue.Pop()) piece = std::move(*oldest);
        if (piece.size() > 3 * std::size_t{m_dwBlockSize}) {
            data = piece.data();
            size = static_cast<std::uint32_t>(piece.size());
        } else {
            const auto next = m_PlayQueue.Pop();
            m_JoinBuffer.Append(piece.data(), static_cast<std::uint32_t>(piece.size()));
            if (next) m_JoinBuffer.Append(next->data(), static_cast<std::uint32_t>(next->size()));
            std::uint32_t joined = 0;
            const std::uint8_t* taken = m_JoinBuffer.Take(joined);
            piece.assign(taken, taken + (taken ? joined : 0));
            data = piece.data();
            size = static_cast<std::uint32_t>(piece.size());
        }
        advance = true;
    }
    if (advance && m_dwSurplus > 0) {
        const std::size_t before = piece.size();
        DrainQuiet(piece);
        // Where the surplus waits in the queue, the ring is kept as full as it was: what was
        // taken out is made up from the front of the next piece, the rest of which stays first.
        const std::size_t cut = before - piece.size();
        if (cut > 0) {
            if (auto following = m_PlayQueue.Pop()) {
                const std::size_t moved = std::min(cut, following->size());
                piece.insert(piece.end(), following->begin(), following->begin() + static_cast<long>(moved));
                if (moved < following->size()) {
                    following->erase(following->begin(), following->begin() + static_cast<long>(moved));
                    m_PlayQueue.PushBack(std::move(*following));
                }
            }
        }
        data = piece.data();
        size = static_cast<std::uint32_t>(piece.size());
    }
    if (data == nullptr || size == 0 || size > ring / 2) {
        data = nullptr;
        size = m_dwBlockSize;
        advance = false;
    }
    std::uint32_t lockSize = size + m_dwBlockSize * (size > 2 * m_dwBlockSize ? 1 : 2);

    // Lateness: the device's write cursor has passed the write position.
    if (dWr > dNext) {
        m_dwNextOffset = dwWriteOffset;
        dNext = dWr;
    }
    // Room: the bytes from the write position forward to the play cursor.
    const std::uint32_t room = ring - dNext + dPlay;
    if (room < lockSize) {
        if (room >= size) {
            lockSize = size;
        } else {
            if (data != nullptr) m_PlayQueue.PushBack(std::move(piece));
            data = nullptr;
            size = lockSize = room;
            advance = false;
            disturbed = true;
        }
    }
    WatchDelay(dPlay, disturbed);
    m_dwLastPlay = dwPlayOffset;
    m_dwLastTicks = static_cast<std::uint32_t>(ProcessClockMs());
    std::unique_ptr<std::vector<std::uint8_t>> start;
    if (m_pEchoReference) {
        start.reset(m_pStartData.exchange(nullptr));
        if (start) {
            // The talk spurt started at ring offset 0.
            m_playClock.Reset();
            m_nPlayed = dwPlayOffset;
        } else {
            m_nPlayed += dPlay;
        }
    }

    const std::uint32_t next = m_dwNextOffset.load();
    SoundRegion first, second;
    if (const int rc = LockRing(next, lockSize, &first, &second); rc != kSoundOk) {
        MORVIKA_LOG(
            "ERROR CSoundPlay::BufferDataProc() ロックエラー %x dwPlayOffset=%d dwWriteOffset=%d m_dwNextOffset=%d dwLockSize=%d \n",
            static_cast<unsigned>(rc), dwPlayOffset, dwWriteOffset, next, lockSize);
        return rc;
    }
    std::memset(first.data, 0, first.size);
    if (second.data) std::memset(second.data, 0, second.size);
    if (first.size >= lockSize) {
        CopyWithGain(first.data, data, size);
    } else if (second.data == nullptr) {
        MORVIKA_LOG("ERROR CSoundPlay::BufferDataProc() ロックできた領域に音声データが大きすぎてコピーできない\n");
        m_pBuffer->Unlock(first, second);
        return 0;
    } else if (first.size > size) {
        CopyWithGain(first.data, data, size);
    } else {
        CopyWithGain(first.data, data, first.size);
        if (data != nullptr) CopyWithGain(second.data, data + first.size, size - first.size);
    }
    if (advance) m_dwNextOffset = (next + size) % ring;
    m_pBuffer->Unlock(first, second);
    if (m_pEchoReference) {
        if (start) FeedEchoReference(start->data(), static_cast<std::uint32_t>(start->size()), 0);
        if (data != nullptr && advance) {
            // The ring's bytes from the play cursor on are played in order.
            FeedEchoReference(data, size, m_nPlayed + (next + ring - dwPlayOffset) % ring);
        }
    }
    return 0;
}

void CSoundPlay::NoteArrivalLead()
{
    std::uint32_t play = 0, write = 0;
    if (!m_pBuffer || m_pBuffer->GetCurrentPosition(&play, &write) != kSoundOk || m_dwBufferSize == 0) return;
    const std::uint32_t ring = m_dwBufferSize;
    const std::uint32_t lastPlay = m_dwLastPlay.load();
    const std::uint32_t dPlay = (play + ring - lastPlay) % ring;
    const std::uint32_t dNext = (m_dwNextOffset.load() + ring - lastPlay) % ring;
    const std::size_t lead = (dNext > dPlay ? dNext - dPlay : 0) + m_PlayQueue.Bytes();
    const auto value = static_cast<std::uint32_t>(std::min<std::size_t>(lead, ring * 4));
    std::uint32_t least = m_dwLeastLead.load();
    while (value < least && !m_dwLeastLead.compare_exchange_weak(least, value)) {}
}

void CSoundPlay::WatchDelay(std::uint32_t played, bool disturbed)
{
    constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
    if (disturbed) {
        // What is queued now may be needed to ride out the next such moment: watch again.
        m_dwLeastLead = kNone;
        m_nSteadyPlayed = 0;
        m_dwSurplus = 0;
        return;
    }
    m_nSteadyPlayed += played;
    if (m_nSteadyPlayed < std::uint64_t{kSteadySeconds} * std::max<std::uint32_t>(m_Format.avgBytesPerSec, 1)) return;
    // Sound that every packet of the stretch found still waiting was never needed; what stays
    // covers a little more lateness than the stretch showed. No packet at all: nothing runs.
    const std::uint32_t least = m_dwLeastLead.exchange(kNone);
    const std::uint32_t align = std::max<std::uint32_t>(m_Format.blockAlign, 1);
    m_dwSurplus = least != kNone && least > m_dwBlockSize ? least - m_dwBlockSize / 8 : 0;
    m_dwSurplus -= m_dwSurplus % align;
    m_nSteadyPlayed = 0;
}

void CSoundPlay::DrainQuiet(std::vector<std::uint8_t>& piece)
{
    // 16-bit sound only; samples in frames, never the piece's first or last frame, so that each
    // cut blends within the piece.
    if (m_Format.bitsPerSample != 16 || m_Format.blockAlign == 0) return;
    const std::size_t step = kDrainFrame * m_Format.blockAlign;
    const std::size_t frames = piece.size() / step;
    if (frames < 3) return;
    auto sample = [&](std::size_t byte) { return static_cast<std::int16_t>(piece[byte] | (piece[byte + 1] << 8)); };
    auto peak = [&](std::size_t frame) {
        int most = 0;
        for (std::size_t b = frame * step; b < (frame + 1) * step; b += 2) most = std::max(most, std::abs(sample(b)));
        return most;
    };
    // In place, on the sound thread without allocating: what is written never passes what is
    // still to be read, and each frame's samples are read before their place is written.
    std::size_t written = step;
    auto keep = [&](std::size_t from, std::size_t bytes) {
        if (written != from) std::memmove(piece.data() + written, piece.data() + from, bytes);
        written += bytes;
    };
    std::size_t frame = 1;
    std::size_t sinceCut = kDrainEvery;
    std::uint32_t cut = 0;
    while (frame < frames) {
        const int level = frame + 1 < frames ? std::max(peak(frame), peak(frame + 1)) : kQuietPeak + 1;
        const bool canCut =
            level <= kQuietPeak && sinceCut >= (level <= kSilentPeak ? 1 : kDrainEvery) && m_dwSurplus - cut >= step;
        if (!canCut) {
            keep(frame * step, step);
            ++frame;
            ++sinceCut;
            continue;
        }
        // Two frames become one: the first fades into the second, so the sound runs on without
        // a step at either end.
        for (std::size_t i = 0; i < step; i += 2) {
            const double w = static_cast<double>(i / 2 + 1) / static_cast<double>(step / 2 + 1);
            const double mixed = sample(frame * step + i) * (1 - w) + sample((frame + 1) * step + i) * w;
            const auto v = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(mixed)));
            piece[written + i] = static_cast<std::uint8_t>(v & 0xFF);
            piece[written + i + 1] = static_cast<std::uint8_t>(v >> 8);
        }
        written += step;
        frame += 2;
        sinceCut = 1;
        cut += static_cast<std::uint32_t>(step);
    }
    if (cut == 0) return;
    keep(frames * step, piece.size() - frames * step);
    piece.resize(written);
    m_dwSurplus -= cut;
    m_nDrained += cut;
}

double CSoundPlay::PlayedGain()
{
    if (m_bMute.load()) return 0;
    std::int32_t level = 0;
    if (m_pBuffer == nullptr || m_pBuffer->GetVolume(&level) != kSoundOk) return 1;
    if (level <= morvika::sound::kVolumeMin) return 0;
    const long gain = m_lGain.load();
    const double software = gain == 0 ? 1.0 : (gain - 100) * 0.04 + 1.0;
    return std::pow(10.0, level / 2000.0) * software;
}

void CSoundPlay::FeedEchoReference(const std::uint8_t* data, std::uint32_t bytes, std::int64_t position)
{
    const std::uint32_t align = std::max<std::uint32_t>(m_Format.blockAlign, 1);
    // Only the voice path's own format is cancelled: 11025 Hz, 16-bit mono.
    if (data == nullptr || bytes < 2 || m_Format.samplesPerSec != CEchoReference::kRate || align != 2) return;
    const std::int64_t origin = m_playClock.Observe(m_nPlayed / 2, CEchoReference::NowTick());
    const std::int64_t tick = origin + position / 2 + kServerBufferTicks;
    m_referenceSamples.resize(bytes / 2);
    for (std::size_t i = 0; i < m_referenceSamples.size(); ++i) {
        m_referenceSamples[i] = static_cast<std::int16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
    m_pEchoReference->Add(tick, m_referenceSamples.data(), m_referenceSamples.size(), PlayedGain());
}

int CSoundPlay::Stop()
{
    if (m_nPlayState.load() == 0) return 0;
    if (m_pBuffer) {
        if (const int rc = m_pBuffer->Stop(); rc != kSoundOk) {
            MORVIKA_LOG("ERROR CSoundPlay::Stop() 音声を停止できません　%x \n", static_cast<unsigned>(rc));
            return rc;
        }
    }
    MORVIKA_LOG("LOG   CSoundPlay::Stop() 音声を停止しました \n");
    return 0;
}

int CSoundPlay::OnStopped()
{
    std::uint32_t discarded = 0;
    m_JoinBuffer.Take(discarded);
    m_nPlayState = 0;
    RestoreBuffer();
    return 0;
}

int CSoundPlay::NonProc()
{
    MORVIKA_LOG("ERROR CSoundPlay::NonProc() その他のイベントが発生\n");
    return 0;
}

int CSoundPlay::RestoreBuffer()
{
    if (!m_pBuffer) return 0;
    std::uint32_t status = 0;
    if (const int rc = m_pBuffer->GetStatus(&status); rc != kSoundOk) {
        MORVIKA_LOG("ERROR CSoundPlay::RestoreBuffer() ステータスが取得できない hr =%x \n", static_cast<unsigned>(rc));
        return rc;
    }
    if ((status & kStatusBufferLost) == 0) return 0;
    int rc = m_pBuffer->Restore();
    for (int waits = 0; rc == kSoundErrBufferLost && waits < kRestoreWaits; ++waits) {
        WaitRestoreInterval();
        rc = m_pBuffer->Restore();
    }
    rc = m_pBuffer->Restore();
    if (rc == kSoundErrBufferLost) {
        MORVIKA_LOG("ERROR CSoundPlay::RestoreBuffer() 復元できない hr =%x \n", static_cast<unsigned>(rc));
    }
    return rc;
}

int CSoundPlay::SetVolume(long volume)
{
    if (!m_pBuffer) return 1;
    if (volume > 100) {
        m_lGain = volume;
        return m_pBuffer->SetVolume(0);
    }
    if (volume < 0) volume = 0;
    m_lGain = 0;
    const auto level =
        static_cast<std::int32_t>(-10000 - static_cast<long>(std::sqrt(static_cast<double>(volume)) * -1000.0));
    return m_pBuffer->SetVolume(level);
}

int CSoundPlay::GetVolume(long* volume)
{
    if (!m_pBuffer) return 1;
    if (volume == nullptr) return kSoundErrInvalidArg;
    if (m_bMute.load()) {
        *volume = m_lSavedVolume.load();
        return 0;
    }
    if (m_lGain.load() >= 100) {
        *volume = m_lGain.load();
        return 0;
    }
    std::int32_t level = 0;
    const int rc = m_pBuffer->GetVolume(&level);
    if (rc != kSoundOk) return rc;
    const double linear = (level + 10000) * 0.001;
    *volume = static_cast<long>(linear * linear);
    return rc;
}

long CSoundPlay::SetMute(int mute)
{
    if (mute) {
        // Saved before the flag goes up: while muted, GetVolume answers with the saved value.
        if (!m_bMute.load()) {
            long current = m_lSavedVolume.load();
            if (GetVolume(&current) == 0) m_lSavedVolume = current;
        }
        m_bMute = 1;
        SetVolume(0);
    } else {
        m_bMute = 0;
        SetVolume(m_lSavedVolume.load());
    }
    return m_lSavedVolume.load();
}
