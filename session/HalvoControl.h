#pragma once
// The control channel: commands on standard input, answers and events on standard output,
// so that scripts and tests can drive a whole instance (see docs/control.md).

#include <QObject>
#include <QString>

#include <string>

class CHalvoDlg;
class QSocketNotifier;

// One answer or event line as it is written: backslashes and control characters (texts from
// peers may carry line breaks) become escapes, so no text can start a line of its own.
QString EscapeControlLine(const QString& line);

class CHalvoControl : public QObject {
    Q_OBJECT
public:
    CHalvoControl(CHalvoDlg& dialog, int inputFd, std::FILE* output);
    ~CHalvoControl() override;

    // Runs one command line and returns the answer lines (for tests of the channel itself).
    QStringList Execute(const QString& line);
    void Write(const QString& line);

private:
    void OnReadable();

    CHalvoDlg& m_dialog;
    int m_fd;
    std::FILE* m_output;
    QSocketNotifier* m_pNotifier;
    std::string m_buffer;
};
