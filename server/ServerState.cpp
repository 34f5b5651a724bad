#include "server/ServerState.h"

#include "platform/Socket.h"

// The region and the mutex are made by start-up (they outlive every thread).
Region* g_dirty_region = nullptr;
std::mutex* g_mutex = nullptr;
std::atomic<int> g_full_refresh{1};
std::atomic<int64_t> g_refresh_began_ms{INT64_MIN};
std::atomic<int> g_cursor_changed{1};
ClipRect g_clip;
int g_multicast_sock = INVALID_SOCKET;
std::mutex g_socket_mutex;
char g_group[kTextBytes] = "227.0.1.1";
int g_port = 10510;
std::mutex g_target_mutex;
int g_rate_screen = 200;
int g_rate_pointer = 50;
int g_compression_level = 1;
int g_max_datagram = 1472;
uint32_t g_max_rate = 50000;
uint32_t g_refresh_cycle = 10;
