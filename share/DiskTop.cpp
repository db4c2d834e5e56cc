#include "share/DiskTop.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include <algorithm>

#include "ui/DialogRegistry.h"

namespace {

const QEvent::Type kEndEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

WindowRect WorkArea()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return {0, 0, 1024, 768};
    const QRect r = screen->availableGeometry();
    return {r.left(), r.top(), r.right() + 1, r.bottom() + 1};
}

}  // namespace

CDiskTop::CDiskTop(const QPoint& topLeft, std::function<std::vector<WindowRect>()> peerWindows, QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowTransparentForInput |
                          Qt::X11BypassWindowManagerHint),
      m_topLeft(topLeft),
      m_peerWindows(std::move(peerWindows))
{
    setObjectName(QStringLiteral("CDiskTop"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    setCursor(Qt::SizeFDiagCursor);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        // The screen as it is now: painting it back makes it look frozen.
        m_snapshot = screen->grabWindow(0);
        setGeometry(screen->geometry());
    }
}

WindowRect CDiskTop::AdjustFrame(const QPoint& topLeft, const QPoint& mouse, const std::vector<WindowRect>& peers,
                                 const WindowRect& workArea)
{
    WindowRect frame{topLeft.x(), topLeft.y(), mouse.x(), mouse.y()};
    std::int32_t lowestPeer = frame.top;
    for (const WindowRect& peer : peers) {
        frame.left = std::min(frame.left, peer.left);
        frame.top = std::min(frame.top, peer.top);
        frame.right = std::max(frame.right, peer.right);
        frame.bottom = std::max(frame.bottom, peer.bottom);
        lowestPeer = std::max(lowestPeer, peer.bottom);
    }
    if (frame.right - frame.left < kMinWidth) frame.right = frame.left + kMinWidth;
    if (frame.bottom - frame.top <= kMinHeight - 1) {
        frame.bottom = frame.top + kMinHeight;
    } else if (!peers.empty() && frame.bottom < lowestPeer + kBelowLowestPeer) {
        frame.bottom = lowestPeer + kBelowLowestPeer;
    }
    frame.bottom = std::min(frame.bottom, workArea.bottom);
    return frame;
}

void CDiskTop::Track(const QPoint& screenPoint)
{
    m_frame =
        AdjustFrame(m_topLeft, screenPoint, m_peerWindows ? m_peerWindows() : std::vector<WindowRect>{}, WorkArea());
    m_bFrame = true;
    update();
}

void CDiskTop::Drag(const QPoint& to)
{
    if (m_bEnding) return;
    m_bEnding = true;
    Track(to);
    QCoreApplication::postEvent(this, new QEvent(kEndEventType));
}

void CDiskTop::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (!m_snapshot.isNull()) painter.drawPixmap(0, 0, m_snapshot);
    if (!m_bFrame) return;
    painter.setPen(QPen(QColor(128, 128, 128), 3));
    const QPoint origin = mapToGlobal(QPoint(0, 0));
    painter.drawRect(QRect(QPoint(m_frame.left, m_frame.top) - origin, QPoint(m_frame.right, m_frame.bottom) - origin));
}

void CDiskTop::mousePressEvent(QMouseEvent* event)
{
    Track(event->globalPosition().toPoint());
}

void CDiskTop::mouseMoveEvent(QMouseEvent* event)
{
    if (event->buttons() & Qt::LeftButton) Track(event->globalPosition().toPoint());
}

void CDiskTop::mouseReleaseEvent(QMouseEvent* event)
{
    Drag(event->globalPosition().toPoint());
}

void CDiskTop::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    DialogRegistry::Opened(this);
}

bool CDiskTop::event(QEvent* event)
{
    if (event->type() == kEndEventType) {
        accept();
        return true;
    }
    return QDialog::event(event);
}
