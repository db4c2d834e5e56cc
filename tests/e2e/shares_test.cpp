// Shared files between real instances: a file offered by one is saved by the others intact,
// and a peer that speaks the protocol with bad intent reads nothing that is not offered and
// writes nothing outside the temporary folder's "OSKEL/".

#include "tests/e2e/E2eFixture.h"
#include "tests/support/RawPeer.h"

#include <QCryptographicHash>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>

#include "platform/peer/PeerService.h"
#include "session/DirectPlayPeerWraper.h"
#include "session/PeerMessage.h"
#include "share/SharesDataList.h"

namespace fs = std::filesystem;

namespace e2e {
namespace {

constexpr std::uint32_t kTwoMiB = 2 * 1024 * 1024;
constexpr Duration kTransferTimeout = 120s;

std::string WriteRandomFile(const std::string& path, std::size_t size, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string bytes(size, '\0');
    for (char& b : bytes) b = static_cast<char>(rng());
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256).toHex().toStdString();
}

std::string Sha256Of(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256).toHex().toStdString();
}

// The `shares` listing as (owner, file name, virtual path) triples.
std::vector<std::vector<std::string>> Shares(MorvikaInstance& instance)
{
    std::vector<std::vector<std::string>> out;
    for (const auto& line : instance.List("shares").value_or(std::vector<std::string>{}))
        out.push_back(SplitWords(line));
    return out;
}

bool Offers(MorvikaInstance& instance, const std::string& fileName)
{
    return instance.WaitUntil([&] {
        for (const auto& share : Shares(instance)) {
            if (share.size() >= 7 && share[6] == fileName) return true;
        }
        return false;
    });
}

class SharesTest : public E2eTest {};

TEST_F(SharesTest, RandomFileOfferedByOneIsSavedByBothOthersIntact)
{
    UsePortBlock(42);
    MorvikaInstance* a = nullptr;
    MorvikaInstance* b = nullptr;
    MorvikaInstance* c = nullptr;
    ASSERT_NO_FATAL_FAILURE(StartThree(a, b, c));

    const std::string file = a->ProfileDir() + "/random.bin";
    const std::string hash = WriteRandomFile(file, kTwoMiB, 14);
    ASSERT_EQ(a->Command("share-add " + file), "ok");
    // One byte over the limit is not offered.
    WriteRandomFile(a->ProfileDir() + "/over.bin", kTwoMiB + 1, 15);
    EXPECT_EQ(a->Command("share-add " + a->ProfileDir() + "/over.bin"), "error not offered");

    for (MorvikaInstance* guest : {b, c}) {
        ASSERT_TRUE(Offers(*guest, "random.bin")) << guest->Label();
        const std::string destination = guest->ProfileDir() + "/saved.bin";
        EXPECT_EQ(guest->Command("share-save random.bin " + destination, kTransferTimeout), "ok " + destination);
        EXPECT_EQ(Sha256Of(destination), hash) << guest->Label();
        // The copy stays in the temporary folder under the owner's name.
        EXPECT_EQ(Sha256Of(guest->ProfileDir() + "/cache/OSKEL/Alice/random.bin"), hash);

        // Progress came while the file was on its way, rising to the whole file.
        std::uint64_t last = 0;
        const auto progress = guest->Events("download random.bin ");
        ASSERT_GE(progress.size(), 2u) << guest->Label();
        for (const auto& event : progress) {
            const auto words = SplitWords(event);
            ASSERT_EQ(words.size(), 4u);
            const std::uint64_t bytes = std::stoull(words[2]);
            EXPECT_GT(bytes, last);
            EXPECT_EQ(words[3], std::to_string(kTwoMiB));
            last = bytes;
        }
        EXPECT_EQ(last, kTwoMiB);
        EXPECT_TRUE(guest->WaitForEvent("download-done random.bin ok").has_value());
    }
    const auto own = Shares(*a);
    ASSERT_EQ(own.size(), 1u);
    EXPECT_EQ(own[0][6], "random.bin");
    EXPECT_EQ(own[0][7], "-") << "the owner's own record has no local copy";

    // A second save uses the stored copy: no new request, no new wait.
    EXPECT_EQ(b->Command("share-save random.bin " + b->ProfileDir() + "/again.bin"),
              "ok " + b->ProfileDir() + "/again.bin");
    EXPECT_EQ(b->Events("download-done").size(), 1u);

    // Withdrawn offers disappear at the peers.
    EXPECT_EQ(a->Command("share-delete random.bin"), "ok");
    EXPECT_TRUE(b->WaitUntil([&] { return Shares(*b).empty(); }));
}

// An offer withdrawn and made again several times in a row, right after the peers stored
// copies of it: the listing can only end with the one fresh offer, without a copy, if every
// announcement arrived, in order.
TEST_F(SharesTest, OfferWithdrawnAndMadeAgainInQuickSuccessionEndsFreshAtEveryPeer)
{
    UsePortBlock(44);
    MorvikaInstance* a = nullptr;
    MorvikaInstance* b = nullptr;
    MorvikaInstance* c = nullptr;
    ASSERT_NO_FATAL_FAILURE(StartThree(a, b, c));
    const std::string file = a->ProfileDir() + "/random.bin";
    WriteRandomFile(file, 256 * 1024, 7);
    ASSERT_EQ(a->Command("share-add " + file), "ok");
    for (int round = 0; round < 5; ++round) {
        for (MorvikaInstance* peer : {b, c}) {
            ASSERT_TRUE(Offers(*peer, "random.bin")) << peer->Label() << " round " << round;
            ASSERT_EQ(peer->Command("share-save random.bin " + peer->ProfileDir() + "/saved.bin", kTransferTimeout)
                          .rfind("ok", 0),
                      0u);
        }
        for (int again = 0; again < 3; ++again) {
            ASSERT_EQ(a->Command("share-delete random.bin"), "ok");
            ASSERT_EQ(a->Command("share-add " + file), "ok");
        }
        for (MorvikaInstance* peer : {b, c}) {
            EXPECT_TRUE(peer->WaitUntil([&] {
                const auto seen = Shares(*peer);
                return seen.size() == 1 && seen[0].size() == 8 && seen[0][6] == "random.bin" && seen[0][7] == "-";
            })) << peer->Label()
                << " round " << round;
        }
    }
}

TEST_F(SharesTest, HostilePeerReadsNothingUnofferedAndWritesOnlyInsideOskel)
{
    UsePortBlock(43);
    MorvikaInstance& a = Spawn("Alice");
    MorvikaInstance& b = Spawn("Bob");
    ASSERT_TRUE(Join(b, a));
    auto mallory = std::make_unique<RawPeer>();
    ASSERT_TRUE(mallory->Join(a.Port()));
    ASSERT_TRUE(HasWindows(a, {"Alice", "Bob", "Mallory"}));

    // Alice offers one file; Mallory asks for the settings file and /etc/passwd instead.
    const std::string offered = a.ProfileDir() + "/offered.txt";
    WriteRandomFile(offered, 100, 1);
    ASSERT_EQ(a.Command("share-add " + offered), "ok");
    for (const auto& [folder, name] : {std::pair{a.ProfileDir(), std::string("Morvika.conf")},
                                       std::pair{std::string("/etc"), std::string("passwd")}}) {
        CSharesData forged;
        forged.SetUserId(mallory->Host());
        forged.SetGroupId(mallory->Host());
        forged.SetFilePath(folder);
        forged.SetFileName(name);
        forged.SetUserName("Alice");
        mallory->Send(mallory->Host(), KIND_SHARES_REQUEST, forged);
        const auto answer = mallory->WaitForKind(KIND_SHARES_DATA);
        ASSERT_TRUE(answer.has_value()) << name;
        auto decoded = CHalvoTransData::CreateFromBlock(answer->Payload(), answer->PayloadLength());
        auto* file = dynamic_cast<CSharesFileObject*>(decoded.get());
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->GetFileSize(), 0u) << name;
        EXPECT_TRUE(file->GetFileData().empty()) << name;
    }
    EXPECT_TRUE(a.WaitForLog("LOG   CSharesListDlg::OnFileRequest() 共有していないファイルの要求 /etc/passwd"));

    // Mallory offers Bob a file whose owner and name climb out of every folder.
    CSharesData offer;
    offer.SetUserName("../../x");
    offer.SetFileName("../../../evil");
    offer.SetFilePath("/tmp");
    offer.SetFileSize(5);
    offer.SetAvailable(1);
    CSharesDataList list;
    list.PushBack(offer);
    const peer::PlayerId bob = mallory->Other();
    ASSERT_NE(bob, 0u);
    CSharesFileObject payload(offer);
    const std::uint8_t evil[5] = {'e', 'v', 'i', 'l', '\n'};
    payload.SetFileData(evil, sizeof evil);
    mallory->ServeWith(payload);
    mallory->Send(bob, KIND_SHARES_LIST, list);
    ASSERT_TRUE(Offers(b, "../../../evil"));
    const std::string destination = b.ProfileDir() + "/saved-evil";
    EXPECT_EQ(b.Command("share-save ../../../evil " + destination, kTransferTimeout), "ok " + destination);

    const fs::path oskel = fs::path(b.ProfileDir()) / "cache" / "OSKEL";
    // Filed under the sender as the session knows her, whatever owner the offer claims.
    EXPECT_TRUE(fs::is_regular_file(oskel / "Mallory" / ".._.._.._evil"));
    // Nothing else was written anywhere in Bob's profile but that copy and the saved file.
    for (const auto& entry : fs::recursive_directory_iterator(b.ProfileDir())) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(name.find("evil") != std::string::npos && entry.path() != destination &&
                      entry.path().parent_path() != oskel / "Mallory",
                  false)
            << entry.path();
    }
    EXPECT_FALSE(fs::exists(fs::path(b.ProfileDir()) / "x"));

    // Mallory leaves: her offers go with her.
    mallory.reset();
    EXPECT_TRUE(b.WaitUntil([&] { return Shares(b).size() == 1; })) << "only Alice's offer stays";
}

}  // namespace
}  // namespace e2e
