#pragma once
// The viewer's one window: the picture stretched over the client area, framed or frameless
// on top of the whole screen (on Wayland: in the compositor's full-screen state), with the
// server's pointer drawn over it where the local pointer cannot follow. Lives on the window
// thread; the receive thread reads its state through WindowState and asks for placement,
// repaints and the arrow's moves through queued calls.
#include <QImage>
#include <QWidget>
#include <cstdint>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "glimt/Decode.h"
#include "glimt/Invalidation.h"
#include "glimt/PictureView.h"
#include "glimt/PointerArrow.h"
#include "glimt/WindowSystem.h"

class QPainter;

// What the receive thread may know of the window, kept current by the window thread.
struct WindowState {
  std::atomic<bool> created{false};
  std::atomic<bool> placed{false};
  std::atomic<bool> shown{false};      // mapped, not minimised, exposed
  std::atomic<bool> stopping{false};   // the program is ending: no more calls into the GUI
  std::atomic<int> client_width{0}, client_height{0};
  std::atomic<int> origin_x{0}, origin_y{0};  // client (0, 0) on the screen

  // Before the first placement a created window counts as shown, so that the first
  // UPDATE_AREA (which places it) is not dropped.
  bool AcceptsDatagrams() const { return placed ? shown.load() : created.load(); }
};

class ViewerWindow : public QWidget {
  Q_OBJECT
 public:
  ViewerWindow();
  // Makes the native window, unmapped; false when the platform refused it. rules say what
  // the window system lets the window do (placement, pointer).
  bool Create(bool fullscreen, const WindowSystemRules& rules);

  WindowState& state() { return state_; }
  // Receive thread: place the window from the area and the desktop, and wait until the window
  // thread has done it (or the program is ending). Returns false when it was not done.
  bool PlaceFromReceiveThread(const AreaRect& area, const AreaRect& desktop);
  // Receive thread: repaint a client rectangle. Rectangles that arrive before the window
  // thread gets to them are merged and handed over in one call.
  void InvalidateFromReceiveThread(const AreaRect& r);
  // Receive thread: the server's pointer is at (x, y) of its screen; the arrow follows it.
  // Positions that arrive before the window thread gets to them are replaced by the latest.
  void PointerFromReceiveThread(int32_t x, int32_t y);
  // Receive thread: an UPDATE_AREA arrived; the server's depth is learnt afresh.
  void AreaAnnounced() { area_announced_ = true; }
  // Start-up: "smooth" or "fast" reduction (ScaleQuality).
  void SetScaleQuality(ScaleQuality quality) { view_.set_quality(quality); }
  // Window thread, at exit: release a receive thread that waits for a placement.
  void Stop();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void changeEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Place(const AreaRect& area, const AreaRect& desktop);
  void UpdateState();
  void RepaintPending();
  void MovePointerArrow();
  void DrawPointerArrow(QPainter& painter);
  void Repaint(const AreaRect& r);
  void DecodeQueuedBlocks();
  void NoteServerDepth(int bits_per_pixel);

  WindowState state_;
  bool fullscreen_ = false;
  WindowSystemRules rules_;
  bool awaiting_expose_ = false;
  QRect last_client_;
  std::mutex place_mutex_;
  std::condition_variable place_done_;
  bool placement_done_ = false;

  PendingRepaints pending_;
  std::atomic<bool> area_announced_{false};
  std::unique_ptr<BlockDecoder> decoder_;  // made at the first paint, for the picture's layout
  PictureView view_;
  PointerArrow arrow_;
  QImage arrow_image_;
  std::atomic<uint64_t> pointer_at_{0};      // the latest server position, x high, y low
  std::atomic<bool> pointer_posted_{false};  // a MovePointerArrow call is on its way
  unsigned depths_noted_ = 0;  // bit per server depth / 8 already written to the log
};
