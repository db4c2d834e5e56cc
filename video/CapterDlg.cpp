#include "video/CapterDlg.h"

#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include "video/PictureWnd.h"

CCapterDlg::CCapterDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("CCapterDlg"));
    setWindowTitle(tr("ウインドウ共有"));
    m_pScroll = new QScrollArea(this);
    m_pScroll->setWidgetResizable(false);
    m_pScroll->setBackgroundRole(QPalette::Dark);
    m_pPicture = new CPictureWnd(QRect(0, 0, 320, 240), nullptr, 0);
    m_pPicture->SetFitMode(false);
    m_pPicture->SetNotifyTarget(Handle());
    m_pScroll->setWidget(m_pPicture);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_pScroll);
    resize(400, 320);
}

CCapterDlg::~CCapterDlg()
{
    DetachMessages();
}

LRESULT CCapterDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_PICTURE_SIZE) return 0;
    m_pPicture->setGeometry(0, 0, static_cast<int>(wParam), static_cast<int>(lParam));
    UpdateSteps();
    return 0;
}

void CCapterDlg::UpdateSteps()
{
    const QSize client = m_pScroll->viewport()->size();
    m_pScroll->horizontalScrollBar()->setSingleStep(1);
    m_pScroll->verticalScrollBar()->setSingleStep(1);
    m_pScroll->horizontalScrollBar()->setPageStep(std::max(1, client.width()));
    m_pScroll->verticalScrollBar()->setPageStep(std::max(1, client.height()));
}

void CCapterDlg::showEvent(QShowEvent* event)
{
    if (loadRect) {
        const QRect r = loadRect();
        if (r.isValid()) setGeometry(r);
    }
    QDialog::showEvent(event);
}

void CCapterDlg::hideEvent(QHideEvent* event)
{
    if (saveRect) saveRect(geometry());
    QDialog::hideEvent(event);
}

void CCapterDlg::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    UpdateSteps();
}
