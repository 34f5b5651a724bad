#include "platform/ScreenCopy.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Common/Log.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Memory order of the shared-memory formats we read: B, G, R, x (what the wire carries) or
// R, G, B, x. Other formats are refused.
enum class Layout { kNone, kBgrx, kRgbx };

Layout LayoutOf(uint32_t format) {
  switch (format) {
    case WL_SHM_FORMAT_ARGB8888:
    case WL_SHM_FORMAT_XRGB8888:
      return Layout::kBgrx;
    case WL_SHM_FORMAT_ABGR8888:
    case WL_SHM_FORMAT_XBGR8888:
      return Layout::kRgbx;
    default:
      return Layout::kNone;
  }
}

// What the compositor offered for one frame.
struct Offer {
  uint32_t format = 0;
  int32_t width = 0, height = 0, stride = 0;
  bool usable = false;
};

// One wl_shm buffer a frame is copied into, with what it holds.
struct ShmBuffer {
  wl_buffer* buffer = nullptr;
  uint8_t* data = nullptr;
  std::size_t size = 0;
  Offer shape;
  bool y_invert = false;

  bool Fits(const Offer& o) const {
    return buffer && o.format == shape.format && o.width == shape.width &&
           o.height == shape.height && o.stride == shape.stride;
  }

  bool Make(wl_shm* shm, const Offer& o) {
    Drop();
    const std::size_t bytes = static_cast<std::size_t>(o.stride) * static_cast<std::size_t>(o.height);
    const int fd = memfd_create("orvane-screencopy", MFD_CLOEXEC);
    if (fd < 0) return false;
    void* p = MAP_FAILED;
    if (ftruncate(fd, static_cast<off_t>(bytes)) == 0)
      p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
      close(fd);
      return false;
    }
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<int32_t>(bytes));
    buffer = wl_shm_pool_create_buffer(pool, 0, o.width, o.height, o.stride, o.format);
    wl_shm_pool_destroy(pool);  // the buffer keeps the memory
    close(fd);
    data = static_cast<uint8_t*>(p);
    size = bytes;
    shape = o;
    return true;
  }

  void Drop() {
    if (buffer) wl_buffer_destroy(buffer);
    if (data) munmap(data, size);
    buffer = nullptr;
    data = nullptr;
    size = 0;
    shape = Offer{};
  }
};

bool SameShape(const ShmBuffer& a, const ShmBuffer& b) {
  return a.data && b.data && a.shape.format == b.shape.format && a.shape.width == b.shape.width &&
         a.shape.height == b.shape.height && a.shape.stride == b.shape.stride &&
         a.y_invert == b.y_invert;
}

// Damage is checked against the previous picture in tiles of kTile pixels: sway scans a
// full-screen client's buffer out without saying what changed, which wlroots reports as the
// whole output on every frame asked for. Runs of changed tiles in a band become one
// rectangle in *out (buffer coordinates).
constexpr int32_t kTile = 64;

void AddChangedTiles(const ShmBuffer& now, const ShmBuffer& before, const Rect& r,
                     std::vector<Rect>* out) {
  const std::size_t stride = static_cast<std::size_t>(now.shape.stride);
  for (int32_t top = r.top, bottom; top < r.bottom; top = bottom) {
    bottom = std::min((top / kTile + 1) * kTile, r.bottom);
    int32_t run = -1;  // left edge of the run of changed tiles, -1 when none
    for (int32_t left = r.left, right; left < r.right; left = right) {
      right = std::min((left / kTile + 1) * kTile, r.right);
      const std::size_t at = static_cast<std::size_t>(left) * 4;
      const std::size_t bytes = static_cast<std::size_t>(right - left) * 4;
      bool differs = false;
      for (int32_t y = top; y < bottom && !differs; ++y) {
        const std::size_t row = static_cast<std::size_t>(y) * stride + at;
        differs = std::memcmp(now.data + row, before.data + row, bytes) != 0;
      }
      if (differs && run < 0) run = left;
      if (!differs && run >= 0) {
        out->push_back(Rect{run, top, left, bottom});
        run = -1;
      }
    }
    if (run >= 0) out->push_back(Rect{run, top, r.right, bottom});
  }
}

struct Output {
  wl_output* proxy = nullptr;
  uint32_t version = 0;
  std::string name;
};

class ScreencopyScreen final : public ScreenSource {
 public:
  ScreencopyScreen(const ScreencopyOptions& o, ScreenChangeSink sink)
      : options_(o), sink_(std::move(sink)) {
    if (o.output) wanted_output_ = o.output;
  }

  ~ScreencopyScreen() override {
    if (thread_.joinable()) {
      const uint64_t one = 1;
      (void)!write(stop_fd_, &one, sizeof one);
      thread_.join();
    }
    if (stop_fd_ >= 0) close(stop_fd_);
    if (frame_) zwlr_screencopy_frame_v1_destroy(frame_);
    for (ShmBuffer& b : buffers_) b.Drop();
    for (Output& out : outputs_) {
      if (out.version >= WL_OUTPUT_RELEASE_SINCE_VERSION) wl_output_release(out.proxy);
      else wl_output_destroy(out.proxy);
    }
    if (manager_) zwlr_screencopy_manager_v1_destroy(manager_);
    if (shm_) wl_shm_destroy(shm_);
    if (registry_) wl_registry_destroy(registry_);
    if (display_) wl_display_disconnect(display_);
  }

  bool Open();

  Rect ClipBox() override {
    std::lock_guard<std::mutex> hold(mutex_);
    const Offer& f = buffers_[1 - back_].shape;
    return Rect{0, 0, f.width, f.height};
  }

  int BitsPerPixel() override { return 32; }

  bool Capture(const Rect& r, uint8_t* out, std::size_t stride) override;

  bool PointerPosition(int32_t*, int32_t*) override { return false; }
  bool ReportsChanges() const override { return true; }

 private:
  // Watcher thread.
  void Run();
  void AskFrame();
  void Copy();
  void FrameReady();
  void FrameFailed();
  void Lost(const char* why);

  static void OnGlobal(void* data, wl_registry* registry, uint32_t id, const char* interface,
                       uint32_t version);
  static void OnGlobalRemove(void*, wl_registry*, uint32_t) {}
  static void OnOutputName(void* data, wl_output* output, const char* name);
  static const wl_registry_listener kRegistryListener;
  static const wl_output_listener kOutputListener;
  static const zwlr_screencopy_frame_v1_listener kFrameListener;

  const ScreencopyOptions options_;
  const ScreenChangeSink sink_;
  std::string wanted_output_;

  // Made by Open; afterwards used by the watcher thread only.
  wl_display* display_ = nullptr;
  wl_registry* registry_ = nullptr;
  wl_shm* shm_ = nullptr;
  zwlr_screencopy_manager_v1* manager_ = nullptr;
  uint32_t manager_version_ = 0;
  std::vector<Output> outputs_;
  wl_output* output_ = nullptr;
  zwlr_screencopy_frame_v1* frame_ = nullptr;
  Offer offer_;
  bool offer_refused_logged_ = false;
  bool y_invert_ = false;
  std::vector<Rect> damage_;
  Clock::time_point next_frame_at_{};
  int failures_ = 0;
  int quiet_frames_ = 0;
  int stop_fd_ = -1;
  std::thread thread_;

  // Shared with the caller's thread. buffers_[back_] is the compositor's to fill (only the
  // watcher touches it); the other one is the last finished picture, read under mutex_.
  std::mutex mutex_;
  std::condition_variable first_frame_;
  ShmBuffer buffers_[2];
  int back_ = 0;
  bool have_frame_ = false;
  bool lost_ = false;
};

const wl_registry_listener ScreencopyScreen::kRegistryListener = {OnGlobal, OnGlobalRemove};

const wl_output_listener ScreencopyScreen::kOutputListener = {
    [](void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*, const char*,
       int32_t) {},
    [](void*, wl_output*, uint32_t, int32_t, int32_t, int32_t) {},
    [](void*, wl_output*) {},
    [](void*, wl_output*, int32_t) {},
    OnOutputName,
    [](void*, wl_output*, const char*) {},
};

const zwlr_screencopy_frame_v1_listener ScreencopyScreen::kFrameListener = {
    // buffer: the first shared-memory format we can read is taken.
    [](void* data, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t width, uint32_t height,
       uint32_t stride) {
      auto* self = static_cast<ScreencopyScreen*>(data);
      if (!self->offer_.usable && LayoutOf(format) != Layout::kNone && width > 0 &&
          height > 0 && stride >= width * 4 && width <= 32767 && height <= 32767) {
        self->offer_ = Offer{format, static_cast<int32_t>(width), static_cast<int32_t>(height),
                             static_cast<int32_t>(stride), true};
      } else if (!self->offer_.usable) {
        self->offer_.format = format;
      }
      // Before version 3 no buffer_done follows: the one offer is all there is.
      if (self->manager_version_ < 3) self->Copy();
    },
    [](void* data, zwlr_screencopy_frame_v1*, uint32_t flags) {
      static_cast<ScreencopyScreen*>(data)->y_invert_ =
          (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
    },
    [](void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {
      static_cast<ScreencopyScreen*>(data)->FrameReady();
    },
    [](void* data, zwlr_screencopy_frame_v1*) {
      static_cast<ScreencopyScreen*>(data)->FrameFailed();
    },
    [](void* data, zwlr_screencopy_frame_v1*, uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
      auto* self = static_cast<ScreencopyScreen*>(data);
      const auto clamp = [](uint64_t v) { return static_cast<int32_t>(std::min<uint64_t>(v, 32767)); };
      self->damage_.push_back(Rect{clamp(x), clamp(y), clamp(uint64_t{x} + w), clamp(uint64_t{y} + h)});
    },
    [](void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {},  // DMA-BUF: not ours
    [](void* data, zwlr_screencopy_frame_v1*) { static_cast<ScreencopyScreen*>(data)->Copy(); },
};

void ScreencopyScreen::OnGlobal(void* data, wl_registry* registry, uint32_t id,
                                const char* interface, uint32_t version) {
  auto* self = static_cast<ScreencopyScreen*>(data);
  if (std::strcmp(interface, wl_shm_interface.name) == 0 && !self->shm_) {
    self->shm_ = static_cast<wl_shm*>(wl_registry_bind(registry, id, &wl_shm_interface, 1));
  } else if (std::strcmp(interface, zwlr_screencopy_manager_v1_interface.name) == 0 &&
             !self->manager_) {
    self->manager_version_ = std::min<uint32_t>(version, 3);
    self->manager_ = static_cast<zwlr_screencopy_manager_v1*>(wl_registry_bind(
        registry, id, &zwlr_screencopy_manager_v1_interface, self->manager_version_));
  } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
    Output out;
    out.version = std::min<uint32_t>(version, 4);
    out.proxy = static_cast<wl_output*>(wl_registry_bind(registry, id, &wl_output_interface,
                                                          out.version));
    wl_output_add_listener(out.proxy, &kOutputListener, self);
    self->outputs_.push_back(out);
  }
}

void ScreencopyScreen::OnOutputName(void* data, wl_output* output, const char* name) {
  for (Output& out : static_cast<ScreencopyScreen*>(data)->outputs_)
    if (out.proxy == output) out.name = name;
}

bool ScreencopyScreen::Open() {
  const char* shown = options_.display ? options_.display : "$WAYLAND_DISPLAY";
  display_ = wl_display_connect(options_.display);
  if (!display_) {
    LogLine("No Wayland compositor at %s\n", shown);
    return false;
  }
  registry_ = wl_display_get_registry(display_);
  wl_registry_add_listener(registry_, &kRegistryListener, this);
  // The first round trip brings the globals, the second the outputs' names.
  if (wl_display_roundtrip(display_) < 0 || wl_display_roundtrip(display_) < 0) {
    LogLine("The Wayland compositor at %s ended the connection\n", shown);
    return false;
  }
  if (!manager_ || manager_version_ < 2 || !shm_) {
    LogLine("The Wayland compositor at %s offers no zwlr_screencopy_manager_v1 with damage "
            "(version 2)\n", shown);
    return false;
  }
  for (const Output& out : outputs_)
    if (!output_ && (wanted_output_.empty() || out.name == wanted_output_)) output_ = out.proxy;
  if (!output_) {
    LogLine("The Wayland compositor at %s has no output %s\n", shown,
            wanted_output_.empty() ? "at all" : wanted_output_.c_str());
    return false;
  }
  stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stop_fd_ < 0) return false;
  thread_ = std::thread(&ScreencopyScreen::Run, this);

  std::unique_lock<std::mutex> hold(mutex_);
  first_frame_.wait_for(hold, milliseconds(options_.first_frame_timeout_ms),
                        [this] { return have_frame_ || lost_; });
  if (!have_frame_) {
    LogLine("No picture from the Wayland compositor at %s within %d ms\n", shown,
            options_.first_frame_timeout_ms);
    return false;
  }
  return true;
}

void ScreencopyScreen::AskFrame() {
  offer_ = Offer{};
  y_invert_ = false;
  damage_.clear();
  frame_ = zwlr_screencopy_manager_v1_capture_output(manager_, options_.overlay_cursor ? 1 : 0,
                                                     output_);
  zwlr_screencopy_frame_v1_add_listener(frame_, &kFrameListener, this);
}

void ScreencopyScreen::Copy() {
  if (!frame_) return;
  ShmBuffer& back = buffers_[back_];
  if (!offer_.usable) {
    if (!offer_refused_logged_)
      LogLine("The Wayland compositor offers no shared-memory format we read (0x%08x)\n",
              offer_.format);
    offer_refused_logged_ = true;
    FrameFailed();
    return;
  }
  if (!back.Fits(offer_) && !back.Make(shm_, offer_)) {
    LogLine("No shared memory for a %dx%d screen picture\n", offer_.width, offer_.height);
    FrameFailed();
    return;
  }
  zwlr_screencopy_frame_v1_copy_with_damage(frame_, back.buffer);
}

void ScreencopyScreen::FrameReady() {
  zwlr_screencopy_frame_v1_destroy(frame_);
  frame_ = nullptr;
  failures_ = 0;
  ShmBuffer& fresh = buffers_[back_];
  const ShmBuffer& before = buffers_[1 - back_];  // only read here, as Capture does
  fresh.y_invert = y_invert_;
  const bool comparable = have_frame_ && SameShape(fresh, before);
  std::vector<Rect> changed;
  const Rect all{0, 0, fresh.shape.width, fresh.shape.height};
  for (const Rect& d : damage_) {
    const Rect r = Intersection(d, all);
    if (r.IsEmpty()) continue;
    if (comparable) AddChangedTiles(fresh, before, r, &changed);
    else changed.push_back(r);
  }
  // Damage without a changed pixel (a scanned-out client) lets the pace slow down to a
  // few frames a second; the first real change brings it back.
  quiet_frames_ = comparable && changed.empty() ? std::min(quiet_frames_ + 1, 3) : 0;
  next_frame_at_ = Clock::now() + milliseconds(options_.min_frame_interval_ms << quiet_frames_);
  {
    std::lock_guard<std::mutex> hold(mutex_);
    back_ = 1 - back_;
    have_frame_ = true;
  }
  first_frame_.notify_all();
  // Told only now: whoever captures a reported area finds it in the picture already.
  if (!sink_.damage) return;
  for (Rect r : changed) {
    if (y_invert_) r = Rect{r.left, all.bottom - r.bottom, r.right, all.bottom - r.top};
    sink_.damage(r);
  }
}

void ScreencopyScreen::FrameFailed() {
  zwlr_screencopy_frame_v1_destroy(frame_);
  frame_ = nullptr;
  // The output may be changing its mode; the next offer has the new size. Back off so that
  // a compositor that keeps refusing costs nothing.
  if (failures_ == 0) LogLine("The Wayland compositor refused a screen picture; asking again\n");
  failures_ = std::min(failures_ + 1, 10);
  next_frame_at_ = Clock::now() + milliseconds(100 * failures_);
}

void ScreencopyScreen::Lost(const char* why) {
  LogLine("Wayland screen capture ended: %s\n", why);
  {
    std::lock_guard<std::mutex> hold(mutex_);
    lost_ = true;
  }
  first_frame_.notify_all();
}

void ScreencopyScreen::Run() {
  const int fd = wl_display_get_fd(display_);
  for (;;) {
    if (!frame_ && Clock::now() >= next_frame_at_) AskFrame();
    while (wl_display_prepare_read(display_) != 0) {
      if (wl_display_dispatch_pending(display_) < 0) return Lost("protocol error");
    }
    if (wl_display_flush(display_) < 0 && errno != EAGAIN) {
      wl_display_cancel_read(display_);
      return Lost("the compositor closed the connection");
    }
    int timeout = -1;
    if (!frame_) {
      const auto left = std::chrono::duration_cast<milliseconds>(next_frame_at_ - Clock::now());
      timeout = static_cast<int>(std::max<int64_t>(0, left.count()));
    }
    pollfd p[2] = {{fd, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    const int n = poll(p, 2, timeout);
    if (n < 0 && errno != EINTR) {
      wl_display_cancel_read(display_);
      return Lost("poll failed");
    }
    if (n > 0 && p[1].revents) {
      wl_display_cancel_read(display_);
      return;
    }
    if (n > 0 && p[0].revents) {
      if (wl_display_read_events(display_) < 0)
        return Lost("the compositor closed the connection");
    } else {
      wl_display_cancel_read(display_);
    }
    if (wl_display_dispatch_pending(display_) < 0) return Lost("protocol error");
  }
}

bool ScreencopyScreen::Capture(const Rect& r, uint8_t* out, std::size_t stride) {
  if (r.IsEmpty()) return true;
  std::lock_guard<std::mutex> hold(mutex_);
  if (lost_ || !have_frame_) return false;
  const ShmBuffer& f = buffers_[1 - back_];
  const std::size_t rows = static_cast<std::size_t>(r.Height());
  const Rect on = Intersection(r, Rect{0, 0, f.shape.width, f.shape.height});
  const bool partial = on != r;
  if (partial) std::memset(out, 0, rows * stride);
  if (on.IsEmpty()) return true;
  const bool swap = LayoutOf(f.shape.format) == Layout::kRgbx;
  const std::size_t n = static_cast<std::size_t>(on.Width());
  uint8_t* dst = out + static_cast<std::size_t>(on.top - r.top) * stride +
                 static_cast<std::size_t>(on.left - r.left) * 4;
  for (int32_t y = on.top; y < on.bottom; ++y, dst += stride) {
    const int32_t row = f.y_invert ? f.shape.height - 1 - y : y;
    const uint8_t* src = f.data + static_cast<std::size_t>(row) * static_cast<std::size_t>(f.shape.stride) +
                         static_cast<std::size_t>(on.left) * 4;
    uint8_t* d = dst;
    for (std::size_t i = 0; i < n; ++i, src += 4, d += 4) {
      d[0] = swap ? src[2] : src[0];
      d[1] = src[1];
      d[2] = swap ? src[0] : src[2];
      d[3] = 0;
    }
    if (!partial && stride > n * 4) std::memset(dst + n * 4, 0, stride - n * 4);
  }
  return true;
}

}  // namespace

std::unique_ptr<ScreenSource> OpenScreencopyScreen(const ScreencopyOptions& options,
                                                   ScreenChangeSink sink) {
  auto screen = std::make_unique<ScreencopyScreen>(options, std::move(sink));
  if (!screen->Open()) return nullptr;
  return screen;
}
