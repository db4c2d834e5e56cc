#include "share/SharesDataList.h"

#include <algorithm>
#include <mutex>

namespace {

const CHalvoTransDataRegistration g_sharesList{CSharesData::TYPE_SHARES_LIST, &MakeTransData<CSharesDataList>};

// Smallest encoding of one record in a list: header, 13 words, 6 empty texts, the size.
constexpr std::uint32_t kMinRecordBytes = 12 + 13 * 4 + 6 * 5 + 4;

std::mutex& ListLock()
{
    static std::mutex lock;
    return lock;
}

}  // namespace

CSharesDataList::CSharesDataList(const CSharesDataList& other) : CHalvoTransData(other)
{
    std::lock_guard guard(ListLock());
    m_records = other.m_records;
}

CSharesDataList& CSharesDataList::operator=(const CSharesDataList& other)
{
    if (this == &other) return *this;
    CHalvoTransData::operator=(other);
    Records copy;
    {
        std::lock_guard guard(ListLock());
        copy = other.m_records;
    }
    std::lock_guard guard(ListLock());
    m_records.swap(copy);
    return *this;
}

bool CSharesDataList::IsEmpty() const
{
    std::lock_guard guard(ListLock());
    return m_records.empty();
}

std::size_t CSharesDataList::Count() const
{
    std::lock_guard guard(ListLock());
    return m_records.size();
}

bool CSharesDataList::PopFront(CSharesData& out)
{
    std::lock_guard guard(ListLock());
    if (m_records.empty()) return false;
    out = m_records.front();
    m_records.pop_front();
    return true;
}

void CSharesDataList::PushBack(const CSharesData& record)
{
    std::lock_guard guard(ListLock());
    m_records.push_back(record);
}

int CSharesDataList::AddUnique(const CSharesData& record)
{
    std::lock_guard guard(ListLock());
    if (std::any_of(m_records.begin(), m_records.end(), [&](const CSharesData& r) { return r.SameOffer(record); }))
        return 1;
    m_records.push_back(record);
    return 0;
}

int CSharesDataList::UpdateVirtualPath(const CSharesData& record)
{
    std::lock_guard guard(ListLock());
    for (CSharesData& r : m_records) {
        if (r.SameOffer(record)) {
            r.SetFileVirtualPath(record.GetFileVirtualPath());
            return 1;
        }
    }
    return 0;
}

int CSharesDataList::FindRecord(const std::string& fileName, std::uint32_t userId, std::uint32_t groupId,
                                CSharesData& out) const
{
    std::lock_guard guard(ListLock());
    for (const CSharesData& r : m_records) {
        if (r.GetFileName() == fileName && r.IsOwner(userId, groupId)) {
            out = r;
            return 1;
        }
    }
    return 0;
}

int CSharesDataList::FindByName(const std::string& fileName, CSharesData& out) const
{
    std::lock_guard guard(ListLock());
    for (const CSharesData& r : m_records) {
        if (r.GetFileName() == fileName) {
            out = r;
            return 1;
        }
    }
    return 0;
}

void CSharesDataList::RemoveIf(const std::function<bool(const CSharesData&)>& drop)
{
    std::lock_guard guard(ListLock());
    m_records.remove_if(drop);
}

void CSharesDataList::RemoveRecord(const CSharesData& record)
{
    const CSharesData key = record;
    RemoveIf([&](const CSharesData& r) { return r.SameOffer(key); });
}

void CSharesDataList::RemoveOwner(std::uint32_t userId, std::uint32_t groupId)
{
    RemoveIf([&](const CSharesData& r) { return r.IsOwner(userId, groupId); });
}

void CSharesDataList::KeepOwner(std::uint32_t userId, std::uint32_t groupId)
{
    RemoveIf([&](const CSharesData& r) { return !r.IsOwner(userId, groupId); });
}

void CSharesDataList::PruneMissing(std::uint32_t userId, std::uint32_t groupId)
{
    RemoveIf([&](const CSharesData& r) { return r.CheckLocalFile(userId, groupId) == 0; });
}

void CSharesDataList::Serialize(CTransBlock& block) const
{
    CHalvoTransData::Serialize(block);
    std::uint32_t count = 0;
    {
        std::lock_guard guard(ListLock());
        for (const CSharesData& r : m_records) {
            r.Serialize(block);
            ++count;
        }
    }
    AppendU32(block, count);
}

bool CSharesDataList::Deserialize(CTransBlock& block)
{
    std::uint32_t count = 0;
    if (!PopU32(block, count)) return false;
    // A count that the block cannot hold fails at once instead of after many records.
    if (count > (BlockLength(block) - kHeaderSize) / kMinRecordBytes) return false;
    Records decoded;
    for (std::uint32_t i = 0; i < count; ++i) {
        CSharesData record;
        if (!record.Deserialize(block)) return false;
        decoded.push_back(std::move(record));
    }
    // Exactly the outer header may remain: more bytes are records the count does not admit.
    if (BlockLength(block) != kHeaderSize || !PopHeader(block)) return false;
    std::lock_guard guard(ListLock());
    m_records.swap(decoded);
    return true;
}
