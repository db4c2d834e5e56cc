#include "session/HalvoDlg.h"

#include <QGuiApplication>
#include <QWindow>
#include <QAbstractButton>
#include <QApplication>
#include <cstring>
#include <QBitmap>
#include <QClipboard>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QDateTime>
#include <QDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <vector>

#include "app/HalvoApp.h"
#include "app/Log.h"
#include "app/Version.h"
#include "share/ChatDlg.h"
#include "share/AppShare.h"
#include "share/DlgConnect.h"
#include "session/MicIconWnd.h"
#include "session/PortMapping.h"
#include "session/WindowPlace.h"
#include "platform/capture/ProgramWindows.h"
#include "platform/net/LanServices.h"
#include "platform/winmsg/WinMsgPayload.h"
#include "share/DiskTop.h"
#include "share/HelpDlg.h"
#include "share/LoginDlg.h"
#include "share/SharesListDlg.h"
#include "share/PortalShareSource.h"
#include "share/X11ShareSource.h"
#include "platform/capture/PortalScreenCast.h"
#include "ui/BmpButton.h"
#include "ui/DialogRegistry.h"
#include "ui/DlgMorvika.h"
#include "ui/NoticeBox.h"
#include "video/CameraDevices.h"
#include "video/CameraView.h"
#include "video/CapterDlg.h"
#include "video/JpegControl.h"
#include "video/StillImage.h"
#include "video/PictureWnd.h"
#include "video/UserWndObject.h"
#include "voice/DlgMicTest.h"
#include "voice/MicControl.h"
#include "voice/VoiceBindings.h"

namespace {

// The tool row (the height of its background picture) and the status bar below it.
constexpr int kToolRowHeight = 40;
constexpr int kStatusHeight = 20;
// Where the window manager takes long to frame a new window, the frame is waited for this often.
constexpr int kFrameTries = 40;
constexpr int kFrameWaitMs = 50;
// How long after opening a window's frame and first picture may still move it: from its
// showing, and again from the moment its frame appears, which a busy manager may give it only
// seconds later (the frame then moves it onto a neighbour). Without a frame by the longest
// wait there is no manager to wait for.
constexpr qint64 kSettleMs = 3000;
constexpr qint64 kLongestFrameWaitMs = 15000;
// Smaller is a window the platform has not given its size yet.
constexpr int kRealWindow = 16;
constexpr int kUserGap = 4;
constexpr int kUserTop = 32;  // below the camera icon's strip

// Whether the manager's frame round a window is known. While a busy manager builds the
// frame it reads as a sliver (1x1) that does not hold the window: placing others by it
// would put them on top of the window.
bool FrameKnown(const QWidget& window)
{
    const QRect frame = window.frameGeometry();
    return frame != window.geometry() && frame.contains(window.geometry());
}

// The frame's widths round a client rectangle.
QMargins Between(const QRect& outer, const QRect& inner)
{
    return QMargins(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                    outer.bottom() - inner.bottom());
}

QString FromUtf8(const std::string& text)
{
    return QString::fromUtf8(text.c_str());
}

QRect ToQRect(const WindowRect& r)
{
    return QRect(QPoint(r.left, r.top), QPoint(r.right - 1, r.bottom - 1));
}

WindowRect ToWindowRect(const QRect& r)
{
    return WindowRect{r.left(), r.top(), r.right() + 1, r.bottom() + 1};
}

// A user window as the hub owns it; destroying it removes the widget.
class UserWindowHandle : public IUserWindow {
public:
    UserWindowHandle(CUserWndObject* window, CHalvoDlg& owner) : m_window(window), m_owner(owner) {}
    ~UserWindowHandle() override
    {
        m_owner.update();  // the status bar's count
        if (m_window) {
            m_owner.Event(QStringLiteral("event user-removed %1 %2")
                              .arg(m_window->UserId(), 0, 16)
                              .arg(m_window->GroupId(), 0, 16));
            m_window->hide();
            m_window->deleteLater();
        }
    }
    void ReceivePicture(const std::uint8_t* data, std::uint32_t size) override
    {
        if (m_window) m_window->ReceivePicture(data, size);
    }

private:
    QPointer<CUserWndObject> m_window;
    CHalvoDlg& m_owner;
};

}  // namespace

CHalvoDlg::CHalvoDlg(CHalvoApp& app, CUserInformation* hostRecord, CUserInformation* clientRecord,
                     MainWindowOptions options)
    : m_app(app),
      m_pHostRecord(hostRecord),
      m_pClientRecord(clientRecord),
      m_options(std::move(options))
{
    setObjectName(QStringLiteral("CHalvoDlg"));
    m_bShowAsHide = m_options.startMinimized;
}

CHalvoDlg::~CHalvoDlg()
{
    if (m_pTray) m_pTray->hide();
    // The outer rectangle, frame included, as it opens again next time.
    m_app.SetMainPosition(ToWindowRect(frameGeometry()));
    if (m_pShare) m_pShare->Stop();
    // The camera goes before the hub its frames are handed to.
    delete m_pCamera;
    m_pCamera = nullptr;
    // The shared files window watches the hub's exchange: it goes before the hub.
    if (m_pShares) m_pShares->CloseTransfers();
    delete m_pShares;
    m_pShares = nullptr;
    // The router's mapping and the LAN announcement go with the session they lead to.
    m_pPortMapping.reset();
    m_pLan.reset();
    // The session view goes first: it closes both sessions while the windows still exist.
    m_pHub.reset();
    delete m_pChat;
    m_pChat = nullptr;
}

void CHalvoDlg::OnInitDialog()
{
    const QString assets = FromUtf8(m_app.GetAssetsFolder());
    CDlgMorvika::SetDefaultAssetsFolder(assets);
    setWindowIcon(QIcon(assets + QStringLiteral("Pictures/Standard/Icon/Morvika.ico")));

    PlaceMainWindow();
    setWindowTitle(tr(kProductName) + QStringLiteral(" ") + FromUtf8(m_app.IPAddress()) + QStringLiteral(" "));
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, QColor(0xC6, 0xDA, 0x87));  // 8903366 as a colour reference
    setPalette(palette);
    setAutoFillBackground(true);
    const QString frame = assets + QStringLiteral("Pictures/Standard/Frame/");
    m_grip = QPixmap(frame + QStringLiteral("Resize.bmp"));
    m_statusBar = QPixmap(frame + QStringLiteral("StatBar-center.bmp"));
    m_toolBar = QPixmap(frame + QStringLiteral("ToolBar-center.bmp"));
    m_titleIcon = QPixmap(frame + QStringLiteral("TitleIcon.bmp"));

    m_pClient = new QWidget(this);
    m_pClient->setObjectName(QStringLiteral("userArea"));

    // The tool row on its picture, then the status bar that paintEvent draws.
    auto* toolRow = new QWidget(this);
    toolRow->setFixedHeight(kToolRowHeight);
    auto* tools = new QHBoxLayout(toolRow);
    tools->setContentsMargins(4, 4, 4, 4);
    tools->setSpacing(2);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_pClient, 1);
    layout->addWidget(toolRow);
    layout->addSpacing(kStatusHeight);

    m_pHub = std::make_unique<CHalvoHub>(m_app, m_pHostRecord, m_pClientRecord, *this);

    const QString icons = assets + QStringLiteral("Pictures/Standard/Icon/");
    m_pMicIcon =
        new CMicIconWnd(icons + QStringLiteral("Icon_MicN.ico"), icons + QStringLiteral("Icon_MicD.ico"), this);
    m_pMicIcon->setWhatsThis(
        tr("クリックするとマイクをミュートしたり戻したりします。右クリックでマイクの設定を開きます"));
    m_pMicIcon->setToolTip(m_pMicIcon->whatsThis());
    m_pMicIcon->onLeftClick = [this] { OnMicIconLeftClick(); };
    m_pMicIcon->onRightClick = [this] { OnMicIconRightClick(); };
    DialogRegistry::SetControlId(m_pMicIcon, CMicIconWnd::kControlId);
    tools->addWidget(m_pMicIcon);

    // Buttons, tray and the owned windows exist before the session starts, so that every
    // event the session brings finds them.
    struct ButtonDef {
        MainButton id;
        const char* picture;
        const char* help;
        void (CHalvoDlg::*onClick)();
    };
    static constexpr ButtonDef defs[] = {
        {kButtonHide, "ButtonExit.bmp", QT_TR_NOOP("メインウインドウを隠してタスクトレイに入れます"),
         &CHalvoDlg::OnHideButton},
        {kButtonLogin, "ButtonLogin.bmp", QT_TR_NOOP("ほかのソラネムに接続します"), &CHalvoDlg::OnLoginButton},
        {kButtonChat, "ButtonChat.bmp", QT_TR_NOOP("文字チャットのウインドウを開閉します"), &CHalvoDlg::OnChatButton},
        {kButtonShares, "ButtonFtp.bmp", QT_TR_NOOP("共有ファイルのウインドウを開閉します"),
         &CHalvoDlg::OnSharesButton},
        {kButtonShareWindow, "ButtonWinSh.bmp", QT_TR_NOOP("自分のウインドウを相手に見せます"),
         &CHalvoDlg::OnShareWindowButton},
        {kButtonHelp, "ButtonHelp.bmp", QT_TR_NOOP("ボタンをクリックするとその説明を表示します"),
         &CHalvoDlg::EnterHelpMode},
    };
    for (const auto& def : defs) {
        CBmpButton* button = AddButton(def.id, def.picture, tr(def.help));
        tools->addWidget(button);
        connect(button, &CBmpButton::clicked, this, def.onClick);
        if (def.id == kButtonShareWindow) m_pShareButton = button;
    }
    tools->addStretch();
    m_pShareButton->setEnabled(false);

    CreateTrayIcon();

    ChatHost chatHost;
    chatHost.userName = [this] { return FromUtf8(m_pHub->View() ? m_pHub->View()->HostRecord().GetUserName() : ""); };
    // The stored or default size; where it opens is chosen as it is shown (PlaceOwnedWindow).
    chatHost.loadRect = [this] { return ToQRect(m_app.GetChatPosition()); };
    chatHost.saveRect = [this](const QRect& r) { m_app.SetChatPosition(ToWindowRect(r)); };
    chatHost.playSound = [this] { m_app.PlayChatSound(); };
    chatHost.lineAdded = [this](const QString& line) { Event(QStringLiteral("event chat ") + line); };
    m_pChat = new CChatDlg(chatHost, m_pHub->Handle(), this);
    m_pChat->setWindowFlag(Qt::Window, true);
    m_pChat->installEventFilter(this);
    CreateSharesWindow();

    if (m_app.GetTopmost() != 0) setWindowFlag(Qt::WindowStaysOnTopHint, true);

    if (!m_bShowAsHide) {
        show();
        AdoptFrame();
    } else if (HasTray()) {
        m_bHidden = true;
    } else {
        // Nothing to bring it back from: the task bar holds it.
        m_bShowAsHide = false;
        showMinimized();
        AdoptFrame();
    }
    m_pHub->SetSoundBackend(CHalvoVoice::ConnectSoundServer());
    CreateShareWindows();
    m_pHub->Start(m_options.port, m_options.service);
    CreateCameraView();
    UpdateMicIcon();
    m_pStill = std::make_unique<CStillImage>(m_pHub->Handle(), m_app.GetWorkingFolder(), m_pCamera);
    m_pStill->InstallSamples(m_app.GetAssetsFolder());
    // The sharing engine: its frames go to the hub like the camera's.
    // In a Wayland session only the desktop's portal can show other programs' windows.
    std::unique_ptr<IShareSource> source;
    if (morvika::capture::PortalScreenCast::SessionIsWayland()) {
        m_pPortal = std::make_unique<morvika::capture::PortalScreenCast>();
        m_pPortal->SetOnEnded([this] {
            if (m_pShare && m_pShare->IsSharing()) PostMessage(m_pHub->Handle(), WM_SHARE_STOP, 0, 0);
        });
        source = std::make_unique<CPortalShareSource>(*m_pPortal);
    } else {
        source = CX11ShareSource::Open(&m_strShareUnavailable);
    }
    m_pShare = std::make_unique<CAppShare>(std::move(source));
    m_pShare->Init(m_pHub->Handle(), 0);
    if (m_pPortal == nullptr) {
        // What the portal shares the user picked; X11 windows are told apart by their ids.
        m_pShare->SetMainWindowId(winId());
        m_pShare->SetExcludeWnd(m_pSharePreview->winId());
    }
    if (m_pCamera) m_pShare->SetJpegSettings(&m_pCamera->Pipeline().ControlData());
    m_pShareButton->setEnabled(m_pHub->UserWindowCount() >= 2);
    const auto* service = m_pHub->View()->HostWrapper().Peer();
    if (const std::string& failure = m_pHub->View()->HostFailure(); !failure.empty()) {
        // One line: the box's text also travels as a control channel event.
        ShowMessageBox(tr("ポート %1 で待ち受けできないため、ほかの人から接続できません（%2）")
                           .arg(QString::number(m_options.port), FromUtf8(failure))
                           .toStdString(),
                       tr("ホスト").toStdString());
        Event(QStringLiteral("event host-failed %1 ").arg(m_options.port) + FromUtf8(failure));
    }
    m_nHostedPort = service ? service->BoundPort() : 0;
    // After hosting, so that the port is known; the router is asked on the mapper's own thread.
    StartPortMapping(m_nHostedPort);
    StartLanServices(m_nHostedPort);
    Event(QStringLiteral("event ready %1").arg(m_nHostedPort));
    // First use: the microphone's silence is measured before anything else is asked. It runs
    // from the event loop, so that quitting while it is open ends the program.
    if (!m_app.HasNonVoice()) QTimer::singleShot(0, this, [this] { RunMicTest(); });
}

void CHalvoDlg::StartPortMapping(std::uint16_t port)
{
    m_pPortMapping = std::make_unique<CPortMapping>();
    m_pPortMapping->onChange = [this](const net::PortMapping& mapping) {
        const QString tip = tr("%1\n接続先: %2").arg(tr(kProductName), FromUtf8(JoinAddress()));
        if (m_pTray) m_pTray->setToolTip(tip);
        setToolTip(tip);
        update();  // the status bar's address
        if (mapping.state == net::PortMapping::State::Mapped) {
            Event(QStringLiteral("event port-mapped ") + FromUtf8(mapping.Text()));
        }
    };
    m_pPortMapping->Start(port, m_app.GetPortMapping() != 0);
}

void CHalvoDlg::StartLanServices(std::uint16_t port)
{
    m_pLan = std::make_unique<net::LanServices>("_morvika._tcp");
    m_pLan->onChange = [this] {
        OnNearbyChanged();
        Event(QStringLiteral("event nearby %1").arg(NearbySessions().size()));
    };
    // Only the user name goes out, never the password.
    if (port != 0) {
        const std::string user = m_app.GetUserName();
        m_pLan->Announce(user, port, {{"user", user}});
    }
}

std::vector<net::LanSession> CHalvoDlg::NearbySessions() const
{
    return m_pLan ? m_pLan->Found() : std::vector<net::LanSession>();
}

void CHalvoDlg::OnNearbyChanged()
{
    const auto found = NearbySessions();
    if (m_pLogin) {
        std::vector<NearbySession> nearby;
        for (const auto& session : found) nearby.push_back({session.user, session.JoinAddress()});
        m_pLogin->SetNearby(nearby);
    }
}

std::string CHalvoDlg::ExternalAddress() const
{
    return m_pPortMapping ? m_pPortMapping->Current().Text() : std::string("none:off");
}

std::string CHalvoDlg::JoinAddress() const
{
    if (m_pPortMapping && m_pPortMapping->Current().state == net::PortMapping::State::Mapped) {
        return m_pPortMapping->Current().Text();
    }
    return m_app.IPAddress() + ":" + std::to_string(m_nHostedPort);
}

void CHalvoDlg::UpdateMicIcon()
{
    if (m_pMicIcon != nullptr) m_pMicIcon->SetMuted(IsMicMuted());
}

bool CHalvoDlg::IsMicMuted()
{
    CPlayBoiceView* view = m_pHub ? m_pHub->View() : nullptr;
    return view != nullptr && (ReadSettingWord(view->VoiceConfig().m_dwFlags) & CVoiceClientConfig::kFlagMute) != 0;
}

void CHalvoDlg::OnMicIconLeftClick()
{
    CPlayBoiceView* view = m_pHub ? m_pHub->View() : nullptr;
    if (view == nullptr) return;
    std::uint32_t& flags = view->VoiceConfig().m_dwFlags;
    WriteSettingWord(flags, ReadSettingWord(flags) ^ CVoiceClientConfig::kFlagMute);
    UpdateMicIcon();
}

void CHalvoDlg::OnMicIconRightClick()
{
    RunMicControl({});
}

bool CHalvoDlg::RunMicControl(const std::function<void(CMicControl&)>& configure)
{
    CPlayBoiceView* view = m_pHub ? m_pHub->View() : nullptr;
    if (view == nullptr) return false;
    CVoiceClientConfig copy = view->VoiceConfig();
    CMicControl dialog(copy, m_app.GetCaptureDevice(), m_pHub->Voice().SourceMixer(), view->Capture(), m_app,
                       view->UserCount(), FromUtf8(m_app.GetAssetsFolder()), isVisible() ? this : nullptr);
    bool accepted = false;
    if (configure) {
        configure(dialog);
        accepted = dialog.result() == QDialog::Accepted;
    } else {
        accepted = dialog.exec() == QDialog::Accepted;
    }
    if (!accepted) return false;
    CVoiceClientConfig& record = view->VoiceConfig();
    WriteSettingWord(record.m_dwFlags, copy.m_dwFlags);
    WriteSettingWord(record.m_lRecordVolume, copy.m_lRecordVolume);
    WriteSettingWord(record.m_dwThreshold, copy.m_dwThreshold);
    WriteSettingWord(record.m_dwBufferQuality, copy.m_dwBufferQuality);
    m_app.SetVoiceConfig(copy);
    UpdateMicIcon();
    return true;
}

CHalvoDlg::Parts CHalvoDlg::Controlled() const
{
    return {m_pChat,   m_pShares,      m_pApproval.data(), m_pClient,      m_pShareButton,
            m_pCamera, m_pShare.get(), m_pStill.get(),     m_pShareViewer, m_pMicTest.data()};
}

void CHalvoDlg::RunMicTest()
{
    if (m_pMicTest) return;
    CPlayBoiceView* view = m_pHub ? m_pHub->View() : nullptr;
    CDlgMicTest dialog(m_app, view ? view->Capture() : nullptr, isVisible() ? this : nullptr);
    m_pMicTest = &dialog;
    Event(QStringLiteral("event mictest"));
    dialog.exec();
    m_pMicTest = nullptr;
}

CBmpButton* CHalvoDlg::AddButton(int id, const char* picture, const QString& help)
{
    auto* button = new CBmpButton(this);
    button->LoadBitmapFile(FromUtf8(m_app.GetAssetsFolder()) + QStringLiteral("Pictures/Standard/Button/") +
                           QString::fromLatin1(picture));
    button->Create(this, id, 0, 0, -1);
    button->setFixedSize(button->FrameSize());
    button->setToolTip(help);
    button->setWhatsThis(help);
    return button;
}

void CHalvoDlg::CreateTrayIcon()
{
    const QString assets = FromUtf8(m_app.GetAssetsFolder());
    m_pTray = new QSystemTrayIcon(QIcon(assets + QStringLiteral("Pictures/Standard/Icon/Icon_Task.ico")), this);
    m_pTray->setToolTip(tr(kProductName));
    m_pTrayMenu = new QMenu(this);
    m_pTrayMenu->addAction(tr("開く"), this, [this] { OnMenuCommand(kMenuOpen); });
    m_pTrayMenu->addAction(tr("常駐を解除し終了"), this, [this] { OnMenuCommand(kMenuExit); });
    m_pTray->setContextMenu(m_pTrayMenu);
    connect(m_pTray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger) ShowMain(1);
    });
    if (QSystemTrayIcon::isSystemTrayAvailable()) m_pTray->show();
}

bool CHalvoDlg::HasTray() const
{
    return m_pTray != nullptr && QSystemTrayIcon::isSystemTrayAvailable();
}

void CHalvoDlg::ShowMain(int show)
{
    if (show != 0) {
        const bool first = m_bShowAsHide || !isVisible();
        m_bShowAsHide = false;
        m_bHidden = false;
        if (isMinimized()) {
            showNormal();
        } else {
            this->show();
        }
        raise();
        activateWindow();
        if (first) AdoptFrame();
        PostMessage(m_pHub->Handle(), WM_CAMERA_REFRESH, 0, 0);
    } else if (HasTray()) {
        m_bHidden = true;
        hide();
    } else {
        // The state the window manager last reported may lag behind a show just before: from
        // a plain state, the minimising is always asked for.
        setWindowState(windowState() & ~Qt::WindowMinimized);
        showMinimized();
    }
}

bool CHalvoDlg::ConfirmExit()
{
    QMessageBox box(QMessageBox::Warning, tr("ソラネムを終了"), tr("常駐を解除し、終了します。"),
                    QMessageBox::Ok | QMessageBox::Cancel, isVisible() ? this : nullptr);
    box.setDefaultButton(QMessageBox::Cancel);
    // Driven by the control channel as the dialog "MessageBox" with OK 1 and Cancel 2.
    box.setObjectName(QStringLiteral("MessageBox"));
    DialogRegistry::SetControlId(box.button(QMessageBox::Ok), 1);
    DialogRegistry::SetControlId(box.button(QMessageBox::Cancel), 2);
    NoticeBox::FitCaption(box);
    QTimer::singleShot(0, &box, [&box] { DialogRegistry::Opened(&box); });
    if (box.exec() != QMessageBox::Ok) return false;
    ExitWithoutAsking();
    return true;
}

void CHalvoDlg::ExitWithoutAsking()
{
    if (m_pCamera) m_pCamera->Stop();
    m_bClosing = true;
    emit exitRequested();
}

void CHalvoDlg::closeEvent(QCloseEvent* event)
{
    if (m_bClosing) {
        event->accept();
        return;
    }
    event->ignore();
    ConfirmExit();
}

void CHalvoDlg::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    const auto item = [this, &menu](const QString& text, int id) {
        menu.addAction(text, this, [this, id] { OnMenuCommand(id); });
    };
    item(tr("ウインドウをタイル状に整列"), kMenuArrange);
    item(tr("バージョン情報"), kMenuAbout);
    item(tr("プロパティ"), kMenuProperties);
    item(tr("ソラネムについて"), kMenuHelpPage);
    menu.addSeparator();
    item(tr("終了"), kMenuExit);
    menu.exec(event->globalPos());
}

bool CHalvoDlg::OnMenuCommand(int id)
{
    switch (id) {
    case kMenuArrange: ArrangeUserWindows(); return true;
    case kMenuAbout: ShowAbout(); return true;
    case kMenuProperties: OpenSettings(); return true;
    case kMenuHelpPage: OpenHelpPage(); return true;
    case kMenuOpen: ShowMain(1); return true;
    case kMenuExit: ConfirmExit(); return true;
    default: return false;
    }
}

namespace {

// The names of the sound devices of one kind (0 playback, 1 capture), up to the first empty one.
std::vector<std::string> SoundDeviceNames(morvika::sound::ISoundBackend* running, int kind)
{
    std::vector<std::string> names;
    // The main window's connection when there is one; before it, a connection of our own.
    std::shared_ptr<morvika::sound::ISoundBackend> own;
    if (running == nullptr) {
        own = CHalvoVoice::ConnectSoundServer();
        running = own.get();
    }
    if (running == nullptr) return names;
    CDirectSoundDriverData list(*running, kind);
    list.GetSoundDriverGUID(nullptr);
    const SoundDriverEntry* table = list.GetTable();
    for (int i = 0; i < list.Count(); ++i) {
        const char* description = table[i].description;
        names.emplace_back(description, strnlen(description, sizeof table[i].description));
    }
    return names;
}

}  // namespace

PropertyHost CHalvoDlg::MakePropertyHost(CHalvoApp& app, CHalvoDlg* main)
{
    PropertyHost host;
    host.app = &app;
    host.cameras = [] {
        std::vector<CameraEntry> entries;
        for (const CameraRecord& record : EnumerateCameras()) entries.push_back({record.index, record.name});
        return entries;
    };
    host.captureDevices = [] { return SoundDeviceNames(nullptr, 1); };
    host.playbackDevices = [] { return SoundDeviceNames(nullptr, 0); };
    if (main != nullptr) {
        QPointer<CHalvoDlg> window(main);
        auto backend = [window]() -> morvika::sound::ISoundBackend* {
            return window && window->m_pHub ? window->m_pHub->Voice().Backend() : nullptr;
        };
        host.captureDevices = [backend] { return SoundDeviceNames(backend(), 1); };
        host.playbackDevices = [backend] { return SoundDeviceNames(backend(), 0); };
        host.switchCamera = [window](const std::string& name) {
            if (!window || window->m_pCamera == nullptr) return;
            window->m_pCamera->Stop();
            window->m_pCamera->Teardown();
            window->m_pCamera->SetDeviceName(name);
            window->m_pCamera->Run();
        };
        host.userNameChanged = [window](const std::string& name) {
            if (window && window->m_pHub && window->m_pHub->View()) window->m_pHub->View()->SetUserName(name);
            if (window && window->m_pLan && window->m_nHostedPort != 0) {
                window->m_pLan->Announce(name, window->m_nHostedPort, {{"user", name}});
            }
        };
        host.applyTopmost = [window](bool topmost) {
            if (!window) return;
            const bool visible = window->isVisible();
            window->setWindowFlag(Qt::WindowStaysOnTopHint, topmost);
            if (visible) window->show();  // changing the flags hides a window
        };
        host.portMappingChanged = [window](bool enabled) {
            if (window && window->m_pPortMapping) window->m_pPortMapping->SetEnabled(enabled);
        };
        host.joinAddress = [window] { return window ? window->JoinAddress() : std::string(); };
    }
    return host;
}

void CHalvoDlg::RunSetupWizard(CHalvoApp& app)
{
    MORVIKA_LOG("LOG   CHalvoApp::InitInstance()  MainProperty Start \n");
    {
        CMainPropertySeet wizard(MakePropertyHost(app, nullptr), true, FromUtf8(app.GetAssetsFolder()));
        wizard.exec();
    }
    // Once per user, finished or cancelled.
    app.SetInitState(1);
    MORVIKA_LOG("LOG   CHalvoApp::InitInstance()  MainProperty End \n");
}

void CHalvoDlg::OpenSettings()
{
    CMainPropertySeet sheet(MakePropertyHost(m_app, this), false, FromUtf8(m_app.GetAssetsFolder()), this);
    sheet.exec();
}

QRect CHalvoDlg::GripRect() const
{
    return QRect(width() - 12, height() - 12, 12, 12);
}

void CHalvoDlg::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const int statusTop = height() - kStatusHeight;
    const int toolTop = statusTop - kToolRowHeight;
    if (!m_toolBar.isNull()) painter.drawTiledPixmap(QRect(0, toolTop, width(), kToolRowHeight), m_toolBar);
    if (!m_statusBar.isNull()) painter.drawTiledPixmap(QRect(0, statusTop, width(), kStatusHeight), m_statusBar);
    // The status bar: the program's picture, where others join and how many are here.
    int x = 4;
    if (!m_titleIcon.isNull()) {
        painter.drawPixmap(x, statusTop + (kStatusHeight - m_titleIcon.height()) / 2, m_titleIcon);
        x += m_titleIcon.width() + 4;
    }
    if (m_pHub) {
        const QString text =
            tr("%1  %2  %3 人").arg(tr(kProductName), FromUtf8(JoinAddress())).arg(m_pHub->UserWindowCount());
        const QRect textRect(x, statusTop, GripRect().left() - x - 4, kStatusHeight);
        painter.setPen(QColor(64, 64, 64));
        painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft,
                         fontMetrics().elidedText(text, Qt::ElideRight, textRect.width()));
    }
    if (!m_grip.isNull()) painter.drawPixmap(GripRect().topLeft(), m_grip);
}

void CHalvoDlg::EnterHelpMode()
{
    m_bHelpMode = true;
    grabMouse(Qt::WhatsThisCursor);
}

QWidget* CHalvoDlg::ShowHelp(QWidget* control, const QPoint& globalPos)
{
    m_bHelpMode = false;
    releaseMouse();
    for (QWidget* w = control; w != nullptr && w != this; w = w->parentWidget()) {
        if (w->whatsThis().isEmpty()) continue;
        auto* help = new CHelpDlg(w->whatsThis(), this);
        help->move(globalPos + QPoint(8, 8));
        help->show();
        return help;
    }
    return nullptr;
}

void CHalvoDlg::mousePressEvent(QMouseEvent* event)
{
    const QPoint global = event->globalPosition().toPoint();
    if (m_bHelpMode) {
        QWidget* target = childAt(mapFromGlobal(global));
        ShowHelp(target, global);
        return;
    }
    if (event->button() == Qt::LeftButton && GripRect().contains(event->position().toPoint())) {
        if (ResizeBySystem()) return;
        RunResizeTool();
        if (m_pResizeTool) m_pResizeTool->Track(global);
        return;
    }
    QWidget::mousePressEvent(event);
}

bool CHalvoDlg::ResizeBySystem()
{
    // A Wayland compositor shows no other program's pixels and places windows itself, so the
    // full-screen tool would paint an empty screen: the compositor resizes the window instead,
    // no smaller than the tool's rules allow (the user windows stay inside).
    if (QGuiApplication::platformName() != QStringLiteral("wayland") || windowHandle() == nullptr) return false;
    std::vector<WindowRect> peers;
    for (auto* window : m_pClient->findChildren<CUserWndObject*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (window->isHidden()) continue;
        const QRect r(window->mapTo(this, QPoint(0, 0)), window->size());
        peers.push_back({r.left(), r.top(), r.right() + 1, r.bottom() + 1});
    }
    const WindowRect least =
        CDiskTop::AdjustFrame(QPoint(0, 0), QPoint(0, 0), peers, {0, 0, QWIDGETSIZE_MAX, QWIDGETSIZE_MAX});
    setMinimumSize(least.right - least.left, least.bottom - least.top);
    return windowHandle()->startSystemResize(Qt::RightEdge | Qt::BottomEdge);
}

// The press on the grip keeps the mouse: its moves and its release come here, wherever the
// mouse is, and drive the resize tool, so that one drag does the whole resize.
void CHalvoDlg::mouseMoveEvent(QMouseEvent* event)
{
    if (m_pResizeTool && (event->buttons() & Qt::LeftButton)) {
        m_pResizeTool->Track(event->globalPosition().toPoint());
        return;
    }
    QWidget::mouseMoveEvent(event);
}

void CHalvoDlg::mouseReleaseEvent(QMouseEvent* event)
{
    if (m_pResizeTool && event->button() == Qt::LeftButton) {
        m_pResizeTool->Drag(event->globalPosition().toPoint());
        return;
    }
    QWidget::mouseReleaseEvent(event);
}

void CHalvoDlg::RunResizeTool(const QPoint* dragTo)
{
    if (m_pResizeTool) return;
    const QPoint topLeft = frameGeometry().topLeft();
    auto peers = [this] {
        std::vector<WindowRect> rects;
        for (auto* window : m_pClient->findChildren<CUserWndObject*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (window->isHidden()) continue;
            const QRect r(window->mapToGlobal(QPoint(0, 0)), window->size());
            rects.push_back({r.left(), r.top(), r.right() + 1, r.bottom() + 1});
        }
        return rects;
    };
    // Not modal: a modal window would take the mouse events of the press that opened it, and
    // the main window, blocked, would never see the drag.
    m_pResizeTool = new CDiskTop(topLeft, peers, this);
    m_pResizeTool->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_pResizeTool, &QDialog::finished, this, [this](int result) {
        if (result == QDialog::Accepted) FinishResize();
        if (m_pResizeTool) m_pResizeTool->close();
        m_pResizeTool = nullptr;
    });
    m_pResizeTool->show();
    if (dragTo != nullptr) m_pResizeTool->Drag(*dragTo);
}

void CHalvoDlg::FinishResize()
{
    const QPoint topLeft = frameGeometry().topLeft();
    const QPoint bottomRight = m_pResizeTool->BottomRight();
    // The frame's size becomes the window's outer size.
    const QSize frameExtra = frameGeometry().size() - size();
    resize(bottomRight.x() - topLeft.x() - frameExtra.width(), bottomRight.y() - topLeft.y() - frameExtra.height());
    m_placedRect = QRect(topLeft, QSize(bottomRight.x() - topLeft.x(), bottomRight.y() - topLeft.y()));
}

void CHalvoDlg::ShowAbout()
{
    const std::uint32_t v = GetFileVersion(false);
    QMessageBox box(QMessageBox::Information, tr("バージョン情報"),
                    tr("%1 (Morvika) %2.%3.%4.%5\nほかの人が接続できるアドレス: %6")
                        .arg(tr(kProductName))
                        .arg(v >> 24)
                        .arg((v >> 16) & 0xFF)
                        .arg((v >> 8) & 0xFF)
                        .arg(v & 0xFF)
                        .arg(FromUtf8(JoinAddress())),
                    QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("CAboutDlg"));
    DialogRegistry::SetControlId(box.button(QMessageBox::Ok), 1);
    QTimer::singleShot(0, &box, [&box] { DialogRegistry::Opened(&box); });
    box.exec();
}

QString CHalvoDlg::HelpPagePath() const
{
    return FromUtf8(m_app.GetAssetsFolder()) + QStringLiteral("Help/index.html");
}

void CHalvoDlg::OpenHelpPage()
{
    const QString page = HelpPagePath();
    if (!QFileInfo::exists(page)) {
        MORVIKA_LOG("ERROR CHalvoDlg::OpenHelpPage() ヘルプがない %s\n", page.toUtf8().constData());
        ShowMessageBox(tr("ヘルプのページが見つかりません（%1）。").arg(page).toStdString(),
                       tr("ソラネムについて").toStdString());
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(page))) {
        MORVIKA_LOG("ERROR CHalvoDlg::OpenHelpPage() ヘルプを開けない %s\n", page.toUtf8().constData());
        ShowMessageBox(tr("ヘルプのページを開けません。ブラウザで %1 を開いてください。").arg(page).toStdString(),
                       tr("ソラネムについて").toStdString());
    }
}

QWidget* CHalvoDlg::OwnedWindow(const QString& name)
{
    if (name == QStringLiteral("main")) return this;
    if (name == QStringLiteral("chat")) return m_pChat;
    if (name == QStringLiteral("preview")) return m_pSharePreview;
    if (name == QStringLiteral("viewer")) return m_pShareViewer;
    if (name == QStringLiteral("shares")) return m_pShares;
    return nullptr;
}

QRect CHalvoDlg::WorkArea() const
{
    const QScreen* where = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
    return where != nullptr ? where->availableGeometry() : QRect();
}

QRect CHalvoDlg::OuterRect(const QWidget& window) const
{
    if (FrameKnown(window)) return window.frameGeometry();
    if (&window == this) return geometry();
    // Not framed yet: the main window's frame is the best guess of the one to come.
    const QMargins guess = FrameKnown(*this) ? Between(frameGeometry(), geometry()) : QMargins();
    return window.geometry().marginsAdded(guess);
}

void CHalvoDlg::PlaceMainWindow()
{
    const QRect work = WorkArea();
    QRect outer = WindowPlace::FitOnto(ToQRect(m_app.GetMainPosition()), work);
    // Another instance of the same settings opens at the same place: this one goes beside it.
    std::vector<QPoint> others;
    for (const auto& [x, y] : morvika::capture::OtherProcessWindows(QGuiApplication::applicationName().toStdString())) {
        others.emplace_back(x, y);
    }
    outer.moveTopLeft(WindowPlace::Cascade(outer.topLeft(), outer.size(), others, work));
    m_placedRect = outer;
    // The position counts the frame in; until the window manager has framed the window, the
    // client takes the whole size (AdoptFrame gives the frame its share).
    move(outer.topLeft());
    resize(outer.size());
}

void CHalvoDlg::AdoptFrame()
{
    const QSize extra = frameGeometry().size() - size();
    if (!FrameKnown(*this)) {
        // No frame yet (the manager is slow) or none at all (no manager, offscreen).
        if (m_nFrameTries < kFrameTries) {
            ++m_nFrameTries;
            QTimer::singleShot(kFrameWaitMs, this, &CHalvoDlg::AdoptFrame);
        }
        return;
    }
    m_nFrameTries = kFrameTries;
    if (m_placedRect.isEmpty()) return;
    resize(m_placedRect.size() - extra);
    move(m_placedRect.topLeft());
    m_placedRect = QRect();  // done: from here on the window is where the user puts it
}

void CHalvoDlg::PlaceOwnedWindow(QWidget& window)
{
    const QRect work = WorkArea();
    // Where it was: its own place once it has been open, else the stored one, if any.
    QRect outer = OuterRect(window);
    bool hadPlace = true;
    if (!window.property("morvikaPlaced").toBool()) {
        window.setProperty("morvikaPlaced", true);
        const char* key = &window == m_pChat ? "StringChat" : "WindowCapter";
        hadPlace = m_app.HasPosition(key);
        if (hadPlace) {
            // Stored is the client rectangle; the frame goes round it.
            const QRect client = ToQRect(&window == m_pChat ? m_app.GetChatPosition() : m_app.GetCapturePosition());
            outer = client.marginsAdded(Between(outer, window.geometry()));
        }
    }
    const QRect main = OuterRect(*this);
    std::vector<QRect> taken;
    for (QWidget* other : {static_cast<QWidget*>(m_pChat), static_cast<QWidget*>(m_pSharePreview),
                           static_cast<QWidget*>(m_pShareViewer), static_cast<QWidget*>(m_pShares)}) {
        if (other != nullptr && other != &window && other->isVisible()) taken.push_back(OuterRect(*other));
    }
    const bool free = hadPlace && work.contains(outer) && !outer.intersects(main) &&
                      std::none_of(taken.begin(), taken.end(), [&](const QRect& r) { return r.intersects(outer); });
    if (!free) outer = WindowPlace::Beside(outer.size(), main, taken, work);
    // The client's own rectangle: where the manager puts the frame for a requested frame
    // position differs between managers, round a client it does not.
    const QMargins frame = Between(OuterRect(window), window.geometry());
    m_bPlacing = true;
    window.setGeometry(outer.marginsRemoved(frame));
    m_bPlacing = false;
}

bool CHalvoDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (!watched->isWidgetType() || m_bPlacing) return QWidget::eventFilter(watched, event);
    auto* window = static_cast<QWidget*>(watched);
    if (!window->isWindow()) return QWidget::eventFilter(watched, event);
    if (event->type() == QEvent::Show) {
        PlaceOwnedWindow(*window);
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        window->setProperty("morvikaSettle", now + kSettleMs);
        window->setProperty("morvikaFrameBy", now + kLongestFrameWaitMs);
    } else if ((event->type() == QEvent::Resize || event->type() == QEvent::Move) && window->isVisible() &&
               window->width() >= kRealWindow && window->height() >= kRealWindow) {
        // The manager's frame comes after the window was placed, and a share window grows with
        // its first picture: while it settles, a window that now covers another moves on.
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        const qint64 frameBy = window->property("morvikaFrameBy").toLongLong();
        if (frameBy != 0 && FrameKnown(*window)) {
            // The frame has come: it may still move the window for a while.
            window->setProperty("morvikaFrameBy", qint64{0});
            window->setProperty("morvikaSettle",
                                std::max(window->property("morvikaSettle").toLongLong(), now + kSettleMs));
        }
        const bool settling = now < window->property("morvikaSettle").toLongLong() || (frameBy != 0 && now < frameBy);
        const bool grown = event->type() == QEvent::Resize && !event->spontaneous() && window != m_pChat;
        if (settling || grown) PlaceOwnedWindow(*window);
    }
    return QWidget::eventFilter(watched, event);
}

bool CHalvoDlg::GrowClientArea(int width, int height, bool partial)
{
    const QSize client(this->width(), this->height() - kToolRowHeight - kStatusHeight);
    int dx = std::max(0, width - client.width());
    int dy = std::max(0, height - client.height());
    if (dx == 0 && dy == 0) return true;
    const QRect work = WorkArea();
    bool whole = true;
    if (!work.isEmpty()) {
        const QRect outer = frameGeometry();
        const int roomX = std::max(0, work.left() + work.width() - (outer.left() + outer.width()));
        const int roomY = std::max(0, work.top() + work.height() - (outer.top() + outer.height()));
        whole = dx <= roomX && dy <= roomY;
        if (!whole && !partial) return false;
        dx = std::min(dx, roomX);
        dy = std::min(dy, roomY);
    }
    resize(this->width() + dx, this->height() + dy);
    if (!m_placedRect.isEmpty()) m_placedRect.setSize(m_placedRect.size() + QSize(dx, dy));
    return whole;
}

void CHalvoDlg::ArrangeUserWindows()
{
    const int gap = 4;
    int x = gap;
    int y = 32;  // below the camera icon's strip
    int rowHeight = 0;
    for (auto* window : m_pClient->findChildren<CUserWndObject*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (window->isHidden()) continue;  // on its way out; a hidden main window hides none
        if (x > gap && x + window->width() > m_pClient->width()) {
            x = gap;
            y += rowHeight + gap;
            rowHeight = 0;
        }
        window->MoveTo(x, y);  // kept for the window's current view
        x += window->width() + gap;
        rowHeight = std::max(rowHeight, window->height());
    }
}

void CHalvoDlg::PlaceNewUserWindow(CUserWndObject& window)
{
    // The windows the user placed stay put: the newcomer keeps its own place, or takes the
    // first place of the tiling that no other window covers.
    std::vector<QRect> taken;
    for (auto* other : m_pClient->findChildren<CUserWndObject*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (other != &window && !other->isHidden()) taken.push_back(other->geometry());
    }
    const auto isFree = [&](int x, int y) {
        const QRect place(QPoint(x, y), window.size());
        return std::none_of(taken.begin(), taken.end(), [&](const QRect& r) { return r.intersects(place); });
    };
    const int w = std::max(1, window.width());
    const int h = std::max(1, window.height());
    // The client area's size from the window's, which holds before the layout first ran.
    const int clientWidth = width();
    const int clientHeight = height() - kToolRowHeight - kStatusHeight;
    const auto place = [&](int x, int y) {
        window.MoveTo(x, y);
        // Whoever joins is seen whole: the window grows as far as the work area lets it.
        GrowClientArea(x + w + kUserGap, y + h + kUserGap);
    };
    if (isFree(window.x(), window.y())) {
        place(window.x(), window.y());
        return;
    }
    for (int y = kUserTop; y + h <= clientHeight; y += h + kUserGap) {
        for (int x = kUserGap; x + w <= clientWidth; x += w + kUserGap) {
            if (isFree(x, y)) {
                window.MoveTo(x, y);
                return;
            }
        }
    }
    // No room: one more column beside the first row where the screen is wide enough...
    int right = kUserGap;
    for (const QRect& r : taken) {
        if (r.top() < kUserTop + h) right = std::max(right, r.left() + r.width() + kUserGap);
    }
    if (isFree(right, kUserTop) && GrowClientArea(right + w + kUserGap, clientHeight, false)) {
        window.MoveTo(right, kUserTop);
        return;
    }
    // ... else a row below, as the tiling's; one more row than windows always holds a place.
    int y = kUserTop;
    for (std::size_t row = 0; row <= taken.size(); ++row, y += h + kUserGap) {
        for (int x = kUserGap; x == kUserGap || x + w <= clientWidth; x += w + kUserGap) {
            if (isFree(x, y)) {
                place(x, y);
                return;
            }
        }
    }
}

void CHalvoDlg::OnHideButton()
{
    ShowMain(0);
}

void CHalvoDlg::OnSharesButton()
{
    if (m_pShares) m_pShares->Toggle();
}

void CHalvoDlg::OnShareWindowButton()
{
    OnShareButton();
}

void CHalvoDlg::OnLoginButton()
{
    CLoginDlg dialog(m_app, this);
    m_pLogin = &dialog;
    OnNearbyChanged();
    const int result = dialog.exec();
    m_pLogin = nullptr;
    if (result != QDialog::Accepted) return;
    if (dialog.Address().empty()) return;  // nothing to connect to
    m_pHub->View()->ConnectTo(dialog.Address(), dialog.Password(), dialog.Comment());
}

void CHalvoDlg::OnChatButton()
{
    m_pChat->Toggle();
}

void CHalvoDlg::Event(const QString& line)
{
    if (m_eventSink) m_eventSink(line);
}

std::unique_ptr<IUserWindow> CHalvoDlg::CreateUserWindow(const CUserInformation& record)
{
    // Whoever joins while the own window is shared gets its picture with the next capture.
    if (m_pShare && m_pShare->IsSharing()) m_pShare->ResendNext();
    auto* window = new CUserWndObject(record, m_pHub->Handle(), m_pClient);
    window->CreateVolumeControl(FromUtf8(m_app.GetAssetsFolder()));
    // The hub's playback of this user: the knob commands it.
    if (const std::shared_ptr<CUserPlayback> playback = m_pHub->FindPlayback(record.GetUserId(), record.GetGroupId())) {
        window->BindPlayback(std::shared_ptr<CSoundPlay>(playback, &playback->Play()));
    }
    if (m_pHub->IsOwnRecord(record)) {
        // What peers see of this user: still images and back to the camera.
        QPointer<CUserWndObject> own(window);
        window->onChooseStill = [this, own] {
            if (m_pStill) m_pStill->Select(own);
            if (own) own->Picture()->update();
        };
        window->onPasteStill = [this, own] {
            if (m_pStill) m_pStill->Paste(QApplication::clipboard()->mimeData());
            if (own) own->Picture()->update();
        };
        window->canPasteStill = [this] {
            return m_pStill && m_pStill->CanPaste(QApplication::clipboard()->mimeData());
        };
        window->onBackToCamera = [this] {
            if (m_pStill) m_pStill->BackToCamera();
        };
        window->canBackToCamera = [this] { return m_pStill && m_pStill->CanBackToCamera(); };
    }
    window->show();
    PlaceNewUserWindow(*window);
    update();  // the status bar's count
    Event(QStringLiteral("event user-added %1 %2 %3")
              .arg(record.GetUserId(), 0, 16)
              .arg(record.GetGroupId(), 0, 16)
              .arg(FromUtf8(record.GetUserName())));
    return std::make_unique<UserWindowHandle>(window, *this);
}

void CHalvoDlg::ChatReceive(const char* text)
{
    m_pChat->ReceiveText(text);
}

void CHalvoDlg::ChatNotice(const std::string& text)
{
    m_pChat->Notice(FromUtf8(text));
}

void CHalvoDlg::EnableShareButton(bool enable)
{
    if (m_pShareButton) m_pShareButton->setEnabled(enable);
}

void CHalvoDlg::ShowMessageBox(const std::string& text, const std::string& caption)
{
    NoticeBox::Open(isVisible() ? this : nullptr, FromUtf8(caption), FromUtf8(text));
}

void CHalvoDlg::AskYesNo(const std::string& text, const std::string& caption, std::function<void()> onYes)
{
    // Like the message boxes, not modal to the session. The buttons carry the numbers a
    // question box answers with (6 yes, 7 no), so that the control channel can press them.
    auto* box = new QMessageBox(QMessageBox::Question, FromUtf8(caption), FromUtf8(text),
                                QMessageBox::Yes | QMessageBox::No, isVisible() ? this : nullptr);
    box->setObjectName(QStringLiteral("MessageBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->button(QMessageBox::Yes)->setText(tr("はい"));
    box->button(QMessageBox::No)->setText(tr("いいえ"));
    DialogRegistry::SetControlId(box->button(QMessageBox::Yes), 6);
    DialogRegistry::SetControlId(box->button(QMessageBox::No), 7);
    box->setDefaultButton(QMessageBox::No);
    box->setEscapeButton(QMessageBox::No);
    NoticeBox::FitCaption(*box);
    connect(box, &QMessageBox::finished, this, [box, onYes = std::move(onYes)](int) {
        if (box->clickedButton() == box->button(QMessageBox::Yes) && onYes) onYes();
    });
    box->open();
    DialogRegistry::Opened(box);
    Event(QStringLiteral("event messagebox ") + FromUtf8(caption) + QStringLiteral(" ") + FromUtf8(text));
}

int CHalvoDlg::AskApproval(const std::string& userName, const std::string& message)
{
    CDlgConnect dialog(
        FromUtf8(userName), FromUtf8(message), [this] { m_app.PlayConnectSound(); }, isVisible() ? this : nullptr);
    m_pApproval = &dialog;
    Event(QStringLiteral("event approval ") + FromUtf8(userName) + QStringLiteral(" ") + FromUtf8(message));
    dialog.exec();
    m_pApproval = nullptr;
    return dialog.ResultCode();
}

void CHalvoDlg::CreateSharesWindow()
{
    SharesDlgHost host;
    host.assetsFolder = m_app.GetAssetsFolder();
    host.playSound = [this] { m_app.PlaySharesSound(); };
    host.event = [this](const QString& line) { Event(line); };
    m_pShares = new CSharesListDlg(std::move(host), m_pHub->Shares(), this);
    m_pShares->Create();
}

void CHalvoDlg::CreateCameraView()
{
    const QString icons = FromUtf8(m_app.GetAssetsFolder()) + QStringLiteral("Pictures/Standard/Icon/");
    m_pCamera = new CCameraView(m_pHub->Handle(), m_pClient);
    m_pCamera->Create(QPoint(4, 0));
    m_pCamera->SetIcon((icons + QStringLiteral("Icon_CameraN.ico")).toStdString(), true);
    m_pCamera->SetIcon((icons + QStringLiteral("Icon_CameraD.ico")).toStdString(), false);
    m_pCamera->ToggleIconView();
    m_pCamera->SetLocked(true);
    m_pCamera->setWhatsThis(tr("クリックするとカメラ映像の送信を止めたり再開したりします"));
    m_pCamera->setToolTip(m_pCamera->whatsThis());
    DialogRegistry::SetControlId(m_pCamera, CCameraView::kControlId);
    m_pCamera->SetDeviceName(m_app.GetCameraName());
    m_pCamera->onShowProperties = [this](OskelJpegControlData& settings) {
        // Apply reaches the camera view as well as the element, so that the icon and the still
        // picture commands follow what is sent even when the page is cancelled afterwards.
        CJpegControl page(
            settings, [this](const OskelJpegControlData& data) { m_pCamera->ApplyControlData(data); },
            m_app.GetWorkingFolder() + CStillImage::kStillFileName, m_pHub->Handle(), this);
        if (m_cameraPagePrepare) m_cameraPagePrepare(page);
        if (page.result() != QDialog::Accepted && page.exec() != QDialog::Accepted) return false;
        settings = page.Settings();
        return true;
    };
    m_pCamera->show();
    m_pCamera->Run();
}

void CHalvoDlg::ShowCameraPage(const std::function<void(CJpegControl&)>& prepare)
{
    if (m_pCamera == nullptr) return;
    m_cameraPagePrepare = prepare;
    m_pCamera->ShowProperties();
    m_cameraPagePrepare = nullptr;
}

void CHalvoDlg::CreateShareWindows()
{
    auto make = [this](const QString& name) {
        auto* dialog = new CCapterDlg(this);
        dialog->setObjectName(name);
        // Placed as it opens (PlaceOwnedWindow), beside the other windows.
        dialog->installEventFilter(this);
        dialog->saveRect = [this](const QRect& r) { m_app.SetCapturePosition(ToWindowRect(r)); };
        return dialog;
    };
    m_pSharePreview = make(QStringLiteral("sharePreview"));
    m_pSharePreview->setWindowTitle(tr("ウインドウ共有 (送信中)"));
    // The window being shared keeps the focus when the preview appears.
    m_pSharePreview->setAttribute(Qt::WA_ShowWithoutActivating);
    // Closing the preview ends the sharing it shows.
    connect(m_pSharePreview, &QDialog::rejected, this, [this] {
        if (m_pShare && m_pShare->IsSharing()) PostMessage(m_pHub->Handle(), WM_SHARE_STOP, 0, 0);
    });
    m_pShareViewer = make(QStringLiteral("shareViewer"));
    m_pShareViewer->setAttribute(Qt::WA_ShowWithoutActivating);
}

CUserWndObject* CHalvoDlg::FindUserWnd(std::uint32_t userId, std::uint32_t groupId) const
{
    if (m_pClient == nullptr) return nullptr;
    for (auto* window : m_pClient->findChildren<CUserWndObject*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (window->UserId() == userId && window->GroupId() == groupId && !window->isHidden()) return window;
    }
    return nullptr;
}

bool CHalvoDlg::OnShareButton()
{
    if (m_pShare == nullptr) return false;
    if (m_pShare->IsSharing()) {
        PostMessage(m_pHub->Handle(), WM_SHARE_STOP, 0, 0);
        return true;
    }
    if (!m_strShareUnavailable.empty()) {
        MORVIKA_LOG("ERROR CHalvoDlg::OnShareButton() %s\n", m_strShareUnavailable.c_str());
        ShowMessageBox(
            tr("ウインドウの共有には X11 のセッションが必要です。X11 のデスクトップでログインし直してください。")
                .toStdString(),
            tr("ウインドウ共有").toStdString());
        return false;
    }
    if (m_pPortal) {
        AskPortal();
        return true;
    }
    PostMessage(m_pHub->Handle(), WM_SHARE_START, 0, 0);
    return true;
}

void CHalvoDlg::AskPortal()
{
    using Outcome = morvika::capture::PortalScreenCast::Outcome;
    if (m_pPortal->Pending()) return;  // its dialog is up already
    if (m_pPortal->Running()) {
        PostMessage(m_pHub->Handle(), WM_SHARE_START, 0, 0);
        return;
    }
    const std::string token = m_app.GetShareToken();
    if (token.empty()) {
        MORVIKA_LOG("LOG   CHalvoDlg::AskPortal() 共有するウインドウを画面共有ポータルで選ぶ\n");
    } else {
        MORVIKA_LOG("LOG   CHalvoDlg::AskPortal() 前回選んだウインドウを共有する\n");
    }
    m_pPortal->Start(FromUtf8(token), [this](Outcome outcome, const QString& detail) {
        switch (outcome) {
        case Outcome::Started:
            // The next share takes the same window without asking again.
            m_app.SetShareToken(m_pPortal->RestoreToken().toStdString());
            PostMessage(m_pHub->Handle(), WM_SHARE_START, 0, 0);
            break;
        case Outcome::Refused:
            MORVIKA_LOG("LOG   CHalvoDlg::AskPortal() ウインドウの選択は取り消された\n");
            Event(QStringLiteral("event share-refused"));
            break;
        case Outcome::Unavailable:
            MORVIKA_LOG("ERROR CHalvoDlg::AskPortal() 画面共有ポータルがない %s\n", detail.toUtf8().constData());
            ShowMessageBox(
                tr("ウインドウの共有には画面共有ポータル (xdg-desktop-portal と、デスクトップに合ったそのバッ"
                   "クエンド) が必要です。インストールしてからログインし直してください。")
                    .toStdString(),
                tr("ウインドウ共有").toStdString());
            break;
        case Outcome::Failed:
            MORVIKA_LOG("ERROR CHalvoDlg::AskPortal() 画面共有ポータルの失敗 %s\n", detail.toUtf8().constData());
            ShowMessageBox(tr("ウインドウの共有を始められません（%1）").arg(detail).toStdString(),
                           tr("ウインドウ共有").toStdString());
            break;
        }
    });
}

void CHalvoDlg::OnShareStart()
{
    if (m_pShare == nullptr || m_pShare->IsSharing()) return;
    if (m_pCamera) {
        m_pShare->SetJpegSettings(&m_pCamera->Pipeline().ControlData());
        m_pCamera->SetFrameRate(0);  // the shared window takes the camera's place
    }
    m_pShare->SetSharing(true);
    m_pSharePreview->show();
    m_pHub->SendShareState(true);
    Event(QStringLiteral("event share 1"));
}

void CHalvoDlg::OnShareStop()
{
    if (m_pShare == nullptr || !m_pShare->IsSharing()) return;
    m_pHub->SendShareState(false);
    m_pShare->SetSharing(false);
    if (m_pPortal) m_pPortal->Stop();  // the desktop's sharing indicator goes off too
    m_pSharePreview->hide();
    if (m_pCamera) m_pCamera->SetFrameRate(OskelJpegControlData::kDefaultFrameRate);
    Event(QStringLiteral("event share 0"));
}

void CHalvoDlg::ShowShareViewer(std::uint32_t userId, std::uint32_t groupId)
{
    CUserWndObject* window = FindUserWnd(userId, groupId);
    if (window == nullptr) return;
    m_app.PlayWindowShareSound();
    m_pShareViewer->setWindowTitle(tr("ウインドウ共有 - ") + window->UserName());
    m_pShareViewer->show();
    window->LinkViewer(m_pShareViewer->Picture());
    Event(QStringLiteral("event share-view %1 %2 1").arg(userId, 0, 16).arg(groupId, 0, 16));
}

void CHalvoDlg::HideShareViewer(std::uint32_t userId, std::uint32_t groupId)
{
    CUserWndObject* window = FindUserWnd(userId, groupId);
    if (window == nullptr || window->LinkedViewer() != m_pShareViewer->Picture()) return;
    window->UnlinkViewer(m_pShareViewer->Picture());
    // Another peer may still be sharing into the same viewer.
    bool stillLinked = false;
    for (auto* other : m_pClient->findChildren<CUserWndObject*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (other != window && other->LinkedViewer() == m_pShareViewer->Picture()) stillLinked = true;
    }
    if (!stillLinked) m_pShareViewer->hide();
    Event(QStringLiteral("event share-view %1 %2 0").arg(userId, 0, 16).arg(groupId, 0, 16));
}

void CHalvoDlg::ShowSentPicture(const CPeerMessage& picture)
{
    // While sharing, the preview shows what leaves.
    if (m_pShare == nullptr || !m_pShare->IsSharing()) return;
    const COPYDATASTRUCT copy{1, picture.PayloadLength(), picture.Payload()};
    CPictureWnd* preview = m_pSharePreview->Picture();
    SendPayload(preview->Handle(), WM_COPYDATA, 0, copy);
    preview->update();
}

void CHalvoDlg::OnCameraEvent()
{
    if (m_pCamera == nullptr) return;
    const GraphAction result = m_pCamera->OnGraphNotify();
    if (result == kGraphStop) {
        m_pCamera->Stop();
    } else if (result == kGraphRebuild) {
        m_pCamera->Teardown();
        m_pCamera->Run();
    }
}

void CHalvoDlg::RefreshCamera()
{
    if (m_pCamera) m_pCamera->Restart();
}
