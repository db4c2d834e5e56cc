#pragma once
// One shared-file record decoder under the fuzzer: the input is taken as a block of the
// given record type (its type word forced), must decode to that record or to null, and
// what decodes must serialize into a block that decodes again to the same bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "session/ByteOrder.h"
#include "share/SharesDataList.h"

inline int FuzzSharesRecord(std::uint32_t type, const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> bytes(data, data + size);
    if (bytes.size() >= 4) morvika::wire::StoreU32(bytes.data(), type);
    const std::unique_ptr<CHalvoTransData> record = CHalvoTransData::CreateFromBlock(bytes.data(), bytes.size());
    if (!record) return 0;
    if (record->GetType() != type) __builtin_trap();

    CTransBlock first;
    record->Serialize(first);
    if (CHalvoTransData::BlockLength(first) != first.Size()) __builtin_trap();
    CTransBlock block = first;
    const std::unique_ptr<CHalvoTransData> again = CHalvoTransData::CreateFromBlock(block);
    if (!again) __builtin_trap();
    CTransBlock second;
    again->Serialize(second);
    if (!std::equal(first.Bytes().begin(), first.Bytes().end(), second.Bytes().begin(), second.Bytes().end()))
        __builtin_trap();
    return 0;
}
