#include "session/PlayBoiceView.h"

#include <memory>
#include <string>

#include <QCoreApplication>

#include "app/HalvoApp.h"
#include "app/Log.h"
#include "app/NetworkAddress.h"
#include "app/WindowMessages.h"
#include "platform/winmsg/WinMsgPayload.h"
#include "session/ConnectReply.h"

namespace {

// Refusal and result texts of a connect attempt, as the log writes them; the box translates them.
const char* ConnectCompleteText(std::uint32_t result, std::uint32_t reply)
{
    // Too many joiners at once: nobody refused this one.
    if (result == static_cast<std::uint32_t>(peer::DPNERR_NOTREADY)) {
        return QT_TRANSLATE_NOOP("CPlayBoiceView", "相手は他の接続の処理中です。しばらくしてから接続し直してください");
    }
    switch (reply) {
    case kReplyTooManyAttempts:
        return QT_TRANSLATE_NOOP("CPlayBoiceView", "パスワードの誤りが続いたため、しばらく接続できません");
    case kReplyRefusedBase + 0: return QT_TRANSLATE_NOOP("CPlayBoiceView", "現在会話不可能");
    case kReplyRefusedBase + 1: return QT_TRANSLATE_NOOP("CPlayBoiceView", "後でこちらから連絡します");
    case kReplyRefusedBase + 2: return QT_TRANSLATE_NOOP("CPlayBoiceView", "ただいま多忙");
    case kReplyNoAnswer: return QT_TRANSLATE_NOOP("CPlayBoiceView", "相手が不在のようです");
    case kReplyWrongPassword: return QT_TRANSLATE_NOOP("CPlayBoiceView", "パスワードが違います");
    // Any other reason, a reason no dialog gives included, reads as a plain refusal.
    default: return QT_TRANSLATE_NOOP("CPlayBoiceView", "相手が接続を拒否しました");
    }
}

// What went wrong on the way, for failures where nobody refused anything; null otherwise.
const char* ConnectFailureDetail(std::uint32_t result)
{
    switch (static_cast<peer::Result>(result)) {
    case peer::DPNERR_HOSTNOTFOUND:
        return QT_TRANSLATE_NOOP("CPlayBoiceView", "ホスト名「%1」が見つかりません。アドレスを確かめてください。");
    case peer::DPNERR_NOANSWER:
        return QT_TRANSLATE_NOOP("CPlayBoiceView", "%1 では接続を待っているソラネムがありません。相手が起動しているか、"
                                                   "アドレスとポートが正しいかを確かめてください。");
    case peer::DPNERR_TIMEDOUT:
        return QT_TRANSLATE_NOOP("CPlayBoiceView", "%1 から決められた時間内に応答がありませんでした。");
    case peer::DPNERR_NOCONNECTION:
        return QT_TRANSLATE_NOOP("CPlayBoiceView", "%1 との接続が、参加する前に切れました。");
    case peer::DPNERR_INVALIDVERSION:
        return QT_TRANSLATE_NOOP("CPlayBoiceView", "%1 のソラネムとは版が違うため接続できません。");
    case peer::DPNERR_INVALIDAPPLICATION:
        return QT_TRANSLATE_NOOP("CPlayBoiceView", "%1 で待ち受けているのはソラネムのセッションではありません。");
    default: return nullptr;
    }
}

// Why the joined session ended, naming its host.
const char* SessionEndText(std::uint32_t result)
{
    switch (static_cast<peer::Result>(result)) {
    case peer::DPNERR_HOSTDESTROYEDPLAYER:
        return QT_TRANSLATE_NOOP("CPlayBoiceView", "%1 さん（%2）のセッションから切断されました。");
    case peer::DPNERR_HOSTTERMINATEDSESSION:
        return QT_TRANSLATE_NOOP("CPlayBoiceView", "%1 さん（%2）がセッションを終了しました。");
    default:
        return QT_TRANSLATE_NOOP(
            "CPlayBoiceView",
            "%1 さん（%2）との接続が切れました。相手のソラネムが終了したか、ネットワークが途切れました。");
    }
}

}  // namespace

std::recursive_mutex& SessionEventLock()
{
    static std::recursive_mutex lock;
    return lock;
}

CPlayBoiceView::CPlayBoiceView(CHalvoApp& app, CUserInformation* hostRecord, CUserInformation* clientRecord,
                               ISessionViewHost& host)
    : m_app(app),
      m_host(host),
      m_pHostRecord(hostRecord),
      m_pClientRecord(clientRecord)
{
}

CPlayBoiceView::~CPlayBoiceView()
{
    // No event may reach a half-destroyed view; a service thread waiting on a connect
    // request is released before the transports close.
    DetachMessages();
    // The capture goes first: its thread pushes onto the voice queue and posts to the main window.
    m_pCapture.reset();
    m_peerList.Clear();
    m_pendingList.Clear();
    // Members are destroyed in reverse order: the client wrapper, then the host wrapper.
}

void CPlayBoiceView::SetServiceOptions(const peer::ServiceOptions& options)
{
    peer::ServiceOptions own = options;
    if (own.identity.Empty()) own.identity = m_app.GetIdentity();
    // A joiner refused unheard after guessing is told so: it is not the password it gave now.
    own.throttledReply = {kReplyTooManyAttempts, 0, 0, 0};
    peer::ServiceOptions joining = own;
    joining.checkHostKey = [this](const peer::ServiceOptions::HostKey& key) { return CheckHostKey(key); };
    m_hostWrapper.SetServiceOptions(own);
    m_clientWrapper.SetServiceOptions(joining);
}

std::string CPlayBoiceView::HostKeyName(const std::string& host, std::uint16_t port)
{
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool CPlayBoiceView::CheckHostKey(const peer::ServiceOptions::HostKey& key)
{
    const std::string name = HostKeyName(key.host, key.port);
    const std::string known = m_app.GetKnownHost(name);
    if (known.empty()) {
        m_app.SetKnownHost(name, key.fingerprint);
        MORVIKA_LOG("LOG   CPlayBoiceView::CheckHostKey() %s の鍵を記録 %s\n", name.c_str(), key.fingerprint.c_str());
        return true;
    }
    if (known == key.fingerprint) return true;
    MORVIKA_LOG("ERROR CPlayBoiceView::CheckHostKey() %s の鍵が違う 記録=%s 今回=%s パスワードは送信しない\n",
                name.c_str(), known.c_str(), key.fingerprint.c_str());
    std::lock_guard lock(m_keyMutex);
    m_refusedKeys[name] = key.fingerprint;
    m_keyRefusalName = name;
    m_keyRefusal =
        QCoreApplication::translate(
            "CPlayBoiceView", "接続先 %1 の鍵が記録と違います。\n記録: %2\n今回: %3\nパスワードは送っていません。")
            .arg(QString::fromStdString(name), QString::fromStdString(known), QString::fromStdString(key.fingerprint))
            .toStdString();
    return false;
}

bool CPlayBoiceView::AcceptHostKey(const std::string& hostPort, std::string& fingerprint)
{
    {
        std::lock_guard lock(m_keyMutex);
        const auto it = m_refusedKeys.find(hostPort);
        if (it == m_refusedKeys.end()) return false;
        fingerprint = it->second;
        m_refusedKeys.erase(it);
    }
    m_app.SetKnownHost(hostPort, fingerprint);
    MORVIKA_LOG("LOG   CPlayBoiceView::AcceptHostKey() %s の新しい鍵を承認 %s\n", hostPort.c_str(),
                fingerprint.c_str());
    return true;
}

void CPlayBoiceView::TrustRefusedKeyAndRejoin(const std::string& hostPort)
{
    std::string fingerprint;
    if (!AcceptHostKey(hostPort, fingerprint) || !m_lastJoin || m_nViewState != NotJoined) return;
    const JoinAttempt attempt = *m_lastJoin;
    ConnectTo(attempt.address, attempt.password, attempt.message);
}

void CPlayBoiceView::Start(std::uint16_t port)
{
    m_pHostRecord->SetOwnSession(1);
    m_hostWrapper.SetLocalUser(m_pHostRecord);
    m_clientWrapper.SetLocalUser(m_pClientRecord);
    m_hostWrapper.SetPort(port);
    m_nSessionPort = port;
    m_clientWrapper.SetPort(port);
    m_app.GetVoiceConfig(m_voiceConfig);
    m_nViewState = NotJoined;

    m_hostWrapper.Create(Handle());
    m_hostWrapper.SetPlayerInfo(m_pHostRecord->GetUserName().c_str());
    m_hostFailure.clear();
    if (const int result = m_hostWrapper.Host(); result != 0) {
        // Nobody can reach the user now; the window says so instead of running on silently.
        const auto* service = m_hostWrapper.Peer();
        m_hostFailure = service ? service->HostError() : std::string();
        if (m_hostFailure.empty()) m_hostFailure = "error " + std::to_string(static_cast<unsigned>(result));
        MORVIKA_LOG("ERROR CPlayBoiceView::Start() ホスト失敗 PORT=%u %s \n", static_cast<unsigned>(port),
                    m_hostFailure.c_str());
    }

    CUserInformation self = m_hostWrapper.CopyLocalUser();
    AddUser(self);
}

void CPlayBoiceView::SetUserName(const std::string& name)
{
    m_hostWrapper.SetLocalUserName(name);
    m_clientWrapper.SetLocalUserName(name);
    m_hostWrapper.SetPlayerInfo(name.c_str());
}

int CPlayBoiceView::StartCapture(morvika::sound::ISoundBackend* backend, HWND mainWindow,
                                 const morvika::sound::SoundDeviceId* device, std::optional<std::int16_t> dcOffset,
                                 std::shared_ptr<CEchoReference> echo)
{
    if (backend == nullptr) {
        MORVIKA_LOG("ERROR CPlayBoiceView::StartCapture() サウンドサーバがないため音声なしで動作します\n");
        return 1;
    }
    if (!m_pCapturePoster) m_pCapturePoster = std::make_unique<CCapturePoster>();
    m_pCapture = std::make_unique<CSoundCapture>(*backend, m_pCapturePoster.get(), &m_voiceSink);
    m_pCapture->SetSettings(&m_voiceConfig);
    if (dcOffset) m_pCapture->SetDcOffset(*dcOffset);
    m_pCapture->SetEchoReference(std::move(echo));
    m_pCapture->SetEchoCancel(m_app.GetEchoCancel() != 0);
    m_pCapture->SetNoiseSuppress(m_app.GetNoiseSuppress() != 0);
    // Failures are logged by the capture object, which then stays idle: the program runs on
    // without a microphone.
    if (m_pCapture->Init(static_cast<WindowHandle>(mainWindow), device, nullptr) != 0) return 1;
    return m_pCapture->Start();
}

void CPlayBoiceView::AddUser(CUserInformation& record)
{
    m_peerList.PushBack(record);
    m_host.OnUserAdded(record);
    record.MarkActive();
    m_peerList.SetActive(record);
}

void CPlayBoiceView::ConnectTo(const std::string& address, const std::string& password, const std::string& message)
{
    m_clientWrapper.Close();
    m_pendingList.Clear();
    m_nViewState = NotJoined;
    OnConnect(address, password, message);
}

void CPlayBoiceView::OnConnect(const std::string& address, const std::string& password, const std::string& message)
{
    CUserInformation request = m_clientWrapper.CopyLocalUser();
    m_lastJoin.reset();
    if (address == request.GetAddress() || IsOwnSession(address)) {
        m_host.ShowMessageBox(QCoreApplication::translate("CPlayBoiceView", "自身への接続はできません").toStdString(),
                              QCoreApplication::translate("CPlayBoiceView", "接続").toStdString());
        MORVIKA_LOG("ERROR CPlayBoiceView::OnConnect() ログイン失敗 ERROR=%x %s \n", 0u, address.c_str());
        return;
    }

    int result = m_clientWrapper.Create(Handle());
    if (result == 0) {
        result = m_clientWrapper.SetPlayerInfo(request.GetUserName().c_str());
        if (result == 0) {
            // The password itself stays here: the transport sends a proof of it.
            request.SetPassword({});
            request.SetMessage(message);
            CTransBlock block;
            request.Serialize(block);
            result = m_clientWrapper.Connect(address.c_str(), block.Data(), static_cast<std::uint32_t>(block.Size()),
                                             password);
            if (result == 0) {
                MORVIKA_LOG("LOG   CPlayBoiceView::OnConnect()　ログイン成功 \n");
                m_nViewState = Joining;
                m_lastJoin = JoinAttempt{address, password, message};
                return;
            }
        }
    }
    MORVIKA_LOG("ERROR CPlayBoiceView::OnConnect() ログイン失敗 ERROR=%x %s \n", static_cast<unsigned>(result),
                address.c_str());
}

bool CPlayBoiceView::IsOwnSession(const std::string& address)
{
    const auto* service = m_hostWrapper.Peer();
    const std::uint16_t ownPort = service && service->BoundPort() != 0 ? service->BoundPort() : m_nSessionPort;
    std::string host;
    std::uint16_t port = 0;
    if (!CDirectPlayPeerWraper::SplitAddress(address, m_nSessionPort, host, port) || port != ownPort) return false;
    // Other instances on this machine listen on other ports and stay reachable.
    return NetworkAddress::IsThisMachine(host, m_app.HostName(), NetworkAddress::LocalAddresses());
}

LRESULT CPlayBoiceView::OnIndicate(WPARAM, LPARAM lParam)
{
    std::lock_guard lock(SessionEventLock());
    auto* connect = SentPayload<ConnectRequest>(lParam);
    if (connect == nullptr || connect->data.IsNull()) return kReplyMalformed;
    auto decoded = CHalvoTransData::CreateFromBlock(connect->data);
    auto* request = dynamic_cast<CUserInformation*>(decoded.get());
    if (request == nullptr) return kReplyMalformed;

    MORVIKA_LOG("LOG   CPlayBoiceView::OnIndicate() Name= %s APP=%x  ID = %d , %d %s \n",
                request->GetUserName().c_str(), request->GetVersion(), static_cast<int>(request->GetGroupId()),
                static_cast<int>(request->GetUserId()), request->GetAddress().c_str());

    if (!connect->passwordMatches || !connect->passwordMatches(m_app.GetPassword())) return kReplyWrongPassword;

    const int approval = m_app.GetConnectCheck();
    if (approval == kAskAlways || (approval == kAskWhenHidden && m_host.IsMainHidden())) {
        const int answer = m_host.AskApproval(request->GetUserName(), request->GetMessage());
        if (m_host.IsMainHidden()) m_host.ShowMain();
        return answer == kApprovalAccepted ? kReplyAccepted : answer;
    }
    return kReplyAccepted;
}

void CPlayBoiceView::OnConnectComplete(WPARAM wParam, LPARAM lParam)
{
    std::lock_guard lock(SessionEventLock());
    // A completion that was already queued when the user left, or started another attempt,
    // belongs to a transport that is closed: it must not revive the old session.
    if (m_nViewState != Joining) return;
    const auto result = static_cast<std::uint32_t>(wParam);
    const auto reply = static_cast<std::uint32_t>(lParam);
    if (result == static_cast<std::uint32_t>(peer::DPNERR_UNTRUSTEDHOST)) {
        std::string text;
        std::string name;
        {
            std::lock_guard keyLock(m_keyMutex);
            text = m_keyRefusal;
            name = m_keyRefusalName;
        }
        m_clientWrapper.Close();
        m_pendingList.Clear();
        m_nViewState = NotJoined;
        // The user decides on the new key; the attempt is kept until then.
        text += QCoreApplication::translate("CPlayBoiceView",
                                            "\n\n新しい鍵を信頼して接続し直しますか？\n"
                                            "相手が鍵を作り直したことを確かめられたときだけ「はい」を押してください。")
                    .toStdString();
        std::weak_ptr<bool> alive = m_alive;
        m_host.AskYesNo(text, QCoreApplication::translate("CPlayBoiceView", "ログイン").toStdString(),
                        [this, alive, name] {
                            if (alive.lock()) TrustRefusedKeyAndRejoin(name);
                        });
        return;
    }
    // Whatever the outcome, the password is not needed any longer.
    const std::string address = m_lastJoin ? m_lastJoin->address : std::string();
    m_lastJoin.reset();
    if (result != 0) {
        const char* text = ConnectCompleteText(result, reply);
        QString shown = QCoreApplication::translate("CPlayBoiceView", text);
        // A plain refusal's text blames the other user: say what really happened.
        if (const char* detail = ConnectFailureDetail(result)) {
            shown += QStringLiteral("\n") +
                     QCoreApplication::translate("CPlayBoiceView", detail).arg(QString::fromStdString(address));
            MORVIKA_LOG("ERROR CPlayBoiceView::OnConnectComplete() ログイン失敗 ERROR=%x %s \n",
                        static_cast<unsigned>(result), address.c_str());
        }
        m_host.ShowMessageBox(shown.toStdString(),
                              QCoreApplication::translate("CPlayBoiceView", "ログイン").toStdString());
        MORVIKA_LOG("LOG   CPlayBoiceView::OnConnectComplete() %s GrupID=%x \n", text, reply);
        m_clientWrapper.Close();
        m_pendingList.Clear();
        m_nViewState = NotJoined;
        return;
    }

    m_clientWrapper.SetLocalGroupId(reply);
    const std::uint32_t ownJoinedId = m_clientWrapper.LocalUserId();
    CUserInformation entry;
    m_joinedAddress = address;
    m_joinedHost = address;
    while (m_pendingList.PopFront(entry)) {
        // The host's user id is the session's group id.
        if (entry.GetUserId() == reply) m_joinedHost = entry.GetUserName();
        entry.SetGroupId(reply);
        entry.MarkActive();
        m_peerList.PushBack(entry);
        if (entry.GetUserId() != ownJoinedId) {
            m_host.OnUserAdded(entry);
        }
    }
    MORVIKA_LOG("LOG   CPlayBoiceView::OnConnectComplete() %s GrupID=%x \n", "ログイン完了", reply);
    m_nViewState = Joined;
}

void CPlayBoiceView::OnAddPlayer(WPARAM, LPARAM lParam)
{
    std::unique_ptr<CUserInformation> posted = TakePayload<CUserInformation>(lParam);
    if (posted == nullptr) return;
    CUserInformation record = *posted;
    posted.reset();
    if (record.GetUserId() == HostUserId()) return;  // the local player itself
    record.SetOwnSession(1);
    AddUser(record);
}

void CPlayBoiceView::OnAddPlayerClient(WPARAM, LPARAM lParam)
{
    std::unique_ptr<CUserInformation> posted = TakePayload<CUserInformation>(lParam);
    if (posted == nullptr) return;
    CUserInformation record = *posted;
    posted.reset();
    const unsigned userId = record.GetUserId();
    const unsigned groupId = record.GetGroupId();
    switch (m_nViewState) {
    case NotStarted:
        MORVIKA_LOG("ERROR CPlayBoiceView::OnAddPlayerClient() UserID=%x GrupID=%x Stat=%d 初期化が出来ていない\n",
                    userId, groupId, m_nViewState);
        break;
    case NotJoined:
        MORVIKA_LOG("ERROR CPlayBoiceView::OnAddPlayerClient() UserID=%x GrupID=%x Stat=%d 接続が出来ていない\n",
                    userId, groupId, m_nViewState);
        break;
    case Joining:
        m_pendingList.PushBack(record);
        MORVIKA_LOG("LOG   CPlayBoiceView::OnAddPlayerClient() UserID=%x GrupID=%x Stat=%d \n", userId, groupId,
                    m_nViewState);
        break;
    default:
        AddUser(record);
        MORVIKA_LOG("LOG   CPlayBoiceView::OnAddPlayerClient() UserID=%x GrupID=%x  Stat=%d \n", userId, groupId,
                    m_nViewState);
        break;
    }
}

void CPlayBoiceView::OnRemovePlayer(WPARAM wParam, LPARAM lParam)
{
    const auto userId = static_cast<std::uint32_t>(wParam);
    const auto groupId = static_cast<std::uint32_t>(lParam);
    m_peerList.Remove(userId, groupId);
    m_host.OnUserRemoved(userId, groupId);
}

void CPlayBoiceView::HandleReceived(const char* handlerName, LPARAM lParam, WPARAM wParam)
{
    std::lock_guard lock(SessionEventLock());
    const std::unique_ptr<CPeerMessage> message = TakePayload<CPeerMessage>(lParam);
    if (!message) return;
    if (message->Kind() == KIND_VOICE_START) {
        MORVIKA_LOG("LOG   CPlayBoiceView::%s() UserID=%x GrupID=%x 引数=%x \n", handlerName, message->UserId(),
                    message->GroupId(), static_cast<unsigned>(wParam));
        m_peerList.MarkVoiceStarted(message->UserId(), message->GroupId());
        return;
    }
    m_host.OnMessage(*message);
}

void CPlayBoiceView::OnComeMsg(WPARAM wParam, LPARAM lParam)
{
    HandleReceived("OnComeMsg", lParam, wParam);
}

void CPlayBoiceView::OnComeMsgClient(WPARAM wParam, LPARAM lParam)
{
    HandleReceived("OnComeMsgClient", lParam, wParam);
}

CDirectPlayPeerWraper& CPlayBoiceView::Route(std::uint32_t groupId, CPeerMessage& message)
{
    if (groupId == m_hostWrapper.LocalGroupId()) {
        message.SetUserId(m_hostWrapper.LocalUserId());
        message.SetGroupId(m_hostWrapper.LocalGroupId());
        return m_hostWrapper;
    }
    message.SetUserId(m_clientWrapper.LocalUserId());
    message.SetGroupId(m_clientWrapper.LocalGroupId());
    return m_clientWrapper;
}

void CPlayBoiceView::SendMesseage(std::uint32_t userId, std::uint32_t groupId, CPeerMessage& message)
{
    if (message.IsEmpty()) return;
    CDirectPlayPeerWraper& transport = Route(groupId, message);
    transport.Send(message.Block(), static_cast<std::uint32_t>(message.BlockSize()), userId);
    if (message.Kind() == KIND_VOICE_START) {
        MORVIKA_LOG("LOG   CPlayBoiceView::SendMesseage() 音声開始メッセージを送信した UserID = %x GrupID= %x \n",
                    message.UserId(), message.GroupId());
    }
}

void CPlayBoiceView::Broadcast(CPeerMessage& message)
{
    if (message.IsEmpty()) return;
    // One send per session that has another active user: the service hands it to each of them
    // (the host of a joined session passes it on), so it leaves here once, not once per user.
    // Our own entries need nothing: what comes back from ourselves is ignored anyway.
    std::optional<std::uint32_t> own;
    std::optional<std::uint32_t> joined;
    for (const auto& [userId, groupId] : Recipients()) {
        if (groupId == m_hostWrapper.LocalGroupId()) {
            if (userId != m_hostWrapper.LocalUserId()) own = groupId;
        } else if (userId != m_clientWrapper.LocalUserId()) {
            joined = groupId;
        }
    }
    // Sent outside the list lock: the transports take locks of their own.
    for (const auto& group : {own, joined}) {
        if (!group) continue;
        CDirectPlayPeerWraper& transport = Route(*group, message);
        transport.SendToAll(message.Block(), static_cast<std::uint32_t>(message.BlockSize()));
    }
}

const std::vector<std::pair<std::uint32_t, std::uint32_t>>& CPlayBoiceView::Recipients()
{
    if (m_recipientsOf && *m_recipientsOf == m_peerList.Generation()) return m_recipients;
    m_recipients.clear();
    m_recipientsOf = m_peerList.ForEach([this](const CUserInformation& entry) {
        if (entry.IsActive()) m_recipients.emplace_back(entry.GetUserId(), entry.GetGroupId());
    });
    return m_recipients;
}

void CPlayBoiceView::Kick(std::uint32_t userId, std::uint32_t groupId)
{
    const std::uint32_t hostUserId = m_hostWrapper.LocalUserId();
    if (groupId != m_hostWrapper.LocalGroupId()) {
        Leave();
        return;
    }
    peer::CPeerService* service = m_hostWrapper.Peer();
    if (service == nullptr) return;
    if (userId != hostUserId) {
        service->DestroyPeer(userId);
        return;
    }
    CUserInformationList copy(m_peerList);
    CUserInformation entry;
    while (copy.PopFront(entry)) {
        if (entry.GetUserId() != hostUserId) service->DestroyPeer(entry.GetUserId());
    }
}

void CPlayBoiceView::Leave()
{
    m_clientWrapper.Close();
    m_pendingList.Clear();
    m_nViewState = NotJoined;
    PostMessage(Handle(), WM_SESSION_TERMINATED, 0, 0);
}

void CPlayBoiceView::OnSessionTerminated(WPARAM wParam)
{
    // A user who left knows it already (the view is no longer joined then).
    if (m_nViewState != Joined) return;
    const auto result = static_cast<std::uint32_t>(wParam);
    MORVIKA_LOG("LOG   CPlayBoiceView::OnSessionTerminated() %s ERROR=%x \n", m_joinedHost.c_str(),
                static_cast<unsigned>(result));
    m_clientWrapper.Close();
    m_pendingList.Clear();
    m_nViewState = NotJoined;
    const std::string text = QCoreApplication::translate("CPlayBoiceView", SessionEndText(result))
                                 .arg(QString::fromStdString(m_joinedHost), QString::fromStdString(m_joinedAddress))
                                 .toStdString();
    m_host.ChatNotice(text);
    m_host.ShowMessageBox(text, QCoreApplication::translate("CPlayBoiceView", "セッション終了").toStdString());
}

void CPlayBoiceView::CloseAll()
{
    m_hostWrapper.Close();
    m_clientWrapper.Close();
}

std::size_t CPlayBoiceView::UserCount() const
{
    return m_peerList.Count() + m_pendingList.Count();
}

LRESULT CPlayBoiceView::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_HOST_PLAYER_ADDED: OnAddPlayer(wParam, lParam); return 0;
    case WM_CLIENT_PLAYER_ADDED: OnAddPlayerClient(wParam, lParam); return 0;
    case WM_HOST_PLAYER_REMOVED:
    case WM_CLIENT_PLAYER_REMOVED: OnRemovePlayer(wParam, lParam); return 0;
    case WM_HOST_MESSAGE: OnComeMsg(wParam, lParam); return 0;
    case WM_CLIENT_MESSAGE: OnComeMsgClient(wParam, lParam); return 0;
    case WM_CONNECT_REQUEST: return OnIndicate(wParam, lParam);
    case WM_CONNECT_COMPLETE: OnConnectComplete(wParam, lParam); return 0;
    case WM_SESSION_TERMINATED: OnSessionTerminated(wParam); return 0;
    case WM_RECEIVE_PROGRESS:
        m_host.OnProgress(static_cast<std::uint32_t>(wParam), static_cast<std::uint32_t>(lParam),
                          static_cast<std::uint32_t>(static_cast<std::uint64_t>(lParam) >> 32));
        return 0;
    default: return 0;
    }
}
