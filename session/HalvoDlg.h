#pragma once
// The main window: the user windows on its client area, the six tool buttons, the menus
// and the tray icon. The message hub it owns does the work; this class draws and asks.

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

#include "session/HalvoHub.h"
#include "share/DlgConnect.h"
#include "share/MainPropertySeet.h"

class CAppShare;
namespace morvika::capture {
class PortalScreenCast;
}
class CJpegControl;
class CStillImage;
class CCapterDlg;
class CChatDlg;
class CSharesListDlg;
class CCameraView;
class CUserWndObject;
class CDlgMicTest;
class CMicIconWnd;

class CHalvoApp;
class CPortMapping;
class CLoginDlg;
namespace net {
class LanServices;
struct LanSession;
}  // namespace net
class QMenu;
class QSystemTrayIcon;
class CBmpButton;
class CDiskTop;

struct MainWindowOptions {
    std::uint16_t port = peer::kDefaultPort;
    bool startMinimized = false;
    peer::ServiceOptions service;
};

// The main window's buttons by control id (the control channel presses them by number).
enum MainButton : int {
    kButtonHide = 1031,
    kButtonLogin = 1032,
    kButtonHelp = 1035,
    kButtonChat = 1036,
    kButtonShares = 1037,
    kButtonShareWindow = 1062,
};

class CHalvoDlg : public QWidget, public IHubUi {
    Q_OBJECT
public:
    static constexpr const char* kProductName = QT_TR_NOOP("ソラネム");
    // Menu items by their numbers (the control channel chooses them by number).
    enum MenuItem : int {
        kMenuAbout = 16,
        kMenuProperties = 32780,
        kMenuArrange = 32792,
        kMenuOpen = 32813,
        kMenuHelpPage = 32820,
        kMenuExit = 57665,
    };

    CHalvoDlg(CHalvoApp& app, CUserInformation* hostRecord, CUserInformation* clientRecord, MainWindowOptions options);
    ~CHalvoDlg() override;

    // Creates everything, hosts the own session and shows the window (or keeps it in the
    // tray when started minimised).
    void OnInitDialog();

    // Show (1) or hide into the tray (0); where the desktop has no tray, 0 minimises to the
    // task bar instead, so that the window can always be found again.
    void ShowMain(int show) override;
    bool HasTray() const;
    // Asks before leaving; true when the user agreed and the window is closing.
    bool ConfirmExit();
    // Leaves without asking (the control channel's quit).
    void ExitWithoutAsking();
    void ArrangeUserWindows();
    void PlaceNewUserWindow(CUserWndObject& window);
    // Help mode: the next click on a control shows its help text.
    void EnterHelpMode();
    // The help pop-up of a control (or of the nearest parent that has a text); null when none.
    QWidget* ShowHelp(QWidget* control, const QPoint& globalPos);
    // On Wayland: the compositor's own interactive resize from the grip; false where there is none.
    bool ResizeBySystem();
    // The resize tool from the grip; with a point, the drag ends there at once. Without one,
    // the press that started it goes on: its moves and its release drive the tool.
    void RunResizeTool(const QPoint* dragTo = nullptr);
    QRect GripRect() const;
    // The main menu's ソラネムについて: the user's guide, opened by the desktop.
    void OpenHelpPage();
    // The top-level windows the main window owns, by name (main, chat, preview, viewer, shares).
    QWidget* OwnedWindow(const QString& name);
    // The main menu's プロパティ: the two-page settings sheet.
    void OpenSettings();
    // An item of the main window's own menu (32792, 16, 32780, 32820, 57665) or of the tray
    // menu (32813, 57665) as chosen; false when there is no such item.
    bool OnMenuCommand(int id);
    // The help page "ソラネムについて" hands to the desktop.
    QString HelpPagePath() const;
    // The first-start wizard, run before the main window exists.
    static void RunSetupWizard(CHalvoApp& app);
    // What the settings pages need; main is null before the main window exists.
    static PropertyHost MakePropertyHost(CHalvoApp& app, CHalvoDlg* main);

    CHalvoHub& Hub() { return *m_pHub; }
    CHalvoApp& App() { return m_app; }
    // Whether OnInitDialog has built the window (the control channel starts before it).
    bool IsReady() const { return m_pHub != nullptr; }
    // The windows and objects the control channel drives as a user would (any may be null
    // while the window is being built or torn down).
    struct Parts {
        CChatDlg* chat = nullptr;
        CSharesListDlg* shares = nullptr;
        CDlgConnect* approval = nullptr;  // the approval dialog while it is open
        QWidget* clientArea = nullptr;    // holds the user windows
        CBmpButton* shareButton = nullptr;
        CCameraView* camera = nullptr;
        CAppShare* shareEngine = nullptr;
        CStillImage* still = nullptr;
        CCapterDlg* shareViewer = nullptr;
        CDlgMicTest* micTest = nullptr;  // the microphone test while it runs
    };
    Parts Controlled() const;
    // The camera icon's プロパティ: the camera image page, modal. With `prepare`, the page is
    // handed over before it is shown (the control channel sets its controls and presses OK).
    void ShowCameraPage(const std::function<void(CJpegControl&)>& prepare = {});
    // The user window of (user id, group id), or null.
    CUserWndObject* FindUserWnd(std::uint32_t userId, std::uint32_t groupId) const;
    // The share button: starts sharing, or stops it while sharing. False (after telling the
    // user) when windows cannot be captured on this desktop.
    bool OnShareButton();

    // The microphone icon: a left click toggles the mute bit of the voice settings, a right
    // click opens the microphone settings on a copy and stores them on OK.
    void OnMicIconLeftClick();
    void OnMicIconRightClick();
    bool IsMicMuted();
    // The microphone settings dialog on a copy of the voice settings; on OK the copy becomes
    // the session view's record and is stored. configure runs before the dialog is shown and
    // may close it (the control channel drives it so); true when OK closed it.
    bool RunMicControl(const std::function<void(class CMicControl&)>& configure);
    // The microphone test, modal; the open one (or null) while it runs.
    void RunMicTest();

    // The own session port on the home router: "<ip>:<port>", "pending" or "none:<reason>".
    std::string ExternalAddress() const;
    // Where others join this session: the router's address when mapped, else the local one.
    std::string JoinAddress() const;

    // The sessions other users announce on the LAN.
    std::vector<net::LanSession> NearbySessions() const;

    // Receives one line per notable event for the control channel.
    void SetEventSink(std::function<void(const QString&)> sink) { m_eventSink = std::move(sink); }
    void Event(const QString& line);

    // IHubUi
    std::unique_ptr<IUserWindow> CreateUserWindow(const CUserInformation& record) override;
    void ChatReceive(const char* text) override;
    void ChatNotice(const std::string& text) override;
    void EnableShareButton(bool enable) override;
    void ShowMessageBox(const std::string& text, const std::string& caption) override;
    int AskApproval(const std::string& userName, const std::string& message) override;
    void AskYesNo(const std::string& text, const std::string& caption, std::function<void()> onYes) override;
    bool IsMainHidden() const override { return m_bHidden || isMinimized(); }
    void OnShareStart() override;
    void OnShareStop() override;
    void ShowShareViewer(std::uint32_t userId, std::uint32_t groupId) override;
    void HideShareViewer(std::uint32_t userId, std::uint32_t groupId) override;
    void ShowSentPicture(const CPeerMessage& picture) override;
    void OnCameraEvent() override;
    void RefreshCamera() override;

signals:
    void exitRequested();

protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    CBmpButton* AddButton(int id, const char* picture, const QString& help);
    void OnHideButton();
    void OnLoginButton();
    void OnChatButton();
    void OnSharesButton();
    void OnShareWindowButton();
    void CreateTrayIcon();
    void ShowAbout();
    // The main window's rectangle from the settings, on the work area and off other instances'
    // windows; once the window manager has framed it, the frame takes the stored size.
    void PlaceMainWindow();
    void AdoptFrame();
    // An owned window as it opens: where it was when that place is free, else beside the main
    // window and the other open ones; always on the work area.
    void PlaceOwnedWindow(QWidget& window);
    QRect WorkArea() const;
    // The outer rectangle a window will have: its own frame once it has one, else the main
    // window's frame as the best guess.
    QRect OuterRect(const QWidget& window) const;
    // Makes the client area at least width x height where the work area has room (only in
    // whole, unless partial); true when it is that large now.
    bool GrowClientArea(int width, int height, bool partial = true);
    void FinishResize();
    void CreateCameraView();
    void CreateShareWindows();
    // In a Wayland session: asks the ScreenCast portal for the source, then starts sharing.
    void AskPortal();
    void UpdateMicIcon();
    void CreateSharesWindow();
    void StartPortMapping(std::uint16_t port);
    void StartLanServices(std::uint16_t port);
    // Hands the sessions found on the LAN to the open login dialog.
    void OnNearbyChanged();

    CHalvoApp& m_app;
    CUserInformation* m_pHostRecord;
    CUserInformation* m_pClientRecord;
    MainWindowOptions m_options;
    std::unique_ptr<CHalvoHub> m_pHub;
    std::unique_ptr<CPortMapping> m_pPortMapping;
    std::unique_ptr<net::LanServices> m_pLan;
    QPointer<CLoginDlg> m_pLogin;
    std::uint16_t m_nHostedPort = 0;
    QWidget* m_pClient = nullptr;
    CBmpButton* m_pShareButton = nullptr;
    CCameraView* m_pCamera = nullptr;
    std::unique_ptr<morvika::capture::PortalScreenCast> m_pPortal;  // Wayland only; outlives m_pShare
    std::unique_ptr<CAppShare> m_pShare;
    std::string m_strShareUnavailable;  // why windows cannot be captured here; empty when they can
    std::unique_ptr<CStillImage> m_pStill;
    std::function<void(CJpegControl&)> m_cameraPagePrepare;
    CCapterDlg* m_pSharePreview = nullptr;
    CCapterDlg* m_pShareViewer = nullptr;
    CChatDlg* m_pChat = nullptr;
    CSharesListDlg* m_pShares = nullptr;
    QPointer<CDlgConnect> m_pApproval;
    CMicIconWnd* m_pMicIcon = nullptr;
    QPointer<CDlgMicTest> m_pMicTest;
    QSystemTrayIcon* m_pTray = nullptr;
    QMenu* m_pTrayMenu = nullptr;
    bool m_bHidden = false;
    bool m_bShowAsHide = false;  // started minimised and not shown yet
    bool m_bClosing = false;
    bool m_bHelpMode = false;
    QRect m_placedRect;     // the outer rectangle the main window opened with
    int m_nFrameTries = 0;  // looks at the window manager's frame left before giving up
    bool m_bPlacing = false;
    QPointer<CDiskTop> m_pResizeTool;
    QPixmap m_grip;
    QPixmap m_statusBar;
    QPixmap m_toolBar;
    QPixmap m_titleIcon;
    std::function<void(const QString&)> m_eventSink;
};
