#pragma once
// The pace of a link's bulk. The kernel is let hold only a few milliseconds' worth of unsent
// bulk at the link's rate, so that a high-priority frame written next waits behind little;
// the rate is measured from what the link acknowledges while bulk waits. On a slow link bulk
// also goes in smaller chunks. I/O thread only.

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "platform/peer/PeerFrame.h"
#include "platform/peer/PeerLinkInfo.h"

namespace peer {

class CPeerPacer {
public:
    using Clock = std::chrono::steady_clock;
    // While bulk waits for room, the room is looked at again this often.
    static constexpr auto kRoomPoll = std::chrono::milliseconds(2);

    // Sets the socket's own bound on unsent bytes, which BulkRoom adjusts to the link.
    explicit CPeerPacer(int fd);

    // How many more bulk bytes the kernel may take now; SIZE_MAX when it cannot tell.
    std::size_t BulkRoom();
    // After BulkRoom: `bytes` more were handed to the kernel.
    void Wrote(std::size_t bytes) { m_kernelAtCheck += bytes; }
    // No bulk waits: idle time says nothing of the link's rate.
    void Idle() { m_rateWindowOpen = false; }
    // The size of bulk chunks for this link.
    std::size_t ChunkSize() const { return m_chunkSize; }

private:
    void Measure(const LinkInfo& info, Clock::time_point now);
    std::uint64_t Budget(const LinkInfo& info);
    void SetLowWater(std::uint64_t budget);

    const int m_fd;
    std::size_t m_chunkSize = wire::kChunkSize;  // for bulk, smaller on slow links
    double m_bytesPerSecond = 0;                 // measured; 0 until known
    bool m_rateWindowOpen = false;
    Clock::time_point m_rateWindowStart{};
    std::uint64_t m_rateWindowAcked = 0;
    bool m_rateWindowDry = false;       // the kernel ran out of bulk during the window
    bool m_dryBefore = false;           // ... and at our last look
    Clock::time_point m_checkedAt{};    // our last look at the kernel's queue for bulk room
    std::uint64_t m_kernelAtCheck = 0;  // bytes it held then, with what we wrote after it
    int m_notSentLowWater;              // as set on the socket
};

}  // namespace peer
