#include "share/PortalShareSource.h"

#include "platform/capture/PortalScreenCast.h"
#include "platform/capture/Stretch.h"

IShareSource::WindowId CPortalShareSource::Foreground()
{
    return m_portal.LatestFrame(m_image) ? kStream : 0;
}

bool CPortalShareSource::WindowSize(WindowId window, int& width, int& height)
{
    if (window != kStream || m_image.width <= 0) return false;
    width = m_image.width;
    height = m_image.height;
    return true;
}

bool CPortalShareSource::StretchCopy(WindowId window, const DibSection& target)
{
    if (window != kStream || m_image.width <= 0) return false;
    const morvika::capture::PixelView view{m_image.bits.data(), m_image.width, m_image.height, m_image.stride};
    morvika::capture::StretchBgrxToBgr(view, target.bmBits, target.bmWidth, target.bmHeight, target.bmWidthBytes, true);
    return true;
}
