#include "video/UserWndObject.h"

#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QToolButton>
#include <QVBoxLayout>

#include "session/WindowMessages.h"

CUserWndObject::CUserWndObject(const CUserInformation& record, HWND mainWindow, QWidget* parent)
    : QFrame(parent), m_dwUserId(record.GetUserId()), m_dwGroupId(record.GetGroupId()), m_hMain(mainWindow)
{
    setObjectName(QStringLiteral("CUserWndObject"));
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, QColor(250, 250, 236));
    setPalette(palette);

    m_pPicture = new QLabel(this);
    m_pPicture->setFixedSize(kPictureWidth, kPictureHeight);
    m_pPicture->setAlignment(Qt::AlignCenter);
    m_pPicture->setStyleSheet(QStringLiteral("background: black; color: #ddd;"));
    m_pPicture->setText(QString::fromUtf8(record.GetUserName().c_str()));

    m_pName = new QLabel(QString::fromUtf8(record.GetUserName().c_str()), this);
    m_pName->setTextFormat(Qt::PlainText);
    m_pName->setToolTip(QString::fromUtf8(record.GetAddress().c_str()));

    m_pDisconnect = new QToolButton(this);
    m_pDisconnect->setObjectName(QStringLiteral("disconnect"));
    m_pDisconnect->setText(QStringLiteral("切断"));
    m_pDisconnect->setToolTip(QStringLiteral("このユーザとの接続を切ります"));
    connect(m_pDisconnect, &QToolButton::clicked, this,
            [this] { PostMessage(m_hMain, WM_KILL_USER, m_dwUserId, m_dwGroupId); });

    auto* bottom = new QHBoxLayout;
    bottom->setContentsMargins(0, 0, 0, 0);
    bottom->addWidget(m_pName, 1);
    bottom->addWidget(m_pDisconnect);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(3, 3, 3, 3);
    layout->setSpacing(2);
    layout->addWidget(m_pPicture);
    layout->addLayout(bottom);
    adjustSize();
}

QString CUserWndObject::UserName() const
{
    return m_pName->text();
}

void CUserWndObject::ReceivePicture(const std::uint8_t* data, std::uint32_t size)
{
    ++m_nPictures;
    QImage image;
    if (data != nullptr && size > 0 && image.loadFromData(data, static_cast<int>(size), "JPG")) {
        m_pPicture->setPixmap(QPixmap::fromImage(
            image.scaled(kPictureWidth, kPictureHeight, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    }
}

// Dragging moves the window inside its parent, never outside it.
void CUserWndObject::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        m_bDragging = true;
        m_dragOffset = event->position().toPoint();
        raise();
    }
    QFrame::mousePressEvent(event);
}

void CUserWndObject::mouseMoveEvent(QMouseEvent* event)
{
    if (m_bDragging && parentWidget() != nullptr) {
        QPoint target = mapToParent(event->position().toPoint()) - m_dragOffset;
        const QRect area = parentWidget()->rect();
        target.setX(std::clamp(target.x(), 0, std::max(0, area.width() - width())));
        target.setY(std::clamp(target.y(), 0, std::max(0, area.height() - height())));
        move(target);
    }
    QFrame::mouseMoveEvent(event);
}

void CUserWndObject::mouseReleaseEvent(QMouseEvent* event)
{
    m_bDragging = false;
    QFrame::mouseReleaseEvent(event);
}
