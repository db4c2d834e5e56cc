#pragma once
// The command line of the desktop's mail client for mailto links, found through xdg-mime and
// the handler's desktop entry. "%1" in the result stands for the mailto URL.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace MailCommand {

// Runs a program found in PATH with stdin and stderr on /dev/null and collects its standard
// output (at most 64 KiB). The child's process group is killed when it has not finished within
// the time-out. False when it could not start, timed out or did not exit with 0.
bool RunWithTimeout(const std::vector<std::string>& argv, std::chrono::milliseconds timeout, std::string& output);

// The Exec value of the [Desktop Entry] group of a desktop entry file, with the string escapes
// (\s \n \t \r \\) resolved; nullopt when there is none.
std::optional<std::string> ParseDesktopEntryExec(std::string_view text);

// The Exec line as a mail command: "%u" and "%U" become "%1", "%%" becomes "%", the other field
// codes are dropped.
std::string ExecToMailCommand(std::string_view exec);

// Where a desktop file id is found: $XDG_DATA_HOME/applications, then each of $XDG_DATA_DIRS;
// a "-" in the id may stand for a sub-folder. Empty when nowhere.
std::string FindDesktopFile(const std::string& desktopId);

// The whole lookup; empty when no mail client is registered or anything fails.
std::string QueryMailCommand(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

}  // namespace MailCommand
