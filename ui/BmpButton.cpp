#include "ui/BmpButton.h"

#include <QBitmap>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

namespace {

const QEvent::Type kLookEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

class LookEvent : public QEvent {
public:
    explicit LookEvent(int look) : QEvent(kLookEventType), m_look(look) {}
    int m_look;
};

}  // namespace

CBmpButton::CBmpButton(QWidget* parent) : QWidget(parent)
{
    setMouseTracking(true);
    setAttribute(Qt::WA_Hover, false);
}

CBmpButton::CBmpButton(const QImage& resource, QWidget* parent) : CBmpButton(parent)
{
    if (!resource.isNull()) CutFrames(resource, resource.height(), QColor(0, 0, 0));
}

bool CBmpButton::Create(QWidget* parent, int id, int x, int y, int state)
{
    if (parent != parentWidget()) setParent(parent);
    m_nId = id;
    m_nState = state;
    setObjectName(QStringLiteral("button%1").arg(id));
    setProperty("controlId", id);
    setFocusPolicy(Qt::TabFocus);
    setGeometry(x, y, m_frameSize.width(), m_frameSize.height());
    show();
    return true;
}

void CBmpButton::SetState(int state)
{
    m_nState = state;
    update();
}

void CBmpButton::CutFrames(const QImage& strip, int frameWidth, const QColor& mask)
{
    m_frames.clear();
    if (strip.isNull() || frameWidth <= 0) return;
    m_frameSize = QSize(frameWidth, strip.height());
    for (int x = 0; x + frameWidth <= strip.width(); x += frameWidth) {
        QPixmap frame = QPixmap::fromImage(strip.copy(x, 0, frameWidth, strip.height()));
        frame.setMask(frame.createMaskFromColor(mask));
        m_frames.push_back(frame);
    }
    resize(m_frameSize);
    update();
}

void CBmpButton::SetBitmap(const QImage& strip)
{
    CutFrames(strip, strip.width() / 4, QColor(198, 218, 135));
}

bool CBmpButton::LoadBitmapFile(const QString& path)
{
    const QImage strip(path);
    if (strip.isNull()) return false;
    SetBitmap(strip);
    return true;
}

int CBmpButton::CurrentFrame() const
{
    return FrameIndex(m_nState, isEnabled() ? m_nLook : kLookDisabled);
}

void CBmpButton::paintEvent(QPaintEvent*)
{
    const int index = CurrentFrame();
    if (index < 0 || index >= static_cast<int>(m_frames.size())) return;
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_frames[static_cast<std::size_t>(index)]);
}

bool CBmpButton::Inside(const QPoint& p) const
{
    return p.x() >= 0 && p.y() >= 0 && p.x() <= m_frameSize.width() && p.y() <= m_frameSize.height();
}

// The look is posted, so that a burst of input redraws in the order it came.
void CBmpButton::PostLook(int look)
{
    QCoreApplication::postEvent(this, new LookEvent(look));
}

void CBmpButton::ReportClick()
{
    QMetaObject::invokeMethod(
        this, [this] { emit clicked(m_nId); }, Qt::QueuedConnection);
}

bool CBmpButton::event(QEvent* event)
{
    if (event->type() == kLookEventType) {
        m_nLook = static_cast<LookEvent*>(event)->m_look;
        repaint();
        return true;
    }
    return QWidget::event(event);
}

void CBmpButton::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !Inside(event->position().toPoint())) return;
    PostLook(kLookPressed);
    m_bPressed = true;
}

void CBmpButton::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) return;
    if (!Inside(event->position().toPoint())) {
        m_bPressed = false;
        return;
    }
    if (m_bPressed) {
        if (m_nState >= 0) m_nState = m_nState == 0 ? 1 : 0;
        ReportClick();
    }
    m_bPressed = false;
    PostLook(kLookHot);
}

void CBmpButton::mouseMoveEvent(QMouseEvent* event)
{
    if (Inside(event->position().toPoint())) {
        if (!m_bTracking) {
            m_bTracking = true;
            PostLook(kLookHot);
        }
        return;
    }
    if (m_bTracking || m_bPressed) {
        m_bTracking = false;
        m_bPressed = false;
        PostLook(kLookNormal);
    }
}

// Qt reports leaving without a capture; it stands for the move outside the frame.
void CBmpButton::leaveEvent(QEvent*)
{
    if (m_bPressed) return;  // the held button keeps the mouse; moves decide
    if (m_bTracking) {
        m_bTracking = false;
        PostLook(m_bFocused ? kLookHot : kLookNormal);
    }
}

void CBmpButton::keyPressEvent(QKeyEvent* event)
{
    if (event->key() != Qt::Key_Space) {
        QWidget::keyPressEvent(event);
        return;
    }
    if (event->isAutoRepeat()) return;
    PostLook(kLookPressed);
    m_bPressed = true;
}

void CBmpButton::keyReleaseEvent(QKeyEvent* event)
{
    if (event->key() != Qt::Key_Space) {
        QWidget::keyReleaseEvent(event);
        return;
    }
    if (event->isAutoRepeat()) return;
    ReportClick();  // the key does not flip a toggle
    PostLook(kLookHot);
    m_bPressed = false;
}

void CBmpButton::focusInEvent(QFocusEvent*)
{
    m_bFocused = true;
    PostLook(kLookHot);
}

void CBmpButton::focusOutEvent(QFocusEvent*)
{
    m_bFocused = false;
    PostLook(kLookNormal);
}

void CBmpButton::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::EnabledChange) update();
    QWidget::changeEvent(event);
}

void CBmpButton::Click()
{
    if (!isEnabled()) return;
    const QPointF inside(m_frameSize.width() / 2.0, m_frameSize.height() / 2.0);
    QMouseEvent press(QEvent::MouseButtonPress, inside, mapToGlobal(inside), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, inside, mapToGlobal(inside), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(this, &press);
    QCoreApplication::sendEvent(this, &release);
}
