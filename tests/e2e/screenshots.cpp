// Renders the pictures of docs/screenshots/: a session of three seen by its host, the chat
// window after a short conversation, and the approval dialog of a fourth caller. Run by
// tools/screenshots.sh under a virtual X server; the instances inherit its display.
//
// usage: morvika-screenshots OUTPUT_FOLDER [FIRST_PORT]

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

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

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: morvika-screenshots OUTPUT_FOLDER [FIRST_PORT]\n");
        return 2;
    }
    const int firstPort = argc > 2 ? std::atoi(argv[2]) : 27380;
    return Run(argv[1], static_cast<std::uint16_t>(firstPort)) ? 0 : 1;
}
