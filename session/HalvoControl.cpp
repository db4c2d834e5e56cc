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
#include <functional>
#include <optional>
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

// What a command is given: its words, and what its argument shape already parsed.
struct Request {
    CHalvoControl& control;
    CHalvoDlg& dialog;
    const QStringList& parts;
    QString command;
    std::uint32_t userId = 0;   // Shape::kIds
    std::uint32_t groupId = 0;  // Shape::kIds
    QWidget* window = nullptr;  // Shape::kDialog and Shape::kControl: the dialog named
    QWidget* widget = nullptr;  // Shape::kControl: the control named
    int id = 0;                 // Shape::kControl: its id

    QString Word(int index) const { return Arg(parts, index); }
    // The line from that word on, blanks kept (names and paths may hold them).
    QString Rest(int from) const { return parts.mid(from).join(QLatin1Char(' ')); }
};

enum class Shape {
    kWords,    // words, each read by the handler
    kIds,      // <user id> <group id> in hexadecimal, then words
    kDialog,   // <dialog> (an open dialog, or "main"), then words
    kControl,  // <dialog> <control id>, then words
};

// Whether a command answers while the main window is not up yet (the first-start wizard runs).
enum class When { kAlways, kReady };

using Handler = QStringList (*)(const Request&);

struct Command {
    const char* name;
    Shape shape;
    When when;
    Handler handler;
};

// The user windows on the client area, shown or hidden.
QList<CUserWndObject*> UserWindows(CHalvoDlg& dialog)
{
    return dialog.Controlled().clientArea->findChildren<CUserWndObject*>(QString(), Qt::FindDirectChildrenOnly);
}

CUserWndObject* ShownUserWindow(CHalvoDlg& dialog, std::uint32_t userId, std::uint32_t groupId)
{
    for (auto* window : UserWindows(dialog)) {
        if (window->UserId() == userId && window->GroupId() == groupId && !window->isHidden()) return window;
    }
    return nullptr;
}

QStringList Ping(const Request&)
{
    return {QStringLiteral("ok pong")};
}

QStringList Dialogs(const Request&)
{
    QStringList out;
    for (const QString& name : DialogRegistry::OpenNames()) out << QStringLiteral("dialog ") + name;
    out << QStringLiteral("end");
    return out;
}

// The identity is the installation's, loaded at start: a script may check it before
// anything else is up.
QStringList Identity(const Request& r)
{
    const std::string fingerprint = r.dialog.App().GetFingerprint();
    if (fingerprint.empty()) return {QStringLiteral("error no identity")};
    return {QStringLiteral("ok ") + QString::fromStdString(fingerprint)};
}

QStringList MainScreenshot(const Request& r)
{
    const QString which = r.Word(1);
    const QString file = r.Rest(2);
    QWidget* widget = which == QStringLiteral("main")       ? static_cast<QWidget*>(&r.dialog)
                      : which == QStringLiteral("chat")     ? static_cast<QWidget*>(r.dialog.Controlled().chat)
                      : which == QStringLiteral("approval") ? static_cast<QWidget*>(r.dialog.Controlled().approval)
                      : which == QStringLiteral("shares")   ? static_cast<QWidget*>(r.dialog.Controlled().shares)
                                                            : DialogRegistry::Find(which);
    if (widget == nullptr || file.isEmpty()) return {QStringLiteral("error no such window or no file")};
    if (!widget->grab().save(file)) return {QStringLiteral("error cannot write ") + file};
    return {QStringLiteral("ok")};
}

// An open dialog answers at any time; the main window's own ones once it is up.
QStringList Screenshot(const Request& r)
{
    if (QWidget* open = DialogRegistry::Find(r.Word(1))) {
        const QString file = r.Rest(2);
        if (file.isEmpty()) return {QStringLiteral("error no file")};
        if (!open->grab().save(file)) return {QStringLiteral("error cannot write ") + file};
        return {QStringLiteral("ok")};
    }
    if (!r.dialog.IsReady()) return {QStringLiteral("error the main window is not up yet")};
    return MainScreenshot(r);
}

QStringList ClickRowOrHeader(const Request& r)
{
    // A dialog with several lists names the one meant by its control id.
    bool listGiven = false;
    const int listId = r.Word(3).toInt(&listGiven);
    QAbstractItemView* view = nullptr;
    if (listGiven) {
        view = qobject_cast<QAbstractItemView*>(DialogRegistry::FindControl(r.window, listId));
    } else {
        // Without an id: the list with the lowest id (a dialog's main list comes first).
        int lowest = 0;
        for (auto* candidate : r.window->findChildren<QAbstractItemView*>()) {
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
    const int row = r.Word(2).toInt(&ok);
    if (r.command == QStringLiteral("click-header")) {
        // A left click on that column's header (the row number names the column).
        QHeaderView* header = nullptr;
        if (auto* tree = qobject_cast<QTreeView*>(view)) header = tree->header();
        if (auto* table = qobject_cast<QTableView*>(view)) header = table->horizontalHeader();
        if (header == nullptr || header->isHidden() || !ok || row < 0 || row >= header->count()) {
            return {QStringLiteral("error no such column")};
        }
        QPointer<QHeaderView> target(header);
        Later(&r.control, [target, row] {
            if (!target) return;
            const int x = target->sectionViewportPosition(row) + target->sectionSize(row) / 2;
            ClickAt(target->viewport(), QPoint(x, target->height() / 2));
        });
        return {QStringLiteral("ok")};
    }
    if (view == nullptr || !ok || row < 0 || row >= view->model()->rowCount()) {
        return {QStringLiteral("error no such row")};
    }
    QPointer<QAbstractItemView> target(view);
    Later(&r.control, [target, row] {
        if (!target) return;
        const QModelIndex index = target->model()->index(row, 0);
        target->scrollTo(index);
        ClickAt(target->viewport(), target->visualRect(index).center());
    });
    return {QStringLiteral("ok")};
}

QStringList Get(const Request& r)
{
    QWidget* control = r.widget;
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
    return {QStringLiteral("ok %1 %2").arg(control->isEnabled() ? 1 : 0).arg(value)};
}

// What a user can act on: an enabled control that is shown; nullopt when it is one.
std::optional<QStringList> NotActable(const Request& r)
{
    if (!r.widget->isEnabled()) return QStringList{QStringLiteral("error control %1 is disabled").arg(r.id)};
    if (r.widget->isHidden()) return QStringList{QStringLiteral("error control %1 is hidden").arg(r.id)};
    return std::nullopt;
}

QStringList Type(const Request& r)
{
    if (auto refused = NotActable(r)) return *refused;
    auto* edit = qobject_cast<QLineEdit*>(r.widget);
    if (edit == nullptr) return {QStringLiteral("error control %1 is no edit").arg(r.id)};
    const QString text = r.Rest(3);
    edit->setFocus();
    edit->selectAll();
    edit->insert(text);  // as typed: the edit reports an edit
    if (text.isEmpty()) edit->del();
    return {QStringLiteral("ok")};
}

QStringList Check(const Request& r)
{
    if (auto refused = NotActable(r)) return *refused;
    auto* button = qobject_cast<QAbstractButton*>(r.widget);
    if (button == nullptr || !button->isCheckable()) {
        return {QStringLiteral("error control %1 cannot be checked").arg(r.id)};
    }
    const bool wanted = r.Word(3) == QStringLiteral("1");
    if (button->isChecked() != wanted) {
        QPointer<QWidget> target(r.widget);
        Later(&r.control, [target] {
            if (auto* b = qobject_cast<QAbstractButton*>(target.data())) b->click();
        });
    }
    return {QStringLiteral("ok")};
}

QStringList Select(const Request& r)
{
    if (auto refused = NotActable(r)) return *refused;
    bool ok = false;
    const int index = r.Word(3).toInt(&ok);
    auto* combo = qobject_cast<QComboBox*>(r.widget);
    if (combo == nullptr || !ok || index < -1 || index >= combo->count()) {
        return {QStringLiteral("error no item %1 in control %2").arg(r.Word(3)).arg(r.id)};
    }
    combo->setCurrentIndex(index);
    emit combo->activated(index);
    return {QStringLiteral("ok")};
}

QStringList Press(const Request& r)
{
    if (auto refused = NotActable(r)) return *refused;
    QWidget* control = r.widget;
    QPointer<QWidget> target(control);
    if (qobject_cast<CTabWnd*>(control) != nullptr) {
        Later(&r.control, [target] {
            if (auto* t = qobject_cast<CTabWnd*>(target.data())) ClickAt(t, t->TabRect().center());
        });
    } else if (qobject_cast<CBmpButton*>(control) != nullptr) {
        Later(&r.control, [target] {
            if (auto* b = qobject_cast<CBmpButton*>(target.data())) b->Click();
        });
    } else if (qobject_cast<QAbstractButton*>(control) != nullptr) {
        Later(&r.control, [target] {
            if (auto* b = qobject_cast<QAbstractButton*>(target.data())) b->click();
        });
    } else {
        return {QStringLiteral("error control %1 cannot be pressed").arg(r.id)};
    }
    return {QStringLiteral("ok")};
}

QStringList AcceptKey(const Request& r)
{
    CPlayBoiceView* view = r.dialog.Hub().View();
    std::string fingerprint;
    if (view == nullptr || !view->AcceptHostKey(r.parts.value(1).toStdString(), fingerprint)) {
        return {QStringLiteral("error no refused key for that address")};
    }
    return {QStringLiteral("ok ") + QString::fromStdString(fingerprint)};
}

QStringList State(const Request& r)
{
    CHalvoHub& hub = r.dialog.Hub();
    CPlayBoiceView* view = hub.View();
    const CUserInformation self = view ? view->HostRecord() : CUserInformation();
    return {QStringLiteral("ok view=%1 users=%2 windows=%3 hidden=%4 ip=%5 uid=%6 gid=%7 mute=%8 external=%9")
                .arg(view ? static_cast<int>(view->GetViewState()) : 0)
                .arg(view ? view->UserCount() : 0)
                .arg(hub.UserWindowCount())
                .arg(r.dialog.IsMainHidden() ? 1 : 0)
                .arg(QString::fromStdString(view ? self.GetAddress() : std::string()))
                .arg(Hex(self.GetUserId()))
                .arg(Hex(self.GetGroupId()))
                .arg(r.dialog.IsMicMuted() ? 1 : 0)
                .arg(QString::fromStdString(r.dialog.ExternalAddress()))};
}

QStringList Nearby(const Request& r)
{
    QStringList out;
    for (const auto& session : r.dialog.NearbySessions()) {
        out << QStringLiteral("nearby %1 %2")
                   .arg(QString::fromStdString(session.JoinAddress()), QString::fromStdString(session.user));
    }
    out << QStringLiteral("end");
    return out;
}

QStringList Windows(const Request& r)
{
    QStringList out;
    for (auto* window : UserWindows(r.dialog)) {
        if (window->isHidden()) continue;
        out << QStringLiteral("window %1 %2 %3").arg(Hex(window->UserId()), Hex(window->GroupId()), window->UserName());
    }
    out << QStringLiteral("end");
    return out;
}

QStringList Where(const Request& r)
{
    // The ids as "windows" writes them.
    for (auto* window : UserWindows(r.dialog)) {
        if (window->isHidden() || Hex(window->UserId()) != r.Word(1) || Hex(window->GroupId()) != r.Word(2)) {
            continue;
        }
        return {QStringLiteral("ok %1 %2").arg(window->x()).arg(window->y())};
    }
    return {QStringLiteral("error no such window")};
}

QStringList Peers(const Request& r)
{
    QStringList out;
    if (CPlayBoiceView* view = r.dialog.Hub().View()) {
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

QStringList Connect(const Request& r)
{
    CPlayBoiceView* view = r.dialog.Hub().View();
    if (r.parts.size() < 2 || view == nullptr) return {QStringLiteral("error connect needs an address")};
    view->ConnectTo(r.Word(1).toStdString(), r.Word(2).toStdString(), r.Rest(3).toStdString());
    return {QStringLiteral("ok")};
}

QStringList Chat(const Request& r)
{
    r.dialog.Controlled().chat->Input()->setText(r.Rest(1));
    r.dialog.Controlled().chat->Send();  // the history reports the line, as for a line typed in the window
    return {QStringLiteral("ok")};
}

QStringList History(const Request& r)
{
    QStringList out;
    const QString text = r.dialog.Controlled().chat->HistoryText();
    for (const QString& l : text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) out << QStringLiteral("line ") + l;
    out << QStringLiteral("end");
    return out;
}

QStringList Dropped(const Request& r)
{
    // What members sent that was not taken in: in another's name, or unasked files.
    std::uint64_t forged = CDirectPlayPeerWraper::ForgedDropped();
    if (CPlayBoiceView* view = r.dialog.Hub().View()) {
        if (peer::CPeerService* service = view->HostWrapper().Peer()) forged += service->GetStats().refusedRelays;
    }
    const std::uint64_t unasked =
        r.dialog.Controlled().shares ? r.dialog.Controlled().shares->Exchange().UnaskedAnswers() : 0;
    return {QStringLiteral("ok forged=%1 unasked=%2").arg(forged).arg(unasked)};
}

QStringList ChatVisible(const Request& r)
{
    return {QStringLiteral("ok %1").arg(r.dialog.Controlled().chat->isVisible() ? 1 : 0)};
}

QStringList Kick(const Request& r)
{
    CHalvoHub& hub = r.dialog.Hub();
    if (hub.FindUserWindow(r.userId, r.groupId) == nullptr) return {QStringLiteral("error no such window")};
    PostMessage(hub.Handle(), WM_KILL_USER, r.userId, r.groupId);
    return {QStringLiteral("ok")};
}

QStringList Leave(const Request& r)
{
    PostMessage(r.dialog.Hub().Handle(), WM_LEAVE_SESSION, 0, 0);
    return {QStringLiteral("ok")};
}

QStringList Approve(const Request& r)
{
    CDlgConnect* dialog = r.dialog.Controlled().approval;
    if (dialog == nullptr) return {QStringLiteral("error no approval dialog")};
    const QString answer = r.Word(1);
    if (answer == QStringLiteral("accept")) {
        dialog->accept();
    } else if (answer == QStringLiteral("refuse")) {
        dialog->ReasonList()->setCurrentIndex(r.Word(2).toInt());
        dialog->reject();
    } else if (answer == QStringLiteral("timeout")) {
        dialog->OnTimer();
    } else {
        return {QStringLiteral("error approve needs accept, refuse N or timeout")};
    }
    return {QStringLiteral("ok")};
}

QStringList Hide(const Request& r)
{
    r.dialog.ShowMain(0);
    return {QStringLiteral("ok")};
}

QStringList Show(const Request& r)
{
    r.dialog.ShowMain(1);
    return {QStringLiteral("ok")};
}

QStringList PicturesOrView(const Request& r)
{
    CUserWndObject* window = ShownUserWindow(r.dialog, r.userId, r.groupId);
    if (window == nullptr) return {QStringLiteral("error no such window")};
    if (r.command == QStringLiteral("view")) {
        window->SetViewMode(r.Word(3).toInt());
        return {QStringLiteral("ok %1x%2").arg(window->width()).arg(window->height())};
    }
    CPictureWnd* picture = window->Picture();
    return {QStringLiteral("ok %1 %2 %3")
                .arg(window->PictureCount())
                .arg(Digest(picture->Core().CurrentJpeg()))
                .arg(picture->Core().DecodeCount())};
}

QStringList Menu(const Request& r)
{
    // An item of the main window's own menu, chosen after the answer is out.
    const int item = r.Word(1).toInt();
    switch (item) {
    case CHalvoDlg::kMenuArrange: r.dialog.ArrangeUserWindows(); return {QStringLiteral("ok")};
    case CHalvoDlg::kMenuHelpPage:
        Later(&r.dialog, [&dialog = r.dialog] { dialog.OnMenuCommand(CHalvoDlg::kMenuHelpPage); });
        return {QStringLiteral("ok ") + r.dialog.HelpPagePath()};
    case CHalvoDlg::kMenuAbout:
    case CHalvoDlg::kMenuProperties:
    case CHalvoDlg::kMenuExit:
        // The about box, the settings sheet and the exit question are modal.
        Later(&r.dialog, [&dialog = r.dialog, item] { dialog.OnMenuCommand(item); });
        return {QStringLiteral("ok")};
    case 32814: {
        // The own window's "カメラ画像に戻す", chosen as its context menu offers it.
        CPlayBoiceView* view = r.dialog.Hub().View();
        const CUserInformation self = view ? view->HostRecord() : CUserInformation();
        CUserWndObject* own = r.dialog.FindUserWnd(self.GetUserId(), self.GetGroupId());
        if (own == nullptr) return {QStringLiteral("error no own window")};
        if (!own->ChooseMenuItem(item)) return {QStringLiteral("error menu item 32814 is disabled")};
        return {QStringLiteral("ok")};
    }
    default: return {QStringLiteral("error no menu item ") + r.Word(1)};
    }
}

QStringList Tray(const Request& r)
{
    // An item of the tray icon's menu.
    const int item = r.Word(1).toInt();
    if (item != CHalvoDlg::kMenuOpen && item != CHalvoDlg::kMenuExit) {
        return {QStringLiteral("error no tray menu item ") + r.Word(1)};
    }
    Later(&r.dialog, [&dialog = r.dialog, item] { dialog.OnMenuCommand(item); });
    return {QStringLiteral("ok")};
}

QStringList Help(const Request& r)
{
    // Help mode, then a click on that control of the main window.
    QWidget* control = DialogRegistry::FindControl(&r.dialog, r.Word(1).toInt());
    if (control == nullptr) return {QStringLiteral("error no control ") + r.Word(1)};
    r.dialog.EnterHelpMode();
    if (r.dialog.ShowHelp(control, control->mapToGlobal(QPoint(0, 0))) == nullptr) {
        return {QStringLiteral("error no help for control ") + r.Word(1)};
    }
    return {QStringLiteral("ok")};
}

QStringList Resize(const Request& r)
{
    // A drag from the grip to that screen point.
    const QPoint to(r.Word(1).toInt(), r.Word(2).toInt());
    Later(&r.dialog, [&dialog = r.dialog, to] { dialog.RunResizeTool(&to); });
    return {QStringLiteral("ok")};
}

QStringList Geometry(const Request& r)
{
    QWidget* window = r.dialog.OwnedWindow(r.parts.size() > 1 ? r.Word(1) : QStringLiteral("main"));
    if (window == nullptr || (window != &r.dialog && !window->isVisible()))
        return {QStringLiteral("error no such window open")};
    const QRect rect = window->frameGeometry();
    return {QStringLiteral("ok %1 %2 %3 %4").arg(rect.left()).arg(rect.top()).arg(rect.width()).arg(rect.height())};
}

QStringList Grip(const Request& r)
{
    const QPoint centre = r.dialog.mapToGlobal(r.dialog.GripRect().center());
    return {QStringLiteral("ok %1 %2").arg(centre.x()).arg(centre.y())};
}

QStringList WhereButton(const Request& r)
{
    QWidget* control = DialogRegistry::FindControl(&r.dialog, r.Word(1).toInt());
    if (control == nullptr) return {QStringLiteral("error no control ") + r.Word(1)};
    const QPoint centre = control->mapToGlobal(control->rect().center());
    return {QStringLiteral("ok %1 %2").arg(centre.x()).arg(centre.y())};
}

QStringList Arrange(const Request& r)
{
    r.dialog.ArrangeUserWindows();
    return {QStringLiteral("ok")};
}

QStringList CameraOrLive(const Request& r)
{
    CCameraView* camera = r.dialog.Controlled().camera;
    if (camera == nullptr) return {QStringLiteral("error no camera view")};
    if (r.command == QStringLiteral("live")) camera->ToggleLive();
    const CCameraPipeline& pipeline = camera->Pipeline();
    return {QStringLiteral("ok state=%1 rate=%2 frames=%3 view=%4 name=%5")
                .arg(pipeline.State())
                .arg(pipeline.ControlData().m_nFrameRate)
                .arg(pipeline.FramesHandedOff())
                .arg(camera->Information().GetViewType())
                .arg(QString::fromStdString(pipeline.CameraName()))};
}

QStringList Share(const Request& r)
{
    CAppShare* share = r.dialog.Controlled().shareEngine;
    const QString want = r.Word(1);
    if (share == nullptr) return {QStringLiteral("error no sharing engine")};
    if (want != QStringLiteral("on") && want != QStringLiteral("off"))
        return {QStringLiteral("error share needs on or off")};
    const bool on = want == QStringLiteral("on");
    if (on == share->IsSharing()) return {QStringLiteral("ok")};
    if (!r.dialog.Controlled().shareButton->isEnabled()) return {QStringLiteral("error the share button is disabled")};
    if (!r.dialog.OnShareButton()) return {QStringLiteral("error window sharing needs an X11 session")};
    return {QStringLiteral("ok")};
}

QStringList ViewerOrSave(const Request& r)
{
    CUserWndObject* window = r.dialog.FindUserWnd(r.userId, r.groupId);
    if (window == nullptr) return {QStringLiteral("error no such window")};
    CPictureWnd* viewer = r.dialog.Controlled().shareViewer->Picture();
    const bool linked = window->LinkedViewer() == viewer;
    if (r.command == QStringLiteral("viewer")) {
        return {QStringLiteral("ok %1 %2 %3")
                    .arg(linked && r.dialog.Controlled().shareViewer->isVisible() ? 1 : 0)
                    .arg(linked ? viewer->ReceivedCount() : 0)
                    .arg(linked ? Digest(viewer->Core().CurrentJpeg()) : QStringLiteral("0"))};
    }
    const QString file = r.Rest(3);
    if (file.isEmpty()) return {QStringLiteral("error %1 needs a file").arg(r.command)};
    const bool fromViewer = r.command == QStringLiteral("save-viewer");
    if (fromViewer && !linked) return {QStringLiteral("error no viewer linked")};
    const QImage image = (fromViewer ? viewer : window->Picture())->CurrentImage();
    if (image.isNull()) return {QStringLiteral("error no picture")};
    if (!image.save(file)) return {QStringLiteral("error cannot write ") + file};
    return {QStringLiteral("ok %1x%2").arg(image.width()).arg(image.height())};
}

QStringList StillOrPaste(const Request& r)
{
    CStillImage* still = r.dialog.Controlled().still;
    const QString file = r.Rest(1);
    if (still == nullptr || file.isEmpty()) return {QStringLiteral("error %1 needs a file").arg(r.command)};
    if (r.command == QStringLiteral("still")) {
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

QStringList CameraPage(const Request& r)
{
    if (r.parts.size() == 1) {
        // The page opens after the answer and stays open for the dialog commands.
        if (r.dialog.Controlled().camera == nullptr) return {QStringLiteral("error no camera view")};
        Later(&r.dialog, [&dialog = r.dialog] { dialog.ShowCameraPage(); });
        return {QStringLiteral("ok")};
    }
    bool okDct = false;
    bool okRate = false;
    bool okQuality = false;
    const int dct = r.Word(1).toInt(&okDct);
    const int rateIndex = r.Word(2).toInt(&okRate);
    const int quality = r.Word(3).toInt(&okQuality);
    if (!okDct || !okRate || !okQuality || dct < 0 || dct > 2 || quality < 0 || quality > 99) {
        return {QStringLiteral("error camera-page needs <dct 0-2> <rate index> <quality 0-99>")};
    }
    if (r.dialog.Controlled().camera == nullptr) return {QStringLiteral("error no camera view")};
    r.dialog.ShowCameraPage([&](CJpegControl& page) {
        page.DctRadio(dct)->setChecked(true);
        page.RateList()->setCurrentIndex(rateIndex);
        page.QualitySlider()->setValue(quality + 1);
        page.OnOK();
    });
    const OskelJpegControlData& now = r.dialog.Controlled().camera->Pipeline().ControlData();
    return {
        QStringLiteral("ok quality=%1 dct=%2 rate=%3").arg(now.m_nQuality).arg(now.m_nDctMethod).arg(now.m_nFrameRate)};
}

QStringList CameraPageFile(const Request& r)
{
    // Button 1019 of the open camera page, with the file chooser answered.
    auto* page = qobject_cast<CJpegControl*>(DialogRegistry::Find(QStringLiteral("CJpegControl")));
    const QString file = r.Rest(1);
    if (page == nullptr) return {QStringLiteral("error no open dialog CJpegControl")};
    if (file.isEmpty()) return {QStringLiteral("error camera-page-file needs a file")};
    page->chooseFile = [file] { return file; };
    page->OnChooseFile();
    page->chooseFile = nullptr;
    return {QStringLiteral("ok")};
}

QStringList MicMute(const Request& r)
{
    const QString value = r.Word(1);
    if (value != QStringLiteral("0") && value != QStringLiteral("1"))
        return {QStringLiteral("error mic-mute needs 0 or 1")};
    if (r.dialog.IsMicMuted() != (value == QStringLiteral("1"))) r.dialog.OnMicIconLeftClick();
    return {QStringLiteral("ok %1").arg(r.dialog.IsMicMuted() ? 1 : 0)};
}

QStringList MicSettings(const Request& r)
{
    // A right click on the microphone icon, after the answer is out.
    Later(&r.dialog, [&dialog = r.dialog] { dialog.OnMicIconRightClick(); });
    return {QStringLiteral("ok")};
}

QStringList MicLevel(const Request& r)
{
    bool ok = false;
    const int level = r.Word(1).toInt(&ok);
    if (!ok || level < -1000 || level > 0) return {QStringLiteral("error mic-level needs a level from -1000 to 0")};
    CHalvoHub& hub = r.dialog.Hub();
    CPlayBoiceView* view = hub.View();  // as it was before the settings ran
    const bool stored = r.dialog.RunMicControl([level](CMicControl& dialog) {
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

QStringList VolumeOrPeerMute(const Request& r)
{
    bool okUser = false;
    bool okGroup = false;
    bool okValue = false;
    const std::uint32_t userId = r.Word(1).toUInt(&okUser, 16);
    const std::uint32_t groupId = r.Word(2).toUInt(&okGroup, 16);
    const int value = r.Word(3).toInt(&okValue);
    const bool volume = r.command == QStringLiteral("volume");
    const int top = volume ? 200 : 1;
    if (!okUser || !okGroup || !okValue || value < 0 || value > top) {
        return {QStringLiteral("error %1 needs two hexadecimal ids and a value from 0 to %2").arg(r.command).arg(top)};
    }
    CUserWndObject* window = ShownUserWindow(r.dialog, userId, groupId);
    if (window == nullptr) return {QStringLiteral("error no such window")};
    CVolumeControl* knob = window->VolumeControl();
    if (knob == nullptr || window->Playback() == nullptr) return {QStringLiteral("error no sound for that window")};
    if (volume) {
        knob->MoveKnobTo(value);
    } else if (knob->IsMuted() != (value == 1)) {
        knob->SetMute(value == 1);  // the speaker's click
        if (knob->onCommand) knob->onCommand(knob->ControlId());
    }
    long level = 0;
    window->Playback()->GetVolume(&level);
    return {QStringLiteral("ok %1 %2").arg(level).arg(window->Playback()->IsMuted())};
}

QStringList MicTest(const Request& r)
{
    CDlgMicTest* test = r.dialog.Controlled().micTest;
    if (test == nullptr) {
        CPlayBoiceView* current = r.dialog.Hub().View();
        test = new CDlgMicTest(r.dialog.App(), current ? current->Capture() : nullptr, &r.dialog);
        test->setAttribute(Qt::WA_DeleteOnClose);
        test->show();
    }
    if (test->IsMeasuring()) return {QStringLiteral("error already measuring")};
    test->onFinished = [&control = r.control, test](bool stored, int nonVoice) {
        control.Write(stored ? QStringLiteral("ok %1").arg(nonVoice) : QStringLiteral("error no sound"));
        QTimer::singleShot(0, test, [test] { test->close(); });
    };
    test->OnSilenceButton();
    return {};  // answered when the measurement ends
}

// The shared files commands answer only while the shared files window is there.
CSharesListDlg* SharesWindow(const Request& r)
{
    return r.dialog.Controlled().shares;
}

QStringList NoSharesWindow()
{
    return {QStringLiteral("error no shared files window")};
}

QStringList Shares(const Request& r)
{
    CSharesListDlg* shares = SharesWindow(r);
    if (shares == nullptr) return NoSharesWindow();
    QStringList out;
    CSharesDataList copy(shares->Exchange().List());
    CSharesData record;
    while (copy.PopFront(record)) {
        const std::string& virtualPath = record.GetFileVirtualPath();
        out << QStringLiteral("share %1 %2 %3 %4 %5 %6 %7")
                   .arg(Hex(record.GetUserId()), Hex(record.GetGroupId()))
                   .arg(record.GetAvailable())
                   .arg(record.GetFileSize())
                   .arg(QString::fromUtf8(record.GetUserName().c_str()),
                        QString::fromUtf8(record.GetFileName().c_str()),
                        virtualPath.empty() ? QStringLiteral("-") : QString::fromUtf8(virtualPath.c_str()));
    }
    out << QStringLiteral("end");
    return out;
}

QStringList ShareAdd(const Request& r)
{
    CSharesListDlg* shares = SharesWindow(r);
    if (shares == nullptr) return NoSharesWindow();
    const QString path = r.Rest(1);
    // The window skips what cannot be offered without a word; the channel tells.
    CSharesData probe;
    const bool offerable = probe.Init(path.toStdString(), CUserInformation()) == 0 && probe.GetAvailable() == 1;
    shares->AddFiles({path});  // as a drop of that one file
    return {offerable ? QStringLiteral("ok") : QStringLiteral("error not offered")};
}

QStringList ShareDelete(const Request& r)
{
    CSharesListDlg* shares = SharesWindow(r);
    if (shares == nullptr) return NoSharesWindow();
    if (!shares->SelectByName(r.Rest(1))) return {QStringLiteral("error no such file")};
    shares->OnDelete();
    return {QStringLiteral("ok")};
}

QStringList ShareCancel(const Request& r)
{
    CSharesListDlg* shares = SharesWindow(r);
    if (shares == nullptr) return NoSharesWindow();
    CFtpStat* wait = shares->WaitDialog();
    if (wait == nullptr || !wait->IsWaiting()) return {QStringLiteral("error no download")};
    wait->reject();
    return {QStringLiteral("ok")};
}

QStringList ShareSaveOrOpen(const Request& r)
{
    CSharesListDlg* shares = SharesWindow(r);
    if (shares == nullptr) return NoSharesWindow();
    const bool save = r.command == QStringLiteral("share-save");
    // A name may hold blanks: share-open takes the rest of the line, share-save the
    // longest beginning of it that names a listed file (the destination is what follows).
    QString name = save ? r.Word(1) : r.Rest(1);
    QString destination = save ? r.Rest(2) : QString();
    for (int end = static_cast<int>(r.parts.size()) - 1; save && end > 1; --end) {
        const QString candidate = r.parts.mid(1, end - 1).join(QLatin1Char(' '));
        CSharesData found;
        if (shares->Exchange().List().FindByName(candidate.toStdString(), found) != 0) {
            name = candidate;
            destination = r.Rest(end);
            break;
        }
    }
    if (name.isEmpty() || (save && destination.isEmpty()))
        return {QStringLiteral("error %1 needs a name").arg(r.command)};
    if (shares->WaitDialog() != nullptr && shares->WaitDialog()->IsWaiting()) return {QStringLiteral("error busy")};
    if (!shares->SelectByName(name)) return {QStringLiteral("error no such file")};
    // Run from the event loop, not from inside this read: the wait dialog's loop must
    // still read commands (share-cancel). The answer comes when the item is done.
    // Selected again there: an announcement read in between rebuilds the list.
    QTimer::singleShot(0, shares, [&control = r.control, shares, save, name, destination] {
        if (!shares->SelectByName(name)) {
            control.Write(QStringLiteral("error no such file"));
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
        control.Write(answer);
    });
    return {};
}

QStringList Quit(const Request& r)
{
    QTimer::singleShot(0, &r.dialog, [&dialog = r.dialog] { dialog.ExitWithoutAsking(); });
    return {QStringLiteral("ok")};
}

// Every command (docs/control.md). Dialog commands answer at any time: the first-start
// wizard is driven through them.
const Command kCommands[] = {
    {"ping", Shape::kWords, When::kAlways, Ping},
    {"dialogs", Shape::kWords, When::kAlways, Dialogs},
    {"screenshot", Shape::kWords, When::kAlways, Screenshot},
    {"type", Shape::kControl, When::kAlways, Type},
    {"check", Shape::kControl, When::kAlways, Check},
    {"select", Shape::kControl, When::kAlways, Select},
    {"press", Shape::kControl, When::kAlways, Press},
    {"get", Shape::kControl, When::kAlways, Get},
    {"click-row", Shape::kDialog, When::kAlways, ClickRowOrHeader},
    {"click-header", Shape::kDialog, When::kAlways, ClickRowOrHeader},
    {"identity", Shape::kWords, When::kAlways, Identity},
    {"accept-key", Shape::kWords, When::kReady, AcceptKey},
    {"state", Shape::kWords, When::kReady, State},
    {"nearby", Shape::kWords, When::kReady, Nearby},
    {"windows", Shape::kWords, When::kReady, Windows},
    {"where", Shape::kWords, When::kReady, Where},
    {"peers", Shape::kWords, When::kReady, Peers},
    {"connect", Shape::kWords, When::kReady, Connect},
    {"chat", Shape::kWords, When::kReady, Chat},
    {"history", Shape::kWords, When::kReady, History},
    {"dropped", Shape::kWords, When::kReady, Dropped},
    {"chatvisible", Shape::kWords, When::kReady, ChatVisible},
    {"kick", Shape::kIds, When::kReady, Kick},
    {"leave", Shape::kWords, When::kReady, Leave},
    {"approve", Shape::kWords, When::kReady, Approve},
    {"hide", Shape::kWords, When::kReady, Hide},
    {"show", Shape::kWords, When::kReady, Show},
    {"pictures", Shape::kIds, When::kReady, PicturesOrView},
    {"view", Shape::kIds, When::kReady, PicturesOrView},
    {"menu", Shape::kWords, When::kReady, Menu},
    {"tray", Shape::kWords, When::kReady, Tray},
    {"help", Shape::kWords, When::kReady, Help},
    {"resize", Shape::kWords, When::kReady, Resize},
    {"geometry", Shape::kWords, When::kReady, Geometry},
    {"grip", Shape::kWords, When::kReady, Grip},
    {"where-button", Shape::kWords, When::kReady, WhereButton},
    {"arrange", Shape::kWords, When::kReady, Arrange},
    {"camera", Shape::kWords, When::kReady, CameraOrLive},
    {"live", Shape::kWords, When::kReady, CameraOrLive},
    {"share", Shape::kWords, When::kReady, Share},
    {"viewer", Shape::kIds, When::kReady, ViewerOrSave},
    {"save-viewer", Shape::kIds, When::kReady, ViewerOrSave},
    {"save-picture", Shape::kIds, When::kReady, ViewerOrSave},
    {"still", Shape::kWords, When::kReady, StillOrPaste},
    {"paste-image", Shape::kWords, When::kReady, StillOrPaste},
    {"camera-page", Shape::kWords, When::kReady, CameraPage},
    {"camera-page-file", Shape::kWords, When::kReady, CameraPageFile},
    {"mic-mute", Shape::kWords, When::kReady, MicMute},
    {"mic-settings", Shape::kWords, When::kReady, MicSettings},
    {"mic-level", Shape::kWords, When::kReady, MicLevel},
    {"volume", Shape::kWords, When::kReady, VolumeOrPeerMute},
    {"peer-mute", Shape::kWords, When::kReady, VolumeOrPeerMute},
    {"mictest", Shape::kWords, When::kReady, MicTest},
    {"shares", Shape::kWords, When::kReady, Shares},
    {"share-add", Shape::kWords, When::kReady, ShareAdd},
    {"share-delete", Shape::kWords, When::kReady, ShareDelete},
    {"share-cancel", Shape::kWords, When::kReady, ShareCancel},
    {"share-save", Shape::kWords, When::kReady, ShareSaveOrOpen},
    {"share-open", Shape::kWords, When::kReady, ShareSaveOrOpen},
    {"quit", Shape::kWords, When::kReady, Quit},
};

const Command* FindCommand(const QString& name)
{
    for (const Command& command : kCommands) {
        if (name == QLatin1String(command.name)) return &command;
    }
    return nullptr;
}

// Reads what the shape names; an answer when the arguments do not hold.
std::optional<QStringList> ReadShape(Shape shape, Request& r)
{
    switch (shape) {
    case Shape::kWords: return std::nullopt;
    case Shape::kIds: {
        bool okUser = false;
        bool okGroup = false;
        r.userId = r.Word(1).toUInt(&okUser, 16);
        r.groupId = r.Word(2).toUInt(&okGroup, 16);
        if (!okUser || !okGroup)
            return QStringList{QStringLiteral("error %1 needs two hexadecimal ids").arg(r.command)};
        return std::nullopt;
    }
    case Shape::kDialog:
    case Shape::kControl: {
        // "main" is the main window with its buttons.
        r.window = r.Word(1) == QStringLiteral("main") && r.dialog.IsReady() ? static_cast<QWidget*>(&r.dialog)
                                                                             : DialogRegistry::Find(r.Word(1));
        if (r.window == nullptr) return QStringList{QStringLiteral("error no open dialog ") + r.Word(1)};
        if (shape == Shape::kDialog) return std::nullopt;
        bool okId = false;
        r.id = r.Word(2).toInt(&okId);
        r.widget = okId ? DialogRegistry::FindControl(r.window, r.id) : nullptr;
        if (r.widget == nullptr) return QStringList{QStringLiteral("error no control %1").arg(r.Word(2))};
        return std::nullopt;
    }
    }
    return std::nullopt;
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

QStringList CHalvoControl::Execute(const QString& line)
{
    const QStringList parts = line.split(QLatin1Char(' '));
    Request request{*this, m_dialog, parts, parts.value(0)};
    const Command* command = FindCommand(request.command);
    if (command == nullptr || command->when == When::kReady) {
        // Before the main window is up (the first-start wizard runs) only dialogs answer.
        if (!m_dialog.IsReady()) return {QStringLiteral("error the main window is not up yet")};
    }
    if (command == nullptr) {
        if (request.command.startsWith(QStringLiteral("share")) && m_dialog.Controlled().shares == nullptr)
            return NoSharesWindow();
        return {QStringLiteral("error unknown command ") + request.command};
    }
    if (auto refused = ReadShape(command->shape, request)) return *refused;
    return command->handler(request);
}
