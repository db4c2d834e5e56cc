#pragma once
// GStreamer and window messages for the camera tests: a private registry holding the frame
// dump element from the build tree (unless the test asks for a registry without it), a
// main window stand-in that records what the camera sends, and condition waits that keep
// Qt's event loop turning.

#include <QCoreApplication>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/winmsg/WinMsg.h"

// Initialises GStreamer once per process; withPlugin false leaves the element out.
void InitVideoGstreamer(bool withPlugin = true);

// A fresh log file in the test's folder, made this module's log.
std::string UseFreshLog(const std::string& name);
// The log's lines without the clock prefix.
std::vector<std::string> LogLines(const std::string& path);
// The lines that begin with `prefix`.
std::vector<std::string> LinesStartingWith(const std::vector<std::string>& lines, const std::string& prefix);

// Processes events until the condition holds or the time is up.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Stands in for the main window: copies every WM_JPEG_FRAME and counts WM_GRAPH_EVENT.
class FakeMainWindow : public CMsgTarget {
public:
    ~FakeMainWindow() override { DetachMessages(); }
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    std::vector<std::vector<unsigned char>> frames;
    std::vector<std::uint64_t> frameTimesMs;
    int graphEvents = 0;
};
