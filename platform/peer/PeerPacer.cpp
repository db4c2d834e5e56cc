#include "platform/peer/PeerPacer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>

namespace peer {

namespace {
// Kernel send buffering is kept small so that priorities decide what goes out next rather
// than megabytes already handed to the kernel.
constexpr int kNotSentLowWater = 32 * 1024;
// On a fast link the kernel may hold more unsent bytes, up to a fraction of the bulk allowance
// (a fraction of a millisecond there): a write then hands over hundreds of KiB instead of
// stopping at 32 KiB, which would cost a system call and a wake-up for every 32 KiB.
constexpr int kMaxNotSentLowWater = 1024 * 1024;
// Bulk bytes we let the kernel hold beyond one round trip's worth: at the link's rate, about
// what a high-priority frame may have to wait behind them. Room is topped up every
// kRoomPoll, so this must stay well above it for the link never to run dry.
constexpr auto kKernelQueueTime = std::chrono::milliseconds(8);
constexpr std::uint64_t kMinKernelBytes = 8 * 1024;
// Until the link's rate is known.
constexpr std::uint64_t kStartKernelBytes = 16 * 1024;
// The rate is measured over spans of at least this long, so that a burst through a
// shaper's bucket weighs little.
constexpr auto kRateWindow = std::chrono::milliseconds(50);
// Never fewer than this many full segments: a receiver acknowledges at once only after more
// than one, so with less in flight every write would wait for a delayed acknowledgement
// (40 ms or more), the rate the kernel measures would fall with it and never recover.
constexpr std::uint64_t kMinKernelSegments = 4;
// On a slow link bulk travels in smaller chunks, each about this long on the wire.
constexpr auto kChunkTime = std::chrono::milliseconds(2);
constexpr std::size_t kMinChunk = 2 * 1024;
// Beyond any link we pace for; keeps the budget's arithmetic finite.
constexpr double kMaxRate = 16e9;
}  // namespace

CPeerPacer::CPeerPacer(int fd) : m_fd(fd), m_notSentLowWater(kNotSentLowWater)
{
#ifdef TCP_NOTSENT_LOWAT
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &kNotSentLowWater, sizeof kNotSentLowWater);
#endif
}

// On a slow link the kernel would otherwise queue far more than the link carries in a few
// milliseconds, and a high-priority frame written next would wait behind all of it (and
// behind what a shaper drops and the kernel resends).
std::size_t CPeerPacer::BulkRoom()
{
    LinkInfo info;
    if (!ReadLinkInfo(m_fd, info)) return SIZE_MAX;
    const auto now = Clock::now();
    Measure(info, now);
    const std::uint64_t budget = Budget(info);
    m_checkedAt = now;
    m_kernelAtCheck = info.bytesInKernel;
    return info.bytesInKernel < budget ? static_cast<std::size_t>(budget - info.bytesInKernel) : 0;
}

// The link's rate, measured from what it acknowledges while bulk waits here. The kernel's
// own estimate is no help: one burst through a shaper's bucket reads as gigabits.
void CPeerPacer::Measure(const LinkInfo& info, Clock::time_point now)
{
    if (!m_rateWindowOpen) {
        m_rateWindowOpen = true;
        m_rateWindowStart = now;
        m_rateWindowAcked = info.bytesAcked;
        m_rateWindowDry = false;
        m_dryBefore = false;
        return;
    }
    // The kernel ran dry while bulk waited here, though we looked again in time: we, not
    // the link, set the pace, so what it acknowledged says only that the link takes at
    // least that much. Twice in a row, grow at once; a fast link would otherwise need many
    // windows to reach its speed. Once alone may be a burst through a shaper's bucket, and
    // a late look (a busy machine) proves nothing. Nor does a look right after our own
    // write, which finds the kernel still holding it: it leaves the last look's verdict
    // standing (when writes take long, as on a TLS link, every wait for room is followed
    // by such looks, and the rate would otherwise grow only window by window).
    const bool dry = info.bytesInKernel == 0 && m_kernelAtCheck > 0 && now - m_checkedAt <= 2 * kRoomPoll;
    if (dry && m_dryBefore) {
        m_rateWindowDry = true;
        const double floor =
            static_cast<double>(kStartKernelBytes) / std::chrono::duration<double>(kKernelQueueTime).count();
        m_bytesPerSecond = std::min(std::max(2 * m_bytesPerSecond, floor), kMaxRate);
    }
    if (dry || now - m_checkedAt >= kRoomPoll / 4) m_dryBefore = dry;
    if (now - m_rateWindowStart >= kRateWindow) {
        const double seconds = std::chrono::duration<double>(now - m_rateWindowStart).count();
        const double sample = static_cast<double>(info.bytesAcked - m_rateWindowAcked) / seconds;
        if (sample > 0 && !(m_rateWindowDry && sample < m_bytesPerSecond)) m_bytesPerSecond = sample;
        m_rateWindowStart = now;
        m_rateWindowAcked = info.bytesAcked;
        m_rateWindowDry = false;
    }
}

// What the kernel may hold of bulk at the measured rate; sets the chunk size to match.
std::uint64_t CPeerPacer::Budget(const LinkInfo& info)
{
    std::uint64_t budget = kStartKernelBytes;
    m_chunkSize = wire::kChunkSize;
    if (m_bytesPerSecond > 0) {
        const double seconds = std::chrono::duration<double>(kKernelQueueTime).count() + info.minRttUs / 1e6;
        budget = static_cast<std::uint64_t>(m_bytesPerSecond * seconds);
        const double chunk = m_bytesPerSecond * std::chrono::duration<double>(kChunkTime).count();
        m_chunkSize = std::clamp(static_cast<std::size_t>(chunk), kMinChunk, wire::kChunkSize);
    }
    budget = std::max({budget, kMinKernelBytes, kMinKernelSegments * info.mss});
    SetLowWater(budget);
    return budget;
}

void CPeerPacer::SetLowWater([[maybe_unused]] std::uint64_t budget)
{
#ifdef TCP_NOTSENT_LOWAT
    const int lowWater = static_cast<int>(
        std::clamp<std::uint64_t>(budget / 8, static_cast<std::uint64_t>(kNotSentLowWater), kMaxNotSentLowWater));
    if (lowWater != m_notSentLowWater &&
        (lowWater > 2 * m_notSentLowWater || 2 * lowWater < m_notSentLowWater || lowWater == kNotSentLowWater)) {
        m_notSentLowWater = lowWater;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowWater, sizeof lowWater);
    }
#endif
}

}  // namespace peer
