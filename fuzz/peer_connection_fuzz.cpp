// A link's read path in the clear: frames taken apart in place, payloads read straight into
// their messages, chunks read ahead under a guess and put back when it was wrong.
#include "fuzz/PeerConnectionFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return peerfuzz::Run(data, size, false);
}
