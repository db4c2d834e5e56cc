#include "platform/capture/ProgramWindows.h"

#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace morvika::capture {

namespace {

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply>;

// WM_CLASS holds the instance name and the class name, each ended by a zero byte.
bool HasClass(xcb_connection_t* c, xcb_window_t window, const std::string& windowClass)
{
    const Reply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256), nullptr));
    if (!reply) return false;
    const auto* bytes = static_cast<const char*>(xcb_get_property_value(reply.get()));
    const int length = xcb_get_property_value_length(reply.get());
    const void* zero = std::memchr(bytes, 0, static_cast<std::size_t>(length));
    if (zero == nullptr) return false;
    const char* name = static_cast<const char*>(zero) + 1;
    const std::size_t rest = static_cast<std::size_t>(bytes + length - name);
    return std::string(name, strnlen(name, rest)) == windowClass;
}

// The child of the root that holds the window: the manager's frame.
xcb_window_t TopLevel(xcb_connection_t* c, xcb_window_t window)
{
    for (int depth = 0; depth < 16; ++depth) {
        const Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr));
        if (!tree) return 0;
        if (tree->parent == tree->root || tree->parent == 0) return window;
        window = tree->parent;
    }
    return 0;
}

}  // namespace

std::vector<std::pair<int, int>> OtherProcessWindows(const std::string& windowClass)
{
    std::vector<std::pair<int, int>> corners;
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || display[0] == '\0') return corners;
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c) != 0) {
        xcb_disconnect(c);
        return corners;
    }
    xcb_ewmh_connection_t ewmh{};
    if (xcb_ewmh_init_atoms_replies(&ewmh, xcb_ewmh_init_atoms(c, &ewmh), nullptr) != 0) {
        xcb_ewmh_get_windows_reply_t list{};
        if (xcb_ewmh_get_client_list_reply(&ewmh, xcb_ewmh_get_client_list(&ewmh, 0), &list, nullptr) != 0) {
            for (std::uint32_t i = 0; i < list.windows_len; ++i) {
                const xcb_window_t client = list.windows[i];
                std::uint32_t pid = 0;
                if (xcb_ewmh_get_wm_pid_reply(&ewmh, xcb_ewmh_get_wm_pid(&ewmh, client), &pid, nullptr) != 0 &&
                    static_cast<pid_t>(pid) == getpid()) {
                    continue;
                }
                if (!HasClass(c, client, windowClass)) continue;
                const xcb_window_t frame = TopLevel(c, client);
                const Reply<xcb_get_geometry_reply_t> geometry(
                    xcb_get_geometry_reply(c, xcb_get_geometry(c, frame), nullptr));
                if (geometry) corners.emplace_back(geometry->x, geometry->y);
            }
            xcb_ewmh_get_windows_reply_wipe(&list);
        }
        xcb_ewmh_connection_wipe(&ewmh);
    }
    xcb_disconnect(c);
    return corners;
}

}  // namespace morvika::capture
