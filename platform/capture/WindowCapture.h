#pragma once
// The pixels of the window the user works in, on an X11 display: the active window as the
// window manager announces it (_NET_ACTIVE_WINDOW), with the frame the manager puts round it.
// A window that a compositing manager redirects is read from its own pixmap, so covered parts
// come out right; otherwise the visible part is read from the screen.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace morvika::capture {

using WindowId = std::uint32_t;

// A captured picture: top-down rows of blue, green, red and one unused byte.
struct CapturedImage {
    int width = 0;
    int height = 0;
    int stride = 0;
    std::vector<std::uint8_t> bits;
};

class WindowCapture {
public:
    // Connects to the display named by DISPLAY. Null when there is no X11 display to read;
    // `why` then says so in words for the user.
    static std::unique_ptr<WindowCapture> Open(std::string* why = nullptr);
    ~WindowCapture();
    WindowCapture(const WindowCapture&) = delete;
    WindowCapture& operator=(const WindowCapture&) = delete;

    // The active client window; 0 when the window manager names none.
    WindowId ActiveWindow();
    // The top-level window holding the client (its frame); the client itself when unmanaged.
    WindowId FrameOf(WindowId client);
    bool Size(WindowId window, int& width, int& height);
    // The whole window's pixels; parts outside the screen are black. False when the window
    // is gone or cannot be read.
    bool Grab(WindowId window, CapturedImage& image);

private:
    struct Impl;
    explicit WindowCapture(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace morvika::capture
