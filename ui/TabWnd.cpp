#include "ui/TabWnd.h"

#include <QApplication>
#include <QFocusEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

CTabWnd::CTabWnd(int index, QWidget* parent) : QWidget(parent), m_nIndex(index)
{
    setFocusPolicy(Qt::StrongFocus);
}

bool CTabWnd::Create(const QString& caption, const QRect& rect, QWidget* parent, int id)
{
    if (parent != parentWidget()) setParent(parent);
    setWindowTitle(caption);
    setAccessibleName(caption);
    setObjectName(QStringLiteral("tab%1").arg(id));
    setProperty("controlId", id);
    setGeometry(rect);
    BuildRegion();
    return true;
}

void CTabWnd::SetFrameColor(const QColor& color)
{
    m_frameColor = color;
    update();
}

QRect CTabWnd::TabRect() const
{
    return QRect(0, kTabStep * m_nIndex, kTabWidth, kTabHeight);
}

QRect CTabWnd::PageRect() const
{
    return QRect(kTabWidth, 0, std::max(0, width() - kTabWidth), height());
}

void CTabWnd::BuildRegion()
{
    // The tab's right half has square corners so that it joins the page.
    const QRect tab = TabRect();
    QPainterPath rounded;
    rounded.addRoundedRect(QRectF(tab), 4, 4);
    QRegion region(rounded.toFillPolygon().toPolygon());
    region += QRect(tab.left() + tab.width() / 2, tab.top(), tab.width() - tab.width() / 2, tab.height());
    region += PageRect();
    setMask(region);
}

void CTabWnd::resizeEvent(QResizeEvent*)
{
    BuildRegion();
}

void CTabWnd::HostHere()
{
    raise();
    if (!m_hosted) return;
    if (m_hosted->parentWidget() != this) {
        QWidget* before = m_hosted->parentWidget();
        m_hosted->setParent(this);
        if (before != nullptr) before->update();
    }
    m_hosted->setGeometry(HostRect());
    m_hosted->show();
}

void CTabWnd::ShowNoActivate()
{
    show();
    HostHere();
    update();
}

void CTabWnd::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect tab = TabRect();
    QPainterPath path;
    path.addRoundedRect(QRectF(tab), 4, 4);
    painter.setRenderHint(QPainter::Antialiasing);
    // The tab that holds the hosted window stands out from the others.
    const bool hosting = m_hosted && m_hosted->parentWidget() == this;
    const QColor face = hosting ? QColor(255, 255, 244) : palette().color(QPalette::Window).darker(104);
    painter.fillPath(path, face);
    painter.fillRect(QRect(tab.left() + tab.width() / 2, tab.top(), tab.width() - tab.width() / 2, tab.height()), face);
    painter.fillRect(PageRect(), palette().color(QPalette::Window));
    painter.setRenderHint(QPainter::Antialiasing, false);
    const QColor frame = hasFocus() ? QColor(64, 64, 64) : m_frameColor;
    painter.setPen(frame);
    painter.drawRect(PageRect().adjusted(0, 0, -1, -1));
    painter.setPen(hasFocus() ? frame : m_frameColor.darker(140));
    painter.drawPath(path);
    painter.setPen(palette().color(QPalette::WindowText));
    if (parentWidget()) painter.setFont(parentWidget()->font());
    painter.drawText(QRect(QPoint(3, kTabStep * m_nIndex + 1), QPoint(41, kTabStep * m_nIndex + 22)), Qt::AlignCenter,
                     windowTitle());
}

void CTabWnd::mousePressEvent(QMouseEvent* event)
{
    if (TabRect().contains(event->position().toPoint())) {
        setFocus(Qt::MouseFocusReason);
        // An inactive window takes the focus later; the click brings the tab up now.
        if (!hasFocus()) {
            HostHere();
            update();
            emit activated(m_nIndex);
        }
    }
    QWidget::mousePressEvent(event);
}

void CTabWnd::focusInEvent(QFocusEvent*)
{
    HostHere();
    update();
    emit activated(m_nIndex);
}

void CTabWnd::focusOutEvent(QFocusEvent*)
{
    update();
    // Leaving for another tab of the set sends this one under; elsewhere it keeps its place.
    if (qobject_cast<CTabWnd*>(QApplication::focusWidget()) != nullptr) lower();
}
