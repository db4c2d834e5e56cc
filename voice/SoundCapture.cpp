#include "voice/SoundCapture.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <pthread.h>

#include "app/Log.h"
#include "voice/EchoCanceller.h"
#include "voice/VoiceCodec.h"

using namespace morvika::sound;

namespace {
constexpr std::uint32_t kCaptureNotifications = 8;
constexpr std::uint32_t kCalibrationBlocks = 8;
}  // namespace

CSoundCapture::CSoundCapture(ISoundBackend& backend, IWindowPoster* poster, IVoicePacketSink* sink)
    : CDirectSoundWraper(backend, poster),
      m_SendQueue(sink)
{
}

CSoundCapture::~CSoundCapture()
{
    Close();
}

int CSoundCapture::Init(WindowHandle window, const SoundDeviceId* device, const SoundFormat* format)
{
    CDirectSoundWraper::Init(window, device, format);
    const int rc = Backend().OpenDevice(SoundDirection::Capture, device, &m_pDevice);
    if (rc != kSoundOk) {
        switch (rc) {
        case kSoundErrAllocated:
            MORVIKA_LOG(
                "ERROR CSoundCapture::Init() 優先レベルなどのリソースが他の呼び出しによって既に使用中であるため、要求は失敗した\n");
            break;
        case kSoundErrInvalidArg: MORVIKA_LOG("ERROR CSoundCapture::Init() 無効なパラメータが関数に渡された\n"); break;
        case kSoundErrOutOfMemory:
            MORVIKA_LOG(
                "ERROR CSoundCapture::Init() 呼び出し元の要求を完了するための十分なメモリを割り当てることができなかった\n");
            break;
        case kSoundErrNoDriver:
            MORVIKA_LOG("ERROR CSoundCapture::Init() 指定された GUID が有効な DirectSound デバイス ID ではない\n");
            break;
        default: MORVIKA_LOG("ERROR CSoundCapture::Init() キャプチャデバイスの生成エラー %d \n", rc); break;
        }
        return rc;
    }
    m_bServerCancels = m_pDevice->CancelsEcho();
    if (m_bServerCancels.load()) {
        MORVIKA_LOG(
            "LOG   CSoundCapture::Init() 録音デバイスはサウンドサーバがエコーを除去済みのため、エコーキャンセルは行わない\n");
    }
    if (const int result = CreateCaptureBuffer(m_Format, kCaptureNotifications); result != 0) {
        MORVIKA_LOG("ERROR CSoundCapture::Init() バッファ生成エラー %d\n", result);
        return result;
    }
    if (const int result = CreateThredProc(); result != 0) {
        MORVIKA_LOG("ERROR CSoundCapture::Init() スレッドの生成エラー %d\n", result);
        return result;
    }
    MORVIKA_LOG("LOG   CSoundCapture::Init() キャプチャオブジェクト生成完了 %d\n", 0);
    return 0;
}

int CSoundCapture::CreateCaptureBuffer(const SoundFormat& format, std::uint32_t notifications)
{
    m_dwBlockSize = ComputeBlockSize(format, notifications);
    m_dwBufferSize = m_dwBlockSize * notifications;
    const int rc = m_pDevice ? m_pDevice->CreateBuffer(format, m_dwBufferSize, &m_pBuffer) : kSoundErrInvalidArg;
    bool created = rc == kSoundOk;
    if (created) {
        m_dwNextOffset = 0;
        created = InitNotifications(notifications) == 0;
    }
    if (!created) {
        MORVIKA_LOG("ERROR CSoundCapture::CreateCaptureBuffer() 引数エラー\n");
        m_pBuffer.reset();
        return 1;
    }
    if (const int result = ClearBuffer(); result != 0) {
        MORVIKA_LOG("ERROR CSoundCapture::CreateCaptureBuffer() バッファクリアエラー\n");
        return result;
    }
    return 0;
}

int CSoundCapture::InitNotifications(std::uint32_t notifications)
{
    if (CDirectSoundWraper::InitNotifications(notifications) != 0) {
        MORVIKA_LOG("ERROR CSoundCapture::InitNotifications() 親クラスでエラー\n");
        return 1;
    }
    if (!m_pNotify) {
        MORVIKA_LOG("ERROR CSoundCapture::InitNotifications() イベント設定データのポインタが取得できない\n");
        return 1;
    }
    if (!m_pBuffer || notifications + 1 > kSoundNotifyEntries) {
        MORVIKA_LOG("ERROR CSoundCapture::InitNotifications() インタフェイスが取得できない\n");
        return kSoundErrInvalidArg;
    }
    // The data event fires when the capture cursor has just filled each block.
    for (std::uint32_t i = 1; i <= notifications; ++i) {
        m_pNotify[i] = {i * m_dwBlockSize - 1, GetDataEvent()};
    }
    const int rc = m_pBuffer->SetNotificationPositions({m_pNotify.get(), notifications + 1});
    if (rc != kSoundOk) {
        MORVIKA_LOG("ERROR CSoundCapture::InitNotifications() イベント設定データを有効にできない\n");
    }
    return rc;
}

int CSoundCapture::Start()
{
    const int rc = m_pBuffer ? m_pBuffer->Start() : 0;
    if (!m_pBuffer || rc != kSoundOk) {
        MORVIKA_LOG("ERROR CSoundCapture::Start() 音声キャプチャ開始エラー %x\n", static_cast<unsigned>(rc));
        return 1;
    }
    MORVIKA_LOG("LOG   CSoundCapture::Start() 音声キャプチャ開始 \n");
    return 0;
}

int CSoundCapture::Stop()
{
    const int rc = m_pBuffer ? m_pBuffer->Stop() : 1;
    if (rc != kSoundOk) {
        MORVIKA_LOG("ERROR CSoundCapture::Stop() 音声キャプチャを停止できません　%x \n", static_cast<unsigned>(rc));
        return rc;
    }
    MORVIKA_LOG("LOG   CSoundCapture::Stop() 音声キャプチャを停止しました \n");
    return 0;
}

int CSoundCapture::Close()
{
    if (m_pBuffer) Stop();
    WaitEndThred();
    m_pBuffer.reset();
    m_pDevice.reset();
    return 0;
}

int CSoundCapture::ClearBuffer()
{
    if (!m_pBuffer) return 1;
    SoundRegion first, second;
    const int rc = m_pBuffer->Lock(0, 0, &first, &second, kLockEntireBuffer);
    if (rc != kSoundOk) return rc;
    std::memset(first.data, 0, first.size);
    if (second.data) std::memset(second.data, 0, second.size);
    return m_pBuffer->Unlock(first, second);
}

int CSoundCapture::BufferDataProc()
{
    if (!m_pBuffer) return 0;
    if (!m_bThreadNamed) {
        // So that the capture's share of the processor can be told apart from the outside.
        m_bThreadNamed = true;
        pthread_setname_np(pthread_self(), "morvika-capture");
    }
    std::uint32_t dwCapturePosition = 0;
    std::uint32_t dwReadPosition = 0;
    if (m_pBuffer->GetCurrentPosition(&dwCapturePosition, &dwReadPosition) != kSoundOk) {
        MORVIKA_LOG("ERROR CSoundCapture::BufferDataProc() ポジションが取得できない\n");
        return 1;
    }
    const std::uint32_t next = m_dwNextOffset.load();
    std::uint32_t dwLockSize = next <= dwReadPosition ? dwReadPosition - next : m_dwBufferSize - next + dwReadPosition;
    // The canceller works in frames of its own: reads that end on a block's end keep its lag
    // fixed. What was recorded beyond it is read with the next block; a read position left
    // between block ends while the canceller was off comes back to one.
    const bool processing = Processing();
    if (processing && m_dwBlockSize != 0) {
        const std::uint32_t beyond = (next + dwLockSize) % m_dwBlockSize;
        dwLockSize = beyond <= dwLockSize ? dwLockSize - beyond : 0;
    }
    // Two notifications can fold into one wake-up; the second then finds nothing new.
    if (dwLockSize == 0) return 0;
    SoundRegion first, second;
    const int rc = m_pBuffer->Lock(next, dwLockSize, &first, &second, 0);
    if (rc != kSoundOk) {
        MORVIKA_LOG(
            "ERROR CSoundCapture::BufferDataProc() ロックエラー dwCapturePosition=%d dwReadPosition=%d m_dwNextOffset=%d dwLockSize=%d hr =%x \n",
            dwCapturePosition, dwReadPosition, next, dwLockSize, static_cast<unsigned>(rc));
        return 1;
    }
    m_dwNextOffset = (next + first.size + second.size) % m_dwBufferSize;
    std::vector<std::uint8_t>& block = m_block;
    block.resize(first.size + second.size);
    std::memcpy(block.data(), first.data, first.size);
    if (second.data) std::memcpy(block.data() + first.size, second.data, second.size);
    m_pBuffer->Unlock(first, second);

    // The block's place on the clock the playbacks write the far end by, and its far end.
    const std::size_t samples = block.size() / 2;
    m_nCaptured += static_cast<std::int64_t>(samples);
    const std::int64_t origin = m_captureClock.Observe(m_nCaptured, CEchoReference::NowTick());
    if (processing && m_pEchoReference) {
        m_far.resize(samples);
        m_pEchoReference->Take(origin + m_nCaptured - static_cast<std::int64_t>(samples), m_far.data(), samples);
    } else {
        m_far.clear();
    }

    const std::uint32_t flags = m_pSettings ? ReadSettingWord(m_pSettings->m_dwFlags) : 0;
    if ((flags & kVoiceFlagMicMuted) == 0) ProcessBlock(block.data(), static_cast<std::uint32_t>(block.size()));
    return 0;
}

int CSoundCapture::ProcessBlock(const std::uint8_t* block, std::uint32_t length)
{
    if (block == nullptr) return 0;
    const std::uint32_t half = (length / 4) * 2;
    const std::uint32_t secondLength = half + length % 4;
    const std::uint32_t samples = length / 2;
    std::int64_t sum = 0;
    int peak = 0;  // loudest sample, for the level window's meter
    for (std::uint32_t i = 0; i < samples; ++i) {
        const auto sample = static_cast<std::int16_t>(block[2 * i] | (block[2 * i + 1] << 8));
        sum += sample;
        peak = std::max(peak, sample < 0 ? -static_cast<int>(sample) : static_cast<int>(sample));
    }
    const auto mean = static_cast<std::int16_t>(samples ? sum / static_cast<std::int64_t>(samples) : 0);

    // Echo cancellation and noise suppression, from the first block on so that the canceller
    // has adapted by the time anything is sent. The DC offset is taken off before (the one
    // known so far), so the processed block is encoded without one.
    bool processed = false;
    const bool processing = Processing();
    // Turned on again: a fresh canceller, whose lag is set by its first block.
    if (processing && !m_bWasProcessing) m_pCanceller.reset();
    m_bWasProcessing = processing;
    if (processing) {
        if (!m_pCanceller) m_pCanceller = std::make_unique<CEchoCanceller>();
        if (m_pCanceller->IsReady()) {
            m_pCanceller->Configure(m_bEchoCancel.load() && !m_bServerCancels.load(), m_bNoiseSuppress.load());
            m_pcm.resize(samples);
            const int offset = m_sDcOffset.load();
            for (std::uint32_t i = 0; i < samples; ++i) {
                const int sample = static_cast<std::int16_t>(block[2 * i] | (block[2 * i + 1] << 8));
                m_pcm[i] = static_cast<std::int16_t>(std::clamp(sample - offset, -32768, 32767));
            }
            m_pCanceller->Process(m_pcm.data(), samples, m_far.size() == samples ? m_far.data() : nullptr);
            m_processed.assign(block, block + length);
            for (std::uint32_t i = 0; i < samples; ++i) {
                const auto v = static_cast<std::uint16_t>(m_pcm[i]);
                m_processed[2 * i] = static_cast<std::uint8_t>(v & 0xFF);
                m_processed[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
            }
            m_dProcessingDelayMs = m_pCanceller->Latency() * 1000.0 / CEchoReference::kRate;
            block = m_processed.data();
            processed = true;
        }
    }

    const std::uint16_t count = m_wBlockCount.load();
    if (count == 0) {
        m_sDcOffset = mean;
        m_wBlockCount = 1;
        return 0;
    }
    if (count < kCalibrationBlocks) {
        const auto total = static_cast<std::int16_t>(m_sDcOffset.load() + mean);
        m_sDcOffset = static_cast<std::int16_t>(total / 2);
        m_wBlockCount = static_cast<std::uint16_t>(count + 1);
        return 0;
    }

    if (const WindowHandle level = m_hLevelWnd.load(); level != 0) {
        PostWindowMessage(level, WM_VOICE_LEVEL, static_cast<std::uintptr_t>(peak), mean);
    }
    const int mode = m_pSettings ? static_cast<int>(ReadSettingWord(m_pSettings->m_dwThreshold)) : 7;
    const std::int16_t dc = processed ? std::int16_t{0} : m_sDcOffset.load();
    // The second half follows the first: starting it at its own length would read past the
    // block's end whenever the length is not a multiple of 4.
    const std::uint32_t offsets[2] = {0, half};
    const std::uint32_t lengths[2] = {half, secondLength};
    for (int i = 0; i < 2; ++i) {
        if (m_codec.Encode(block + offsets[i], lengths[i], m_pWork1.data(), m_pWork2.data(), m_pWork1.size(), mode,
                           dc) != 0) {
            continue;
        }
        if (m_packet.size() < m_codec.PacketSize()) m_packet.resize(m_codec.PacketSize());
        const std::size_t size = m_codec.WritePacket(m_packet.data(), m_packet.size());
        if (size == 0) continue;
        if (m_SendQueue != nullptr) m_SendQueue->PushVoicePacket(kVoicePacketKind, m_packet.data(), size);
        PostWindowMessage(GetWindow(), WM_VOICE_QUEUED, 0, 0);
    }
    return 0;
}

void CSoundCapture::SetDcOffset(std::int16_t offset)
{
    m_sDcOffset = offset;
    m_wBlockCount = static_cast<std::uint16_t>(kCalibrationBlocks);
}
