#include "video/FullWindow.h"

#include <QKeyEvent>
#include <QTimer>

#include "video/PictureWnd.h"
#include "video/UserWndObject.h"

CFullWindow::CFullWindow(CUserWndObject& owner) : QDialog(nullptr), m_owner(owner)
{
    setObjectName(QStringLiteral("CFullWindow"));
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    setStyleSheet(QStringLiteral("background: black;"));
    CPictureWnd* picture = m_owner.Picture();
    picture->setParent(this);
    picture->show();
    resize(kWidth, kHeight);
    Place();
    // Window managers may place the window late; put it back once more after a second.
    m_pTimer = new QTimer(this);
    m_pTimer->setSingleShot(true);
    connect(m_pTimer, &QTimer::timeout, this, &CFullWindow::Place);
    m_pTimer->start(1000);
    setWindowState(windowState() | Qt::WindowFullScreen);
}

CFullWindow::~CFullWindow()
{
    m_owner.ReclaimPicture();
}

void CFullWindow::Place()
{
    if (!(windowState() & Qt::WindowFullScreen)) setGeometry(0, 0, kWidth, kHeight);
    m_owner.Picture()->setGeometry(rect());
}

void CFullWindow::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    if (m_owner.Picture()->parentWidget() == this) m_owner.Picture()->setGeometry(rect());
}

void CFullWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) accept();
    QDialog::keyPressEvent(event);
}

void CFullWindow::mouseDoubleClickEvent(QMouseEvent*)
{
    accept();
}
