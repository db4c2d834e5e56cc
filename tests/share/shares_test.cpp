// Shared-file records, their list and the exchanges between participants, in one process:
// the byte layout peers rely on, the list's rules, and what a hostile peer can and cannot do.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <vector>

#include "session/ByteOrder.h"
#include "session/PeerMessage.h"
#include "app/WindowMessages.h"
#include "share/SharesExchange.h"
#include "share/SharesStore.h"

namespace fs = std::filesystem;

namespace {

std::uint32_t Word(const CTransBlock& block, std::size_t offset)
{
    return morvika::wire::LoadU32(block.Data() + offset);
}

std::vector<std::uint8_t> RandomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    return bytes;
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

CUserInformation User(const char* name, std::uint32_t uid, std::uint32_t gid)
{
    CUserInformation user;
    user.SetUserName(name);
    user.SetUserId(uid);
    user.SetGroupId(gid);
    return user;
}

CSharesData Offer(const char* file, std::uint32_t uid, std::uint32_t gid, const char* owner = "o")
{
    CSharesData record;
    record.SetFileName(file);
    record.SetFilePath("/x");
    record.SetUserName(owner);
    record.SetUserId(uid);
    record.SetGroupId(gid);
    record.SetAvailable(1);
    record.SetFileSize(7);
    return record;
}

std::vector<std::string> Names(CSharesDataList list)
{
    std::vector<std::string> names;
    CSharesData r;
    while (list.PopFront(r)) names.push_back(r.GetFileName());
    return names;
}

TEST(SharesRecord, LayoutOfTheRequestRecordIsFixed)
{
    for (std::uint32_t type : {102u, 103u, 104u}) EXPECT_TRUE(CHalvoTransData::IsRegisteredType(type)) << type;

    CSharesData record = Offer("a.txt", 0x11, 0x22, "太郎");
    record.SetFileSize(0x1234);
    CTransBlock block;
    record.Serialize(block);
    EXPECT_EQ(Word(block, 0), 102u);
    EXPECT_EQ(Word(block, 4), 100u);
    EXPECT_EQ(Word(block, 8), block.Size());
    EXPECT_EQ(Word(block, 12), 0x22u);  // group id first
    EXPECT_EQ(Word(block, 16), 0x11u);
    EXPECT_EQ(Word(block, 20), 1u);
    for (std::size_t at = 24; at < 64; at += 4) EXPECT_EQ(Word(block, at), 0u) << at;
    // Two empty reserved texts, then the names, each with its NUL and count.
    EXPECT_EQ(block.Data()[64], 0);
    EXPECT_EQ(Word(block, 65), 1u);
    const std::string owner = "太郎";
    EXPECT_EQ(Word(block, 74 + owner.size() + 1), owner.size() + 1);
    EXPECT_EQ(Word(block, block.Size() - 4), 0x1234u);
    EXPECT_EQ(block.Size(), 64u + 2 * 5 + (owner.size() + 5) + 10 + 7 + 5 + 4);

    auto decoded = CHalvoTransData::CreateFromBlock(block.Data(), block.Size());
    auto* back = dynamic_cast<CSharesData*>(decoded.get());
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->GetUserName(), owner);
    EXPECT_EQ(back->GetFileName(), "a.txt");
    EXPECT_EQ(back->GetFilePath(), "/x");
    EXPECT_EQ(back->GetFileSize(), 0x1234u);
    EXPECT_EQ(back->GetUserId(), 0x11u);
}

TEST(SharesRecord, ListsEncodeNestedAndDecodeReversed)
{
    CSharesDataList empty;
    CTransBlock block;
    empty.Serialize(block);
    ASSERT_EQ(block.Size(), 16u);
    EXPECT_EQ(Word(block, 0), 103u);
    EXPECT_EQ(Word(block, 8), 16u);
    EXPECT_EQ(Word(block, 12), 0u);

    CSharesDataList list;
    for (const char* name : {"A", "B", "C"}) list.PushBack(Offer(name, 1, 1));
    CTransBlock three;
    list.Serialize(three);
    EXPECT_EQ(Word(three, 12), 102u);
    EXPECT_EQ(Word(three, 20), 12u) << "a nested record's total is 12";
    EXPECT_EQ(Word(three, three.Size() - 4), 3u);
    auto decoded = CHalvoTransData::CreateFromBlock(three.Data(), three.Size());
    auto* back = dynamic_cast<CSharesDataList*>(decoded.get());
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(Names(*back), (std::vector<std::string>{"C", "B", "A"}));

    // A count that does not match the records is refused either way.
    for (std::uint32_t count : {2u, 4u, 0xFFFFFFFFu}) {
        CTransBlock bad = three;
        morvika::wire::StoreU32(bad.Data() + bad.Size() - 4, count);
        EXPECT_EQ(CHalvoTransData::CreateFromBlock(bad.Data(), bad.Size()), nullptr) << count;
    }
}

TEST(SharesRecord, FileObjectCarriesTheContentBetweenRecordAndReservedFields)
{
    CSharesFileObject file(Offer("f.bin", 5, 6));
    const auto content = RandomBytes(7, 1);
    file.SetFileData(content.data(), content.size());
    CTransBlock block;
    file.Serialize(block);
    EXPECT_EQ(Word(block, 0), 104u);
    // Behind the content: its count, five zero words, two empty texts.
    const std::size_t tail = 4 + 5 * 4 + 2 * 5;
    EXPECT_EQ(Word(block, block.Size() - tail), 7u);
    auto decoded = CHalvoTransData::CreateFromBlock(block.Data(), block.Size());
    auto* back = dynamic_cast<CSharesFileObject*>(decoded.get());
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->GetType(), 104u);
    EXPECT_EQ(back->GetFileData(), content);
    EXPECT_EQ(back->GetFileName(), "f.bin");
}

TEST(SharesRecord, InitAcceptsUpToTwoMebibytesAndSplitsThePath)
{
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    const CUserInformation self = User("me", 3, 4);
    WriteFile(folder + "/limit", std::vector<std::uint8_t>(2097152));
    WriteFile(folder + "/over", std::vector<std::uint8_t>(2097153));

    CSharesData ok;
    EXPECT_EQ(ok.Init(folder + "/limit", self), 0);
    EXPECT_EQ(ok.GetAvailable(), 1u);
    EXPECT_EQ(ok.GetFileSize(), 2097152u);
    EXPECT_EQ(ok.GetFileName(), "limit");
    EXPECT_EQ(ok.GetFilePath(), folder);
    EXPECT_EQ(ok.GetUserId(), 3u);
    EXPECT_EQ(ok.CheckLocalFile(3, 4), 1);
    EXPECT_EQ(ok.CheckLocalFile(3, 5), -1);

    CSharesData over;
    EXPECT_EQ(over.Init(folder + "/over", self), 1);
    EXPECT_EQ(over.GetAvailable(), 0u);
    CSharesData folderItself;
    EXPECT_EQ(folderItself.Init(folder, self), 1) << "a folder is not offered";

    CSharesData bare;
    EXPECT_EQ(bare.Init("no-such-file", self), 1);
    EXPECT_EQ(bare.GetFileName(), "no-such-file");
    EXPECT_EQ(bare.GetFilePath(), "no-such-file");
    EXPECT_EQ(bare.GetUserName(), "me");
}

TEST(SharesList, OperationsKeepOrderAndIdentity)
{
    CSharesDataList list;
    EXPECT_EQ(list.AddUnique(Offer("same", 1, 1)), 0);
    EXPECT_EQ(list.AddUnique(Offer("same", 1, 1)), 1);
    EXPECT_EQ(list.AddUnique(Offer("Same", 1, 1)), 0) << "names are case-sensitive";
    EXPECT_EQ(list.AddUnique(Offer("same", 2, 1, "other")), 0);
    EXPECT_EQ(list.Count(), 3u);

    CSharesData found;
    ASSERT_EQ(list.FindByName("same", found), 1);
    EXPECT_EQ(found.GetUserId(), 1u) << "the first in list order";
    EXPECT_EQ(list.FindRecord("same", 2, 1, found), 1);
    EXPECT_EQ(found.GetUserName(), "other");

    CSharesData withPath = Offer("same", 2, 1);
    withPath.SetFileVirtualPath("/tmp/OSKEL/other/");
    EXPECT_EQ(list.UpdateVirtualPath(withPath), 1);
    list.FindRecord("same", 2, 1, found);
    EXPECT_EQ(found.GetFileVirtualPath(), "/tmp/OSKEL/other/");

    CSharesDataList own(list);
    own.KeepOwner(1, 1);
    EXPECT_EQ(Names(own), (std::vector<std::string>{"same", "Same"}));
    list.RemoveOwner(1, 1);
    EXPECT_EQ(Names(list), (std::vector<std::string>{"same"}));
}

TEST(SharesStore, PeerNamesStayPlainNames)
{
    using morvika::shares::PlainName;
    EXPECT_EQ(PlainName("report.pdf"), "report.pdf");
    EXPECT_EQ(PlainName("../../x"), ".._.._x");
    EXPECT_EQ(PlainName(".."), "_");
    EXPECT_EQ(PlainName("."), "_");
    EXPECT_EQ(PlainName(""), "_");
    EXPECT_EQ(PlainName("a\\b/c"), "a_b_c");
    EXPECT_EQ(PlainName("bell\a\nx"), "bell__x");
    const std::string longName(150, 'a');
    const std::string cut = PlainName(longName + "日本語日本語日本語日本語日本語日本語日本語");
    EXPECT_LE(cut.size(), morvika::shares::kMaxPlainName);
    EXPECT_EQ(QString::fromUtf8(cut.c_str()).toUtf8().toStdString(), cut) << "no character is split";
}

// Two participants wired back to back: what one sends reaches the other with the
// envelope's ids rewritten to the sender's, as the transport does.
class Participant : public ISharesSender {
public:
    Participant(const char* name, std::uint32_t id, const std::string& temp)
        : m_self(User(name, id, 1)),
          m_exchange(SharesHost{this, [this] { return m_self; },
                                [this](std::uint32_t u, std::uint32_t g) { return m_self.IsUser(u, g); }, temp})
    {
    }

    void SendSharesList(const std::uint8_t* bytes, std::uint32_t count) override
    {
        CPeerMessage out;
        out.Set(KIND_SHARES_LIST, m_self.GetGroupId(), m_self.GetUserId(), bytes, count);
        sent.push_back(out);
    }
    void SendDirected(CPeerMessage&& message) override { sent.push_back(std::move(message)); }

    // Delivers the oldest sent message to the peer, stamped with this side's ids.
    void DeliverTo(Participant& peer)
    {
        ASSERT_FALSE(sent.empty());
        CPeerMessage message = sent.front();
        sent.erase(sent.begin());
        message.SetUserId(m_self.GetUserId());
        message.SetGroupId(m_self.GetGroupId());
        peer.Receive(message);
    }

    void Receive(const CPeerMessage& m)
    {
        switch (m.Kind()) {
        case KIND_SHARES_LIST: m_exchange.OnSharesList(m.Payload(), m.PayloadLength(), m.UserId(), m.GroupId()); break;
        case KIND_SHARES_REQUEST:
            m_exchange.OnFileRequest(m.Payload(), m.PayloadLength(), m.UserId(), m.GroupId());
            break;
        case KIND_SHARES_DATA:
            received = m_exchange.OnFileData(m.Payload(), m.PayloadLength(), m.UserId(), m.GroupId());
            break;
        default: break;
        }
    }

    CUserInformation m_self;
    CSharesExchange m_exchange;
    std::vector<CPeerMessage> sent;
    std::optional<CSharesFileObject> received;
};

class SharesExchangeTest : public ::testing::Test {
protected:
    std::string Path(const std::string& name) const { return m_dir.path().toStdString() + "/" + name; }

    QTemporaryDir m_dir;
    Participant a{"Alice", 0x10, m_dir.path().toStdString() + "/a-temp"};
    Participant b{"Bob", 0x20, m_dir.path().toStdString() + "/b-temp"};
};

TEST_F(SharesExchangeTest, OfferAnnounceRequestAndStore)
{
    const auto content = RandomBytes(100000, 7);
    WriteFile(Path("data.bin"), content);
    ASSERT_TRUE(a.m_exchange.AddFile(Path("data.bin")));
    ASSERT_TRUE(a.m_exchange.AddFile(Path("data.bin")));
    EXPECT_EQ(a.m_exchange.List().Count(), 1u);

    // B's stale record of A's is replaced; records claiming other ids become A's.
    b.m_exchange.List().PushBack(Offer("old", 0x10, 1));
    a.m_exchange.AnnounceShares();
    a.DeliverTo(b);
    CSharesData record;
    ASSERT_EQ(b.m_exchange.List().FindByName("data.bin", record), 1);
    EXPECT_EQ(b.m_exchange.List().FindByName("old", record), 0);
    b.m_exchange.List().FindByName("data.bin", record);
    EXPECT_TRUE(record.IsOwner(0x10, 1));
    EXPECT_TRUE(record.GetFileVirtualPath().empty());

    b.m_exchange.RequestFile(record);
    ASSERT_EQ(b.sent.size(), 1u);
    EXPECT_EQ(b.sent[0].UserId(), 0x10u) << "addressed to the owner";
    b.DeliverTo(a);
    a.DeliverTo(b);
    ASSERT_TRUE(b.received.has_value());
    const std::string copy = m_dir.path().toStdString() + "/b-temp/OSKEL/Alice/data.bin";
    EXPECT_EQ(ReadFile(copy), content);
    b.m_exchange.List().FindByName("data.bin", record);
    EXPECT_EQ(b.m_exchange.LocalCopyPath(record), copy);
    struct stat st {};
    ASSERT_EQ(::stat((m_dir.path().toStdString() + "/b-temp/OSKEL/Alice").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // Deleted since: answered with size 0 and why, nothing stored, the virtual path stays empty.
    fs::remove(Path("data.bin"));
    b.m_exchange.RequestFile(record);
    b.DeliverTo(a);
    a.DeliverTo(b);
    ASSERT_TRUE(b.received.has_value());
    EXPECT_EQ(b.received->GetFileSize(), 0u);
    EXPECT_EQ(b.received->GetReserved(0), static_cast<std::uint32_t>(ServeFailure::Gone));
    b.m_exchange.List().FindByName("data.bin", record);
    EXPECT_TRUE(record.GetFileVirtualPath().empty());

    // The offer of the gone file is withdrawn: an empty own list is announced as 16 bytes and
    // clears A's entries at B.
    EXPECT_TRUE(a.m_exchange.PruneOwnMissing());
    EXPECT_FALSE(a.m_exchange.DeleteOwn("data.bin"));
    a.m_exchange.AnnounceShares();
    EXPECT_EQ(a.sent.back().PayloadLength(), 16u);
    a.DeliverTo(b);
    EXPECT_TRUE(b.m_exchange.List().IsEmpty());
}

TEST_F(SharesExchangeTest, OnlyOfferedFilesAreServed)
{
    WriteFile(Path("offered"), RandomBytes(10, 1));
    WriteFile(Path("secret"), RandomBytes(10, 2));
    ASSERT_TRUE(a.m_exchange.AddFile(Path("offered")));

    // Naming another file, the same name in another folder, or another owner gets nothing.
    for (auto [name, folder] : {std::pair{"secret", m_dir.path().toStdString()},
                                std::pair{"offered", std::string("/etc")}, std::pair{"passwd", std::string("/etc")}}) {
        CSharesData forged = Offer(name, 0x10, 1);
        forged.SetFilePath(folder);
        b.m_exchange.RequestFile(forged);
        b.DeliverTo(a);
        a.DeliverTo(b);
        ASSERT_TRUE(b.received.has_value()) << name;
        EXPECT_EQ(b.received->GetFileSize(), 0u) << name;
        EXPECT_TRUE(b.received->GetFileData().empty()) << name;
    }
    CSharesData offered;
    a.m_exchange.List().FindByName("offered", offered);
    b.m_exchange.RequestFile(offered);
    b.DeliverTo(a);
    a.DeliverTo(b);
    EXPECT_EQ(b.received->GetFileSize(), 10u);
}

TEST_F(SharesExchangeTest, HostileAnswersStayInsideTheTemporaryFolder)
{
    const std::string temp = m_dir.path().toStdString() + "/b-temp";
    // A link planted where the owner's folder goes is not followed.
    fs::create_directories(temp + "/OSKEL");
    fs::create_directories(m_dir.path().toStdString() + "/elsewhere");
    fs::create_directory_symlink(m_dir.path().toStdString() + "/elsewhere", temp + "/OSKEL/Linked");

    auto answer = [&](const char* owner, const char* file, std::uint32_t size, std::size_t contentSize,
                      const char* virtualPath = "") {
        CSharesFileObject f(Offer(file, 0x10, 1, owner));
        const auto bytes = RandomBytes(contentSize, 3);
        f.SetFileData(bytes.data(), bytes.size());
        f.SetFileSize(size);
        f.SetFileVirtualPath(virtualPath);
        CTransBlock block;
        f.Serialize(block);
        CPeerMessage m;
        m.Set(KIND_SHARES_DATA, 1, 0x10, block.Data(), static_cast<std::int64_t>(block.Size()));
        b.received.reset();
        b.m_exchange.RequestFile(Offer(file, 0x10, 1, owner));  // only answers to a request are taken
        b.Receive(m);
    };
    answer("../../x", "../../../escape", 5, 5);
    ASSERT_TRUE(b.received.has_value());
    EXPECT_EQ(b.received->GetFileVirtualPath(), temp + "/OSKEL/.._.._x/");
    EXPECT_TRUE(fs::exists(temp + "/OSKEL/.._.._x/.._.._.._escape"));

    answer("Linked", "f", 5, 5);
    EXPECT_TRUE(b.received->GetFileVirtualPath().empty());
    EXPECT_TRUE(fs::is_empty(m_dir.path().toStdString() + "/elsewhere"));

    // Content shorter than the size it claims is dropped; a sender's virtual path is ignored.
    answer("Alice", "short", 10, 4);
    EXPECT_FALSE(b.received.has_value());
    answer("Alice", "claimed", 3, 3, "/etc/");
    EXPECT_EQ(b.received->GetFileVirtualPath(), temp + "/OSKEL/Alice/");

    // A payload of another record type than its kind carries is dropped.
    CSharesDataList list;
    CTransBlock block;
    list.Serialize(block);
    EXPECT_FALSE(b.m_exchange.OnFileData(block.Data(), block.Size(), 0x10, 1).has_value());
    EXPECT_FALSE(b.m_exchange.OnFileRequest(block.Data(), block.Size(), 0x10, 1));

    // No half-written file carries a real name: only complete copies are there.
    for (const auto& entry : fs::recursive_directory_iterator(temp + "/OSKEL"))
        EXPECT_EQ(entry.path().filename().string().find(".part-"), std::string::npos) << entry.path();
}

}  // namespace
