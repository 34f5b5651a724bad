#pragma once
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

// The process's record of failed sends; every sender of datagrams reports its failures and
// successes here, so that one count covers them all.
class FailureThrottle;
FailureThrottle& SendFailureThrottle();
// Tests only: a throttle of their own (nullptr: the process's).
void SetSendFailureThrottleForTest(FailureThrottle* throttle);
