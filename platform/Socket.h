#pragma once
// The socket layer in place of Winsock: plain descriptors.
constexpr int INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Nothing to start on Linux; kept so that callers keep their failure path. Returns 0.
// Also ignores SIGPIPE for the process, so a peer that closes early gives EPIPE.
int SocketStartup();
// close() that keeps the caller's last-error value.
int CloseSocket(int sock);
