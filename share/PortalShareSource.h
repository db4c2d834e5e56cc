#pragma once
// The share engine's source in a Wayland session: the newest picture of the stream the
// desktop's ScreenCast portal gives for what the user picked. There is no foreground window
// to follow, so what was picked is what is shown.

#include "platform/capture/WindowCapture.h"
#include "share/AppShare.h"

namespace morvika::capture {
class PortalScreenCast;
}

class CPortalShareSource : public IShareSource {
public:
    // Never a native window's id (a Wayland window's winId() is 1).
    static constexpr WindowId kStream = ~WindowId{0};

    // The portal object stays its owner's and outlives the source.
    explicit CPortalShareSource(morvika::capture::PortalScreenCast& portal) : m_portal(portal) {}

    WindowId Foreground() override;
    bool WindowSize(WindowId window, int& width, int& height) override;
    bool StretchCopy(WindowId window, const DibSection& target) override;

private:
    morvika::capture::PortalScreenCast& m_portal;
    morvika::capture::CapturedImage m_image;  // the picture of this capture, read at Foreground
};
