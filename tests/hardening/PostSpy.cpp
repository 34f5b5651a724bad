// Preloaded into a program under test: notes in the file $ORVANE_POST_SPY the thread of every
// queued call into Qt made from the program's own code (QMetaObject::invokeMethod, the way the
// viewer's receive thread reaches the window), as a line "tid", and the start of the toolkit's
// teardown (the QApplication's destructor), as a line "teardown", then goes on as the program
// asked. Without Qt headers: the symbols are named as the libraries export them.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {
using Invoke = bool (*)(void*, void*, int, void*);
constexpr const char kName[] =
    "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv";

void Note(bool teardown = false) {
  static std::atomic<int> fd{-2};
  if (fd.load() == -2) {
    const char* path = std::getenv("ORVANE_POST_SPY");
    fd.store(path ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1);
  }
  if (fd.load() < 0) return;
  char line[32];
  const int n = teardown ? std::snprintf(line, sizeof line, "teardown\n")
                         : std::snprintf(line, sizeof line, "%d\n", static_cast<int>(gettid()));
  if (write(fd.load(), line, static_cast<std::size_t>(n)) < 0) {}
}
}  // namespace

extern "C" bool SpyInvokeMethodImpl(void* object, void* slot, int type, void* ret) __asm__(
    "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv");
extern "C" bool SpyInvokeMethodImpl(void* object, void* slot, int type, void* ret) {
  static const Invoke real = reinterpret_cast<Invoke>(dlsym(RTLD_NEXT, kName));
  Note();
  return real(object, slot, type, ret);
}

extern "C" void SpyApplicationDestructor(void* self) __asm__("_ZN12QApplicationD1Ev");
extern "C" void SpyApplicationDestructor(void* self) {
  using Destructor = void (*)(void*);
  static const Destructor real = reinterpret_cast<Destructor>(dlsym(RTLD_NEXT, "_ZN12QApplicationD1Ev"));
  Note(true);
  real(self);
}
