#include "glimt/Rendezvous.h"

#include <cstring>

#include "Common/ClientSocket.h"
#include "Common/Target.h"
#include "platform/Socket.h"

bool RendezvousExchange(const char* server, char* group, int answer_ms) {
  const int sock = ConnectTo(server, RENDEZVOUS_PORT);
  if (sock == INVALID_SOCKET) return false;
  SendText(sock, "init\r\n");
  std::memset(group, 0, kTextBytes);
  // One byte short of the buffer, so the text always stays terminated.
  if (WaitReadable(sock, answer_ms)) Receive(sock, group, kTextBytes - 1);
  if (std::strlen(group) >= kTextBytes - 1) group[0] = 0;
  CloseSocket(sock);
  return true;
}

void SendRefreshRequest(const char* server) {
  if (!server[0]) return;
  const int sock = ConnectTo(server, RENDEZVOUS_PORT);
  if (sock == INVALID_SOCKET) return;
  SendText(sock, "go\r\n");
  CloseSocket(sock);
}
