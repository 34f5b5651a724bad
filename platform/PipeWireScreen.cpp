#include "platform/PipeWireScreen.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/utils/result.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/PixelLayout.h"
#include "platform/TileCompare.h"

namespace {

// The video formats we read; others are refused.
PixelLayout LayoutOf(uint32_t format) {
  switch (format) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
      return PixelLayout::kBgrx;
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
      return PixelLayout::kRgbx;
    default:
      return PixelLayout::kNone;
  }
}

// The largest side a stream may have: larger than any monitor, and small enough that a
// picture's byte count cannot overflow.
constexpr int32_t kMaxSide = 16384;

// Room for a cursor of w x h pixels in the cursor metadata.
constexpr int CursorMetaSize(int w, int h) {
  return static_cast<int>(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + w * h * 4;
}

// A picture in the wire's layout: B, G, R, 0, rows of width * 4 bytes.
struct Picture {
  int32_t width = 0, height = 0;
  std::vector<uint8_t> pixels;
  std::size_t stride() const { return static_cast<std::size_t>(width) * 4; }
  void Reset(int32_t w, int32_t h) {
    width = w;
    height = h;
    pixels.assign(stride() * static_cast<std::size_t>(h), 0);
  }
};

class PipeWireScreen final : public ScreenSource {
 public:
  PipeWireScreen(const PipeWireStreamOptions& o, ScreenChangeSink sink)
      : options_(o), sink_(std::move(sink)) {
    pw_init(nullptr, nullptr);
  }

  ~PipeWireScreen() override {
    if (loop_) pw_thread_loop_stop(loop_);
    // Our own disconnection is no loss to report.
    if (stream_) spa_hook_remove(&stream_listener_);
    if (stream_) pw_stream_destroy(stream_);
    if (core_) pw_core_disconnect(core_);
    if (context_) pw_context_destroy(context_);
    if (loop_) pw_thread_loop_destroy(loop_);
    if (options_.remote_fd >= 0 && !fd_taken_) close(options_.remote_fd);
    pw_deinit();
  }

  bool Open();

  Rect ClipBox() override {
    std::lock_guard<std::mutex> hold(mutex_);
    return Rect{0, 0, picture_.width, picture_.height};
  }
  int BitsPerPixel() override { return 32; }
  bool Capture(const Rect& r, uint8_t* out, std::size_t stride) override;
  bool PointerPosition(int32_t* x, int32_t* y) override {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!have_pointer_) return false;
    *x = pointer_x_;
    *y = pointer_y_;
    return true;
  }
  bool ReportsChanges() const override { return true; }

 private:
  // PipeWire thread.
  void Process();
  void TakeFormat(const spa_pod* param);
  bool TakePointer(spa_buffer* buffer);
  void Update(const spa_buffer* buffer, const std::vector<Rect>* declared);
  void Lost(const char* why);

  static const pw_stream_events kStreamEvents;
  static const pw_core_events kCoreEvents;

  const PipeWireStreamOptions options_;
  const ScreenChangeSink sink_;
  bool fd_taken_ = false;

  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  spa_hook core_listener_{};
  spa_hook stream_listener_{};

  // PipeWire thread only: the negotiated format and the newest frame.
  PixelLayout layout_ = PixelLayout::kNone;
  int32_t width_ = 0, height_ = 0;
  Picture scratch_;

  // Shared with the caller's thread. picture_ is written on the PipeWire thread under
  // mutex_, and read there without it (nobody else writes it).
  std::mutex mutex_;
  std::condition_variable first_frame_;
  Picture picture_;
  bool have_frame_ = false;
  bool lost_ = false;
  bool have_pointer_ = false;
  int32_t pointer_x_ = 0, pointer_y_ = 0;
};

const pw_core_events PipeWireScreen::kCoreEvents = [] {
  pw_core_events e{};
  e.version = PW_VERSION_CORE_EVENTS;
  e.error = [](void* data, uint32_t id, int, int res, const char* message) {
    // Errors of other objects (a link the session manager tried) do not end the stream.
    if (id == PW_ID_CORE) {
      static_cast<PipeWireScreen*>(data)->Lost(message ? message : spa_strerror(res));
    }
  };
  return e;
}();

const pw_stream_events PipeWireScreen::kStreamEvents = [] {
  pw_stream_events e{};
  e.version = PW_VERSION_STREAM_EVENTS;
  e.state_changed = [](void* data, pw_stream_state old, pw_stream_state state,
                       const char* error) {
    auto* self = static_cast<PipeWireScreen*>(data);
    if (state == PW_STREAM_STATE_ERROR) self->Lost(error ? error : "stream error");
    // The node went away: the portal's session ended or its producer stopped.
    if (state == PW_STREAM_STATE_UNCONNECTED && old != PW_STREAM_STATE_UNCONNECTED)
      self->Lost("the stream was disconnected");
  };
  e.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
    if (id == SPA_PARAM_Format && param) static_cast<PipeWireScreen*>(data)->TakeFormat(param);
  };
  e.process = [](void* data) { static_cast<PipeWireScreen*>(data)->Process(); };
  return e;
}();

bool PipeWireScreen::Open() {
  loop_ = pw_thread_loop_new("orvane-pipewire", nullptr);
  if (!loop_) {
    Note(options_.note, "PipeWire: cannot make a thread loop");
    return false;
  }
  context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
  if (!context_ || pw_thread_loop_start(loop_) < 0) {
    Note(options_.note, "PipeWire: cannot start a thread loop");
    return false;
  }
  pw_thread_loop_lock(loop_);
  if (options_.remote_fd >= 0) {
    fd_taken_ = true;  // the core closes it from here on
    core_ = pw_context_connect_fd(context_, options_.remote_fd, nullptr, 0);
  } else {
    core_ = pw_context_connect(context_, nullptr, 0);
  }
  if (!core_) {
    pw_thread_loop_unlock(loop_);
    Note(options_.note, "PipeWire: cannot reach the daemon (%s)", std::strerror(errno));
    return false;
  }
  pw_core_add_listener(core_, &core_listener_, &kCoreEvents, this);
  stream_ = pw_stream_new(core_, "orvane-varno",
                          pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                            "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  if (!stream_) {
    pw_thread_loop_unlock(loop_);
    Note(options_.note, "PipeWire: cannot make a stream");
    return false;
  }
  pw_stream_add_listener(stream_, &stream_listener_, &kStreamEvents, this);

  uint8_t storage[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_rectangle preferred{
      static_cast<uint32_t>(options_.width_hint > 0 ? options_.width_hint : 1920),
      static_cast<uint32_t>(options_.height_hint > 0 ? options_.height_hint : 1080)};
  const spa_rectangle smallest{1, 1}, largest{kMaxSide, kMaxSide};
  const spa_fraction any_rate{0, 1}, top_rate{1000, 1};
  const spa_pod* params[1] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
      SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
      SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                             SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx,
                             SPA_VIDEO_FORMAT_RGBA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&preferred, &smallest, &largest),
      SPA_FORMAT_VIDEO_framerate,
      SPA_POD_CHOICE_RANGE_Fraction(&any_rate, &any_rate, &top_rate)))};
  const int res = pw_stream_connect(
      stream_, PW_DIRECTION_INPUT, options_.node,
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                   PW_STREAM_FLAG_DONT_RECONNECT),
      params, 1);
  pw_thread_loop_unlock(loop_);
  if (res < 0) {
    Note(options_.note, "PipeWire: cannot connect to node %u (%s)", options_.node,
         spa_strerror(res));
    return false;
  }

  std::unique_lock<std::mutex> hold(mutex_);
  first_frame_.wait_for(hold, std::chrono::milliseconds(options_.first_frame_timeout_ms),
                        [this] { return have_frame_ || lost_; });
  if (!have_frame_) {
    Note(options_.note, "No picture from PipeWire node %u within %d ms", options_.node,
         options_.first_frame_timeout_ms);
    return false;
  }
  return true;
}

void PipeWireScreen::TakeFormat(const spa_pod* param) {
  spa_video_info_raw info{};
  if (spa_format_video_raw_parse(param, &info) < 0) return;
  layout_ = LayoutOf(info.format);
  width_ = static_cast<int32_t>(std::min<uint32_t>(info.size.width, kMaxSide));
  height_ = static_cast<int32_t>(std::min<uint32_t>(info.size.height, kMaxSide));
  if (layout_ == PixelLayout::kNone) {
    Note(options_.note, "PipeWire offered video format %u, which we do not read", info.format);
    return;
  }

  // Plain memory only (no DMA-BUF): pixels are read by the CPU anyway. Damage and cursor
  // metadata are asked for; a producer without them sends frames without.
  uint8_t storage[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const int region = static_cast<int>(sizeof(spa_meta_region));
  const spa_pod* params[4] = {
      static_cast<const spa_pod*>(spa_pod_builder_add_object(
          &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
          SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd)))),
      static_cast<const spa_pod*>(spa_pod_builder_add_object(
          &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
          SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
          SPA_POD_Int(static_cast<int>(sizeof(spa_meta_header))))),
      static_cast<const spa_pod*>(spa_pod_builder_add_object(
          &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
          SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
          SPA_POD_CHOICE_RANGE_Int(region * 16, region, region * 16))),
      static_cast<const spa_pod*>(spa_pod_builder_add_object(
          &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
          SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
          SPA_POD_CHOICE_RANGE_Int(CursorMetaSize(64, 64), CursorMetaSize(1, 1),
                                   CursorMetaSize(256, 256))))};
  pw_stream_update_params(stream_, params, 4);
}

// True when the buffer carries a valid cursor position that differs from the last one.
bool PipeWireScreen::TakePointer(spa_buffer* buffer) {
  const auto* cursor = static_cast<const spa_meta_cursor*>(
      spa_buffer_find_meta_data(buffer, SPA_META_Cursor, sizeof(spa_meta_cursor)));
  // id 0: no cursor information in this buffer.
  if (!cursor || !spa_meta_cursor_is_valid(cursor)) return false;
  std::lock_guard<std::mutex> hold(mutex_);
  const bool moved = !have_pointer_ || pointer_x_ != cursor->position.x ||
                     pointer_y_ != cursor->position.y;
  have_pointer_ = true;
  pointer_x_ = cursor->position.x;
  pointer_y_ = cursor->position.y;
  return moved;
}

void PipeWireScreen::Process() {
  // Only the newest picture is copied; the damage of the ones before it is kept, since each
  // buffer holds a whole picture and says what changed since the one before.
  std::vector<Rect> declared;
  bool undeclared = false;  // a picture without damage metadata: compare all of it
  bool pointer_moved = false;
  pw_buffer* newest = nullptr;
  while (pw_buffer* b = pw_stream_dequeue_buffer(stream_)) {
    spa_buffer* buffer = b->buffer;
    pointer_moved |= TakePointer(buffer);
    const spa_data& d = buffer->datas[0];
    const auto* header = static_cast<const spa_meta_header*>(
        spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)));
    // Cursor-only buffers come without a picture.
    const bool picture = buffer->n_datas > 0 && d.data && d.chunk && d.chunk->size > 0 &&
                         !(d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) &&
                         !(header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED));
    if (!picture) {
      pw_stream_queue_buffer(stream_, b);
      continue;
    }
    const std::size_t before = declared.size();
    if (spa_meta* damage = spa_buffer_find_meta(buffer, SPA_META_VideoDamage)) {
      spa_meta_region* r;
      spa_meta_for_each(r, damage) {
        if (!spa_meta_region_is_valid(r)) break;
        const int64_t left = r->region.position.x, top = r->region.position.y;
        const auto clamp = [](int64_t v) {
          return static_cast<int32_t>(std::clamp<int64_t>(v, 0, kMaxSide));
        };
        declared.push_back(Rect{clamp(left), clamp(top), clamp(left + r->region.size.width),
                                clamp(top + r->region.size.height)});
      }
    }
    // Metadata without a single region says nothing: the picture is compared instead.
    if (declared.size() == before) undeclared = true;
    if (newest) pw_stream_queue_buffer(stream_, newest);
    newest = b;
  }
  if (newest) {
    Update(newest->buffer, undeclared ? nullptr : &declared);
    pw_stream_queue_buffer(stream_, newest);
  }
  if (pointer_moved && sink_.pointer_changed) sink_.pointer_changed();
}

void PipeWireScreen::Update(const spa_buffer* buffer, const std::vector<Rect>* declared) {
  if (layout_ == PixelLayout::kNone || width_ <= 0 || height_ <= 0) return;
  const spa_data& d = buffer->datas[0];
  const std::size_t row_bytes = static_cast<std::size_t>(width_) * 4;
  const std::size_t stride = d.chunk->stride > 0 ? static_cast<std::size_t>(d.chunk->stride)
                                                 : row_bytes;
  const std::size_t offset = d.chunk->offset;
  if (stride < row_bytes ||
      offset + stride * static_cast<std::size_t>(height_ - 1) + row_bytes > d.maxsize)
    return;  // a chunk smaller than its format: nothing we could read safely
  const uint8_t* src = static_cast<const uint8_t*>(d.data) + offset;

  const Rect all{0, 0, width_, height_};
  const bool new_shape = scratch_.width != width_ || scratch_.height != height_;
  if (new_shape) scratch_.Reset(width_, height_);
  std::vector<Rect> areas;
  if (new_shape || !declared) {
    areas.push_back(all);
  } else {
    for (const Rect& r : *declared) {
      const Rect on = Intersection(r, all);
      if (!on.IsEmpty()) areas.push_back(on);
    }
  }
  for (const Rect& a : areas)
    for (int32_t y = a.top; y < a.bottom; ++y)
      RowToWire(src + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(a.left) * 4,
                scratch_.pixels.data() + static_cast<std::size_t>(y) * scratch_.stride() +
                    static_cast<std::size_t>(a.left) * 4,
                static_cast<std::size_t>(a.Width()), layout_);

  std::vector<Rect> changed;
  if (new_shape || picture_.width != width_ || picture_.height != height_) {
    changed.push_back(all);
  } else {
    for (const Rect& a : areas)
      AddChangedTiles(scratch_.pixels.data(), picture_.pixels.data(), scratch_.stride(), a,
                      &changed);
  }
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (picture_.width != width_ || picture_.height != height_) picture_.Reset(width_, height_);
    for (const Rect& c : changed)
      for (int32_t y = c.top; y < c.bottom; ++y) {
        const std::size_t at = static_cast<std::size_t>(y) * picture_.stride() +
                               static_cast<std::size_t>(c.left) * 4;
        std::memcpy(picture_.pixels.data() + at, scratch_.pixels.data() + at,
                    static_cast<std::size_t>(c.Width()) * 4);
      }
    have_frame_ = true;
  }
  first_frame_.notify_all();
  // Told only now: whoever captures a reported area finds it in the picture already.
  if (sink_.damage)
    for (const Rect& c : changed) sink_.damage(c);
}

void PipeWireScreen::Lost(const char* why) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (lost_) return;
    lost_ = true;
  }
  Note(options_.note, "Screen capture through PipeWire ended: %s", why);
  first_frame_.notify_all();
}

bool PipeWireScreen::Capture(const Rect& r, uint8_t* out, std::size_t stride) {
  if (r.IsEmpty()) return true;
  std::lock_guard<std::mutex> hold(mutex_);
  if (lost_ || !have_frame_) return false;
  const std::size_t rows = static_cast<std::size_t>(r.Height());
  const Rect on = Intersection(r, Rect{0, 0, picture_.width, picture_.height});
  const bool partial = on != r;
  if (partial) std::memset(out, 0, rows * stride);
  if (on.IsEmpty()) return true;
  const std::size_t n = static_cast<std::size_t>(on.Width()) * 4;
  uint8_t* dst = out + static_cast<std::size_t>(on.top - r.top) * stride +
                 static_cast<std::size_t>(on.left - r.left) * 4;
  for (int32_t y = on.top; y < on.bottom; ++y, dst += stride) {
    std::memcpy(dst, picture_.pixels.data() + static_cast<std::size_t>(y) * picture_.stride() +
                         static_cast<std::size_t>(on.left) * 4,
                n);
    if (!partial && stride > n) std::memset(dst + n, 0, stride - n);
  }
  return true;
}

}  // namespace

std::unique_ptr<ScreenSource> OpenPipeWireScreen(const PipeWireStreamOptions& options,
                                                 ScreenChangeSink sink) {
  auto screen = std::make_unique<PipeWireScreen>(options, std::move(sink));
  if (!screen->Open()) return nullptr;
  return screen;
}
