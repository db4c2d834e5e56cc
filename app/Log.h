#pragma once
// The log writer shared by every part of the program and by the frame dump plug-in.

#include <cstdint>
#include <string>

// Appends one line: the process clock in milliseconds, "ms ", then the formatted message,
// cut at 1023 bytes. Does nothing for an empty or null path; failures are swallowed.
// Each line is handed to the kernel in a single append write, so lines written from
// several threads never interleave.
void WriteLog(const char* path, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Milliseconds since the process started, from a monotonic clock.
std::uint64_t ProcessClockMs();

// The log path of this module (the program's, or the plug-in's own copy).
// Set once at start-up, read from any thread.
void SetLogFilePath(const std::string& path);
std::string LogFilePath();

// WriteLog into this module's log file.
#define MORVIKA_LOG(...) WriteLog(LogFilePath().c_str(), __VA_ARGS__)
