#include "VideoTestEnvironment.h"

#include "app/Log.h"
#include "app/WindowMessages.h"
#include "platform/winmsg/WinMsgPayload.h"

std::string UseFreshLog(const std::string& name)
{
    const std::string path = FreshLogPath(name);
    SetLogFilePath(path);
    return path;
}

LRESULT FakeMainWindow::WindowProc(UINT message, WPARAM, LPARAM lParam)
{
    if (const auto* block = message == WM_JPEG_FRAME ? SentPayload<const SendBlock>(lParam) : nullptr) {
        frames.emplace_back(block->bytes, block->bytes + block->count);
        frameTimesMs.push_back(ProcessClockMs());
    } else if (message == WM_GRAPH_EVENT) {
        ++graphEvents;
    }
    return 0;
}
