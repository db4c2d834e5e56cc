#pragma once
// A private Wayland desktop for tests: sway's headless back end with the pixman renderer (two
// 1280 x 800 outputs side by side: the first for a test pattern alone, the second for the
// program's windows, floating as on a stacking desktop), a private D-Bus session, PipeWire
// with WirePlumber, and xdg-desktop-portal with its wlroots back end, which shares the first
// output without asking. sway refuses to run as root, so when the test is root everything
// here, and the programs it starts on this desktop, run as the unprivileged user
// "morvika-test" (tools/setup.sh creates it).

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include <QImage>
#include <QRect>

#include "tests/support/MorvikaInstance.h"

namespace e2e {

class WaylandTestSession {
public:
    static constexpr int kWidth = 1280;
    static constexpr int kHeight = 800;

    WaylandTestSession() = default;
    ~WaylandTestSession();
    WaylandTestSession(const WaylandTestSession&) = delete;
    WaylandTestSession& operator=(const WaylandTestSession&) = delete;

    // False with the reason in `why` (a missing package, no test user).
    bool Start(std::string& why);

    // What a program on this desktop needs in its environment.
    std::vector<std::string> ClientEnv() const;
    // Options for a Morvika instance on this desktop.
    void Prepare(StartOptions& options) const;
    // Starts another program on this desktop; stdinFd feeds its standard input.
    bool Spawn(ChildProcess& process, const std::vector<std::string>& argv, int stdinFd = -1) const;

    // What the compositor shows in this part of the layout (grim); a null image on failure.
    // The first output is at (0, 0), the second at (kWidth, 0).
    QImage Screenshot(const QRect& area) const;
    // Where the compositor shows the first window whose title starts with `title`, of that
    // process when `pid` is not 0 (a null rectangle when there is none).
    QRect WindowRect(const std::string& title, pid_t pid = 0) const;
    // Runs a sway command (swaymsg); false when sway refused it.
    bool Sway(const std::string& command) const;
    const std::string& Dir() const { return m_dir; }
    // The ends of the compositor's, the bus's (with the portal's) and PipeWire's logs.
    std::string Diagnostics() const;

private:
    std::string IpcSocket() const;
    bool StartProcess(ChildProcess& process, const std::vector<std::string>& argv, const std::string& log,
                      const std::vector<std::string>& env) const;
    std::vector<std::string> BaseEnv() const;

    std::string m_dir;
    std::string m_runtime;
    std::string m_wayland;  // the compositor's socket, a full path
    int m_uid = -1;
    int m_gid = -1;
    // Stopped in reverse order of starting.
    std::vector<std::unique_ptr<ChildProcess>> m_processes;
};

}  // namespace e2e
