// One request to the server's rendezvous service: the judgement of the request and the reply,
// and for "init" requests the whole connection path over a socket pair (receive, answer,
// shut down). Input: one byte choosing the target in force, then the request bytes.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/Rendezvous.h"
#include "server/ServerState.h"

namespace {
void Require(bool ok) {
  if (!ok) std::abort();
}

void SetTarget(uint8_t choice) {
  static const std::string kLongest(kTextBytes - 1, '7');  // 259 characters
  const char* groups[4] = {"227.0.1.1", "239.255.255.250", "", kLongest.c_str()};
  const int ports[4] = {10510, 0, 65535, -2147483647 - 1};
  std::lock_guard<std::mutex> hold(g_target_mutex);
  std::snprintf(g_group, sizeof g_group, "%s", groups[choice & 3]);
  g_port = ports[(choice >> 2) & 3];
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  SetTarget(data[0]);
  ++data;
  --size;

  // As the service receives it: one receive of at most 260 bytes into a zeroed buffer.
  char request[kRendezvousRequestBytes];
  std::memset(request, 0, sizeof request);
  const std::size_t n = size < sizeof request ? size : sizeof request;
  std::memcpy(request, data, n);
  char reply[kTextBytes + 16];
  const bool init = HandleRendezvousRequest(request, n, reply, sizeof reply);
  Require(init == (n >= 4 && std::memcmp(request, "init", 4) == 0));
  char expected[kTextBytes + 16] = "";
  if (init) std::snprintf(expected, sizeof expected, "%s:%d\r\n", g_group, g_port);
  Require(std::strcmp(reply, expected) == 0);

  // A refresh request sleeps 200 ms by design: only "init" goes through the socket path.
  if (!init) return 0;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 0;
  // The peer's bytes, then its end of the request; the service's answer must be the reply.
  if (write(pair[1], data, size > 4096 ? 4096 : size) < 0) {}
  shutdown(pair[1], SHUT_WR);
  g_full_refresh.store(0);
  ServeRendezvousConnection(pair[0]);
  std::string answer;
  char buf[512];
  ssize_t got;
  while ((got = read(pair[1], buf, sizeof buf)) > 0) answer.append(buf, got);
  close(pair[1]);
  // A unix socket delivers a request of up to 260 bytes in one piece, so it is judged whole.
  Require(answer == expected);
  Require(g_full_refresh.load() == 0);
  return 0;
}
