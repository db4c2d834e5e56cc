#include "tests/support/MorvikaInstance.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string_view>

#include "app/HalvoApp.h"

extern char** environ;

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Tail(const std::string& text, std::size_t bytes)
{
    return text.size() <= bytes ? text : "..." + text.substr(text.size() - bytes);
}

// A write to a pipe whose reader died must fail with EPIPE, not end the test process.
void IgnoreSigpipeOnce()
{
    static const bool done = [] {
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)done;
}

}  // namespace

std::string MorvikaExecutable()
{
    if (const char* fromEnv = std::getenv("MORVIKA_EXECUTABLE"); fromEnv != nullptr && *fromEnv != '\0') {
        return fromEnv;
    }
#ifdef MORVIKA_EXECUTABLE_PATH
    return MORVIKA_EXECUTABLE_PATH;
#else
    return "morvika";
#endif
}

std::vector<std::string> SplitWords(const std::string& line)
{
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start <= line.size()) {
        const std::size_t blank = line.find(' ', start);
        if (blank == std::string::npos) {
            if (start < line.size()) words.push_back(line.substr(start));
            break;
        }
        words.push_back(line.substr(start, blank - start));
        start = blank + 1;
    }
    return words;
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                         const std::string& stdoutFile, const std::string& stderrFile, int stdinFd, int stdoutFd)
{
    if (argv.empty() || m_pid > 0) return false;
    IgnoreSigpipeOnce();
    // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
    std::vector<std::string> args = argv;
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view name(*entry, std::strcspn(*entry, "="));
        const bool replaced = std::any_of(extraEnv.begin(), extraEnv.end(), [&](const std::string& extra) {
            return extra.size() > name.size() && extra.compare(0, name.size(), name) == 0 && extra[name.size()] == '=';
        });
        if (!replaced) env.emplace_back(*entry);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> argp;
    for (auto& arg : args) argp.push_back(arg.data());
    argp.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);

    const int nullFd = open("/dev/null", O_RDWR | O_CLOEXEC);
    const int outFd = stdoutFd >= 0         ? stdoutFd
                      : !stdoutFile.empty() ? open(stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
                                            : nullFd;
    const int errFd =
        stderrFile.empty() ? -1 : open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int inFd = stdinFd >= 0 ? stdinFd : nullFd;
    const pid_t parent = getpid();
    const int uid = m_uid;
    const int gid = m_gid;

    // fork and exec rather than posix_spawn: the child must die with the test process, or it
    // would hold its port or its sound device for good.
    const pid_t pid = fork();
    if (pid == 0) {
        if (uid >= 0) {
            // Before the death signal: a change of user clears it.
            const gid_t group = static_cast<gid_t>(gid);
            if (setgroups(1, &group) != 0 || setgid(group) != 0 || setuid(static_cast<uid_t>(uid)) != 0) _exit(126);
        }
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        signal(SIGPIPE, SIG_DFL);
        if (inFd >= 0) dup2(inFd, STDIN_FILENO);
        if (outFd >= 0) dup2(outFd, STDOUT_FILENO);
        if (errFd >= 0) dup2(errFd, STDERR_FILENO);
        execvpe(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    const int forkError = errno;
    if (outFd >= 0 && outFd != stdoutFd && outFd != nullFd) close(outFd);
    if (errFd >= 0) close(errFd);
    if (nullFd >= 0) close(nullFd);
    if (pid < 0) {
        errno = forkError;
        return false;
    }
    m_pid = pid;
    return true;
}

std::optional<int> ChildProcess::WaitExit(Duration timeout)
{
    if (m_pid <= 0) return std::nullopt;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid || (done < 0 && errno != EINTR)) {
            m_pid = -1;
            if (done < 0) return std::nullopt;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(20ms);
    }
}

void ChildProcess::Terminate(Duration grace)
{
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    if (!WaitExit(grace)) Kill();
}

void ChildProcess::Kill()
{
    if (m_pid <= 0) return;
    kill(m_pid, SIGKILL);
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {}
    m_pid = -1;
}

std::optional<std::string> RunCommand(const std::vector<std::string>& argv, Duration timeout)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
    ChildProcess process;
    const bool started = process.Start(argv, {}, {}, {}, -1, out[1]);
    close(out[1]);
    const auto deadline = Clock::now() + timeout;
    std::string text;
    while (started) {
        const auto left = std::chrono::duration_cast<Duration>(deadline - Clock::now());
        pollfd fd{out[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) break;
        char chunk[4096];
        const ssize_t n = read(out[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    close(out[0]);
    if (!started) return std::nullopt;
    const auto status =
        process.WaitExit(std::max(std::chrono::duration_cast<Duration>(deadline - Clock::now()), Duration(100)));
    if (status != 0) return std::nullopt;
    return text;
}

MorvikaInstance::MorvikaInstance(std::string label) : m_label(std::move(label))
{
    IgnoreSigpipeOnce();
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/morvika-e2e-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        std::cerr << "mkdtemp failed: " << std::strerror(errno) << "\n";
        return;
    }
    m_rootDir = buffer.data();
    m_profileDir = m_rootDir + "/profile";
    std::filesystem::create_directories(m_profileDir);
    SetUserName(m_label);
    // A measured microphone: no microphone test at start-up.
    CHalvoApp(SettingsFile()).SetNonVoice(0);
    // Set up already: tests that want the first-start wizard call ForgetInitState().
    CHalvoApp(SettingsFile()).SetInitState(1);
    // No test asks the router of the machine it runs on to open a port; the router tests
    // turn it on inside their own namespaces.
    CHalvoApp(SettingsFile()).SetPortMapping(0);
}

MorvikaInstance::~MorvikaInstance()
{
    Kill();
    if (m_reader.joinable()) m_reader.join();
    if (!m_rootDir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_rootDir, ignored);
    }
}

std::string MorvikaInstance::Address() const
{
    return "127.0.0.1:" + std::to_string(m_port);
}

void MorvikaInstance::SetUserName(const std::string& name)
{
    CHalvoApp(SettingsFile()).SetUserName(name);
}

void MorvikaInstance::SetPassword(const std::string& password)
{
    CHalvoApp(SettingsFile()).SetPassword(password);
}

void MorvikaInstance::SetConnectCheck(int check)
{
    CHalvoApp(SettingsFile()).SetConnectCheck(check);
}

void MorvikaInstance::SetSoundState(int state)
{
    CHalvoApp(SettingsFile()).SetSoundState(state);
}

void MorvikaInstance::SetPortMapping(bool enabled)
{
    CHalvoApp(SettingsFile()).SetPortMapping(enabled ? 1 : 0);
}

void MorvikaInstance::ForgetInitState()
{
    CHalvoApp(SettingsFile()).RemoveSetting("MAIN/INIT");
}

void MorvikaInstance::SetCaptureDevice(const std::string& description)
{
    CHalvoApp(SettingsFile()).SetCaptureDevice(description);
}

void MorvikaInstance::SetSoundDevice(const std::string& description)
{
    CHalvoApp(SettingsFile()).SetSoundDevice(description);
}

void MorvikaInstance::SetCameraName(const std::string& name)
{
    CHalvoApp(SettingsFile()).SetCameraName(name);
}

void MorvikaInstance::SetMainRect(int left, int top, int right, int bottom)
{
    CHalvoApp(SettingsFile()).SetMainPosition(WindowRect{left, top, right, bottom});
}

bool MorvikaInstance::Start(const StartOptions& options)
{
    if (m_process.Pid() > 0 || m_rootDir.empty()) return false;
    m_port = options.port;

    std::vector<std::string> args{MorvikaExecutable(), "--control", "--profile", m_profileDir};
    if (options.port != 0) {
        args.push_back("--port");
        args.push_back(std::to_string(options.port));
    }
    if (!options.connect.empty()) {
        args.insert(args.end(),
                    {"--connect", options.connect, "--password", options.password, "--message", options.message});
    }
    if (options.minimized) args.push_back("--minimized");
    args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
    args.insert(args.begin(), options.commandPrefix.begin(), options.commandPrefix.end());

    std::vector<std::string> env;
    if (!options.platform.empty()) env.push_back("QT_QPA_PLATFORM=" + options.platform);
    if (!options.gstPluginDir.empty()) {
        env.insert(env.end(), {"GST_PLUGIN_PATH_1_0=" + options.gstPluginDir,
                               "GST_REGISTRY_1_0=" + m_rootDir + "/registry.bin", "GST_REGISTRY_FORK=no"});
    }
    // No announcements on the machine's own LAN: a system bus (and its avahi daemon) only where
    // a test gives one of its own.
    const bool ownBus = std::any_of(options.extraEnv.begin(), options.extraEnv.end(), [](const std::string& entry) {
        return entry.starts_with("DBUS_SYSTEM_BUS_ADDRESS=");
    });
    if (!ownBus) env.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + m_rootDir + "/no-system-bus");
    env.insert(env.end(), options.extraEnv.begin(), options.extraEnv.end());

    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return false;
    }
    if (options.runAsUid >= 0) {
        const auto owner = static_cast<uid_t>(options.runAsUid);
        const auto group = static_cast<gid_t>(options.runAsGid);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(m_rootDir)) {
            [[maybe_unused]] const int ignored = lchown(entry.path().c_str(), owner, group);
        }
        [[maybe_unused]] const int ignored = chown(m_rootDir.c_str(), owner, group);
        m_process.SetUser(owner, group);
    }
    const bool started = m_process.Start(args, env, {}, m_rootDir + "/stderr.txt", in[0], out[1]);
    const int rc = errno;
    close(in[0]);
    close(out[1]);
    if (!started) {
        std::cerr << "[" << m_label << "] cannot start " << args[0] << ": " << std::strerror(rc) << "\n";
        close(in[1]);
        close(out[0]);
        return false;
    }
    m_stdin = in[1];
    {
        std::lock_guard lock(m_mutex);
        m_eof = false;
        m_answers.clear();
        m_events.clear();
        m_taken.clear();
    }
    m_reader = std::thread([this, fd = out[0]] { ReaderLoop(fd); });
    if (!options.waitReady) return true;

    const auto ready = WaitForEvent("ready ", options.readyTimeout);
    if (!ready) {
        std::cerr << "[" << m_label << "] no 'event ready'\n" << Diagnostics();
        return false;
    }
    m_readyPort = static_cast<std::uint16_t>(std::atoi(ready->c_str() + 6));
    return true;
}

bool MorvikaInstance::Running() const
{
    std::lock_guard lock(m_mutex);
    return m_process.Pid() > 0 && !m_eof;
}

void MorvikaInstance::ReaderLoop(int fd)
{
    std::string pending;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(chunk, static_cast<std::size_t>(n));
        std::size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            std::lock_guard lock(m_mutex);
            m_recent.push_back(line);
            if (m_recent.size() > 40) m_recent.pop_front();
            if (line.rfind("event ", 0) == 0) {
                m_events.push_back(line.substr(6));
                m_taken.push_back(false);
            } else {
                m_answers.push_back(line);
            }
            m_changed.notify_all();
        }
    }
    close(fd);
    std::lock_guard lock(m_mutex);
    m_eof = true;
    m_changed.notify_all();
}

bool MorvikaInstance::WriteLine(const std::string& line)
{
    if (m_stdin < 0) return false;
    const std::string data = line + "\n";
    std::size_t written = 0;
    while (written < data.size()) {
        const ssize_t n = write(m_stdin, data.data() + written, data.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<std::string> MorvikaInstance::NextAnswer(Clock::time_point deadline)
{
    std::unique_lock lock(m_mutex);
    if (!m_changed.wait_until(lock, deadline, [&] { return !m_answers.empty() || m_eof; })) return std::nullopt;
    if (m_answers.empty()) return std::nullopt;
    std::string line = std::move(m_answers.front());
    m_answers.pop_front();
    return line;
}

std::string MorvikaInstance::Command(const std::string& text, Duration timeout)
{
    std::lock_guard command(m_commandMutex);
    {
        // A late answer of a command that timed out must not be taken for this one's.
        std::lock_guard lock(m_mutex);
        m_answers.clear();
    }
    if (!WriteLine(text)) return {};
    const auto deadline = Clock::now() + timeout;
    while (auto line = NextAnswer(deadline)) {
        if (line->rfind("ok", 0) == 0 || line->rfind("error", 0) == 0) return *line;
    }
    std::cerr << "[" << m_label << "] no answer to '" << text << "'\n";
    return {};
}

std::optional<std::vector<std::string>> MorvikaInstance::List(const std::string& text, Duration timeout)
{
    std::lock_guard command(m_commandMutex);
    {
        std::lock_guard lock(m_mutex);
        m_answers.clear();
    }
    if (!WriteLine(text)) return std::nullopt;
    const auto deadline = Clock::now() + timeout;
    std::vector<std::string> lines;
    while (auto line = NextAnswer(deadline)) {
        if (*line == "end") return lines;
        if (line->rfind("error", 0) == 0) return std::nullopt;
        lines.push_back(*line);
    }
    std::cerr << "[" << m_label << "] listing '" << text << "' did not end\n";
    return std::nullopt;
}

std::map<std::string, std::string> MorvikaInstance::State()
{
    std::map<std::string, std::string> fields;
    const std::string answer = Command("state");
    if (answer.rfind("ok ", 0) != 0) return fields;
    for (const auto& word : SplitWords(answer.substr(3))) {
        const auto equals = word.find('=');
        if (equals != std::string::npos) fields[word.substr(0, equals)] = word.substr(equals + 1);
    }
    return fields;
}

std::vector<UserWindow> MorvikaInstance::Windows()
{
    std::vector<UserWindow> windows;
    const auto lines = List("windows");
    if (!lines) return windows;
    for (const auto& line : *lines) {
        // window <uid> <gid> <name>; the name may hold blanks
        const auto words = SplitWords(line);
        if (words.size() < 3 || words[0] != "window") continue;
        const std::size_t nameStart = words[0].size() + words[1].size() + words[2].size() + 3;
        windows.push_back({words[1], words[2], nameStart <= line.size() ? line.substr(nameStart) : std::string()});
    }
    return windows;
}

std::vector<PeerEntry> MorvikaInstance::Peers()
{
    std::vector<PeerEntry> peers;
    const auto lines = List("peers");
    if (!lines) return peers;
    for (const auto& line : *lines) {
        // peer <uid> <gid> <active> <own-session> <voice-started> <name>
        const auto words = SplitWords(line);
        if (words.size() < 6 || words[0] != "peer") continue;
        std::size_t nameStart = 0;
        for (std::size_t i = 0; i < 6; ++i) nameStart += words[i].size() + 1;
        peers.push_back({words[1], words[2], words[3] != "0", words[4] != "0", words[5] != "0",
                         nameStart <= line.size() ? line.substr(nameStart) : std::string()});
    }
    return peers;
}

std::vector<std::string> MorvikaInstance::History()
{
    std::vector<std::string> history;
    const auto lines = List("history");
    if (!lines) return history;
    for (const auto& line : *lines) {
        if (line.rfind("line ", 0) == 0) {
            history.push_back(line.substr(5));
        } else if (line == "line") {
            history.emplace_back();
        }
    }
    return history;
}

std::optional<bool> MorvikaInstance::ChatVisible()
{
    const std::string answer = Command("chatvisible");
    if (answer == "ok 1") return true;
    if (answer == "ok 0") return false;
    return std::nullopt;
}

std::vector<std::string> MorvikaInstance::WindowNames()
{
    std::vector<std::string> names;
    for (const auto& window : Windows()) names.push_back(window.name);
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::string> MorvikaInstance::WaitForEvent(const std::string& prefix, Duration timeout)
{
    std::unique_lock lock(m_mutex);
    std::optional<std::string> found;
    auto take = [&] {
        for (std::size_t i = 0; i < m_events.size(); ++i) {
            if (!m_taken[i] && m_events[i].rfind(prefix, 0) == 0) {
                m_taken[i] = true;
                found = m_events[i];
                return true;
            }
        }
        return m_eof;
    };
    m_changed.wait_for(lock, timeout, take);
    return found;
}

std::vector<std::string> MorvikaInstance::Events(const std::string& prefix) const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string> events;
    for (const auto& event : m_events) {
        if (event.rfind(prefix, 0) == 0) events.push_back(event);
    }
    return events;
}

bool MorvikaInstance::WaitUntil(const std::function<bool()>& predicate, Duration timeout, Duration interval)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (predicate()) return true;
        if (Clock::now() >= deadline || !Running()) return predicate();
        std::this_thread::sleep_for(interval);
    }
}

bool MorvikaInstance::WaitForWindowCount(std::size_t count, Duration timeout)
{
    return WaitUntil([&] { return Windows().size() == count; }, timeout);
}

std::string MorvikaInstance::Log() const
{
    return ReadFile(m_profileDir + "/HalvoLogFile.txt");
}

bool MorvikaInstance::LogContains(const std::string& text) const
{
    return Log().find(text) != std::string::npos;
}

std::size_t MorvikaInstance::LogCount(const std::string& text) const
{
    const std::string log = Log();
    std::size_t count = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) ++count;
    return count;
}

bool MorvikaInstance::WaitForLog(const std::string& text, Duration timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!LogContains(text)) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

void MorvikaInstance::CloseStdin()
{
    if (m_stdin >= 0) {
        close(m_stdin);
        m_stdin = -1;
    }
}

void MorvikaInstance::Kill()
{
    m_process.Kill();
    CloseStdin();
    if (m_reader.joinable()) m_reader.join();
}

void MorvikaInstance::Freeze()
{
    if (m_process.Pid() > 0) kill(m_process.Pid(), SIGSTOP);
}

std::optional<int> MorvikaInstance::Quit(Duration timeout)
{
    if (m_process.Pid() <= 0) return std::nullopt;
    const std::string answer = Command("quit", timeout);
    const auto result = m_process.WaitExit(timeout);
    if (!result) {
        std::cerr << "[" << m_label << "] did not end after 'quit' (answer '" << answer << "')\n";
        Kill();
        return std::nullopt;
    }
    CloseStdin();
    if (m_reader.joinable()) m_reader.join();
    return result;
}

double MorvikaInstance::CpuSeconds() const
{
    // The fields after the command name, which ends with the last ')'.
    const std::string stat = ReadFile("/proc/" + std::to_string(Pid()) + "/stat");
    const std::size_t end = stat.rfind(')');
    if (Pid() <= 0 || end == std::string::npos) return -1;
    const std::vector<std::string> fields = SplitWords(stat.substr(end + 2));
    if (fields.size() < 13) return -1;
    return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string MorvikaInstance::ErrorOutput() const
{
    return ReadFile(m_rootDir + "/stderr.txt");
}

std::string MorvikaInstance::SanitizerReport() const
{
    // ThreadSanitizer is left out: the program's Qt is not instrumented, so the hand-over of
    // posted events through Qt's own locks is invisible to it.
    const std::string err = ReadFile(m_rootDir + "/stderr.txt");
    for (const char* marker : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"}) {
        if (err.find(marker) != std::string::npos) return err;
    }
    return {};
}

std::string MorvikaInstance::Diagnostics() const
{
    std::ostringstream out;
    out << "----- " << m_label << " (port " << m_port << ", profile " << m_profileDir << ")\n";
    out << "-- log:\n" << Tail(Log(), 6000) << "\n";
    out << "-- stderr:\n" << Tail(ReadFile(m_rootDir + "/stderr.txt"), 3000) << "\n";
    out << "-- last stdout lines:\n";
    std::lock_guard lock(m_mutex);
    for (const auto& line : m_recent) out << "  " << line << "\n";
    return out.str();
}

}  // namespace e2e
