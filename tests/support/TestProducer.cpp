// orvane-test-producer: a PipeWire video source for tests, standing in for a compositor's
// screen cast. It drives its own node and sends a frame only when told to, so every frame's
// pixels, damage and cursor metadata are known to the test.
//
//   orvane-test-producer WIDTH HEIGHT [--damage] [--cursor] [--rgbx]
//
// --damage and --cursor offer SPA_META_VideoDamage and SPA_META_Cursor; --rgbx sends R, G,
// B, x instead of B, G, R, x. Commands on stdin, one a line:
//   pattern SEED           the whole picture becomes the test pattern of SEED
//   image PATH             the whole picture from a file of WIDTH x HEIGHT 32-bit words,
//                          0xRRGGBB each, in this machine's byte order
//   fill X Y W H RRGGBB    a rectangle of one colour
//   damage X Y W H         a damage region for the next frame (with --damage; none given:
//                          the whole picture)
//   cursor X Y             the pointer position sent from the next frame on (with --cursor)
//   frame                  sends the picture; answers "frame N T" once it is queued, T the
//                          time then (CLOCK_MONOTONIC, nanoseconds)
// A newly linked consumer is sent the picture at once ("resent").
//   quit
// stdout: "node ID" once the stream can be linked, then one line per frame; "error TEXT".
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/Pattern.h"

namespace {

struct Region {
  int x, y, w, h;
};

struct Producer {
  pw_main_loop* loop = nullptr;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  int width = 0, height = 0;
  bool damage_meta = false, cursor_meta = false, rgbx = false;
  std::vector<uint32_t> picture;  // 0xRRGGBB
  std::vector<Region> damage;
  bool have_cursor = false;
  int cursor_x = 0, cursor_y = 0;
  int wanted = 0, sent = 0;  // frames asked for and sent
  // A consumer was linked: it gets the picture at once, as a compositor's cast sends one.
  bool fresh = false;
  bool streaming = false;
  bool announced = false;
  std::string line;
};

constexpr int kCursorMetaSize =
    static_cast<int>(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + 64 * 64 * 4;

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fflush(stdout);
}

void Fill(Producer* p) {
  pw_buffer* b = pw_stream_dequeue_buffer(p->stream);
  if (!b) return;  // the consumer holds them all; the next process call tries again
  spa_buffer* buffer = b->buffer;
  spa_data& d = buffer->datas[0];
  const int stride = p->width * 4;
  if (!d.data || d.maxsize < static_cast<uint32_t>(stride * p->height)) {
    Say("error buffer too small\n");
    pw_stream_queue_buffer(p->stream, b);
    return;
  }
  auto* out = static_cast<uint8_t*>(d.data);
  for (int i = 0; i < p->width * p->height; ++i) {
    const uint32_t c = p->picture[static_cast<std::size_t>(i)];
    const uint8_t r = c >> 16, g = (c >> 8) & 0xFF, bl = c & 0xFF;
    out[i * 4 + 0] = p->rgbx ? r : bl;
    out[i * 4 + 1] = g;
    out[i * 4 + 2] = p->rgbx ? bl : r;
    out[i * 4 + 3] = 0xFF;
  }
  d.chunk->offset = 0;
  d.chunk->size = static_cast<uint32_t>(stride * p->height);
  d.chunk->stride = stride;
  d.chunk->flags = 0;
  if (spa_meta* m = spa_buffer_find_meta(buffer, SPA_META_VideoDamage)) {
    std::vector<Region> regions = p->damage;
    if (regions.empty()) regions.push_back(Region{0, 0, p->width, p->height});
    const std::size_t room = m->size / sizeof(spa_meta_region);
    auto* r = static_cast<spa_meta_region*>(m->data);
    std::size_t i = 0;
    for (; i < regions.size() && i < room; ++i)
      r[i].region = SPA_REGION(regions[i].x, regions[i].y, static_cast<uint32_t>(regions[i].w),
                               static_cast<uint32_t>(regions[i].h));
    if (i < room) r[i].region = SPA_REGION(0, 0, 0, 0);  // the end of the list
  }
  if (auto* c = static_cast<spa_meta_cursor*>(
          spa_buffer_find_meta_data(buffer, SPA_META_Cursor, sizeof(spa_meta_cursor)))) {
    c->id = p->have_cursor ? 1 : 0;
    c->flags = 0;
    c->position.x = p->cursor_x;
    c->position.y = p->cursor_y;
    c->hotspot.x = c->hotspot.y = 0;
    c->bitmap_offset = 0;
  }
  pw_stream_queue_buffer(p->stream, b);
  p->damage.clear();
  p->fresh = false;
  if (p->sent < p->wanted) {
    ++p->sent;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    Say("frame %d %lld\n", p->sent,
        static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
  } else {
    Say("resent\n");
  }
}

void OnProcess(void* data) {
  auto* p = static_cast<Producer*>(data);
  if (p->sent < p->wanted || p->fresh) Fill(p);
}

void OnStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
  auto* p = static_cast<Producer*>(data);
  if (state == PW_STREAM_STATE_ERROR) Say("error %s\n", error ? error : "stream");
  if ((state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) && !p->announced) {
    p->announced = true;
    Say("node %u\n", pw_stream_get_node_id(p->stream));
  }
  // Streaming again after a pause: a consumer was linked.
  if (state == PW_STREAM_STATE_STREAMING && !p->streaming) p->fresh = true;
  p->streaming = state == PW_STREAM_STATE_STREAMING;
  Say("state %s\n", pw_stream_state_as_string(state));
}

// Buffers are made for each new link: the consumer behind it has seen nothing yet.
void OnAddBuffer(void* data, pw_buffer*) { static_cast<Producer*>(data)->fresh = true; }

// Frames wait for a linked consumer; this looks for one every 20 ms.
void OnTimer(void* data, uint64_t) {
  auto* p = static_cast<Producer*>(data);
  if (p->streaming && (p->sent < p->wanted || p->fresh)) pw_stream_trigger_process(p->stream);
}

void OnParamChanged(void* data, uint32_t id, const spa_pod* param) {
  auto* p = static_cast<Producer*>(data);
  if (id != SPA_PARAM_Format || !param) return;
  p->fresh = true;
  uint8_t storage[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_pod* params[4];
  uint32_t n = 0;
  params[n++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
      SPA_PARAM_BUFFERS_size, SPA_POD_Int(p->width * p->height * 4), SPA_PARAM_BUFFERS_stride,
      SPA_POD_Int(p->width * 4), SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
  params[n++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
      SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
      SPA_POD_Int(static_cast<int>(sizeof(spa_meta_header)))));
  if (p->damage_meta)
    params[n++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
        SPA_POD_Int(static_cast<int>(sizeof(spa_meta_region) * 16))));
  if (p->cursor_meta)
    params[n++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size, SPA_POD_Int(kCursorMetaSize)));
  pw_stream_update_params(p->stream, params, n);
}

bool Command(Producer* p, const std::string& text) {
  std::istringstream in(text);
  std::string verb;
  in >> verb;
  if (verb == "pattern") {
    uint32_t seed = 0;
    in >> seed;
    for (int y = 0; y < p->height; ++y)
      for (int x = 0; x < p->width; ++x)
        p->picture[static_cast<std::size_t>(y * p->width + x)] =
            testsupport::PatternPixel(x, y, seed);
  } else if (verb == "image") {
    std::string path;
    in >> path;
    FILE* f = std::fopen(path.c_str(), "rb");
    const std::size_t n = f ? std::fread(p->picture.data(), 4, p->picture.size(), f) : 0;
    if (f) std::fclose(f);
    if (n != p->picture.size()) Say("error cannot read %s\n", path.c_str());
  } else if (verb == "fill") {
    int x = 0, y = 0, w = 0, h = 0;
    std::string hex;
    in >> x >> y >> w >> h >> hex;
    const uint32_t rgb = static_cast<uint32_t>(std::strtoul(hex.c_str(), nullptr, 16));
    for (int row = std::max(y, 0); row < std::min(y + h, p->height); ++row)
      for (int col = std::max(x, 0); col < std::min(x + w, p->width); ++col)
        p->picture[static_cast<std::size_t>(row * p->width + col)] = rgb;
  } else if (verb == "damage") {
    Region r{};
    in >> r.x >> r.y >> r.w >> r.h;
    p->damage.push_back(r);
  } else if (verb == "cursor") {
    in >> p->cursor_x >> p->cursor_y;
    p->have_cursor = true;
  } else if (verb == "frame") {
    ++p->wanted;
    pw_stream_trigger_process(p->stream);
  } else if (verb == "quit") {
    return false;
  } else if (!verb.empty()) {
    Say("error unknown command %s\n", verb.c_str());
  }
  return true;
}

void OnInput(void* data, int fd, uint32_t) {
  auto* p = static_cast<Producer*>(data);
  char buffer[4096];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n <= 0) {
    pw_main_loop_quit(p->loop);
    return;
  }
  p->line.append(buffer, static_cast<std::size_t>(n));
  for (std::size_t end; (end = p->line.find('\n')) != std::string::npos;) {
    const std::string one = p->line.substr(0, end);
    p->line.erase(0, end + 1);
    if (!Command(p, one)) pw_main_loop_quit(p->loop);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: orvane-test-producer WIDTH HEIGHT [--damage] [--cursor] [--rgbx]\n");
    return 2;
  }
  Producer p;
  p.width = std::atoi(argv[1]);
  p.height = std::atoi(argv[2]);
  for (int i = 3; i < argc; ++i) {
    p.damage_meta |= std::strcmp(argv[i], "--damage") == 0;
    p.cursor_meta |= std::strcmp(argv[i], "--cursor") == 0;
    p.rgbx |= std::strcmp(argv[i], "--rgbx") == 0;
  }
  if (p.width <= 0 || p.height <= 0) return 2;
  p.picture.assign(static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height), 0);

  pw_init(&argc, &argv);
  p.loop = pw_main_loop_new(nullptr);
  pw_loop* loop = pw_main_loop_get_loop(p.loop);
  pw_loop_add_io(loop, STDIN_FILENO, SPA_IO_IN, false, OnInput, &p);
  static const pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = OnStateChanged;
    e.param_changed = OnParamChanged;
    e.process = OnProcess;
    e.add_buffer = OnAddBuffer;
    return e;
  }();
  p.stream = pw_stream_new_simple(
      loop, "orvane-test-producer",
      pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_TYPE, "Video",
                        PW_KEY_MEDIA_CATEGORY, "Source", PW_KEY_MEDIA_ROLE, "Screen", nullptr),
      &events, &p);
  uint8_t storage[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_rectangle size{static_cast<uint32_t>(p.width), static_cast<uint32_t>(p.height)};
  const spa_fraction rate{0, 1};
  const spa_pod* params[1] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
      SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
      SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_Id(p.rgbx ? SPA_VIDEO_FORMAT_RGBx : SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size,
      SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)))};
  spa_source* timer = pw_loop_add_timer(loop, OnTimer, &p);
  timespec period{0, 20 * 1000 * 1000};
  pw_loop_update_timer(loop, timer, &period, &period, false);
  if (pw_stream_connect(p.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER |
                                                     PW_STREAM_FLAG_MAP_BUFFERS),
                        params, 1) < 0) {
    Say("error cannot connect the stream\n");
    return 1;
  }
  pw_main_loop_run(p.loop);
  pw_stream_destroy(p.stream);
  pw_main_loop_destroy(p.loop);
  pw_deinit();
  return 0;
}
