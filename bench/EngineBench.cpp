// The sampler and the sending stage on a 1920x1080x24 Xvfb screen, sending over a veth pair
// (MTU 1500) into a second network namespace:
//  1. a full refresh of text-like and photo-like content at MaxDatagram 1472 and 65507,
//     unpaced: main-thread time split into capture, cutting and compression, and hand-over;
//     datagrams and bytes; the time until the last datagram left; and the floor, the same
//     capture and one compression call per block sent, nothing else;
//  2. a photo refresh paced at the default MaxRate, ticking every 200 ms as the timer does;
//  3. a client drawing photo-like patches faster than MaxRate allows: the longest tick and
//     the longest hand-over of the main thread;
//  4. the stream key's cost: the same full refreshes with and without a sealer on the
//     sender, alternating; CPU of the whole process (sampler, sealing, sending), datagrams
//     and bytes on the wire. `engine_bench key` runs this part alone.
// Medians of several runs. Refuses to run outside a private network namespace (run it
// through tests/netns-run).
#include <time.h>

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
#include "server/Sampler.h"
#include "server/Sender.h"
#include "server/ServerState.h"
#include "tests/support/NetTopology.h"
#include "tests/support/ScreenContent.h"
#include "tests/support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kW = 1920, kH = 1080, kRuns = 7;  // fewer than kBenchRuns: each run sends

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }


// Hands everything to the server's sender and notes the rectangles of the blocks.
class Recorder : public DatagramOutput {
 public:
  explicit Recorder(Sender* s) : sender_(s) {}
  std::size_t Room() override { return sender_->Room(); }
  bool PushBlock(DatagramBytes d) override {
    UpdateHeader h;
    DecodeUpdateHeader(d.data(), d.size(), h);
    if (record) blocks.push_back(Rect{h.left, h.top, h.right, h.bottom});
    return sender_->PushBlock(std::move(d));
  }
  void Flush() override { sender_->Flush(); }
  void PushControl(DatagramBytes d) override { sender_->PushControl(std::move(d)); }
  std::size_t TrailerBytes() override { return sender_->TrailerBytes(); }
  bool record = false;
  std::vector<Rect> blocks;

 private:
  Sender* sender_;
};

void Settle(Sender* sender) {
  while (!sender->Drained()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Ticks as the tray's timers do (a tick that used its time budget goes on at once, others
// wait for the period) until the whole area went to the sender; the main thread's time.
double FullRefresh(int* ticks, std::chrono::milliseconds period, double* longest = nullptr,
                   double* cpu = nullptr) {
  g_full_refresh = 1;
  double total = 0;
  const double cpu0 = ThreadCpuSeconds();
  *ticks = 0;
  auto next = Clock::now();
  for (bool more = false;;) {
    if (!more) {
      std::this_thread::sleep_until(next);
      next += period;
    }
    const auto t0 = Clock::now();
    more = ScreenTick();
    const double t = Seconds(Clock::now() - t0);
    total += t;
    if (longest) *longest = std::max(*longest, t);
    ++*ticks;
    std::lock_guard<std::mutex> hold(*g_mutex);
    if (!more && g_dirty_region->Empty() && !g_full_refresh.load()) break;
  }
  if (cpu) *cpu = ThreadCpuSeconds() - cpu0;
  return total;
}

struct Result {
  double total, capture, compress, handover, wire, floor;
  double cpu, floor_cpu;
  double datagrams, bytes, misses, deflated, ticks;
};

Result Measure(ScreenSource& screen, Sender* sender, int max_datagram) {
  g_max_datagram = max_datagram;
  g_max_rate = 0;
  ApplySendSettings();
  Recorder out(sender);
  SetSamplerOutput(&out);
  int ticks = 0;
  out.record = true;
  FullRefresh(&ticks, std::chrono::milliseconds(0));  // warm-up; it also records the blocks
  out.record = false;
  Settle(sender);
  std::vector<double> total, capture, compress, handover, wire, floor, cpu, floor_cpu, datagrams,
      bytes, misses, deflated, tick_counts;
  for (int i = 0; i < kRuns; ++i) {
    // Refreshes and floors alternate, so that the load of a shared machine weighs on both.
    ResetSampler();
    EnableSamplerTimes(true);
    const auto t0 = Clock::now();
    double c = 0;
    total.push_back(FullRefresh(&ticks, std::chrono::milliseconds(0), nullptr, &c));
    cpu.push_back(c);
    Settle(sender);
    wire.push_back(Seconds(Clock::now() - t0));
    EnableSamplerTimes(false);
    const SamplerTimes t = TakeSamplerTimes();
    capture.push_back(t.capture_s);
    compress.push_back(t.compress_s);
    handover.push_back(t.send_s);
    datagrams.push_back(static_cast<double>(t.datagrams));
    bytes.push_back(static_cast<double>(t.bytes));
    misses.push_back(static_cast<double>(t.misses));
    deflated.push_back(static_cast<double>(t.deflated_in) / (4.0 * kW * kH));
    tick_counts.push_back(ticks);
    floor.push_back(MeasureFloor(screen, out.blocks, kW, kH, nullptr, nullptr, &c));
    floor_cpu.push_back(c);
  }
  SetSamplerOutput(nullptr);
  return Result{Median(total), Median(capture), Median(compress), Median(handover), Median(wire),
                Median(floor), Median(cpu), Median(floor_cpu), Median(datagrams), Median(bytes),
                Median(misses), Median(deflated), Median(tick_counts)};
}

void Report(const char* name, int max_datagram, const Result& r) {
  std::printf("%-5s %5d: refresh %6.1f ms main thread (capture %5.1f, cut+compress %6.1f, "
              "hand-over %5.1f) in %.0f tick(s), on the wire after %6.1f ms | %5.0f datagrams "
              "%8.0f bytes | compressed %.3f times, %.0f misses | floor %6.1f ms | ratio %.3f "
              "(CPU %.1f / %.1f ms: %.3f)\n",
              name, max_datagram, r.total * 1e3, r.capture * 1e3, r.compress * 1e3,
              r.handover * 1e3, r.ticks, r.wire * 1e3, r.datagrams, r.bytes, r.deflated, r.misses,
              r.floor * 1e3, r.total / r.floor, r.cpu * 1e3, r.floor_cpu * 1e3, r.cpu / r.floor_cpu);
}

// The photo refresh at the default MaxRate, the screen timer's 200 ms between ticks.
void PacedRefresh(Sender* sender) {
  g_max_datagram = 1472;
  g_max_rate = 50000;
  ApplySendSettings();
  SetSamplerOutput(sender);
  std::vector<double> seconds, longest_tick, ticks_v;
  for (int i = 0; i < 5; ++i) {
    ResetSampler();
    EnableSamplerTimes(true);
    const auto t0 = Clock::now();
    double longest = 0;
    int ticks = 0;
    FullRefresh(&ticks, std::chrono::milliseconds(200), &longest);
    Settle(sender);
    seconds.push_back(Seconds(Clock::now() - t0));
    EnableSamplerTimes(false);
    TakeSamplerTimes();
    longest_tick.push_back(longest);
    ticks_v.push_back(ticks);
  }
  SetSamplerOutput(nullptr);
  const auto c = sender->counters();
  std::printf("photo 1472 paced at 50000 kbit/s: on the wire in %.0f ms over %.0f ticks, "
              "longest tick %.1f ms (medians of 5); sender so far: %llu datagrams in %llu "
              "system calls\n", Median(seconds) * 1e3, Median(ticks_v), Median(longest_tick) * 1e3,
              static_cast<unsigned long long>(c.datagrams), static_cast<unsigned long long>(c.batches));
}

// A client drawing 200x150 photo-like patches every 10 ms (about 12 MB/s of pixels) for 4 s,
// the screen timer ticking every 200 ms at the default MaxRate.
void DrawingClient(Sender* sender, const std::string& display) {
  g_max_datagram = 1472;
  g_max_rate = 50000;
  ApplySendSettings();
  SetSamplerOutput(sender);
  ResetSampler();
  testsupport::PatchPainter client(display, 200, 150, 3);
  std::vector<double> ticks, handovers;
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
      }
      EnableSamplerTimes(false);
      handovers.push_back(TakeSamplerTimes().send_s);
      next_tick += std::chrono::milliseconds(200);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  SetSamplerOutput(nullptr);
  std::printf("client drawing ~12 MB/s for 4 s at 50000 kbit/s: %zu ticks, longest %.1f ms, "
              "median %.1f ms; longest hand-over within a tick %.2f ms; queue %zu of %zu bytes\n",
              ticks.size(), *std::max_element(ticks.begin(), ticks.end()) * 1e3, Median(ticks) * 1e3,
              *std::max_element(handovers.begin(), handovers.end()) * 1e3,
              sender->queue().QueuedBytes(), sender->queue().capacity());
  Settle(sender);
}

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Full refreshes at MaxDatagram 1472, unpaced, without and with a stream key in turn.
void KeyCost(const char* name, Sender* sender) {
  g_max_datagram = 1472;
  g_max_rate = 0;
  ApplySendSettings();
  SetSamplerOutput(sender);
  uint8_t raw[kStreamKeyBytes];
  for (std::size_t i = 0; i < sizeof raw; ++i) raw[i] = static_cast<uint8_t>(i * 7 + 1);
  StreamKey key;
  key.SetRaw(raw);
  StreamSealer sealer(std::move(key), NewSessionNumber());
  std::vector<double> cpu[2], datagrams[2], wire[2];
  for (int i = 0; i < kRuns + 1; ++i) {
    for (int keyed = 0; keyed < 2; ++keyed) {
      sender->SetSealer(keyed ? &sealer : nullptr);
      ResetSampler();
      const Sender::Counters before = sender->counters();
      const double cpu0 = ProcessCpuSeconds();
      int ticks = 0;
      FullRefresh(&ticks, std::chrono::milliseconds(0));
      Settle(sender);
      if (i == 0) continue;  // warm-up
      cpu[keyed].push_back(ProcessCpuSeconds() - cpu0);
      const Sender::Counters after = sender->counters();
      datagrams[keyed].push_back(static_cast<double>(after.datagrams - before.datagrams));
      wire[keyed].push_back(static_cast<double>(after.wire_bytes - before.wire_bytes));
    }
  }
  sender->SetSealer(nullptr);
  SetSamplerOutput(nullptr);
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
  Sender* sender = ServerSender();
  PrintMachine();
  std::printf("1920x1080 at %d bpp, level %d, medians of %d runs; veth, MTU 1500\n",
              screen->BitsPerPixel(), g_compression_level, kRuns);
  if (!DrawBenchContent(x.display(), BenchContent::kText, kW, kH)) return 1;
  if (!key_only)
    for (int m : {1472, 65507}) Report("text", m, Measure(*screen, sender, m));
  KeyCost("text", sender);
  if (!DrawBenchContent(x.display(), BenchContent::kPhoto, kW, kH)) return 1;
  if (!key_only)
    for (int m : {1472, 65507}) Report("photo", m, Measure(*screen, sender, m));
  KeyCost("photo", sender);
  if (key_only) return 0;
  PacedRefresh(sender);
  DrawingClient(sender, x.display());
  return 0;
}
