// Target, port and dialog-integer parsing, and the system texts of error codes.
#include "Common/Target.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <thread>

#include "platform/LastError.h"

TEST(Target, DecimalAndPortValues) {
  struct Case {
    const char* text;
    int decimal, port;
  } cases[] = {
      {"10510", 10510, 10510},
      {"  \t+42x", 42, 42},
      {"-1", -1, 65535},
      {"", 0, 0},
      {"abc", 0, 0},
      {"-", 0, 0},
      {"+ 5", 0, 0},
      {"65536", 65536, 0},
      {"70000", 70000, 4464},
      {"2147483647", INT_MAX, 65535},
      {"2147483648", INT_MAX, 65535},
      {"99999999999", INT_MAX, 65535},
      {"-2147483648", INT_MIN, 0},
      {"-99999999999999999999999999", INT_MIN, 0},
      {"007", 7, 7},
      {"12:34", 12, 12},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecimalValue(c.text), c.decimal) << '"' << c.text << '"';
    EXPECT_EQ(PortValue(c.text), c.port) << '"' << c.text << '"';
  }
  EXPECT_EQ(DecimalValue(nullptr), 0);
}

TEST(Target, SplitTargetAtTheFirstColon) {
  struct Case {
    const char* text;
    const char* group;
    int port;  // 777: kept as it was
  } cases[] = {
      {"227.0.1.1:10510", "227.0.1.1", 10510},
      {"227.0.0.9", "227.0.0.9", 777},
      {"227.0.0.9:", "227.0.0.9", 0},
      {"227.0.0.9:99999999999", "227.0.0.9", 65535},
      {"227.0.0.9:12:34", "227.0.0.9", 12},
      {":80", "", 80},
      {"", "", 777},
  };
  for (const Case& c : cases) {
    char group[kTextBytes];
    int port = 777;
    ASSERT_TRUE(SplitTarget(c.text, group, &port)) << c.text;
    EXPECT_STREQ(group, c.group);
    EXPECT_EQ(port, c.port) << c.text;
  }
}

TEST(Target, SplitTargetLengthLimitAndInPlace) {
  char group[kTextBytes];
  int port = 777;
  const std::string fits = std::string(253, '1') + ":10510";  // 259 characters
  ASSERT_EQ(fits.size(), 259u);
  ASSERT_TRUE(SplitTarget(fits.c_str(), group, &port));
  EXPECT_EQ(std::string(group), std::string(253, '1'));
  EXPECT_EQ(port, 10510);

  std::strcpy(group, "unchanged");
  port = 777;
  const std::string too_long = std::string(254, '1') + ":10510";  // 260 characters
  EXPECT_FALSE(SplitTarget(too_long.c_str(), group, &port));
  EXPECT_STREQ(group, "unchanged");
  EXPECT_EQ(port, 777);
  EXPECT_FALSE(SplitTarget(nullptr, group, &port));

  // The programs cut their g_group in place.
  char g_group[kTextBytes] = "227.1.2.3:4000";
  int g_port = 10510;
  ASSERT_TRUE(SplitTarget(g_group, g_group, &g_port));
  EXPECT_STREQ(g_group, "227.1.2.3");
  EXPECT_EQ(g_port, 4000);
}

TEST(Target, PortZeroRuleOfServerAndDialog) {
  struct Case {
    const char* text;
    bool zero;
  } cases[] = {
      {"227.0.1.1", false},      {"227.0.1.1:", true},      {"227.0.1.1:0", true},
      {"227.0.1.1:1", false},    {"227.0.1.1:65535", false}, {"227.0.1.1:65536", true},
      {"227.0.1.1:65537", false}, {"227.0.1.1:-65536", true}, {"227.0.1.1:x", true},
      {"227.0.1.1:10510:0", false}, {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(NamesPortZero(c.text), c.zero) << c.text;
  EXPECT_FALSE(NamesPortZero(nullptr));
}

TEST(Target, DialogIntegers) {
  struct Case {
    const char* text;
    bool ok;
    int value;
  } cases[] = {
      {"200", true, 200},
      {"  \t-50\t ", true, -50},
      {"+7", true, 7},
      {"0", true, 0},
      {"000", true, 0},
      {" 0 ", true, 0},
      {"-0", false, 0},
      {"+0", false, 0},
      {"", false, 0},
      {"   ", false, 0},
      {"-", false, 0},
      {"12a", false, 0},
      {"1 2", false, 0},
      {"0x10", false, 0},
      {"abc", false, 0},
      {"2147483647", true, INT_MAX},
      {"-2147483648", true, INT_MIN},
      {"2147483648", false, 0},
      {"\n5", false, 0},
      // Only 31 characters of a field are read.
      {"5                              x", true, 5},
      {"                              5", true, 5},
      {"                               5", false, 0},
  };
  for (const Case& c : cases) {
    int value = 12345;
    EXPECT_EQ(ParseDialogInteger(c.text, &value), c.ok) << '"' << c.text << '"';
    EXPECT_EQ(value, c.ok ? c.value : 12345) << '"' << c.text << '"';
  }
  EXPECT_FALSE(ParseDialogInteger(nullptr, nullptr));
}

TEST(Target, MulticastGroups) {
  struct Case {
    const char* text;
    bool group;
  } cases[] = {
      {"227.0.1.1", true},   {"224.0.0.0", true},  {"239.255.255.255", true},
      {"223.255.255.255", false}, {"240.0.0.1", false}, {"127.0.0.1", false},
      {"227.1", true},       {"0xE3000001", true}, {"", false},
      {"227.0.1.1:10510", false}, {"server.example", false}, {"227.0.1.256", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsMulticastGroup(c.text), c.group) << c.text;
  EXPECT_FALSE(IsMulticastGroup(nullptr));
}

TEST(LastError, SystemTexts) {
  struct Case {
    int code;
    bool known;
    std::string text;
  } cases[] = {
      {0, true, "Success"},
      {EADDRINUSE, true, "Address already in use"},
      {ECONNREFUSED, true, "Connection refused"},
      {ResolverError(EAI_NONAME), true, gai_strerror(EAI_NONAME)},
      {SqliteError(5), true, "database is locked"},
      {SqliteError(11), true, "database disk image is malformed"},
      {4000, false, ""},
      {kResolverBase + 999, false, ""},
      {kSqliteBase + 200, false, ""},
      {-3, false, ""},
  };
  for (const Case& c : cases) {
    std::string text = "untouched";
    EXPECT_EQ(SystemText(c.code, text), c.known) << c.code;
    if (c.known) {
      EXPECT_EQ(text, c.text);
      EXPECT_NE(text.back(), '.');
    }
  }
}

TEST(LastError, PerThreadAndKeeper) {
  SetLastError(11);
  std::thread([] {
    EXPECT_EQ(GetLastError(), 0);
    SetLastError(22);
  }).join();
  EXPECT_EQ(GetLastError(), 11);
  {
    LastErrorKeeper keep;
    errno = EPIPE;
    SetLastErrorFromErrno();
    EXPECT_EQ(GetLastError(), EPIPE);
  }
  EXPECT_EQ(GetLastError(), 11);
}
