#pragma once
// The share engine's source on an X11 desktop: the active window with its frame.

#include <memory>
#include <string>

#include "platform/capture/WindowCapture.h"
#include "share/AppShare.h"

class CX11ShareSource : public IShareSource {
public:
    // Null when no X11 display can be read; `why` says why.
    static std::unique_ptr<CX11ShareSource> Open(std::string* why = nullptr);

    WindowId Foreground() override;
    bool WindowSize(WindowId window, int& width, int& height) override;
    bool StretchCopy(WindowId window, const DibSection& target) override;

private:
    explicit CX11ShareSource(std::unique_ptr<morvika::capture::WindowCapture> capture);

    std::unique_ptr<morvika::capture::WindowCapture> m_pCapture;
    morvika::capture::CapturedImage m_image;  // kept between captures to reuse its memory
};
