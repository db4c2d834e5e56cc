#include "session/HalvoVoice.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

#include "app/Log.h"
#include "platform/sound/PulseSound.h"
#include "session/PeerMessage.h"

using morvika::sound::ISoundBackend;
using morvika::sound::PulseSoundBackend;
using morvika::sound::SoundDeviceId;

void CWinMsgPoster::PostWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                      std::intptr_t lParam)
{
    PostMessage(static_cast<HWND>(window), message, wParam, lParam);
}

std::intptr_t CWinMsgPoster::SendWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                               std::intptr_t lParam)
{
    return SendMessage(static_cast<HWND>(window), message, wParam, lParam);
}

CWinMsgPoster& CWinMsgPoster::Instance()
{
    static CWinMsgPoster poster;
    return poster;
}

CCapturePoster::CCapturePoster()
{
    if (QCoreApplication::instance() == nullptr) return;
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wake < 0) return;
    m_pNotifier = std::make_unique<QSocketNotifier>(m_wake, QSocketNotifier::Read);
    QObject::connect(m_pNotifier.get(), &QSocketNotifier::activated, m_pNotifier.get(), [this] { Deliver(); });
}

CCapturePoster::~CCapturePoster()
{
    m_pNotifier.reset();
    if (m_wake >= 0) ::close(m_wake);
}

void CCapturePoster::PostWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                       std::intptr_t lParam)
{
    if (m_pNotifier) {
        bool queued = false;
        {
            std::lock_guard lock(m_lock);
            if (m_count < kRing) {
                m_ring[(m_first + m_count) % kRing] = {window, message, wParam, lParam};
                ++m_count;
                queued = true;
            }
        }
        if (queued) {
            const std::uint64_t one = 1;
            if (::write(m_wake, &one, sizeof one) < 0) {
                // The counter is at its limit: a wake-up is pending anyway.
            }
            return;
        }
    }
    CWinMsgPoster::Instance().PostWindowMessage(window, message, wParam, lParam);
}

std::intptr_t CCapturePoster::SendWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                                std::intptr_t lParam)
{
    return CWinMsgPoster::Instance().SendWindowMessage(window, message, wParam, lParam);
}

void CCapturePoster::Deliver()
{
    std::uint64_t count = 0;
    if (::read(m_wake, &count, sizeof count) < 0) {
        // Nothing to read: another Deliver took the counter; the ring is looked at anyway.
    }
    for (;;) {
        Posted posted{};
        {
            std::lock_guard lock(m_lock);
            if (m_count == 0) return;
            posted = m_ring[m_first];
            m_first = (m_first + 1) % kRing;
            --m_count;
        }
        // Every window the capture posts to lives on this thread: this is the call the
        // posted message would have made.
        SendMessage(static_cast<HWND>(posted.window), posted.message, posted.wParam, posted.lParam);
    }
}

CVoiceQueueSink::CVoiceQueueSink(CPeerMessageQueue& queue) : m_queue(queue)
{
    for (std::size_t i = 0; i < kSpares; ++i) {
        CPeerMessage spare;
        spare.Set(kVoicePacketKind, 0, 0, nullptr, kSparePayload);
        m_spares.Push(std::move(spare));
    }
}

void CVoiceQueueSink::PushVoicePacket(std::uint32_t kind, const std::uint8_t* data, std::size_t size)
{
    CPeerMessage message = m_spares.Pop();  // the empty message when none is left
    if (message.IsEmpty()) message.Set(kind, 0, 0, nullptr, std::max<std::size_t>(size, kSparePayload));
    message.Refill(kind, 0, 0, data, static_cast<std::int64_t>(size));
    m_queue.Push(std::move(message));
}

void CVoiceQueueSink::GiveBack(CPeerMessage&& message)
{
    // Only blocks that take any packet are kept, and no more than the stock.
    if (message.Capacity() < kSparePayload || m_spares.Count() >= kSpares) return;
    m_spares.Push(std::move(message));
}

int CUserPlayback::SaveData(std::uint32_t userId, const std::uint8_t* packet, std::size_t size)
{
    // The messages of a burst after a stalled link come in one after another within a
    // fraction of a millisecond. Woken by the first, the sound thread would play the oldest
    // before the rest were queued for the overload rule, and that delay would then stay.
    QCoreApplication* app = QCoreApplication::instance();
    const int rc =
        m_play.SaveData({userId, packet, size}, app ? CSoundPlay::ArrivalWake::Later : CSoundPlay::ArrivalWake::Now);
    ++m_nArrivals;
    if (app && !m_bSettling) {
        m_bSettling = true;
        PostSettle();
    }
    return rc;
}

void CUserPlayback::SettleArrivals(std::uint64_t seen)
{
    if (seen != m_nArrivals) {
        PostSettle();
        return;
    }
    m_bSettling = false;
    m_play.WakeForArrivals();
}

void CUserPlayback::PostSettle()
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self = weak_from_this(), now = m_nArrivals] {
            if (const auto playback = self.lock()) playback->SettleArrivals(now);
        },
        Qt::QueuedConnection);
}

std::shared_ptr<ISoundBackend> CHalvoVoice::ConnectSoundServer()
{
    auto backend = std::make_shared<PulseSoundBackend>("Morvika");
    if (const int rc = backend->Connect(); rc != 0) {
        MORVIKA_LOG("ERROR CHalvoDlg::OnInitDialog() サウンドサーバに接続できない 音声なしで動作します %x\n",
                    static_cast<unsigned>(rc));
        return nullptr;
    }
    return backend;
}

void CHalvoVoice::SetBackend(std::shared_ptr<ISoundBackend> backend)
{
    m_pMixer.reset();
    m_pSourceMixer.reset();
    m_backend = std::move(backend);
    if (auto* pulse = dynamic_cast<PulseSoundBackend*>(m_backend.get())) {
        m_pSourceMixer = std::make_unique<morvika::sound::PulseSourceMixer>(*pulse);
    }
}

void CHalvoVoice::OpenMixer(const std::string& captureName)
{
    m_pMixer = std::make_unique<CMixerControl>(m_pSourceMixer.get());
    if (!m_pSourceMixer) return;
    try {
        m_pMixer->Open(captureName.c_str());
        m_pMixer->MuteMicPlayback();
    } catch (const OskelClassLib::OskelExcept&) {
        // Logged by the mixer.
    }
}

namespace {

std::optional<SoundDeviceId> Resolve(CDirectSoundDriverData& list, const std::string& name)
{
    const SoundDriverEntry* entry = list.GetSoundDriverGUID(name.empty() ? nullptr : name.c_str());
    if (entry == nullptr) return std::nullopt;
    return entry->guid;
}

}  // namespace

void CHalvoVoice::BuildDeviceLists(const std::string& captureName, const std::string& soundName)
{
    if (!m_backend) return;
    m_pCaptureDevices = std::make_unique<CDirectSoundDriverData>(*m_backend, 1);
    m_pSoundDevices = std::make_unique<CDirectSoundDriverData>(*m_backend, 0);
    m_captureId = Resolve(*m_pCaptureDevices, captureName);
    m_soundId = Resolve(*m_pSoundDevices, soundName);
}

void CHalvoVoice::ReleaseDeviceLists()
{
    m_pCaptureDevices.reset();
    m_pSoundDevices.reset();
}

std::shared_ptr<CUserPlayback> CHalvoVoice::CreatePlayback(HWND window)
{
    if (!m_backend) return nullptr;
    auto playback = std::make_shared<CUserPlayback>(m_backend, &CWinMsgPoster::Instance());
    playback->Play().SetEchoReference(m_pEchoReference);
    // A failure is logged by the playback object; it then ignores what it is given.
    playback->Play().Init(static_cast<WindowHandle>(window), SoundDevice(), nullptr);
    return playback;
}
