#pragma once
// The windows other processes of one program show on an X11 display: their frames' top-left
// corners, as the window manager lists them (_NET_CLIENT_LIST). Read once, at start-up, so that
// a second instance can open somewhere else than the first.

#include <string>
#include <utility>
#include <vector>

namespace morvika::capture {

// Frame corners (x, y) of the managed windows whose WM_CLASS class is `windowClass` and whose
// _NET_WM_PID is not this process's; empty without an X11 display or a window manager.
std::vector<std::pair<int, int>> OtherProcessWindows(const std::string& windowClass);

}  // namespace morvika::capture
