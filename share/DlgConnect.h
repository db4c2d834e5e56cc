#pragma once

#include "session/ConnectReply.h"
#include "ui/DlgMorvika.h"

#include <functional>

class QComboBox;
class QLabel;
class QTimer;

// Asks the user whether a caller may join the own session. Result codes: accepted, no
// answer in time, or refused with reason i (kRefusedBase + i).
class CDlgConnect : public CDlgMorvika {
    Q_OBJECT
public:
    static constexpr int kAccepted = kApprovalAccepted;
    static constexpr int kNoAnswer = kApprovalNoAnswer;
    static constexpr int kRefusedBase = kApprovalRefusedBase;
    static constexpr int kDefaultTimeoutMs = 30000;

    // playSound runs once when the dialog opens (the connect sound, if sounds are on).
    CDlgConnect(const QString& userName, const QString& comment, std::function<void()> playSound,
                QWidget* parent = nullptr, int timeoutMs = kDefaultTimeoutMs);

    int ResultCode() const { return m_nResult; }

    QComboBox* ReasonList() const { return m_pReasons; }

    void accept() override;
    void reject() override;
    // Nobody answered in time: kNoAnswer.
    void OnTimer();

protected:
    void showEvent(QShowEvent* event) override;

private:
    int m_nResult = kAccepted;
    QLabel* m_pLine1;
    QLabel* m_pLine2;
    QComboBox* m_pReasons;
    QTimer* m_pTimer;
    std::function<void()> m_playSound;
    bool m_bSoundPlayed = false;
};
