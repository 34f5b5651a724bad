// The sampler, the compression pool and the sender on a 1920x1080x24 Xvfb screen, sending over
// a veth pair (MTU 1500) into a second network namespace:
//  1. a full refresh of text-like and photo-like content at MaxDatagram 1472 and 65507,
//     unpaced, at the default level: the time until its last datagram has gone, sent nowhere
//     (everything but the network) and onto the veth; the main thread's part of it; the
//     datagrams and bytes; and the floor, the same captures and one compression call per block
//     sent on the same cores, nothing else;
//  2. a photo refresh paced at the default MaxRate, ticking every 200 ms as the timer does;
//  3. a client drawing photo-like patches faster than MaxRate allows: the longest tick and
//     the longest hand-over of the main thread;
//  4. the stream key's cost: the same full refreshes at 1472, onto the veth, with and
//     without a sealer on the sender, alternating; CPU of the whole process (sampler,
//     workers, sealing, sending), datagrams and bytes on the wire. `engine_bench key` runs
//     this part alone.
// Medians of kBenchRuns runs (of 5 for 2). Refuses to run outside a private network namespace
// (run it through tests/netns-run).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "Common/StreamKey.h"
#include "Common/UpdateHeader.h"
#include "bench/BenchContent.h"
#include "bench/BenchSupport.h"
#include "platform/Region.h"
#include "platform/Screen.h"
#include "server/CompressPool.h"
#include "server/Sampler.h"
#include "server/Sender.h"
#include "server/ServerState.h"
#include "tests/support/NetTopology.h"
#include "tests/support/ScreenContent.h"
#include "tests/support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kW = 1920, kH = 1080;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The photo refresh at the default MaxRate, the screen timer's 200 ms between ticks.
void PacedRefresh(BenchSender& out) {
  g_max_datagram = 1472;
  g_max_rate = 50000;
  Sender& sender = out.sender();
  sender.Configure(g_max_rate, 1472);
  sender.SetSource(SamplerPool());
  SetSamplerOutput(&sender);
  std::vector<double> seconds, longest_tick, ticks_v;
  for (int i = 0; i < 5; ++i) {
    AllowRefreshNow();
    g_full_refresh = 1;
    const auto t0 = Clock::now();
    double longest = 0;
    int ticks = 0;
    auto next = t0;
    for (bool more = false;; ++ticks) {
      if (!more) {
        std::this_thread::sleep_until(next);
        next += std::chrono::milliseconds(200);
      }
      const auto k0 = Clock::now();
      more = ScreenTick();
      longest = std::max(longest, Seconds(Clock::now() - k0));
      std::lock_guard<std::mutex> hold(*g_mutex);
      if (!more && g_dirty_region->Empty() && SamplerPool()->Pending() == 0) break;
    }
    seconds.push_back(Seconds(out.Settle() - t0));
    longest_tick.push_back(longest);
    ticks_v.push_back(ticks);
  }
  SetSamplerOutput(nullptr);
  sender.SetSource(nullptr);
  const auto c = sender.counters();
  std::printf("photo 1472 paced at 50000 kbit/s: on the wire in %.0f ms over %.0f ticks, "
              "longest tick %.1f ms (medians of 5); this sender so far: %llu datagrams in %llu "
              "system calls\n", Median(seconds) * 1e3, Median(ticks_v), Median(longest_tick) * 1e3,
              static_cast<unsigned long long>(c.datagrams), static_cast<unsigned long long>(c.batches));
}

// A client drawing 200x150 photo-like patches every 10 ms (about 12 MB/s of pixels) for 4 s,
// the screen timer ticking every 200 ms at the default MaxRate.
void DrawingClient(BenchSender& out, const std::string& display) {
  g_max_datagram = 1472;
  g_max_rate = 50000;
  Sender& sender = out.sender();
  sender.Configure(g_max_rate, 1472);
  sender.SetSource(SamplerPool());
  SetSamplerOutput(&sender);
  testsupport::PatchPainter client(display, 200, 150, 3);
  std::vector<double> ticks, handovers;
  std::size_t most_pending = 0;
  const auto start = Clock::now();
  auto next_tick = start;
  while (Clock::now() - start < std::chrono::seconds(4)) {
    int px, py;
    client.Paint(kW, kH, &px, &py);
    {
      std::lock_guard<std::mutex> hold(*g_mutex);
      g_dirty_region->Union(Rect{px, py, px + 200, py + 150});
    }
    if (Clock::now() >= next_tick) {
      EnableSamplerTimes(true);
      for (bool more = true; more;) {  // a tick that used its time goes on at once
        const auto t0 = Clock::now();
        more = ScreenTick();
        ticks.push_back(Seconds(Clock::now() - t0));
        most_pending = std::max(most_pending, SamplerPool()->Pending());
      }
      EnableSamplerTimes(false);
      handovers.push_back(TakeSamplerTimes().send_s);
      next_tick += std::chrono::milliseconds(200);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::printf("client drawing ~12 MB/s for 4 s at 50000 kbit/s: %zu ticks, longest %.1f ms, "
              "median %.1f ms; longest hand-over within a tick %.2f ms; at most %zu jobs in the "
              "pool\n",
              ticks.size(), *std::max_element(ticks.begin(), ticks.end()) * 1e3, Median(ticks) * 1e3,
              *std::max_element(handovers.begin(), handovers.end()) * 1e3, most_pending);
  out.Settle();
  SetSamplerOutput(nullptr);
  sender.SetSource(nullptr);
}

// Full refreshes at MaxDatagram 1472, unpaced, onto the veth, without and with a stream key
// in turn.
void KeyCost(const char* name, BenchSender& out) {
  g_max_datagram = 1472;
  Sender& sender = out.sender();
  sender.Configure(0, 1472);
  sender.SetSource(SamplerPool());
  SetSamplerOutput(&sender);
  uint8_t raw[kStreamKeyBytes];
  for (std::size_t i = 0; i < sizeof raw; ++i) raw[i] = static_cast<uint8_t>(i * 7 + 1);
  StreamKey key;
  key.SetRaw(raw);
  StreamSealer sealer(std::move(key), NewSessionNumber());
  std::vector<double> cpu[2], datagrams[2], wire[2];
  for (int i = 0; i < kBenchRuns + 1; ++i) {
    for (int keyed = 0; keyed < 2; ++keyed) {
      sender.SetSealer(keyed ? &sealer : nullptr);
      AllowRefreshNow();
      g_full_refresh = 1;
      const Sender::Counters before = sender.counters();
      const double cpu0 = ProcessCpuSeconds();
      while (ScreenTick()) {
      }
      out.Settle();
      if (i == 0) continue;  // warm-up
      cpu[keyed].push_back(ProcessCpuSeconds() - cpu0);
      const Sender::Counters after = sender.counters();
      datagrams[keyed].push_back(static_cast<double>(after.datagrams - before.datagrams));
      wire[keyed].push_back(static_cast<double>(after.wire_bytes - before.wire_bytes));
    }
  }
  sender.SetSealer(nullptr);
  SetSamplerOutput(nullptr);
  sender.SetSource(nullptr);
  for (int keyed = 0; keyed < 2; ++keyed)
    std::printf("%-5s 1472 %s: %5.0f datagrams, %8.0f bytes on the wire (%.1f a datagram), "
                "process CPU %6.1f ms a refresh\n", name, keyed ? "key   " : "no key",
                Median(datagrams[keyed]), Median(wire[keyed]),
                Median(wire[keyed]) / Median(datagrams[keyed]), Median(cpu[keyed]) * 1e3);
  std::printf("%-5s 1472 the key adds %+.1f %% datagrams, %+.1f %% bytes, %+.1f ms CPU "
              "(%+.1f %%)\n", name, 100 * (Median(datagrams[1]) / Median(datagrams[0]) - 1),
              100 * (Median(wire[1]) / Median(wire[0]) - 1),
              (Median(cpu[1]) - Median(cpu[0])) * 1e3, 100 * (Median(cpu[1]) / Median(cpu[0]) - 1));
}

}  // namespace

int main(int argc, char** argv) {
  const bool key_only = argc > 1 && std::strcmp(argv[1], "key") == 0;
  if (!testsupport::InPrivateNetwork()) {
    std::fprintf(stderr, "engine_bench multicasts: run it through tests/netns-run\n");
    return 2;
  }
  // The datagrams leave through a veth pair into a namespace of their own, as on Ethernet.
  testsupport::ServerLink link(false);
  if (!link.ok()) {
    std::fprintf(stderr, "no veth pair: %s\n", link.error().c_str());
    return 1;
  }
  testsupport::Xvfb x(kW, kH, 24);
  if (!x.ok()) {
    std::fprintf(stderr, "no Xvfb\n");
    return 1;
  }
  setenv("DISPLAY", x.display().c_str(), 1);
  ScreenSource* screen = OpenServerScreen();
  if (!screen || !SetUpServerState(kW, kH)) return 1;
  g_refresh_cycle = 0;
  // The compression pool is made here, as varno makes it at start.
  std::printf("compression pool: %d workers\n", SamplerPool()->workers());
  BenchSender nowhere(false), wire(true);
  PrintMachine();
  std::printf("1920x1080 at %d bpp, level %d, medians of %d runs; veth, MTU 1500\n",
              screen->BitsPerPixel(), g_compression_level, kBenchRuns);
  const struct {
    BenchContent content;
    const char* name;
  } contents[] = {{BenchContent::kText, "text"}, {BenchContent::kPhoto, "photo"}};
  for (const auto& c : contents) {
    if (!DrawBenchContent(x.display(), c.content, kW, kH)) return 1;
    for (int m : {1472, 65507}) {
      if (key_only) break;
      g_max_datagram = m;
      char name[64];
      std::snprintf(name, sizeof name, "%s %d", c.name, m);
      std::printf("%s, not sent:\n", name);
      ReportRefresh("", MeasureFullRefresh(*screen, kW, kH, nowhere));
      std::printf("%s, onto the veth:\n", name);
      ReportRefresh("", MeasureFullRefresh(*screen, kW, kH, wire));
    }
    KeyCost(c.name, wire);
  }
  if (key_only) return 0;
  PacedRefresh(wire);
  DrawingClient(wire, x.display());
  PrintMachine();
  return 0;
}
