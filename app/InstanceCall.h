#pragma once
// The way back to a running copy: a local socket beside the single-instance lock file. Where
// the desktop has no tray, a window minimised and forgotten is found again by starting the
// program once more: the second start asks the running one to show its main window, then ends.

#include <QObject>

#include <functional>
#include <string>

class QLocalServer;

class CInstanceCall : public QObject {
public:
    explicit CInstanceCall(QObject* parent = nullptr);
    ~CInstanceCall() override;

    // Listens in folder dir, which the caller's lock holds (a socket left by a crashed run is
    // replaced); onShow runs on this thread for every request. False when it cannot listen.
    bool Listen(const std::string& dir, std::function<void()> onShow);

    // From a second start: asks the copy whose lock is in dir to show its main window; true
    // once that copy has answered, false when nobody answered within timeoutMs.
    static bool AskToShow(const std::string& dir, int timeoutMs);

    static std::string SocketPath(const std::string& dir);

private:
    QLocalServer* m_pServer = nullptr;
    std::function<void()> m_onShow;
};
