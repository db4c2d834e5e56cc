#include "ui/DlgMorvika.h"

#include <QMouseEvent>
#include <QWindow>
#include <QPainter>

#include "ui/DialogRegistry.h"

namespace {

QString& DefaultFolder()
{
    static QString folder;
    return folder;
}

const QColor kBar(255, 247, 140);
const QColor kBackground(240, 241, 198);

}  // namespace

void CDlgMorvika::SetDefaultAssetsFolder(const QString& folder)
{
    DefaultFolder() = folder;
}

QString CDlgMorvika::DefaultAssetsFolder()
{
    return DefaultFolder();
}

CDlgMorvika::CDlgMorvika(QWidget* parent, const QString& assetsFolder) : QDialog(parent)
{
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setContentsMargins(1, kCaptionHeight, 1, 1);
    setMouseTracking(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, kBackground);
    setPalette(palette);
    setAutoFillBackground(true);

    const QString folder = assetsFolder.isEmpty() ? DefaultFolder() : assetsFolder;
    const QImage strip(folder + QStringLiteral("Pictures/Standard/Button/ButtonExitDlg.bmp"));
    if (!strip.isNull()) {
        const int w = strip.width() / 4;
        for (int look = 0; look < 4; ++look) {
            QPixmap frame = QPixmap::fromImage(strip.copy(look * w, 0, w, strip.height()));
            frame.setMask(frame.createMaskFromColor(kBar));
            m_closeFrames.push_back(frame);
        }
    }
}

QRect CDlgMorvika::CloseButtonRect() const
{
    const QSize size = m_closeFrames.empty() ? QSize(16, 16) : m_closeFrames.front().size();
    return QRect(width() - 4 - size.width(), (kCaptionHeight - size.height()) / 2, size.width(), size.height());
}

CDlgMorvika::HitZone CDlgMorvika::HitTest(const QPoint& p) const
{
    if (CloseButtonRect().contains(p)) return kHitClose;
    if (p.y() >= 0 && p.y() < kCaptionHeight) return kHitCaption;
    return kHitClient;
}

void CDlgMorvika::SetCloseLook(int look)
{
    if (look == m_nCloseLook) return;
    m_nCloseLook = look;
    update(CloseButtonRect());
}

void CDlgMorvika::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(QRect(0, 0, width(), kCaptionHeight), kBar);
    painter.setPen(QColor(252, 254, 196));
    painter.drawLine(0, 0, width() - 1, 0);
    painter.drawLine(0, 0, 0, height() - 1);
    painter.setPen(QColor(128, 128, 128));
    painter.drawLine(0, height() - 1, width() - 1, height() - 1);
    painter.drawLine(width() - 1, 0, width() - 1, height() - 1);
    painter.setPen(QColor(40, 40, 40));
    painter.drawText(QRect(6, 0, CloseButtonRect().left() - 10, kCaptionHeight), Qt::AlignVCenter | Qt::AlignLeft,
                     windowTitle());
    if (m_nCloseLook >= 0 && m_nCloseLook < static_cast<int>(m_closeFrames.size())) {
        painter.drawPixmap(CloseButtonRect().topLeft(), m_closeFrames[static_cast<std::size_t>(m_nCloseLook)]);
    }
}

void CDlgMorvika::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) return QDialog::mousePressEvent(event);
    const QPoint p = event->position().toPoint();
    switch (HitTest(p)) {
    case kHitClose:
        m_bClosePressed = true;
        SetCloseLook(1);
        break;
    case kHitCaption:
        // A Wayland compositor ignores a window's own moves: where the platform can move the
        // window itself (and snap it as its own windows), let it.
        if (windowHandle() != nullptr && windowHandle()->startSystemMove()) break;
        m_bDragging = true;
        m_dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
        break;
    case kHitClient: QDialog::mousePressEvent(event); break;
    }
}

void CDlgMorvika::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint p = event->position().toPoint();
    if (m_bDragging && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - m_dragOffset);
        return;
    }
    switch (HitTest(p)) {
    case kHitClose:
        if (!m_bClosePressed) SetCloseLook(3);
        break;
    case kHitCaption:
        m_bClosePressed = false;
        SetCloseLook(2);
        break;
    case kHitClient: SetCloseLook(2); break;
    }
}

void CDlgMorvika::mouseReleaseEvent(QMouseEvent* event)
{
    m_bDragging = false;
    if (event->button() != Qt::LeftButton) return QDialog::mouseReleaseEvent(event);
    if (HitTest(event->position().toPoint()) == kHitClose && m_bClosePressed) {
        m_bClosePressed = false;
        SetCloseLook(2);
        // Cancel, as the close box of any dialog.
        QMetaObject::invokeMethod(this, &QDialog::reject, Qt::QueuedConnection);
        return;
    }
    m_bClosePressed = false;
}

void CDlgMorvika::leaveEvent(QEvent*)
{
    if (!m_bClosePressed) SetCloseLook(2);
}

void CDlgMorvika::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    DialogRegistry::Opened(this);
}

void CDlgMorvika::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::WindowTitleChange) update(QRect(0, 0, width(), kCaptionHeight));
    QDialog::changeEvent(event);
}
