// Kept apart: <linux/tcp.h> has the newer tcp_info fields but clashes with <netinet/tcp.h>.
#include "platform/peer/PeerLinkInfo.h"

#include <cstddef>

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace peer {

bool ReadLinkInfo(int socket, LinkInfo& out) {
  tcp_info info{};
  socklen_t length = sizeof info;
  if (::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return false;
  if (length < offsetof(tcp_info, tcpi_delivery_rate) + sizeof info.tcpi_delivery_rate) return false;
  out.bytesInKernel =
      std::uint64_t(info.tcpi_unacked) * info.tcpi_snd_mss + info.tcpi_notsent_bytes;
  out.deliveryRate = info.tcpi_delivery_rate;
  out.minRttUs = info.tcpi_min_rtt;
  return true;
}

}  // namespace peer
