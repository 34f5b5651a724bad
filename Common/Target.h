#pragma once
// Parsing of multicast targets, ports and dialog integers, shared by server and viewer.
// Pure functions: no X11, Qt or I/O.
#include <cstddef>

constexpr std::size_t kTextBytes = 260;  // g_group, g_server, paths: 259 characters + 0

// The decimal value of a text as strtol reads it (leading blanks, a sign, digits up to the
// first non-digit; 0 without digits), saturated to the int range, then reduced to its low
// 16 bits as a port: "99999999999" -> 65535, "-1" -> 65535, "" -> 0.
int PortValue(const char* text);
// The same decimal reading saturated to the int range, without the 16-bit step.
int DecimalValue(const char* text);

// Splits a target "group[:port]" into group (cut at the first colon) and port; without a colon
// *port is left as it is. False, with nothing changed, when the text has 260 characters or more.
bool SplitTarget(const char* text, char* group /* kTextBytes */, int* port);

// True when the text names a port after its colon that reduces to 0 (":", ":0", ":65536"):
// nothing can be sent to port 0. The server's start-up and its settings dialog both refuse it.
bool NamesPortZero(const char* text);

// The integer rule of the dialogs: optional blanks, an optional sign, at least one digit,
// optional trailing blanks, nothing else, value within the int range.
bool ParseDialogInteger(const char* text, int* value);

// True for a dotted quad (inet_aton rules) in 224.0.0.0/4.
bool IsMulticastGroup(const char* text);
