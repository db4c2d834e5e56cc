#include "app/Log.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

const auto g_processStart = std::chrono::steady_clock::now();

std::mutex g_pathMutex;
std::string g_logPath;

constexpr std::size_t kMessageBuffer = 1024;  // message plus its terminator

}  // namespace

std::uint64_t ProcessClockMs()
{
    const auto elapsed = std::chrono::steady_clock::now() - g_processStart;
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

void SetLogFilePath(const std::string& path)
{
    std::lock_guard lock(g_pathMutex);
    g_logPath = path;
}

std::string LogFilePath()
{
    std::lock_guard lock(g_pathMutex);
    return g_logPath;
}

void WriteLog(const char* path, const char* format, ...)
{
    if (path == nullptr || path[0] == '\0' || format == nullptr) {
        return;
    }

    char message[kMessageBuffer];
    va_list args;
    va_start(args, format);
    const int formatted = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (formatted < 0) {
        return;
    }
    const std::size_t messageLength = std::strlen(message);  // at most 1023

    char line[32 + kMessageBuffer];
    const int prefix = std::snprintf(line, 32, "%llums ", static_cast<unsigned long long>(ProcessClockMs()));
    if (prefix <= 0) {
        return;
    }
    std::memcpy(line + prefix, message, messageLength);
    const std::size_t total = static_cast<std::size_t>(prefix) + messageLength;

    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    // O_APPEND makes the single write atomic with respect to other appenders.
    [[maybe_unused]] const ssize_t written = ::write(fd, line, total);
    ::close(fd);
}
