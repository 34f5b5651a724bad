#pragma once
// The server's transport: sendmmsg on g_multicast_sock to g_group:g_port. The target is read
// under g_target_mutex for every batch and the socket used under g_socket_mutex, so that the
// settings dialog can change both while the sender thread runs.
#include "server/Sender.h"

class MulticastTransport : public DatagramTransport {
 public:
  std::size_t Send(const DatagramRef* batch, std::size_t count, int* error) override;
};
