#pragma once
// A push or toggle button drawn from a strip of frames. Frame drawn =
// max(state, 0) * 3 + look, look being 0 disabled, 1 pressed, 2 normal, 3 hot; so a push
// button needs four frames and a toggle button seven.

#include <QImage>
#include <QPixmap>
#include <QWidget>

#include <vector>

class CBmpButton : public QWidget {
    Q_OBJECT
public:
    // Redraw at once with the look in lParam; posted to itself.
    static constexpr int WM_BMPBUTTON_LOOK = 0x8001;
    enum Look { kLookDisabled = 0, kLookPressed = 1, kLookNormal = 2, kLookHot = 3 };

    explicit CBmpButton(QWidget* parent = nullptr);
    // Square frames of the picture's height, black being transparent.
    CBmpButton(const QImage& resource, QWidget* parent);

    // A visible child with tab stop at (x, y), one frame in size. state: -1 push, 0 or 1 toggle.
    bool Create(QWidget* parent, int id, int x, int y, int state);
    int GetState() const { return m_nState; }
    void SetState(int state);
    int ControlId() const { return m_nId; }

    // Four frames side by side; RGB(198, 218, 135) is transparent.
    void SetBitmap(const QImage& strip);
    bool LoadBitmapFile(const QString& path);

    static int FrameIndex(int state, int look) { return (state < 0 ? 0 : state) * 3 + look; }
    // The frame the button shows now.
    int CurrentFrame() const;
    int CurrentLook() const { return m_nLook; }
    bool IsPressed() const { return m_bPressed; }
    QSize FrameSize() const { return m_frameSize; }

    // Clicks as the user makes them (tests, the control channel): press and release inside.
    void Click();

signals:
    // A click, delivered through the event queue (never from inside the input handler).
    void clicked(int id);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;
    QSize sizeHint() const override { return m_frameSize; }

private:
    void PostLook(int look);
    void ReportClick();
    bool Inside(const QPoint& p) const;
    void CutFrames(const QImage& strip, int frameWidth, const QColor& mask);

    std::vector<QPixmap> m_frames;
    QSize m_frameSize{32, 32};
    int m_nState = -1;
    int m_nLook = kLookNormal;
    int m_nId = 0;
    bool m_bPressed = false;
    bool m_bTracking = false;
    bool m_bFocused = false;
};
