#include "platform/Thread.h"

#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/resource.h>
#include <unistd.h>

#include "platform/LastError.h"
#include "platform/ThreadQueue.h"

namespace {
// Nice value of the process when it started; priorities are offsets from it, so that lowering
// the main thread twice does not lower it twice as far.
const int g_start_nice = [] {
  errno = 0;
  int n = getpriority(PRIO_PROCESS, 0);
  return errno ? 0 : n;
}();

struct StartBlock {
  int (*entry)(void*);
  void* arg;
  long tid;
  sem_t started;
};

void* Trampoline(void* p) {
  StartBlock* b = static_cast<StartBlock*>(p);
  int (*entry)(void*) = b->entry;
  void* arg = b->arg;
  b->tid = CurrentThreadId();
  EnsureThreadQueue();  // before the starter learns the id
  sem_post(&b->started);  // b belongs to the starter from here on
  entry(arg);
  return nullptr;
}
}  // namespace

long CurrentThreadId() { return static_cast<long>(gettid()); }

bool StartThread(int (*entry)(void*), void* arg, long* thread_id) {
  StartBlock block{entry, arg, 0, {}};
  if (sem_init(&block.started, 0, 0) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t handle;
  int rc = pthread_create(&handle, &attr, Trampoline, &block);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    sem_destroy(&block.started);
    SetLastError(rc);
    return false;
  }
  while (sem_wait(&block.started) != 0 && errno == EINTR) {
  }
  sem_destroy(&block.started);
  if (thread_id) *thread_id = block.tid;
  return true;
}

bool SetThreadPriorityOffset(long tid, int delta) {
  int nice = g_start_nice + delta;
  if (nice < -20) nice = -20;
  if (nice > 19) nice = 19;
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) != 0) {
    // Raising above the start value needs a privilege; running at normal priority instead
    // is acceptable.
    if (errno == EACCES || errno == EPERM) return true;
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}
