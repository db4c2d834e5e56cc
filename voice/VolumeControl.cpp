#include "voice/VolumeControl.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

namespace {

// Cuts a strip of equal frames side by side.
std::vector<QImage> Frames(const QString& path, int count)
{
    std::vector<QImage> frames;
    if (path.isEmpty()) return frames;
    const QImage strip(path);
    if (strip.isNull() || strip.width() < count) return frames;
    const int w = strip.width() / count;
    for (int i = 0; i < count; ++i) frames.push_back(strip.copy(i * w, 0, w, strip.height()));
    return frames;
}

constexpr int kTrackWidth = 4;

}  // namespace

CVolumeControl::CVolumeControl(QWidget* parent) : QWidget(parent)
{
    setObjectName(QString::fromLatin1(kClassName));
    setFocusPolicy(Qt::StrongFocus);
}

bool CVolumeControl::Create(const QRect& rect, int id, const QString& knobBitmap, const QString& speakerBitmap)
{
    m_nId = id;
    m_knob = Frames(knobBitmap, 3);
    m_speaker = Frames(speakerBitmap, 2);
    setGeometry(rect);
    Layout();
    show();
    setFocus();
    return !m_knob.empty() && !m_speaker.empty();
}

void CVolumeControl::Layout()
{
    const QSize speaker = m_speaker.empty() ? QSize(13, 13) : m_speaker.front().size();
    const int speakerTop = std::max(0, height() - 2 - speaker.height());
    m_rcSpeaker = QRect((width() - speaker.width()) / 2, speakerTop, speaker.width(), speaker.height());
    const int inset = speakerTop * 4 / 100;
    m_rcTrack = QRect(QPoint((width() - kTrackWidth) / 2, inset),
                      QPoint((width() - kTrackWidth) / 2 + kTrackWidth - 1, speakerTop - inset));
    m_nKnobY = PositionOf(m_nValue);
}

int CVolumeControl::PositionOf(int value) const
{
    const int top = m_rcTrack.top();
    const int bottom = m_rcTrack.bottom();
    if (m_nMax <= m_nMin) return bottom;
    value = std::clamp(value, m_nMin, m_nMax);
    return bottom - static_cast<int>(static_cast<double>(value - m_nMin) / (m_nMax - m_nMin) * (bottom - top));
}

int CVolumeControl::ValueAt(int y) const
{
    const int top = m_rcTrack.top();
    const int bottom = m_rcTrack.bottom();
    if (y <= top || bottom <= top) return m_nMax;
    if (y >= bottom) return m_nMin;
    return m_nMax - static_cast<int>(static_cast<double>(y - top) / (bottom - top) * (m_nMax - m_nMin));
}

void CVolumeControl::SetPos(int value)
{
    m_nValue = std::clamp(value, m_nMin, m_nMax);
    m_nKnobY = PositionOf(m_nValue);
    update();
}

void CVolumeControl::SetRange(int min, int max, bool redraw)
{
    m_nMin = min;
    m_nMax = std::max(min, max);
    m_nValue = std::clamp(m_nValue, m_nMin, m_nMax);
    m_nKnobY = PositionOf(m_nValue);
    if (redraw) update();
}

void CVolumeControl::SetMute(bool mute)
{
    m_bMute = mute;
    update();
}

void CVolumeControl::MoveKnobTo(int value)
{
    SetPos(value);
    if (onScroll) onScroll(m_nValue);
}

void CVolumeControl::MoveKnob(int y)
{
    m_nKnobY = std::clamp(y, m_rcTrack.top(), m_rcTrack.bottom());
    m_nValue = ValueAt(m_nKnobY);
    update();
    if (onScroll) onScroll(m_nValue);
}

void CVolumeControl::resizeEvent(QResizeEvent*)
{
    Layout();
}

void CVolumeControl::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) return;
    const QPoint at = event->position().toPoint();
    if (m_rcSpeaker.contains(at)) {
        m_bMute = !m_bMute;
        m_bSpeakerPressed = true;
        update();
        return;
    }
    if (m_bMute) return;
    m_bDragging = true;
    MoveKnob(at.y());
}

void CVolumeControl::mouseMoveEvent(QMouseEvent* event)
{
    if (m_bDragging) MoveKnob(event->position().toPoint().y());
}

void CVolumeControl::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) return;
    if (m_bSpeakerPressed) {
        m_bSpeakerPressed = false;
        if (onCommand) onCommand(m_nId);
        return;
    }
    if (!m_bDragging) return;
    m_bDragging = false;
    MoveKnob(event->position().toPoint().y());
}

void CVolumeControl::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), m_crBack);
    const QColor grey(64, 64, 64);
    p.setPen(grey);
    p.setBrush(Qt::NoBrush);
    p.drawRect(m_rcTrack.adjusted(0, 0, -1, -1));
    const int middle = (m_rcTrack.top() + m_rcTrack.bottom()) / 2;
    p.drawLine(m_rcTrack.left() - 4, middle, m_rcTrack.left() - 2, middle);
    p.drawLine(m_rcTrack.right() + 2, middle, m_rcTrack.right() + 4, middle);
    if (!m_knob.empty()) {
        const QImage& knob = m_knob[static_cast<std::size_t>(KnobFrame())];
        p.drawImage((width() - knob.width()) / 2, m_nKnobY - knob.height() / 2, knob);
    }
    if (m_speaker.size() == 2) p.drawImage(m_rcSpeaker.topLeft(), m_speaker[m_bMute ? 1 : 0]);
}
