#pragma once
// Per-thread message queues in place of PostThreadMessage/GetMessage/WM_QUIT. A queue is an
// abstract-namespace UNIX datagram socket named by process id and thread id, made on the
// thread's first use (or by StartThread). A post needs no shared state, so it works from any
// thread of the process and from a shared library with its own copy of this code (libhooks.so).
// The kernel bounds a queue (net.unix.max_dgram_qlen, 10 by default): posts do not wait.
#include <cstdint>

struct ThreadMessage {
  uint32_t message = 0;
  uint64_t wparam = 0;
  uint64_t lparam = 0;
};

constexpr uint32_t kQuitMessage = 0x0012;  // WM_QUIT's number

// Creates the calling thread's queue if it has none. False when it cannot be made.
bool EnsureThreadQueue();

// Posts without waiting. False with EAGAIN as last error when the queue is full (the caller
// keeps the message and retries), ECONNREFUSED/ENOENT when thread tid has no queue.
bool PostThreadMessage(long tid, uint32_t msg, uint64_t wparam, uint64_t lparam);

// Waits for the next message of the calling thread's queue. False on the quit message (and
// on a broken queue); m then holds kQuitMessage.
bool GetThreadMessage(ThreadMessage& m);

// Like GetThreadMessage with a time limit: 1 = message, 0 = time-out, -1 = quit or failure.
int WaitThreadMessage(ThreadMessage& m, int timeout_ms);

// Posts the quit message to tid, retrying for up to one second while the queue is full.
bool PostQuitMessage(long tid);
