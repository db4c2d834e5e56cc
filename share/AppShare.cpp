#include "share/AppShare.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <future>

#include "app/Log.h"
#include "app/WindowMessages.h"
#include "platform/winmsg/WinMsgPayload.h"
#include "video/JpegBuffer.h"

namespace {
constexpr UINT kHandOffMessage = 0x8190;  // private to the engine's own target
}

struct CAppShare::HandOff {
    JpegBlock jpeg;
    std::uint32_t length = 0;
    bool done = false;       // guarded by the engine's hand-off lock
    bool abandoned = false;  // the share thread stopped waiting
    std::condition_variable changed;
};

CAppShare::CAppShare(std::unique_ptr<IShareSource> source)
    : m_pSource(std::move(source)),
      m_ownerThread(std::this_thread::get_id())
{
}

CAppShare::~CAppShare()
{
    Stop();
    DetachMessages();
}

int CAppShare::Init(HWND window, std::uint32_t param, void*)
{
    CreateEvents();
    m_hWnd = window;
    m_dwParam = param;
    SetSharing(false);
    return CreateThredProc();
}

void CAppShare::Stop()
{
    SetSharing(false);
    if (m_hThread.joinable()) WaitEndThred();
}

LRESULT CAppShare::SendToWnd(UINT message, WPARAM wParam, const SendBlock& block)
{
    return SendPayload(m_hWnd, message, wParam, block);
}

int CAppShare::CreateEvents()
{
    for (auto& event : m_events) event.Reset();
    return 0;
}

void CAppShare::SetJpegSettings(const OskelJpegControlData* settings)
{
    std::lock_guard guard(m_settingsLock);
    if (settings != nullptr) {
        m_pJpegSettings.emplace(*settings);
    } else {
        m_pJpegSettings.reset();
    }
}

int CAppShare::CreateThredProc()
{
    if (m_hThread.joinable()) return 0;
    m_dwExitCode.store(kStillActive);
    std::promise<bool> lowered;
    std::future<bool> loweredResult = lowered.get_future();
    try {
        m_hThread = std::thread([this, promise = std::move(lowered)]() mutable {
            // The lowest priority a user may give a thread; capture must never slow the voice.
            promise.set_value(setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19) == 0);
            ThreadMain();
        });
    } catch (const std::system_error&) {
        m_dwExitCode.store(0);
        MORVIKA_LOG("ERROR CAppShare::CreateThredProc() スレッドの生成は失敗した\n");
        return 1;
    }
    if (!loweredResult.get()) {
        MORVIKA_LOG("ERROR CAppShare::CreateThredProc() スレッドの優先度を下げられない\n");
        return 1;
    }
    return 0;
}

void CAppShare::ThreadMain()
{
    std::array<morvika::sound::AutoResetEvent*, 3> events{&m_events[0], &m_events[1], &m_events[2]};
    for (;;) {
        const int result =
            morvika::sound::AutoResetEvent::WaitAny(events, std::chrono::milliseconds(m_dwPeriod.load()));
        if (result == 0) {
            OnWake();
        } else if (result == 1) {
            OnStopEvent();
        } else if (result == 2) {
            break;
        } else if (result == -1) {
            CaptureFrame();
        } else {
            OnWaitFailed();
        }
    }
    m_dwExitCode.store(0);
}

int CAppShare::WaitEndThred()
{
    if (!m_hThread.joinable()) return 1;
    {
        std::lock_guard guard(m_handOffLock);
        m_bQuitting = true;
        if (m_pHandOff) m_pHandOff->changed.notify_all();
    }
    m_events[2].Set();
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        MORVIKA_LOG("LOG   CAppShare::WaitEndThred() スレッドの終了を待つ\n");
    } while (m_dwExitCode.load() == kStillActive);
    m_hThread.join();
    std::lock_guard guard(m_handOffLock);
    m_bQuitting = false;
    return 0;
}

void CAppShare::TargetSize(int width, int height, int& targetWidth, int& targetHeight)
{
    if (width > kMaxWidth) {
        // In whole numbers: a scale in floating point gives 799 for some widths.
        targetWidth = kMaxWidth;
        targetHeight = static_cast<int>(static_cast<std::int64_t>(height) * kMaxWidth / width);
    } else {
        targetWidth = width;
        targetHeight = height;
    }
}

bool CAppShare::CompareReference(const DibSection& picture)
{
    const std::size_t len = static_cast<std::size_t>(picture.bmWidthBytes) * static_cast<std::size_t>(picture.bmHeight);
    if (m_bHasReference && m_RefInfo.bmWidth == picture.bmWidth && m_RefInfo.bmHeight == picture.bmHeight &&
        m_RefInfo.bmWidthBytes == picture.bmWidthBytes && len <= m_pRefBits.size() &&
        std::memcmp(m_pRefBits.data(), picture.bmBits, len) == 0) {
        return false;
    }
    if (len != 0 && len != m_pRefBits.size()) m_pRefBits.assign(len, 0);
    if (len != 0) std::memcpy(m_pRefBits.data(), picture.bmBits, len);
    m_RefInfo = picture;
    m_RefInfo.bmBits = m_pRefBits.data();
    m_bHasReference = true;
    return true;
}

void CAppShare::CaptureFrame()
{
    if (!IsSharing() || m_pSource == nullptr) return;
    const IShareSource::WindowId window = m_pSource->Foreground();
    if (window == 0 || window == m_hMainWindowId.load() || window == m_hExcludeWnd.load()) return;
    int width = 0;
    int height = 0;
    if (!m_pSource->WindowSize(window, width, height) || width <= 0 || height <= 0) return;
    int targetWidth = 0;
    int targetHeight = 0;
    TargetSize(width, height, targetWidth, targetHeight);
    if (targetWidth <= 0 || targetHeight <= 0) return;

    DibSection bitmap;
    bitmap.bmWidth = targetWidth;
    bitmap.bmHeight = targetHeight;
    bitmap.bmWidthBytes = static_cast<std::int32_t>(DibStride(24, static_cast<std::uint32_t>(targetWidth)));
    std::vector<unsigned char> bits(static_cast<std::size_t>(bitmap.bmWidthBytes) *
                                    static_cast<std::size_t>(targetHeight));
    bitmap.bmBits = bits.data();
    if (!m_pSource->StretchCopy(window, bitmap)) return;
    if (m_bResend.exchange(false)) m_bHasReference = false;
    if (!CompareReference(bitmap)) return;

    OskelJpegControlData settings;
    {
        std::lock_guard guard(m_settingsLock);
        if (m_pJpegSettings) settings = *m_pJpegSettings;
    }
    std::uint32_t length = 0;
    JpegBlock jpeg = JpegBuffer::EncodeBitmap(bitmap, settings, length);
    if (jpeg == nullptr || length == 0) return;
    HandOffFrame(std::move(jpeg), length);
}

void CAppShare::HandOffFrame(std::unique_ptr<unsigned char[]> jpeg, std::uint32_t length)
{
    if (std::this_thread::get_id() == m_ownerThread) {
        const SendBlock block{0, length, jpeg.get()};
        SendToWnd(WM_JPEG_FRAME, 0, block);
        return;
    }
    auto handOff = std::make_shared<HandOff>();
    handOff->jpeg = std::move(jpeg);
    handOff->length = length;
    std::unique_lock lock(m_handOffLock);
    if (m_bQuitting) return;
    m_pHandOff = handOff;
    if (!PostPayload(Handle(), kHandOffMessage, 0, std::make_unique<std::shared_ptr<HandOff>>(handOff))) {
        m_pHandOff.reset();
        return;
    }
    handOff->changed.wait(lock, [&] { return handOff->done || m_bQuitting; });
    handOff->abandoned = !handOff->done;
    m_pHandOff.reset();
}

LRESULT CAppShare::WindowProc(UINT message, WPARAM, LPARAM lParam)
{
    if (message != kHandOffMessage) return 0;
    const std::unique_ptr<std::shared_ptr<HandOff>> carried = TakePayload<std::shared_ptr<HandOff>>(lParam);
    if (carried == nullptr) return 0;
    HandOff& handOff = **carried;
    {
        std::lock_guard guard(m_handOffLock);
        if (handOff.abandoned || m_bQuitting) return 0;
    }
    // The share thread waits, so the bytes stay put until the main window has copied them.
    const SendBlock block{0, handOff.length, handOff.jpeg.get()};
    SendToWnd(WM_JPEG_FRAME, 0, block);
    std::lock_guard guard(m_handOffLock);
    handOff.done = true;
    handOff.changed.notify_all();
    return 0;
}
