#include "session/UserInformationList.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "app/OskelExcept.h"

namespace {

// Shared by every list of the process.
std::mutex& ListLock()
{
    static std::mutex lock;
    return lock;
}

}  // namespace

CUserInformationList::CUserInformationList(const CUserInformationList& other)
{
    std::lock_guard guard(ListLock());
    m_entries = other.m_entries;
}

CUserInformationList& CUserInformationList::operator=(const CUserInformationList& other)
{
    if (this == &other) return *this;
    Entries old;
    {
        std::lock_guard guard(ListLock());
        Entries copy = other.m_entries;
        old.swap(m_entries);
        m_entries.swap(copy);
    }
    return *this;
}

CUserInformationList::~CUserInformationList()
{
    Clear();
}

bool CUserInformationList::PopFront(CUserInformation& out)
{
    std::lock_guard guard(ListLock());
    if (m_entries.empty()) return false;
    out = m_entries.front();
    m_entries.pop_front();
    return true;
}

void CUserInformationList::PushBack(const CUserInformation& record)
{
    std::lock_guard guard(ListLock());
    m_entries.push_back(record);
}

CUserInformation CUserInformationList::Get(std::uint32_t userId, std::uint32_t groupId) const
{
    std::lock_guard guard(ListLock());
    const auto found = FindLocked(userId, groupId);
    if (found != m_entries.end()) return *found;
    CUserInformation none;
    none.SetType(0);
    return none;
}

void CUserInformationList::Remove(std::uint32_t userId, std::uint32_t groupId)
{
    std::lock_guard guard(ListLock());
    const auto found = FindLocked(userId, groupId);
    if (found != m_entries.end()) m_entries.erase(found);
}

void CUserInformationList::Clear()
{
    Entries old;
    std::lock_guard guard(ListLock());
    old.swap(m_entries);
}

void CUserInformationList::Update(const CUserInformation& record)
{
    std::lock_guard guard(ListLock());
    const auto found = FindLocked(record.GetUserId(), record.GetGroupId());
    if (found == m_entries.end())
        throw OskelClassLib::OskelExcept("CUserInformationList::Find() 見つからない", record.GetUserId(),
                                         record.GetGroupId());
    found->CopyFrom(record);
}

void CUserInformationList::SetActive(const CUserInformation& record)
{
    std::lock_guard guard(ListLock());
    const auto found = FindLocked(record.GetUserId(), record.GetGroupId());
    if (found != m_entries.end()) found->SetActive(record.GetActive());
}

void CUserInformationList::MarkVoiceStarted(std::uint32_t userId, std::uint32_t groupId)
{
    std::lock_guard guard(ListLock());
    const auto found = FindLocked(userId, groupId);
    if (found != m_entries.end()) found->MarkVoiceStarted();
}

std::size_t CUserInformationList::Count() const
{
    std::lock_guard guard(ListLock());
    return m_entries.size();
}

bool CUserInformationList::IsEmpty() const
{
    std::lock_guard guard(ListLock());
    return m_entries.empty();
}

CUserInformation CUserInformationList::Find(std::uint32_t userId, std::uint32_t groupId) const
{
    std::lock_guard guard(ListLock());
    const auto found = FindLocked(userId, groupId);
    if (found == m_entries.end())
        throw OskelClassLib::OskelExcept("CUserInformationList::Find() 見つからない", userId, groupId);
    return *found;
}

CUserInformationList::Entries::iterator CUserInformationList::FindLocked(std::uint32_t userId, std::uint32_t groupId)
{
    const auto newest = std::find_if(m_entries.rbegin(), m_entries.rend(),
                                     [&](const CUserInformation& entry) { return entry.IsUser(userId, groupId); });
    return newest == m_entries.rend() ? m_entries.end() : std::prev(newest.base());
}

CUserInformationList::Entries::const_iterator CUserInformationList::FindLocked(std::uint32_t userId,
                                                                               std::uint32_t groupId) const
{
    const auto newest = std::find_if(m_entries.rbegin(), m_entries.rend(),
                                     [&](const CUserInformation& entry) { return entry.IsUser(userId, groupId); });
    return newest == m_entries.rend() ? m_entries.end() : std::prev(newest.base());
}
