#include "share/HelpDlg.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QVBoxLayout>

#include "ui/DialogRegistry.h"

// A tool-tip window rather than a pop-up: a pop-up also closes when the window system moves
// the activation (a late activation of the main window right after start, say), before the
// user saw it. It goes with the next click or key anywhere in the program instead.
CHelpDlg::CHelpDlg(const QString& text, QWidget* parent) : QDialog(parent, Qt::ToolTip | Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("CHelpDlg"));
    setAttribute(Qt::WA_DeleteOnClose);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, QColor(255, 247, 140));
    palette.setColor(QPalette::WindowText, QColor(0, 0, 0));
    setPalette(palette);
    setAutoFillBackground(true);
    m_pText = new QLabel(text, this);
    m_pText->setTextFormat(Qt::PlainText);
    m_pText->setWordWrap(true);
    m_pText->setMaximumWidth(280);
    DialogRegistry::SetControlId(m_pText, 1058);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 8, 10, 8);
    layout->addWidget(m_pText);
}

QString CHelpDlg::Text() const
{
    return m_pText->text();
}

void CHelpDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    qApp->installEventFilter(this);
    DialogRegistry::Opened(this);
}

bool CHelpDlg::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::KeyPress:
        qApp->removeEventFilter(this);
        close();
        return watched == this;  // a click on the note itself only closes it
    default: return QDialog::eventFilter(watched, event);
    }
}
