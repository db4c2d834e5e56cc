#pragma once

#include <QDialog>
#include <QElapsedTimer>

class QLabel;
class QProgressBar;

// The download wait: shown modally while a requested file is on its way. Ends with
// kArrived when any file data arrives and with kCancelled on Cancel, Escape or the close box.
class CFtpStat : public QDialog {
    Q_OBJECT
public:
    static constexpr int kArrived = 1;
    static constexpr int kCancelled = 2;
    // The owner of the awaited file left the session: nothing more can come.
    static constexpr int kOwnerLeft = 3;

    explicit CFtpStat(QWidget* parent = nullptr);

    // Runs the wait for a file of `fileSize` bytes; kArrived, kCancelled or kOwnerLeft.
    int Wait(std::uint32_t fileSize);
    bool IsWaiting() const { return m_bWaiting; }
    // Bytes of the awaited file received so far; the rate is taken since the wait began.
    void SetProgress(std::uint32_t bytes, std::uint32_t total);
    void Arrived();
    void OwnerLeft();
    void reject() override;

    QProgressBar* Progress() const { return m_pProgress; }
    QLabel* Rate() const { return m_pRate; }

private:
    QProgressBar* m_pProgress;
    QLabel* m_pRate;
    QElapsedTimer m_clock;
    bool m_bWaiting = false;
};
