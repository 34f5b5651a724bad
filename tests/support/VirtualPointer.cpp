#include "tests/support/VirtualPointer.h"

#include <wayland-client.h>

#include <cstring>

#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace testsupport {

struct VirtualPointer::Impl {
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_seat* seat = nullptr;
  zwlr_virtual_pointer_manager_v1* manager = nullptr;
  zwlr_virtual_pointer_v1* pointer = nullptr;
  int width = 0, height = 0;
  uint32_t time = 0;

  static void Global(void* data, wl_registry* r, uint32_t id, const char* interface, uint32_t) {
    auto* self = static_cast<Impl*>(data);
    if (std::strcmp(interface, wl_seat_interface.name) == 0 && !self->seat)
      self->seat = static_cast<wl_seat*>(wl_registry_bind(r, id, &wl_seat_interface, 1));
    if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0)
      self->manager = static_cast<zwlr_virtual_pointer_manager_v1*>(
          wl_registry_bind(r, id, &zwlr_virtual_pointer_manager_v1_interface, 1));
  }
  static void GlobalRemove(void*, wl_registry*, uint32_t) {}
};

VirtualPointer::VirtualPointer(const std::string& socket, int width, int height)
    : impl_(std::make_unique<Impl>()) {
  static const wl_registry_listener listener = {Impl::Global, Impl::GlobalRemove};
  impl_->width = width;
  impl_->height = height;
  impl_->display = wl_display_connect(socket.c_str());
  if (!impl_->display) return;
  impl_->registry = wl_display_get_registry(impl_->display);
  wl_registry_add_listener(impl_->registry, &listener, impl_.get());
  if (wl_display_roundtrip(impl_->display) < 0 || !impl_->manager) return;
  impl_->pointer =
      zwlr_virtual_pointer_manager_v1_create_virtual_pointer(impl_->manager, impl_->seat);
  wl_display_roundtrip(impl_->display);
}

VirtualPointer::~VirtualPointer() {
  if (impl_->pointer) zwlr_virtual_pointer_v1_destroy(impl_->pointer);
  if (impl_->manager) zwlr_virtual_pointer_manager_v1_destroy(impl_->manager);
  if (impl_->seat) wl_seat_destroy(impl_->seat);
  if (impl_->registry) wl_registry_destroy(impl_->registry);
  if (impl_->display) wl_display_disconnect(impl_->display);
}

bool VirtualPointer::ok() const { return impl_->pointer != nullptr; }

bool VirtualPointer::MoveTo(int x, int y) {
  if (!ok()) return false;
  impl_->time += 10;
  zwlr_virtual_pointer_v1_motion_absolute(impl_->pointer, impl_->time, static_cast<uint32_t>(x),
                                          static_cast<uint32_t>(y),
                                          static_cast<uint32_t>(impl_->width),
                                          static_cast<uint32_t>(impl_->height));
  zwlr_virtual_pointer_v1_frame(impl_->pointer);
  return wl_display_roundtrip(impl_->display) >= 0;
}

}  // namespace testsupport
