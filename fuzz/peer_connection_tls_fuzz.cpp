// A link's read path over TLS: frame heads read with whatever else their record holds,
// payloads decrypted straight into their messages.
#include "fuzz/PeerConnectionFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return peerfuzz::Run(data, size, true);
}
