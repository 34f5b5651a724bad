#pragma once
// Blocking TCP client operations for the short rendezvous exchanges. Reports through Log.
// Results: sockets belong to the caller. Any thread.

// Connected socket, or INVALID_SOCKET after a report ("sock != INVALID_SOCKET", "host",
// "res != SOCKET_ERROR"). The connect waits at most 21 s.
int ConnectTo(const char* host, int port);
// Formats into 8192 bytes and sends; a text over 8191 characters is refused (0, EMSGSIZE).
int SendText(int sock, const char* format, ...) __attribute__((format(printf, 2, 3)));
int SendBytes(int sock, const void* data, int length);
// Zeroes the buffer, then one receive of at most size bytes; 0 = peer closed; -1 after a
// "recv" ReportError.
int Receive(int sock, char* buffer, int size);
// Waits until sock is readable (or closed by the peer): true; false on time-out (ETIMEDOUT
// set as last error) or failure.
bool WaitReadable(int sock, int timeout_ms);
// Tests only: the connect bound in milliseconds (0 restores the 21 s).
void SetConnectTimeoutForTest(int timeout_ms);
