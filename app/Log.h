#pragma once
// The log writer shared by every part of the program and by the frame dump plug-in.

#include <cstdint>
#include <string>

// Appends one line: the process clock in milliseconds, "ms ", then the formatted message,
// cut at 1023 bytes. Does nothing for an empty or null path; failures are swallowed.
// Each line is handed to the kernel in a single append write, so lines written from
// several threads never interleave.
//
// A flood of one format is held back: within a window (1 s) only the first lines of a format
// (20) reach the file, the rest are counted and reported as one "... repeated N times" line
// once the window has passed (at the next line of any format, or at FlushLog). A file that
// grows past the size limit (16 MiB) is moved aside to PATH.1 and started again.
// Callable from any thread, real-time ones included: the only lock is held for a table look-up,
// never across a file operation.
void WriteLog(const char* path, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes every pending "... repeated" line now (at exit).
void FlushLog();

// Empties the log at start (made readable by the user only) and drops the previous run's PATH.1.
void ResetLogFile(const char* path);

inline constexpr unsigned kLogLinesPerWindow = 20;
inline constexpr unsigned kLogWindowMs = 1000;
inline constexpr std::uint64_t kLogFileLimit = 16u << 20;

// Limits, changeable for tests: lines of one format per window (0 = no limit), the window, and
// the size at which the file is moved aside.
void SetLogRateLimit(unsigned linesPerWindow, unsigned windowMs);
void SetLogFileLimit(std::uint64_t bytes);

// Milliseconds since the process started, from a monotonic clock.
std::uint64_t ProcessClockMs();

// The log path of this module (the program's, or the plug-in's own copy).
// Set once at start-up, read from any thread.
void SetLogFilePath(const std::string& path);
std::string LogFilePath();

// WriteLog into this module's log file.
#define MORVIKA_LOG(...) WriteLog(LogFilePath().c_str(), __VA_ARGS__)
