#include "VideoTestEnvironment.h"

#include <gst/gst.h>
#include <unistd.h>

#include <QThread>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "app/Log.h"
#include "app/WindowMessages.h"

namespace fs = std::filesystem;

namespace {

fs::path g_testDir;

void RemoveTestDir()
{
    std::error_code ignored;
    fs::remove_all(g_testDir, ignored);
}

}  // namespace

void InitVideoGstreamer(bool withPlugin)
{
    static std::once_flag once;
    std::call_once(once, [withPlugin] {
        g_testDir = fs::temp_directory_path() / ("morvika-videotest-" + std::to_string(::getpid()));
        fs::create_directories(g_testDir / "system");
        std::atexit(RemoveTestDir);
        for (const char* plugin : {"libgstcoreelements.so", "libgstvideotestsrc.so", "libgstvideoconvertscale.so",
                                   "libgstvideorate.so"}) {
            std::error_code ignored;
            fs::create_symlink(fs::path(MORVIKA_GST_SYSTEM_PLUGINS_DIR) / plugin, g_testDir / "system" / plugin,
                               ignored);
        }
        ::setenv("GST_PLUGIN_SYSTEM_PATH_1_0", (g_testDir / "system").c_str(), 1);
        ::setenv("GST_PLUGIN_PATH_1_0", withPlugin ? MORVIKA_PLUGIN_DIR : "", 1);
        ::setenv("GST_REGISTRY_1_0", (g_testDir / "registry.bin").c_str(), 1);
        // Scan in this process: a sanitized plug-in cannot load into the stock scanner.
        ::setenv("GST_REGISTRY_FORK", "no", 1);
        gst_init(nullptr, nullptr);
    });
}

std::string UseFreshLog(const std::string& name)
{
    InitVideoGstreamer();
    static int serial = 0;
    const std::string path = (g_testDir / (name + "-" + std::to_string(++serial) + ".txt")).string();
    SetLogFilePath(path);
    return path;
}

std::vector<std::string> LogLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const auto prefixEnd = line.find("ms ");
        lines.push_back(prefixEnd == std::string::npos ? line : line.substr(prefixEnd + 3));
    }
    return lines;
}

std::vector<std::string> LinesStartingWith(const std::vector<std::string>& lines, const std::string& prefix)
{
    std::vector<std::string> found;
    for (const auto& line : lines) {
        if (line.rfind(prefix, 0) == 0) found.push_back(line);
    }
    return found;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

LRESULT FakeMainWindow::WindowProc(UINT message, WPARAM, LPARAM lParam)
{
    if (message == WM_JPEG_FRAME && lParam != 0) {
        const auto& block = *reinterpret_cast<const SendBlock*>(lParam);
        frames.emplace_back(block.bytes, block.bytes + block.count);
        frameTimesMs.push_back(ProcessClockMs());
    } else if (message == WM_GRAPH_EVENT) {
        ++graphEvents;
    }
    return 0;
}
