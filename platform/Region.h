#pragma once
// A set of screen rectangles on pixman's region32 (the pixman header stays in Region.cpp).
// Value class; not thread-safe: the owner guards shared regions (g_mutex for g_dirty_region).
// Operations that allocate return false when memory runs out and leave the region usable.
#include <cstddef>
#include <vector>

#include "platform/Rect.h"

class Region {
 public:
  Region();
  explicit Region(const Rect& r);
  Region(const Region& other);
  Region& operator=(const Region& other);
  ~Region();

  // Adds r (an empty r adds nothing).
  bool Union(const Rect& r);
  bool Union(const Region& other);
  // The region becomes exactly r.
  bool Replace(const Rect& r);
  // Keeps only the part inside r.
  bool Intersect(const Rect& r);
  // Makes the region empty.
  void Clear();
  // Copies every rectangle in banded order (bands top to bottom, left to right within a
  // band) into out (replacing its contents), then empties the region. When the copy cannot be
  // made, returns false and leaves the region as it was.
  bool TakeRectangles(std::vector<Rect>& out);
  // Copies up to capacity rectangles in banded order into out; returns how many the region
  // holds (more than capacity when out was too small; then nothing is copied).
  std::size_t CopyRectangles(Rect* out, std::size_t capacity) const;
  // The rectangles in banded order, without emptying.
  std::vector<Rect> Rectangles() const;

  bool Empty() const;
  std::size_t Count() const;
  Rect Extents() const;  // bounding box; all zero when empty
  bool Contains(const Rect& r) const;  // r lies wholly inside

 private:
  // Storage of one pixman_region32_t (checked in Region.cpp).
  alignas(8) unsigned char storage_[24];
};
