#pragma once
// The session view: owns both transports and the peer lists, turns transport events into
// changes of the peer list and into requests to the main window, and sends messages to
// one user or to every active user. Everything here runs on the window thread.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/VoiceClientConfig.h"
#include "platform/winmsg/WinMsg.h"
#include "session/DirectPlayPeerWraper.h"
#include "session/HalvoVoice.h"
#include "session/PeerMessage.h"
#include "session/PeerMessageQueue.h"
#include "session/UserInformationList.h"
#include "voice/SoundCapture.h"

class CHalvoApp;

// What the session view needs from the windows around it.
class ISessionViewHost {
public:
    virtual ~ISessionViewHost() = default;
    // A user joined a session of this instance, the local user included: the user's window.
    virtual void OnUserAdded(const CUserInformation& record) = 0;
    // A user left one of the sessions.
    virtual void OnUserRemoved(std::uint32_t userId, std::uint32_t groupId) = 0;
    // A message received from a peer, voice-start messages excepted.
    virtual void OnMessage(const CPeerMessage& message) = 0;
    // Part of a large incoming message has arrived: its kind (0 while unknown), bytes so far
    // and in all.
    virtual void OnProgress(std::uint32_t kind, std::uint32_t received, std::uint32_t total) = 0;
    // A message box with the exclamation icon.
    virtual void ShowMessageBox(const std::string& text, const std::string& caption) = 0;
    // The approval dialog, modal: an ApprovalAnswer (session/ConnectReply.h).
    virtual int AskApproval(const std::string& userName, const std::string& message) = 0;
    // A question box with Yes and No (No the default), not modal to the session; onYes runs
    // on the window thread when the user answers Yes.
    virtual void AskYesNo(const std::string& text, const std::string& caption, std::function<void()> onYes) = 0;
    virtual bool IsMainHidden() const = 0;
    virtual void ShowMain() = 0;
    // A line of the program's own in the chat window, sent to nobody.
    virtual void ChatNotice(const std::string& text) { (void)text; }
};

// The session event lock: held by the handlers of received messages, connect requests and
// connect completions. Recursive, because the approval dialog runs a nested event loop on
// the same thread while the lock is held.
std::recursive_mutex& SessionEventLock();

class CPlayBoiceView : public CMsgTarget {
public:
    enum ViewState : int { NotStarted = 0, NotJoined = 1, Joining = 2, Joined = 3 };

    CPlayBoiceView(CHalvoApp& app, CUserInformation* hostRecord, CUserInformation* clientRecord,
                   ISessionViewHost& host);
    ~CPlayBoiceView() override;

    // Hosts the own session on the given port and adds the local user.
    void Start(std::uint16_t port = peer::kDefaultPort);
    // Why hosting the own session failed at Start; empty when it is hosted.
    const std::string& HostFailure() const { return m_hostFailure; }
    void AddUser(CUserInformation& record);
    // Creates the capture object on the device (null: the default one) for the main window,
    // with the stored microphone offset when there is one, and starts it. Without a sound
    // server nothing is created. 0 when capturing. echo is what the speakers play, for the
    // echo canceller the settings turn on.
    int StartCapture(morvika::sound::ISoundBackend* backend, HWND mainWindow,
                     const morvika::sound::SoundDeviceId* device, std::optional<std::int16_t> dcOffset,
                     std::shared_ptr<CEchoReference> echo = nullptr);
    CSoundCapture* Capture() { return m_pCapture.get(); }
    void ConnectTo(const std::string& address, const std::string& password, const std::string& message);
    void OnConnect(const std::string& address, const std::string& password, const std::string& message);
    // Whether the address, the own port when it names none, leads back to the own session.
    bool IsOwnSession(const std::string& address);
    void Kick(std::uint32_t userId, std::uint32_t groupId);
    void Leave();
    void SendMesseage(std::uint32_t userId, std::uint32_t groupId, CPeerMessage& message);
    void Broadcast(CPeerMessage& message);
    void CloseAll();
    std::size_t UserCount() const;

    // Handlers of the transport's events.
    void OnAddPlayer(WPARAM wParam, LPARAM lParam);
    void OnAddPlayerClient(WPARAM wParam, LPARAM lParam);
    void OnRemovePlayer(WPARAM wParam, LPARAM lParam);
    void OnComeMsg(WPARAM wParam, LPARAM lParam);
    void OnComeMsgClient(WPARAM wParam, LPARAM lParam);
    LRESULT OnIndicate(WPARAM wParam, LPARAM lParam);
    void OnConnectComplete(WPARAM wParam, LPARAM lParam);
    // The joined session ended (wParam: the service's reason) or the user left it.
    void OnSessionTerminated(WPARAM wParam);

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    ViewState GetViewState() const { return m_nViewState; }
    CUserInformationList& PeerList() { return m_peerList; }
    CUserInformationList& PendingList() { return m_pendingList; }
    CPeerMessageQueue& VoiceQueue() { return m_voiceQueue; }
    // A message taken off the voice queue and done with: the capture fills it again.
    void GiveBackVoice(CPeerMessage&& message) { m_voiceSink.GiveBack(std::move(message)); }
    CVoiceClientConfig& VoiceConfig() { return m_voiceConfig; }
    CDirectPlayPeerWraper& HostWrapper() { return m_hostWrapper; }
    CDirectPlayPeerWraper& ClientWrapper() { return m_clientWrapper; }

    // The local user's ids in the own session and in the joined one.
    std::uint32_t HostUserId() const { return m_hostWrapper.LocalUserId(); }
    std::uint32_t HostGroupId() const { return m_hostWrapper.LocalGroupId(); }
    CUserInformation HostRecord() const { return m_hostWrapper.CopyLocalUser(); }
    // The user name changed in the settings: sessions joined from now on carry it, and the
    // own session's player information is published again.
    void SetUserName(const std::string& name);

    // Session service settings (tests shorten the keep-alive). The installation's identity,
    // the trust in hosts' keys and the answer to a throttled joiner are added here.
    void SetServiceOptions(const peer::ServiceOptions& options);

    // "host:port" as a host's key is remembered under (section "KnownHosts").
    static std::string HostKeyName(const std::string& host, std::uint16_t port);
    // Trusts the key that the host at "host:port" showed when it was refused for a changed
    // key. False when no such refusal is remembered.
    bool AcceptHostKey(const std::string& hostPort, std::string& fingerprint);
    // The question after such a refusal answered Yes: the new key is trusted as AcceptHostKey
    // does, and the refused attempt is made again.
    void TrustRefusedKeyAndRejoin(const std::string& hostPort);

private:
    void HandleReceived(const char* handlerName, LPARAM lParam, WPARAM wParam);
    // Writes the sender ids of the session that reaches (groupId) and picks its transport.
    CDirectPlayPeerWraper& Route(std::uint32_t groupId, CPeerMessage& message);
    // The active entries of the peer list, kept until the list changes: a broadcast goes out
    // many times a second and must not copy every record for it.
    const std::vector<std::pair<std::uint32_t, std::uint32_t>>& Recipients();

    // On the client transport's I/O thread: whether the host's key is the one remembered
    // for its address (the first one is remembered).
    bool CheckHostKey(const peer::ServiceOptions::HostKey& key);

    CHalvoApp& m_app;
    ISessionViewHost& m_host;
    // Keys refused as changed, by "host:port", until the user accepts them; and the text
    // that tells the user. Declared before the transports, whose threads use them.
    std::mutex m_keyMutex;
    std::map<std::string, std::string> m_refusedKeys;
    std::string m_keyRefusal;
    std::string m_keyRefusalName;
    // The last attempt to join, so that it can be made again once a changed key is trusted
    // (window thread only). The password stays here only until that attempt has completed.
    struct JoinAttempt {
        std::string address;
        std::string password;
        std::string message;
    };
    std::optional<JoinAttempt> m_lastJoin;
    // Who hosts the joined session and where, for telling the user when it ends.
    std::string m_joinedHost;
    std::string m_joinedAddress;
    // Gone with the view, so that an answer given after it is ignored.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    CUserInformation* m_pHostRecord;
    CUserInformation* m_pClientRecord;
    CDirectPlayPeerWraper m_hostWrapper;
    CDirectPlayPeerWraper m_clientWrapper;
    CUserInformationList m_peerList;
    CUserInformationList m_pendingList;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> m_recipients;  // (user id, group id)
    std::optional<std::uint64_t> m_recipientsOf;                        // the peer list's generation
    CPeerMessageQueue m_voiceQueue;
    CVoiceClientConfig m_voiceConfig;
    CVoiceQueueSink m_voiceSink{m_voiceQueue};
    std::unique_ptr<CCapturePoster> m_pCapturePoster;
    // Declared after the queue and the settings it uses; the destructor ends it first.
    std::unique_ptr<CSoundCapture> m_pCapture;
    ViewState m_nViewState = NotStarted;
    std::string m_hostFailure;
    std::uint16_t m_nSessionPort = peer::kDefaultPort;
};
