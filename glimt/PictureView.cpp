#include "glimt/PictureView.h"

#include <QPainter>
#include <strings.h>

#include "Common/Registry.h"

ScaleQuality ReadScaleQuality() {
  char value[kRegTextBytes] = "smooth";
  GetSettingString("ScaleQuality", value, "Parameters");
  return strcasecmp(value, "fast") == 0 ? ScaleQuality::kFast : ScaleQuality::kSmooth;
}

QImage::Format PictureFormat(const DisplayFormat& f) {
  switch (f.bits_per_pixel) {
    case 32:
      return f.red_mask == 0xFF && f.blue_mask == 0xFF0000 ? QImage::Format_RGBX8888
                                                           : QImage::Format_RGB32;
    case 24:
      return f.red_mask == 0xFF && f.blue_mask == 0xFF0000 ? QImage::Format_RGB888
                                                           : QImage::Format_BGR888;
    case 16:
      return f.depth == 15 || f.green_mask == 0x03E0 ? QImage::Format_RGB555
                                                     : QImage::Format_RGB16;
    default:
      return QImage::Format_Invalid;
  }
}

PixelLayout LayoutOf(QImage::Format format) {
  // Little-endian pixels: RGBX8888 and RGB888 are stored red first, so red is the low byte.
  switch (format) {
    case QImage::Format_RGB32: return {32, 0xFF0000, 0x00FF00, 0x0000FF};
    case QImage::Format_RGBX8888: return {32, 0x0000FF, 0x00FF00, 0xFF0000};
    case QImage::Format_BGR888: return {24, 0xFF0000, 0x00FF00, 0x0000FF};
    case QImage::Format_RGB888: return {24, 0x0000FF, 0x00FF00, 0xFF0000};
    case QImage::Format_RGB16: return {16, 0xF800, 0x07E0, 0x001F};
    case QImage::Format_RGB555: return {16, 0x7C00, 0x03E0, 0x001F};
    default: return {};
  }
}

namespace {

PixelSurface SurfaceOf(QImage& image) {
  return {image.bits(), image.width(), image.height(), image.bytesPerLine(), image.depth()};
}

}  // namespace

bool PictureView::Reduces(const QImage& picture, QSize client) const {
  return quality_ == ScaleQuality::kSmooth &&
         (client.width() < picture.width() || client.height() < picture.height()) &&
         !client.isEmpty() && LayoutOf(picture.format()).bits_per_pixel != 0;
}

void PictureView::PictureChanged(const AreaRect& r) { scaler_.MarkChanged(r); }

void PictureView::Paint(QPainter& painter, const QImage& picture, QSize client) {
  if (!Reduces(picture, client)) {
    // Changes made meanwhile are not tracked: the copy is rebuilt whole when next needed.
    scaler_.Reset();
    reduced_ = QImage();
    painter.drawImage(QRect(QPoint(0, 0), client), picture);
    return;
  }
  if (!scaler_.configured() || reduced_.size() != client || picture_size_ != picture.size()) {
    reduced_ = QImage(client, QImage::Format_RGB32);
    picture_size_ = picture.size();
    scaler_.Configure(picture.width(), picture.height(), client.width(), client.height());
  }
  // The picture is only read here; constBits keeps a shared QImage from detaching.
  const PixelSurface source{const_cast<uint8_t*>(picture.constBits()), picture.width(),
                            picture.height(), picture.bytesPerLine(), picture.depth()};
  PixelSurface dest = SurfaceOf(reduced_);
  scaler_.Update(source, LayoutOf(picture.format()), dest);
  painter.drawImage(QPoint(0, 0), reduced_);
}
