// Repeated failure reports: the first in full, then at most one counted line a period.
#include "Common/FailureThrottle.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/LastError.h"
#include "tests/common/CommonTestUtil.h"

using namespace commontest;
using std::chrono::milliseconds;

namespace {
const char kStamp[] = "[2003/12/12-15:12:49] ";
}  // namespace

TEST(FailureThrottle, FirstInFullThenOneCountedLineAPeriod) {
  LogPlace place;
  StderrCapture err;
  FailureThrottle::TimePoint now{};
  FailureThrottle throttle(milliseconds(1000), [&] { return now; });
  const std::string full =
      std::string(kStamp) + "ASSERT(res != SOCKET_ERROR) failed ERROR: Invalid argument\n" +
      kStamp + "  in module [Common/MulticastSocket:7].\n";
  auto summary = [](const char* count) {
    return std::string(kStamp) + "ASSERT(res != SOCKET_ERROR) failed " + count +
           " in module [Common/MulticastSocket:7] ERROR: Invalid argument\n";
  };
  struct Step {
    int at_ms;
    bool failed;           // false: a success
    std::string written;   // what reaches the log at this step
  } steps[] = {
      {0, true, full},
      {10, true, ""},
      {999, true, ""},
      {1000, true, summary("3 more times")},  // exactly one period after the last line
      {1999, true, ""},
      {2000, false, summary("1 more time")},  // a success writes out what was held back
      {2001, false, ""},
      {2500, true, ""},
      {2999, false, ""},                       // one below the period: still held
      {3001, false, summary("1 more time")},
      {9000, true, full},                      // quiet since: a new report in full
  };
  std::size_t logged = 0;
  for (const Step& s : steps) {
    now = FailureThrottle::TimePoint(milliseconds(s.at_ms));
    SetLastError(s.failed ? EINVAL : 0);
    if (s.failed) {
      throttle.Failed("res != SOCKET_ERROR", "Common/MulticastSocket", 7);
      EXPECT_EQ(GetLastError(), EINVAL) << s.at_ms << " ms: the cause stays for the caller";
    } else {
      throttle.Succeeded();
    }
    const std::string log = place.Log();
    ASSERT_GE(log.size(), logged) << s.at_ms;
    EXPECT_EQ(log.substr(logged), s.written) << s.at_ms << " ms";
    logged = log.size();
  }
}

TEST(FailureThrottle, HeldFailuresKeepTheirOwnErrorAndPlace) {
  LogPlace place;
  StderrCapture err;
  FailureThrottle::TimePoint now{};
  FailureThrottle throttle(milliseconds(1000), [&] { return now; });
  SetLastError(EINVAL);
  throttle.Failed("a", "m", 1);
  SetLastError(ENETUNREACH);
  throttle.Failed("b", "m", 2);
  now += milliseconds(1000);
  SetLastError(EADDRINUSE);
  throttle.Succeeded();
  EXPECT_EQ(GetLastError(), EADDRINUSE);
  const std::vector<std::string> lines = Lines(place.Log());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], std::string(kStamp) + "ASSERT(b) failed 1 more time in module [m:2] "
                                            "ERROR: Network is unreachable\n");
}
