#pragma once
// The one harness for tests that run whole programs. MorvikaInstance: one running `morvika`
// driven through its control channel (`--control`): commands on its standard input, answers
// and events read from its standard output by a thread. Every instance gets a fresh profile
// folder in a temporary directory of its own, removed again when the instance is destroyed
// (the process is killed first if it still runs). ChildProcess: a helper program beside it
// (a recorder, a player); RunCommand: a command whose output is wanted at once.
// Children die with the test process, even when CTest kills a test that ran out of time.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;
using Duration = std::chrono::milliseconds;

// Generous: a sanitizer build on a busy two-core machine is many times slower than a plain one.
inline constexpr Duration kCommandTimeout = 30s;
inline constexpr Duration kEventTimeout = 30s;

// A started program, ended by its own process id.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { Terminate(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] (looked up in PATH) with extraEnv (NAME=VALUE) added to the environment.
    // Standard input is stdinFd (or /dev/null); standard output goes to stdoutFd, else to
    // stdoutFile (truncated), else to /dev/null; standard error is appended to stderrFile (or
    // inherited). The descriptors stay the caller's.
    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {},
               const std::string& stdoutFile = {}, const std::string& stderrFile = {}, int stdinFd = -1,
               int stdoutFd = -1);
    pid_t Pid() const { return m_pid; }
    // The next Start runs the program as this user and group (the caller must be root).
    void SetUser(uid_t uid, gid_t gid)
    {
        m_uid = static_cast<int>(uid);
        m_gid = static_cast<int>(gid);
    }
    // Waits for the program to end by itself; its exit status (128 + signal when killed), or
    // nullopt on time-out.
    std::optional<int> WaitExit(Duration timeout);
    // SIGTERM, then SIGKILL after the grace time; returns once the program is reaped.
    void Terminate(Duration grace = 5s);
    // SIGKILL and reap.
    void Kill();

private:
    pid_t m_pid = -1;
    int m_uid = -1;
    int m_gid = -1;
};

// Runs a command to its end (at most timeout) and returns its standard output, or nullopt
// when it failed or took too long.
std::optional<std::string> RunCommand(const std::vector<std::string>& argv, Duration timeout = 20s);

// The program's path: MORVIKA_EXECUTABLE from the environment, else the one CMake built.
std::string MorvikaExecutable();

// A user window as `windows` lists it.
struct UserWindow {
    std::string uid;
    std::string gid;
    std::string name;
};

// A peer list entry as `peers` lists it.
struct PeerEntry {
    std::string uid;
    std::string gid;
    bool active = false;
    bool ownSession = false;
    bool voiceStarted = false;
    std::string name;
};

struct StartOptions {
    std::uint16_t port = 0;
    std::string connect;                 // --connect HOST[:PORT], empty for none
    std::string password;                // --password, only with connect
    std::string message;                 // --message, only with connect
    bool minimized = false;              // --minimized
    std::string platform = "offscreen";  // QT_QPA_PLATFORM; empty: the environment's
    std::vector<std::string> extraArgs;
    std::vector<std::string> extraEnv;  // NAME=VALUE
    // GStreamer elements from this folder (the build tree's), with a private registry.
    std::string gstPluginDir;
    bool waitReady = true;  // false: return once spawned (a first-start wizard is up)
    Duration readyTimeout = kEventTimeout;
    // Runs the program through this command (e.g. {"/usr/sbin/ip", "netns", "exec", "ns"}),
    // which must end by executing it in the same process.
    std::vector<std::string> commandPrefix;
    // Runs the program as this user (uid, gid; the test must be root), its folders handed over.
    int runAsUid = -1;
    int runAsGid = -1;
};

class MorvikaInstance {
public:
    // label names the instance in diagnostics; it is also the user name written to the settings.
    explicit MorvikaInstance(std::string label);
    ~MorvikaInstance();
    MorvikaInstance(const MorvikaInstance&) = delete;
    MorvikaInstance& operator=(const MorvikaInstance&) = delete;

    const std::string& Label() const { return m_label; }
    const std::string& ProfileDir() const { return m_profileDir; }
    std::string SettingsFile() const { return m_profileDir + "/Morvika.conf"; }
    std::uint16_t Port() const { return m_port; }
    // "127.0.0.1:<port>": where others join this instance's session.
    std::string Address() const;

    // Settings, written before Start() through the program's own settings store.
    void SetUserName(const std::string& name);
    void SetPassword(const std::string& password);
    void SetConnectCheck(int check);
    void SetSoundState(int state);
    void SetMainRect(int left, int top, int right, int bottom);
    void SetCaptureDevice(const std::string& description);
    void SetSoundDevice(const std::string& description);
    void SetCameraName(const std::string& name);
    // Off unless a test turns it on: the own port mapped on the router.
    void SetPortMapping(bool enabled);
    // A profile that has never been set up: the next start runs the first-start wizard.
    void ForgetInitState();

    // Spawns the program and waits for `event ready`; false (with a diagnostic) if it does not
    // come. May be called again after Kill().
    bool Start(const StartOptions& options);
    // The port `event ready` reported: 0 when the own session could not be hosted.
    std::uint16_t ReadyPort() const { return m_readyPort; }
    bool Running() const;
    pid_t Pid() const { return m_process.Pid(); }
    // CPU time the process has used so far (user and system), in seconds; -1 when unknown.
    double CpuSeconds() const;

    // Sends one command line and returns its answer line ("ok ..." or "error ..."), or an
    // empty string when no answer came in time.
    std::string Command(const std::string& text, Duration timeout = kCommandTimeout);
    // A listing command: the lines before `end`, or nullopt on an error answer or time-out.
    std::optional<std::vector<std::string>> List(const std::string& text, Duration timeout = kCommandTimeout);

    // The fields of `state` (view, users, windows, hidden, ip, uid, gid); empty on failure.
    std::map<std::string, std::string> State();
    std::vector<UserWindow> Windows();
    std::vector<PeerEntry> Peers();
    std::vector<std::string> History();
    std::optional<bool> ChatVisible();
    // Names of the user windows, sorted.
    std::vector<std::string> WindowNames();

    // Waits for an event line beginning with "event " + prefix that no earlier wait took;
    // returns the rest of the line after "event ".
    std::optional<std::string> WaitForEvent(const std::string& prefix, Duration timeout = kEventTimeout);
    // Every event line seen so far beginning with "event " + prefix (taken or not).
    std::vector<std::string> Events(const std::string& prefix) const;
    // Polls predicate (which usually runs commands) until it holds.
    bool WaitUntil(const std::function<bool()>& predicate, Duration timeout = kEventTimeout, Duration interval = 100ms);
    // Polls the windows list until it holds `count` windows.
    bool WaitForWindowCount(std::size_t count, Duration timeout = kEventTimeout);

    // The profile's HalvoLogFile.txt as it is now.
    std::string Log() const;
    bool LogContains(const std::string& text) const;
    std::size_t LogCount(const std::string& text) const;
    bool WaitForLog(const std::string& text, Duration timeout = kEventTimeout);

    // SIGKILL and reap.
    void Kill();
    // SIGSTOP: the process stays, its sockets stay open, nothing answers.
    void Freeze();
    // `quit`, then waits for the process to end; its exit status, or nullopt (then killed).
    std::optional<int> Quit(Duration timeout = kCommandTimeout);

    // The standard error output so far.
    std::string ErrorOutput() const;
    // The standard error output so far when it holds a sanitizer's report, else empty.
    std::string SanitizerReport() const;

    // Log tail, stderr tail and the last lines of stdout, for a failing test's output.
    std::string Diagnostics() const;

private:
    void ReaderLoop(int fd);
    bool WriteLine(const std::string& line);
    std::optional<std::string> NextAnswer(std::chrono::steady_clock::time_point deadline);
    void CloseStdin();

    std::string m_label;
    std::string m_rootDir;  // temporary directory holding the profile and stderr
    std::string m_profileDir;
    std::uint16_t m_port = 0;
    std::uint16_t m_readyPort = 0;

    ChildProcess m_process;
    int m_stdin = -1;
    std::thread m_reader;
    std::mutex m_commandMutex;  // one command and its answer at a time

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::string> m_answers;
    std::vector<std::string> m_events;
    std::vector<bool> m_taken;
    std::deque<std::string> m_recent;  // last stdout lines, for diagnostics
    bool m_eof = false;
};

// Splits a line at single blanks.
std::vector<std::string> SplitWords(const std::string& line);

}  // namespace e2e
