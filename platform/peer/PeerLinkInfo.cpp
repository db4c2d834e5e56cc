// Kept apart: <linux/tcp.h> has the newer tcp_info fields but clashes with <netinet/tcp.h>.
#include "platform/peer/PeerLinkInfo.h"

#include <cstddef>

#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace peer {

bool ReadLinkInfo(int socket, LinkInfo& out)
{
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return false;
    if (length < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) return false;
    // Exact bytes rather than unacknowledged segments times the segment size: on loopback a
    // segment may be 64 KiB, and a 100-byte tail segment counted as one would hold writes back.
    int outq = 0;
    if (::ioctl(socket, SIOCOUTQ, &outq) != 0 || outq < 0) return false;
    out.bytesInKernel = static_cast<std::uint64_t>(outq);
    out.bytesAcked = info.tcpi_bytes_acked;
    out.minRttUs = info.tcpi_min_rtt;
    out.mss = info.tcpi_snd_mss;
    return true;
}

}  // namespace peer
