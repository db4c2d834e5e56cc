#include "MorvikaProcess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>

#include <unistd.h>

#include "app/HalvoApp.h"

MorvikaProcess::MorvikaProcess(const QString& userName, const QString& cameraName, int port,
                               const QStringList& extraEnvironment, const QRect& mainWindow)
    : m_nPort(port)
{
    CHalvoApp settings(m_dir.filePath(QStringLiteral("Morvika.conf")).toStdString());
    settings.SetUserName(userName.toStdString());
    settings.SetNonVoice(0);   // a measured microphone: no microphone test at start-up
    settings.SetInitState(1);  // no first-start wizard
    if (!cameraName.isEmpty()) settings.SetCameraName(cameraName.toStdString());
    if (mainWindow.isValid()) {
        settings.SetMainPosition(
            WindowRect{mainWindow.left(), mainWindow.top(), mainWindow.right() + 1, mainWindow.bottom() + 1});
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("GST_PLUGIN_PATH_1_0"), QStringLiteral(MORVIKA_PLUGIN_DIR));
    environment.insert(QStringLiteral("GST_REGISTRY_1_0"), m_dir.filePath(QStringLiteral("registry.bin")));
    environment.insert(QStringLiteral("GST_REGISTRY_FORK"), QStringLiteral("no"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.path());
    for (const QString& entry : extraEnvironment) {
        const int equals = entry.indexOf(QLatin1Char('='));
        environment.insert(entry.left(equals), entry.mid(equals + 1));
    }
    m_process.setProcessEnvironment(environment);
    m_process.setProgram(QStringLiteral(MORVIKA_PROGRAM));
    m_process.setArguments({QStringLiteral("--control"), QStringLiteral("--profile"), m_dir.path(),
                            QStringLiteral("--port"), QString::number(port)});
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

MorvikaProcess::~MorvikaProcess()
{
    Quit();
}

bool MorvikaProcess::Start()
{
    m_process.start();
    if (!m_process.waitForStarted(20000)) return false;
    return !WaitEvent(QStringLiteral("event ready"), std::chrono::seconds(60)).isEmpty();
}

bool MorvikaProcess::ReadLine(QString& line, std::chrono::milliseconds timeout)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        const int end = m_buffer.indexOf('\n');
        if (end >= 0) {
            line = QString::fromUtf8(m_buffer.left(end));
            m_buffer.remove(0, end + 1);
            return true;
        }
        const qint64 left = timeout.count() - timer.elapsed();
        if (left <= 0 || m_process.state() == QProcess::NotRunning) return false;
        if (m_process.waitForReadyRead(static_cast<int>(std::min<qint64>(left, 200)))) {
            m_buffer += m_process.readAllStandardOutput();
        }
    }
}

QString MorvikaProcess::Command(const QString& line, std::chrono::milliseconds timeout)
{
    m_process.write((line + QLatin1Char('\n')).toUtf8());
    m_process.waitForBytesWritten(5000);
    QElapsedTimer timer;
    timer.start();
    QString answer;
    while (ReadLine(answer, std::chrono::milliseconds(std::max<qint64>(1, timeout.count() - timer.elapsed())))) {
        if (answer.startsWith(QStringLiteral("event"))) {
            m_events << answer;
            continue;
        }
        if (answer.startsWith(QStringLiteral("ok")) || answer.startsWith(QStringLiteral("error"))) return answer;
    }
    return {};
}

QString MorvikaProcess::WaitEvent(const QString& prefix, std::chrono::milliseconds timeout)
{
    for (int i = 0; i < m_events.size(); ++i) {
        if (m_events[i].startsWith(prefix)) return m_events.takeAt(i);
    }
    QElapsedTimer timer;
    timer.start();
    QString line;
    while (ReadLine(line, std::chrono::milliseconds(std::max<qint64>(1, timeout.count() - timer.elapsed())))) {
        if (line.startsWith(prefix)) return line;
        if (line.startsWith(QStringLiteral("event"))) m_events << line;
    }
    return {};
}

void MorvikaProcess::Quit()
{
    if (m_process.state() == QProcess::NotRunning) return;
    m_process.write("quit\n");
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(20000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

double MorvikaProcess::CpuSeconds() const
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(m_process.processId()));
    if (!file.open(QIODevice::ReadOnly)) return -1;
    const QByteArray stat = file.readAll();
    // Fields after the command name, which ends with the last ')'.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13) return -1;
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    return (fields[11].toDouble() + fields[12].toDouble()) / ticks;
}

QString MorvikaProcess::Log() const
{
    QFile file(m_dir.filePath(QStringLiteral("HalvoLogFile.txt")));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll());
}
