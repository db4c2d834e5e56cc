// What the user is told when something ends or fails: a joined session that ends, downloads
// that cannot finish, connections that go nowhere, files and entries that are refused; and
// the menus and questions a script drives like a user.

#include "tests/e2e/E2eFixture.h"

#include <filesystem>
#include <fstream>

#include "app/AddressData.h"
#include "app/HalvoApp.h"

namespace fs = std::filesystem;

namespace e2e {
namespace {

class NoticesTest : public E2eTest {
protected:
    // The next message box with that caption, as the event carries it (line feeds escaped).
    static std::string NextBox(MorvikaInstance& instance, const std::string& caption)
    {
        return instance.WaitForEvent("messagebox " + caption + " ").value_or("no box");
    }

    static bool Contains(const std::string& text, const std::string& part)
    {
        return text.find(part) != std::string::npos;
    }

    static void WriteFile(const std::string& path, std::size_t size)
    {
        std::ofstream(path, std::ios::binary) << std::string(size, 'x');
    }
};

TEST_F(NoticesTest, MemberIsToldWhenPutOutAndWhenTheHostEndsItsSession)
{
    UsePorts(28090, 4);
    MorvikaInstance& a = Spawn("Alice");
    MorvikaInstance& b = Spawn("Bob");
    ASSERT_TRUE(Join(b, a));
    std::string bobUid, bobGid;
    for (const auto& window : a.Windows()) {
        if (window.name == "Bob") bobUid = window.uid, bobGid = window.gid;
    }
    ASSERT_FALSE(bobUid.empty());

    ASSERT_EQ(a.Command("kick " + bobUid + " " + bobGid), "ok");
    const std::string kicked = NextBox(b, "セッション終了");
    EXPECT_TRUE(Contains(kicked, "Alice さん（" + a.Address() + "）のセッションから切断されました")) << kicked;
    EXPECT_EQ(b.State()["view"], "1");
    // The chat window says so too, in a line of the program's own that went to nobody.
    EXPECT_EQ(b.History().size(), 1u);
    EXPECT_TRUE(b.WaitForEvent("chat *** Alice さん").has_value());
    EXPECT_TRUE(a.History().empty());
    EXPECT_TRUE(a.Events("messagebox").empty()) << "the host put Bob out itself";

    ASSERT_TRUE(Join(b, a));
    EXPECT_EQ(a.Quit(), 0);
    EXPECT_TRUE(Contains(NextBox(b, "セッション終了"), "Alice さん（" + a.Address() + "）がセッションを終了しました"));
}

TEST_F(NoticesTest, DownloadsThatCannotFinishSayWhy)
{
    UsePorts(28094, 4);
    MorvikaInstance& a = Spawn("Alice");
    MorvikaInstance& b = Spawn("Bob");
    ASSERT_TRUE(Join(b, a));
    const std::string dir = a.ProfileDir() + "/";
    for (const char* name : {"gone.txt", "empty.txt", "grown.txt", "last.txt"}) {
        WriteFile(dir + name, 1000);
        ASSERT_EQ(a.Command(std::string("share-add ") + dir + name), "ok");
    }
    ASSERT_TRUE(b.WaitUntil([&] { return b.List("shares").value_or(std::vector<std::string>{}).size() == 4; }));

    // Changed on the owner's disk after they were offered.
    fs::remove(dir + "gone.txt");
    fs::resize_file(dir + "empty.txt", 0);
    fs::resize_file(dir + "grown.txt", 3 * 1024 * 1024 + 1);
    const std::pair<const char*, const char*> cases[] = {
        {"gone.txt", "削除されたか"}, {"empty.txt", "空になって"}, {"grown.txt", "大きくなりすぎて"}};
    for (const auto& [name, why] : cases) {
        EXPECT_EQ(b.Command(std::string("share-open ") + name), "error no copy") << name;
        const std::string box = NextBox(b, "共有ファイル");
        EXPECT_TRUE(Contains(box, std::string("「") + name + "」を受け取れませんでした") && Contains(box, why)) << box;
    }
    // The offer whose file is gone is withdrawn; the others stay.
    EXPECT_TRUE(b.WaitUntil([&] { return b.List("shares").value_or(std::vector<std::string>{}).size() == 3; }));
    EXPECT_EQ(a.List("shares").value_or(std::vector<std::string>{}).size(), 3u);

    // The owner stops answering while the file is awaited: the wait ends once its link is dropped.
    a.Freeze();
    EXPECT_EQ(b.Command("share-open last.txt", 60s), "error no copy");
    EXPECT_TRUE(b.WaitForEvent("download-done last.txt left").has_value());
    EXPECT_TRUE(Contains(NextBox(b, "共有ファイル"), "持ち主の Alice さんがセッションから抜けました"));
}

TEST_F(NoticesTest, RefusedFilesConnectionsAndEntriesAreExplained)
{
    UsePorts(28098, 3);
    MorvikaInstance& a = Create("Alice");
    CAddressDataList book;
    for (const char* reading : {"あお", "あい"}) {
        CAddressData entry;
        entry.m_strUserNameSort = entry.m_strUserName = reading;
        book.PushBack(entry);
    }
    CHalvoApp(a.SettingsFile()).SaveAddressBook(book);
    ASSERT_TRUE(Launch(a));

    // Files that cannot be offered, each with its reason.
    const std::string big = a.ProfileDir() + "/big.bin";
    WriteFile(big, 2 * 1024 * 1024 + 1);
    EXPECT_EQ(a.Command("share-add " + big), "error not offered");
    EXPECT_TRUE(Contains(NextBox(a, "共有ファイル"), "big.bin: 2 MiB"));
    EXPECT_EQ(a.Command("share-add " + a.ProfileDir()), "error not offered");
    EXPECT_TRUE(Contains(NextBox(a, "共有ファイル"), "フォルダは共有できません"));

    // Connections that go nowhere keep the refusal's text and say what happened.
    ASSERT_EQ(a.Command("connect no-such-host.invalid -"), "ok");
    std::string box = NextBox(a, "ログイン");
    EXPECT_EQ(box.rfind("messagebox ログイン 相手が接続を拒否しました\\n", 0), 0u) << box;
    EXPECT_TRUE(Contains(box, "ホスト名「no-such-host.invalid」が見つかりません")) << box;
    const std::string closed = "127.0.0.1:28101";  // nothing listens there, outside the instances' ports
    ASSERT_EQ(a.Command("connect " + closed + " -"), "ok");
    box = NextBox(a, "ログイン");
    EXPECT_TRUE(Contains(box, closed + " では接続を待っているソラネムがありません")) << box;

    // The login dialog refuses an empty address and keeps what was typed for the next try.
    ASSERT_EQ(a.Command("press main 1032"), "ok");
    ASSERT_TRUE(a.WaitForEvent("dialog CLoginDlg").has_value());
    ASSERT_EQ(a.Command("press CLoginDlg 1"), "ok");
    EXPECT_TRUE(Contains(NextBox(a, "ログイン"), "アドレスを入力"));
    ASSERT_EQ(a.Command("press MessageBox 1"), "ok");
    ASSERT_EQ(a.Command("type CLoginDlg 1017 " + closed), "ok");
    ASSERT_EQ(a.Command("press CLoginDlg 1"), "ok");
    EXPECT_TRUE(Contains(NextBox(a, "ログイン"), "待っているソラネムがありません"));
    ASSERT_EQ(a.Command("press main 1032"), "ok");
    ASSERT_TRUE(a.WaitForEvent("dialog CLoginDlg").has_value());
    EXPECT_EQ(a.Command("get CLoginDlg 1017"), "ok 1 " + closed);
    // The name header sorts by the reading, descending first.
    EXPECT_EQ(a.Command("get CLoginDlg 1020"), "ok 1 2 あい|あお");
    ASSERT_EQ(a.Command("click-header CLoginDlg 0"), "ok");
    EXPECT_TRUE(a.WaitUntil([&] { return a.Command("get CLoginDlg 1020") == "ok 1 2 あお|あい"; }));

    // An entry with nothing to find or use it by is refused.
    ASSERT_EQ(a.Command("press CLoginDlg 1021"), "ok");
    ASSERT_TRUE(a.WaitForEvent("dialog CDlgAddressUpdate").has_value());
    ASSERT_EQ(a.Command("press CDlgAddressUpdate 1"), "ok");
    EXPECT_TRUE(Contains(NextBox(a, "アドレス帳"), "名前かアドレスを入力してください"));
    ASSERT_EQ(a.Command("press MessageBox 1"), "ok");
    ASSERT_EQ(a.Command("press CDlgAddressUpdate 2"), "ok");
    ASSERT_EQ(a.Command("press CLoginDlg 2"), "ok");
    CHalvoApp(a.SettingsFile()).LoadAddressBook(book);
    EXPECT_EQ(book.Count(), 2u);

    // The main menu's about box and exit question, and the tray menu.
    ASSERT_EQ(a.Command("menu 16"), "ok");
    ASSERT_TRUE(a.WaitForEvent("dialog CAboutDlg").has_value());
    ASSERT_EQ(a.Command("press CAboutDlg 1"), "ok");
    const std::string help = a.Command("menu 32820");
    EXPECT_EQ(help.rfind("ok /", 0), 0u) << help;
    EXPECT_TRUE(help.ends_with("/Help/index.html")) << help;
    ASSERT_EQ(a.Command("hide"), "ok");
    ASSERT_EQ(a.Command("tray 32813"), "ok");
    EXPECT_TRUE(a.WaitUntil([&] { return a.State()["hidden"] == "0"; }));
    ASSERT_EQ(a.Command("menu 57665"), "ok");
    ASSERT_TRUE(a.WaitForEvent("dialog MessageBox").has_value());
    ASSERT_EQ(a.Command("press MessageBox 2"), "ok");
    EXPECT_TRUE(a.WaitUntil([&] { return a.List("dialogs") == std::vector<std::string>{}; }));
    ASSERT_EQ(a.Command("tray 57665"), "ok");
    ASSERT_TRUE(a.WaitForEvent("dialog MessageBox").has_value());
    ASSERT_EQ(a.Command("press MessageBox 1"), "ok");
    EXPECT_TRUE(a.WaitUntil([&] { return !a.Running(); }));
}

}  // namespace
}  // namespace e2e
