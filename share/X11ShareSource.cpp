#include "share/X11ShareSource.h"

#include "platform/capture/Stretch.h"

std::unique_ptr<CX11ShareSource> CX11ShareSource::Open(std::string* why)
{
    auto capture = morvika::capture::WindowCapture::Open(why);
    if (capture == nullptr) return nullptr;
    return std::unique_ptr<CX11ShareSource>(new CX11ShareSource(std::move(capture)));
}

CX11ShareSource::CX11ShareSource(std::unique_ptr<morvika::capture::WindowCapture> capture)
    : m_pCapture(std::move(capture))
{
}

IShareSource::WindowId CX11ShareSource::Foreground()
{
    return m_pCapture->ActiveWindow();
}

bool CX11ShareSource::WindowSize(WindowId window, int& width, int& height)
{
    const auto frame = m_pCapture->FrameOf(static_cast<morvika::capture::WindowId>(window));
    return frame != 0 && m_pCapture->Size(frame, width, height);
}

bool CX11ShareSource::StretchCopy(WindowId window, const DibSection& target)
{
    const auto frame = m_pCapture->FrameOf(static_cast<morvika::capture::WindowId>(window));
    if (frame == 0 || !m_pCapture->Grab(frame, m_image)) return false;
    const morvika::capture::PixelView view{m_image.bits.data(), m_image.width, m_image.height, m_image.stride};
    morvika::capture::StretchBgrxToBgr(view, target.bmBits, target.bmWidth, target.bmHeight, target.bmWidthBytes, true);
    return true;
}
