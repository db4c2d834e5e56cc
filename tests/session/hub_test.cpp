// The session view and the message hub in one process, over real sessions on loopback,
// with the widgets replaced by a recorder.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/HalvoApp.h"
#include "session/HalvoHub.h"
#include "app/WindowMessages.h"
#include "tests/support/FakeHubUi.h"
#include "tests/support/WaitFor.h"
#include "platform/winmsg/WinMsgPayload.h"

namespace fs = std::filesystem;

namespace {

struct WindowRecord {
    std::vector<std::string> pictures;
    int voices = 0;
    int stops = 0;
    bool alive = true;
};

class RecordingWindow : public IUserWindow {
public:
    explicit RecordingWindow(std::shared_ptr<WindowRecord> record) : m_record(std::move(record)) {}
    ~RecordingWindow() override { m_record->alive = false; }
    void ReceivePicture(const std::uint8_t* data, std::uint32_t size) override
    {
        m_record->pictures.emplace_back(reinterpret_cast<const char*>(data), size);
    }
    void ReceiveVoice(const CPeerMessage&) override { ++m_record->voices; }
    void StopPlayback() override { ++m_record->stops; }

private:
    std::shared_ptr<WindowRecord> m_record;
};

// User windows that record what they are given, by (user id, group id).
class FakeUi : public FakeHubUi {
public:
    FakeUi()
    {
        makeWindow = [this](const CUserInformation& record) {
            auto entry = std::make_shared<WindowRecord>();
            windows[{record.GetUserId(), record.GetGroupId()}] = entry;
            return std::make_unique<RecordingWindow>(entry);
        };
    }

    std::size_t AliveWindows() const
    {
        std::size_t n = 0;
        for (const auto& [key, w] : windows) n += w->alive;
        return n;
    }

    std::map<std::pair<std::uint32_t, std::uint32_t>, std::shared_ptr<WindowRecord>> windows;
};

// What the hub's shared files exchange tells its watcher.
class SharesRecorder : public ISharesObserver {
public:
    void OnSharesChanged() override { ++changes; }
    void OnDownloadProgress(std::uint32_t, std::uint32_t) override {}
    void OnFileArrived(const CSharesFileObject& file) override { arrived.push_back(file); }
    void OnOwnerLeft(std::uint32_t, std::uint32_t) override { ++left; }

    int changes = 0;
    int left = 0;
    std::vector<CSharesFileObject> arrived;
};

// One instance: settings in a temp file, its own records, a hub hosting on a free port.
class Instance {
public:
    explicit Instance(const std::string& name, int approval = 0, const std::string& password = "")
        : m_dir(fs::temp_directory_path() / ("morvika-hub-" + name + "-" + std::to_string(::getpid()))),
          m_app((fs::create_directories(m_dir), (m_dir / "Morvika.conf").string()))
    {
        m_app.SetConnectCheck(approval);
        m_app.SetPassword(password);
        m_app.DiscoverAddresses();  // every instance has this machine's address, as in real use
        m_host.SetUserName(name);
        m_host.SetAddress(m_app.IPAddress());
        m_client = m_host;
        peer::ServiceOptions options;
        hub = std::make_unique<CHalvoHub>(m_app, &m_host, &m_client, ui);
        hub->Shares().SetObserver(&shares);
        hub->Start(0, options);
    }
    ~Instance()
    {
        hub->Shares().SetObserver(nullptr);
        hub.reset();
        fs::remove_all(m_dir);
    }

    std::uint16_t Port() { return hub->View()->HostWrapper().Peer()->BoundPort(); }
    CPlayBoiceView& View() { return *hub->View(); }
    void Join(Instance& other, const std::string& password = "")
    {
        View().ConnectTo("127.0.0.1:" + std::to_string(other.Port()), password, "hello");
    }

    FakeUi ui;
    SharesRecorder shares;
    std::unique_ptr<CHalvoHub> hub;

private:
    fs::path m_dir;
    CHalvoApp m_app;
    CUserInformation m_host;
    CUserInformation m_client;
};

void Post(Instance& at, UINT message, const std::string& bytes)
{
    const SendBlock block{0, static_cast<std::uint32_t>(bytes.size()),
                          reinterpret_cast<const unsigned char*>(bytes.data())};
    SendPayload(at.hub->Handle(), message, 0, block);
}

TEST(HubTest, AloneTheOwnWindowExistsChatIsKeptAndVoiceLoopsBack)
{
    Instance a("a");
    ASSERT_EQ(a.ui.windows.size(), 1u);
    ASSERT_NE(a.hub->OwnWindow(), nullptr);
    EXPECT_FALSE(a.ui.shareEnabled);

    Post(a, WM_CHAT_SEND, "a>alone");
    ASSERT_TRUE(WaitFor([&] { return a.hub->SendQueue().IsEmpty(); }));

    CPeerMessage voice;
    voice.Set(KIND_VOICE_DATA, a.View().HostGroupId(), a.View().HostUserId(), "pcm", 3);
    a.View().VoiceQueue().Push(voice);
    PostMessage(a.hub->Handle(), WM_VOICE_QUEUED, 0, 0);
    auto own = a.ui.windows.begin()->second;
    ASSERT_TRUE(WaitFor([&] { return own->voices == 1; }));
    EXPECT_EQ(own->stops, 0);
}

TEST(HubTest, JoiningBuildsBothPeerListsAndChatReachesTheOtherOnce)
{
    Instance a("a");
    Instance b("b");
    b.Join(a);
    ASSERT_TRUE(WaitFor([&] { return b.View().GetViewState() == CPlayBoiceView::Joined && a.ui.windows.size() == 2; }));
    ASSERT_TRUE(WaitFor([&] { return b.ui.windows.size() == 2; }));

    // A: itself and B in its own session; B: itself, and A and itself as members of A's session.
    EXPECT_EQ(a.View().PeerList().Count(), 2u);
    EXPECT_EQ(b.View().PeerList().Count(), 3u);
    const auto guest = a.View().PeerList().Get(b.View().ClientWrapper().LocalUserId(), a.View().HostUserId());
    EXPECT_EQ(guest.GetOwnSession(), 1u);
    EXPECT_EQ(guest.GetUserName(), "b");
    EXPECT_EQ(b.View().ClientWrapper().LocalGroupId(), a.View().HostUserId());
    EXPECT_TRUE(a.ui.shareEnabled);

    Post(b, WM_CHAT_SEND, "b>hello");
    ASSERT_TRUE(WaitFor([&] { return a.ui.chat.size() == 1; }));
    EXPECT_EQ(a.ui.chat[0], "b>hello");
    EXPECT_TRUE(b.ui.chat.empty());  // own lines are not received back

    // Voice start messages reached both sides: flags set, nothing went to the windows nor
    // to the shared files.
    ASSERT_TRUE(WaitFor([&] {
        return a.View().PeerList().Get(b.View().ClientWrapper().LocalUserId(), a.View().HostUserId()).IsVoiceStarted();
    }));
    for (const auto& [key, window] : a.ui.windows) {
        EXPECT_EQ(window->voices, 0);
        EXPECT_TRUE(window->pictures.empty());
    }
    EXPECT_TRUE(a.shares.arrived.empty());
    EXPECT_EQ(a.shares.left, 0);
}

TEST(HubTest, StillImageKeptBeforeAnyoneJoinsReachesTheNewcomer)
{
    Instance a("a");
    Post(a, WM_STILL_IMAGE, "JPEGBYTES");
    EXPECT_EQ(a.ui.windows.begin()->second->pictures.size(), 1u);  // the own window shows it

    Instance b("b");
    b.Join(a);
    ASSERT_TRUE(WaitFor([&] {
        const auto it = b.ui.windows.find({a.View().HostUserId(), a.View().HostUserId()});
        return it != b.ui.windows.end() && !it->second->pictures.empty();
    }));
    const auto key = std::make_pair(a.View().HostUserId(), a.View().HostUserId());
    EXPECT_EQ(b.ui.windows[key]->pictures[0], "JPEGBYTES");
}

// A request goes to the owner alone, and its answer back to the one who asked: the hub's
// exchange asks B for a file B does not offer, and B's refusal comes back to A.
TEST(HubTest, DirectedSharesMessagesAreSentToTheAddressee)
{
    Instance a("a");
    Instance b("b");
    Instance c("c");
    b.Join(a);
    c.Join(a);
    ASSERT_TRUE(WaitFor([&] {
        return a.ui.windows.size() == 3 && b.View().GetViewState() == CPlayBoiceView::Joined &&
               c.View().GetViewState() == CPlayBoiceView::Joined;
    }));
    CSharesData record;
    record.SetFileName("x.txt");
    record.SetUserName("b");
    record.SetUserId(b.View().ClientWrapper().LocalUserId());
    record.SetGroupId(a.View().HostGroupId());
    record.SetFileSize(3);
    a.hub->Shares().RequestFile(record);
    ASSERT_TRUE(WaitFor([&] { return !a.shares.arrived.empty(); }));
    EXPECT_EQ(a.shares.arrived[0].GetFileName(), "x.txt");
    EXPECT_EQ(a.shares.arrived[0].GetFileSize(), 0u);
    EXPECT_EQ(a.shares.arrived[0].GetReserved(0), static_cast<std::uint32_t>(ServeFailure::NotOffered));
    // C was not asked, so it answered nothing. A line from A and one back from C after it
    // travel behind whatever C would have answered.
    Post(a, WM_CHAT_SEND, "a>sync");
    ASSERT_TRUE(WaitFor([&] { return c.ui.chat.size() == 1; }));
    Post(c, WM_CHAT_SEND, "c>sync");
    ASSERT_TRUE(WaitFor([&] { return a.ui.chat.size() == 1; }));
    EXPECT_EQ(a.hub->Shares().UnaskedAnswers(), 0u);
    EXPECT_TRUE(c.shares.arrived.empty());
}

TEST(HubTest, PasswordAndApprovalRules)
{
    Instance a("a", /*approval*/ 2, /*password*/ "");
    Instance b("b");
    b.Join(a, "wrong");
    ASSERT_TRUE(WaitFor([&] { return !b.ui.boxes.empty(); }));
    EXPECT_EQ(b.ui.boxes[0], "パスワードが違います");
    EXPECT_EQ(b.View().GetViewState(), CPlayBoiceView::NotJoined);

    // Approval 2 with the main window visible: no question.
    b.Join(a, "");
    ASSERT_TRUE(WaitFor([&] { return b.View().GetViewState() == CPlayBoiceView::Joined; }));
    EXPECT_EQ(a.ui.approvals, 0);

    // Hidden: the user is asked; a refusal with reason 1001 reaches the caller as its text,
    // and the hidden window is shown afterwards.
    Instance c("c");
    a.ui.hidden = true;
    a.ui.approvalAnswer = 1001;
    c.Join(a, "");
    ASSERT_TRUE(WaitFor([&] { return !c.ui.boxes.empty(); }));
    EXPECT_EQ(c.ui.boxes[0], "後でこちらから連絡します");
    EXPECT_EQ(a.ui.approvals, 1);
    EXPECT_FALSE(a.ui.hidden);
}

// Player information the service refuses ends the attempt before anything is sent.
TEST(HubTest, AJoinWhosePlayerInformationIsRefusedIsNotMade)
{
    Instance a("a");
    Instance b("b");
    b.View().SetUserName(std::string(2000, 'b'));
    b.Join(a);
    EXPECT_EQ(b.View().GetViewState(), CPlayBoiceView::NotJoined);
    EXPECT_NE(b.View().ClientWrapper().GetState(), CDirectPlayPeerWraper::Connected);
}

TEST(HubTest, ConnectingToTheOwnAddressIsRefusedLocally)
{
    Instance a("a");
    a.View().ConnectTo(a.View().HostRecord().GetAddress(), "", "");
    ASSERT_EQ(a.ui.boxes.size(), 1u);
    EXPECT_EQ(a.ui.boxes[0], "自身への接続はできません");
    EXPECT_EQ(a.View().GetViewState(), CPlayBoiceView::NotJoined);
}

TEST(HubTest, KickingTheOwnWindowDestroysEveryGuestAndLeavingEndsTheJoinedSession)
{
    Instance a("a");
    Instance b("b");
    Instance c("c");
    b.Join(a);
    ASSERT_TRUE(WaitFor([&] { return b.View().GetViewState() == CPlayBoiceView::Joined; }));
    c.Join(a);
    ASSERT_TRUE(WaitFor([&] {
        return a.ui.AliveWindows() == 3 && b.ui.AliveWindows() == 3 &&
               c.View().GetViewState() == CPlayBoiceView::Joined;
    }));

    // C leaves: its windows of A's session go, and A and B forget C.
    PostMessage(c.hub->Handle(), WM_LEAVE_SESSION, 0, 0);
    ASSERT_TRUE(
        WaitFor([&] { return c.ui.AliveWindows() == 1 && a.ui.AliveWindows() == 2 && b.ui.AliveWindows() == 2; }));
    EXPECT_EQ(c.View().GetViewState(), CPlayBoiceView::NotJoined);

    // A kicks its own window: every guest is destroyed.
    PostMessage(a.hub->Handle(), WM_KILL_USER, a.View().HostUserId(), a.View().HostGroupId());
    ASSERT_TRUE(WaitFor([&] { return a.ui.AliveWindows() == 1 && b.ui.AliveWindows() == 1; }));
    EXPECT_EQ(a.View().UserCount(), 1u);
}

}  // namespace
