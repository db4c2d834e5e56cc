#pragma once
// A private X server with a window manager for tests where real windows matter: Xvfb with
// openbox, a test window with known content, and the server's own picture of a window (xwd).

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

namespace e2e {

// A picture as red, green, blue bytes, top row first.
struct RgbPicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
};

// Peak signal-to-noise ratio over every colour byte; 0 when the sizes differ.
double Psnr(const RgbPicture& a, const RgbPicture& b);

class XTestDisplay {
public:
    XTestDisplay() = default;
    ~XTestDisplay();
    XTestDisplay(const XTestDisplay&) = delete;
    XTestDisplay& operator=(const XTestDisplay&) = delete;

    // Starts Xvfb (1280 x 1024, 24 bits) and openbox; false with a message in `why`.
    bool Start(std::string& why);
    const std::string& Name() const { return m_name; }  // ":N"

    // The window manager's active window (0: none).
    xcb_window_t ActiveWindow();
    // The top-level window holding the client (the manager's frame).
    xcb_window_t FrameOf(xcb_window_t client);
    // What `xwd` writes for the window; empty picture on failure.
    RgbPicture Xwd(xcb_window_t window);

    xcb_connection_t* Connection() const { return m_connection; }
    xcb_screen_t* Screen() const { return m_screen; }
    xcb_ewmh_connection_t* Ewmh() { return &m_ewmh; }

private:
    pid_t m_xvfb = -1;
    pid_t m_wm = -1;
    std::string m_name;
    std::string m_dir;
    xcb_connection_t* m_connection = nullptr;
    xcb_screen_t* m_screen = nullptr;
    xcb_ewmh_connection_t m_ewmh{};
    bool m_ewmhReady = false;
};

// A top-level window showing blocks of colour chosen by a seed; the server repaints it from
// its background pixmap, so it keeps its content whatever covers it.
class XTestWindow {
public:
    XTestWindow(XTestDisplay& display, int width, int height);
    ~XTestWindow();
    xcb_window_t Id() const { return m_window; }
    void Paint(int seed);
    // Asks the manager to activate the window; true once it is the active one.
    bool Activate();

private:
    XTestDisplay& m_display;
    xcb_window_t m_window = 0;
    xcb_pixmap_t m_pixmap = 0;
    xcb_gcontext_t m_gc = 0;
    int m_width;
    int m_height;
};

}  // namespace e2e
