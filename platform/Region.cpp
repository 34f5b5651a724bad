#include "platform/Region.h"

#include <pixman.h>

#include <new>

static_assert(sizeof(pixman_region32_t) <= 24, "Region storage too small");
static_assert(alignof(pixman_region32_t) <= 8, "Region storage misaligned");

namespace {
pixman_region32_t* R(unsigned char* s) { return reinterpret_cast<pixman_region32_t*>(s); }
const pixman_region32_t* R(const unsigned char* s) {
  return reinterpret_cast<const pixman_region32_t*>(s);
}
// pixman keeps 32-bit edges; widths beyond int32 cannot occur for Rect.
bool Valid(const Rect& r) { return !r.IsEmpty(); }
}  // namespace

Region::Region() { pixman_region32_init(R(storage_)); }

Region::Region(const Rect& r) {
  if (Valid(r))
    pixman_region32_init_rect(R(storage_), r.left, r.top, static_cast<unsigned>(r.Width()),
                              static_cast<unsigned>(r.Height()));
  else
    pixman_region32_init(R(storage_));
}

Region::Region(const Region& other) {
  pixman_region32_init(R(storage_));
  pixman_region32_copy(R(storage_), const_cast<pixman_region32_t*>(R(other.storage_)));
}

Region& Region::operator=(const Region& other) {
  if (this != &other)
    pixman_region32_copy(R(storage_), const_cast<pixman_region32_t*>(R(other.storage_)));
  return *this;
}

Region::~Region() { pixman_region32_fini(R(storage_)); }

bool Region::Union(const Rect& r) {
  if (!Valid(r)) return true;
  return pixman_region32_union_rect(R(storage_), R(storage_), r.left, r.top,
                                    static_cast<unsigned>(r.Width()),
                                    static_cast<unsigned>(r.Height()));
}

bool Region::Union(const Region& other) {
  return pixman_region32_union(R(storage_), R(storage_),
                               const_cast<pixman_region32_t*>(R(other.storage_)));
}

bool Region::Replace(const Rect& r) {
  pixman_region32_fini(R(storage_));
  if (Valid(r))
    pixman_region32_init_rect(R(storage_), r.left, r.top, static_cast<unsigned>(r.Width()),
                              static_cast<unsigned>(r.Height()));
  else
    pixman_region32_init(R(storage_));
  return true;
}

bool Region::Intersect(const Rect& r) {
  if (!Valid(r)) {
    Clear();
    return true;
  }
  return pixman_region32_intersect_rect(R(storage_), R(storage_), r.left, r.top,
                                        static_cast<unsigned>(r.Width()),
                                        static_cast<unsigned>(r.Height()));
}

void Region::Clear() { pixman_region32_clear(R(storage_)); }

bool Region::TakeRectangles(std::vector<Rect>& out) {
  int n = 0;
  const pixman_box32_t* boxes = pixman_region32_rectangles(R(storage_), &n);
  out.clear();
  // A copy that cannot be made leaves the region for the next attempt.
  try {
    out.reserve(static_cast<std::size_t>(n));
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (int i = 0; i < n; ++i) out.push_back(Rect{boxes[i].x1, boxes[i].y1, boxes[i].x2, boxes[i].y2});
  Clear();
  return true;
}

std::size_t Region::CopyRectangles(Rect* out, std::size_t capacity) const {
  int n = 0;
  const pixman_box32_t* boxes =
      pixman_region32_rectangles(const_cast<pixman_region32_t*>(R(storage_)), &n);
  const std::size_t count = static_cast<std::size_t>(n);
  if (count > capacity) return count;
  for (std::size_t i = 0; i < count; ++i)
    out[i] = Rect{boxes[i].x1, boxes[i].y1, boxes[i].x2, boxes[i].y2};
  return count;
}

std::vector<Rect> Region::Rectangles() const {
  int n = 0;
  const pixman_box32_t* boxes =
      pixman_region32_rectangles(const_cast<pixman_region32_t*>(R(storage_)), &n);
  std::vector<Rect> out;
  out.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) out.push_back(Rect{boxes[i].x1, boxes[i].y1, boxes[i].x2, boxes[i].y2});
  return out;
}

bool Region::Empty() const {
  return !pixman_region32_not_empty(const_cast<pixman_region32_t*>(R(storage_)));
}

std::size_t Region::Count() const {
  return static_cast<std::size_t>(
      pixman_region32_n_rects(const_cast<pixman_region32_t*>(R(storage_))));
}

Rect Region::Extents() const {
  if (Empty()) return Rect{};
  const pixman_box32_t* e = pixman_region32_extents(const_cast<pixman_region32_t*>(R(storage_)));
  return Rect{e->x1, e->y1, e->x2, e->y2};
}

bool Region::Contains(const Rect& r) const {
  if (!Valid(r)) return true;
  pixman_box32_t box{r.left, r.top, r.right, r.bottom};
  return pixman_region32_contains_rectangle(const_cast<pixman_region32_t*>(R(storage_)), &box) ==
         PIXMAN_REGION_IN;
}
