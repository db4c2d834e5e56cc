#include "platform/capture/WindowCapture.h"

#include <xcb/composite.h>
#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace morvika::capture {

struct WindowCapture::Impl {
    xcb_connection_t* connection = nullptr;
    int screenNumber = 0;
    xcb_screen_t* screen = nullptr;
    xcb_ewmh_connection_t ewmh{};
    bool ewmhReady = false;
    bool composite = false;

    ~Impl()
    {
        if (ewmhReady) xcb_ewmh_connection_wipe(&ewmh);
        if (connection != nullptr) xcb_disconnect(connection);
    }

    // Bits per pixel of images of this depth; only 32 is read.
    int BitsPerPixel(std::uint8_t depth) const
    {
        const xcb_setup_t* setup = xcb_get_setup(connection);
        for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
            if (it.data->depth == depth) return it.data->bits_per_pixel;
        }
        return 0;
    }

    // Copies a ZPixmap reply of w x h into the image at (x, y).
    bool Store(xcb_get_image_reply_t* reply, int x, int y, int w, int h, CapturedImage& image) const
    {
        if (reply == nullptr) return false;
        if (BitsPerPixel(reply->depth) != 32 ||
            xcb_get_setup(connection)->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
            return false;
        }
        const int length = xcb_get_image_data_length(reply);
        const std::uint8_t* data = xcb_get_image_data(reply);
        const int rowBytes = w * 4;  // 32-bit pixels are padded to whole words already
        if (length < rowBytes * h) return false;
        for (int row = 0; row < h; ++row) {
            std::uint8_t* out = image.bits.data() + static_cast<std::ptrdiff_t>(y + row) * image.stride + x * 4;
            std::memcpy(out, data + static_cast<std::ptrdiff_t>(row) * rowBytes, static_cast<std::size_t>(rowBytes));
        }
        return true;
    }

    bool GrabFromPixmap(WindowId window, CapturedImage& image)
    {
        if (!composite) return false;
        const xcb_pixmap_t pixmap = xcb_generate_id(connection);
        // Only a redirected window has a pixmap of its own; otherwise this fails harmlessly.
        xcb_generic_error_t* error =
            xcb_request_check(connection, xcb_composite_name_window_pixmap_checked(connection, window, pixmap));
        if (error != nullptr) {
            std::free(error);
            return false;
        }
        xcb_get_image_reply_t* reply = xcb_get_image_reply(connection,
                                                           xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap,
                                                                         0, 0, static_cast<std::uint16_t>(image.width),
                                                                         static_cast<std::uint16_t>(image.height), ~0u),
                                                           nullptr);
        const bool stored = Store(reply, 0, 0, image.width, image.height, image);
        std::free(reply);
        xcb_free_pixmap(connection, pixmap);
        return stored;
    }

    bool GrabVisible(WindowId window, CapturedImage& image)
    {
        xcb_translate_coordinates_reply_t* where = xcb_translate_coordinates_reply(
            connection, xcb_translate_coordinates(connection, window, screen->root, 0, 0), nullptr);
        if (where == nullptr) return false;
        const int left = where->dst_x;
        const int top = where->dst_y;
        std::free(where);
        // Reading a window fails unless the whole rectangle is on the screen.
        const int x0 = std::max(0, -left);
        const int y0 = std::max(0, -top);
        const int x1 = std::min(image.width, screen->width_in_pixels - left);
        const int y1 = std::min(image.height, screen->height_in_pixels - top);
        if (x1 <= x0 || y1 <= y0) return true;  // wholly off the screen: black
        xcb_get_image_reply_t* reply = xcb_get_image_reply(
            connection,
            xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, window, static_cast<std::int16_t>(x0),
                          static_cast<std::int16_t>(y0), static_cast<std::uint16_t>(x1 - x0),
                          static_cast<std::uint16_t>(y1 - y0), ~0u),
            nullptr);
        const bool stored = Store(reply, x0, y0, x1 - x0, y1 - y0, image);
        std::free(reply);
        return stored;
    }
};

WindowCapture::WindowCapture(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

WindowCapture::~WindowCapture() = default;

std::unique_ptr<WindowCapture> WindowCapture::Open(std::string* why)
{
    auto impl = std::make_unique<Impl>();
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        if (why != nullptr) {
            *why = std::getenv("WAYLAND_DISPLAY") != nullptr
                       ? "this Wayland session offers no X11 display (DISPLAY is not set)"
                       : "no X11 display (DISPLAY is not set)";
        }
        return nullptr;
    }
    impl->connection = xcb_connect(display, &impl->screenNumber);
    if (xcb_connection_has_error(impl->connection) != 0) {
        if (why != nullptr) *why = std::string("cannot open the X11 display ") + display;
        return nullptr;
    }
    auto it = xcb_setup_roots_iterator(xcb_get_setup(impl->connection));
    for (int i = 0; i < impl->screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
    if (it.rem == 0) {
        if (why != nullptr) *why = "the X11 display has no such screen";
        return nullptr;
    }
    impl->screen = it.data;
    xcb_intern_atom_cookie_t* cookies = xcb_ewmh_init_atoms(impl->connection, &impl->ewmh);
    impl->ewmhReady = xcb_ewmh_init_atoms_replies(&impl->ewmh, cookies, nullptr) != 0;
    if (!impl->ewmhReady) {
        if (why != nullptr) *why = "cannot read the window manager's atoms";
        return nullptr;
    }
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(impl->connection, &xcb_composite_id);
    if (ext != nullptr && ext->present != 0) {
        xcb_composite_query_version_reply_t* version = xcb_composite_query_version_reply(
            impl->connection, xcb_composite_query_version(impl->connection, 0, 2), nullptr);
        impl->composite = version != nullptr && (version->major_version > 0 || version->minor_version >= 2);
        std::free(version);
    }
    return std::unique_ptr<WindowCapture>(new WindowCapture(std::move(impl)));
}

WindowId WindowCapture::ActiveWindow()
{
    xcb_window_t active = 0;
    if (xcb_ewmh_get_active_window_reply(&m_impl->ewmh, xcb_ewmh_get_active_window(&m_impl->ewmh, m_impl->screenNumber),
                                         &active, nullptr) == 0) {
        return 0;
    }
    return active;
}

WindowId WindowCapture::FrameOf(WindowId client)
{
    WindowId window = client;
    for (int depth = 0; depth < 32; ++depth) {
        xcb_query_tree_reply_t* tree =
            xcb_query_tree_reply(m_impl->connection, xcb_query_tree(m_impl->connection, window), nullptr);
        if (tree == nullptr) return 0;  // gone
        const xcb_window_t parent = tree->parent;
        const xcb_window_t root = tree->root;
        std::free(tree);
        if (parent == root || parent == XCB_NONE) return window;
        window = parent;
    }
    return window;
}

bool WindowCapture::Size(WindowId window, int& width, int& height)
{
    xcb_get_geometry_reply_t* geometry =
        xcb_get_geometry_reply(m_impl->connection, xcb_get_geometry(m_impl->connection, window), nullptr);
    if (geometry == nullptr) return false;
    width = geometry->width;
    height = geometry->height;
    std::free(geometry);
    return width > 0 && height > 0;
}

bool WindowCapture::Grab(WindowId window, CapturedImage& image)
{
    int width = 0;
    int height = 0;
    if (!Size(window, width, height)) return false;
    image.width = width;
    image.height = height;
    image.stride = width * 4;
    image.bits.assign(static_cast<std::size_t>(image.stride) * static_cast<std::size_t>(height), 0);
    if (m_impl->GrabFromPixmap(window, image)) return true;
    return m_impl->GrabVisible(window, image);
}

}  // namespace morvika::capture
