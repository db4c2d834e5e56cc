#include "session/MicIconWnd.h"

#include <QMouseEvent>
#include <QPainter>

CMicIconWnd::CMicIconWnd(const QString& normalIcon, const QString& mutedIcon, QWidget* parent)
    : QWidget(parent),
      m_normal(normalIcon),
      m_muted(mutedIcon)
{
    setObjectName(QStringLiteral("CPlayBoiceView"));
    setFixedSize(32, 32);  // 10,660 to 42,692 in the main window's coordinates
    setCursor(Qt::PointingHandCursor);
}

void CMicIconWnd::SetMuted(bool muted)
{
    m_bMuted = muted;
    update();
}

void CMicIconWnd::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    (m_bMuted ? m_muted : m_normal).paint(&p, rect());
}

void CMicIconWnd::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) m_bPressed = true;
    if (event->button() == Qt::RightButton && onRightClick) onRightClick();
}

void CMicIconWnd::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !m_bPressed) return;
    m_bPressed = false;
    if (rect().contains(event->position().toPoint()) && onLeftClick) onLeftClick();
}
