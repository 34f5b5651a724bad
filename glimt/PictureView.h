#pragma once
// The picture as the window shows it. "smooth" (the default): when the window is smaller than
// the picture along either axis, a window-sized copy reduced with a smooth kernel (Scaler) that
// follows the picture's changes and is painted one to one. Otherwise, and always with "fast",
// the picture itself stretched by nearest neighbour. At 1:1 both are an exact copy.
#include <QImage>
#include <QSize>

#include "glimt/Scaler.h"
#include "platform/ViewerDisplay.h"

class QPainter;

enum class ScaleQuality { kSmooth, kFast };

// The viewer's ScaleQuality in Parameters (REG_SZ): "fast" in any case gives kFast; anything
// else, or no value, the default kSmooth.
ScaleQuality ReadScaleQuality();

// The picture's format for a display: the one whose pixels have the display's layout, so that
// blocks of a server at the same depth are copied unchanged.
QImage::Format PictureFormat(const DisplayFormat& display);
// The layout of a picture format's pixels (bits_per_pixel 0 for formats the decoder cannot
// write).
PixelLayout LayoutOf(QImage::Format format);

class PictureView {
 public:
  void set_quality(ScaleQuality quality) { quality_ = quality; }
  ScaleQuality quality() const { return quality_; }

  // A rectangle of the picture was drawn (picture pixels).
  void PictureChanged(const AreaRect& r);
  // Paints the picture over (0, 0, client): rescales what changed since the last paint when
  // the reduced copy is in use, then draws; the painter clips to the region being repainted.
  void Paint(QPainter& painter, const QImage& picture, QSize client);

 private:
  bool Reduces(const QImage& picture, QSize client) const;

  ScaleQuality quality_ = ScaleQuality::kSmooth;
  Scaler scaler_;
  QImage reduced_;
  QSize picture_size_;
};
