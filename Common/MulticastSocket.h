#pragma once
#include <cstddef>
#include <cstdint>

// UDP multicast endpoints. Addresses are dotted-quad texts (inet_aton rules; "" = 0.0.0.0),
// ports host order (low 16 bits count). Failures are reported through Log and answered with
// INVALID_SOCKET / 0; the last error stays the cause. Any thread.

// Bound to iface:port, TTL from setting MulticastTTL (default 255).
int OpenMulticastSender(int port, const char* iface);
// A failed send is reported through SendFailureThrottle(): in full the first time, then at
// most one counted line a second while the failures go on.
int SendDatagram(int sock, const char* group, int port, const void* data, int length);
// Bound to 0.0.0.0:port, joined to group, IP_MULTICAST_ALL off.
int OpenMulticastReceiver(const char* group, int port);

// Receiver options beyond the join, for a stream that comes in bursts (the viewer).
// Asks for a receive buffer of `bytes`: SO_RCVBUFFORCE first, which passes over
// net.core.rmem_max for a process with CAP_NET_ADMIN, else SO_RCVBUF, which the kernel cuts
// to net.core.rmem_max. Writes one log line when less was granted. Returns the bytes granted
// (as asked for: the kernel books twice that for its own overhead), or -1 when the socket
// took neither option.
int SetReceiveBuffer(int sock, int bytes);
// Makes every datagram carry the socket's count of datagrams dropped so far (SO_RXQ_OVFL).
bool CountReceiveDrops(int sock);
// The socket's count of datagrams dropped so far, read now (SO_MEMINFO): a burst's last drops
// come with no datagram when nothing follows it. -1 when the kernel does not tell.
long ReceiveDrops(int sock);
// Where a datagram came from: IPv4 address and port, both in host order.
struct DatagramSource {
  uint32_t address = 0;
  uint16_t port = 0;
};
// "a.b.c.d:port" into text (at least 22 bytes).
void FormatDatagramSource(const DatagramSource& source, char* text, std::size_t bytes);

// One datagram into buffer (capacity bytes), without blocking. Returns its size, 0 for an
// empty datagram, -1 with EAGAIN when none is waiting, or -1 with the last error set on
// failure. *drops receives the socket's drop count as of this datagram, when the kernel sent
// one along (it does once there was a drop and CountReceiveDrops is on); it is left as it
// was otherwise. *from, when given, receives the sender's address.
long ReceiveDatagram(int sock, void* buffer, std::size_t capacity, uint32_t* drops,
                     DatagramSource* from = nullptr);
// The process's record of failed sends; every sender of datagrams reports its failures and
// successes here, so that one count covers them all.
class FailureThrottle;
FailureThrottle& SendFailureThrottle();
// Tests only: a throttle of their own (nullptr: the process's).
void SetSendFailureThrottleForTest(FailureThrottle* throttle);
