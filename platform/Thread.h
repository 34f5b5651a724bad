#pragma once
// Threads addressed by their kernel thread id, in place of CreateThread and thread
// priorities. Any thread.

// Starts a detached thread running entry(arg). *thread_id receives its kernel tid. The
// thread's message queue (platform/ThreadQueue.h) exists before this returns, so a post made
// right after start is never lost. False when the thread cannot be started (last error set).
bool StartThread(int (*entry)(void*), void* arg, long* thread_id);

// Sets the nice value of thread tid to the process's start nice + delta, clamped to -20..19
// (+5: below normal, -5: above normal). A refused raise is no failure: returns true.
bool SetThreadPriorityOffset(long tid, int delta);

long CurrentThreadId();
