#pragma once
// The main window's message hub: it owns the session view and the user windows, runs the
// send pump and the voice pump, dispatches every received message by kind and creates and
// destroys user windows as users come and go. Free of widgets: the main window (CHalvoDlg)
// supplies what is drawn through IHubUi.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "platform/winmsg/WinMsg.h"
#include "session/PeerMessage.h"
#include "session/PeerMessageQueue.h"
#include "session/HalvoVoice.h"
#include "session/PlayBoiceView.h"
#include "share/SharesExchange.h"
#include "app/WindowMessages.h"

class CHalvoApp;

// A user window as the hub sees it. The user's playback is the hub's; the window only
// commands it (volume, mute) and may watch what the hub gives it.
class IUserWindow {
public:
    virtual ~IUserWindow() = default;
    // A picture for this user's window (a copy-data block with identifier 0).
    virtual void ReceivePicture(const std::uint8_t* data, std::uint32_t size) = 0;
    // A voice message the hub has just handed to this user's playback.
    virtual void ReceiveVoice(const CPeerMessage& message) { (void)message; }
    // The hub has stopped this user's playback (the own voice is no longer looped back).
    virtual void StopPlayback() {}
};

// What the hub needs from the widgets.
class IHubUi {
public:
    virtual ~IHubUi() = default;
    virtual std::unique_ptr<IUserWindow> CreateUserWindow(const CUserInformation& record) = 0;
    virtual void ChatReceive(const char* text) = 0;
    // A line of the program's own in the chat window, sent to nobody.
    virtual void ChatNotice(const std::string& text) { (void)text; }
    virtual void EnableShareButton(bool enable) = 0;
    virtual void ShowMessageBox(const std::string& text, const std::string& caption) = 0;
    virtual int AskApproval(const std::string& userName, const std::string& message) = 0;
    virtual void AskYesNo(const std::string& text, const std::string& caption, std::function<void()> onYes) = 0;
    virtual bool IsMainHidden() const = 0;
    virtual void ShowMain(int show) = 0;
    // Window sharing: the own window (WM_SHARE_START, WM_SHARE_STOP), and a peer's in the viewer.
    virtual void OnShareStart() = 0;
    virtual void OnShareStop() = 0;
    virtual void ShowShareViewer(std::uint32_t userId, std::uint32_t groupId) = 0;
    virtual void HideShareViewer(std::uint32_t userId, std::uint32_t groupId) = 0;
    // A picture of the own leaving the send queue, for the share preview while sharing.
    virtual void ShowSentPicture(const CPeerMessage& picture) = 0;
    // The camera: its graph has events (WM_GRAPH_EVENT), or it is to start again (WM_CAMERA_REFRESH).
    virtual void OnCameraEvent() = 0;
    virtual void RefreshCamera() = 0;
};

class CHalvoHub : public CMsgTarget, public ISessionViewHost, private ISharesSender {
public:
    using UserKey = std::pair<std::uint32_t, std::uint32_t>;  // (user id, group id)

    CHalvoHub(CHalvoApp& app, CUserInformation* hostRecord, CUserInformation* clientRecord, IHubUi& ui);
    ~CHalvoHub() override;

    // The sound server to use (null: none); given before Start.
    void SetSoundBackend(std::shared_ptr<morvika::sound::ISoundBackend> backend);
    // A playback object on the settings' playback device; null without sound.
    std::shared_ptr<CUserPlayback> CreatePlayback();
    // The playback of a user who has a window (made with it, gone with it); null without
    // sound or for another user.
    std::shared_ptr<CUserPlayback> FindPlayback(std::uint32_t userId, std::uint32_t groupId) const;
    CHalvoVoice& Voice() { return m_voice; }
    // The shared files and their exchanges with the peers; the shared files window watches it.
    CSharesExchange& Shares() { return m_shares; }

    // Builds the device lists, hosts the own session on the port, creates the own user
    // window and starts the capture.
    void Start(std::uint16_t port, const peer::ServiceOptions& options = {});
    // Destroys the session view (closing both sessions) and every user window.
    void Shutdown();

    void CreateUser(const CUserInformation& record);
    void DeleteUser(std::uint32_t userId, std::uint32_t groupId);
    void KillUser(std::uint32_t userId, std::uint32_t groupId);
    void SendLocalFrame(const SendBlock& block);
    void SendChat(const SendBlock& block);
    void SendSharesList(const SendBlock& block);
    // Tells every peer that window sharing started (true) or ended.
    void SendShareState(bool on);
    // Whether the record is the local user of the own session.
    bool IsOwnRecord(const CUserInformation& record) const;
    void OnDrainQueue();
    void OnVoiceQueued();
    void OnPeerMessage(const CPeerMessage& message);

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    // ISessionViewHost
    void OnUserAdded(const CUserInformation& record) override { CreateUser(record); }
    void OnUserRemoved(std::uint32_t userId, std::uint32_t groupId) override { DeleteUser(userId, groupId); }
    void OnMessage(const CPeerMessage& message) override { OnPeerMessage(message); }
    void OnProgress(std::uint32_t kind, std::uint32_t received, std::uint32_t total) override;
    void ShowMessageBox(const std::string& text, const std::string& caption) override;
    int AskApproval(const std::string& userName, const std::string& message) override;
    void AskYesNo(const std::string& text, const std::string& caption, std::function<void()> onYes) override;
    bool IsMainHidden() const override;
    void ShowMain() override;
    void ChatNotice(const std::string& text) override { m_ui.ChatNotice(text); }

    CPlayBoiceView* View() { return m_pView.get(); }
    CPeerMessageQueue& SendQueue() { return m_sendQueue; }
    IUserWindow* FindUserWindow(std::uint32_t userId, std::uint32_t groupId);
    IUserWindow* OwnWindow() { return m_pOwnWindow; }
    std::size_t UserWindowCount() const { return m_userWindows.size(); }
    const std::map<UserKey, std::unique_ptr<IUserWindow>>& UserWindows() const { return m_userWindows; }
    const CPeerMessage& KeptStillImage() const { return m_keptStill; }

private:
    // Wraps bytes as a message of `kind` with the local ids and queues it for the send pump.
    void QueueLocal(std::uint32_t kind, const std::uint8_t* bytes, std::uint32_t count);
    // ISharesSender: onto the send queue.
    void SendSharesList(const std::uint8_t* bytes, std::uint32_t count) override;
    void SendDirected(CPeerMessage&& message) override;
    SharesHost MakeSharesHost();

    CHalvoApp& m_app;
    IHubUi& m_ui;
    CHalvoVoice m_voice;
    CUserInformation* m_pHostRecord;
    CUserInformation* m_pClientRecord;
    std::unique_ptr<CPlayBoiceView> m_pView;
    std::map<UserKey, std::unique_ptr<IUserWindow>> m_userWindows;
    // One per user window; a window's widget may keep its playback a moment longer.
    std::map<UserKey, std::shared_ptr<CUserPlayback>> m_playbacks;
    IUserWindow* m_pOwnWindow = nullptr;
    std::shared_ptr<CUserPlayback> m_pOwnPlayback;
    CPeerMessageQueue m_sendQueue;
    CSharesExchange m_shares;
    CPeerMessage m_keptStill;
    bool m_bSharing = false;  // the own window is shared
};
