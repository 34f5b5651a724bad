#pragma once
// The viewer's side of the rendezvous service on TCP port 10510: "init" for the target, "go"
// for a full refresh. Blocking; called on the window thread (and "go" also on the receive
// thread). Reports only through the socket layer's own log lines.
#include <cstddef>

constexpr int RENDEZVOUS_PORT = 10510;
// The "init" answer is awaited at most this long, so a silent host cannot hang start-up.
constexpr int kRendezvousAnswerMs = 5000;

// Connects to server, sends "init\r\n" and reads one answer into group (kTextBytes bytes,
// zeroed first). False when no connection could be made. An answer that is missing, late or
// fills all 259 characters (it may have been cut) leaves group empty.
bool RendezvousExchange(const char* server, char* group, int answer_ms = kRendezvousAnswerMs);
// "go\r\n" to server, answer not read. Nothing when server is empty.
void SendRefreshRequest(const char* server);
