#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <string>
#include <vector>

#include "app/WindowMessages.h"
#include "share/ChatDlg.h"
#include "share/DlgConnect.h"
#include "share/FtpStat.h"
#include "share/SharesListDlg.h"
#include "platform/winmsg/WinMsgPayload.h"

#include <QFile>
#include <QTemporaryDir>

namespace {

// Runs a modal dialog and lets act() operate on it once it is up.
template <typename Act>
int RunModal(QDialog& dialog, Act act)
{
    QTimer::singleShot(0, &dialog, [&] { act(); });
    return dialog.exec();
}

TEST(DlgConnectTest, AcceptRefuseAndTimeOutGiveTheirCodes)
{
    int sounds = 0;
    {
        CDlgConnect dialog("太郎", "こんにちは", [&] { ++sounds; });
        RunModal(dialog, [&] { dialog.findChild<QPushButton*>("accept")->click(); });
        EXPECT_EQ(dialog.ResultCode(), 1);
    }
    {
        CDlgConnect dialog("太郎", "", [&] { ++sounds; });
        RunModal(dialog, [&] {
            dialog.ReasonList()->setCurrentIndex(2);
            dialog.findChild<QPushButton*>("refuse")->click();
        });
        EXPECT_EQ(dialog.ResultCode(), 1002);
    }
    {
        // Escape refuses with the selected reason, the first by default.
        CDlgConnect dialog("太郎", "", [&] { ++sounds; });
        RunModal(dialog, [&] {
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(&dialog, &escape);
        });
        EXPECT_EQ(dialog.ResultCode(), 1000);
    }
    {
        CDlgConnect dialog(
            "太郎", "", [&] { ++sounds; }, nullptr, 200);
        dialog.exec();  // nobody answers
        EXPECT_EQ(dialog.ResultCode(), 2);
    }
    EXPECT_EQ(sounds, 4);  // once per dialog
}

TEST(DlgConnectTest, ShowsTheCallerAndTheComment)
{
    CDlgConnect dialog("花子", "<b>会議</b>", nullptr);
    EXPECT_EQ(dialog.findChild<QLabel*>("line1")->text(), QStringLiteral("花子 さんがログインしました"));
    EXPECT_EQ(dialog.findChild<QLabel*>("line2")->text(), QStringLiteral("<b>会議</b>"));
    EXPECT_EQ(dialog.findChild<QLabel*>("line2")->textFormat(), Qt::PlainText);  // a peer's text is never markup
}

class ChatSink : public CMsgTarget {
public:
    ~ChatSink() override { DetachMessages(); }
    LRESULT WindowProc(UINT message, WPARAM, LPARAM lParam) override
    {
        const auto* block = SentPayload<const SendBlock>(lParam);
        if (message == WM_CHAT_SEND && block != nullptr) {
            sent.emplace_back(reinterpret_cast<const char*>(block->bytes), block->count);
        }
        return 0;
    }
    std::vector<std::string> sent;
};

ChatHost Host(int* sounds, QRect* saved = nullptr)
{
    ChatHost host;
    host.userName = [] { return QStringLiteral("Taro"); };
    host.loadRect = [] { return QRect(QPoint(10, 20), QPoint(348, 161)); };
    host.saveRect = [saved](const QRect& r) {
        if (saved) *saved = r;
    };
    host.playSound = [sounds] { ++*sounds; };
    return host;
}

TEST(ChatDlgTest, EnterSendsNameGreaterThanTextAndKeepsItInTheHistory)
{
    int sounds = 0;
    ChatSink sink;
    CChatDlg chat(Host(&sounds), sink.Handle());
    chat.Input()->setText("hello");
    chat.Send();
    chat.Send();  // an empty input still sends the name and ">"
    ASSERT_EQ(sink.sent.size(), 2u);
    EXPECT_EQ(sink.sent[0], "Taro>hello");
    EXPECT_EQ(sink.sent[1], "Taro>");
    EXPECT_TRUE(chat.Input()->text().isEmpty());
    EXPECT_EQ(chat.HistoryText(), QStringLiteral("Taro>hello\r\nTaro>\r\n"));
    EXPECT_EQ(sounds, 0);
}

TEST(ChatDlgTest, WithoutAMainWindowTheLineIsOnlyShown)
{
    int sounds = 0;
    CChatDlg chat(Host(&sounds), 0);
    chat.Input()->setText("alone");
    chat.Send();
    EXPECT_EQ(chat.HistoryText(), QStringLiteral("Taro>alone\r\n"));
}

TEST(ChatDlgTest, InputStopsAt1024Characters)
{
    int sounds = 0;
    CChatDlg chat(Host(&sounds), 0);
    chat.show();
    chat.Input()->setFocus();
    chat.Input()->setText(QString(1024, QLatin1Char('a')));
    QKeyEvent key(QEvent::KeyPress, Qt::Key_B, Qt::NoModifier, "b");
    QApplication::sendEvent(chat.Input(), &key);
    EXPECT_EQ(chat.Input()->text().size(), 1024);
    EXPECT_FALSE(chat.Input()->text().contains('b'));
}

TEST(ChatDlgTest, ReceivedLineShowsAHiddenWindowWithOneSound)
{
    int sounds = 0;
    CChatDlg chat(Host(&sounds), 0);
    ASSERT_FALSE(chat.isVisible());
    chat.ReceiveText("Hanako>やあ");
    EXPECT_TRUE(chat.isVisible());
    EXPECT_EQ(sounds, 1);
    chat.ReceiveText("Hanako>again");
    EXPECT_EQ(sounds, 1);  // visible: no sound
    EXPECT_EQ(chat.LastText(), QStringLiteral("Hanako>again"));
    EXPECT_EQ(chat.HistoryText(), QStringLiteral("Hanako>やあ\r\nHanako>again\r\n"));

    // Closing only hides; the history survives.
    chat.close();
    EXPECT_FALSE(chat.isVisible());
    chat.Toggle();
    EXPECT_TRUE(chat.isVisible());
    EXPECT_EQ(sounds, 2);
    chat.Toggle();
    EXPECT_FALSE(chat.isVisible());
    EXPECT_EQ(chat.HistoryText().count("\r\n"), 2);
}

TEST(ChatDlgTest, PositionIsRestoredAndSavedAndHasAMinimum)
{
    int sounds = 0;
    QRect saved;
    {
        CChatDlg chat(Host(&sounds, &saved), 0);
        EXPECT_EQ(chat.geometry(), QRect(QPoint(10, 20), QPoint(348, 161)));
        chat.resize(50, 40);
        EXPECT_GE(chat.width(), 179);
        EXPECT_GE(chat.height(), 142);
        chat.move(30, 40);
    }
    EXPECT_EQ(saved.topLeft(), QPoint(30, 40));
}

// The shared files window's waits: Cancel ends the wait at once, a file arriving later is
// still stored and then saved without a new request, and any arriving file ends a wait.
class SharesMain : public ISharesSender {
public:
    void SendSharesList(const std::uint8_t*, std::uint32_t) override {}
    void SendDirected(CPeerMessage&& message) override
    {
        if (message.Kind() == KIND_SHARES_REQUEST) ++requests;
    }
    int requests = 0;
};

CPeerMessage FileData(const char* name, const QByteArray& bytes)
{
    CSharesData record;
    record.SetFileName(name);
    record.SetUserName("Taro");
    record.SetFileSize(static_cast<std::uint32_t>(bytes.size()));
    CSharesFileObject file(record);
    file.SetFileData(reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<std::size_t>(bytes.size()));
    CTransBlock block;
    file.Serialize(block);
    CPeerMessage message;
    message.Set(KIND_SHARES_DATA, 9, 9, block.Data(), static_cast<std::int64_t>(block.Size()));
    return message;
}

TEST(SharesListDlgTest, WaitsEndByCancelOrByAnyArrivingFile)
{
    QTemporaryDir temp;
    SharesMain main;
    SharesHost core;
    core.sender = &main;
    core.localUser = [] { return CUserInformation(); };
    core.isLocal = [](std::uint32_t u, std::uint32_t g) { return u == 1 && g == 1; };
    core.tempFolder = temp.path().toStdString();
    CSharesExchange exchange(core);
    CSharesListDlg dialog(SharesDlgHost{}, exchange);
    dialog.Create();
    for (const char* name : {"a.txt", "b.txt"}) {
        CSharesData record;
        record.SetFileName(name);
        record.SetUserName("Taro");
        record.SetUserId(9);
        record.SetGroupId(9);
        record.SetFileSize(3);
        record.SetAvailable(1);
        dialog.Exchange().List().PushBack(record);
    }
    dialog.Refresh();
    std::vector<std::pair<QString, bool>> done;
    dialog.onItemDone = [&](const QString&, const QString& path, bool cancelled) {
        done.emplace_back(path, cancelled);
    };

    ASSERT_TRUE(dialog.SelectByName("a.txt"));
    QTimer::singleShot(0, &dialog, [&] { dialog.WaitDialog()->reject(); });
    dialog.OnSave();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_TRUE(done[0].second) << "cancelled";
    EXPECT_EQ(main.requests, 1);

    // The answer arrives after the cancel: stored, and the next save needs no request.
    exchange.OnPeerMessage(FileData("a.txt", "abc"));
    const QString destination = temp.path() + "/saved.txt";
    dialog.AnswerNextSave(destination);
    dialog.OnSave();
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[1].first, destination);
    EXPECT_EQ(main.requests, 1);
    QFile saved(destination);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), QByteArray("abc"));

    // Waiting for b.txt, another requested file's data ends the wait; b.txt still has no copy.
    // (Only answers to a request are taken in: a.txt is asked for once more first.)
    CSharesData again;
    ASSERT_EQ(dialog.Exchange().List().FindByName("a.txt", again), 1);
    dialog.Exchange().RequestFile(again);
    ASSERT_TRUE(dialog.SelectByName("b.txt"));
    QTimer::singleShot(0, &dialog, [&] { exchange.OnPeerMessage(FileData("a.txt", "xyz")); });
    dialog.OnOpen();
    ASSERT_EQ(done.size(), 3u);
    EXPECT_FALSE(done[2].second);
    EXPECT_TRUE(done[2].first.isEmpty()) << "nothing to open";
    EXPECT_EQ(main.requests, 3);

    // A copy that cannot be read is not saved: the destination keeps what it held, and the
    // save is reported as failed. (Reading /proc/self/clear_refs fails after it opened.)
    CSharesData unreadable;
    unreadable.SetFileName("clear_refs");
    unreadable.SetUserName("Taro");
    unreadable.SetUserId(9);
    unreadable.SetGroupId(9);
    unreadable.SetFileSize(3);
    unreadable.SetAvailable(1);
    unreadable.SetFileVirtualPath("/proc/self/");
    dialog.Exchange().List().PushBack(unreadable);
    dialog.Refresh();
    {
        QFile before(destination);
        ASSERT_TRUE(before.open(QIODevice::WriteOnly | QIODevice::Truncate));
        before.write("kept");
    }
    ASSERT_TRUE(dialog.SelectByName("clear_refs"));
    dialog.AnswerNextSave(destination);
    dialog.OnSave();
    ASSERT_EQ(done.size(), 4u);
    EXPECT_TRUE(done[3].first.isEmpty()) << "a failed copy reported as saved";
    QFile after(destination);
    ASSERT_TRUE(after.open(QIODevice::ReadOnly));
    EXPECT_EQ(after.readAll(), QByteArray("kept"));

    // An answer nobody asked for is dropped, and ends no wait.
    exchange.OnPeerMessage(FileData("a.txt", "new"));
    EXPECT_EQ(dialog.Exchange().UnaskedAnswers(), 1u);
}

}  // namespace
