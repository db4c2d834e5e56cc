#pragma once
// The resize tool of the main window: the screen freezes, and the user drags the window's new
// bottom-right corner from its fixed top-left corner. It takes no input of its own: the press
// on the grip that opened it keeps the mouse, and the main window hands on its moves and its
// release, so one press, drag and release do the whole resize.

#include <QDialog>
#include <QPixmap>

#include <functional>
#include <vector>

#include "app/WindowRect.h"

class CDiskTop : public QDialog {
    Q_OBJECT
public:
    static constexpr int kMinWidth = 320;
    static constexpr int kMinHeight = 309;
    static constexpr int kBelowLowestPeer = 17;
    // Posted to itself on button up; ends the dialog with OK.
    static constexpr int WM_DISKTOP_END = 0x80D6;

    // topLeft: the main window's top-left corner on the screen; peerWindows gives the screen
    // rectangles of the peer video windows, which the frame always encloses.
    CDiskTop(const QPoint& topLeft, std::function<std::vector<WindowRect>()> peerWindows, QWidget* parent = nullptr);

    // The frame for a mouse position, with the rules applied (exclusive right and bottom).
    static WindowRect AdjustFrame(const QPoint& topLeft, const QPoint& mouse, const std::vector<WindowRect>& peers,
                                  const WindowRect& workArea);

    // The new bottom-right corner after OK.
    QPoint BottomRight() const { return QPoint(m_frame.right, m_frame.bottom); }
    // The button down or a move with it held, in screen coordinates: the frame follows.
    void Track(const QPoint& screenPoint);
    // The button up there: the frame follows, and the tool ends with OK.
    void Drag(const QPoint& to);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool event(QEvent* event) override;

private:
    QPoint m_topLeft;
    std::function<std::vector<WindowRect>()> m_peerWindows;
    QPixmap m_snapshot;
    WindowRect m_frame{};
    bool m_bFrame = false;
    bool m_bEnding = false;  // the end is on its way; a second release changes nothing
};
