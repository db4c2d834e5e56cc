#pragma once
// A whole Morvika instance driven through its control channel, for the live video tests:
// its own profile folder and port, Qt's offscreen platform, the frame dump element from
// the build tree.

#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <memory>

class MorvikaProcess {
public:
    // cameraName empty: no camera set.
    MorvikaProcess(const QString& userName, const QString& cameraName, int port,
                   const QStringList& extraEnvironment = {}, const QRect& mainWindow = QRect());
    ~MorvikaProcess();

    bool Start();
    // Sends one command and returns its answer line (the first line beginning with "ok" or
    // "error"); listing commands are not supported. Empty on time-out.
    QString Command(const QString& line, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Waits for an event line beginning with `prefix` (seen before or arriving); empty on time-out.
    QString WaitEvent(const QString& prefix, std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Ends the instance with "quit", killing it if it does not go.
    void Quit();

    int Port() const { return m_nPort; }
    // CPU time used by the process so far (user + system), in seconds; -1 when unknown.
    double CpuSeconds() const;
    QString ProfileDir() const { return m_dir.path(); }
    QString Log() const;

private:
    bool ReadLine(QString& line, std::chrono::milliseconds timeout);

    QTemporaryDir m_dir;
    QProcess m_process;
    int m_nPort;
    QStringList m_events;
    QByteArray m_buffer;
};
