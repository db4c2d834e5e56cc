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

// Generations are drawn from one counter, under the list lock, so that no two lists (nor
// one list before and after an assignment) share one.
std::uint64_t g_generations = 0;

}  // namespace

CUserInformationList::CUserInformationList()
{
    std::lock_guard guard(ListLock());
    Changed();
}

CUserInformationList::CUserInformationList(const CUserInformationList& other)
{
    std::lock_guard guard(ListLock());
    m_entries = other.m_entries;
    Changed();
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
        Changed();
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
    Changed();
    return true;
}

void CUserInformationList::PushBack(const CUserInformation& record)
{
    std::lock_guard guard(ListLock());
    m_entries.push_back(record);
    Changed();
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
    Changed();
}

void CUserInformationList::Clear()
{
    Entries old;
    std::lock_guard guard(ListLock());
    old.swap(m_entries);
    Changed();
}

void CUserInformationList::Update(const CUserInformation& record)
{
    std::lock_guard guard(ListLock());
    const auto found = FindLocked(record.GetUserId(), record.GetGroupId());
    if (found == m_entries.end())
        throw OskelClassLib::OskelExcept("CUserInformationList::Find() 見つからない", record.GetUserId(),
                                         record.GetGroupId());
    found->CopyFrom(record);
    Changed();
}

void CUserInformationList::SetActive(const CUserInformation& record)
{
    std::lock_guard guard(ListLock());
    const auto found = FindLocked(record.GetUserId(), record.GetGroupId());
    if (found != m_entries.end()) found->SetActive(record.GetActive());
    Changed();
}

void CUserInformationList::MarkVoiceStarted(std::uint32_t userId, std::uint32_t groupId)
{
    std::lock_guard guard(ListLock());
    const auto found = FindLocked(userId, groupId);
    if (found != m_entries.end()) found->MarkVoiceStarted();
    Changed();
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

std::uint64_t CUserInformationList::Generation() const
{
    std::lock_guard guard(ListLock());
    return m_generation;
}

std::uint64_t CUserInformationList::ForEach(const std::function<void(const CUserInformation&)>& visit) const
{
    std::lock_guard guard(ListLock());
    for (const CUserInformation& entry : m_entries) visit(entry);
    return m_generation;
}

void CUserInformationList::Changed()
{
    m_generation = ++g_generations;
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
