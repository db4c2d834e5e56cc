#pragma once
// The knob of a peer's volume strip: a vertical track with a knob and a speaker picture under
// it. Dragging the knob reports the new value (WM_VSCROLL with the thumb-position code); a
// click on the speaker toggles the muted look and reports the click (WM_COMMAND).

#include <QImage>
#include <QRect>
#include <QWidget>

#include <functional>
#include <vector>

class CVolumeControl : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* kClassName = "VolumeControl";

    explicit CVolumeControl(QWidget* parent);

    // A visible child at rect that takes the keyboard focus; the pictures are strips of three
    // knob frames (normal, dragging, muted) and two speaker frames (sound on, muted).
    bool Create(const QRect& rect, int id, const QString& knobBitmap, const QString& speakerBitmap);

    // Places the knob at the value without reporting it.
    void SetPos(int value);
    void SetRange(int min, int max, bool redraw);
    int GetPos() const { return m_nValue; }
    int GetRangeMin() const { return m_nMin; }
    int GetRangeMax() const { return m_nMax; }
    int ControlId() const { return m_nId; }

    bool IsMuted() const { return m_bMute; }
    // Sets the muted look without reporting it.
    void SetMute(bool mute);
    // Moves the knob to the value as a drag would, and reports it.
    void MoveKnobTo(int value);

    // Geometry, for the owner and for tests.
    QRect TrackRect() const { return m_rcTrack; }
    QRect SpeakerRect() const { return m_rcSpeaker; }
    int KnobY() const { return m_nKnobY; }
    int KnobFrame() const { return m_bMute ? 2 : (m_bDragging ? 1 : 0); }
    int PositionOf(int value) const;
    int ValueAt(int y) const;

    // The parent's notifications: WM_VSCROLL (code 4, the value) and WM_COMMAND (the id).
    std::function<void(int value)> onScroll;
    std::function<void(int id)> onCommand;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void Layout();
    void MoveKnob(int y);

    int m_nId = 0;
    int m_nMin = 0;
    int m_nMax = 100;
    int m_nValue = 50;
    bool m_bMute = false;
    bool m_bDragging = false;
    bool m_bSpeakerPressed = false;
    QColor m_crBack{255, 249, 161};
    std::vector<QImage> m_knob;     // 3 frames
    std::vector<QImage> m_speaker;  // 2 frames
    QRect m_rcTrack;
    QRect m_rcSpeaker;
    int m_nKnobY = 0;
};
