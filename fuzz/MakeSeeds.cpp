// Writes the seed corpora of the fuzz targets into the folder given (fuzz/corpus): update
// datagrams as the server encodes them (header encoder, compress2 of rows padded to 16-bit
// words) at 16 and 32 bpp (and 8, 24), runs of datagrams sealed with the fuzz stream key,
// rendezvous requests, and target/port/integer texts.
#include <zlib.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "Common/StreamKey.h"
#include "Common/UpdateHeader.h"
#include "fuzz/FuzzStreamKey.h"

namespace {
std::string g_root;
int g_written = 0;

bool Write(const std::string& target, const std::string& name, const std::string& bytes) {
  const std::string path = g_root + "/" + target + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::perror(path.c_str());
    return false;
  }
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  ++g_written;
  return true;
}

std::string Header(uint16_t kind, uint16_t length, int l, int t, int r, int b) {
  uint8_t out[kUpdateHeaderBytes];
  EncodeUpdateHeader(UpdateHeader{kind, length, l, t, r, b}, out);
  return std::string(reinterpret_cast<char*>(out), sizeof out);
}

// A block as the server sends it: the rectangle's rows, each padded to 16-bit words.
std::string Block(int bpp, int l, int t, int r, int b, int level = 1) {
  const int64_t s = ScanLineBytes(r - l, bpp);
  std::vector<uint8_t> pixels(static_cast<std::size_t>(s * (b - t)));
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 7 + l);
  uLongf n = compressBound(pixels.size());
  std::vector<uint8_t> z(n);
  compress2(z.data(), &n, pixels.data(), pixels.size(), level);
  return Header(UPDATE_BLOCK, static_cast<uint16_t>(n), l, t, r, b) +
         std::string(reinterpret_cast<char*>(z.data()), n);
}
std::string Le64(uint64_t v) {
  std::string out(8, '\0');
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(v >> (8 * i));
  return out;
}

// A datagram with the trailer of (session, sequence) under the fuzz key.
std::string Sealed(const std::string& datagram, uint64_t session, uint64_t sequence) {
  static const StreamKey key = [] {
    StreamKey k;
    k.SetRaw(kFuzzStreamKey);
    return k;
  }();
  std::string out = datagram + std::string(kStreamTrailerBytes, '\0');
  AppendStreamTrailer(key, reinterpret_cast<uint8_t*>(out.data()), datagram.size(), session,
                      sequence);
  return out;
}

// A keyed record as received, after a clock step of step * 100 ms.
std::string Record(const std::string& bytes, uint8_t step = 0) {
  return std::string{static_cast<char>(bytes.size() & 0xFF), static_cast<char>(bytes.size() >> 8),
                     static_cast<char>(step)} + bytes;
}
// A record that the target seals itself with (session, sequence).
std::string Reseal(const std::string& datagram, uint64_t session, uint64_t sequence,
                   uint8_t step = 0) {
  return Record(datagram, step).insert(3, Le64(session) + Le64(sequence));
}

// Keyed runs at 24 bpp: the stream as a keyed server sends it, then what a keyed viewer must
// drop (forgeries, replays, older sessions) around valid datagrams.
bool WriteKeyedSeeds() {
  const char keyed = 4 | 2, reseal = 8 | 4 | 2;
  const uint64_t s1 = MakeSessionNumber(1700000000000, 1), s0 = MakeSessionNumber(1600000000000, 7);
  const std::string area = Header(UPDATE_AREA, 0, 0, 0, 96, 64);
  const std::string pointer = Header(UPDATE_POINTER, 0, 40, 30, 0, 0);
  const std::string whole = Block(24, 0, 0, 96, 64), odd = Block(24, 3, 5, 16, 9, 9);
  bool ok = true;
  ok &= Write("viewer_datagram", "keyed-stream",
              std::string(1, keyed) + Record(Sealed(area, s1, 0)) + Record(Sealed(pointer, s1, 1)) +
                  Record(Sealed(whole, s1, 2)) + Record(Sealed(odd, s1, 3)));
  ok &= Write("viewer_datagram", "keyed-replay-reorder-loss",
              std::string(1, keyed) + Record(Sealed(area, s1, 0)) + Record(Sealed(odd, s1, 2)) +
                  Record(Sealed(pointer, s1, 1)) + Record(Sealed(odd, s1, 2)) +
                  Record(Sealed(whole, s1, 9)) + Record(Sealed(area, s1, 0)));
  ok &= Write("viewer_datagram", "keyed-sessions",
              std::string(1, keyed) + Record(Sealed(area, s0, 40)) + Record(Sealed(area, s1, 0)) +
                  Record(Sealed(odd, s0, 41)) + Record(Sealed(odd, s0, 42), 120) +
                  Record(Sealed(whole, s1 + 1, 5), 1));
  std::string flipped = Sealed(odd, s1, 1);
  flipped[30] ^= 4;
  std::string cut = Sealed(whole, s1, 2);
  cut.pop_back();
  std::string other_tag = Sealed(pointer, s1, 3);
  other_tag.back() ^= 1;
  ok &= Write("viewer_datagram", "keyed-forged",
              std::string(1, keyed) + Record(Sealed(area, s1, 0)) + Record(pointer) + Record(odd) +
                  Record(flipped) + Record(cut) + Record(other_tag) +
                  Record(Sealed(pointer, s1, 4), 101));
  const std::string largest =
      Header(UPDATE_BLOCK, kMaxDatagramBytes - 52, 0, 0, 1, 1) +
      std::string(kMaxDatagramBytes - 52, 'z');
  ok &= Write("viewer_datagram", "keyed-largest",
              std::string(1, keyed) + Record(Sealed(largest, s1, 0)));
  ok &= Write("viewer_datagram", "resealed-numbers",
              std::string(1, reseal) + Reseal(area, s1, 0) + Reseal(whole, s1, 4096) +
                  Reseal(odd, s1, 1) + Reseal(odd, s1, 2) + Reseal(pointer, s0, 9, 101) +
                  Reseal(pointer, s1 + 1, UINT64_MAX - 1) + Reseal(pointer, s1 + 1, UINT64_MAX - 1));
  return ok;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_make_seeds CORPUS_DIR\n");
    return 2;
  }
  g_root = argv[1];
  bool ok = true;
  // The viewer target's first byte picks the depth: 0 -> 8, 1 -> 16, 2 -> 24, 3 -> 32 bpp.
  const struct { char selector; int bpp; } depths[] = {{1, 16}, {3, 32}, {0, 8}, {2, 24}};
  for (const auto& d : depths) {
    const std::string p(1, d.selector);
    const std::string tag = std::to_string(d.bpp) + "bpp-";
    ok &= Write("viewer_datagram", tag + "area", p + Header(UPDATE_AREA, 0, 0, 0, 96, 64));
    ok &= Write("viewer_datagram", tag + "pointer", p + Header(UPDATE_POINTER, 0, 40, 30, 0, 0));
    ok &= Write("viewer_datagram", tag + "block-whole", p + Block(d.bpp, 0, 0, 96, 64));
    ok &= Write("viewer_datagram", tag + "block-odd-width", p + Block(d.bpp, 3, 5, 16, 9, 9));
    ok &= Write("viewer_datagram", tag + "block-past-edge", p + Block(d.bpp, 90, 60, 101, 70));
    ok &= Write("viewer_datagram", tag + "block-negative", p + Block(d.bpp, -5, -3, 4, 2, 0));
    const std::string big = Block(d.bpp, 0, 0, 1000, 240000 / ScanLineBytes(1000, d.bpp));
    ok &= Write("viewer_datagram", tag + "block-near-limit", p + big);
    std::string truncated = Block(d.bpp, 10, 10, 30, 20);
    truncated.resize(truncated.size() - 5);
    ok &= Write("viewer_datagram", tag + "block-truncated", p + truncated);
  }
  ok &= Write("viewer_datagram", "kind-3", std::string(1, 3) + Header(3, 0, 0, 0, 1, 1));
  ok &= Write("viewer_datagram", "short", std::string(1, 3) + std::string(11, '\0'));
  ok &= WriteKeyedSeeds();

  // Rendezvous: the first byte picks the target in force.
  const char* requests[] = {"init\r\n", "go\r\n", "", "ini", "INIT\r\n", "initialise",
                            "init"};
  int i = 0;
  for (const char* r : requests)
    ok &= Write("rendezvous", "request-" + std::to_string(i++), std::string(1, '\0') + r);
  ok &= Write("rendezvous", "init-long-target", std::string(1, 3) + "init\r\n");
  ok &= Write("rendezvous", "init-260", std::string(1, 0) + "init" + std::string(300, 'x'));
  // Connection-table scripts (bit 4 of the first byte): a limits byte, then (event, argument)
  // pairs. Events: 0 accept from address arg, 1 and 6 first piece of a waiting connection
  // (arg 0 "init", 1 "go", 2 nothing), 2 clock on by arg * 4 ms, 3 to the next deadline,
  // 4 refusal report.
  auto script = [](char limits, std::initializer_list<int> events) {
    std::string s = {0x10, limits};
    for (int e : events) s += static_cast<char>(e);
    return s;
  };
  // 2 per address, 8 in all: a third from one address refused, init, go, deadlines.
  ok &= Write("rendezvous", "script-bounds",
              script(0x1d, {0, 0, 0, 0, 0, 0, 0, 1, 4, 0, 1, 0, 6, 1, 3, 0, 3, 0, 3, 0, 4, 0}));
  // The real bounds: nine from one address, then silence until every deadline has passed.
  ok &= Write("rendezvous", "script-real-limits",
              script(static_cast<char>(0x80), {0, 3, 0, 3, 0, 3, 0, 3, 0, 3, 0, 3, 0, 3, 0, 3,
                                               0, 3, 4, 0, 2, 120, 2, 60, 3, 0, 3, 0}));
  // Full table: every address, refusals reported a second apart.
  ok &= Write("rendezvous", "script-full",
              script(0x04, {0, 1, 0, 2, 0, 3, 4, 0, 0, 4, 2, 200, 4, 0, 3, 0, 3, 0, 4, 0}));

  const char* texts[] = {"227.0.1.1", "227.0.1.1:10510", "227.0.1.1:", ":5000", "239.1:99999",
                         "227.0.1.1:-1", "99999999999", "-2147483648", "2147483648", " 42 ",
                         "\t-17\t", "+0", "-0", "0", "0x1f", "017", "12a", "", " ",
                         "255.255.255.255", "224.0.0.0", "3758096384", "227.1"};
  i = 0;
  for (const char* t : texts) ok &= Write("target_parsers", "text-" + std::to_string(i++), t);
  ok &= Write("target_parsers", "text-259", std::string(255, '2') + ":123");
  std::printf("%d seeds written\n", g_written);
  return ok ? 0 : 1;
}
