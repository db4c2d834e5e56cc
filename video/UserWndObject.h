#pragma once
// One window per user on the main window's client area: that user's picture, the
// disconnect and view buttons, the place of the speaker volume bar, the context menu and
// the property sheet. Pictures for the user go to a linked viewer (a share viewer, the
// image page) when one is linked, otherwise to the picture child.

#include <QPointer>

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/winmsg/WinMsg.h"
#include "session/UserInformation.h"
#include "video/PictureWnd.h"
#include "video/WndObject.h"

class CPictureWnd;
class CSoundPlay;
class CVolumeControl;
class QToolButton;

class CUserWndObject : public CWndObject {
    Q_OBJECT
public:
    static constexpr int kPictureId = 1063;
    static constexpr int kVolumeBarWidth = 17;
    static constexpr int kVolumeId = 1064;

    // mainWindow receives WM_KILL_USER from the disconnect button.
    CUserWndObject(const CUserInformation& record, HWND mainWindow, QWidget* parent);
    ~CUserWndObject() override;

    std::uint32_t UserId() const { return m_dwUserId; }
    std::uint32_t GroupId() const { return m_dwGroupId; }
    QString UserName() const;

    // A JPEG picture for this user: handed on (and copied) as WM_COPYDATA.
    void ReceivePicture(const std::uint8_t* data, std::uint32_t size, std::uintptr_t type = 0);
    std::uint64_t PictureCount() const { return m_nPictures; }

    // At most one viewer; linking while one is linked does nothing, unlinking another
    // window keeps the link.
    void LinkViewer(CPictureWnd* viewer);
    void UnlinkViewer(CPictureWnd* viewer);
    CPictureWnd* LinkedViewer() const { return m_pViewer; }

    CPictureWnd* Picture() const { return m_pPicture; }
    // Gives the picture child back after the full-screen window borrowed it.
    void ReclaimPicture();
    // The right-edge strip where the speaker volume bar sits.
    QRect VolumeBarRect() const;
    // Creates the knob in the volume strip with the pictures of the assets folder.
    void CreateVolumeControl(const QString& assetsFolder);
    // Binds the knob to the user's playback, which the window does not keep alive (none:
    // no sound, the knob stays idle).
    void BindPlayback(std::weak_ptr<CSoundPlay> play);
    CVolumeControl* VolumeControl() const { return m_pVolume; }
    // Null without sound, or once the playback's owner has let it go.
    CSoundPlay* Playback() const { return m_play.lock().get(); }

    void FullScreen();
    // Builds the property sheet; the voice side adds its page through onAddPages.
    void ShowProperties();

    // Still image hooks (the camera image page side): choose a file, paste, back to camera,
    // and whether paste / back-to-camera are offered.
    std::function<void()> onChooseStill;
    std::function<void()> onPasteStill;
    std::function<void()> onBackToCamera;
    std::function<bool()> canPasteStill;
    std::function<bool()> canBackToCamera;

    void OnCommand(int command) override;

protected:
    void OnCopy() override;
    void OnProperties() override { ShowProperties(); }
    void OnPaste() override;
    void BuildContextMenu(QMenu& menu) override;
    void LayoutChildren() override;
    QColor FrameColor() const override;
    // The end of a drag: the window comes to the top.
    void OnPrimaryAction() override { raise(); }

private:
    void StepView();

    std::uint32_t m_dwUserId;
    std::uint32_t m_dwGroupId;
    bool m_bOwnSession;
    QString m_strUserName;
    HWND m_hMain;
    CPictureWnd* m_pPicture;
    QPointer<CPictureWnd> m_pViewer;
    QToolButton* m_pDisconnect;
    QToolButton* m_pViewButton;
    std::uint64_t m_nPictures = 0;
    CVolumeControl* m_pVolume = nullptr;
    std::weak_ptr<CSoundPlay> m_play;  // the message hub's
};
