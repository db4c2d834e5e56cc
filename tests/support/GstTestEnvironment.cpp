#include "tests/support/GstTestEnvironment.h"

#include <gst/gst.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace fs = std::filesystem;

namespace {

fs::path g_testDir;

void RemoveTestDir()
{
    std::error_code ignored;
    fs::remove_all(g_testDir, ignored);
}

}  // namespace

void InitGstreamerForTests(bool withPlugin)
{
    static std::once_flag once;
    std::call_once(once, [withPlugin] {
        g_testDir = fs::temp_directory_path() / ("morvika-gsttest-" + std::to_string(::getpid()));
        fs::create_directories(g_testDir / "system");
        std::atexit(RemoveTestDir);
        for (const char* plugin :
             {"libgstcoreelements.so", "libgstvideotestsrc.so", "libgstvideoconvertscale.so", "libgstvideorate.so"}) {
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

std::string FreshLogPath(const std::string& name)
{
    InitGstreamerForTests();
    static int serial = 0;
    return (g_testDir / (name + "-" + std::to_string(++serial) + ".txt")).string();
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
