#include "share/ChatDlg.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QVBoxLayout>

#include "app/Log.h"
#include "app/WindowMessages.h"
#include "platform/winmsg/WinMsgPayload.h"

CChatDlg::CChatDlg(ChatHost host, HWND mainWindow, QWidget* parent)
    : QDialog(parent),
      m_host(std::move(host)),
      m_hMain(mainWindow)
{
    setWindowTitle(tr("文字チャット"));
    setObjectName(QStringLiteral("CChatDlg"));
    setModal(false);
    setSizeGripEnabled(true);
    setMinimumSize(kMinWidth, kMinHeight);

    m_pHistory = new QPlainTextEdit(this);
    m_pHistory->setObjectName(QStringLiteral("history"));
    m_pHistory->setReadOnly(true);
    // The newest lines only: a member who floods cannot make the history grow without end.
    m_pHistory->setMaximumBlockCount(kMaxHistoryLines);
    m_pHistory->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // White behind the read-only history rather than a disabled grey.
    QPalette palette = m_pHistory->palette();
    palette.setColor(QPalette::Base, Qt::white);
    m_pHistory->setPalette(palette);

    m_pInput = new QLineEdit(this);
    m_pInput->setObjectName(QStringLiteral("input"));
    m_pInput->setMaxLength(kMaxInput);
    connect(m_pInput, &QLineEdit::returnPressed, this, &CChatDlg::Send);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_pHistory, 1);
    layout->addWidget(m_pInput);

    if (m_host.loadRect) {
        const QRect rect = m_host.loadRect();
        if (rect.isValid()) setGeometry(rect);
    }
}

CChatDlg::~CChatDlg()
{
    if (m_host.saveRect) m_host.saveRect(geometry());
}

void CChatDlg::AddText(const char* text)
{
    m_strLastText = QString::fromUtf8(text != nullptr ? text : "");
    m_pHistory->appendPlainText(m_strLastText);
    m_pHistory->verticalScrollBar()->setValue(m_pHistory->verticalScrollBar()->maximum());
    if (m_host.lineAdded) m_host.lineAdded(m_strLastText);
}

void CChatDlg::Notice(const QString& text)
{
    // Marked so that nobody takes it for a member's line ("name>text").
    AddText((QStringLiteral("*** ") + text).toUtf8().constData());
}

QString CChatDlg::HistoryText() const
{
    // One line per message, each ended by CR LF.
    QString text;
    const QStringList lines = m_pHistory->toPlainText().split(QLatin1Char('\n'));
    for (const QString& line : lines) text += line + QStringLiteral("\r\n");
    return m_pHistory->toPlainText().isEmpty() ? QString() : text;
}

void CChatDlg::ReceiveText(const char* text)
{
    AddText(text);
    if (!isVisible()) {
        if (m_host.playSound) m_host.playSound();
        show();
    }
}

void CChatDlg::Toggle()
{
    if (isVisible()) {
        hide();
        return;
    }
    if (m_host.playSound) m_host.playSound();
    show();
}

void CChatDlg::Send()
{
    const QString name = m_host.userName ? m_host.userName() : QString();
    const QByteArray line = (name + QStringLiteral(">") + m_pInput->text()).toUtf8();
    AddText(line.constData());
    m_pInput->clear();
    if (m_hMain == 0) return;
    const SendBlock block{0, static_cast<std::uint32_t>(line.size()),
                          reinterpret_cast<const unsigned char*>(line.constData())};
    SendPayload(m_hMain, WM_CHAT_SEND, 0, block);
}

void CChatDlg::OnAppExit()
{
    MORVIKA_LOG("LOG   CChatDlg::OnAppExit() \n");
    hide();
}

void CChatDlg::reject()
{
    OnAppExit();
}

void CChatDlg::closeEvent(QCloseEvent* event)
{
    event->ignore();
    OnAppExit();
}

// Enter belongs to the input's send, never to a default button of the dialog.
void CChatDlg::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) return;
    QDialog::keyPressEvent(event);
}
