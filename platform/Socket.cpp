#include "platform/Socket.h"

#include <unistd.h>

#include <csignal>

#include "platform/LastError.h"

int SocketStartup() {
  // A peer that closes early must give EPIPE to the sender, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  return 0;
}

int CloseSocket(int sock) {
  LastErrorKeeper keep;
  // No retry on EINTR: Linux has released the descriptor even then.
  return close(sock);
}
