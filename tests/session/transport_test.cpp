// The transport wrapper over a real session service on loopback: two wrappers in one
// process, one hosting and one joining, each reporting to its own window.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "app/Log.h"
#include "session/DirectPlayPeerWraper.h"
#include "session/PeerMessage.h"
#include "app/WindowMessages.h"
#include "platform/winmsg/WinMsgPayload.h"
#include "tests/support/WaitFor.h"

namespace {

struct Seen {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    CUserInformation record;   // for the player-added messages
    CPeerMessage peerMessage;  // for the data messages
};

class EventWindow : public CMsgTarget {
public:
    ~EventWindow() override { DetachMessages(); }

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        Seen seen{message, wParam, lParam, {}, {}};
        switch (message) {
        case WM_HOST_PLAYER_ADDED:
        case WM_CLIENT_PLAYER_ADDED: {
            if (const auto record = TakePayload<CUserInformation>(lParam)) seen.record = *record;
            break;
        }
        case WM_HOST_MESSAGE:
        case WM_CLIENT_MESSAGE: {
            if (const auto received = TakePayload<CPeerMessage>(lParam)) seen.peerMessage.CopyFrom(*received);
            break;
        }
        case WM_CONNECT_REQUEST: {
            if (auto* request = SentPayload<ConnectRequest>(lParam)) {
                auto decoded = CHalvoTransData::CreateFromBlock(request->data);
                if (auto* user = dynamic_cast<CUserInformation*>(decoded.get())) seen.record = *user;
            }
            log.push_back(seen);
            return answer;
        }
        default: break;
        }
        log.push_back(seen);
        return 0;
    }

    const Seen* Find(UINT message) const
    {
        for (const auto& s : log)
            if (s.message == message) return &s;
        return nullptr;
    }
    std::size_t Count(UINT message) const
    {
        std::size_t n = 0;
        for (const auto& s : log) n += s.message == message;
        return n;
    }

    std::vector<Seen> log;
    LRESULT answer = 0;
};

CUserInformation LocalRecord(const char* name, const char* address)
{
    CUserInformation record;
    record.SetUserName(name);
    record.SetAddress(address);
    record.SetVersion(0x01000001);
    return record;
}

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        hostUser = LocalRecord("host", "127.0.0.1");
        clientUser = LocalRecord("guest", "127.0.0.2");
        host.SetLocalUser(&hostUser);
        host.SetPort(0);  // any free port
        client.SetLocalUser(&clientUser);
        ASSERT_EQ(host.Create(hostWindow.Handle()), 0);
        ASSERT_EQ(host.SetPlayerInfo("host"), 0);
        ASSERT_EQ(host.Host(), 0);
        ASSERT_TRUE(WaitFor([&] { return hostWindow.Count(WM_HOST_PLAYER_ADDED) == 1; }));
    }

    // Joins the host; returns once the connect completed.
    void Join(const std::string& password = "")
    {
        ASSERT_EQ(client.Create(clientWindow.Handle()), 0);
        ASSERT_EQ(client.SetPlayerInfo("guest"), 0);
        CUserInformation request = client.CopyLocalUser();
        request.SetPassword(password);
        request.SetMessage("こんにちは");
        CTransBlock block;
        request.Serialize(block);
        const std::string target = "127.0.0.1:" + std::to_string(host.Peer()->BoundPort());
        ASSERT_EQ(client.Connect(target.c_str(), block.Data(), static_cast<std::uint32_t>(block.Size())), 0);
        EXPECT_EQ(client.GetState(), CDirectPlayPeerWraper::Connected);
        ASSERT_TRUE(WaitFor([&] { return clientWindow.Find(WM_CONNECT_COMPLETE) != nullptr; }));
    }

    CUserInformation hostUser;
    CUserInformation clientUser;
    EventWindow hostWindow;
    EventWindow clientWindow;
    CDirectPlayPeerWraper client;
    CDirectPlayPeerWraper host;  // destroyed first: the session ends for the client too
};

TEST_F(TransportTest, HostsOwnPlayerSetsBothIdsBeforeTheAddedMessage)
{
    const Seen* added = hostWindow.Find(WM_HOST_PLAYER_ADDED);
    ASSERT_NE(added, nullptr);
    EXPECT_NE(hostUser.GetUserId(), 0u);
    EXPECT_EQ(hostUser.GetGroupId(), hostUser.GetUserId());
    EXPECT_EQ(added->wParam, hostUser.GetUserId());
    EXPECT_EQ(added->record.GetUserId(), hostUser.GetUserId());
    EXPECT_EQ(added->record.GetGroupId(), hostUser.GetUserId());
    EXPECT_EQ(added->record.GetUserName(), "host");
    EXPECT_EQ(added->record.GetAddress(), "127.0.0.1");  // from the player data
    EXPECT_EQ(host.GetState(), CDirectPlayPeerWraper::Hosting);
    EXPECT_EQ(host.GetHostFlag(), 1);
}

TEST_F(TransportTest, StateRulesOfHostAndClose)
{
    EXPECT_EQ(host.Host(), 1);  // already hosting

    CUserInformation spare;
    CDirectPlayPeerWraper ready;
    ready.SetLocalUser(&spare);
    EXPECT_EQ(ready.Close(), 1);  // Closed: nothing to do
    EventWindow window;
    ASSERT_EQ(ready.Create(window.Handle()), 0);
    EXPECT_EQ(ready.GetState(), CDirectPlayPeerWraper::Ready);
    EXPECT_EQ(ready.Close(), 1);  // Ready: the peer object stays open
    EXPECT_NE(ready.Peer(), nullptr);
    EXPECT_EQ(ready.GetState(), CDirectPlayPeerWraper::Ready);

    // The service's own answer, not a number of ours: a name longer than it takes.
    EXPECT_EQ(ready.SetPlayerInfo(std::string(2000, 'x').c_str()), peer::DPNERR_INVALIDPARAM);
    EXPECT_EQ(ready.SetPlayerInfo("spare"), 0);

    CDirectPlayPeerWraper none;
    EXPECT_EQ(none.Send("x", 1, 1), 1);
    EXPECT_EQ(none.SetPlayerInfo("x"), 1);
    EXPECT_EQ(none.Connect("127.0.0.1", nullptr, 0), 1);
    EXPECT_EQ(none.Host(), 1);
    EXPECT_EQ(none.GetHostFlag(), 1);  // set even when hosting fails
}

TEST_F(TransportTest, AcceptedJoinAnnouncesEveryMemberBeforeCompleting)
{
    hostWindow.answer = 0;
    Join("pw");
    const Seen* request = hostWindow.Find(WM_CONNECT_REQUEST);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->record.GetUserName(), "guest");
    EXPECT_EQ(request->record.GetPassword(), "pw");
    EXPECT_EQ(request->record.GetMessage(), "こんにちは");

    const Seen* complete = clientWindow.Find(WM_CONNECT_COMPLETE);
    EXPECT_EQ(complete->wParam, 0u);
    EXPECT_EQ(static_cast<std::uint32_t>(complete->lParam), hostUser.GetUserId());  // the host's id
    EXPECT_NE(clientUser.GetUserId(), 0u);

    // Every member, the joiner itself included, was announced before the completion.
    std::size_t added = 0;
    for (const auto& s : clientWindow.log) {
        if (s.message == WM_CONNECT_COMPLETE) break;
        if (s.message == WM_CLIENT_PLAYER_ADDED) ++added;
    }
    EXPECT_EQ(added, 2u);

    ASSERT_TRUE(WaitFor([&] { return hostWindow.Count(WM_HOST_PLAYER_ADDED) == 2; }));
    bool sawGuest = false;
    for (const auto& s : hostWindow.log) {
        if (s.message == WM_HOST_PLAYER_ADDED && s.record.GetUserName() == "guest") {
            sawGuest = true;
            EXPECT_EQ(s.record.GetAddress(), "127.0.0.2");
            EXPECT_EQ(s.record.GetGroupId(), hostUser.GetUserId());
            EXPECT_EQ(s.record.GetUserId(), clientUser.GetUserId());
        }
    }
    EXPECT_TRUE(sawGuest);
}

TEST_F(TransportTest, RefusalCarriesTheRejectCodeAndTheReason)
{
    hostWindow.answer = 3;
    Join("wrong");
    const Seen* complete = clientWindow.Find(WM_CONNECT_COMPLETE);
    EXPECT_EQ(static_cast<std::uint32_t>(complete->wParam), 0x80158260u);
    EXPECT_EQ(complete->lParam, 3);
    EXPECT_EQ(clientWindow.Count(WM_CLIENT_PLAYER_ADDED), 0u);
}

TEST_F(TransportTest, DataTravelsWithItsGroupIdAndOwnDataIsIgnored)
{
    Join();
    // As the connection flow does: the reply is the session's group id.
    client.SetLocalGroupId(static_cast<std::uint32_t>(clientWindow.Find(WM_CONNECT_COMPLETE)->lParam));
    CPeerMessage chat;
    chat.Set(KIND_CHAT_TEXT, clientUser.GetGroupId(), clientUser.GetUserId(), "Taro>hi", 7);
    ASSERT_EQ(client.Send(chat.Block(), static_cast<std::uint32_t>(chat.BlockSize()), hostUser.GetUserId()),
              static_cast<int>(peer::DPNSUCCESS_PENDING));
    ASSERT_TRUE(WaitFor([&] { return hostWindow.Find(WM_HOST_MESSAGE) != nullptr; }));
    const Seen* got = hostWindow.Find(WM_HOST_MESSAGE);
    EXPECT_EQ(got->peerMessage.Kind(), KIND_CHAT_TEXT);
    EXPECT_EQ(got->wParam, got->peerMessage.GroupId());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got->peerMessage.Payload())), "Taro>hi");

    // A message to oneself is dropped by the handler; a later one from the peer still arrives.
    host.Send(chat.Block(), static_cast<std::uint32_t>(chat.BlockSize()), hostUser.GetUserId());
    client.Send(chat.Block(), static_cast<std::uint32_t>(chat.BlockSize()), hostUser.GetUserId());
    ASSERT_TRUE(WaitFor([&] { return hostWindow.Count(WM_HOST_MESSAGE) == 2; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(hostWindow.Count(WM_HOST_MESSAGE), 2u);

    // A message whose header names another sender, or another session, never reaches the window.
    const std::uint64_t forgedBefore = CDirectPlayPeerWraper::ForgedDropped();
    CPeerMessage forged;
    forged.Set(KIND_CHAT_TEXT, clientUser.GetGroupId(), clientUser.GetUserId() + 1, "Hana>hi", 7);
    client.Send(forged.Block(), static_cast<std::uint32_t>(forged.BlockSize()), hostUser.GetUserId());
    forged.Set(KIND_CHAT_TEXT, clientUser.GetGroupId() + 1, clientUser.GetUserId(), "Taro>hi", 7);
    client.Send(forged.Block(), static_cast<std::uint32_t>(forged.BlockSize()), hostUser.GetUserId());
    client.Send(chat.Block(), static_cast<std::uint32_t>(chat.BlockSize()), hostUser.GetUserId());
    ASSERT_TRUE(WaitFor([&] { return hostWindow.Count(WM_HOST_MESSAGE) == 3; }));
    EXPECT_EQ(CDirectPlayPeerWraper::ForgedDropped(), forgedBefore + 2);
}

TEST_F(TransportTest, LeavingResetsTheIdsAndTheHostSeesThePlayerGo)
{
    Join();
    const std::uint32_t guestId = clientUser.GetUserId();
    EXPECT_EQ(client.Close(), 0);
    EXPECT_EQ(client.GetState(), CDirectPlayPeerWraper::Closed);
    EXPECT_EQ(clientUser.GetUserId(), 0u);
    EXPECT_EQ(clientUser.GetGroupId(), 0u);
    ASSERT_TRUE(WaitFor([&] {
        for (const auto& s : hostWindow.log)
            if (s.message == WM_HOST_PLAYER_REMOVED && s.wParam == guestId) return true;
        return false;
    }));
    const Seen* removed = hostWindow.Find(WM_HOST_PLAYER_REMOVED);
    EXPECT_EQ(static_cast<std::uint32_t>(removed->lParam), hostUser.GetGroupId());
}

TEST(TransportHandlerTest, UnknownEventIsLoggedInHexAndAnswered0)
{
    const auto dir = std::filesystem::temp_directory_path() / "morvika-transport-log";
    std::filesystem::create_directories(dir);
    const auto path = dir / "HalvoLogFile.txt";
    std::filesystem::remove(path);
    SetLogFilePath(path.string());
    CDirectPlayPeerWraper wrapper;
    EXPECT_EQ(CDirectPlayPeerWraper::CallBackHandler(&wrapper, 0xFFFF0042, nullptr), 0);
    EXPECT_EQ(CDirectPlayPeerWraper::CallBackHandler(nullptr, 0xFFFF0005, nullptr), 0);
    SetLogFilePath("");
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("ms ERROR CDirectPlayPeerWraper::CallBackHandler() NonFunc ffff0042 \n"),
              std::string::npos)
        << text.str();
    std::filesystem::remove_all(dir);
}

}  // namespace
