// The decoder of record type 104 from peers.
#include "SharesFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return FuzzSharesRecord(104, data, size);
}
