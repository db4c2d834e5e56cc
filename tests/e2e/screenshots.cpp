// Renders the pictures of docs/screenshots/: a session of three seen by its host, the chat
// window after a short conversation, the approval dialog of a fourth caller, and the settings
// dialogs of a fresh profile (the wizard's pages, the login dialog, the settings sheet), and the
// main window, login dialog and settings sheet in English, and the top of the help page. Run by
// tools/screenshots.sh under a virtual X server; the instances inherit its display.
//
// usage: morvika-screenshots OUTPUT_FOLDER [FIRST_PORT]

#include <array>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QFile>
#include <QTextBrowser>
#include <QUrl>

#include "app/AddressData.h"
#include "app/AppPaths.h"
#include "app/HalvoApp.h"
#include "tests/support/MorvikaInstance.h"

using namespace e2e;

namespace {

bool Fail(const std::string& what, const std::vector<MorvikaInstance*>& instances)
{
    std::cerr << "morvika-screenshots: " << what << "\n";
    for (const auto* instance : instances) std::cerr << instance->Diagnostics();
    return false;
}

bool Run(const std::string& folder, std::uint16_t firstPort)
{
    // Approval is on by default, so the host is asked for every caller.
    MorvikaInstance host("さくら");
    MorvikaInstance taro("たろう");
    MorvikaInstance hana("はなこ");
    MorvikaInstance jiro("じろう");
    const std::vector<MorvikaInstance*> all{&host, &taro, &hana, &jiro};

    // Wide enough for three user windows side by side (the first-run size shows one and a half).
    host.SetMainRect(40, 40, 580, 330);

    std::uint16_t port = firstPort;
    for (MorvikaInstance* instance : all) {
        StartOptions options;
        options.port = port++;
        options.platform.clear();
        if (!instance->Start(options)) return Fail("cannot start " + instance->Label(), all);
    }

    for (MorvikaInstance* guest : {&taro, &hana}) {
        if (guest->Command("connect " + host.Address() + " - よろしくお願いします") != "ok") {
            return Fail("connect refused", all);
        }
        if (!host.WaitForEvent("approval " + guest->Label())) return Fail("no approval dialog", all);
        if (host.Command("approve accept") != "ok") return Fail("cannot accept", all);
    }
    for (MorvikaInstance* instance : {&host, &taro, &hana}) {
        if (!instance->WaitForWindowCount(3)) return Fail(instance->Label() + " does not show three users", all);
    }

    const std::vector<std::pair<MorvikaInstance*, std::string>> lines{
        {&taro, "こんにちは！聞こえますか？"},
        {&host, "はい、よく聞こえます。"},
        {&hana, "資料のフォルダを共有しました。"},
        {&taro, "ありがとう、見てみます。"},
    };
    for (const auto& [speaker, text] : lines) {
        if (speaker->Command("chat " + text) != "ok") return Fail("chat failed", all);
        for (MorvikaInstance* listener : {&host, &taro, &hana}) {
            if (listener != speaker && !listener->WaitForEvent("chat " + speaker->Label() + ">" + text)) {
                return Fail(listener->Label() + " did not receive a line", all);
            }
        }
    }
    if (host.ChatVisible() != true) return Fail("the chat window did not open", all);

    if (host.Command("screenshot main " + folder + "/main-window.png") != "ok") return Fail("main screenshot", all);
    if (host.Command("screenshot chat " + folder + "/chat-window.png") != "ok") return Fail("chat screenshot", all);

    if (jiro.Command("connect " + host.Address() + " - 会議に参加させてください") != "ok") {
        return Fail("connect refused", all);
    }
    if (!host.WaitForEvent("approval " + jiro.Label())) return Fail("no approval dialog for the caller", all);
    if (host.Command("screenshot approval " + folder + "/approval-dialog.png") != "ok") {
        return Fail("approval screenshot", all);
    }
    host.Command("approve refuse 2");
    jiro.WaitForEvent("messagebox ");

    for (MorvikaInstance* instance : all) instance->Quit();
    return true;
}

// Sends a command and waits for the deferred click it starts to have run.
bool Act(MorvikaInstance& instance, const std::string& command)
{
    return instance.Command(command) == "ok" && instance.Command("ping") == "ok pong";
}

bool Shot(MorvikaInstance& instance, const std::string& dialog, const std::string& file)
{
    return instance.Command("screenshot " + dialog + " " + file) == "ok";
}

bool Dialogs(const std::string& folder, std::uint16_t port)
{
    MorvikaInstance yuki("ゆき");
    const std::vector<MorvikaInstance*> all{&yuki};
    yuki.ForgetInitState();
    {
        CAddressDataList book;
        auto add = [&](const char* reading, const char* name, const char* address, const char* mail,
                       const char* comment) {
            CAddressData entry;
            entry.m_strUserNameSort = reading;
            entry.m_strUserName = name;
            entry.m_strMorvikaAddress = address;
            entry.m_strMailAddress = mail;
            entry.m_strComment = comment;
            book.PushBack(entry);
        };
        add("あおき", "青木 さくら", "192.168.10.21", "aoki@example.jp", "営業部");
        add("いとう", "伊藤 たろう", "192.168.10.34", "ito@example.jp", "毎週の定例");
        add("えんどう", "遠藤 はなこ", "pc-endo.local", "endo@example.jp", "");
        add("ＡＬＩＣＥ", "Alice", "alice.example.org", "alice@example.org", "London office");
        add("ＢＯＢ", "Bob", "10.0.0.7", "bob@example.org", "");
        CHalvoApp(yuki.SettingsFile()).SaveAddressBook(book);
    }
    StartOptions options;
    options.port = port;
    options.platform.clear();
    options.waitReady = false;
    if (!yuki.Start(options) || !yuki.WaitForEvent("dialog CMainPropertySeet")) return Fail("no wizard", all);
    if (!Shot(yuki, "CMainPropertySeet", folder + "/wizard-1.png")) return Fail("wizard page 1", all);
    if (!Act(yuki, "press CMainPropertySeet 12324") || !Shot(yuki, "CMainPropertySeet", folder + "/wizard-2.png")) {
        return Fail("wizard page 2", all);
    }
    if (!Act(yuki, "press CMainPropertySeet 12324") || !Shot(yuki, "CMainPropertySeet", folder + "/wizard-3.png")) {
        return Fail("wizard page 3", all);
    }
    if (!Act(yuki, "press CMainPropertySeet 12325") || !yuki.WaitForEvent("ready ")) return Fail("wizard end", all);

    if (!Act(yuki, "press main 1032") || !yuki.WaitForEvent("dialog CLoginDlg")) return Fail("no login dialog", all);
    if (!Act(yuki, "click-row CLoginDlg 1") || !Shot(yuki, "CLoginDlg", folder + "/login-kana.png")) {
        return Fail("login dialog", all);
    }
    if (!Act(yuki, "press CLoginDlg 1002") || !Shot(yuki, "CLoginDlg", folder + "/login-letters.png")) {
        return Fail("login dialog letters", all);
    }
    if (!Act(yuki, "press CLoginDlg 1021") || !yuki.WaitForEvent("dialog CDlgAddressUpdate")) {
        return Fail("no address editor", all);
    }
    for (const char* field : {"1017 かとう", "1018 加藤 じろう", "1019 192.168.10.52", "1021 kato@example.jp",
                              "1022 secret", "1023 金曜日の打ち合わせ"}) {
        if (yuki.Command(std::string("type CDlgAddressUpdate ") + field) != "ok") return Fail("typing", all);
    }
    if (!Shot(yuki, "CDlgAddressUpdate", folder + "/address-editor.png")) return Fail("address editor", all);
    if (!Act(yuki, "press CDlgAddressUpdate 2") || !Act(yuki, "press CLoginDlg 2")) return Fail("closing", all);

    if (!Act(yuki, "menu 32780") || !yuki.WaitForEvent("dialog CMainPropertySeet")) return Fail("no settings", all);
    if (!Shot(yuki, "CMainPropertySeet", folder + "/settings-sheet.png")) return Fail("settings sheet", all);
    Act(yuki, "press CMainPropertySeet 2");
    yuki.Quit();
    return true;
}

// The English interface: the main window of a session of three, the login dialog and the
// settings sheet, all started with --lang en.
bool English(const std::string& folder, std::uint16_t firstPort)
{
    MorvikaInstance host("Alice");
    MorvikaInstance bob("Bob");
    MorvikaInstance carol("Carol");
    const std::vector<MorvikaInstance*> all{&host, &bob, &carol};
    host.SetMainRect(40, 40, 580, 330);
    {
        CAddressDataList book;
        for (const auto& [reading, name, address, comment] :
             std::vector<std::array<const char*, 4>>{{"ＢＯＢ", "Bob", "10.0.0.7", "Weekly meeting"},
                                                     {"ＣＡＲＯＬ", "Carol", "carol.example.org", "London office"},
                                                     {"ＤＡＶＥ", "Dave", "192.168.10.21", ""}}) {
            CAddressData entry;
            entry.m_strUserNameSort = reading;
            entry.m_strUserName = name;
            entry.m_strMorvikaAddress = address;
            entry.m_strComment = comment;
            book.PushBack(entry);
        }
        CHalvoApp(host.SettingsFile()).SaveAddressBook(book);
    }
    std::uint16_t port = firstPort;
    for (MorvikaInstance* instance : all) {
        StartOptions options;
        options.port = port++;
        options.platform.clear();
        options.extraArgs = {"--lang", "en"};
        if (!instance->Start(options)) return Fail("cannot start " + instance->Label(), all);
    }
    for (MorvikaInstance* guest : {&bob, &carol}) {
        if (guest->Command("connect " + host.Address() + " - Hello") != "ok") return Fail("connect refused", all);
        if (!host.WaitForEvent("approval " + guest->Label())) return Fail("no approval dialog", all);
        if (host.Command("approve accept") != "ok") return Fail("cannot accept", all);
    }
    if (!host.WaitForWindowCount(3)) return Fail("the host does not show three users", all);
    if (host.Command("screenshot main " + folder + "/main-window-en.png") != "ok") return Fail("main (en)", all);

    if (!Act(host, "press main 1032") || !host.WaitForEvent("dialog CLoginDlg")) return Fail("no login dialog", all);
    if (!Act(host, "press CLoginDlg 1002") || !Act(host, "click-row CLoginDlg 0") ||
        !Shot(host, "CLoginDlg", folder + "/login-en.png")) {
        return Fail("login dialog (en)", all);
    }
    if (!Act(host, "press CLoginDlg 2")) return Fail("closing", all);
    if (!Act(host, "menu 32780") || !host.WaitForEvent("dialog CMainPropertySeet")) return Fail("no settings", all);
    if (!Shot(host, "CMainPropertySeet", folder + "/settings-sheet-en.png")) return Fail("settings sheet (en)", all);
    Act(host, "press CMainPropertySeet 2");
    for (MorvikaInstance* instance : all) instance->Quit();
    return true;
}

// The top of the user's guide that ソラネムについて opens, as Qt's rich text draws it.
bool HelpPage(const std::string& folder)
{
    const QString page = QString::fromStdString(AppPaths::AssetsFolder()) + QStringLiteral("Help/index.html");
    QFile file(page);
    if (!file.open(QIODevice::ReadOnly)) {
        std::cerr << "morvika-screenshots: no help page at " << page.toStdString() << "\n";
        return false;
    }
    QTextBrowser browser;
    browser.setFrameShape(QFrame::NoFrame);
    browser.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    browser.document()->setBaseUrl(QUrl::fromLocalFile(page));
    browser.setHtml(QString::fromUtf8(file.readAll()));
    browser.resize(760, 560);
    return browser.grab().save(QString::fromStdString(folder + "/help-page.png"));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: morvika-screenshots OUTPUT_FOLDER [FIRST_PORT]\n");
        return 2;
    }
    const int firstPort = argc > 2 ? std::atoi(argv[2]) : 27390;
    {
        QApplication application(argc, argv);
        if (!HelpPage(argv[1])) return 1;
    }
    if (!Run(argv[1], static_cast<std::uint16_t>(firstPort))) return 1;
    if (!Dialogs(argv[1], static_cast<std::uint16_t>(firstPort + 4))) return 1;
    return English(argv[1], static_cast<std::uint16_t>(firstPort + 5)) ? 0 : 1;
}
