#include "session/HalvoHub.h"

#include <cstring>
#include <string>

#include <algorithm>
#include <utility>

#include "app/HalvoApp.h"
#include "app/Log.h"
#include "app/WindowMessages.h"
#include "platform/winmsg/WinMsgPayload.h"

CHalvoHub::CHalvoHub(CHalvoApp& app, CUserInformation* hostRecord, CUserInformation* clientRecord, IHubUi& ui)
    : m_app(app),
      m_ui(ui),
      m_pHostRecord(hostRecord),
      m_pClientRecord(clientRecord),
      m_shares(MakeSharesHost())
{
}

SharesHost CHalvoHub::MakeSharesHost()
{
    SharesHost host;
    host.sender = this;
    host.localUser = [this] { return m_pView ? m_pView->HostRecord() : CUserInformation(); };
    host.isLocal = [this](std::uint32_t userId, std::uint32_t groupId) {
        if (m_pView == nullptr) return false;
        const bool hosted = userId == m_pView->HostUserId() && groupId == m_pView->HostGroupId();
        const CDirectPlayPeerWraper& client = m_pView->ClientWrapper();
        const bool joined =
            client.LocalUserId() != 0 && userId == client.LocalUserId() && groupId == client.LocalGroupId();
        return hosted || joined;
    };
    host.tempFolder = m_app.GetTempFolder();
    host.userName = [this](std::uint32_t userId, std::uint32_t groupId) {
        return m_pView ? m_pView->PeerList().Get(userId, groupId).GetUserName() : std::string();
    };
    return host;
}

void CHalvoHub::SendSharesList(const std::uint8_t* bytes, std::uint32_t count)
{
    QueueLocal(KIND_SHARES_LIST, bytes, count);
}

void CHalvoHub::SendDirected(CPeerMessage&& message)
{
    m_sendQueue.Push(std::move(message));
    PostMessage(Handle(), WM_DRAIN_QUEUE, 0, 0);
}

CHalvoHub::~CHalvoHub()
{
    DetachMessages();
    Shutdown();
}

void CHalvoHub::SetSoundBackend(std::shared_ptr<morvika::sound::ISoundBackend> backend)
{
    m_voice.SetBackend(std::move(backend));
}

std::shared_ptr<CUserPlayback> CHalvoHub::CreatePlayback()
{
    return m_voice.CreatePlayback(Handle());
}

std::shared_ptr<CUserPlayback> CHalvoHub::FindPlayback(std::uint32_t userId, std::uint32_t groupId) const
{
    const auto it = m_playbacks.find({userId, groupId});
    return it == m_playbacks.end() ? nullptr : it->second;
}

void CHalvoHub::Start(std::uint16_t port, const peer::ServiceOptions& options)
{
    m_voice.BuildDeviceLists(m_app.GetCaptureDevice(), m_app.GetSoundDevice());
    m_voice.OpenMixer(m_app.GetCaptureDevice());
    m_pView = std::make_unique<CPlayBoiceView>(m_app, m_pHostRecord, m_pClientRecord, *this);
    m_pView->SetServiceOptions(options);
    m_pView->Start(port);
    std::optional<std::int16_t> dcOffset;
    // A hand-edited value outside the sample range must not wrap round to the other sign.
    if (m_app.HasNonVoice()) dcOffset = static_cast<std::int16_t>(std::clamp(m_app.GetNonVoice(), -32768, 32767));
    m_pView->StartCapture(m_voice.Backend(), Handle(), m_voice.CaptureDevice(), dcOffset, m_voice.EchoReference());
}

void CHalvoHub::Shutdown()
{
    m_voice.ReleaseDeviceLists();
    m_pView.reset();
    m_pOwnWindow = nullptr;
    m_userWindows.clear();
    m_pOwnPlayback.reset();
    m_playbacks.clear();
}

IUserWindow* CHalvoHub::FindUserWindow(std::uint32_t userId, std::uint32_t groupId)
{
    const auto it = m_userWindows.find({userId, groupId});
    return it == m_userWindows.end() ? nullptr : it->second.get();
}

void CHalvoHub::CreateUser(const CUserInformation& record)
{
    const unsigned userId = record.GetUserId();
    const unsigned groupId = record.GetGroupId();
    MORVIKA_LOG("LOG   CHalvoDlg::CreateUser() ユーザの作成 UserID=%x GrupID=%x IP=%s\n", userId, groupId,
                record.GetAddress().c_str());
    if (FindUserWindow(userId, groupId) != nullptr) {
        MORVIKA_LOG("ERROR CHalvoDlg::CreateUser() ユーザの作成できない\n");
        return;
    }
    // Made before the window, which binds its volume knob to it.
    std::shared_ptr<CUserPlayback> playback = CreatePlayback();
    if (playback) m_playbacks[{userId, groupId}] = playback;
    auto window = m_ui.CreateUserWindow(record);
    IUserWindow* created = window.get();
    m_userWindows[{userId, groupId}] = std::move(window);
    PostMessage(Handle(), WM_STILL_IMAGE_RESEND, userId, groupId);
    PostMessage(Handle(), WM_SHARES_ANNOUNCE, 0, 0);

    const bool isSelf = IsOwnRecord(record);
    if (m_pOwnWindow == nullptr) {
        if (isSelf) {
            m_pOwnWindow = created;
            m_pOwnPlayback = playback;
            MORVIKA_LOG("LOG   CHalvoDlg::CreateUser() 自身のウインドウ\n");
        } else {
            MORVIKA_LOG("LOG   CHalvoDlg::CreateUser() 自身のウインドウではない \n");
        }
    }
    // The own window always comes first, so every later window is a second user's: sharing
    // becomes possible as soon as one exists.
    if (!isSelf) m_ui.EnableShareButton(true);
    // Whoever joins while the own window is shared gets the viewer now (and the picture with
    // the next capture).
    if (!isSelf && m_bSharing) {
        const std::uint32_t zero = 0;
        QueueLocal(KIND_WINDOW_SHARE_ON, reinterpret_cast<const std::uint8_t*>(&zero), sizeof zero);
    }

    if (m_pView) {
        const std::uint32_t zero = 0;
        CPeerMessage start;
        start.Set(KIND_VOICE_START, groupId, userId, &zero, sizeof zero);
        m_pView->VoiceQueue().Push(start);
        PostMessage(Handle(), WM_VOICE_QUEUED, 0, 0);
    }
}

bool CHalvoHub::IsOwnRecord(const CUserInformation& record) const
{
    const CUserInformation self = m_pView ? m_pView->HostRecord() : CUserInformation();
    return record.GetAddress() == m_app.IPAddress() && record.IsUser(self.GetUserId(), self.GetGroupId());
}

void CHalvoHub::DeleteUser(std::uint32_t userId, std::uint32_t groupId)
{
    MORVIKA_LOG("LOG   CHalvoDlg::DeleteUser() ユーザの削除 UserID=%x GrupID=%x\n", static_cast<unsigned>(userId),
                static_cast<unsigned>(groupId));
    m_ui.HideShareViewer(userId, groupId);
    const auto it = m_userWindows.find({userId, groupId});
    if (it != m_userWindows.end()) {
        if (it->second.get() == m_pOwnWindow) {
            m_pOwnWindow = nullptr;
            m_pOwnPlayback.reset();
        }
        m_userWindows.erase(it);
    }
    m_playbacks.erase({userId, groupId});
    m_shares.OnPeerRemoved(userId, groupId);
    if ((m_pView == nullptr || m_pView->UserCount() <= 1) && !m_bSharing) m_ui.EnableShareButton(false);
}

void CHalvoHub::KillUser(std::uint32_t userId, std::uint32_t groupId)
{
    MORVIKA_LOG("LOG   CHalvoDlg::KillUser() ユーザの切断 UserID=%x GrupID=%x\n", static_cast<unsigned>(userId),
                static_cast<unsigned>(groupId));
    if (m_pView) m_pView->Kick(userId, groupId);
}

void CHalvoHub::QueueLocal(std::uint32_t kind, const std::uint8_t* bytes, std::uint32_t count)
{
    const std::uint32_t userId = m_pView ? m_pView->HostUserId() : 0;
    const std::uint32_t groupId = m_pView ? m_pView->HostGroupId() : 0;
    CPeerMessage message;
    message.Set(kind, groupId, userId, bytes, count);
    m_sendQueue.Push(message);
    PostMessage(Handle(), WM_DRAIN_QUEUE, 0, 0);
}

void CHalvoHub::SendLocalFrame(const SendBlock& block)
{
    QueueLocal(KIND_PICTURE_FRAME, block.bytes, block.count);
    if (m_pOwnWindow != nullptr) m_pOwnWindow->ReceivePicture(block.bytes, block.count);
}

void CHalvoHub::SendChat(const SendBlock& block)
{
    QueueLocal(KIND_CHAT_TEXT, block.bytes, block.count);
}

void CHalvoHub::SendSharesList(const SendBlock& block)
{
    QueueLocal(KIND_SHARES_LIST, block.bytes, block.count);
}

void CHalvoHub::SendShareState(bool on)
{
    m_bSharing = on;
    // Left usable while sharing, so that sharing can be stopped after the last peer has gone.
    if (!on && (m_pView == nullptr || m_pView->UserCount() <= 1)) m_ui.EnableShareButton(false);
    const std::uint32_t zero = 0;
    QueueLocal(on ? KIND_WINDOW_SHARE_ON : KIND_WINDOW_SHARE_OFF, reinterpret_cast<const std::uint8_t*>(&zero),
               sizeof zero);
}

void CHalvoHub::OnDrainQueue()
{
    if (m_sendQueue.IsEmpty() || m_pView == nullptr) return;
    CPeerMessage message = m_sendQueue.Pop();
    switch (message.Kind()) {
    case KIND_PICTURE_FRAME: m_ui.ShowSentPicture(message); break;
    case KIND_CHAT_TEXT:
    case KIND_SHARES_LIST:
    case KIND_VOICE_DATA:
    case KIND_WINDOW_SHARE_ON:
    case KIND_WINDOW_SHARE_OFF: break;
    case KIND_SHARES_REQUEST:
    case KIND_SHARES_DATA:
        // Directed: the header names the addressee until it is sent.
        m_pView->SendMesseage(message.UserId(), message.GroupId(), message);
        return;
    default: return;
    }
    if (m_pView->UserCount() >= 2) m_pView->Broadcast(message);
}

void CHalvoHub::OnVoiceQueued()
{
    if (m_pView == nullptr || m_pView->VoiceQueue().IsEmpty()) return;
    CPeerMessage message = m_pView->VoiceQueue().Pop();
    if (m_pView->UserCount() < 2) {
        // Alone: the user hears the own voice.
        if (m_pOwnWindow != nullptr && message.Kind() == KIND_VOICE_DATA) {
            if (m_pOwnPlayback) m_pOwnPlayback->SaveData(message.UserId(), message.Payload(), message.PayloadLength());
            m_pOwnWindow->ReceiveVoice(message);
        }
    } else {
        if (message.Kind() == KIND_VOICE_DATA) {
            m_pView->Broadcast(message);
        } else if (message.Kind() == KIND_VOICE_START) {
            m_pView->SendMesseage(message.UserId(), message.GroupId(), message);
        }
        if (m_pOwnWindow != nullptr) {
            if (m_pOwnPlayback) m_pOwnPlayback->Stop();
            m_pOwnWindow->StopPlayback();
        }
    }
    m_pView->GiveBackVoice(std::move(message));
}

namespace {

// A name of the peer list, ">", and what the chat input takes (characters of up to four
// bytes each).
constexpr std::size_t kMaxChatLineBytes =
    CDirectPlayPeerWraper::kMaxPlayerNameBytes + 1 + 4 * static_cast<std::size_t>(kMaxChatInputChars);

// The line as shown: cut to what a sender's input can hold (never inside a character), and
// under the sender's name as the session knows it when the line claims another.
std::string ChatLineFrom(const CPeerMessage& message, const std::string& sender)
{
    const auto* text = reinterpret_cast<const char*>(message.Payload());
    std::string line(text, strnlen(text, message.PayloadLength()));
    if (line.size() > kMaxChatLineBytes) {
        std::size_t cut = kMaxChatLineBytes;
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
        line.resize(cut);
    }
    if (!sender.empty() && line.rfind(sender + ">", 0) != 0) line = sender + ">" + line;
    return line;
}

}  // namespace

void CHalvoHub::OnPeerMessage(const CPeerMessage& message)
{
    const std::uint32_t userId = message.UserId();
    const std::uint32_t groupId = message.GroupId();
    switch (message.Kind()) {
    case KIND_PICTURE_FRAME:
        if (IUserWindow* window = FindUserWindow(userId, groupId)) {
            window->ReceivePicture(message.Payload(), message.PayloadLength());
        }
        break;
    case KIND_CHAT_TEXT: {
        const std::string sender = m_pView ? m_pView->PeerList().Get(userId, groupId).GetUserName() : std::string();
        m_ui.ChatReceive(ChatLineFrom(message, sender).c_str());
        break;
    }
    case KIND_VOICE_DATA:
        if (IUserWindow* window = FindUserWindow(userId, groupId)) {
            if (const auto it = m_playbacks.find({userId, groupId}); it != m_playbacks.end()) {
                it->second->SaveData(userId, message.Payload(), message.PayloadLength());
            }
            window->ReceiveVoice(message);
        }
        break;
    case KIND_WINDOW_SHARE_ON: PostMessage(Handle(), WM_SHARE_VIEW_SHOW, userId, groupId); break;
    case KIND_WINDOW_SHARE_OFF: PostMessage(Handle(), WM_SHARE_VIEW_HIDE, userId, groupId); break;
    case KIND_SHARES_LIST:
    case KIND_SHARES_REQUEST:
    case KIND_SHARES_DATA: m_shares.OnPeerMessage(message); break;
    default: break;
    }
}

void CHalvoHub::OnProgress(std::uint32_t kind, std::uint32_t received, std::uint32_t total)
{
    m_shares.OnReceiveProgress(kind, received, total);
}

void CHalvoHub::ShowMessageBox(const std::string& text, const std::string& caption)
{
    m_ui.ShowMessageBox(text, caption);
}

int CHalvoHub::AskApproval(const std::string& userName, const std::string& message)
{
    return m_ui.AskApproval(userName, message);
}

void CHalvoHub::AskYesNo(const std::string& text, const std::string& caption, std::function<void()> onYes)
{
    m_ui.AskYesNo(text, caption, std::move(onYes));
}

bool CHalvoHub::IsMainHidden() const
{
    return m_ui.IsMainHidden();
}

void CHalvoHub::ShowMain()
{
    m_ui.ShowMain(1);
}

LRESULT CHalvoHub::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_SHOW_MAIN: m_ui.ShowMain(1); return 0;
    case WM_SHARE_START: m_ui.OnShareStart(); return 0;
    case WM_SHARE_STOP: m_ui.OnShareStop(); return 0;
    case WM_SHARE_VIEW_SHOW:
        m_ui.ShowShareViewer(static_cast<std::uint32_t>(wParam), static_cast<std::uint32_t>(lParam));
        return 0;
    case WM_SHARE_VIEW_HIDE:
        m_ui.HideShareViewer(static_cast<std::uint32_t>(wParam), static_cast<std::uint32_t>(lParam));
        return 0;
    case WM_SHARES_ANNOUNCE: m_shares.AnnounceShares(); return 0;
    case WM_GRAPH_EVENT: m_ui.OnCameraEvent(); return 0;
    case WM_CAMERA_REFRESH: m_ui.RefreshCamera(); return 0;
    case WM_DRAIN_QUEUE: OnDrainQueue(); return 0;
    case WM_VOICE_QUEUED: OnVoiceQueued(); return 0;
    // The session view calls these three directly; as messages they are taken all the same.
    case WM_PEER_MESSAGE:
        if (const auto* received = SentPayload<const CPeerMessage>(lParam)) OnPeerMessage(*received);
        return 0;
    case WM_CREATE_USER:
        if (const auto* record = SentPayload<const CUserInformation>(lParam)) CreateUser(*record);
        return 0;
    case WM_DELETE_USER: DeleteUser(static_cast<std::uint32_t>(wParam), static_cast<std::uint32_t>(lParam)); return 0;
    case WM_KILL_USER: KillUser(static_cast<std::uint32_t>(wParam), static_cast<std::uint32_t>(lParam)); return 0;
    case WM_LEAVE_SESSION:
        if (m_pView) m_pView->Leave();
        return 0;
    case WM_STILL_IMAGE:
        if (const auto* block = SentPayload<const SendBlock>(lParam)) {
            m_keptStill.Set(KIND_PICTURE_FRAME, m_pView ? m_pView->HostGroupId() : 0,
                            m_pView ? m_pView->HostUserId() : 0, block->bytes, block->count);
            SendLocalFrame(*block);
        }
        return 0;
    case WM_STILL_IMAGE_RESEND:
        if (!m_keptStill.IsEmpty()) {
            const SendBlock block{0, m_keptStill.PayloadLength(), m_keptStill.Payload()};
            SendLocalFrame(block);
        }
        return 0;
    case WM_CHAT_SEND:
        if (const auto* block = SentPayload<const SendBlock>(lParam)) SendChat(*block);
        return 0;
    // The shared files exchange calls the hub directly; as messages they are taken all the same.
    case WM_SHARES_LIST_SEND:
        if (const auto* block = SentPayload<const SendBlock>(lParam)) SendSharesList(*block);
        return 0;
    case WM_SHARES_REQUEST_SEND:
    case WM_SHARES_DATA_SEND:
        if (auto* sent = SentPayload<CPeerMessage>(lParam)) SendDirected(std::move(*sent));
        return 0;
    case WM_JPEG_FRAME:
        if (const auto* block = SentPayload<const SendBlock>(lParam)) SendLocalFrame(*block);
        return 0;
    case WM_USER_WND_NOTIFY:
    case WM_QUIET_NOTIFY_1:
    case WM_QUIET_NOTIFY_2:
    case WM_TRAY_NOTIFY:
    default: return 0;
    }
}
