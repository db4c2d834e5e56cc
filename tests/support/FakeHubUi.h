#pragma once
// The main window's widgets stood in for by a recorder, for tests of the message hub: what the
// hub shows and asks is kept for the test to look at, approvals get a set answer, and user
// windows come from makeWindow (none when it is empty).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/WindowMessages.h"
#include "session/HalvoHub.h"
#include "session/PeerMessage.h"

class FakeHubUi : public IHubUi {
public:
    std::unique_ptr<IUserWindow> CreateUserWindow(const CUserInformation& record) override
    {
        return makeWindow ? makeWindow(record) : nullptr;
    }
    void ChatReceive(const char* text) override { chat.emplace_back(text); }
    void EnableShareButton(bool enable) override { shareEnabled = enable; }
    void ShowMessageBox(const std::string& text, const std::string&) override { boxes.push_back(text); }
    int AskApproval(const std::string&, const std::string&) override
    {
        ++approvals;
        return approvalAnswer;
    }
    void AskYesNo(const std::string& text, const std::string&, std::function<void()> onYes) override
    {
        boxes.push_back(text);
        if (answerYes && onYes) onYes();
    }
    bool IsMainHidden() const override { return hidden; }
    void ShowMain(int show) override { hidden = show == 0; }
    void OnShareStart() override {}
    void OnShareStop() override {}
    void ShowShareViewer(std::uint32_t, std::uint32_t) override {}
    void HideShareViewer(std::uint32_t, std::uint32_t) override {}
    void ShowSentPicture(const CPeerMessage&) override {}
    void OnCameraEvent() override {}
    void RefreshCamera() override {}

    std::function<std::unique_ptr<IUserWindow>(const CUserInformation&)> makeWindow;
    std::vector<std::string> chat;
    std::vector<std::string> boxes;
    bool shareEnabled = false;
    bool hidden = false;
    int approvals = 0;
    int approvalAnswer = 1;
    bool answerYes = false;
};
