#include "XTestDisplay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <thread>

namespace e2e {

namespace {

using namespace std::chrono_literals;

pid_t Spawn(const std::vector<std::string>& args, const std::string& display, int keepFd = -1)
{
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    if (!display.empty()) setenv("DISPLAY", display.c_str(), 1);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    if (keepFd >= 0) fcntl(keepFd, F_SETFD, 0);
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

void Stop(pid_t& pid)
{
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(100ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

std::uint32_t Be32(const std::string& bytes, std::size_t at)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

double Psnr(const RgbPicture& a, const RgbPicture& b)
{
    if (a.width != b.width || a.height != b.height || a.rgb.size() != b.rgb.size() || a.rgb.empty()) return 0;
    double sum = 0;
    for (std::size_t i = 0; i < a.rgb.size(); ++i) {
        const double d = static_cast<double>(a.rgb[i]) - b.rgb[i];
        sum += d * d;
    }
    const double mse = sum / static_cast<double>(a.rgb.size());
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

XTestDisplay::~XTestDisplay()
{
    if (m_ewmhReady) xcb_ewmh_connection_wipe(&m_ewmh);
    if (m_connection != nullptr) xcb_disconnect(m_connection);
    Stop(m_wm);
    Stop(m_xvfb);
    if (!m_dir.empty()) std::system(("rm -rf '" + m_dir + "'").c_str());
}

bool XTestDisplay::Start(std::string& why)
{
    char dir[] = "/tmp/morvika-x-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        why = "no temporary folder";
        return false;
    }
    m_dir = dir;
    int fds[2];
    if (pipe(fds) != 0) {
        why = "no pipe";
        return false;
    }
    m_xvfb = Spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
                    "-auth", "/dev/null"},
                   "", fds[1]);
    close(fds[1]);
    std::string number;
    pollfd wait{fds[0], POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline && number.find('\n') == std::string::npos) {
        if (poll(&wait, 1, 200) <= 0) continue;
        char c = 0;
        if (read(fds[0], &c, 1) != 1) break;
        number += c;
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) {
        why = "Xvfb did not start (is the xvfb package installed?)";
        return false;
    }
    m_name = ":" + number.substr(0, number.find('\n'));

    m_connection = xcb_connect(m_name.c_str(), nullptr);
    if (xcb_connection_has_error(m_connection) != 0) {
        why = "cannot connect to " + m_name;
        return false;
    }
    m_screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
    m_ewmhReady = xcb_ewmh_init_atoms_replies(&m_ewmh, xcb_ewmh_init_atoms(m_connection, &m_ewmh), nullptr) != 0;

    m_wm = Spawn({"openbox", "--sm-disable"}, m_name);
    // The manager is ready once it announces itself on the root window.
    for (auto until = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < until;) {
        xcb_window_t check = 0;
        if (xcb_ewmh_get_supporting_wm_check_reply(&m_ewmh, xcb_ewmh_get_supporting_wm_check(&m_ewmh, m_screen->root),
                                                   &check, nullptr) != 0 &&
            check != 0) {
            return true;
        }
        std::this_thread::sleep_for(100ms);
    }
    why = "openbox did not start (is the openbox package installed?)";
    return false;
}

xcb_window_t XTestDisplay::ActiveWindow()
{
    xcb_window_t active = 0;
    if (xcb_ewmh_get_active_window_reply(&m_ewmh, xcb_ewmh_get_active_window(&m_ewmh, 0), &active, nullptr) == 0)
        return 0;
    return active;
}

xcb_window_t XTestDisplay::FrameOf(xcb_window_t client)
{
    xcb_window_t window = client;
    for (;;) {
        xcb_query_tree_reply_t* tree =
            xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, window), nullptr);
        if (tree == nullptr) return 0;
        const xcb_window_t parent = tree->parent;
        const xcb_window_t root = tree->root;
        std::free(tree);
        if (parent == root) return window;
        window = parent;
    }
}

RgbPicture XTestDisplay::Xwd(xcb_window_t window)
{
    RgbPicture picture;
    const std::string file = m_dir + "/window.xwd";
    const std::string command = "DISPLAY=" + m_name + " xwd -silent -id " + std::to_string(window) + " -out " + file;
    if (const int rc = std::system(command.c_str()); rc != 0) {
        std::cerr << command << " failed: " << rc << "\n";
        return picture;
    }
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 100) {
        std::cerr << "xwd wrote " << bytes.size() << " bytes\n";
        return picture;
    }
    const std::uint32_t headerSize = Be32(bytes, 0);
    const int width = static_cast<int>(Be32(bytes, 16));
    const int height = static_cast<int>(Be32(bytes, 20));
    const std::uint32_t byteOrder = Be32(bytes, 28);
    const std::uint32_t bitsPerPixel = Be32(bytes, 44);
    const std::uint32_t bytesPerLine = Be32(bytes, 48);
    const std::uint32_t colours = Be32(bytes, 76);
    const std::size_t data = headerSize + static_cast<std::size_t>(colours) * 12;
    const std::uint32_t pixelBytes = bitsPerPixel / 8;
    if ((pixelBytes != 3 && pixelBytes != 4) || bytesPerLine < static_cast<std::uint32_t>(width) * pixelBytes ||
        byteOrder != 0 || bytes.size() < data + static_cast<std::size_t>(bytesPerLine) * height) {
        std::cerr << "unexpected xwd file: " << bytes.size() << " bytes, " << bitsPerPixel << " bits per pixel, order "
                  << byteOrder << ", " << width << "x" << height << ", header " << headerSize << ", colours " << colours
                  << "\n";
        return picture;
    }
    picture.width = width;
    picture.height = height;
    picture.rgb.resize(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        const auto* row =
            reinterpret_cast<const unsigned char*>(bytes.data() + data + static_cast<std::size_t>(y) * bytesPerLine);
        for (int x = 0; x < width; ++x) {
            std::uint8_t* out = &picture.rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            const unsigned char* pixel = row + static_cast<std::size_t>(x) * pixelBytes;  // blue, green, red
            out[0] = pixel[2];
            out[1] = pixel[1];
            out[2] = pixel[0];
        }
    }
    return picture;
}

XTestWindow::XTestWindow(XTestDisplay& display, int width, int height)
    : m_display(display),
      m_width(width),
      m_height(height)
{
    xcb_connection_t* c = display.Connection();
    xcb_screen_t* screen = display.Screen();
    m_pixmap = xcb_generate_id(c);
    xcb_create_pixmap(c, screen->root_depth, m_pixmap, screen->root, static_cast<std::uint16_t>(width),
                      static_cast<std::uint16_t>(height));
    m_gc = xcb_generate_id(c);
    xcb_create_gc(c, m_gc, m_pixmap, 0, nullptr);
    m_window = xcb_generate_id(c);
    const std::uint32_t values[] = {m_pixmap};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, m_window, screen->root, 560, 400, static_cast<std::uint16_t>(width),
                      static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXMAP, values);
    const char title[] = "Morvika share test";
    xcb_ewmh_set_wm_name(display.Ewmh(), m_window, sizeof title - 1, title);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, m_window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, sizeof title - 1,
                        title);
    Paint(1);
    xcb_map_window(c, m_window);
    xcb_flush(c);
}

XTestWindow::~XTestWindow()
{
    xcb_connection_t* c = m_display.Connection();
    xcb_destroy_window(c, m_window);
    xcb_free_gc(c, m_gc);
    xcb_free_pixmap(c, m_pixmap);
    xcb_flush(c);
}

void XTestWindow::Paint(int seed)
{
    xcb_connection_t* c = m_display.Connection();
    // Blocks of calm colours, like the panels and text areas of an ordinary window.
    const int cols = 8;
    const int rows = 6;
    for (int row = 0; row < rows; ++row) {
        for (int col = 0; col < cols; ++col) {
            const unsigned v = static_cast<unsigned>((row * cols + col) * 37 + seed * 101);
            const std::uint32_t colour = ((60 + v % 150) << 16) | ((80 + (v / 3) % 140) << 8) | (90 + (v / 7) % 130);
            xcb_change_gc(c, m_gc, XCB_GC_FOREGROUND, &colour);
            const xcb_rectangle_t r{
                static_cast<std::int16_t>(col * m_width / cols), static_cast<std::int16_t>(row * m_height / rows),
                static_cast<std::uint16_t>(m_width / cols + 1), static_cast<std::uint16_t>(m_height / rows + 1)};
            xcb_poly_fill_rectangle(c, m_pixmap, m_gc, 1, &r);
        }
    }
    xcb_clear_area(c, 0, m_window, 0, 0, 0, 0);
    xcb_flush(c);
}

bool XTestWindow::Activate()
{
    const std::uint32_t above[] = {XCB_STACK_MODE_ABOVE};
    xcb_configure_window(m_display.Connection(), m_window, XCB_CONFIG_WINDOW_STACK_MODE, above);
    for (auto until = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < until;) {
        xcb_ewmh_request_change_active_window(m_display.Ewmh(), 0, m_window, XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER,
                                              XCB_CURRENT_TIME, XCB_NONE);
        xcb_flush(m_display.Connection());
        std::this_thread::sleep_for(200ms);
        if (m_display.ActiveWindow() == m_window) return true;
    }
    return false;
}

}  // namespace e2e
