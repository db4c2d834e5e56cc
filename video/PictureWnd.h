#pragma once
// The window every picture reaches the screen through: it takes JPEG copies by WM_COPYDATA,
// keeps the newest, decodes it when it paints and stretches it over its client area.

#include <QImage>
#include <QWidget>

#include <cstdint>

#include "platform/winmsg/WinMsg.h"
#include "video/PictureCore.h"

constexpr UINT WM_COPYDATA = 0x004A;
constexpr UINT WM_PICTURE_SIZE = 0x8066;

class CPictureWnd : public QWidget, public CMsgTarget {
    Q_OBJECT
public:
    CPictureWnd(const QRect& rect, QWidget* parent, int id);
    ~CPictureWnd() override;

    void SetFitMode(bool fit) { m_core.SetFitMode(fit); }
    void SetBrightness(std::int32_t value);
    std::int32_t GetBrightness() const { return m_core.Brightness(); }
    void SetForwardMouse(bool forward) { m_bForwardMouse = forward; }
    // Where WM_PICTURE_SIZE goes (the parent window's message target).
    void SetNotifyTarget(HWND target) { m_hNotify = target; }

    // WM_COPYDATA and WM_DRAIN_QUEUE.
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    // The current bitmap, decoding first if needed (what a paint would show); null: black.
    const PictureBitmap* CurrentBitmap();
    // The current bitmap as an image (null image when black).
    QImage CurrentImage();
    CPictureCore& Core() { return m_core; }
    std::uint64_t ReceivedCount() const { return m_nReceived; }
    int ControlId() const { return m_nId; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    CPictureCore m_core;
    bool m_bForwardMouse = false;
    HWND m_hNotify = 0;
    int m_nId;
    std::uint64_t m_nReceived = 0;
};

// A copy of the bitmap that outlives it.
QImage ToImage(const PictureBitmap& bitmap);
// The bitmap's own pixels as an image, valid while the bitmap is unchanged.
QImage ScreenImage(const PictureBitmap& bitmap);
