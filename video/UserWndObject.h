#pragma once
// One window per user on the main window's client area: the user's name, the picture
// area and the disconnect button; it can be dragged inside the main window.

#include <QFrame>
#include <QPoint>

#include <cstdint>
#include <functional>

#include "platform/winmsg/WinMsg.h"
#include "session/UserInformation.h"

class QLabel;
class QToolButton;

class CUserWndObject : public QFrame {
    Q_OBJECT
public:
    static constexpr int kPictureWidth = 160;
    static constexpr int kPictureHeight = 120;

    // mainWindow receives WM_KILL_USER from the disconnect button.
    CUserWndObject(const CUserInformation& record, HWND mainWindow, QWidget* parent);

    std::uint32_t UserId() const { return m_dwUserId; }
    std::uint32_t GroupId() const { return m_dwGroupId; }
    QString UserName() const;

    // A JPEG picture for this user (copied).
    void ReceivePicture(const std::uint8_t* data, std::uint32_t size);
    std::uint64_t PictureCount() const { return m_nPictures; }

    // Playback hooks, filled in by the voice side.
    std::function<void(const class CPeerMessage&)> onVoice;
    std::function<void()> onStopPlayback;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    std::uint32_t m_dwUserId;
    std::uint32_t m_dwGroupId;
    HWND m_hMain;
    QLabel* m_pName;
    QLabel* m_pPicture;
    QToolButton* m_pDisconnect;
    bool m_bDragging = false;
    QPoint m_dragOffset;
    std::uint64_t m_nPictures = 0;
};
