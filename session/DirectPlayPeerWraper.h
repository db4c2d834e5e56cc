#pragma once
// The transport: one peer session (hosted or joined) behind five operations, every event
// of the session service turned into a window message for one window.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <mutex>

#include "platform/peer/PeerService.h"
#include "platform/winmsg/WinMsg.h"
#include "session/TransBlock.h"
#include "session/UserInformation.h"

// What WM_CONNECT_REQUEST carries in lParam, valid during the call: the joiner's connect
// data, and whether the joiner proved a given password (the password is never sent).
struct ConnectRequest {
    CTransBlock data;
    std::function<bool(const std::string&)> passwordMatches;
};

class CTransport {
public:
    virtual ~CTransport() = default;
    virtual int Create(HWND window, peer::EventHandler handler = nullptr) = 0;
    virtual int Host() = 0;
    virtual int Connect(const char* hostName, const void* connectData, std::uint32_t size) = 0;
    virtual int Close() = 0;
};

class CDirectPlayPeerWraper : public CTransport {
public:
    enum State : int { Closed = 0, Connected = 1, Hosting = 2, Ready = 3 };

    static constexpr const char* kApplicationId = "{740AEEE2-6A2B-40BC-9DCB-B637D20ABFD9}";
    static constexpr const char* kSessionName = "VoiceSession";
    static constexpr std::chrono::milliseconds kPictureTimeout{40};
    // Received messages one link may have waiting for the window before the service stops
    // reading it: a member that floods slows itself, nobody else.
    static constexpr std::size_t kReceiveBudgetBytes = 8 * 1024 * 1024;
    static constexpr std::size_t kReceiveBudgetMessages = 256;
    // A player's name as the peer lists keep it, in bytes.
    static constexpr std::size_t kMaxPlayerNameBytes = 255;

    CDirectPlayPeerWraper() = default;
    ~CDirectPlayPeerWraper() override;
    CDirectPlayPeerWraper(const CDirectPlayPeerWraper&) = delete;
    CDirectPlayPeerWraper& operator=(const CDirectPlayPeerWraper&) = delete;

    int Create(HWND window, peer::EventHandler handler = nullptr) override;
    int Host() override;
    // hostName is a host name or address, optionally followed by ":port".
    int Connect(const char* hostName, const void* connectData, std::uint32_t size) override;
    // The same, proving `password` to the host.
    int Connect(const char* hostName, const void* connectData, std::uint32_t size, const std::string& password);
    // Splits such an address as Connect does; false when it cannot be read.
    static bool SplitAddress(const std::string& text, std::uint16_t defaultPort, std::string& host,
                             std::uint16_t& port);
    int Close() override;

    int SetPlayerInfo(const char* name);
    int Send(const void* block, std::uint32_t size, std::uint32_t targetUserId);
    // To every other user of this session, at the cost of one send.
    int SendToAll(const void* block, std::uint32_t size);
    peer::CPeerService* Peer() { return m_pPeer.get(); }

    // The service's event handler (runs on the service's threads).
    static peer::Result CallBackHandler(void* context, std::uint32_t eventId, void* event);

    // The local user's record in this wrapper's session; not owned.
    void SetLocalUser(CUserInformation* user) { m_pLocalUser = user; }
    CUserInformation* LocalUser() const { return m_pLocalUser; }

    // Hosting port, and the port to join when the address names none.
    void SetPort(std::uint16_t port) { m_nPort = port; }
    std::uint16_t Port() const { return m_nPort; }
    void SetServiceOptions(const peer::ServiceOptions& options) { m_options = options; }

    int GetState() const { return m_nState.load(); }
    int GetHostFlag() const { return m_nHostFlag.load(); }

    // The local user's two ids. The service's threads change them, so every reader on
    // another thread goes through these (or copies the record with CopyLocalUser).
    std::uint32_t LocalUserId() const;
    std::uint32_t LocalGroupId() const;
    void SetLocalGroupId(std::uint32_t groupId);
    CUserInformation CopyLocalUser() const;
    // A new user name for the local record (the settings changed it).
    void SetLocalUserName(const std::string& name);

    // Messages dropped by any wrapper because their header named another sender than the
    // one the transport knows.
    static std::uint64_t ForgedDropped();
    // Whether a message block names `sender` of the session with group id `group` as its
    // sender; nothing else may be passed on as that sender's.
    static bool NamesSender(const void* data, std::size_t size, std::uint32_t sender, std::uint32_t group);

private:
    peer::Result OnEvent(std::uint32_t eventId, void* event);
    void OnCreatePlayer(const peer::CreatePlayerEvent& event);
    peer::Result OnIndicateConnect(peer::IndicateConnectEvent& event);
    void OnReceive(const peer::ReceiveEvent& event);
    void ResetLocalIds();

    std::unique_ptr<peer::CPeerService> m_pPeer;
    std::atomic<int> m_nState{Closed};
    std::atomic<HWND> m_hWnd{0};
    std::atomic<int> m_nHostFlag{0};
    CUserInformation* m_pLocalUser = nullptr;
    // The session's group id (its host's user id) as the transport told it: the only group
    // a received message may name.
    std::atomic<std::uint32_t> m_sessionGroup{0};
    std::uint16_t m_nPort = peer::kDefaultPort;
    peer::ServiceOptions m_options;
};
