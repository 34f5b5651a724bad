#pragma once
// The rendezvous service on TCP port 10510: "init" is answered with the target
// "group:port\r\n", anything else (also nothing) asks for a full refresh 200 ms later.
// One connection at a time.
#include <cstddef>

constexpr int kRendezvousPort = 10510;
constexpr int kRendezvousBacklog = 5;
constexpr int kRendezvousRequestBytes = 260;
// A silent client is waited for this long, then counts as a refresh request.
constexpr int kRendezvousWaitMs = 2000;
constexpr int kRefreshDelayMs = 200;

// Thread entry (start with StartThread); the argument is unused. Returns 0 when the service
// ends (listener failure, reported as "sock" 165 / "res != SOCKET_ERROR" 174, 177, or a
// failed accept that cannot be retried).
int RendezvousThread(void*);

// The steps of the thread, for tests and fuzzing.
// Socket, SO_REUSEADDR, bind to 0.0.0.0:port, listen; INVALID_SOCKET after the report.
int OpenRendezvousListener(int port);
// Accepts and serves connections until accept fails for good; returns 0.
int ServeRendezvous(int listener);
// Serves one accepted connection: waits up to kRendezvousWaitMs for the request, receives
// it, answers or requests a refresh, shuts the connection down and closes it.
void ServeRendezvousConnection(int conn);
// Judges one request buffer (n bytes, the buffer zeroed past them). True for "init": reply
// holds the text to send (group and port copied as one pair under g_target_mutex). False: a
// refresh request; reply is set to "".
bool HandleRendezvousRequest(const char* request, std::size_t n, char* reply,
                             std::size_t reply_size);
