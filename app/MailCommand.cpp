#include "app/MailCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

extern char** environ;

namespace MailCommand {
namespace {

constexpr std::size_t kMaxOutput = 64 * 1024;
constexpr std::size_t kMaxDesktopFile = 1024 * 1024;

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\r'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

std::string Unescape(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        switch (value[++i]) {
        case 's': out += ' '; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case '\\': out += '\\'; break;
        default: out += '\\'; out += value[i];
        }
    }
    return out;
}

std::vector<std::string> DataDirs()
{
    std::vector<std::string> dirs;
    if (const char* home = std::getenv("XDG_DATA_HOME"); home != nullptr && home[0] == '/') {
        dirs.emplace_back(home);
    } else if (const char* userHome = std::getenv("HOME"); userHome != nullptr) {
        dirs.push_back(std::string(userHome) + "/.local/share");
    }
    const char* list = std::getenv("XDG_DATA_DIRS");
    std::string_view rest = list != nullptr && list[0] != '\0' ? list : "/usr/local/share:/usr/share";
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        if (!dir.empty() && dir.front() == '/') dirs.emplace_back(dir);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
    return dirs;
}

bool ValidDesktopId(const std::string& id)
{
    constexpr std::string_view suffix = ".desktop";
    return id.size() > suffix.size() && id.compare(id.size() - suffix.size(), suffix.size(), suffix) == 0 &&
           id.find('/') == std::string::npos && id.front() != '.';
}

}  // namespace

bool RunWithTimeout(const std::vector<std::string>& argv, std::chrono::milliseconds timeout, std::string& output)
{
    output.clear();
    if (argv.empty()) {
        return false;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);

    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        return false;
    }

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool timedOut = false;
    char buffer[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd fd{pipeFds[0], POLLIN, 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            timedOut = ready == 0;
            break;
        }
        const ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // end of output
        if (output.size() < kMaxOutput) output.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipeFds[0]);

    int status = 0;
    if (timedOut) {
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return false;
    }
    // The output ended; the child exits right after. Give it the rest of the time-out.
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return false;
        }
        ::usleep(2000);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::optional<std::string> ParseDesktopEntryExec(std::string_view text)
{
    bool inEntry = false;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        const std::string_view line = Trim(text.substr(0, newline));
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        if (!inEntry) {
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos || Trim(line.substr(0, equals)) != "Exec") {
            continue;
        }
        return Unescape(Trim(line.substr(equals + 1)));
    }
    return std::nullopt;
}

std::string ExecToMailCommand(std::string_view exec)
{
    std::string command;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        if (exec[i] != '%' || i + 1 == exec.size()) {
            command += exec[i];
            continue;
        }
        const char code = exec[++i];
        if (code == 'u' || code == 'U') {
            command += "%1";
        } else if (code == '%') {
            command += '%';
        }
        // %f %F %i %c %k and the deprecated codes have nothing to stand for here.
    }
    return std::string(Trim(command));
}

std::string FindDesktopFile(const std::string& desktopId)
{
    if (!ValidDesktopId(desktopId)) {
        return {};
    }
    // "vendor-app.desktop" may live at applications/vendor/app.desktop.
    std::vector<std::string> relatives{desktopId};
    std::string nested = desktopId;
    for (std::size_t dash = nested.find('-'); dash != std::string::npos; dash = nested.find('-', dash + 1)) {
        nested[dash] = '/';
        relatives.push_back(nested);
    }
    std::error_code ec;
    for (const std::string& dir : DataDirs()) {
        for (const std::string& relative : relatives) {
            const std::filesystem::path candidate = std::filesystem::path(dir) / "applications" / relative;
            if (std::filesystem::is_regular_file(candidate, ec)) {
                return candidate.string();
            }
        }
    }
    return {};
}

std::string QueryMailCommand(std::chrono::milliseconds timeout)
{
    std::string answer;
    if (!RunWithTimeout({"xdg-mime", "query", "default", "x-scheme-handler/mailto"}, timeout, answer)) {
        return {};
    }
    // xdg-mime may name several handlers separated by ";"; the first is the default.
    const std::string id(Trim(std::string_view(answer).substr(0, answer.find_first_of(";\n"))));
    const std::string path = FindDesktopFile(id);
    if (path.empty()) {
        return {};
    }
    std::ifstream in(path, std::ios::binary);
    std::string text(kMaxDesktopFile, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    const auto exec = ParseDesktopEntryExec(text);
    return exec ? ExecToMailCommand(*exec) : std::string();
}

}  // namespace MailCommand
