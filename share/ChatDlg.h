#pragma once

#include <QDialog>
#include <QRect>

#include <functional>

#include "platform/winmsg/WinMsg.h"
#include "session/PeerMessage.h"

class QLineEdit;
class QPlainTextEdit;

// What the chat window needs from the rest of the program.
struct ChatHost {
    std::function<QString()> userName;  // the local user's display name
    std::function<QRect()> loadRect;    // saved rectangle, or the default one
    std::function<void(const QRect&)> saveRect;
    std::function<void()> playSound;  // the chat sound, when sounds are on
    // Every line the history takes: typed, received or the program's own.
    std::function<void(const QString&)> lineAdded;
};

// The session's one chat window: own lines and received lines in one history.
class CChatDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kMaxInput = kMaxChatInputChars;
    static constexpr int kMaxHistoryLines = 5000;
    static constexpr int kMinWidth = 179;
    static constexpr int kMinHeight = 142;

    // mainWindow receives WM_CHAT_SEND; 0 means no parent window, so nothing is sent.
    CChatDlg(ChatHost host, HWND mainWindow, QWidget* parent = nullptr);
    ~CChatDlg() override;

    void AddText(const char* text);
    // A line received from a peer: shown, and the window shown with the sound if hidden.
    void ReceiveText(const char* text);
    // A line of the program's own (the session ended, say): in the history, sent to nobody.
    void Notice(const QString& text);
    // The chat button: hide when visible, otherwise play the sound and show.
    void Toggle();

    QString HistoryText() const;
    const QString& LastText() const { return m_strLastText; }
    QLineEdit* Input() const { return m_pInput; }

    // The default action (Enter in the input).
    void Send();
    void OnAppExit();

protected:
    void reject() override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    ChatHost m_host;
    HWND m_hMain;
    QPlainTextEdit* m_pHistory;
    QLineEdit* m_pInput;
    QString m_strLastText;
};
