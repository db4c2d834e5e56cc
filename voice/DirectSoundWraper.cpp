#include "voice/DirectSoundWraper.h"

#include <chrono>
#include <cstring>

#include "app/Log.h"
#include "platform/sound/SoundThreadPriority.h"

namespace {
constexpr std::uint32_t kMinBlockSize = 1024;
constexpr std::uint32_t kNotifyPerSecond = 8;

// A sound thread that wakes late leaves a gap or shifts the voice; one refusal is logged for
// the whole program.
void AskForRealtime()
{
    static std::atomic<bool> s_logged{false};
    if (morvika::sound::RequestRealtimeForThisThread() == morvika::sound::RealtimeResult::Refused &&
        !s_logged.exchange(true)) {
        MORVIKA_LOG(
            "LOG   CDirectSoundWraper::ThreadProc() リアルタイム優先度を得られないため通常の優先度で動作します\n");
    }
}
}  // namespace

CDirectSoundWraper::CDirectSoundWraper(ISoundBackend& backend, IWindowPoster* poster)
    : m_backend(backend),
      m_poster(poster)
{
}

CDirectSoundWraper::~CDirectSoundWraper()
{
    if (m_hThread.joinable()) WaitEndThred();
}

int CDirectSoundWraper::Init(WindowHandle window, const SoundDeviceId* /*device*/, const SoundFormat* format)
{
    CreateEvents();
    SetWindow(window);
    m_Format = SoundFormat{};
    if (format != nullptr) m_Format = *format;
    m_Format.blockAlign = static_cast<std::uint16_t>((m_Format.bitsPerSample / 8) * m_Format.channels);
    m_Format.avgBytesPerSec = std::uint32_t{m_Format.blockAlign} * m_Format.samplesPerSec;
    if (m_Format.avgBytesPerSec != 0) {
        m_pWork1.assign(m_Format.avgBytesPerSec, 0);
        m_pWork2.assign(m_Format.avgBytesPerSec, 0);
    }
    return 0;
}

std::intptr_t CDirectSoundWraper::SendWindowMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    const WindowHandle window = m_hWnd.load();
    if (m_poster == nullptr || window == 0) return 0;
    return m_poster->SendWindowMessage(window, message, wParam, lParam);
}

void CDirectSoundWraper::PostWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                           std::intptr_t lParam)
{
    if (m_poster == nullptr || window == 0) return;
    m_poster->PostWindowMessage(window, message, wParam, lParam);
}

int CDirectSoundWraper::CreateEvents()
{
    for (auto& event : m_hEvents) {
        if (!event) event = std::make_unique<AutoResetEvent>();
    }
    return 0;
}

int CDirectSoundWraper::InitNotifications(std::uint32_t /*notifications*/)
{
    if (m_pNotify) return 1;
    m_pNotify = std::make_unique<SoundNotification[]>(kSoundNotifyEntries);
    m_pNotify[0] = {morvika::sound::kNotifyOnStop, GetStopEvent()};
    return 0;
}

int CDirectSoundWraper::CreateThredProc()
{
    CreateEvents();
    m_threadEnded = false;
    m_hThread = std::thread([this] { ThreadMain(); });
    return 0;
}

void CDirectSoundWraper::ThreadMain()
{
    AskForRealtime();
    AutoResetEvent* const events[3] = {m_hEvents[0].get(), m_hEvents[1].get(), m_hEvents[2].get()};
    for (bool running = true; running;) {
        switch (AutoResetEvent::WaitAny(events)) {
        case kSoundEventData: BufferDataProc(); break;
        case kSoundEventStop: OnStopped(); break;
        case kSoundEventQuit: running = false; break;
        default: NonProc(); break;
        }
        {
            std::lock_guard lock(m_handledMutex);
            ++m_handled;
        }
        m_handledCondition.notify_all();
    }
    m_threadEnded = true;
}

int CDirectSoundWraper::WaitEndThred()
{
    if (!m_hThread.joinable()) return 1;
    m_hEvents[kSoundEventQuit]->Set();
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        MORVIKA_LOG("LOG   CDirectSoundWraper::WaitEndThred() スレッドの終了を待つ\n");
    } while (!m_threadEnded.load());
    m_hThread.join();
    return 0;
}

void CDirectSoundWraper::CopySettings(const VoiceSettingsRecord& settings)
{
    if (m_pSettings == nullptr) return;
    WriteSettingWord(m_pSettings->m_dwSize, settings.m_dwSize);
    WriteSettingWord(m_pSettings->m_dwFlags, settings.m_dwFlags);
    WriteSettingWord(m_pSettings->m_lRecordVolume, settings.m_lRecordVolume);
    WriteSettingWord(m_pSettings->m_lPlaybackVolume, settings.m_lPlaybackVolume);
    WriteSettingWord(m_pSettings->m_dwThreshold, settings.m_dwThreshold);
    WriteSettingWord(m_pSettings->m_dwBufferQuality, settings.m_dwBufferQuality);
    WriteSettingWord(m_pSettings->m_dwBufferAggressiveness, settings.m_dwBufferAggressiveness);
    WriteSettingWord(m_pSettings->m_dwNotifyPeriod, settings.m_dwNotifyPeriod);
}

void CDirectSoundWraper::CopyWithGain(std::uint8_t* destination, const std::uint8_t* source, std::uint32_t bytes) const
{
    if (destination == nullptr || source == nullptr || bytes == 0) return;
    const long gain = m_lGain.load();
    const double g = gain == 0 ? 1.0 : (gain - 100) * 0.04 + 1.0;
    for (std::uint32_t i = 0; i + 1 < bytes; i += 2) {
        const auto sample = static_cast<std::int16_t>(source[i] | (source[i + 1] << 8));
        // Truncated toward zero, kept to its low 16 bits: loud peaks wrap as they always have.
        const auto scaled = static_cast<std::uint32_t>(static_cast<std::int32_t>(sample * g));
        destination[i] = static_cast<std::uint8_t>(scaled);
        destination[i + 1] = static_cast<std::uint8_t>(scaled >> 8);
    }
}

std::uint32_t CDirectSoundWraper::ComputeBlockSize(const SoundFormat& format, std::uint32_t notifications) const
{
    std::uint32_t block =
        notifications ? format.avgBytesPerSec / notifications : format.avgBytesPerSec / kNotifyPerSecond;
    if (block < kMinBlockSize) block = kMinBlockSize;
    if (format.blockAlign != 0) block -= block % format.blockAlign;
    return block;
}

std::uint64_t CDirectSoundWraper::HandledEvents() const
{
    std::lock_guard lock(m_handledMutex);
    return m_handled;
}

bool CDirectSoundWraper::WaitHandledEvents(std::uint64_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_handledMutex);
    return m_handledCondition.wait_for(lock, timeout, [&] { return m_handled >= count; });
}
