#include "video/PictureWnd.h"

#include <QMouseEvent>
#include <QPainter>

#include "app/WindowMessages.h"
#include "platform/winmsg/WinMsgPayload.h"

QImage ToImage(const PictureBitmap& bitmap)
{
    // The bitmap is already in the backing store's own layout: only copied.
    return ScreenImage(bitmap).copy();
}

QImage ScreenImage(const PictureBitmap& bitmap)
{
    if (bitmap.width <= 0 || bitmap.height <= 0) return {};
    return QImage(bitmap.bits.data(), bitmap.width, bitmap.height, static_cast<qsizetype>(bitmap.stride),
                  QImage::Format_RGB32);
}

CPictureWnd::CPictureWnd(const QRect& rect, QWidget* parent, int id) : QWidget(parent), m_nId(id)
{
    setObjectName(QStringLiteral("picture%1").arg(id));
    setAttribute(Qt::WA_OpaquePaintEvent, true);
    setContextMenuPolicy(Qt::NoContextMenu);
    setGeometry(rect);
    show();
}

CPictureWnd::~CPictureWnd()
{
    DetachMessages();
}

void CPictureWnd::SetBrightness(std::int32_t value)
{
    m_core.SetBrightness(value);
    m_core.DiscardBitmap();
    update();
}

LRESULT CPictureWnd::WindowProc(UINT message, WPARAM, LPARAM lParam)
{
    switch (message) {
    case WM_COPYDATA: {
        const auto* data = SentPayload<const COPYDATASTRUCT>(lParam);
        if (data == nullptr) return 0;
        ++m_nReceived;
        m_core.Push(data->dwData, data->lpData, data->cbData);
        PostMessage(Handle(), WM_DRAIN_QUEUE, 0, 0);
        return 1;
    }
    case WM_DRAIN_QUEUE:
        if (m_core.Drain()) update();
        return 0;
    default: return 0;
    }
}

const PictureBitmap* CPictureWnd::CurrentBitmap()
{
    const PictureBitmap* bitmap = m_core.Bitmap(width());
    if (bitmap != nullptr && !m_core.FitMode() && (width() != bitmap->width || height() != bitmap->height)) {
        resize(bitmap->width, bitmap->height);
        PostMessage(m_hNotify, WM_PICTURE_SIZE, static_cast<WPARAM>(bitmap->width), bitmap->height);
    }
    return bitmap;
}

QImage CPictureWnd::CurrentImage()
{
    const PictureBitmap* bitmap = CurrentBitmap();
    return bitmap != nullptr ? ToImage(*bitmap) : QImage();
}

void CPictureWnd::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const PictureBitmap* bitmap = CurrentBitmap();
    if (bitmap == nullptr) {
        painter.fillRect(rect(), Qt::black);
        return;
    }
    // Over the bitmap's own pixels, no copy: the bitmap stays until the next decode, which
    // only a paint makes.
    painter.drawImage(rect(), ScreenImage(*bitmap));
}

// Forwarded clicks reach the parent as if it had been clicked.
void CPictureWnd::mousePressEvent(QMouseEvent* event)
{
    if (m_bForwardMouse) event->ignore();
}

void CPictureWnd::mouseReleaseEvent(QMouseEvent* event)
{
    if (m_bForwardMouse) event->ignore();
}

void CPictureWnd::mouseMoveEvent(QMouseEvent* event)
{
    if (m_bForwardMouse) event->ignore();
}
