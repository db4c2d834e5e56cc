#include "session/HalvoControl.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCheckBox>
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QHeaderView>
#include <QTableView>
#include <QTreeView>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QRadioButton>
#include <QSlider>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSlider>
#include <QSocketNotifier>
#include <QTimer>
#include <QToolButton>

#include <cstdio>
#include <limits>

#include "app/HalvoApp.h"
#include "platform/net/LanServices.h"
#include "session/HalvoDlg.h"
#include "share/AppShare.h"
#include "share/ChatDlg.h"
#include "share/DlgConnect.h"
#include "share/FtpStat.h"
#include "share/SharesListDlg.h"
#include "video/CameraView.h"
#include "video/CapterDlg.h"
#include "video/JpegControl.h"
#include "video/StillImage.h"
#include "video/PictureWnd.h"
#include "video/UserWndObject.h"
#include "voice/DlgMicTest.h"
#include "voice/MicControl.h"
#include "voice/SoundPlay.h"
#include "voice/VolumeControl.h"
#include "ui/BmpButton.h"
#include "ui/DialogRegistry.h"
#include "ui/TabWnd.h"

namespace {

QString Hex(std::uint32_t value)
{
    return QString::number(value, 16);
}

QString Arg(const QStringList& parts, int index)
{
    if (index >= parts.size() || parts[index] == QStringLiteral("-")) return QString();
    return parts[index];
}

// FNV-1a of the bytes: tells whether a picture changed.
QString Digest(const std::vector<unsigned char>& bytes)
{
    std::uint32_t hash = 2166136261u;
    for (const unsigned char b : bytes) hash = (hash ^ b) * 16777619u;
    return QString::number(hash, 16);
}

// A left click at a point of a widget, as the mouse makes it.
void ClickAt(QWidget* widget, const QPoint& at)
{
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(at), QPointF(widget->mapToGlobal(at)), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(at), QPointF(widget->mapToGlobal(at)), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &press);
    QCoreApplication::sendEvent(widget, &release);
}

// Runs a user action after the answer is out: the action may open a modal dialog, whose
// own commands must be answered while it runs.
void Later(QObject* context, std::function<void()> action)
{
    QTimer::singleShot(0, context, std::move(action));
}

}  // namespace

QString EscapeControlLine(const QString& line)
{
    QString out;
    out.reserve(line.size());
    for (const QChar c : line) {
        const char16_t u = c.unicode();
        switch (u) {
        case u'\\': out += QStringLiteral("\\\\"); break;
        case u'\n': out += QStringLiteral("\\n"); break;
        case u'\r': out += QStringLiteral("\\r"); break;
        case u'\t': out += QStringLiteral("\\t"); break;
        default:
            // C0, DEL, C1 and the Unicode line and paragraph separators.
            if (u < 0x20 || (u >= 0x7F && u < 0xA0) || u == 0x2028 || u == 0x2029) {
                out += QStringLiteral("\\u%1").arg(static_cast<unsigned>(u), 4, 16, QLatin1Char('0'));
            } else {
                out += c;
            }
        }
    }
    return out;
}

CHalvoControl::CHalvoControl(CHalvoDlg& dialog, int inputFd, std::FILE* output)
    : m_dialog(dialog),
      m_fd(inputFd),
      m_output(output)
{
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    m_pNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CHalvoControl::OnReadable);
    m_dialog.SetEventSink([this](const QString& line) { Write(line); });
    DialogRegistry::SetEventSink([this](const QString& line) { Write(line); });
}

CHalvoControl::~CHalvoControl()
{
    // The main window outlives the channel and still reports the user windows it destroys.
    m_dialog.SetEventSink({});
    DialogRegistry::SetEventSink({});
}

void CHalvoControl::Write(const QString& line)
{
    const QByteArray bytes = EscapeControlLine(line).toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), m_output);
    std::fflush(m_output);
}

void CHalvoControl::OnReadable()
{
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
        if (n > 0) {
            m_buffer.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0) m_pNotifier->setEnabled(false);  // the driver went away: stop listening
        break;
    }
    std::size_t end;
    while ((end = m_buffer.find('\n')) != std::string::npos) {
        const QString line = QString::fromUtf8(m_buffer.data(), static_cast<int>(end)).trimmed();
        m_buffer.erase(0, end + 1);
        if (line.isEmpty()) continue;
        for (const QString& answer : Execute(line)) Write(answer);
    }
}

std::optional<QStringList> CHalvoControl::Shares(const QString& command, const QStringList& parts)
{
    CSharesListDlg* shares = m_dialog.Shares();
    if (shares == nullptr) return QStringList{QStringLiteral("error no shared files window")};
    auto rest = [&](int from) { return parts.mid(from).join(QLatin1Char(' ')); };
    if (command == QStringLiteral("shares")) {
        QStringList out;
        CSharesDataList copy(shares->Exchange().List());
        CSharesData r;
        while (copy.PopFront(r)) {
            const std::string& virtualPath = r.GetFileVirtualPath();
            out << QStringLiteral("share %1 %2 %3 %4 %5 %6 %7")
                       .arg(Hex(r.GetUserId()), Hex(r.GetGroupId()))
                       .arg(r.GetAvailable())
                       .arg(r.GetFileSize())
                       .arg(QString::fromUtf8(r.GetUserName().c_str()), QString::fromUtf8(r.GetFileName().c_str()),
                            virtualPath.empty() ? QStringLiteral("-") : QString::fromUtf8(virtualPath.c_str()));
        }
        out << QStringLiteral("end");
        return out;
    }
    if (command == QStringLiteral("share-add")) {
        const QString path = rest(1);
        // The window skips what cannot be offered without a word; the channel tells.
        CSharesData probe;
        const bool offerable = probe.Init(path.toStdString(), CUserInformation()) == 0 && probe.GetAvailable() == 1;
        shares->AddFiles({path});  // as a drop of that one file
        return QStringList{offerable ? QStringLiteral("ok") : QStringLiteral("error not offered")};
    }
    if (command == QStringLiteral("share-delete")) {
        if (!shares->SelectByName(rest(1))) return QStringList{QStringLiteral("error no such file")};
        shares->OnDelete();
        return QStringList{QStringLiteral("ok")};
    }
    if (command == QStringLiteral("share-cancel")) {
        CFtpStat* wait = shares->WaitDialog();
        if (wait == nullptr || !wait->IsWaiting()) return QStringList{QStringLiteral("error no download")};
        wait->reject();
        return QStringList{QStringLiteral("ok")};
    }
    if (command == QStringLiteral("share-save") || command == QStringLiteral("share-open")) {
        const bool save = command == QStringLiteral("share-save");
        // A name may hold blanks: share-open takes the rest of the line, share-save the
        // longest beginning of it that names a listed file (the destination is what follows).
        QString name = save ? Arg(parts, 1) : rest(1);
        QString destination = save ? rest(2) : QString();
        for (int end = static_cast<int>(parts.size()) - 1; save && end > 1; --end) {
            const QString candidate = parts.mid(1, end - 1).join(QLatin1Char(' '));
            CSharesData found;
            if (shares->Exchange().List().FindByName(candidate.toStdString(), found) != 0) {
                name = candidate;
                destination = rest(end);
                break;
            }
        }
        if (name.isEmpty() || (save && destination.isEmpty()))
            return QStringList{QStringLiteral("error %1 needs a name").arg(command)};
        if (shares->WaitDialog() != nullptr && shares->WaitDialog()->IsWaiting())
            return QStringList{QStringLiteral("error busy")};
        if (!shares->SelectByName(name)) return QStringList{QStringLiteral("error no such file")};
        // Run from the event loop, not from inside this read: the wait dialog's loop must
        // still read commands (share-cancel). The answer comes when the item is done.
        // Selected again there: an announcement read in between rebuilds the list.
        QTimer::singleShot(0, shares, [this, shares, save, name, destination] {
            if (!shares->SelectByName(name)) {
                Write(QStringLiteral("error no such file"));
                return;
            }
            QString answer = QStringLiteral("error nothing done");
            shares->onItemDone = [&answer](const QString&, const QString& path, bool cancelled) {
                answer = cancelled        ? QStringLiteral("error cancel")
                         : path.isEmpty() ? QStringLiteral("error no copy")
                                          : QStringLiteral("ok ") + path;
            };
            if (save) {
                shares->AnswerNextSave(destination);
                shares->OnSave();
            } else {
                shares->OnOpen();
            }
            shares->AnswerNextSave(std::nullopt);
            shares->onItemDone = nullptr;
            Write(answer);
        });
        return QStringList{};
    }
    return std::nullopt;
}

QStringList CHalvoControl::Execute(const QString& line)
{
    const QStringList parts = line.split(QLatin1Char(' '));
    const QString command = parts.value(0);
    if (command == QStringLiteral("ping")) return {QStringLiteral("ok pong")};
    if (auto answer = ExecuteDialogCommand(parts)) return *answer;
    // The identity is the installation's, loaded at start: a script may check it before
    // anything else is up.
    if (command == QStringLiteral("identity")) {
        const std::string fingerprint = m_dialog.App().GetFingerprint();
        if (fingerprint.empty()) return {QStringLiteral("error no identity")};
        return {QStringLiteral("ok ") + QString::fromStdString(fingerprint)};
    }
    // Before the main window is up (the first-start wizard runs) only dialogs answer.
    if (!m_dialog.IsReady()) return {QStringLiteral("error the main window is not up yet")};
    CHalvoHub& hub = m_dialog.Hub();
    CPlayBoiceView* view = hub.View();
    auto rest = [&](int from) { return parts.mid(from).join(QLatin1Char(' ')); };

    if (command == QStringLiteral("accept-key")) {
        std::string fingerprint;
        if (view == nullptr || !view->AcceptHostKey(parts.value(1).toStdString(), fingerprint)) {
            return {QStringLiteral("error no refused key for that address")};
        }
        return {QStringLiteral("ok ") + QString::fromStdString(fingerprint)};
    }
    if (command == QStringLiteral("state")) {
        const CUserInformation self = view ? view->HostRecord() : CUserInformation();
        return {QStringLiteral("ok view=%1 users=%2 windows=%3 hidden=%4 ip=%5 uid=%6 gid=%7 mute=%8 external=%9")
                    .arg(view ? static_cast<int>(view->GetViewState()) : 0)
                    .arg(view ? view->UserCount() : 0)
                    .arg(hub.UserWindowCount())
                    .arg(m_dialog.IsMainHidden() ? 1 : 0)
                    .arg(QString::fromStdString(m_dialog.Hub().View() ? self.GetAddress() : std::string()))
                    .arg(Hex(self.GetUserId()))
                    .arg(Hex(self.GetGroupId()))
                    .arg(m_dialog.IsMicMuted() ? 1 : 0)
                    .arg(QString::fromStdString(m_dialog.ExternalAddress()))};
    }
    if (command == QStringLiteral("nearby")) {
        QStringList out;
        for (const auto& session : m_dialog.NearbySessions()) {
            out << QStringLiteral("nearby %1 %2")
                       .arg(QString::fromStdString(session.JoinAddress()), QString::fromStdString(session.user));
        }
        out << QStringLiteral("end");
        return out;
    }
    if (command == QStringLiteral("windows")) {
        QStringList out;
        for (auto* window :
             m_dialog.ClientArea()->findChildren<CUserWndObject*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (window->isHidden()) continue;
            out << QStringLiteral("window %1 %2 %3")
                       .arg(Hex(window->UserId()), Hex(window->GroupId()), window->UserName());
        }
        out << QStringLiteral("end");
        return out;
    }
    if (command == QStringLiteral("where")) {
        for (auto* window :
             m_dialog.ClientArea()->findChildren<CUserWndObject*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (window->isHidden() || Hex(window->UserId()) != Arg(parts, 1) ||
                Hex(window->GroupId()) != Arg(parts, 2)) {
                continue;
            }
            return {QStringLiteral("ok %1 %2").arg(window->x()).arg(window->y())};
        }
        return {QStringLiteral("error no such window")};
    }
    if (command == QStringLiteral("peers")) {
        QStringList out;
        if (view) {
            CUserInformationList copy(view->PeerList());
            CUserInformation entry;
            while (copy.PopFront(entry)) {
                out << QStringLiteral("peer %1 %2 %3 %4 %5 %6")
                           .arg(Hex(entry.GetUserId()), Hex(entry.GetGroupId()))
                           .arg(entry.GetActive())
                           .arg(entry.GetOwnSession())
                           .arg(entry.IsVoiceStarted() ? 1 : 0)
                           .arg(QString::fromUtf8(entry.GetUserName().c_str()));
            }
        }
        out << QStringLiteral("end");
        return out;
    }
    if (command == QStringLiteral("connect")) {
        if (parts.size() < 2 || view == nullptr) return {QStringLiteral("error connect needs an address")};
        view->ConnectTo(Arg(parts, 1).toStdString(), Arg(parts, 2).toStdString(), rest(3).toStdString());
        return {QStringLiteral("ok")};
    }
    if (command == QStringLiteral("chat")) {
        m_dialog.Chat()->Input()->setText(rest(1));
        m_dialog.Chat()->Send();  // the history reports the line, as for a line typed in the window
        return {QStringLiteral("ok")};
    }
    if (command == QStringLiteral("history")) {
        QStringList out;
        const QString text = m_dialog.Chat()->HistoryText();
        for (const QString& l : text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
            out << QStringLiteral("line ") + l;
        out << QStringLiteral("end");
        return out;
    }
    if (command == QStringLiteral("dropped")) {
        // What members sent that was not taken in: in another's name, or unasked files.
        std::uint64_t forged = CDirectPlayPeerWraper::ForgedDropped();
        if (CPlayBoiceView* view = m_dialog.Hub().View()) {
            if (peer::CPeerService* service = view->HostWrapper().Peer()) forged += service->GetStats().refusedRelays;
        }
        const std::uint64_t unasked = m_dialog.Shares() ? m_dialog.Shares()->Exchange().UnaskedAnswers() : 0;
        return {QStringLiteral("ok forged=%1 unasked=%2").arg(forged).arg(unasked)};
    }
    if (command == QStringLiteral("chatvisible")) {
        return {QStringLiteral("ok %1").arg(m_dialog.Chat()->isVisible() ? 1 : 0)};
    }
    if (command == QStringLiteral("kick")) {
        bool okUser = false;
        bool okGroup = false;
        const std::uint32_t userId = Arg(parts, 1).toUInt(&okUser, 16);
        const std::uint32_t groupId = Arg(parts, 2).toUInt(&okGroup, 16);
        if (!okUser || !okGroup) return {QStringLiteral("error kick needs two hexadecimal ids")};
        if (hub.FindUserWindow(userId, groupId) == nullptr) return {QStringLiteral("error no such window")};
        PostMessage(hub.Handle(), WM_KILL_USER, userId, groupId);
        return {QStringLiteral("ok")};
    }
    if (command == QStringLiteral("leave")) {
        PostMessage(hub.Handle(), WM_LEAVE_SESSION, 0, 0);
        return {QStringLiteral("ok")};
    }
    if (command == QStringLiteral("approve")) {
        CDlgConnect* dialog = m_dialog.OpenApproval();
        if (dialog == nullptr) return {QStringLiteral("error no approval dialog")};
        const QString answer = Arg(parts, 1);
        if (answer == QStringLiteral("accept")) {
            dialog->accept();
        } else if (answer == QStringLiteral("refuse")) {
            dialog->ReasonList()->setCurrentIndex(Arg(parts, 2).toInt());
            dialog->reject();
        } else if (answer == QStringLiteral("timeout")) {
            dialog->OnTimer();
        } else {
            return {QStringLiteral("error approve needs accept, refuse N or timeout")};
        }
        return {QStringLiteral("ok")};
    }
    if (command == QStringLiteral("hide")) {
        m_dialog.ShowMain(0);
        return {QStringLiteral("ok")};
    }
    if (command == QStringLiteral("show")) {
        m_dialog.ShowMain(1);
        return {QStringLiteral("ok")};
    }
    if (command == QStringLiteral("screenshot")) {
        const QString which = Arg(parts, 1);
        const QString file = rest(2);
        QWidget* widget = which == QStringLiteral("main")       ? static_cast<QWidget*>(&m_dialog)
                          : which == QStringLiteral("chat")     ? static_cast<QWidget*>(m_dialog.Chat())
                          : which == QStringLiteral("approval") ? static_cast<QWidget*>(m_dialog.OpenApproval())
                          : which == QStringLiteral("shares")   ? static_cast<QWidget*>(m_dialog.Shares())
                                                                : DialogRegistry::Find(which);
        if (widget == nullptr || file.isEmpty()) return {QStringLiteral("error no such window or no file")};
        if (!widget->grab().save(file)) return {QStringLiteral("error cannot write ") + file};
        return {QStringLiteral("ok")};
    }
    if (command == QStringLiteral("pictures") || command == QStringLiteral("view")) {
        bool okUser = false;
        bool okGroup = false;
        const std::uint32_t userId = Arg(parts, 1).toUInt(&okUser, 16);
        const std::uint32_t groupId = Arg(parts, 2).toUInt(&okGroup, 16);
        if (!okUser || !okGroup) return {QStringLiteral("error %1 needs two hexadecimal ids").arg(command)};
        for (auto* window :
             m_dialog.ClientArea()->findChildren<CUserWndObject*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (window->UserId() != userId || window->GroupId() != groupId || window->isHidden()) continue;
            if (command == QStringLiteral("view")) {
                window->SetViewMode(Arg(parts, 3).toInt());
                return {QStringLiteral("ok %1x%2").arg(window->width()).arg(window->height())};
            }
            CPictureWnd* picture = window->Picture();
            return {QStringLiteral("ok %1 %2 %3")
                        .arg(window->PictureCount())
                        .arg(Digest(picture->Core().CurrentJpeg()))
                        .arg(picture->Core().DecodeCount())};
        }
        return {QStringLiteral("error no such window")};
    }
    if (command == QStringLiteral("menu")) {
        // An item of the main window's own menu, chosen after the answer is out.
        const int item = Arg(parts, 1).toInt();
        switch (item) {
        case CHalvoDlg::kMenuArrange: m_dialog.ArrangeUserWindows(); return {QStringLiteral("ok")};
        case CHalvoDlg::kMenuHelpPage:
            Later(&m_dialog, [this] { m_dialog.OnMenuCommand(CHalvoDlg::kMenuHelpPage); });
            return {QStringLiteral("ok ") + m_dialog.HelpPagePath()};
        case CHalvoDlg::kMenuAbout:
        case CHalvoDlg::kMenuProperties:
        case CHalvoDlg::kMenuExit:
            // The about box, the settings sheet and the exit question are modal.
            Later(&m_dialog, [this, item] { m_dialog.OnMenuCommand(item); });
            return {QStringLiteral("ok")};
        case 32814: {
            // The own window's "カメラ画像に戻す", chosen as its context menu offers it.
            const CUserInformation self = view ? view->HostRecord() : CUserInformation();
            CUserWndObject* own = m_dialog.FindUserWnd(self.GetUserId(), self.GetGroupId());
            if (own == nullptr) return {QStringLiteral("error no own window")};
            if (!own->ChooseMenuItem(item)) return {QStringLiteral("error menu item 32814 is disabled")};
            return {QStringLiteral("ok")};
        }
        default: return {QStringLiteral("error no menu item ") + Arg(parts, 1)};
        }
    }
    if (command == QStringLiteral("tray")) {
        // An item of the tray icon's menu.
        const int item = Arg(parts, 1).toInt();
        if (item != CHalvoDlg::kMenuOpen && item != CHalvoDlg::kMenuExit) {
            return {QStringLiteral("error no tray menu item ") + Arg(parts, 1)};
        }
        Later(&m_dialog, [this, item] { m_dialog.OnMenuCommand(item); });
        return {QStringLiteral("ok")};
    }
    if (command == QStringLiteral("help")) {
        // Help mode, then a click on that control of the main window.
        QWidget* control = DialogRegistry::FindControl(&m_dialog, Arg(parts, 1).toInt());
        if (control == nullptr) return {QStringLiteral("error no control ") + Arg(parts, 1)};
        m_dialog.EnterHelpMode();
        if (m_dialog.ShowHelp(control, control->mapToGlobal(QPoint(0, 0))) == nullptr) {
            return {QStringLiteral("error no help for control ") + Arg(parts, 1)};
        }
        return {QStringLiteral("ok")};
    }
    if (command == QStringLiteral("resize")) {
        // A drag from the grip to that screen point.
        const QPoint to(Arg(parts, 1).toInt(), Arg(parts, 2).toInt());
        Later(&m_dialog, [this, to] { m_dialog.RunResizeTool(&to); });
        return {QStringLiteral("ok")};
    }
    if (command == QStringLiteral("geometry")) {
        QWidget* window = m_dialog.OwnedWindow(parts.size() > 1 ? Arg(parts, 1) : QStringLiteral("main"));
        if (window == nullptr || (window != &m_dialog && !window->isVisible()))
            return {QStringLiteral("error no such window open")};
        const QRect r = window->frameGeometry();
        return {QStringLiteral("ok %1 %2 %3 %4").arg(r.left()).arg(r.top()).arg(r.width()).arg(r.height())};
    }
    if (command == QStringLiteral("grip")) {
        const QPoint centre = m_dialog.mapToGlobal(m_dialog.GripRect().center());
        return {QStringLiteral("ok %1 %2").arg(centre.x()).arg(centre.y())};
    }
    if (command == QStringLiteral("where-button")) {
        QWidget* control = DialogRegistry::FindControl(&m_dialog, Arg(parts, 1).toInt());
        if (control == nullptr) return {QStringLiteral("error no control ") + Arg(parts, 1)};
        const QPoint centre = control->mapToGlobal(control->rect().center());
        return {QStringLiteral("ok %1 %2").arg(centre.x()).arg(centre.y())};
    }
    if (command == QStringLiteral("arrange")) {
        m_dialog.ArrangeUserWindows();
        return {QStringLiteral("ok")};
    }
    if (command == QStringLiteral("camera") || command == QStringLiteral("live")) {
        CCameraView* camera = m_dialog.Camera();
        if (camera == nullptr) return {QStringLiteral("error no camera view")};
        if (command == QStringLiteral("live")) camera->ToggleLive();
        const CCameraPipeline& pipeline = camera->Pipeline();
        return {QStringLiteral("ok state=%1 rate=%2 frames=%3 view=%4 name=%5")
                    .arg(pipeline.State())
                    .arg(pipeline.ControlData().m_nFrameRate)
                    .arg(pipeline.FramesHandedOff())
                    .arg(camera->Information().GetViewType())
                    .arg(QString::fromStdString(pipeline.CameraName()))};
    }
    if (command == QStringLiteral("share")) {
        CAppShare* share = m_dialog.ShareEngine();
        const QString want = Arg(parts, 1);
        if (share == nullptr) return {QStringLiteral("error no sharing engine")};
        if (want != QStringLiteral("on") && want != QStringLiteral("off"))
            return {QStringLiteral("error share needs on or off")};
        const bool on = want == QStringLiteral("on");
        if (on == share->IsSharing()) return {QStringLiteral("ok")};
        if (!m_dialog.ShareButton()->isEnabled()) return {QStringLiteral("error the share button is disabled")};
        if (!m_dialog.OnShareButton()) return {QStringLiteral("error window sharing needs an X11 session")};
        return {QStringLiteral("ok")};
    }
    if (command == QStringLiteral("viewer") || command == QStringLiteral("save-viewer") ||
        command == QStringLiteral("save-picture")) {
        bool okUser = false;
        bool okGroup = false;
        const std::uint32_t userId = Arg(parts, 1).toUInt(&okUser, 16);
        const std::uint32_t groupId = Arg(parts, 2).toUInt(&okGroup, 16);
        if (!okUser || !okGroup) return {QStringLiteral("error %1 needs two hexadecimal ids").arg(command)};
        CUserWndObject* window = m_dialog.FindUserWnd(userId, groupId);
        if (window == nullptr) return {QStringLiteral("error no such window")};
        CPictureWnd* viewer = m_dialog.ShareViewer()->Picture();
        const bool linked = window->LinkedViewer() == viewer;
        if (command == QStringLiteral("viewer")) {
            return {QStringLiteral("ok %1 %2 %3")
                        .arg(linked && m_dialog.ShareViewer()->isVisible() ? 1 : 0)
                        .arg(linked ? viewer->ReceivedCount() : 0)
                        .arg(linked ? Digest(viewer->Core().CurrentJpeg()) : QStringLiteral("0"))};
        }
        const QString file = rest(3);
        if (file.isEmpty()) return {QStringLiteral("error %1 needs a file").arg(command)};
        if (command == QStringLiteral("save-viewer") && !linked) return {QStringLiteral("error no viewer linked")};
        const QImage image = (command == QStringLiteral("save-viewer") ? viewer : window->Picture())->CurrentImage();
        if (image.isNull()) return {QStringLiteral("error no picture")};
        if (!image.save(file)) return {QStringLiteral("error cannot write ") + file};
        return {QStringLiteral("ok %1x%2").arg(image.width()).arg(image.height())};
    }
    if (command == QStringLiteral("still") || command == QStringLiteral("paste-image")) {
        CStillImage* still = m_dialog.Still();
        const QString file = rest(1);
        if (still == nullptr || file.isEmpty()) return {QStringLiteral("error %1 needs a file").arg(command)};
        if (command == QStringLiteral("still")) {
            // 静止画の選択 with the chooser answered.
            if (!still->UseFile(file)) return {QStringLiteral("error cannot use ") + file};
            return {QStringLiteral("ok")};
        }
        const QImage image(file);
        if (image.isNull()) return {QStringLiteral("error not a picture: ") + file};
        QApplication::clipboard()->setImage(image);
        if (!still->Paste(QApplication::clipboard()->mimeData())) return {QStringLiteral("error nothing pasted")};
        return {QStringLiteral("ok")};
    }
    if (command == QStringLiteral("camera-page") && parts.size() == 1) {
        // The page opens after the answer and stays open for the dialog commands.
        if (m_dialog.Camera() == nullptr) return {QStringLiteral("error no camera view")};
        Later(&m_dialog, [this] { m_dialog.ShowCameraPage(); });
        return {QStringLiteral("ok")};
    }
    if (command == QStringLiteral("camera-page-file")) {
        // Button 1019 of the open camera page, with the file chooser answered.
        auto* page = qobject_cast<CJpegControl*>(DialogRegistry::Find(QStringLiteral("CJpegControl")));
        const QString file = rest(1);
        if (page == nullptr) return {QStringLiteral("error no open dialog CJpegControl")};
        if (file.isEmpty()) return {QStringLiteral("error camera-page-file needs a file")};
        page->chooseFile = [file] { return file; };
        page->OnChooseFile();
        page->chooseFile = nullptr;
        return {QStringLiteral("ok")};
    }
    if (command == QStringLiteral("camera-page")) {
        bool okDct = false;
        bool okRate = false;
        bool okQuality = false;
        const int dct = Arg(parts, 1).toInt(&okDct);
        const int rateIndex = Arg(parts, 2).toInt(&okRate);
        const int quality = Arg(parts, 3).toInt(&okQuality);
        if (!okDct || !okRate || !okQuality || dct < 0 || dct > 2 || quality < 0 || quality > 99) {
            return {QStringLiteral("error camera-page needs <dct 0-2> <rate index> <quality 0-99>")};
        }
        if (m_dialog.Camera() == nullptr) return {QStringLiteral("error no camera view")};
        m_dialog.ShowCameraPage([&](CJpegControl& page) {
            page.DctRadio(dct)->setChecked(true);
            page.RateList()->setCurrentIndex(rateIndex);
            page.QualitySlider()->setValue(quality + 1);
            page.OnOK();
        });
        const OskelJpegControlData& now = m_dialog.Camera()->Pipeline().ControlData();
        return {QStringLiteral("ok quality=%1 dct=%2 rate=%3")
                    .arg(now.m_nQuality)
                    .arg(now.m_nDctMethod)
                    .arg(now.m_nFrameRate)};
    }
    if (command == QStringLiteral("mic-mute")) {
        const QString value = Arg(parts, 1);
        if (value != QStringLiteral("0") && value != QStringLiteral("1"))
            return {QStringLiteral("error mic-mute needs 0 or 1")};
        if (m_dialog.IsMicMuted() != (value == QStringLiteral("1"))) m_dialog.OnMicIconLeftClick();
        return {QStringLiteral("ok %1").arg(m_dialog.IsMicMuted() ? 1 : 0)};
    }
    if (command == QStringLiteral("mic-settings")) {
        // A right click on the microphone icon, after the answer is out.
        Later(&m_dialog, [this] { m_dialog.OnMicIconRightClick(); });
        return {QStringLiteral("ok")};
    }
    if (command == QStringLiteral("mic-level")) {
        bool ok = false;
        const int level = Arg(parts, 1).toInt(&ok);
        if (!ok || level < -1000 || level > 0) return {QStringLiteral("error mic-level needs a level from -1000 to 0")};
        const bool stored = m_dialog.RunMicControl([level](CMicControl& dialog) {
            dialog.AutoGain()->setChecked(false);
            dialog.OnAutoGainClicked();
            dialog.Slider()->setValue(-level);
            dialog.OnOK();
        });
        if (!stored || view == nullptr) return {QStringLiteral("error no microphone settings")};
        CMixerControl* mixer = hub.Voice().Mixer();
        if (mixer == nullptr || !mixer->IsOpen()) return {QStringLiteral("error no mixer")};
        try {
            return {QStringLiteral("ok %1").arg(mixer->GetRecordingMicVolume())};
        } catch (const OskelClassLib::OskelExcept& e) {
            return {QStringLiteral("error ") + QString::fromUtf8(e.what()).trimmed()};
        }
    }
    if (command == QStringLiteral("volume") || command == QStringLiteral("peer-mute")) {
        bool okUser = false;
        bool okGroup = false;
        bool okValue = false;
        const std::uint32_t userId = Arg(parts, 1).toUInt(&okUser, 16);
        const std::uint32_t groupId = Arg(parts, 2).toUInt(&okGroup, 16);
        const int value = Arg(parts, 3).toInt(&okValue);
        const int top = command == QStringLiteral("volume") ? 200 : 1;
        if (!okUser || !okGroup || !okValue || value < 0 || value > top) {
            return {
                QStringLiteral("error %1 needs two hexadecimal ids and a value from 0 to %2").arg(command).arg(top)};
        }
        for (auto* window :
             m_dialog.ClientArea()->findChildren<CUserWndObject*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (window->UserId() != userId || window->GroupId() != groupId || window->isHidden()) continue;
            CVolumeControl* knob = window->VolumeControl();
            if (knob == nullptr || window->Playback() == nullptr)
                return {QStringLiteral("error no sound for that window")};
            if (command == QStringLiteral("volume")) {
                knob->MoveKnobTo(value);
            } else if (knob->IsMuted() != (value == 1)) {
                knob->SetMute(value == 1);  // the speaker's click
                if (knob->onCommand) knob->onCommand(knob->ControlId());
            }
            long volume = 0;
            window->Playback()->GetVolume(&volume);
            return {QStringLiteral("ok %1 %2").arg(volume).arg(window->Playback()->IsMuted())};
        }
        return {QStringLiteral("error no such window")};
    }
    if (command == QStringLiteral("mictest")) {
        CDlgMicTest* test = m_dialog.OpenMicTest();
        if (test == nullptr) {
            CPlayBoiceView* current = hub.View();
            test = new CDlgMicTest(m_dialog.App(), current ? current->Capture() : nullptr, &m_dialog);
            test->setAttribute(Qt::WA_DeleteOnClose);
            test->show();
        }
        if (test->IsMeasuring()) return {QStringLiteral("error already measuring")};
        test->onFinished = [this, test](bool stored, int nonVoice) {
            Write(stored ? QStringLiteral("ok %1").arg(nonVoice) : QStringLiteral("error no sound"));
            QTimer::singleShot(0, test, [test] { test->close(); });
        };
        test->OnSilenceButton();
        return {};  // answered when the measurement ends
    }
    if (command.startsWith(QStringLiteral("share"))) {
        if (auto answer = Shares(command, parts)) return *answer;
    }
    if (command == QStringLiteral("quit")) {
        QTimer::singleShot(0, &m_dialog, [this] { m_dialog.ExitWithoutAsking(); });
        return {QStringLiteral("ok")};
    }
    return {QStringLiteral("error unknown command ") + command};
}

// Commands that act on the controls of an open dialog; nullopt for any other command.
std::optional<QStringList> CHalvoControl::ExecuteDialogCommand(const QStringList& parts)
{
    const QString command = parts.value(0);
    if (command == QStringLiteral("dialogs")) {
        QStringList out;
        for (const QString& name : DialogRegistry::OpenNames()) out << QStringLiteral("dialog ") + name;
        out << QStringLiteral("end");
        return out;
    }
    if (command == QStringLiteral("screenshot") && DialogRegistry::Find(Arg(parts, 1)) != nullptr) {
        const QString file = parts.mid(2).join(QLatin1Char(' '));
        if (file.isEmpty()) return QStringList{QStringLiteral("error no file")};
        if (!DialogRegistry::Find(Arg(parts, 1))->grab().save(file)) {
            return QStringList{QStringLiteral("error cannot write ") + file};
        }
        return QStringList{QStringLiteral("ok")};
    }
    static const QStringList kCommands{
        QStringLiteral("type"),      QStringLiteral("check"),        QStringLiteral("select"), QStringLiteral("press"),
        QStringLiteral("click-row"), QStringLiteral("click-header"), QStringLiteral("get")};
    if (!kCommands.contains(command)) return std::nullopt;
    // "main" is the main window with its buttons.
    QWidget* dialog = Arg(parts, 1) == QStringLiteral("main") && m_dialog.IsReady()
                          ? static_cast<QWidget*>(&m_dialog)
                          : DialogRegistry::Find(Arg(parts, 1));
    if (dialog == nullptr) return QStringList{QStringLiteral("error no open dialog ") + Arg(parts, 1)};

    if (command == QStringLiteral("click-row") || command == QStringLiteral("click-header")) {
        // A dialog with several lists names the one meant by its control id.
        bool listGiven = false;
        const int listId = Arg(parts, 3).toInt(&listGiven);
        QAbstractItemView* view = nullptr;
        if (listGiven) {
            view = qobject_cast<QAbstractItemView*>(DialogRegistry::FindControl(dialog, listId));
        } else {
            // Without an id: the list with the lowest id (a dialog's main list comes first).
            int lowest = 0;
            for (auto* candidate : dialog->findChildren<QAbstractItemView*>()) {
                if (qobject_cast<QHeaderView*>(candidate) != nullptr) continue;
                bool hasId = false;
                const int candidateId = candidate->property("controlId").toInt(&hasId);
                const int order = hasId ? candidateId : std::numeric_limits<int>::max();
                if (view == nullptr || order < lowest) {
                    view = candidate;
                    lowest = order;
                }
            }
        }
        bool ok = false;
        const int row = Arg(parts, 2).toInt(&ok);
        if (command == QStringLiteral("click-header")) {
            // A left click on that column's header (the row number names the column).
            QHeaderView* header = nullptr;
            if (auto* tree = qobject_cast<QTreeView*>(view)) header = tree->header();
            if (auto* table = qobject_cast<QTableView*>(view)) header = table->horizontalHeader();
            if (header == nullptr || header->isHidden() || !ok || row < 0 || row >= header->count()) {
                return QStringList{QStringLiteral("error no such column")};
            }
            QPointer<QHeaderView> target(header);
            Later(this, [target, row] {
                if (!target) return;
                const int x = target->sectionViewportPosition(row) + target->sectionSize(row) / 2;
                ClickAt(target->viewport(), QPoint(x, target->height() / 2));
            });
            return QStringList{QStringLiteral("ok")};
        }
        if (view == nullptr || !ok || row < 0 || row >= view->model()->rowCount()) {
            return QStringList{QStringLiteral("error no such row")};
        }
        QPointer<QAbstractItemView> target(view);
        Later(this, [target, row] {
            if (!target) return;
            const QModelIndex index = target->model()->index(row, 0);
            target->scrollTo(index);
            ClickAt(target->viewport(), target->visualRect(index).center());
        });
        return QStringList{QStringLiteral("ok")};
    }

    bool okId = false;
    const int id = Arg(parts, 2).toInt(&okId);
    QWidget* control = okId ? DialogRegistry::FindControl(dialog, id) : nullptr;
    if (control == nullptr) return QStringList{QStringLiteral("error no control %1").arg(Arg(parts, 2))};
    if (command == QStringLiteral("get")) {
        QString value;
        if (auto* edit = qobject_cast<QLineEdit*>(control)) {
            value = edit->text();
        } else if (auto* combo = qobject_cast<QComboBox*>(control)) {
            QStringList items;
            for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
            value = QString::number(combo->currentIndex()) + QLatin1Char(' ') + items.join(QLatin1Char('|'));
        } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
            value = QString::number(button->isChecked() ? 1 : 0);
        } else if (auto* label = qobject_cast<QLabel*>(control)) {
            value = label->text();
        } else if (auto* slider = qobject_cast<QAbstractSlider*>(control)) {
            value = QString::number(slider->value());
        } else if (auto* list = qobject_cast<QAbstractItemView*>(control)) {
            QStringList items;
            for (int i = 0; i < list->model()->rowCount(); ++i) items << list->model()->index(i, 0).data().toString();
            value = QString::number(list->model()->rowCount()) + QLatin1Char(' ') + items.join(QLatin1Char('|'));
        }
        return QStringList{QStringLiteral("ok %1 %2").arg(control->isEnabled() ? 1 : 0).arg(value)};
    }
    if (!control->isEnabled()) return QStringList{QStringLiteral("error control %1 is disabled").arg(id)};
    if (control->isHidden()) return QStringList{QStringLiteral("error control %1 is hidden").arg(id)};
    QPointer<QWidget> target(control);

    if (command == QStringLiteral("type")) {
        auto* edit = qobject_cast<QLineEdit*>(control);
        if (edit == nullptr) return QStringList{QStringLiteral("error control %1 is no edit").arg(id)};
        const QString text = parts.mid(3).join(QLatin1Char(' '));
        edit->setFocus();
        edit->selectAll();
        edit->insert(text);  // as typed: the edit reports an edit
        if (text.isEmpty()) edit->del();
        return QStringList{QStringLiteral("ok")};
    }
    if (command == QStringLiteral("check")) {
        auto* button = qobject_cast<QAbstractButton*>(control);
        if (button == nullptr || !button->isCheckable()) {
            return QStringList{QStringLiteral("error control %1 cannot be checked").arg(id)};
        }
        const bool wanted = Arg(parts, 3) == QStringLiteral("1");
        if (button->isChecked() != wanted) {
            Later(this, [target] {
                if (auto* b = qobject_cast<QAbstractButton*>(target.data())) b->click();
            });
        }
        return QStringList{QStringLiteral("ok")};
    }
    if (command == QStringLiteral("select")) {
        bool ok = false;
        const int index = Arg(parts, 3).toInt(&ok);
        auto* combo = qobject_cast<QComboBox*>(control);
        if (combo == nullptr || !ok || index < -1 || index >= combo->count()) {
            return QStringList{QStringLiteral("error no item %1 in control %2").arg(Arg(parts, 3)).arg(id)};
        }
        combo->setCurrentIndex(index);
        emit combo->activated(index);
        return QStringList{QStringLiteral("ok")};
    }
    // press
    if (qobject_cast<CTabWnd*>(control) != nullptr) {
        Later(this, [target] {
            if (auto* t = qobject_cast<CTabWnd*>(target.data())) ClickAt(t, t->TabRect().center());
        });
    } else if (qobject_cast<CBmpButton*>(control) != nullptr) {
        Later(this, [target] {
            if (auto* b = qobject_cast<CBmpButton*>(target.data())) b->Click();
        });
    } else if (qobject_cast<QAbstractButton*>(control) != nullptr) {
        Later(this, [target] {
            if (auto* b = qobject_cast<QAbstractButton*>(target.data())) b->click();
        });
    } else {
        return QStringList{QStringLiteral("error control %1 cannot be pressed").arg(id)};
    }
    return QStringList{QStringLiteral("ok")};
}
