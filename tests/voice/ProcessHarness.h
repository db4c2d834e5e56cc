#pragma once
// A small harness for tests that drive whole processes: a child with its standard input and
// output on pipes (the control channel), or with its output in a file (recorders), and
// commands whose output is wanted at once. Children are ended by their own process id.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/WaitFor.h"  // the harness's users wait with it

class CTestProcess {
public:
    CTestProcess() = default;
    ~CTestProcess();
    CTestProcess(const CTestProcess&) = delete;
    CTestProcess& operator=(const CTestProcess&) = delete;

    // Starts argv[0] (looked up in PATH) with these variables added to the environment.
    // With pipes, standard input and output are ours; otherwise standard output goes to
    // stdoutFile (or /dev/null). Standard error goes to stderrFile (or is inherited).
    bool Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env, bool pipes,
               const std::string& stdoutFile = {}, const std::string& stderrFile = {});

    pid_t Pid() const { return m_pid; }
    bool Running();

    // One line to the child's standard input.
    bool Send(const std::string& line);
    // The first output line (since the last match) that satisfies match; lines read on the
    // way are kept in Lines(). Nothing within the time-out: nullopt.
    std::optional<std::string> WaitLine(const std::function<bool(const std::string&)>& match,
                                        std::chrono::milliseconds timeout);
    std::optional<std::string> WaitPrefix(const std::string& prefix, std::chrono::milliseconds timeout);
    const std::vector<std::string>& Lines() const { return m_lines; }
    bool OutputOpen() const { return m_out >= 0; }

    // Waits for the child to end by itself; its exit status, or nullopt on time-out.
    std::optional<int> WaitExit(std::chrono::milliseconds timeout);
    // SIGTERM, then SIGKILL after the grace time; returns once the child is reaped.
    void Terminate(std::chrono::milliseconds grace = std::chrono::milliseconds(5000));

private:
    bool ReadSome(std::chrono::milliseconds timeout);

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_partial;
    std::vector<std::string> m_lines;
    std::size_t m_scanned = 0;
};

// Runs a command to its end (at most timeout) and returns its standard output, or nullopt
// when it failed or took too long.
std::optional<std::string> RunCommand(const std::vector<std::string>& argv,
                                      std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));
