#pragma once
// Client rectangles that the receive thread asked to repaint and the window thread has not
// taken yet. A burst of blocks (a photo refresh is thousands) becomes a few rectangles and one
// call into the window thread instead of one per block. No X11 or Qt here.
#include <mutex>
#include <vector>

#include "glimt/Decode.h"

class PendingRepaints {
 public:
  // Few enough that far-apart changes (a clock, a caret) stay apart; beyond that everything is
  // merged into one bounding rectangle.
  static constexpr std::size_t kMaxRects = 8;

  // Adds a rectangle, merged into the first one it overlaps or touches. True when the list was
  // empty before: the caller then asks the window thread to Take it.
  bool Add(const AreaRect& r);
  std::vector<AreaRect> Take();

 private:
  std::mutex mutex_;
  std::vector<AreaRect> rects_;
};
