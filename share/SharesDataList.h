#pragma once
// The shared files of a session as one participant sees them: copies of CSharesData in
// insertion order. One process-wide lock guards every list operation and every copy.
// Encoded as record type 103: header, each record with its own header {102, 100, 12}, then
// the count. Decoding takes the records from the last to the first, so the decoded list
// holds them in the reverse of the sender's order.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <string>

#include "share/SharesData.h"

class CSharesDataList : public CHalvoTransData {
public:
    CSharesDataList() : CHalvoTransData(CSharesData::TYPE_SHARES_LIST, SUBTYPE_DEFAULT) {}
    CSharesDataList(const CSharesDataList& other);
    CSharesDataList& operator=(const CSharesDataList& other);
    ~CSharesDataList() override = default;

    bool IsEmpty() const;
    std::size_t Count() const;
    // Copies the first record out and removes it; false when empty.
    bool PopFront(CSharesData& out);
    void PushBack(const CSharesData& record);
    // 1 (nothing changed) when a record with the same file name, user id and group id is
    // there; else appends a copy and returns 0.
    int AddUnique(const CSharesData& record);
    // The matching record takes the given record's virtual path: 1, or 0 when none matches.
    int UpdateVirtualPath(const CSharesData& record);
    int FindRecord(const std::string& fileName, std::uint32_t userId, std::uint32_t groupId, CSharesData& out) const;
    // The first record with that file name, whoever owns it.
    int FindByName(const std::string& fileName, CSharesData& out) const;
    // Removes every record with the same file name, user id and group id.
    void RemoveRecord(const CSharesData& record);
    void RemoveOwner(std::uint32_t userId, std::uint32_t groupId);
    void KeepOwner(std::uint32_t userId, std::uint32_t groupId);
    // Removes the records of that owner whose full path can no longer be opened.
    void PruneMissing(std::uint32_t userId, std::uint32_t groupId);

    void Serialize(CTransBlock& block) const override;
    // Replaces the list with the decoded records. Fails, leaving the list as it was, when
    // the count does not match the records in the block.
    bool Deserialize(CTransBlock& block) override;

private:
    using Records = std::list<CSharesData>;
    void RemoveIf(const std::function<bool(const CSharesData&)>& drop);

    Records m_records;
};
