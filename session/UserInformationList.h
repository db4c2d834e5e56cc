#pragma once
// A list of user records (copies), oldest first. Lookups search from the newest entry to the
// oldest and act on the first whose (user id, group id) matches, so with duplicate pairs
// the newest wins. One process-wide lock guards every list; each operation holds it for
// its whole duration. To walk a list, copy it and PopFront the copy until it is empty, or
// visit it in place with ForEach.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>

#include "session/UserInformation.h"

class CUserInformationList {
public:
    CUserInformationList();
    CUserInformationList(const CUserInformationList& other);
    CUserInformationList& operator=(const CUserInformationList& other);
    ~CUserInformationList();

    // Copies the oldest entry out and removes it; false (out unchanged) when empty.
    bool PopFront(CUserInformation& out);
    // Adds a copy as the newest entry; an entry with the same pair may already be there.
    void PushBack(const CUserInformation& record);
    // Copy of the newest matching entry; without one, an empty record whose type word is 0.
    CUserInformation Get(std::uint32_t userId, std::uint32_t groupId) const;
    // Removes the newest matching entry, if any.
    void Remove(std::uint32_t userId, std::uint32_t groupId);
    void Clear();
    // Copies every field of the record onto the entry with its pair; throws OskelExcept
    // (as Find) when there is none.
    void Update(const CUserInformation& record);
    // Copies the record's active flag onto the entry with its pair; a missing entry is ignored.
    void SetActive(const CUserInformation& record);
    // Sets the voice-started flag of the matching entry; a missing entry is ignored.
    void MarkVoiceStarted(std::uint32_t userId, std::uint32_t groupId);
    std::size_t Count() const;
    bool IsEmpty() const;
    // Changes with every change of the list (and differs between lists), so that what is
    // derived from it can be kept until it changes.
    std::uint64_t Generation() const;
    // Visits every entry, oldest first, with the lock held: visit must not touch any list
    // or take another lock. Returns the generation visited.
    std::uint64_t ForEach(const std::function<void(const CUserInformation&)>& visit) const;

    // Copy of the matching entry; throws OskelExcept "CUserInformationList::Find() 見つからない"
    // with the user id and group id as its values when there is none.
    CUserInformation Find(std::uint32_t userId, std::uint32_t groupId) const;

private:
    using Entries = std::list<CUserInformation>;
    // Called with the lock held.
    Entries::iterator FindLocked(std::uint32_t userId, std::uint32_t groupId);
    Entries::const_iterator FindLocked(std::uint32_t userId, std::uint32_t groupId) const;
    // Called with the lock held after every change.
    void Changed();

    Entries m_entries;  // back = newest
    std::uint64_t m_generation = 0;
};
