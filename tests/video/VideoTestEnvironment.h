#pragma once
// GStreamer and window messages for the camera tests: a private registry holding the frame
// dump element from the build tree (unless the test asks for a registry without it) and a
// main window stand-in that records what the camera sends.

#include <QCoreApplication>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/winmsg/WinMsg.h"
#include "tests/support/GstTestEnvironment.h"
#include "tests/support/WaitFor.h"

// Initialises GStreamer once per process; withPlugin false leaves the element out.
inline void InitVideoGstreamer(bool withPlugin = true)
{
    InitGstreamerForTests(withPlugin);
}

// A fresh log file in the test's folder, made this module's log.
std::string UseFreshLog(const std::string& name);

// Stands in for the main window: copies every WM_JPEG_FRAME and counts WM_GRAPH_EVENT.
class FakeMainWindow : public CMsgTarget {
public:
    ~FakeMainWindow() override { DetachMessages(); }
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    std::vector<std::vector<unsigned char>> frames;
    std::vector<std::uint64_t> frameTimesMs;
    int graphEvents = 0;
};
