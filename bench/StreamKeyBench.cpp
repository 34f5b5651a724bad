// What the stream key costs: the key derivation at start, and sealing (server) and checking
// (viewer) every datagram of one full 1920x1080 refresh cut to MaxDatagram 1472, for a
// photo-like screen (about 4,000 datagrams) and a text-like one (about 200). With the key
// each datagram carries 32 bytes less payload, so the same refresh needs more datagrams.
// A plain timing program: no network, nothing to fail. Medians of 21 runs.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Common/StreamKey.h"
#include "Common/UpdateHeader.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kMaxDatagram = 1472;  // 1500 - IP - UDP
constexpr std::size_t kIpUdpBytes = 28;
constexpr int kRuns = 21;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// Medians of wall time and of this thread's CPU time: on a shared machine the CPU time is
// the cost, the wall time also holds the waits for a core.
struct Times {
  double wall_ms, cpu_ms;
};
template <typename F>
Times MedianMs(int runs, F&& f) {
  std::vector<double> wall, cpu;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    const double cpu_start = ThreadCpuMs();
    f();
    cpu.push_back(ThreadCpuMs() - cpu_start);
    wall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return {Median(wall), Median(cpu)};
}

std::string CpuModel() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  return "unknown";
}

// The refresh's compressed bytes cut into datagrams of at most kMaxDatagram bytes, each with
// room for the trailer.
std::vector<std::vector<uint8_t>> Cut(std::size_t compressed, std::size_t payload_budget) {
  std::mt19937 rng(5);
  std::vector<std::vector<uint8_t>> out;
  for (std::size_t left = compressed; left > 0;) {
    const std::size_t n = std::min(left, payload_budget);
    std::vector<uint8_t> d(kUpdateHeaderBytes + n + kStreamTrailerBytes);
    EncodeUpdateHeader(UpdateHeader{UPDATE_BLOCK, static_cast<uint16_t>(n), 0, 0, 1920, 1},
                       d.data());
    for (std::size_t i = 0; i < n; ++i) d[kUpdateHeaderBytes + i] = static_cast<uint8_t>(rng());
    out.push_back(std::move(d));
    left -= n;
  }
  return out;
}

StreamKey Key() {
  const uint8_t raw[kStreamKeyBytes] = {1, 2, 3};
  StreamKey key;
  key.SetRaw(raw);
  return key;
}

void Refresh(const char* name, std::size_t unkeyed_datagrams) {
  const std::size_t plain_budget = kMaxDatagram - kUpdateHeaderBytes;
  const std::size_t keyed_budget = plain_budget - kStreamTrailerBytes;
  const std::size_t compressed = unkeyed_datagrams * plain_budget;
  std::vector<std::vector<uint8_t>> datagrams = Cut(compressed, keyed_budget);
  const std::size_t n = datagrams.size();
  const uint64_t session = NewSessionNumber();

  std::vector<std::size_t> sealed_length(n);
  const Times seal = MedianMs(kRuns, [&] {
    StreamSealer sealer(Key(), session);
    for (std::size_t i = 0; i < n; ++i)
      sealed_length[i] = sealer.Seal(datagrams[i].data(), datagrams[i].size() - kStreamTrailerBytes);
  });
  uint64_t accepted = 0;
  const Times check = MedianMs(kRuns, [&] {
    StreamChecker checker(Key());
    for (std::size_t i = 0; i < n; ++i)
      accepted += checker.Check(datagrams[i].data(), sealed_length[i], 0).verdict ==
                  StreamVerdict::kAccepted;
  });
  if (accepted != n * kRuns) std::printf("  (!) %llu of %zu accepted\n",
                                         static_cast<unsigned long long>(accepted), n * kRuns);
  const double wire_plain = double(unkeyed_datagrams) * kIpUdpBytes + unkeyed_datagrams * 20.0 + compressed;
  const double wire_keyed = double(n) * (kIpUdpBytes + kUpdateHeaderBytes + kStreamTrailerBytes) + compressed;
  std::printf("%-6s %7zu B compressed: %5zu datagrams unkeyed, %5zu keyed (+%.1f %%); bytes in IP "
              "packets %.0f -> %.0f (+%.1f %%)\n",
              name, compressed, unkeyed_datagrams, n,
              100.0 * (double(n) - unkeyed_datagrams) / unkeyed_datagrams, wire_plain, wire_keyed,
              100.0 * (wire_keyed - wire_plain) / wire_plain);
  std::printf("       seal all: CPU %.2f ms (%.2f us each, %.0f MB/s), wall %.2f ms\n",
              seal.cpu_ms, 1000 * seal.cpu_ms / n, compressed / seal.cpu_ms / 1000, seal.wall_ms);
  std::printf("       check all: CPU %.2f ms (%.2f us each), wall %.2f ms\n", check.cpu_ms,
              1000 * check.cpu_ms / n, check.wall_ms);
}

}  // namespace

int main() {
  std::printf("cores %u, %s\n", std::thread::hardware_concurrency(), CpuModel().c_str());
  double load[3] = {0, 0, 0};
  if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3) load[0] = -1;
    std::fclose(f);
  }
  std::printf("load average %.2f (the machine may be shared: medians of %d runs)\n", load[0],
              kRuns);
  std::printf("trailer %zu bytes per datagram: a pointer or area datagram 20 -> %zu bytes, a full "
              "block 1472 -> 1472 with %zu bytes less payload\n",
              kStreamTrailerBytes, 20 + kStreamTrailerBytes, kStreamTrailerBytes);

  const char passphrase[] = "a classroom passphrase";
  bool derived = true;
  const Times kdf = MedianMs(5, [&] {
    StreamKey key;
    derived &= key.Derive(passphrase, sizeof passphrase - 1);
  });
  std::printf("key derivation (Argon2id, 3 passes, 64 MiB): CPU %.0f ms, wall %.0f ms%s\n",
              kdf.cpu_ms, kdf.wall_ms, derived ? "" : " (FAILED)");
  Refresh("photo", 4000);
  Refresh("text", 200);
  return 0;
}
