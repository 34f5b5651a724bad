#include "glimt/ViewerWindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QImage>
#include <QKeyEvent>
#include <QPainter>
#include <QWindow>
#include <algorithm>

#include "Common/Log.h"
#include "glimt/glimt.h"
#include "platform/MessageBox.h"
#include "platform/WindowFrame.h"

namespace {

QImage ArrowImage() {
  QImage image(PointerArrow::kWidth, PointerArrow::kHeight, QImage::Format_ARGB32);
  for (int y = 0; y < PointerArrow::kHeight; ++y)
    for (int x = 0; x < PointerArrow::kWidth; ++x) {
      const char c = PointerArrow::kShape[y][x];
      image.setPixel(x, y, c == 'X' ? 0xFF000000u : c == 'o' ? 0xFFFFFFFFu : 0u);
    }
  return image;
}

}  // namespace

ViewerWindow::ViewerWindow() : QWidget(nullptr), arrow_image_(ArrowImage()) {
  setWindowTitle(QStringLiteral("Orvane GLIMT"));
  // The picture covers every pixel: no background fill, no flicker on resize.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
  setCursor(Qt::ArrowCursor);
}

bool ViewerWindow::Create(bool fullscreen, const WindowSystemRules& rules) {
  fullscreen_ = fullscreen;
  rules_ = rules;
  if (fullscreen)
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
  winId();  // the native window, still unmapped: it is mapped at placement
  QWindow* handle = windowHandle();
  if (!handle || !internalWinId()) return false;
  handle->installEventFilter(this);
  state_.created = true;
  return true;
}

bool ViewerWindow::PlaceFromReceiveThread(const AreaRect& area, const AreaRect& desktop) {
  {
    std::lock_guard<std::mutex> hold(place_mutex_);
    if (state_.stopping) return false;
    placement_done_ = false;
  }
  QMetaObject::invokeMethod(this, [this, area, desktop] {
    Place(area, desktop);
    std::lock_guard<std::mutex> hold(place_mutex_);
    placement_done_ = true;
    place_done_.notify_all();
  }, Qt::QueuedConnection);
  // Not a blocking queued call: a window thread that has left its loop would never answer.
  std::unique_lock<std::mutex> wait(place_mutex_);
  place_done_.wait(wait, [this] { return placement_done_ || state_.stopping.load(); });
  return placement_done_;
}

void ViewerWindow::Stop() {
  std::lock_guard<std::mutex> hold(place_mutex_);
  state_.stopping = true;
  place_done_.notify_all();
}

void ViewerWindow::InvalidateFromReceiveThread(const AreaRect& r) {
  if (pending_.Add(r))
    QMetaObject::invokeMethod(this, [this] { RepaintPending(); }, Qt::QueuedConnection);
}

void ViewerWindow::RepaintPending() {
  for (const AreaRect& r : pending_.Take()) Repaint(r);
}

void ViewerWindow::Repaint(const AreaRect& r) {
  if (r.left < r.right && r.top < r.bottom)
    update(QRect(r.left, r.top, r.right - r.left, r.bottom - r.top));
}

void ViewerWindow::PointerFromReceiveThread(int32_t x, int32_t y) {
  pointer_at_ = uint64_t{static_cast<uint32_t>(x)} << 32 | static_cast<uint32_t>(y);
  if (!pointer_posted_.exchange(true))
    QMetaObject::invokeMethod(this, [this] { MovePointerArrow(); }, Qt::QueuedConnection);
}

void ViewerWindow::MovePointerArrow() {
  // Cleared before the position is read: a position stored after this posts a new call.
  pointer_posted_ = false;
  const uint64_t at = pointer_at_;
  const PointerArrow::Repaint r =
      arrow_.MoveTo(g_area, width(), height(), static_cast<int32_t>(at >> 32),
                    static_cast<int32_t>(at & 0xFFFFFFFFu));
  Repaint(r.was);
  Repaint(r.now);
}

void ViewerWindow::Place(const AreaRect& s, const AreaRect& d) {
  if (fullscreen_) {
    setGeometry(d.left, d.top, d.right - d.left, d.bottom - d.top);
    // A Wayland compositor heeds no client geometry: its full-screen state covers the output.
    if (!rules_.places_windows) setWindowState(windowState() | Qt::WindowFullScreen);
  } else {
    // On Wayland the frame, if any, is the compositor's or the toolkit's and the position is
    // the compositor's: only the client size is asked for.
    const FrameExtents e = rules_.places_windows ? QueryFrameExtents(internalWinId())
                                                 : FrameExtents{};
    const int64_t w = int64_t{s.right} - s.left, h = int64_t{s.bottom} - s.top;
    // The outer frame starts at the area's corner; only right and bottom are cut to the desktop.
    int64_t right = s.left + w + e.left + e.right;
    int64_t bottom = s.top + h + e.top + e.bottom;
    if (right >= d.right) right = d.right;
    if (bottom >= d.bottom) bottom = d.bottom;
    const int cw = static_cast<int>(std::max<int64_t>(1, right - s.left - e.left - e.right));
    const int ch = static_cast<int>(std::max<int64_t>(1, bottom - s.top - e.top - e.bottom));
    resize(cw, ch);
    if (rules_.places_windows) move(s.left, s.top);  // a top-level window's position is its frame's
  }
  state_.placed = true;
  awaiting_expose_ = true;
  show();
  raise();
  if (rules_.places_windows) activateWindow();  // Wayland: focus is the compositor's to give
  UpdateState();
}

void ViewerWindow::UpdateState() {
  state_.client_width = width();
  state_.client_height = height();
  const QPoint origin = mapToGlobal(QPoint(0, 0));
  state_.origin_x = origin.x();
  state_.origin_y = origin.y();
  const QWindow* handle = windowHandle();
  const bool exposed = handle && handle->isExposed();
  if (exposed) awaiting_expose_ = false;
  // Between the placement's map request and the server's first expose the window is on its
  // way to the screen: the refresh that its size asked for arrives then and must be kept.
  state_.shown = isVisible() && !isMinimized() && (exposed || awaiting_expose_);
}

void ViewerWindow::paintEvent(QPaintEvent*) {
  if (!g_ready.load(std::memory_order_acquire)) return;
  DecodeQueuedBlocks();
  // The whole client area; Qt clips to the region being repainted.
  QPainter painter(this);
  view_.Paint(painter, *g_picture, size());
  DrawPointerArrow(painter);
}

void ViewerWindow::DrawPointerArrow(QPainter& painter) {
  const AreaRect r = arrow_.Where(g_area, width(), height());
  if (r.left < r.right && r.top < r.bottom) painter.drawImage(QPoint(r.left, r.top), arrow_image_);
}

void ViewerWindow::DecodeQueuedBlocks() {
  if (!decoder_) decoder_ = std::make_unique<BlockDecoder>(LayoutOf(g_picture->format()));
  if (area_announced_.exchange(false)) decoder_->depth().Forget();
  PixelSurface surface{g_picture->bits(), g_picture->width(), g_picture->height(),
                       g_picture->bytesPerLine(), g_picture->depth()};
  int depth = 0;
  DrainBlocks(*g_blocks, [&](uint8_t* datagram) {
    DecodeInfo info;
    decoder_->Decode(surface, g_area, datagram, &info);
    view_.PictureChanged(info.drawn);
    if (info.server_bits_per_pixel) depth = info.server_bits_per_pixel;
  });
  if (depth) NoteServerDepth(depth);
}

void ViewerWindow::NoteServerDepth(int bpp) {
  const unsigned bit = 1u << (bpp / 8);
  if (bpp == g_picture->depth() || (depths_noted_ & bit)) return;
  depths_noted_ |= bit;
  if (bpp != 8) {
    LogLine("The server's display runs at %d bits per pixel, this one at %d: pixels are "
            "converted\n", bpp, g_picture->depth());
    return;
  }
  LogLine("The server's display runs at 8 bits per pixel, whose colours are not sent: its "
          "picture cannot be shown; run it at 16 or 24 bits per pixel\n");
  // Not from inside the paint: the box runs an event loop of its own.
  QMetaObject::invokeMethod(this, [this] {
    ShowMessageBox(this, "Orvane GLIMT",
                   "The server's display runs at 8 bits per pixel (256 colours). Its pixels "
                   "are indexes into a colour table that is not sent, so its picture cannot "
                   "be shown.\n\nRun the server's display at 16 or 24 bits per pixel.",
                   BoxKind::Warning);
  }, Qt::QueuedConnection);
}

void ViewerWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  UpdateState();
  const QRect client = rect();
  if (client.isEmpty() || client == last_client_) return;
  last_client_ = client;
  RequestRefresh();
}

void ViewerWindow::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  UpdateState();
}

void ViewerWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  UpdateState();
}

void ViewerWindow::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  UpdateState();
}

void ViewerWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange) UpdateState();
}

bool ViewerWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == windowHandle() && event->type() == QEvent::Expose)
    QMetaObject::invokeMethod(this, [this] { UpdateState(); }, Qt::QueuedConnection);
  return QWidget::eventFilter(watched, event);
}

void ViewerWindow::keyPressEvent(QKeyEvent* event) {
  // The frameless form has no close box, and the pointer follows the server: Escape is the
  // way out.
  if (fullscreen_ && event->key() == Qt::Key_Escape) {
    close();
    return;
  }
  QWidget::keyPressEvent(event);
}

void ViewerWindow::closeEvent(QCloseEvent* event) {
  Stop();
  event->accept();
  QCoreApplication::quit();
}
