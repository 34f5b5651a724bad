// The real varno under its own Xvfb, in a private network namespace: failed start-ups, the
// first full refresh, changes, the rendezvous reply and the tray menu's Exit.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Common/ClientSocket.h"
#include "Common/MulticastSocket.h"
#include "Common/Registry.h"
#include "Common/StreamKey.h"
#include "Common/UpdateHeader.h"
#include "platform/Socket.h"
#include "tests/support/Display.h"
#include "tests/support/TestSupport.h"

using namespace std::chrono_literals;
using testsupport::BinDir;
using testsupport::Child;
using testsupport::Run;
using testsupport::TempDir;
using testsupport::WaitFor;
using testsupport::Xvfb;

namespace {

struct Datagram {
  UpdateHeader h;
  std::vector<uint8_t> payload;
};

bool ReceiveDatagram(int sock, int timeout_ms, Datagram* d) {
  pollfd p{sock, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) != 1) return false;
  std::vector<uint8_t> buf(65536);
  ssize_t n = recv(sock, buf.data(), buf.size(), 0);
  if (n < 0 || !DecodeUpdateHeader(buf.data(), static_cast<size_t>(n), d->h)) return false;
  d->payload.assign(buf.begin() + kUpdateHeaderBytes, buf.begin() + n);
  return true;
}

// Everything that arrives within the given time.
std::vector<Datagram> Collect(int sock, std::chrono::milliseconds span) {
  std::vector<Datagram> out;
  const auto end = std::chrono::steady_clock::now() + span;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left <= 0ms) break;
    Datagram d;
    if (ReceiveDatagram(sock, static_cast<int>(left.count()), &d)) out.push_back(d);
  }
  return out;
}

int CountKind(const std::vector<Datagram>& ds, uint16_t kind) {
  int n = 0;
  for (const auto& d : ds) n += d.h.kind == kind;
  return n;
}

std::string ReadFiles(const std::string& pattern) {
  std::string out;
  Run("cat " + pattern + " 2>/dev/null", &out);
  return out;
}

// A copy of varno with the given hook library beside it, so that its log file (next to the
// executable) and its library are this test's own.
void InstallProgram(const TempDir& dir, const std::string& hooks_library) {
  ASSERT_EQ(Run("cp '" + BinDir() + "/varno' '" + hooks_library + "' '" + dir.path() + "/'"),
            0);
}

// The environment of a varno child: its display, its own settings store, X11 tray only.
std::vector<std::string> ServerEnv(const Xvfb& x, const TempDir& dir,
                                   std::vector<std::string> extra = {}) {
  std::vector<std::string> env = {"DISPLAY=" + x.display(),
                                  "ORVANE_REGISTRY=" + dir / "registry",
                                  "QT_QPA_PLATFORM=xcb", "DBUS_SESSION_BUS_ADDRESS=disabled:",
                                  "XDG_RUNTIME_DIR=" + dir.path()};
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::string Xdo(const Xvfb& x, const std::string& args) {
  std::string out;
  Run("DISPLAY=" + x.display() + " timeout 10 xdotool " + args + " 2>/dev/null", &out);
  return out;
}

// Waits for the condition box of a failed start-up and presses its OK button.
bool AnswerErrorBox(const Xvfb& x) {
  std::string id = Xdo(x, "search --sync --name '^Internal Error$'");
  if (id.empty()) return false;
  id = id.substr(0, id.find('\n'));
  Xdo(x, "windowfocus --sync " + id);
  Xdo(x, "key --clearmodifiers Return");
  return true;
}

// The embedded tray icon window of varno, or "".
std::string TrayIconWindow(const Xvfb& x) {
  std::string ids = Xdo(x, "search --onlyvisible --classname '^varno$'");
  return ids.substr(0, ids.find('\n'));
}

using testsupport::Trayer;

TEST(VarnoStartup, HookLibraryThatRefusesShowsB266AndTheHooksAreStillRemoved) {
  REQUIRE_PRIVATE_NETWORK();
  Xvfb x(640, 480, 24);
  ASSERT_TRUE(x.ok());
  TempDir dir;
  InstallProgram(dir, BinDir() + "/fakehooks/libhooks.so");
  Child varno({dir / "varno"}, ServerEnv(x, dir, {"FAKE_HOOKS_LOG=" + dir / "hooks.log"}));
  ASSERT_TRUE(AnswerErrorBox(x)) << "no condition box appeared";
  int status = -1;
  ASSERT_TRUE(varno.Wait(10s, &status));
  EXPECT_EQ(status, 1);

  const std::string log = ReadFiles("'" + dir.path() + "'/varno-*.log");
  EXPECT_NE(log.find("ASSERT(b) failed"), std::string::npos) << log;
  EXPECT_NE(log.find("  in module [server/varno:266].\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Server started"), std::string::npos);

  std::ifstream calls(dir / "hooks.log");
  std::string verb1, verb2;
  long tid1 = 0, tid2 = 0;
  calls >> verb1 >> tid1 >> verb2 >> tid2;
  EXPECT_EQ(verb1, "install");
  EXPECT_EQ(verb2, "remove") << "the exit step must remove the hooks";
  EXPECT_GT(tid1, 0);
  EXPECT_EQ(tid1, tid2) << "removed for the thread they were installed for";
}

TEST(VarnoStartup, NoTrayFailsWithB269AfterThirtyAttempts) {
  REQUIRE_PRIVATE_NETWORK();
  Xvfb x(640, 480, 24);
  ASSERT_TRUE(x.ok());
  TempDir dir;
  InstallProgram(dir, BinDir() + "/libhooks.so");
  const auto start = std::chrono::steady_clock::now();
  Child varno({dir / "varno"}, ServerEnv(x, dir, {"ORVANE_TEST_TRAY_RETRY_MS=20"}));
  ASSERT_TRUE(AnswerErrorBox(x)) << "no condition box appeared";
  EXPECT_GE(std::chrono::steady_clock::now() - start, 29 * 20ms);
  int status = -1;
  ASSERT_TRUE(varno.Wait(10s, &status));
  EXPECT_EQ(status, 1);
  const std::string log = ReadFiles("'" + dir.path() + "'/varno-*.log");
  EXPECT_NE(log.find("No system tray after 30 attempts"), std::string::npos) << log;
  // The report names what is missing on this display.
  EXPECT_NE(log.find("no XEmbed tray (nothing owns _NET_SYSTEM_TRAY_S0 on " + x.display() + ")"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("ASSERT(b) failed"), std::string::npos) << log;
  EXPECT_NE(log.find("  in module [server/varno:269].\n"), std::string::npos) << log;
}

TEST(VarnoStartup, SendingSocketTheKernelRefusesShowsTheReportOfLine250) {
  REQUIRE_PRIVATE_NETWORK();
  Xvfb x(640, 480, 24);
  ASSERT_TRUE(x.ok());
  TempDir dir;
  InstallProgram(dir, BinDir() + "/libhooks.so");
  // A TTL above 255 is stored without a range check; the kernel refuses it when the socket
  // is set up, so step 8 fails and nothing after it may run.
  setenv("ORVANE_REGISTRY", (dir / "registry").c_str(), 1);
  ASSERT_TRUE(SetSettingDword("MulticastTTL", 300, "Parameters"));
  unsetenv("ORVANE_REGISTRY");
  Child varno({dir / "varno"}, ServerEnv(x, dir));
  ASSERT_TRUE(AnswerErrorBox(x)) << "no condition box appeared";
  int status = -1;
  ASSERT_TRUE(varno.Wait(10s, &status));
  EXPECT_EQ(status, 1);
  const std::string log = ReadFiles("'" + dir.path() + "'/varno-*.log");
  EXPECT_NE(log.find("ASSERT(res != SOCKET_ERROR) failed"), std::string::npos) << log;
  EXPECT_NE(log.find("in module [Common/MulticastSocket:"), std::string::npos) << log;
  EXPECT_NE(log.find("ASSERT(g_multicast_sock != -1) failed"), std::string::npos) << log;
  EXPECT_NE(log.find("  in module [server/varno:250].\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Server started"), std::string::npos) << log;
  // The rendezvous thread comes after the socket: the port was never opened.
  EXPECT_EQ(testsupport::Shell("ss -ltnH 'sport = :10510' | wc -l"), "0");
}

TEST(VarnoStartup, NoDisplayEndsWithTheDesktopReport) {
  REQUIRE_PRIVATE_NETWORK();
  TempDir dir;
  InstallProgram(dir, BinDir() + "/libhooks.so");
  Child varno({dir / "varno"}, {"DISPLAY=:59999", "ORVANE_REGISTRY=" + dir / "registry"},
              dir / "out.txt");
  int status = -1;
  ASSERT_TRUE(varno.Wait(10s, &status));
  EXPECT_EQ(status, 1);
  const std::string log = ReadFiles("'" + dir.path() + "'/varno-*.log");
  EXPECT_NE(log.find("  in module [server/varno:233].\n"), std::string::npos) << log;
  const std::string out = ReadFiles("'" + dir.path() + "/out.txt'");
  EXPECT_NE(out.find("The (desktop) condition failed at\nserver/varno:233"), std::string::npos)
      << out;
}

// Datagrams exactly as received within span (none waiting longer than it).
std::vector<std::vector<uint8_t>> CollectBytes(int sock, std::chrono::milliseconds span) {
  std::vector<std::vector<uint8_t>> out;
  const auto end = std::chrono::steady_clock::now() + span;
  std::vector<uint8_t> buf(65536);
  for (auto now = std::chrono::steady_clock::now(); now < end;
       now = std::chrono::steady_clock::now()) {
    pollfd p{sock, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
    if (poll(&p, 1, static_cast<int>(left.count()) + 1) != 1) continue;
    const ssize_t n = recv(sock, buf.data(), buf.size(), 0);
    if (n >= 0) out.emplace_back(buf.begin(), buf.begin() + n);
  }
  return out;
}

const char kPassphrase[] = "Klasse 7b, Raum 112";

// varno with a stored StreamKey, and a receiver of its group opened before it starts.
class KeyedVarno : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(x.ok());
    ASSERT_TRUE(trayer.ok()) << "trayer did not start";
    InstallProgram(dir, BinDir() + "/libhooks.so");
    setenv("ORVANE_REGISTRY", (dir / "registry").c_str(), 1);
    ASSERT_TRUE(SetSettingString("StreamKey", kPassphrase, "Parameters"));
    unsetenv("ORVANE_REGISTRY");
    rx = OpenMulticastReceiver("227.0.1.1", 10510);
    ASSERT_NE(rx, INVALID_SOCKET);
  }
  void TearDown() override {
    if (rx != INVALID_SOCKET) CloseSocket(rx);
  }
  Xvfb x{320, 240, 24};
  Trayer trayer{x};
  TempDir dir;
  int rx = INVALID_SOCKET;
};

TEST_F(KeyedVarno, EveryDatagramIsSignedFromTheFirstAndTheKeyStaysOutOfTheLog) {
  Child varno({dir / "varno"}, ServerEnv(x, dir));
  // The first tick's refresh, a second of areas, whatever pointers came with them.
  const std::vector<std::vector<uint8_t>> got = CollectBytes(rx, 2500ms);
  StreamKey key;
  ASSERT_TRUE(key.Derive(kPassphrase, sizeof kPassphrase - 1));
  StreamChecker viewer(std::move(key));
  ASSERT_GE(got.size(), 3u);
  int areas = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    const std::vector<uint8_t>& d = got[i];
    UpdateHeader h;
    ASSERT_TRUE(DecodeUpdateHeader(d.data(), d.size(), h)) << i;
    EXPECT_EQ(d.size(), kUpdateHeaderBytes + h.length + kStreamTrailerBytes) << i;
    EXPECT_EQ(viewer.Check(d.data(), d.size(), 0).verdict, StreamVerdict::kAccepted) << i;
    EXPECT_EQ(viewer.newest(), i) << "numbered from 0 in send order";
    areas += h.kind == UPDATE_AREA;
  }
  EXPECT_GE(areas, 1);
  varno.Kill(15);
  int status = -1;
  ASSERT_TRUE(varno.Wait(5s, &status));
  EXPECT_EQ(status, 0);
  const std::string log = ReadFiles("'" + dir.path() + "'/varno-*.log '" + dir.path() + "'/*.txt");
  EXPECT_NE(log.find("Stream key in use"), std::string::npos) << log;
  EXPECT_EQ(log.find("Raum 112"), std::string::npos) << log;
}

// With no memory for the key's derivation the server ends with the condition report, having
// sent nothing: it never falls back to sending unsigned. The data limit leaves the server
// its usual 45 to 55 MB but not the 64 MiB more that Argon2id takes.
TEST_F(KeyedVarno, AKeyThatCannotBeDerivedEndsStartUpBeforeAnythingIsSent) {
  if (ORVANE_SANITIZED) GTEST_SKIP() << "a sanitizer's shadow memory does not fit the limit";
  Child varno({"prlimit", "--data=" + std::to_string(96 << 20), dir / "varno"},
              ServerEnv(x, dir));
  ASSERT_TRUE(AnswerErrorBox(x)) << "no condition box appeared";
  int status = -1;
  ASSERT_TRUE(varno.Wait(10s, &status));
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(CollectBytes(rx, 300ms).empty()) << "datagrams went out";
  const std::string log = ReadFiles("'" + dir.path() + "'/varno-*.log");
  EXPECT_NE(log.find("ASSERT(UseStoredStreamKey()) failed ERROR: Cannot allocate memory"),
            std::string::npos) << log;
  EXPECT_NE(log.find("  in module [server/varno:"), std::string::npos) << log;
  EXPECT_EQ(log.find("Server started"), std::string::npos) << log;
  EXPECT_EQ(log.find("Raum 112"), std::string::npos) << log;
}

// Pixels of a block at (x, y) of its rectangle, 32 bits per pixel: blue, green, red, pad.
uint32_t BlockPixel(const Datagram& d, int x, int y) {
  const int64_t w = int64_t{d.h.right} - d.h.left, h = int64_t{d.h.bottom} - d.h.top;
  const int64_t stride = ScanLineBytes(w, 32);
  std::vector<uint8_t> pixels(static_cast<size_t>(stride * h));
  uLongf size = pixels.size();
  if (uncompress(pixels.data(), &size, d.payload.data(), d.payload.size()) != Z_OK ||
      size != pixels.size())
    return 0xDEADBEEF;
  const uint8_t* p = &pixels[static_cast<size_t>(y * stride + x * 4)];
  return uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

TEST(VarnoEndToEnd, TrayRefreshChangesRendezvousAndExit) {
  REQUIRE_PRIVATE_NETWORK();
  Xvfb x(640, 480, 24);
  ASSERT_TRUE(x.ok());
  Trayer trayer(x);
  TempDir dir;
  InstallProgram(dir, BinDir() + "/libhooks.so");
  const int rx = OpenMulticastReceiver("227.0.1.1", 10510);
  ASSERT_NE(rx, INVALID_SOCKET);
  ASSERT_TRUE(trayer.ok()) << "trayer did not start";
  // Without the healing cycle an idle screen sends nothing at all.
  setenv("ORVANE_REGISTRY", (dir / "registry").c_str(), 1);
  ASSERT_TRUE(SetSettingDword("RefreshCycle", 0, "Parameters"));
  unsetenv("ORVANE_REGISTRY");

  Child varno({dir / "varno"}, ServerEnv(x, dir));

  // The icon is embedded in the tray (mapped only once the tray has taken it).
  std::string icon;
  ASSERT_TRUE(WaitFor([&] { return !(icon = TrayIconWindow(x)).empty(); }, 10s))
      << "no tray icon";

  // First screen tick: the broadcast area, then blocks that tile it exactly.
  std::vector<Datagram> first;
  Datagram dg;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline && ReceiveDatagram(rx, 1000, &dg)) {
    first.push_back(dg);
    if (dg.h.kind != UPDATE_POINTER) break;
  }
  for (Datagram& more : Collect(rx, 1000ms)) first.push_back(more);
  size_t i = 0;
  while (i < first.size() && first[i].h.kind == UPDATE_POINTER) ++i;
  ASSERT_LT(i, first.size());
  EXPECT_EQ(first[i].h.kind, UPDATE_AREA);
  EXPECT_EQ(first[i].h.length, 0);
  EXPECT_EQ(first[i].h.left, 0);
  EXPECT_EQ(first[i].h.top, 0);
  EXPECT_EQ(first[i].h.right, 640);
  EXPECT_EQ(first[i].h.bottom, 480);
  std::vector<uint8_t> covered(640 * 480, 0);
  for (size_t k = i + 1; k < first.size(); ++k) {
    const UpdateHeader& h = first[k].h;
    if (h.kind != UPDATE_BLOCK) continue;
    ASSERT_TRUE(h.left >= 0 && h.top >= 0 && h.right <= 640 && h.bottom <= 480);
    for (int yy = h.top; yy < h.bottom; ++yy)
      for (int xx = h.left; xx < h.right; ++xx) covered[yy * 640 + xx]++;
  }
  int uncovered = 0;
  for (uint8_t c : covered) uncovered += c == 0;
  EXPECT_EQ(uncovered, 0) << "the first refresh must cover the whole screen";

  // Once the tray has painted the icon, nothing changes on the screen: no blocks, at most
  // pointer positions.
  for (int quiet = 0; quiet < 10 && CountKind(Collect(rx, 500ms), UPDATE_BLOCK) > 0; ++quiet) {
  }
  std::vector<Datagram> idle = Collect(rx, 1000ms);
  EXPECT_EQ(CountKind(idle, UPDATE_BLOCK), 0);
  EXPECT_EQ(CountKind(idle, UPDATE_AREA), 0);

  // Drawing on the screen sends blocks for that area only, with the new pixels.
  ASSERT_TRUE(testsupport::FillRootRectangle(x.display(), 200, 150, 64, 32, 0xFF0000));
  std::vector<Datagram> change = Collect(rx, 1000ms);
  std::vector<uint8_t> drawn(64 * 32, 0);
  int blocks = 0;
  for (const Datagram& block : change) {
    if (block.h.kind != UPDATE_BLOCK) continue;
    ++blocks;
    const UpdateHeader& h = block.h;
    EXPECT_TRUE(h.left >= 200 && h.top >= 150 && h.right <= 264 && h.bottom <= 182)
        << h.left << "," << h.top << "," << h.right << "," << h.bottom;
    EXPECT_EQ(BlockPixel(block, 0, 0), 0xFF0000u);
    for (int yy = std::max(h.top, 150); yy < std::min(h.bottom, 182); ++yy)
      for (int xx = std::max(h.left, 200); xx < std::min(h.right, 264); ++xx)
        drawn[(yy - 150) * 64 + (xx - 200)] = 1;
  }
  EXPECT_GT(blocks, 0);
  int missing = 0;
  for (uint8_t c : drawn) missing += c == 0;
  EXPECT_EQ(missing, 0) << "the drawn area was not sent whole";
  EXPECT_EQ(CountKind(change, UPDATE_AREA), 0);

  // The rendezvous service names the target.
  int conn = ConnectTo("127.0.0.1", 10510);
  ASSERT_NE(conn, INVALID_SOCKET);
  ASSERT_GT(SendText(conn, "init\r\n"), 0);
  std::string reply;
  char buf[300];
  int n;
  while ((n = Receive(conn, buf, sizeof buf - 1)) > 0) reply.append(buf, n);
  CloseSocket(conn);
  EXPECT_EQ(reply, "227.0.1.1:10510\r\n");

  // A double-click opens the settings; sampling goes on while they are open.
  Xdo(x, "mousemove --window " + icon + " 8 8 click --repeat 2 --delay 80 1");
  std::string dialog;
  ASSERT_TRUE(WaitFor([&] {
    dialog = Xdo(x, "search --onlyvisible --name '^Orvane VARNO$'");
    return !dialog.empty();
  }, 5s)) << "no settings dialog";
  dialog = dialog.substr(0, dialog.find('\n'));
  ASSERT_TRUE(testsupport::FillRootRectangle(x.display(), 20, 400, 16, 16, 0x00FF00));
  bool sent_during_dialog = false;
  for (const Datagram& block : Collect(rx, 1000ms)) {
    const UpdateHeader& h = block.h;
    if (h.kind == UPDATE_BLOCK && h.left >= 20 && h.top >= 400 && h.right <= 36 &&
        h.bottom <= 416)
      sent_during_dialog = true;
  }
  EXPECT_TRUE(sent_during_dialog) << "the timers stopped while the dialog was open";
  Xdo(x, "windowfocus --sync " + dialog);
  Xdo(x, "key Escape");
  ASSERT_TRUE(WaitFor([&] {
    return Xdo(x, "search --onlyvisible --name '^Orvane VARNO$'").empty();
  }, 5s)) << "Escape did not close the dialog";

  // Exit from the tray menu: the icon goes and the program ends with 0.
  Xdo(x, "mousemove --window " + icon + " 8 8 click 3");
  // The open menu is a second visible window of the program.
  ASSERT_TRUE(WaitFor([&] {
    const std::string ids = Xdo(x, "search --onlyvisible --classname '^varno$'");
    return std::count(ids.begin(), ids.end(), '\n') >= 2;
  }, 5s)) << "the menu did not open";
  Xdo(x, "key x");
  int status = -1;
  ASSERT_TRUE(varno.Wait(10s, &status));
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(TrayIconWindow(x).empty());
  CloseSocket(rx);
}

// The first argument is used for one run and never stored; one that cannot be a target is
// ignored in favour of the stored one.
TEST(VarnoEndToEnd, CommandLineTargetForThisRunOnly) {
  REQUIRE_PRIVATE_NETWORK();
  Xvfb x(320, 240, 24);
  ASSERT_TRUE(x.ok());
  Trayer trayer(x);
  ASSERT_TRUE(trayer.ok()) << "trayer did not start";
  TempDir dir;
  InstallProgram(dir, BinDir() + "/libhooks.so");
  setenv("ORVANE_REGISTRY", (dir / "registry").c_str(), 1);
  ASSERT_TRUE(SetSettingString("MulticastTarget", "227.0.3.3:5000", "Parameters"));
  struct {
    std::string arg, group;
    int port;
  } cases[] = {{"227.0.2.5:4000", "227.0.2.5", 4000},
               {std::string(300, '2'), "227.0.3.3", 5000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.group);
    const int rx = OpenMulticastReceiver(c.group.c_str(), c.port);
    ASSERT_NE(rx, INVALID_SOCKET);
    Child varno({dir / "varno", c.arg}, ServerEnv(x, dir));
    Datagram dg;
    bool got_area = false;
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!got_area && std::chrono::steady_clock::now() < end) {
      if (ReceiveDatagram(rx, 500, &dg) && dg.h.kind == UPDATE_AREA) got_area = true;
    }
    EXPECT_TRUE(got_area) << "nothing sent to " << c.group << ":" << c.port;
    char stored[kRegTextBytes] = "";
    EXPECT_TRUE(GetSettingString("MulticastTarget", stored, "Parameters"));
    EXPECT_STREQ(stored, "227.0.3.3:5000");
    // SIGTERM (a logout) ends the server like the tray's Exit.
    varno.Kill(15);
    int status = -1;
    ASSERT_TRUE(varno.Wait(5s, &status));
    EXPECT_EQ(status, 0);
    CloseSocket(rx);
  }
  unsetenv("ORVANE_REGISTRY");
}

}  // namespace
