#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTimer>

#include "app/HalvoApp.h"
#include "share/LoginDlg.h"
#include "ui/DialogRegistry.h"
#include "ui/TabWnd.h"

namespace {

CAddressData Entry(const char* reading, const char* name, const char* address = "", const char* mail = "")
{
    CAddressData entry;
    entry.m_strUserNameSort = reading;
    entry.m_strUserName = name;
    entry.m_strMorvikaAddress = address;
    entry.m_strMailAddress = mail;
    entry.m_strPassword = std::string("pw-") + name;
    entry.m_strComment = std::string("c-") + name;
    return entry;
}

struct Book {
    QTemporaryDir dir;
    CHalvoApp app{dir.filePath(QStringLiteral("Morvika.conf")).toStdString()};
    explicit Book(std::initializer_list<CAddressData> entries)
    {
        CAddressDataList list;
        for (const auto& entry : entries) list.PushBack(entry);
        app.SaveAddressBook(list);
    }
};

QStringList Names(const CLoginDlg& dialog)
{
    QStringList names;
    for (int row = 0; row < dialog.List()->topLevelItemCount(); ++row)
        names << dialog.List()->topLevelItem(row)->text(0);
    return names;
}

QLineEdit* EditOf(QWidget& dialog, int id)
{
    return qobject_cast<QLineEdit*>(DialogRegistry::FindControl(&dialog, id));
}

void ShowTab(CLoginDlg& dialog, int id)
{
    auto* tab = qobject_cast<CTabWnd*>(DialogRegistry::FindControl(&dialog, id));
    ASSERT_NE(tab, nullptr);
    tab->ShowNoActivate();
    dialog.FillList();
}

TEST(LoginDlgTest, EntriesAreListedUnderTheTabOfTheirReadingsFirstCharacter)
{
    Book book{Entry("バナナ", "Banana"), Entry("ばんど", "Band"),   Entry("まど", "Mado"),
              Entry("", "NoReading"),    Entry("abc", "HalfWidth"), Entry("ａｋｉ", "Aki")};
    CLoginDlg dialog(book.app);
    EXPECT_TRUE(Names(dialog).isEmpty());                       // "あ" is up first
    ShowTab(dialog, 2005);                                      // は
    EXPECT_EQ(Names(dialog), (QStringList{"Band", "Banana"}));  // reverse book order
    // A click on the ま tab brings its entries.
    auto* ma = qobject_cast<CTabWnd*>(DialogRegistry::FindControl(&dialog, 2006));
    dialog.show();
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(ma->TabRect().center()),
                      QPointF(ma->mapToGlobal(ma->TabRect().center())), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(ma, &press);
    EXPECT_EQ(dialog.List()->parentWidget(), ma);
    EXPECT_EQ(Names(dialog), QStringList{"Mado"});

    // The letter row: the list moves there and refills.
    dialog.ShowRow(1);
    EXPECT_EQ(dialog.List()->parentWidget()->property("controlId").toInt(), 3000);
    EXPECT_EQ(Names(dialog), QStringList{"Aki"});
    ShowTab(dialog, 3009);  // 記号
    EXPECT_EQ(Names(dialog), (QStringList{"HalfWidth", "NoReading"}));
    EXPECT_EQ(dialog.List()->RowId(1), 4);
}

TEST(LoginDlgTest, RowClickFillsTheEditsAndDeleteNeedsAClickedRowAndEmptiesThem)
{
    Book book{Entry("かな", "Kana", "10.0.0.1"), Entry("かに", "Kani", "10.0.0.2")};
    CLoginDlg dialog(book.app);
    ShowTab(dialog, 2001);  // か
    ASSERT_EQ(Names(dialog), (QStringList{"Kani", "Kana"}));

    dialog.OnDelete();  // nothing clicked: nothing happens
    CAddressDataList stored;
    book.app.LoadAddressBook(stored);
    EXPECT_EQ(stored.Count(), 2u);

    dialog.OnRowClick(1, dialog.List()->RowId(1));
    EXPECT_EQ(EditOf(dialog, 1017)->text(), QStringLiteral("10.0.0.1"));
    EXPECT_EQ(EditOf(dialog, 1018)->text(), QStringLiteral("pw-Kana"));
    EXPECT_EQ(EditOf(dialog, 1027)->text(), QStringLiteral("c-Kana"));

    dialog.OnDelete();
    book.app.LoadAddressBook(stored);
    ASSERT_EQ(stored.Count(), 1u);
    EXPECT_EQ(stored.Entries()[0].m_strUserName, "Kani");
    EXPECT_EQ(Names(dialog), QStringList{"Kani"});
    for (int id : {1017, 1018, 1027}) EXPECT_TRUE(EditOf(dialog, id)->text().isEmpty()) << id;
    EXPECT_EQ(dialog.ClickedId(), 0);
    dialog.OnDelete();  // forgotten: a second delete does nothing
    book.app.LoadAddressBook(stored);
    EXPECT_EQ(stored.Count(), 1u);
}

TEST(LoginDlgTest, NameHeaderSortsByReadingDescendingFirstThenReverses)
{
    Book book{Entry("かい", "B"), Entry("かあ", "A"), Entry("かう", "C")};
    CLoginDlg dialog(book.app);
    ShowTab(dialog, 2001);
    dialog.List()->SortByReading();
    EXPECT_EQ(Names(dialog), (QStringList{"C", "B", "A"}));
    dialog.List()->SortByReading();
    EXPECT_EQ(Names(dialog), (QStringList{"A", "B", "C"}));
}

TEST(LoginDlgTest, NewEntryThroughTheEditorIsSavedAndListed)
{
    Book book{};
    CLoginDlg dialog(book.app);
    QTimer::singleShot(0, &dialog, [] {
        QWidget* editor = DialogRegistry::Find(QStringLiteral("CDlgAddressUpdate"));
        ASSERT_NE(editor, nullptr);
        EditOf(*editor, 1017)->setText(QStringLiteral("あおい"));
        EditOf(*editor, 1018)->setText(QStringLiteral("Aoi"));
        EditOf(*editor, 1019)->setText(QStringLiteral("192.168.0.9"));
        static_cast<QDialog*>(editor)->accept();
    });
    dialog.OnNew();
    CAddressDataList stored;
    book.app.LoadAddressBook(stored);
    ASSERT_EQ(stored.Count(), 1u);
    EXPECT_EQ(stored.Entries()[0].m_strMorvikaAddress, "192.168.0.9");
    EXPECT_EQ(Names(dialog), QStringList{"Aoi"});
}

TEST(LoginDlgTest, MailCommandGetsTheMailtoLinkOfTheEntry)
{
    std::string program;
    std::string parameters;
    ASSERT_TRUE(CLoginDlg::BuildMailLaunch("program /mailurl:%1", "M", program, parameters));
    EXPECT_EQ(program, "program");
    EXPECT_EQ(parameters, "/mailurl:mailto:M");
    ASSERT_TRUE(CLoginDlg::BuildMailLaunch(" \"/opt/mail app/run\" --compose %1 ", "a@b", program, parameters));
    EXPECT_EQ(program, "/opt/mail app/run");
    EXPECT_EQ(parameters, "--compose mailto:a@b");
    // A mail address is text, never a format.
    ASSERT_TRUE(CLoginDlg::BuildMailLaunch("mailer %1 %d", "%s%n", program, parameters));
    EXPECT_EQ(parameters, "mailto:%s%n %d");
    EXPECT_FALSE(CLoginDlg::BuildMailLaunch("mailer --no-link", "M", program, parameters));
    EXPECT_FALSE(CLoginDlg::BuildMailLaunch("", "M", program, parameters));
    EXPECT_FALSE(CLoginDlg::BuildMailLaunch("\"\" %1", "M", program, parameters));
}

}  // namespace
