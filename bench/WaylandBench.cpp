// The Wayland screen sources beside the X11 one, on the same 1920x1080 pictures (text-like and
// photo-like, drawn on Xvfb, then shown by a Wayland client on headless sway and sent by a
// PipeWire producer):
//   - one full refresh, split into capture, compression and sending, against the floor;
//   - frame to datagrams: from a change (a 256x128 fill the compositor has shown, or a frame
//     the producer has queued) to the source's damage report, and from there through one
//     screen tick to the datagrams sent.
// Multicasts, so it refuses to run outside a private network namespace (run it through
// tests/netns-run). Medians; a timing, never a pass or a fail.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchContent.h"
#include "bench/BenchSupport.h"
#include "platform/PipeWireScreen.h"
#include "platform/Region.h"
#include "platform/Screen.h"
#include "platform/ScreenCopy.h"
#include "server/Sampler.h"
#include "server/ServerState.h"
#include "server/Tracker.h"
#include "tests/support/ScreenCast.h"
#include "tests/support/Sway.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WaylandPainter.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kW = 1920, kH = 1080;
constexpr int kFillW = 256, kFillH = 128;

// Where the last damage report arrived; fed by the source's thread.
std::atomic<int64_t> g_damage_ns{0};

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// The tracker's sink (damage into g_dirty_region), noting when damage came.
ScreenChangeSink TimedSink() {
  ScreenChangeSink tracker = TrackerSink();
  return ScreenChangeSink{[tracker](const Rect& r) {
                            tracker.damage(r);
                            g_damage_ns.store(Now());
                          },
                          tracker.pointer_changed};
}

std::vector<uint32_t> Picture(ScreenSource& x11) {
  std::vector<uint8_t> bgr0(static_cast<std::size_t>(kW) * kH * 4);
  x11.Capture(Rect{0, 0, kW, kH}, bgr0.data(), static_cast<std::size_t>(kW) * 4);
  std::vector<uint32_t> rgb(static_cast<std::size_t>(kW) * kH);
  for (std::size_t i = 0; i < rgb.size(); ++i)
    rgb[i] = (uint32_t{bgr0[i * 4 + 2]} << 16) | (uint32_t{bgr0[i * 4 + 1]} << 8) | bgr0[i * 4];
  return rgb;
}

struct Latency {
  std::vector<double> to_damage, tick;
  std::size_t datagrams = 0;
};

// One change: change() makes it and returns when it was made (steady clock, ns); then wait
// for the damage after it and send what it dirtied with one tick.
bool OneChange(const std::function<int64_t()>& change, Latency* out) {
  {
    std::lock_guard<std::mutex> hold(*g_mutex);
    g_dirty_region->Clear();
  }
  const int64_t before = g_damage_ns.load();
  const int64_t t0 = change();
  if (t0 <= 0) return false;
  const auto limit = Clock::now() + std::chrono::seconds(3);
  while (g_damage_ns.load() == before && Clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  const int64_t t1 = g_damage_ns.load();
  if (t1 == before) return false;
  std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the rest of this frame's damage
  EnableSamplerTimes(true);
  const auto t2 = Clock::now();
  ScreenTick();
  while (!ServerSender()->Drained()) std::this_thread::sleep_for(std::chrono::microseconds(50));
  const double tick = std::chrono::duration<double>(Clock::now() - t2).count();
  EnableSamplerTimes(false);
  out->datagrams = TakeSamplerTimes().datagrams;
  out->to_damage.push_back(static_cast<double>(t1 - t0) * 1e-9);
  out->tick.push_back(tick);
  return true;
}

void ReportLatency(const char* name, const Latency& l) {
  if (l.to_damage.empty()) {
    std::printf("%-22s frame to datagrams: no damage arrived\n", name);
    return;
  }
  const double d = Median(l.to_damage), t = Median(l.tick);
  std::printf("%-22s frame to datagrams %7.2f ms (change to damage %6.2f, tick %6.2f; %zu "
              "datagrams for a %dx%d fill)\n",
              name, (d + t) * 1e3, d * 1e3, t * 1e3, l.datagrams, kFillW, kFillH);
}

}  // namespace

int main() {
  if (!testsupport::InPrivateNetwork()) {
    std::fprintf(stderr, "wayland_bench multicasts: run it through tests/netns-run\n");
    return 2;
  }
  testsupport::Xvfb x(kW, kH, 24);
  testsupport::SwaySession sway({kW, kH, /*bar=*/false, /*pipewire=*/true});
  if (!x.ok() || !sway.ok()) {
    std::fprintf(stderr, "no Xvfb or no sway: %s\n", sway.error().c_str());
    return 1;
  }
  sway.EnterEnvironment();
  std::unique_ptr<ScreenSource> x11 = OpenX11Screen(x.display().c_str());
  if (!x11) return 1;
  if (!SetUpServerState(kW, kH)) return 1;
  // A change's way to the wire alone: no healing slices beside it.
  g_refresh_cycle = 0;
  ApplySendSettings();
  StartScreenTracking();

  // A tiled window covering the output: composited, so sway reports exactly what it drew.
  testsupport::WaylandPainter painter(sway.wayland_socket(), kW, kH, /*full_screen=*/false);
  ScreencopyOptions so;
  so.display = sway.wayland_socket().c_str();
  std::unique_ptr<ScreenSource> screencopy = OpenScreencopyScreen(so, TimedSink());
  testsupport::TestProducer with_damage(sway, kW, kH, {"--damage"});
  testsupport::TestProducer without_damage(sway, kW, kH);
  if (!painter.ok() || !screencopy || !with_damage.ok() || !without_damage.ok()) return 1;
  with_damage.Frame(false);
  without_damage.Frame(false);
  PipeWireStreamOptions po;
  po.node = with_damage.node();
  std::unique_ptr<ScreenSource> stream_damage = OpenPipeWireScreen(po, TimedSink());
  po.node = without_damage.node();
  std::unique_ptr<ScreenSource> stream_plain = OpenPipeWireScreen(po, TimedSink());
  if (!stream_damage || !stream_plain) return 1;

  BenchSender nowhere(false);  // full refreshes: everything but the network
  PrintMachine();
  std::printf("1920x1080, level %d, medians of %d runs\n", g_compression_level, kBenchRuns);
  const struct { BenchContent content; const char* name; } contents[] = {
      {BenchContent::kText, "text"}, {BenchContent::kPhoto, "photo"}};
  for (const auto& c : contents) {
    if (!DrawBenchContent(x.display(), c.content, kW, kH)) return 1;
    const std::vector<uint32_t> picture = Picture(*x11);
    painter.Image(picture);
    with_damage.Image(picture);
    with_damage.Frame();
    without_damage.Image(picture);
    without_damage.Frame();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::printf("-- %s\n", c.name);
    ReportRefresh("x11", MeasureFullRefresh(*x11, kW, kH, nowhere));
    ReportRefresh("screencopy", MeasureFullRefresh(*screencopy, kW, kH, nowhere));
    ReportRefresh("pipewire", MeasureFullRefresh(*stream_damage, kW, kH, nowhere));

    Latency sc, pw_damage, pw_plain;
    for (int i = 0; i < kBenchRuns; ++i) {
      const int fx = 100 + (i % 5) * 300, fy = 100 + (i % 3) * 300;
      const uint32_t colour = 0x204060u + static_cast<uint32_t>(i) * 0x030507u;
      SetSamplerScreen(screencopy.get());
      // From the moment the compositor has shown the change (Fill returns after its frame).
      OneChange([&] { return painter.Fill(fx, fy, kFillW, kFillH, colour) ? Now() : 0; }, &sc);
      for (auto* p : {&with_damage, &without_damage}) {
        SetSamplerScreen(p == &with_damage ? stream_damage.get() : stream_plain.get());
        OneChange([&] {
          p->Fill(fx, fy, kFillW, kFillH, colour);
          p->Damage(fx, fy, kFillW, kFillH);
          // The producer's own clock reading when it queued the frame: CLOCK_MONOTONIC, as
          // steady_clock's.
          return p->Frame() ? p->last_frame_time() : 0;
        }, p == &with_damage ? &pw_damage : &pw_plain);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(60));  // screencopy asks every 50 ms
    }
    SetSamplerScreen(nullptr);
    ReportLatency("screencopy", sc);
    ReportLatency("pipewire, damage meta", pw_damage);
    ReportLatency("pipewire, no meta", pw_plain);
  }
  return 0;
}
