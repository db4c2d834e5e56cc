// Record blocks from peers (player data, connect data, shared-file payloads): any bytes
// decode to a record or to null, and what decodes serializes into a block that decodes
// again to the same record and the same bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "session/HalvoTextRecord.h"
#include "session/HalvoTransData.h"
#include "session/UserInformation.h"

namespace {

bool SameRecord(const CHalvoTransData& a, const CHalvoTransData& b)
{
    if (a.GetType() != b.GetType() || a.GetSubType() != b.GetSubType()) return false;
    if (const auto* user = dynamic_cast<const CUserInformation*>(&a))
        return *user == dynamic_cast<const CUserInformation&>(b);
    if (const auto* text = dynamic_cast<const CHalvoTextRecord*>(&a))
        return *text == dynamic_cast<const CHalvoTextRecord&>(b);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::unique_ptr<CHalvoTransData> record = CHalvoTransData::CreateFromBlock(data, size);
    if (!record) return 0;

    CTransBlock block;
    record->Serialize(block);
    if (CHalvoTransData::BlockLength(block) != block.Size()) __builtin_trap();
    const CTransBlock first = block;
    const std::unique_ptr<CHalvoTransData> again = CHalvoTransData::CreateFromBlock(block);
    if (!again || !SameRecord(*record, *again)) __builtin_trap();

    CTransBlock second;
    again->Serialize(second);
    if (second.Size() != first.Size() ||
        !std::equal(first.Bytes().begin(), first.Bytes().end(), second.Bytes().begin()))
        __builtin_trap();
    return 0;
}
