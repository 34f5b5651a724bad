// Start-up configuration of the server: target, broadcast area, rates, tip and icon.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include <QIcon>
#include <QImage>

#include "platform/ExePath.h"
#include "server/Monitor.h"
#include "tests/common/CommonTestUtil.h"
#include "tests/server/ServerTestUtil.h"

using namespace servertest;

namespace {

struct TargetCase {
  const char* stored;  // MulticastTarget in the store; nullptr: none
  const char* arg;     // first command-line argument; nullptr: none
  const char* group;
  int port;
};

TEST(LoadTarget, StoredValueCommandLineAndPortRule) {
  const std::string too_long(300, '2');
  const std::string longest_ok = "227.0.0.1:" + std::string(248, '0') + "7";  // 259 chars
  const std::string one_too_many = "227.0.4.4:" + std::string(249, '0') + "7";
  const TargetCase cases[] = {
      {nullptr, nullptr, "227.0.1.1", 10510},
      {"227.0.3.3:4000", nullptr, "227.0.3.3", 4000},
      {"227.0.3.3", nullptr, "227.0.3.3", 10510},
      // Port 0 cannot be sent to: refused, the port in force stays.
      {"227.0.3.3:", nullptr, "227.0.3.3", 10510},
      {"227.0.3.3:0", nullptr, "227.0.3.3", 10510},
      {"227.0.3.3:65536", nullptr, "227.0.3.3", 10510},
      {"227.0.3.3:1", nullptr, "227.0.3.3", 1},
      {"227.0.3.3:65535", nullptr, "227.0.3.3", 65535},
      {"227.0.3.3:4000", "227.0.2.5:0", "227.0.2.5", 10510},
      {"227.0.3.3:  +42x", nullptr, "227.0.3.3", 42},
      {"227.0.3.3:99999999999", nullptr, "227.0.3.3", 65535},
      {"227.0.3.3:-1", nullptr, "227.0.3.3", 65535},
      {"227.0.3.3:70000", nullptr, "227.0.3.3", 70000 & 0xFFFF},
      // The argument replaces the stored text before the split: no port inherited.
      {"227.0.3.3:4000", "227.0.2.5:4000", "227.0.2.5", 4000},
      {"227.0.3.3:4000", "227.0.2.5", "227.0.2.5", 10510},
      {nullptr, "239.255.255.255:1", "239.255.255.255", 1},
      // Refused arguments leave the stored target, refused stored texts the default.
      {"227.0.3.3:4000", too_long.c_str(), "227.0.3.3", 4000},
      {"227.0.3.3:4000", "10.1.2.3:5000", "227.0.3.3", 4000},
      {nullptr, "example.org", "227.0.1.1", 10510},
      {"192.168.1.1:4000", nullptr, "227.0.1.1", 10510},
      {"", nullptr, "227.0.1.1", 10510},
      {nullptr, longest_ok.c_str(), "227.0.0.1", 7},
      {"227.0.3.3:4000", one_too_many.c_str(), "227.0.3.3", 4000},
  };
  for (const TargetCase& c : cases) {
    SCOPED_TRACE(std::string("stored=") + (c.stored ? c.stored : "(none)") +
                 " arg=" + (c.arg ? std::string(c.arg).substr(0, 40) : "(none)"));
    PrivateRegistry registry;
    ResetServerGlobals();
    if (c.stored) {
      ASSERT_TRUE(SetSettingString("MulticastTarget", c.stored, kSettingsSection));
    }
    char program[] = "varno";
    std::string arg = c.arg ? c.arg : "";
    char* argv[] = {program, arg.data(), nullptr};
    LoadTarget(c.arg ? 2 : 1, argv);
    EXPECT_STREQ(g_group, c.group);
    EXPECT_EQ(g_port, c.port);
    // The command line is for this run only.
    const std::optional<std::string> want =
        c.stored ? std::optional<std::string>(c.stored) : std::nullopt;
    EXPECT_EQ(StoredString("MulticastTarget"), want);
  }
}

TEST(LoadTarget, PortZeroIsRefusedWithALogLine) {
  PrivateRegistry registry;
  ResetServerGlobals();
  const std::string program = ExecutablePath();
  SetExecutablePathForTest(registry.path() + "/varno");
  ASSERT_TRUE(SetSettingString("MulticastTarget", "227.0.3.3:", kSettingsSection));
  char name[] = "varno";
  char* argv[] = {name, nullptr};
  LoadTarget(1, argv);
  SetExecutablePathForTest(program);
  std::string log;
  testsupport::Run("cat '" + registry.path() + "'/varno-*.log", &log);
  EXPECT_NE(log.find("] Stored target 227.0.3.3: names port 0, which cannot be sent to; port "
                     "10510 stays\n"), std::string::npos) << log;
  EXPECT_EQ(g_port, 10510);
}

TEST(LoadTarget, OnlyTheFirstArgumentCounts) {
  PrivateRegistry registry;
  ResetServerGlobals();
  char program[] = "varno", first[] = "227.0.2.5:4000", second[] = "227.0.9.9:9";
  char* argv[] = {program, first, second, nullptr};
  LoadTarget(3, argv);
  EXPECT_STREQ(g_group, "227.0.2.5");
  EXPECT_EQ(g_port, 4000);
}

TEST(LoadTarget, TargetStoredWithAnotherTypeLeavesTheDefault) {
  PrivateRegistry registry;
  ResetServerGlobals();
  ASSERT_TRUE(SetSettingDword("MulticastTarget", 7, kSettingsSection));
  char program[] = "varno";
  char* argv[] = {program, nullptr};
  LoadTarget(1, argv);
  EXPECT_STREQ(g_group, "227.0.1.1");
  EXPECT_EQ(g_port, 10510);
}

struct SettingsCase {
  const char* name;
  std::vector<std::pair<const char*, uint32_t>> stored;
  ClipRect clip;
  int rate_screen, rate_pointer, level;
};

TEST(LoadSettings, DefaultsStoredValuesAndEmptyArea) {
  const Rect screen{0, 0, 1024, 768};
  const SettingsCase cases[] = {
      {"nothing stored", {}, {0, 0, 1024, 768}, 200, 50, 1},
      {"all stored",
       {{"ClipLeft", 10}, {"ClipTop", 20}, {"ClipRight", 500}, {"ClipBottom", 400},
        {"RateScreen", 100}, {"RatePointer", 25}, {"CompressionLevel", 9}},
       {10, 20, 500, 400}, 100, 25, 9},
      {"signed edges", {{"ClipLeft", 0xFFFFFF9Cu}, {"ClipTop", 0xFFFFFFFFu}},
       {-100, -1, 1024, 768}, 200, 50, 1},
      {"only some edges", {{"ClipRight", 640}}, {0, 0, 640, 768}, 200, 50, 1},
      {"right not past left", {{"ClipLeft", 700}, {"ClipRight", 700}}, {0, 0, 1024, 768},
       200, 50, 1},
      {"bottom above top", {{"ClipTop", 500}, {"ClipBottom", 100}}, {0, 0, 1024, 768}, 200,
       50, 1},
      // Short periods are raised only when the timers start; the values stay as read.
      {"zero period", {{"RateScreen", 0}}, {0, 0, 1024, 768}, 0, 50, 1},
      {"level 0", {{"CompressionLevel", 0}}, {0, 0, 1024, 768}, 200, 50, 0},
  };
  for (const SettingsCase& c : cases) {
    SCOPED_TRACE(c.name);
    PrivateRegistry registry;
    ResetServerGlobals();
    for (const auto& [name, value] : c.stored) {
      ASSERT_TRUE(SetSettingDword(name, value, kSettingsSection));
    }
    LoadSettings(screen);
    EXPECT_EQ(g_clip.left, c.clip.left);
    EXPECT_EQ(g_clip.top, c.clip.top);
    EXPECT_EQ(g_clip.right, c.clip.right);
    EXPECT_EQ(g_clip.bottom, c.clip.bottom);
    EXPECT_EQ(g_rate_screen, c.rate_screen);
    EXPECT_EQ(g_rate_pointer, c.rate_pointer);
    EXPECT_EQ(g_compression_level, c.level);
  }
}

// MaxDatagram at each end of 576..65507, one inside and one outside; outside falls back to
// 1472 with one log line. MaxRate and RefreshCycle take any value (0: unpaced, off).
TEST(LoadSettings, NetworkSettingsAndTheRangeOfMaxDatagram) {
  struct Case {
    std::vector<std::pair<const char*, uint32_t>> stored;
    int datagram;
    uint32_t rate, cycle;
    bool logged;
  };
  const Case cases[] = {
      {{}, 1472, 50000, 10, false},
      {{{"MaxDatagram", 575}}, 1472, 50000, 10, true},
      {{{"MaxDatagram", 576}}, 576, 50000, 10, false},
      {{{"MaxDatagram", 577}}, 577, 50000, 10, false},
      {{{"MaxDatagram", 65506}}, 65506, 50000, 10, false},
      {{{"MaxDatagram", 65507}}, 65507, 50000, 10, false},
      {{{"MaxDatagram", 65508}}, 1472, 50000, 10, true},
      {{{"MaxDatagram", 0}}, 1472, 50000, 10, true},
      {{{"MaxDatagram", 0xFFFFFFFFu}}, 1472, 50000, 10, true},
      {{{"MaxRate", 0}, {"RefreshCycle", 0}}, 1472, 0, 0, false},
      {{{"MaxRate", 0xFFFFFFFFu}, {"RefreshCycle", 1}}, 1472, 0xFFFFFFFFu, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored.empty() ? "nothing stored" : c.stored[0].first + std::string(" ") +
                                                           std::to_string(c.stored[0].second));
    commontest::LogPlace log;
    PrivateRegistry registry;
    ResetServerGlobals();
    for (const auto& [name, value] : c.stored) ASSERT_TRUE(SetSettingDword(name, value, kSettingsSection));
    LoadSettings(Rect{0, 0, 1024, 768});
    EXPECT_EQ(g_max_datagram, c.datagram);
    EXPECT_EQ(g_max_rate, c.rate);
    EXPECT_EQ(g_refresh_cycle, c.cycle);
    const std::string text = log.Log();
    std::size_t lines = 0;
    for (std::size_t p = 0; (p = text.find("MaxDatagram", p)) != std::string::npos; ++p) ++lines;
    EXPECT_EQ(lines, c.logged ? 1u : 0u) << text;
    if (c.logged) {
      EXPECT_NE(text.find("is outside 576 to 65507 bytes; 1472 bytes are used"), std::string::npos)
          << text;
    }
  }
}

TEST(LoadSettings, ValueOfAnotherTypeKeepsTheDefault) {
  PrivateRegistry registry;
  ResetServerGlobals();
  ASSERT_TRUE(SetSettingString("RateScreen", "100", kSettingsSection));
  LoadSettings(Rect{0, 0, 800, 600});
  EXPECT_EQ(g_rate_screen, 200);
  EXPECT_EQ(g_clip.right, 800);
}

TEST(FormatTip, NamesTheTargetAndNeverExceeds63Characters) {
  const std::string hundred(100, '7');
  struct {
    std::string group;
    int port;
    std::string expected;
  } cases[] = {
      {"227.0.1.1", 10510, "Orvane VARNO [227.0.1.1:10510]"},
      {"239.255.255.255", 65535, "Orvane VARNO [239.255.255.255:65535]"},
      {"227.0.1.1", 0, "Orvane VARNO [227.0.1.1:0]"},
      {hundred, 10510, ("Orvane VARNO [" + hundred).substr(0, 63)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.group.substr(0, 20));
    std::strcpy(g_group, c.group.c_str());
    g_port = c.port;
    char tip[80];
    std::memset(tip, 'X', sizeof tip);
    FormatTip(tip);
    EXPECT_EQ(std::string(tip), c.expected);
    EXPECT_EQ(tip[64], 'X') << "wrote past the 64-byte field";
  }
  ResetServerGlobals();
}

TEST(TrayIcon, OffersBothSizesWithAtMost16Colours) {
  OffscreenApp();
  QIcon icon(QStringLiteral(":/tray"));
  ASSERT_FALSE(icon.isNull());
  const QList<QSize> sizes = icon.availableSizes();
  EXPECT_TRUE(sizes.contains(QSize(16, 16)));
  EXPECT_TRUE(sizes.contains(QSize(32, 32)));
  for (int side : {16, 32}) {
    SCOPED_TRACE(side);
    QImage image = icon.pixmap(side, side).toImage();
    ASSERT_EQ(image.size(), QSize(side, side));
    std::set<QRgb> colours;
    int opaque = 0;
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x) {
        const QRgb p = image.pixel(x, y);
        if (qAlpha(p) == 0) continue;
        ++opaque;
        colours.insert(p);
      }
    EXPECT_LE(colours.size(), 16u);
    // A real picture, not a blank square.
    EXPECT_GT(opaque, side * side / 4);
    EXPECT_GE(colours.size(), 3u);
  }
}

TEST(MonitorTimers, PeriodsBelowTenAreRaisedAndOthersKept) {
  OffscreenApp();
  struct {
    int screen, pointer, want_screen, want_pointer;
  } cases[] = {{200, 50, 200, 50}, {0, -5, 10, 10}, {9, 10, 10, 10}, {1000, 11, 1000, 11}};
  Monitor monitor;
  for (const auto& c : cases) {
    g_rate_screen = c.screen;
    g_rate_pointer = c.pointer;
    monitor.StartTimers();
    EXPECT_TRUE(monitor.screen_timer().isActive());
    EXPECT_EQ(monitor.screen_timer().interval(), c.want_screen);
    EXPECT_EQ(monitor.pointer_timer().interval(), c.want_pointer);
  }
  ResetServerGlobals();
}

TEST(TrayRetryDelay, TestSettingOnlyChangesTheDelay) {
  struct {
    const char* env;
    int want;
  } cases[] = {{nullptr, 1000}, {"25", 25}, {"0", 0}, {"-3", 1000}, {"soon", 1000}};
  for (const auto& c : cases) {
    if (c.env)
      setenv("ORVANE_TEST_TRAY_RETRY_MS", c.env, 1);
    else
      unsetenv("ORVANE_TEST_TRAY_RETRY_MS");
    EXPECT_EQ(TrayRetryDelayMs(), c.want) << (c.env ? c.env : "(unset)");
  }
  unsetenv("ORVANE_TEST_TRAY_RETRY_MS");
  EXPECT_EQ(kTrayAttempts, 30);
}

TEST(TrayWithoutHost, CreateFailsAfterEveryAttempt) {
  OffscreenApp();  // the offscreen platform has no system tray
  setenv("ORVANE_TEST_TRAY_RETRY_MS", "5", 1);
  Monitor monitor;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(monitor.Create());
  const auto elapsed = std::chrono::steady_clock::now() - start;
  unsetenv("ORVANE_TEST_TRAY_RETRY_MS");
  // 29 waits between 30 attempts.
  EXPECT_GE(elapsed, std::chrono::milliseconds(29 * 5));
  EXPECT_FALSE(monitor.screen_timer().isActive()) << "timers must not start without an icon";
}

}  // namespace
