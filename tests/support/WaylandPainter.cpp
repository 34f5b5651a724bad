#include "tests/support/WaylandPainter.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "xdg-shell-client-protocol.h"

namespace testsupport {

namespace {
using Clock = std::chrono::steady_clock;
constexpr auto kLimit = std::chrono::seconds(5);

struct Buffer {
  wl_buffer* buffer = nullptr;
  uint32_t* pixels = nullptr;
  bool busy = false;
};
}  // namespace

struct WaylandPainter::Impl {
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  xdg_wm_base* wm = nullptr;
  wl_surface* surface = nullptr;
  xdg_surface* xsurface = nullptr;
  xdg_toplevel* toplevel = nullptr;
  int wanted_width = 0, wanted_height = 0;
  bool full_screen = false;
  int width = 0, height = 0;
  bool configured = false;
  std::vector<uint32_t> image;  // 0x00RRGGBB, what the surface should show
  Buffer buffers[2];
  void* memory = MAP_FAILED;
  std::size_t memory_size = 0;
  bool ok = false;

  ~Impl() {
    for (Buffer& b : buffers)
      if (b.buffer) wl_buffer_destroy(b.buffer);
    if (memory != MAP_FAILED) munmap(memory, memory_size);
    if (toplevel) xdg_toplevel_destroy(toplevel);
    if (xsurface) xdg_surface_destroy(xsurface);
    if (surface) wl_surface_destroy(surface);
    if (wm) xdg_wm_base_destroy(wm);
    if (shm) wl_shm_destroy(shm);
    if (compositor) wl_compositor_destroy(compositor);
    if (registry) wl_registry_destroy(registry);
    if (display) wl_display_disconnect(display);
  }

  template <class Pred>
  bool DispatchUntil(Pred done) {
    const auto end = Clock::now() + kLimit;
    const int fd = wl_display_get_fd(display);
    while (!done()) {
      while (wl_display_prepare_read(display) != 0)
        if (wl_display_dispatch_pending(display) < 0) return false;
      wl_display_flush(display);
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      pollfd p{fd, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        wl_display_cancel_read(display);
        return done();
      }
      if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0)
        return false;
    }
    return true;
  }

  bool Start() {
    registry = wl_display_get_registry(display);
    static const wl_registry_listener registry_listener = {
        [](void* data, wl_registry* r, uint32_t id, const char* name, uint32_t version) {
          auto* self = static_cast<Impl*>(data);
          if (std::strcmp(name, wl_compositor_interface.name) == 0 && version >= 4)
            self->compositor = static_cast<wl_compositor*>(
                wl_registry_bind(r, id, &wl_compositor_interface, 4));
          else if (std::strcmp(name, wl_shm_interface.name) == 0)
            self->shm = static_cast<wl_shm*>(wl_registry_bind(r, id, &wl_shm_interface, 1));
          else if (std::strcmp(name, xdg_wm_base_interface.name) == 0)
            self->wm = static_cast<xdg_wm_base*>(wl_registry_bind(r, id, &xdg_wm_base_interface, 1));
        },
        [](void*, wl_registry*, uint32_t) {}};
    wl_registry_add_listener(registry, &registry_listener, this);
    if (wl_display_roundtrip(display) < 0 || !compositor || !shm || !wm) return false;
    static const xdg_wm_base_listener wm_listener = {
        [](void*, xdg_wm_base* wm, uint32_t serial) { xdg_wm_base_pong(wm, serial); }};
    xdg_wm_base_add_listener(wm, &wm_listener, this);

    surface = wl_compositor_create_surface(compositor);
    xsurface = xdg_wm_base_get_xdg_surface(wm, surface);
    toplevel = xdg_surface_get_toplevel(xsurface);
    static const xdg_surface_listener surface_listener = {
        [](void* data, xdg_surface* s, uint32_t serial) {
          xdg_surface_ack_configure(s, serial);
          static_cast<Impl*>(data)->configured = true;
        }};
    static const xdg_toplevel_listener toplevel_listener = {
        [](void* data, xdg_toplevel*, int32_t w, int32_t h, wl_array*) {
          auto* self = static_cast<Impl*>(data);
          // The first size is kept: a later change of the output's mode leaves the picture.
          // sway leaves the first size to the client (0 x 0): the caller's size is taken.
          if (w == 0 || h == 0) {
            w = self->wanted_width;
            h = self->wanted_height;
          }
          if (self->width == 0 && w > 0 && h > 0) {
            self->width = w;
            self->height = h;
          }
        },
        [](void*, xdg_toplevel*) {},
        [](void*, xdg_toplevel*, int32_t, int32_t) {},
        [](void*, xdg_toplevel*, wl_array*) {}};
    xdg_surface_add_listener(xsurface, &surface_listener, this);
    xdg_toplevel_add_listener(toplevel, &toplevel_listener, this);
    xdg_toplevel_set_app_id(toplevel, "orvane-painter");
    if (full_screen) xdg_toplevel_set_fullscreen(toplevel, nullptr);
    wl_surface_commit(surface);
    if (!DispatchUntil([&] { return configured && width > 0; })) return false;

    const std::size_t one = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
    memory_size = 2 * one;
    const int fd = memfd_create("orvane-painter", MFD_CLOEXEC);
    if (fd < 0) return false;
    if (ftruncate(fd, static_cast<off_t>(memory_size)) == 0)
      memory = mmap(nullptr, memory_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
      close(fd);
      return false;
    }
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<int32_t>(memory_size));
    static const wl_buffer_listener buffer_listener = {
        [](void* data, wl_buffer*) { static_cast<Buffer*>(data)->busy = false; }};
    for (int i = 0; i < 2; ++i) {
      buffers[i].buffer = wl_shm_pool_create_buffer(pool, static_cast<int32_t>(i * one), width,
                                                    height, width * 4, WL_SHM_FORMAT_XRGB8888);
      buffers[i].pixels = reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(memory) + i * one);
      wl_buffer_add_listener(buffers[i].buffer, &buffer_listener, &buffers[i]);
    }
    wl_shm_pool_destroy(pool);
    close(fd);
    image.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
    return Show(0, 0, width, height);
  }

  // Attaches the image in a free buffer with damage (x, y, w, h) and waits for the frame.
  bool Show(int x, int y, int w, int h) {
    Buffer* free_buffer = nullptr;
    if (!DispatchUntil([&] {
          for (Buffer& b : buffers)
            if (!b.busy) free_buffer = &b;
          return free_buffer != nullptr;
        }))
      return false;
    std::memcpy(free_buffer->pixels, image.data(), image.size() * 4);
    free_buffer->busy = true;
    bool drawn = false;
    wl_callback* frame = wl_surface_frame(surface);
    static const wl_callback_listener frame_listener = {
        [](void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }};
    wl_callback_add_listener(frame, &frame_listener, &drawn);
    wl_surface_attach(surface, free_buffer->buffer, 0, 0);
    wl_surface_damage_buffer(surface, x, y, w, h);
    wl_surface_commit(surface);
    const bool shown = DispatchUntil([&] { return drawn; });
    wl_callback_destroy(frame);
    return shown;
  }
};

WaylandPainter::WaylandPainter(const std::string& socket, int width, int height,
                               bool full_screen)
    : impl_(std::make_unique<Impl>()) {
  impl_->full_screen = full_screen;
  impl_->wanted_width = width;
  impl_->wanted_height = height;
  impl_->display = wl_display_connect(socket.c_str());
  impl_->ok = impl_->display && impl_->Start();
}

WaylandPainter::~WaylandPainter() = default;

bool WaylandPainter::ok() const { return impl_->ok; }
int WaylandPainter::width() const { return impl_->width; }
int WaylandPainter::height() const { return impl_->height; }

bool WaylandPainter::Fill(int x, int y, int w, int h, uint32_t rgb) {
  if (!impl_->ok) return false;
  for (int row = y; row < y + h && row < impl_->height; ++row)
    for (int col = x; col < x + w && col < impl_->width; ++col)
      if (row >= 0 && col >= 0)
        impl_->image[static_cast<std::size_t>(row) * static_cast<std::size_t>(impl_->width) +
                     static_cast<std::size_t>(col)] = rgb & 0xFFFFFF;
  return impl_->Show(x, y, w, h);
}

bool WaylandPainter::Pattern(uint32_t seed) {
  if (!impl_->ok) return false;
  for (int row = 0; row < impl_->height; ++row)
    for (int col = 0; col < impl_->width; ++col) {
      const uint32_t r = (static_cast<uint32_t>(col) * 7 + seed) & 0xFF;
      const uint32_t g = (static_cast<uint32_t>(row) * 5 + seed * 3) & 0xFF;
      const uint32_t b = (static_cast<uint32_t>(col + row) * 3 + 0x40) & 0xFF;
      impl_->image[static_cast<std::size_t>(row) * static_cast<std::size_t>(impl_->width) +
                   static_cast<std::size_t>(col)] = (r << 16) | (g << 8) | b;
    }
  return impl_->Show(0, 0, impl_->width, impl_->height);
}

}  // namespace testsupport
