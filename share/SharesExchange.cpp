#include "share/SharesExchange.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "app/Log.h"
#include "session/PeerMessage.h"
#include "share/SharesStore.h"

namespace {

// Decodes a payload as the record type its kind carries; null (and a log line) otherwise.
template <class Record>
std::unique_ptr<Record> Decode(const std::uint8_t* payload, std::size_t size, std::uint32_t type, const char* what)
{
    std::unique_ptr<CHalvoTransData> decoded = CHalvoTransData::CreateFromBlock(payload, size);
    if (decoded && decoded->GetType() == type) {
        if (auto* record = dynamic_cast<Record*>(decoded.get())) {
            decoded.release();
            return std::unique_ptr<Record>(record);
        }
    }
    MORVIKA_LOG(
        "ERROR CSharesListDlg::%s() 不正なデータを破棄した 種別=%u サイズ=%u \n", what,
        static_cast<unsigned>(size >= 4 ? payload[0] | payload[1] << 8 | payload[2] << 16 | payload[3] << 24 : 0),
        static_cast<unsigned>(size));
    return nullptr;
}

}  // namespace

CSharesExchange::CSharesExchange(SharesHost host) : m_host(std::move(host)) {}

bool CSharesExchange::IsOwn(const CSharesData& record) const
{
    return m_host.isLocal && m_host.isLocal(record.GetUserId(), record.GetGroupId());
}

OfferRefusal CSharesExchange::WhyNotOffered(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return OfferRefusal::Missing;
    if (S_ISDIR(st.st_mode)) return OfferRefusal::Folder;
    if (!S_ISREG(st.st_mode)) return OfferRefusal::NotAFile;
    if (static_cast<std::uint64_t>(st.st_size) > CSharesData::kMaxFileSize) return OfferRefusal::TooLarge;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return OfferRefusal::Unreadable;
    ::close(fd);
    return OfferRefusal::None;
}

namespace {

// Why the owner's file could not be read for an answer (ReadFileData gave no content).
ServeFailure WhyNotServed(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return ServeFailure::Gone;
    if (static_cast<std::uint64_t>(st.st_size) > CSharesFileObject::kMaxServedSize) return ServeFailure::TooLarge;
    if (st.st_size == 0) return ServeFailure::Empty;
    return ServeFailure::Gone;  // there, but not readable any more
}

}  // namespace

bool CSharesExchange::AddFile(const std::string& path)
{
    CSharesData record;
    const CUserInformation self = m_host.localUser ? m_host.localUser() : CUserInformation();
    if (record.Init(path, self) != 0 || record.GetAvailable() != 1) return false;
    m_list.AddUnique(record);
    return true;
}

bool CSharesExchange::DeleteOwn(const std::string& fileName)
{
    const CUserInformation self = m_host.localUser ? m_host.localUser() : CUserInformation();
    CSharesData record;
    if (m_list.FindRecord(fileName, self.GetUserId(), self.GetGroupId(), record) == 0) return false;
    m_list.RemoveRecord(record);
    return true;
}

bool CSharesExchange::PruneOwnMissing()
{
    const CUserInformation self = m_host.localUser ? m_host.localUser() : CUserInformation();
    const std::size_t before = m_list.Count();
    m_list.PruneMissing(self.GetUserId(), self.GetGroupId());
    return m_list.Count() != before;
}

void CSharesExchange::AnnounceShares()
{
    PruneOwnMissing();
    const CUserInformation self = m_host.localUser ? m_host.localUser() : CUserInformation();
    CSharesDataList own(m_list);
    own.KeepOwner(self.GetUserId(), self.GetGroupId());
    CTransBlock block;
    own.Serialize(block);
    if (m_host.sender) m_host.sender->SendSharesList(block.Data(), static_cast<std::uint32_t>(block.Size()));
}

void CSharesExchange::RequestFile(const CSharesData& record)
{
    const Request request{record.GetUserId(), record.GetGroupId(), record.GetFileName()};
    const auto same = [&](const Request& r) {
        return r.userId == request.userId && r.groupId == request.groupId && r.fileName == request.fileName;
    };
    if (std::none_of(m_requests.begin(), m_requests.end(), same)) {
        if (m_requests.size() >= kMaxRequests) m_requests.erase(m_requests.begin());
        m_requests.push_back(request);
    }
    CTransBlock block;
    record.Serialize(block);
    CPeerMessage message;
    // Addressed to the owner until the transport stamps the sender's ids.
    message.Set(KIND_SHARES_REQUEST, record.GetGroupId(), record.GetUserId(), block.Data(),
                static_cast<std::int32_t>(block.Size()));
    if (m_host.sender) m_host.sender->SendDirected(std::move(message));
}

void CSharesExchange::OnPeerMessage(const CPeerMessage& message)
{
    const std::uint8_t* payload = message.Payload();
    const std::size_t size = message.PayloadLength();
    switch (message.Kind()) {
    case KIND_SHARES_LIST:
        if (OnSharesList(payload, size, message.UserId(), message.GroupId()) && m_pObserver)
            m_pObserver->OnSharesChanged();
        break;
    case KIND_SHARES_REQUEST:
        // A file found gone while answering is withdrawn from the offers at once.
        if (OnFileRequest(payload, size, message.UserId(), message.GroupId()) && PruneOwnMissing()) {
            AnnounceShares();
            if (m_pObserver) m_pObserver->OnSharesChanged();
        }
        break;
    case KIND_SHARES_DATA:
        if (const auto file = OnFileData(payload, size, message.UserId(), message.GroupId()); file && m_pObserver) {
            m_pObserver->OnFileArrived(*file);
        }
        break;
    default: break;
    }
}

void CSharesExchange::OnPeerRemoved(std::uint32_t userId, std::uint32_t groupId)
{
    if (m_pObserver) m_pObserver->OnOwnerLeft(userId, groupId);
    RemoveOwner(userId, groupId);
    if (m_pObserver) m_pObserver->OnSharesChanged();
}

void CSharesExchange::OnReceiveProgress(std::uint32_t kind, std::uint32_t received, std::uint32_t total)
{
    // The whole message is reported by its arrival, right after.
    if (kind != KIND_SHARES_DATA || received >= total || m_pObserver == nullptr) return;
    m_pObserver->OnDownloadProgress(received, total);
}

bool CSharesExchange::OnSharesList(const std::uint8_t* payload, std::size_t size, std::uint32_t userId,
                                   std::uint32_t groupId)
{
    auto list = Decode<CSharesDataList>(payload, size, CSharesData::TYPE_SHARES_LIST, "OnSharesList");
    if (!list) return false;
    m_list.RemoveOwner(userId, groupId);
    CSharesData record;
    while (list->PopFront(record)) {
        // Whatever a record claims, it is the sender's offer.
        record.SetUserId(userId);
        record.SetGroupId(groupId);
        m_list.AddUnique(record);
    }
    return true;
}

bool CSharesExchange::OnFileRequest(const std::uint8_t* payload, std::size_t size, std::uint32_t userId,
                                    std::uint32_t groupId)
{
    auto requested = Decode<CSharesData>(payload, size, CSharesData::TYPE_SHARES_DATA, "OnFileRequest");
    if (!requested) return false;
    CSharesFileObject file(*requested);
    // Only what is offered now is read: same name, same folder, an own offer.
    const bool isOffered = IsOwn(*requested) && IsOffered(*requested);
    // The requester learns why when nothing comes (carried from its request otherwise).
    file.SetReserved(0, 0);
    if (isOffered) {
        file.ReadFileData();
        if (!file.HasFileData()) file.SetReserved(0, static_cast<std::uint32_t>(WhyNotServed(file.GetFullPath())));
    } else {
        file.SetFileSize(0);
        file.SetReserved(0, static_cast<std::uint32_t>(ServeFailure::NotOffered));
        MORVIKA_LOG("LOG   CSharesListDlg::OnFileRequest() 共有していないファイルの要求 %s UserID=%x GrupID=%x \n",
                    requested->GetFullPath().c_str(), static_cast<unsigned>(userId), static_cast<unsigned>(groupId));
    }
    CTransBlock block;
    file.Serialize(block);
    CPeerMessage message;
    message.Set(KIND_SHARES_DATA, groupId, userId, block.Data(), static_cast<std::int32_t>(block.Size()));
    if (m_host.sender) m_host.sender->SendDirected(std::move(message));
    return true;
}

std::optional<CSharesFileObject> CSharesExchange::OnFileData(const std::uint8_t* payload, std::size_t size,
                                                             std::uint32_t userId, std::uint32_t groupId)
{
    auto file = Decode<CSharesFileObject>(payload, size, CSharesData::TYPE_SHARES_FILE, "OnFileData");
    if (!file) return std::nullopt;
    // Only the answer to a request of ours, from the member asked, about the file asked for.
    const auto asked = std::find_if(m_requests.begin(), m_requests.end(), [&](const Request& r) {
        return r.userId == userId && r.groupId == groupId && r.fileName == file->GetFileName();
    });
    if (asked == m_requests.end()) {
        ++m_unasked;
        MORVIKA_LOG("ERROR CSharesListDlg::OnFileData() 要求していないファイルを破棄した UserID=%x GrupID=%x \n",
                    static_cast<unsigned>(userId), static_cast<unsigned>(groupId));
        return std::nullopt;
    }
    m_requests.erase(asked);
    // Stored under the sender as the session knows it, whatever name the record claims.
    if (m_host.userName) {
        if (const std::string name = m_host.userName(userId, groupId); !name.empty()) file->SetUserName(name);
    }
    if (file->HasFileData() && file->GetFileData().size() < file->GetFileSize()) {
        MORVIKA_LOG("ERROR CSharesListDlg::OnFileData() 内容がサイズより短い %u < %u \n",
                    static_cast<unsigned>(file->GetFileData().size()), static_cast<unsigned>(file->GetFileSize()));
        return std::nullopt;
    }
    file->SetUserId(userId);
    file->SetGroupId(groupId);
    // No virtual path from the sender: only a copy stored here sets one.
    file->SetFileVirtualPath("");
    if (file->GetFileSize() > 0) file->StoreLocalCopy(m_host.tempFolder);
    m_list.UpdateVirtualPath(*file);
    return std::optional<CSharesFileObject>(std::move(*file));
}

bool CSharesExchange::IsOffered(const CSharesData& requested) const
{
    CSharesDataList copy(m_list);
    CSharesData offer;
    while (copy.PopFront(offer)) {
        if (IsOwn(offer) && offer.GetFileName() == requested.GetFileName() &&
            offer.GetFilePath() == requested.GetFilePath())
            return true;
    }
    return false;
}

void CSharesExchange::RemoveOwner(std::uint32_t userId, std::uint32_t groupId)
{
    m_list.RemoveOwner(userId, groupId);
}

std::string CSharesExchange::LocalCopyPath(const CSharesData& record) const
{
    if (record.GetFileVirtualPath().empty()) return {};
    return record.GetFileVirtualPath() + morvika::shares::PlainName(record.GetFileName());
}
