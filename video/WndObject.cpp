#include "video/WndObject.h"

#include <QMenu>
#include <QMouseEvent>
#include <QPainter>

#include <cstring>

CWndObject::CWndObject(QWidget* parent) : QFrame(parent)
{
    setContextMenuPolicy(Qt::PreventContextMenu);
}

void CWndObject::Create(const char* windowName, const QRect& rect, int id)
{
    m_nId = id;
    setObjectName(QString::fromUtf8(windowName));
    if (m_szName[0] == '\0') SetName(windowName);
    m_Information.SetDefaultPosition(rect.left(), rect.top());
    m_Information.SetViewType(kViewLargeWindow);
    setGeometry(rect);
    show();
}

void CWndObject::SetName(const char* text)
{
    std::memset(m_szName, 0, sizeof m_szName);
    if (text != nullptr) std::strncpy(m_szName, text, sizeof m_szName - 1);
    update();
}

void CWndObject::SetIcon(const std::string& file, bool large)
{
    auto part = std::make_unique<CWndIconPart>(large, file);
    m_icons[part->Name()] = QIcon(QString::fromStdString(file));
    m_Information.AttachPart(std::move(part), false);
}

void CWndObject::ApplyViewStyle()
{
    if (IsIconView(m_Information.GetViewType())) {
        setFrameShape(QFrame::NoFrame);
        setAttribute(Qt::WA_TranslucentBackground, true);
        setAutoFillBackground(false);
    } else {
        setAttribute(Qt::WA_TranslucentBackground, false);
    }
}

void CWndObject::ApplyViewGeometry()
{
    const Oskel2DSize size = m_Information.GetSize();
    const Oskel2DPoint position = m_Information.GetPosition();
    setGeometry(position.m_nX, position.m_nY, size.m_nWidth, size.m_nHeight);
    show();
    LayoutChildren();
    update();
}

void CWndObject::SetViewMode(std::int32_t type)
{
    if (type < kViewSmallWindow || type > kViewLargeIcon) type = kViewDefault;
    m_Information.SetViewType(type);
    ApplyViewStyle();
    ApplyViewGeometry();
    PostMessage(m_hNotify, WM_WND_OBJECT_MOVED, 0, 0);
}

void CWndObject::ToggleIconView()
{
    m_Information.SetViewType(IsIconView(m_Information.GetViewType()) ? kViewMediumWindow : kViewLargeIcon);
    ApplyViewStyle();
    ApplyViewGeometry();
    lower();
}

void CWndObject::MoveTo(int x, int y)
{
    if (m_bLocked) return;
    move(x, y);
    m_Information.SetPosition(x, y);
}

bool CWndObject::ChooseMenuItem(int command)
{
    QMenu menu;
    BuildContextMenu(menu);
    for (QAction* action : menu.actions()) {
        if (action->isSeparator() || action->data().toInt() != command) continue;
        if (!action->isEnabled()) return false;
        action->trigger();
        return true;
    }
    return false;
}

void CWndObject::OnCommand(int command)
{
    switch (command) {
    case ID_VIEW_LARGE_WINDOW: SetViewMode(kViewLargeWindow); break;
    case ID_VIEW_MEDIUM_WINDOW: SetViewMode(kViewMediumWindow); break;
    case ID_VIEW_SMALL_WINDOW: SetViewMode(kViewSmallWindow); break;
    case ID_VIEW_LARGE_ICON: SetViewMode(kViewLargeIcon); break;
    case ID_VIEW_SMALL_ICON: SetViewMode(kViewSmallIcon); break;
    case ID_PROPERTIES: OnProperties(); break;
    case ID_EDIT_COPY: OnCopy(); break;
    case ID_EDIT_PASTE: OnPaste(); break;
    default: break;
    }
}

void CWndObject::BuildContextMenu(QMenu& menu)
{
    auto add = [&](const char* text, int command) {
        menu.addAction(tr(text), this, [this, command] { OnCommand(command); })->setData(command);
    };
    add(QT_TR_NOOP("ウインドウ 大"), ID_VIEW_LARGE_WINDOW);
    add(QT_TR_NOOP("ウインドウ 中"), ID_VIEW_MEDIUM_WINDOW);
    add(QT_TR_NOOP("ウインドウ 小"), ID_VIEW_SMALL_WINDOW);
    add(QT_TR_NOOP("アイコン 大"), ID_VIEW_LARGE_ICON);
    add(QT_TR_NOOP("アイコン 小"), ID_VIEW_SMALL_ICON);
}

void CWndObject::ShowContextMenu(const QPoint& globalPos)
{
    QMenu menu(this);
    BuildContextMenu(menu);
    if (!menu.isEmpty()) menu.exec(globalPos);
}

void CWndObject::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const std::int32_t type = m_Information.GetViewType();
    if (IsIconView(type)) {
        const auto it = m_icons.find(type == kViewLargeIcon ? "LargeIcon" : "SmallIcon");
        if (it != m_icons.end()) {
            const int side = type == kViewLargeIcon ? 32 : 16;
            painter.drawPixmap(0, 0, it->second.pixmap(side, side));
        }
        return;
    }
    painter.fillRect(rect(), QColor(0x73, 0x73, 0x73));  // colour reference 7566195
    painter.fillRect(QRect(0, 0, width() - 1, height() - 1), FrameColor());
    painter.setPen(Qt::black);
    painter.drawText(QRect(2, height() - 20, width() - 4, 18), Qt::AlignLeft | Qt::AlignVCenter, FrameText());
}

void CWndObject::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && !m_bLocked) {
        m_bDragging = true;
        m_dragOffset = event->position().toPoint();
    }
    event->accept();
}

void CWndObject::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_bDragging || parentWidget() == nullptr) return;
    const QPoint target = mapToParent(event->position().toPoint()) - m_dragOffset;
    const Oskel2DPoint clamped =
        ClampDragPosition(target.x(), target.y(), parentWidget()->width(), parentWidget()->height(), width(), height());
    move(clamped.m_nX, clamped.m_nY);
    m_Information.SetPosition(clamped.m_nX, clamped.m_nY);
    PostMessage(m_hNotify, WM_WND_OBJECT_MOVED, 0, 0);
}

void CWndObject::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        m_bDragging = false;
        OnPrimaryAction();
    } else if (event->button() == Qt::RightButton) {
        ShowContextMenu(event->globalPosition().toPoint());
    }
    event->accept();
}

void CWndObject::mouseDoubleClickEvent(QMouseEvent* event)
{
    event->accept();
}
