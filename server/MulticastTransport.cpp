#include "server/MulticastTransport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "Common/Target.h"
#include "server/ServerState.h"

std::size_t MulticastTransport::Send(const DatagramRef* batch, std::size_t count, int* error) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  {
    std::lock_guard<std::mutex> hold(g_target_mutex);
    // A group that is no address fails every datagram (EINVAL), as SendDatagram does.
    if (inet_aton(g_group, &to.sin_addr) == 0) {
      *error = EINVAL;
      return 0;
    }
    to.sin_port = htons(static_cast<uint16_t>(g_port & 0xFFFF));
  }
  std::lock_guard<std::mutex> hold(g_socket_mutex);
  std::size_t done = 0;
  while (done < count) {
    const std::size_t n = std::min(count - done, Sender::kBatch);
    mmsghdr messages[Sender::kBatch];
    iovec parts[Sender::kBatch];
    for (std::size_t i = 0; i < n; ++i) {
      const DatagramRef& d = batch[done + i];
      parts[i] = iovec{d.data, d.size};
      messages[i] = mmsghdr{};
      messages[i].msg_hdr.msg_name = &to;
      messages[i].msg_hdr.msg_namelen = sizeof to;
      messages[i].msg_hdr.msg_iov = &parts[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int sent = sendmmsg(g_multicast_sock, messages, static_cast<unsigned>(n), MSG_NOSIGNAL);
    if (sent > 0) {
      done += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    *error = sent < 0 ? errno : EIO;
    break;
  }
  return done;
}
