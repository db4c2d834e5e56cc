#include "app/Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
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
constexpr std::size_t kPrefixBuffer = 32;

// --- flood limit ---
// A format is known by its address (a call site's literal), together with the file it goes to.
// Paths longer than a slot holds are not limited; no such path is used.
constexpr std::size_t kSlotPath = 512;
constexpr std::size_t kSlotHead = 160;  // how much of the format the summary quotes
constexpr std::size_t kSlots = 64;
// Summaries written by one call; the rest wait for the next.
constexpr std::size_t kDuePerCall = 4;

std::atomic<unsigned> g_linesPerWindow{kLogLinesPerWindow};
std::atomic<unsigned> g_windowMs{kLogWindowMs};
std::atomic<std::uint64_t> g_fileLimit{kLogFileLimit};

struct Slot {
    const char* format = nullptr;  // nullptr: free
    char path[kSlotPath] = {};
    char head[kSlotHead] = {};
    std::uint64_t windowStart = 0;
    std::uint64_t lastUse = 0;
    unsigned written = 0;
    unsigned suppressed = 0;
};

struct Summary {
    char path[kSlotPath];
    char head[kSlotHead];
    unsigned count;
};

struct DueList {
    std::array<Summary, kDuePerCall> items;
    std::size_t size = 0;
};

// Guards g_slots only; no file is touched while it is held.
std::mutex g_slotMutex;
std::array<Slot, kSlots> g_slots;

// Serialises moving a full file aside, so that two writers never both rename.
std::mutex g_rotateMutex;

// Takes a slot's count into due (when there is room) and clears it.
bool TakeSummary(Slot& slot, DueList& due)
{
    if (slot.suppressed == 0) return true;
    if (due.size == due.items.size()) return false;
    Summary& s = due.items[due.size++];
    std::memcpy(s.path, slot.path, sizeof s.path);
    std::memcpy(s.head, slot.head, sizeof s.head);
    s.count = slot.suppressed;
    slot.suppressed = 0;
    return true;
}

void ClaimSlot(Slot& slot, const char* path, std::size_t pathLength, const char* format, std::uint64_t now)
{
    slot.format = format;
    std::memcpy(slot.path, path, pathLength + 1);
    // The quoted format without its line feed and trailing blanks.
    std::size_t n = 0;
    while (n + 1 < sizeof slot.head && format[n] != '\0') {
        slot.head[n] = format[n];
        ++n;
    }
    while (n > 0 && (slot.head[n - 1] == '\n' || slot.head[n - 1] == ' ' || slot.head[n - 1] == '\r')) --n;
    slot.head[n] = '\0';
    slot.windowStart = now;
    slot.written = 0;
    slot.suppressed = 0;
}

// Whether this line may be written; collects summaries whose window has passed.
bool Admit(const char* path, const char* format, std::uint64_t now, DueList& due)
{
    const unsigned limit = g_linesPerWindow.load(std::memory_order_relaxed);
    const std::uint64_t window = g_windowMs.load(std::memory_order_relaxed);
    const std::size_t pathLength = std::strlen(path);

    std::lock_guard lock(g_slotMutex);
    for (Slot& slot : g_slots) {
        if (slot.format != nullptr && slot.suppressed != 0 && now - slot.windowStart >= window) {
            TakeSummary(slot, due);
        }
    }
    if (limit == 0 || pathLength >= kSlotPath) return true;

    Slot* own = nullptr;
    Slot* oldest = &g_slots[0];
    for (Slot& slot : g_slots) {
        if (slot.format == format && std::strcmp(slot.path, path) == 0) {
            own = &slot;
            break;
        }
        if (slot.format == nullptr) {
            if (oldest->format != nullptr) oldest = &slot;
        } else if (oldest->format != nullptr && slot.lastUse < oldest->lastUse) {
            oldest = &slot;
        }
    }
    if (own == nullptr) {
        // A slot whose count cannot be reported now is kept, and this line goes unlimited.
        if (!TakeSummary(*oldest, due)) return true;
        own = oldest;
        ClaimSlot(*own, path, pathLength, format, now);
    } else if (now - own->windowStart >= window) {
        own->windowStart = now;
        own->written = 0;
    }
    own->lastUse = now;
    if (own->written < limit) {
        ++own->written;
        return true;
    }
    ++own->suppressed;
    return false;
}

// Moves a file that has grown past the limit to PATH.1; the writer that still holds the old
// file open finishes its line there.
void RotateIfFull(int fd, const char* path)
{
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || static_cast<std::uint64_t>(opened.st_size) < g_fileLimit.load()) return;
    char aside[kSlotPath + 2];
    const std::size_t length = std::strlen(path);
    std::lock_guard lock(g_rotateMutex);
    struct stat current {};
    if (::stat(path, &current) != 0 || current.st_ino != opened.st_ino || current.st_dev != opened.st_dev) {
        return;  // another writer moved it already
    }
    if (length + 3 > sizeof aside) {
        [[maybe_unused]] const int cut = ::ftruncate(fd, 0);
        return;
    }
    std::memcpy(aside, path, length);
    std::memcpy(aside + length, ".1", 3);
    ::rename(path, aside);
}

void AppendLine(const char* path, const char* line, std::size_t length)
{
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    // O_APPEND makes the single write atomic with respect to other appenders.
    [[maybe_unused]] const ssize_t written = ::write(fd, line, length);
    RotateIfFull(fd, path);
    ::close(fd);
}

void WriteSummaries(const DueList& due)
{
    for (std::size_t i = 0; i < due.size; ++i) {
        const Summary& s = due.items[i];
        char line[kPrefixBuffer + kSlotHead + 64];
        const int length = std::snprintf(line, sizeof line, "%llums ... repeated %u times: %s\n",
                                         static_cast<unsigned long long>(ProcessClockMs()), s.count, s.head);
        if (length > 0) {
            AppendLine(s.path, line, std::min(static_cast<std::size_t>(length), sizeof line - 1));
        }
    }
}

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

void SetLogRateLimit(unsigned linesPerWindow, unsigned windowMs)
{
    g_linesPerWindow = linesPerWindow;
    g_windowMs = windowMs;
}

void SetLogFileLimit(std::uint64_t bytes)
{
    g_fileLimit = bytes;
}

void WriteLog(const char* path, const char* format, ...)
{
    if (path == nullptr || path[0] == '\0' || format == nullptr) {
        return;
    }
    DueList due;
    const bool admitted = Admit(path, format, ProcessClockMs(), due);
    WriteSummaries(due);
    if (!admitted) {
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

    char line[kPrefixBuffer + kMessageBuffer];
    const int prefix = std::snprintf(line, kPrefixBuffer, "%llums ", static_cast<unsigned long long>(ProcessClockMs()));
    if (prefix <= 0) {
        return;
    }
    std::memcpy(line + prefix, message, messageLength);
    AppendLine(path, line, static_cast<std::size_t>(prefix) + messageLength);
}

void FlushLog()
{
    for (;;) {
        DueList due;
        {
            std::lock_guard lock(g_slotMutex);
            for (Slot& slot : g_slots) {
                if (!TakeSummary(slot, due)) break;
            }
        }
        if (due.size == 0) return;
        WriteSummaries(due);
    }
}

void ResetLogFile(const char* path)
{
    if (path == nullptr || path[0] == '\0') return;
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::fchmod(fd, 0600);  // a log left by an older version may be readable by others
        ::close(fd);
    }
    ::unlink((std::string(path) + ".1").c_str());
}
