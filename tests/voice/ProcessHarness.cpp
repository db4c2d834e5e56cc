#include "ProcessHarness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& extra)
{
    std::vector<std::string> out;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        if (extra.count(name) == 0) out.push_back(entry);
    }
    for (const auto& [name, value] : extra) out.push_back(name + "=" + value);
    return out;
}

std::vector<char*> Pointers(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

CTestProcess::~CTestProcess()
{
    Terminate();
}

bool CTestProcess::Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                         bool pipes, const std::string& stdoutFile, const std::string& stderrFile)
{
    if (argv.empty() || m_pid > 0) return false;
    // Everything the child needs is prepared before fork: after it only exec-safe calls.
    std::vector<std::string> args = argv;
    std::vector<std::string> envs = MergedEnvironment(env);
    std::vector<char*> argp = Pointers(args);
    std::vector<char*> envp = Pointers(envs);
    int toChild[2] = {-1, -1};
    int fromChild[2] = {-1, -1};
    if (pipes && (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0)) return false;
    const int outFile = !pipes ? ::open(stdoutFile.empty() ? "/dev/null" : stdoutFile.c_str(),
                                        O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
                               : -1;
    const int errFile =
        stderrFile.empty() ? -1 : ::open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        if (pipes) {
            ::dup2(toChild[0], 0);
            ::dup2(fromChild[1], 1);
        } else {
            const int nullIn = ::open("/dev/null", O_RDONLY);
            if (nullIn >= 0) ::dup2(nullIn, 0);
            if (outFile >= 0) ::dup2(outFile, 1);
        }
        if (errFile >= 0) ::dup2(errFile, 2);
        ::setpgid(0, 0);
        ::execvpe(argp[0], argp.data(), envp.data());
        ::_exit(127);
    }
    m_pid = pid;
    if (outFile >= 0) ::close(outFile);
    if (errFile >= 0) ::close(errFile);
    if (pipes) {
        ::close(toChild[0]);
        ::close(fromChild[1]);
        m_in = toChild[1];
        m_out = fromChild[0];
    }
    return true;
}

bool CTestProcess::Running()
{
    if (m_pid <= 0) return false;
    int status = 0;
    const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
        m_pid = -1;
        return false;
    }
    return true;
}

bool CTestProcess::Send(const std::string& line)
{
    if (m_in < 0) return false;
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(m_in, text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool CTestProcess::ReadSome(std::chrono::milliseconds timeout)
{
    if (m_out < 0) return false;
    pollfd fd{m_out, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(timeout.count())) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::read(m_out, buffer, sizeof buffer);
    if (n <= 0) {
        if (!m_partial.empty()) m_lines.push_back(m_partial);
        m_partial.clear();
        ::close(m_out);
        m_out = -1;
        return false;
    }
    m_partial.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = m_partial.find('\n')) != std::string::npos) {
        m_lines.push_back(m_partial.substr(0, end));
        m_partial.erase(0, end + 1);
    }
    return true;
}

std::optional<std::string> CTestProcess::WaitLine(const std::function<bool(const std::string&)>& match,
                                                  std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        while (m_scanned < m_lines.size()) {
            const std::string& line = m_lines[m_scanned++];
            if (match(line)) return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return std::nullopt;
        if (!ReadSome(std::min(left, std::chrono::milliseconds(200))) && m_out < 0) return std::nullopt;
    }
}

std::optional<std::string> CTestProcess::WaitPrefix(const std::string& prefix, std::chrono::milliseconds timeout)
{
    return WaitLine([&](const std::string& line) { return line.rfind(prefix, 0) == 0; }, timeout);
}

std::optional<int> CTestProcess::WaitExit(std::chrono::milliseconds timeout)
{
    if (m_pid <= 0) return std::nullopt;
    const auto deadline = Clock::now() + timeout;
    do {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (Clock::now() < deadline);
    return std::nullopt;
}

void CTestProcess::Terminate(std::chrono::milliseconds grace)
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        if (!WaitExit(grace)) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
            m_pid = -1;
        }
    }
    if (m_in >= 0) ::close(m_in);
    if (m_out >= 0) ::close(m_out);
    m_in = m_out = -1;
}

std::optional<std::string> RunCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout)
{
    CTestProcess process;
    if (!process.Start(argv, {}, true)) return std::nullopt;
    const auto deadline = Clock::now() + timeout;
    while (process.OutputOpen() && Clock::now() < deadline) {
        process.WaitLine([](const std::string&) { return false; }, std::chrono::milliseconds(100));
    }
    const auto status = process.WaitExit(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::max(deadline - Clock::now(), Clock::duration(std::chrono::milliseconds(100)))));
    if (!status || *status != 0) return std::nullopt;
    std::string out;
    for (const auto& line : process.Lines()) out += line + "\n";
    return out;
}
