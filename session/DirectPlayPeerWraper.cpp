#include "session/DirectPlayPeerWraper.h"

#include <condition_variable>
#include <cstring>
#include <string>

#include "app/Log.h"
#include "app/StartupOptions.h"
#include "session/ByteOrder.h"
#include "session/PeerMessage.h"
#include "app/WindowMessages.h"
#include "platform/winmsg/WinMsgPayload.h"

static_assert(kDefaultSessionPort == peer::kDefaultPort, "the program and its peer service default to one port");

namespace {

// Guards the two ids of every wrapper's local user record: written on the service's
// threads, read on the window thread.
std::mutex g_localIdsMutex;
std::condition_variable g_localIdsChanged;

std::atomic<std::uint64_t> g_forgedDropped{0};

// "host", "host:port", "[v6]" or "[v6]:port"; a bare IPv6 address has no port.
bool SplitHostPort(const std::string& text, std::uint16_t defaultPort, std::string& host, std::uint16_t& port)
{
    host = text;
    port = defaultPort;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !ParsePortNumber(rest.substr(1), port))) return false;
    } else if (const auto colon = text.find(':'); colon != std::string::npos && text.rfind(':') == colon) {
        host = text.substr(0, colon);
        if (!ParsePortNumber(text.substr(colon + 1), port)) return false;
    }
    return !host.empty();
}

}  // namespace

CDirectPlayPeerWraper::~CDirectPlayPeerWraper()
{
    if (m_pPeer) {
        m_pPeer->Close();
        m_pPeer.reset();
    }
}

int CDirectPlayPeerWraper::Create(HWND window, peer::EventHandler handler)
{
    m_hWnd = window;
    if (m_pPeer) {
        m_pPeer->Close();
        m_pPeer.reset();
    }
    auto service = std::make_unique<peer::CPeerService>();
    m_sessionGroup = 0;
    peer::ServiceOptions options = m_options;
    if (!options.log) {
        options.log = [](const std::string& line) {
            MORVIKA_LOG("LOG   CDirectPlayPeerWraper::CallBackHandler() %s \n", line.c_str());
        };
    }
    if (options.receiveBudgetBytes == 0) options.receiveBudgetBytes = kReceiveBudgetBytes;
    if (options.receiveBudgetMessages == 0) options.receiveBudgetMessages = kReceiveBudgetMessages;
    // A member speaks only for itself, also through the host to another member.
    options.acceptRelay = [this](peer::PlayerId from, std::span<const std::uint8_t> payload) {
        return NamesSender(payload.data(), payload.size(), from, m_sessionGroup.load());
    };
    const peer::Result result =
        service->Initialize(this, handler ? std::move(handler) : peer::EventHandler(&CallBackHandler), options);
    if (result != peer::DPN_OK) return result;
    m_pPeer = std::move(service);
    m_nState = Ready;
    std::lock_guard lock(g_localIdsMutex);
    if (m_pLocalUser) m_pLocalUser->SetUserId(0);
    return 0;
}

int CDirectPlayPeerWraper::Host()
{
    m_nHostFlag = 1;
    if (m_nState != Ready || !m_pPeer) return 1;
    peer::ApplicationDesc application;
    application.application = *peer::GuidFromString(kApplicationId);
    application.sessionName = kSessionName;
    const peer::Result result = m_pPeer->Host(application, m_nPort);
    if (result != peer::DPN_OK) return result;
    m_nState = Hosting;
    // Callers rely on the local ids once Host returns; the service announces the local
    // player on its own thread at once, so this wait is short.
    std::unique_lock lock(g_localIdsMutex);
    g_localIdsChanged.wait_for(lock, std::chrono::seconds(10),
                               [&] { return m_pLocalUser == nullptr || m_pLocalUser->GetUserId() != 0; });
    return 0;
}

bool CDirectPlayPeerWraper::SplitAddress(const std::string& text, std::uint16_t defaultPort, std::string& host,
                                         std::uint16_t& port)
{
    return SplitHostPort(text, defaultPort, host, port);
}

int CDirectPlayPeerWraper::Connect(const char* hostName, const void* connectData, std::uint32_t size)
{
    return Connect(hostName, connectData, size, std::string());
}

int CDirectPlayPeerWraper::Connect(const char* hostName, const void* connectData, std::uint32_t size,
                                   const std::string& password)
{
    if (!m_pPeer) return 1;
    std::string host;
    std::uint16_t port = 0;
    if (hostName == nullptr || !SplitHostPort(hostName, m_nPort, host, port)) return 1;
    const peer::Result result =
        m_pPeer->Connect(*peer::GuidFromString(kApplicationId), host, port, connectData, size, password);
    if (result != peer::DPNSUCCESS_PENDING && result != peer::DPN_OK) return 1;
    m_nState = Connected;
    return 0;
}

int CDirectPlayPeerWraper::Close()
{
    const int state = m_nState;
    if (state == Closed || state == Ready) return 1;
    if (m_pPeer) m_pPeer->Close();
    m_nState = Closed;
    m_sessionGroup = 0;
    ResetLocalIds();
    return 0;
}

void CDirectPlayPeerWraper::ResetLocalIds()
{
    std::lock_guard lock(g_localIdsMutex);
    if (m_pLocalUser) {
        m_pLocalUser->SetUserId(0);
        m_pLocalUser->SetGroupId(0);
    }
}

int CDirectPlayPeerWraper::SetPlayerInfo(const char* name)
{
    if (!m_pPeer) return 1;
    CTransBlock block;
    CopyLocalUser().Serialize(block);
    std::string playerName = name != nullptr ? name : "";
    const peer::Result result =
        m_pPeer->SetPeerInfo(playerName, block.Data(), static_cast<std::uint32_t>(block.Size()));
    // Set synchronously: anything but DPN_OK (a pending answer too) is the service's failure.
    return result == peer::DPN_OK ? 0 : result;
}

int CDirectPlayPeerWraper::Send(const void* block, std::uint32_t size, std::uint32_t targetUserId)
{
    if (!m_pPeer) return 1;
    std::uint32_t kind = 0;
    if (block != nullptr && size >= 8) std::memcpy(&kind, static_cast<const std::uint8_t*>(block) + 4, 4);
    const auto timeout = kind == KIND_PICTURE_FRAME ? kPictureTimeout : std::chrono::milliseconds(0);
    const std::uint32_t flags = kind == KIND_VOICE_DATA ? (peer::DPNSEND_NOCOMPLETE | peer::DPNSEND_PRIORITY_HIGH)
                                                        : (peer::DPNSEND_NOCOMPLETE | peer::DPNSEND_PRIORITY_LOW);
    return m_pPeer->SendTo(targetUserId, block, size, timeout, flags);
}

int CDirectPlayPeerWraper::SendToAll(const void* block, std::uint32_t size)
{
    return Send(block, size, peer::DPNID_ALL_PLAYERS_GROUP);
}

std::uint32_t CDirectPlayPeerWraper::LocalUserId() const
{
    std::lock_guard lock(g_localIdsMutex);
    return m_pLocalUser ? m_pLocalUser->GetUserId() : 0;
}

std::uint32_t CDirectPlayPeerWraper::LocalGroupId() const
{
    std::lock_guard lock(g_localIdsMutex);
    return m_pLocalUser ? m_pLocalUser->GetGroupId() : 0;
}

void CDirectPlayPeerWraper::SetLocalGroupId(std::uint32_t groupId)
{
    std::lock_guard lock(g_localIdsMutex);
    if (m_pLocalUser) m_pLocalUser->SetGroupId(groupId);
}

CUserInformation CDirectPlayPeerWraper::CopyLocalUser() const
{
    std::lock_guard lock(g_localIdsMutex);
    return m_pLocalUser ? *m_pLocalUser : CUserInformation();
}

void CDirectPlayPeerWraper::SetLocalUserName(const std::string& name)
{
    std::lock_guard lock(g_localIdsMutex);
    if (m_pLocalUser) m_pLocalUser->SetUserName(name);
}

peer::Result CDirectPlayPeerWraper::CallBackHandler(void* context, std::uint32_t eventId, void* event)
{
    if (context == nullptr) return 0;
    return static_cast<CDirectPlayPeerWraper*>(context)->OnEvent(eventId, event);
}

peer::Result CDirectPlayPeerWraper::OnEvent(std::uint32_t eventId, void* event)
{
    const bool host = m_nHostFlag == 1;
    switch (eventId) {
    case peer::DPN_MSGID_ASYNC_OP_COMPLETE: return 0;
    case peer::DPN_MSGID_CONNECT_COMPLETE: {
        const auto& complete = *static_cast<const peer::ConnectCompleteEvent*>(event);
        {
            std::lock_guard lock(g_localIdsMutex);
            if (m_pLocalUser) m_pLocalUser->SetUserId(complete.localPlayer);
        }
        std::uint32_t reply = 0;
        if (complete.replySize == 4 && complete.replyData != nullptr) std::memcpy(&reply, complete.replyData, 4);
        if (complete.result == peer::DPN_OK) m_sessionGroup = reply;
        PostMessage(m_hWnd, WM_CONNECT_COMPLETE, static_cast<WPARAM>(static_cast<std::uint32_t>(complete.result)),
                    static_cast<LPARAM>(reply));
        return 0;
    }
    case peer::DPN_MSGID_CREATE_PLAYER: OnCreatePlayer(*static_cast<const peer::CreatePlayerEvent*>(event)); return 0;
    case peer::DPN_MSGID_DESTROY_PLAYER: {
        const auto& destroyed = *static_cast<const peer::DestroyPlayerEvent*>(event);
        PostMessage(m_hWnd, host ? WM_HOST_PLAYER_REMOVED : WM_CLIENT_PLAYER_REMOVED, destroyed.player,
                    static_cast<LPARAM>(LocalGroupId()));
        return 0;
    }
    case peer::DPN_MSGID_INDICATE_CONNECT: return OnIndicateConnect(*static_cast<peer::IndicateConnectEvent*>(event));
    case peer::DPN_MSGID_RECEIVE: OnReceive(*static_cast<const peer::ReceiveEvent*>(event)); return 0;
    case peer::DPN_MSGID_RECEIVE_PROGRESS: {
        const auto& progress = *static_cast<const peer::ReceiveProgressEvent*>(event);
        std::uint32_t kind = 0;
        if (progress.received >= 8) kind = morvika::wire::LoadU32(static_cast<const std::uint8_t*>(progress.data) + 4);
        PostMessage(m_hWnd, WM_RECEIVE_PROGRESS, kind,
                    static_cast<LPARAM>(std::uint64_t{progress.received} | std::uint64_t{progress.total} << 32));
        return 0;
    }
    case peer::DPN_MSGID_RETURN_BUFFER: {
        const auto& returned = *static_cast<const peer::ReturnBufferEvent*>(event);
        delete static_cast<std::uint32_t*>(returned.buffer);
        return 0;
    }
    case peer::DPN_MSGID_TERMINATE_SESSION: {
        // The result tells the view why: put out, the session closed, or the host vanished.
        const auto& terminated = *static_cast<const peer::TerminateSessionEvent*>(event);
        PostMessage(m_hWnd, WM_SESSION_TERMINATED, static_cast<WPARAM>(static_cast<std::uint32_t>(terminated.result)),
                    0);
        return 0;
    }
    case peer::DPN_MSGID_PEER_INFO: return 0;  // the player data is read when a player appears
    default: MORVIKA_LOG("ERROR CDirectPlayPeerWraper::CallBackHandler() NonFunc %x \n", eventId); return 0;
    }
}

void CDirectPlayPeerWraper::OnCreatePlayer(const peer::CreatePlayerEvent& event)
{
    std::uint32_t groupId = 0;
    // The hosted session's group id is the host's own player id.
    if (m_nHostFlag == 1 && event.local) m_sessionGroup = event.player;
    {
        std::lock_guard lock(g_localIdsMutex);
        if (m_pLocalUser) {
            // The first player a host sees is itself: its id is also the session's group id.
            if (m_nHostFlag == 1 && m_pLocalUser->GetUserId() == 0) {
                m_pLocalUser->SetUserId(event.player);
                m_pLocalUser->SetGroupId(event.player);
                g_localIdsChanged.notify_all();
            }
            groupId = m_pLocalUser->GetGroupId();
        }
    }

    std::string name;
    peer::Bytes data;
    auto record = std::make_unique<CUserInformation>();
    if (m_pPeer && m_pPeer->GetPeerInfo(event.player, name, data) == peer::DPN_OK) {
        if (name.size() > kMaxPlayerNameBytes) name.resize(kMaxPlayerNameBytes);
        if (!data.empty()) {
            auto decoded = CHalvoTransData::CreateFromBlock(data.data(), data.size());
            if (auto* user = dynamic_cast<CUserInformation*>(decoded.get())) *record = *user;
        }
    } else {
        name.clear();
    }
    record->SetUserId(event.player);
    record->SetGroupId(groupId);
    record->SetUserName(name);
    PostPayload(m_hWnd, m_nHostFlag == 1 ? WM_HOST_PLAYER_ADDED : WM_CLIENT_PLAYER_ADDED, event.player,
                std::move(record));
}

peer::Result CDirectPlayPeerWraper::OnIndicateConnect(peer::IndicateConnectEvent& event)
{
    // The window decides, possibly after asking its user; this service thread waits.
    ConnectRequest request{CTransBlock(event.connectData, event.connectDataSize), event.passwordMatches};
    MORVIKA_LOG("LOG   CDirectPlayPeerWraper::OnIndicateConnect() %s KEY=%s\n", event.address, event.fingerprint);
    bool delivered = false;
    const LRESULT answer = SendPayload(m_hWnd, WM_CONNECT_REQUEST, 0, request, &delivered);
    // A window that went away refuses the caller rather than letting a stranger in.
    const std::uint32_t reason = delivered ? static_cast<std::uint32_t>(answer) : 1;

    auto* reply = new std::uint32_t(reason != 0 ? reason : LocalUserId());
    event.replyData = reply;
    event.replySize = sizeof *reply;
    event.replyContext = nullptr;
    return reason != 0 ? peer::DPNERR_HOSTREJECTEDCONNECTION : peer::DPN_OK;
}

std::uint64_t CDirectPlayPeerWraper::ForgedDropped()
{
    return g_forgedDropped.load();
}

bool CDirectPlayPeerWraper::NamesSender(const void* data, std::size_t size, std::uint32_t sender, std::uint32_t group)
{
    if (data == nullptr || size < CPeerMessage::kHeaderSize || group == 0) return false;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    return morvika::wire::LoadU32(bytes + 8) == sender && morvika::wire::LoadU32(bytes + 12) == group;
}

void CDirectPlayPeerWraper::OnReceive(const peer::ReceiveEvent& event)
{
    // The service reads on from that link only as the window keeps up with what it sent.
    std::function<void()> done = m_pPeer ? m_pPeer->DeliveryDone() : std::function<void()>();
    // Own messages come back when a peer's list holds its own joined-session entry.
    if (event.sender == LocalUserId()) {
        if (done) done();
        return;
    }
    if (!NamesSender(event.data, event.size, event.sender, m_sessionGroup.load())) {
        ++g_forgedDropped;
        MORVIKA_LOG("ERROR CDirectPlayPeerWraper::OnReceive() 送信者の違うメッセージを破棄した %x \n",
                    static_cast<unsigned>(event.sender));
        if (done) done();
        return;
    }
    auto message = std::make_unique<CPeerMessage>();
    message->FromReceived(event.data, event.size);
    const UINT id = m_nHostFlag == 1 ? WM_HOST_MESSAGE : WM_CLIENT_MESSAGE;
    const WPARAM groupId = message->GroupId();
    PostPayload(m_hWnd, id, groupId, std::move(message), std::move(done));
}
