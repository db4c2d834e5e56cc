#include "share/HelpDlg.h"

#include <QLabel>
#include <QVBoxLayout>

#include "ui/DialogRegistry.h"

CHelpDlg::CHelpDlg(const QString& text, QWidget* parent) : QDialog(parent, Qt::Popup)
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
    DialogRegistry::Opened(this);
}
