#pragma once
// What the kernel knows about a TCP connection, for keeping our bytes out of its queues.

#include <cstdint>

namespace peer {

struct LinkInfo {
    std::uint64_t bytesInKernel = 0;  // written but not yet acknowledged, sent or not
    std::uint64_t bytesAcked = 0;     // acknowledged since the link began
    std::uint32_t minRttUs = 0;
    std::uint32_t mss = 0;  // largest segment the link sends
};

// False when the kernel cannot tell (then nothing is held back).
bool ReadLinkInfo(int socket, LinkInfo& out);

}  // namespace peer
