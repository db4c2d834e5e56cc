// The decoder of record type 102 from peers.
#include "SharesFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return FuzzSharesRecord(102, data, size);
}
