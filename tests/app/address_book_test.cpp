#include <gtest/gtest.h>

#include <QSettings>
#include <QString>

#include <thread>

#include "AppTestSupport.h"
#include "app/AddressData.h"
#include "app/HalvoApp.h"

namespace {

using apptest::TempFolderTest;

CAddressData Entry(const std::string& reading, const std::string& name, const std::string& address = {})
{
    CAddressData entry;
    entry.m_strUserNameSort = reading;
    entry.m_strUserName = name;
    entry.m_strMorvikaAddress = address;
    entry.m_strMailAddress = name + "@example.org";
    entry.m_strPassword = "pw-" + name;
    entry.m_strComment = "よろしく " + name;
    return entry;
}

std::vector<std::string> Names(const CAddressDataList& list)
{
    std::vector<std::string> names;
    for (const CAddressData& entry : list.Entries()) names.push_back(entry.m_strUserName);
    return names;
}

class AddressBookStoreTest : public TempFolderTest {
protected:
    QVariant Raw(const QString& key) const
    {
        QSettings settings(QString::fromStdString(settings_), QSettings::NativeFormat);
        return settings.value(key);
    }
};

TEST_F(AddressBookStoreTest, DeleteRenumbersAndLeavesTheOldLastSectionUnread)
{
    CHalvoApp app(settings_);
    CAddressDataList book;
    book.PushBack(Entry("あべ", "阿部", "10.0.0.1"));
    book.PushBack(Entry("いとう", "伊藤", "host.example"));
    book.PushBack(Entry("うえだ", "上田", "10.0.0.3"));
    app.SaveAddressBook(book);
    EXPECT_EQ(Raw("AddressBook/Indexs").toInt(), 3);
    EXPECT_EQ(Raw("AddressBook/Index000003/UserName").toString(), QString::fromUtf8("上田"));

    CAddressDataList loaded;
    loaded.PushBack(Entry("x", "left over"));  // loading starts from an empty list
    app.LoadAddressBook(loaded);
    ASSERT_EQ(Names(loaded), (std::vector<std::string>{"阿部", "伊藤", "上田"}));
    const auto entries = loaded.Entries();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(entries[i].m_nId, i + 1);
    CAddressData expected = Entry("いとう", "伊藤", "host.example");
    expected.m_nId = 2;
    EXPECT_EQ(entries[1], expected);

    loaded.Remove(2);
    app.SaveAddressBook(loaded);
    EXPECT_EQ(Raw("AddressBook/Indexs").toInt(), 2);
    EXPECT_EQ(Raw("AddressBook/Index000002/UserName").toString(), QString::fromUtf8("上田"));
    EXPECT_EQ(Raw("AddressBook/Index000003/UserName").toString(), QString::fromUtf8("上田"));  // stays, unread

    CAddressDataList reloaded;
    app.LoadAddressBook(reloaded);
    ASSERT_EQ(Names(reloaded), (std::vector<std::string>{"阿部", "上田"}));
    EXPECT_EQ(reloaded.Entries()[1].m_nId, 2);
    EXPECT_EQ(reloaded.Entries()[1].m_strMorvikaAddress, "10.0.0.3");
}

TEST_F(AddressBookStoreTest, EmptyFieldsAreWrittenAndMissingOnesReadEmpty)
{
    CHalvoApp app(settings_);
    CAddressDataList book;
    CAddressData bare;
    bare.m_strUserName = "名無し";
    bare.m_strReserved = "not stored";
    bare.m_nReserved1 = 5;
    book.PushBack(bare);
    app.SaveAddressBook(book);
    const QVariant comment = Raw("AddressBook/Index000001/Comment");
    EXPECT_TRUE(comment.isValid());
    EXPECT_EQ(comment.toString(), QString());

    // A count larger than the stored sections gives empty entries; a damaged count gives none.
    app.WriteSetting("AddressBook/Indexs", 3);
    CAddressDataList loaded;
    app.LoadAddressBook(loaded);
    ASSERT_EQ(loaded.Count(), 3u);
    EXPECT_EQ(loaded.Entries()[0].m_strUserName, "名無し");
    EXPECT_EQ(loaded.Entries()[0].m_strReserved, "");
    EXPECT_EQ(loaded.Entries()[0].m_nReserved1, 0);
    EXPECT_EQ(loaded.Entries()[2], (CAddressData{.m_nId = 3}));

    app.WriteSetting("AddressBook/Indexs", QStringLiteral("lots"));
    app.LoadAddressBook(loaded);
    EXPECT_TRUE(loaded.IsEmpty());
    app.WriteSetting("AddressBook/Indexs", -4);
    app.LoadAddressBook(loaded);
    EXPECT_TRUE(loaded.IsEmpty());

    CHalvoApp fresh((dir_ / "fresh.conf").string());
    fresh.LoadAddressBook(loaded);
    EXPECT_TRUE(loaded.IsEmpty());
}

TEST_F(AddressBookStoreTest, AHugeStoredCountIsBounded)
{
    CHalvoApp app(settings_);
    app.WriteSetting("AddressBook/Indexs", 2147483647);
    CAddressDataList loaded;
    app.LoadAddressBook(loaded);
    EXPECT_EQ(loaded.Count(), 65536u);
}

TEST(AddressDataListTest, IndexTabsAndTheSymbolsTab)
{
    CAddressDataList book;
    for (const auto& [reading, name] : std::vector<std::pair<std::string, std::string>>{{"かとう", "加藤"},
                                                                                        {"Kato", "half-width"},
                                                                                        {"123", "digit"},
                                                                                        {"漢字", "kanji"},
                                                                                        {"", "empty"},
                                                                                        {"カトウ", "katakana"},
                                                                                        {"ｋａｔｏ", "full-width"},
                                                                                        {"がっこう", "voiced"},
                                                                                        {"\xE3\x81", "broken"},
                                                                                        {"\xFF\xFE", "invalid"}}) {
        book.PushBack(Entry(reading, name));
    }
    EXPECT_EQ(Names(book.Select("かきくけこ")), (std::vector<std::string>{"加藤"}));
    EXPECT_EQ(Names(book.Select("カキクケコ")), (std::vector<std::string>{"katakana"}));
    EXPECT_EQ(Names(book.Select("がぎぐげご")), (std::vector<std::string>{"voiced"}));
    EXPECT_EQ(Names(book.Select("ｉｊｋｌ")), (std::vector<std::string>{"full-width"}));
    EXPECT_EQ(Names(book.Select("")),
              (std::vector<std::string>{"half-width", "digit", "kanji", "empty", "broken", "invalid"}));
    // A tab set of half-width letters would select by the first character alone.
    EXPECT_EQ(Names(book.Select("K")), (std::vector<std::string>{"half-width"}));
    // The key is only the first character: "か" later in the reading does not count.
    CAddressDataList second;
    second.PushBack(Entry("あか", "red"));
    EXPECT_TRUE(second.Select("か").IsEmpty());
}

TEST(AddressDataListTest, FindEditsInPlaceAndRemoveTakesOnlyTheFirst)
{
    CAddressDataList list;
    for (int id : {1, 2, 2, 3}) {
        CAddressData entry = Entry("よみ", "n" + std::to_string(id));
        entry.m_nId = id;
        list.PushBack(entry);
    }
    ASSERT_NE(list.Find(2), nullptr);
    list.Find(2)->m_strComment = "edited in place";
    EXPECT_EQ(list.Entries()[1].m_strComment, "edited in place");
    list.Remove(2);
    list.Remove(9);
    EXPECT_EQ(Names(list), (std::vector<std::string>{"n1", "n2", "n3"}));
    CAddressDataList& alias = list;
    list = alias;  // self-assignment keeps the entries
    CAddressData first;
    ASSERT_TRUE(list.PopFront(first));
    EXPECT_EQ(first.m_nId, 1);
    EXPECT_EQ(list.Count(), 2u);
}

TEST(AddressDataListTest, ConcurrentCopiesAndChangesStayConsistent)
{
    CAddressDataList shared;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&shared, t] {
            for (int i = 0; i < 200; ++i) {
                CAddressData entry = Entry("か", "x");
                entry.m_nId = t * 1000 + i;
                shared.PushBack(entry);
                CAddressDataList snapshot(shared);
                EXPECT_FALSE(snapshot.IsEmpty());
                (void)shared.Select("か");
                if (i % 2 == 0) shared.Remove(t * 1000 + i);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(shared.Count(), 400u);
}

}  // namespace
