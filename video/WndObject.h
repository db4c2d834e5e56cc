#pragma once
// A window object on the main window's client area (the camera icon, the user windows):
// shown in one of five views, each with its own size and position, dragged inside the
// main window, drawn through its named parts, with a context menu of view commands.

#include <QFrame>
#include <QIcon>
#include <QPoint>

#include <map>
#include <string>

#include "platform/winmsg/WinMsg.h"
#include "video/WndInformation.h"

class QMenu;

// Context menu commands shared by the window objects.
constexpr int ID_VIEW_LARGE_WINDOW = 0x8005;
constexpr int ID_VIEW_MEDIUM_WINDOW = 0x8006;
constexpr int ID_VIEW_SMALL_WINDOW = 0x8007;
constexpr int ID_VIEW_LARGE_ICON = 0x8008;
constexpr int ID_VIEW_SMALL_ICON = 0x8009;
constexpr int ID_PROPERTIES = 0x800C;
constexpr int ID_FULL_SCREEN = 0x8037;
constexpr int ID_CHOOSE_STILL = 0x8035;
constexpr int ID_BACK_TO_CAMERA = 0x802E;
constexpr int ID_EDIT_COPY = 0xE122;
constexpr int ID_EDIT_PASTE = 0xE125;

// Posted to the main window after a window object moved or changed its view.
constexpr UINT WM_WND_OBJECT_MOVED = 0x80D5;

class CWndObject : public QFrame {
    Q_OBJECT
public:
    explicit CWndObject(QWidget* parent);

    // Records the rectangle's top-left as the default position, starts in "LargeWindow"
    // and places the window at the rectangle.
    void Create(const char* windowName, const QRect& rect, int id);
    // The main window, which is told about moves and view changes.
    void SetNotifyTarget(HWND target) { m_hNotify = target; }

    void SetViewMode(std::int32_t type);
    void ToggleIconView();
    // Refused while locked.
    void MoveTo(int x, int y);
    void SetName(const char* text);
    const char* Name() const { return m_szName; }
    void SetIcon(const std::string& file, bool large);
    void SetLocked(bool locked) { m_bLocked = locked; }
    bool IsLocked() const { return m_bLocked; }
    int ControlId() const { return m_nId; }

    CWndInformation& Information() { return m_Information; }
    const CWndInformation& Information() const { return m_Information; }

    // Runs a context menu command (also what the menu items do).
    virtual void OnCommand(int command);
    // Chooses that item of the context menu as built now, as a user would; false when the
    // menu has no such item or it is disabled.
    bool ChooseMenuItem(int command);

protected:
    // Left button released: the object's own action.
    virtual void OnPrimaryAction() {}
    virtual void OnProperties() {}
    virtual void OnCopy() {}
    virtual void OnPaste() {}
    // Fills the context menu; the default has the view commands.
    virtual void BuildContextMenu(QMenu& menu);
    // Places the children after a view change.
    virtual void LayoutChildren() {}
    // The frame part's fill colour (all but the last row and column).
    virtual QColor FrameColor() const { return QColor(0xFF, 0xF9, 0xA1); }
    virtual QString FrameText() const { return QString::fromUtf8(m_szName); }

    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

    void ShowContextMenu(const QPoint& globalPos);

private:
    void ApplyViewStyle();
    void ApplyViewGeometry();

    CWndInformation m_Information;
    char m_szName[128] = {};
    bool m_bLocked = false;
    bool m_bDragging = false;
    QPoint m_dragOffset;
    HWND m_hNotify = 0;
    int m_nId = 0;
    std::map<std::string, QIcon> m_icons;
};
