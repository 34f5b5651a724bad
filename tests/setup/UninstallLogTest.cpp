// The uninstall log's encoding, its buffer and the reader's handling of damaged logs.
#include <gtest/gtest.h>

#include "Common/Log.h"
#include "setup/Uninstall.h"
#include "tests/setup/SetupTestUtil.h"
#include "tests/support/TestSupport.h"

using testsupport::TempDir;

namespace {
std::string Bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += static_cast<char>(b);
  return s;
}

std::string Log(const TempDir& dir) { return UninstallLog::LogPath(dir.path()); }
}  // namespace

TEST(UninstallLogEncoding, LengthPrefixFormsAtTheirEdges) {
  struct Case {
    std::size_t length;
    std::string prefix;
  } cases[] = {
      {0, Bytes({0x00})},
      {1, Bytes({0x01})},
      {254, Bytes({0xFE})},
      {255, Bytes({0xFF, 0xFF, 0x00})},
      {65533, Bytes({0xFF, 0xFD, 0xFF})},
      {65534, Bytes({0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00})},
      {70000, Bytes({0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00})},
  };
  for (const Case& c : cases) {
    std::string out;
    AppendLogString(out, std::string(c.length, 'a'));
    ASSERT_EQ(out.size(), c.prefix.size() + c.length) << c.length;
    EXPECT_EQ(out.substr(0, c.prefix.size()), c.prefix) << c.length;
  }
}

TEST(UninstallLogEncoding, ExampleRecordIsThirteenBytes) {
  const std::string record = EncodeRecord('F', "C:\\I\\a.txt", "");
  EXPECT_EQ(record, std::string("F\x0A") + "C:\\I\\a.txt" + std::string(1, '\0'));
  EXPECT_EQ(record.size(), 13u);
}

TEST(UninstallLog, StringsOfEveryFormReadBackAsWritten) {
  TempDir dir;
  UninstallLog log;
  const std::size_t lengths[] = {0, 254, 255, 4095};
  log.CreateLog(dir.path());
  for (std::size_t n : lengths) log.WriteRecord('F', std::string(n, 'x'), std::string(n % 7, 'y'));
  log.WriteRecord('S', "/usr/bin/prog", "prog.service");
  log.CloseLog();

  const auto records = ReadLog(dir.path());
  ASSERT_EQ(records.size(), std::size(lengths) + 1);
  for (std::size_t i = 0; i < std::size(lengths); ++i) {
    EXPECT_EQ(records[i], (LogRecord{'F', std::string(lengths[i], 'x'), std::string(lengths[i] % 7, 'y')}));
  }
  EXPECT_EQ(records.back(), (LogRecord{'S', "/usr/bin/prog", "prog.service"}));
}

TEST(UninstallLog, RecordsReachTheFileWhenTheBufferFillsAndAtClose) {
  TempDir dir;
  UninstallLog log;
  log.CreateLog(dir.path());
  // 100 records of 40 bytes: 4000 bytes stay in the 4096-byte buffer.
  const std::string path(37, 'p');
  for (int i = 0; i < 100; ++i) log.WriteRecord('F', path, "");
  EXPECT_EQ(ReadFile(Log(dir)).size(), 0u);
  for (int i = 0; i < 3; ++i) log.WriteRecord('F', path, "");
  EXPECT_EQ(ReadFile(Log(dir)).size(), UninstallLog::kBufferSize);
  log.CloseLog();
  EXPECT_EQ(ReadFile(Log(dir)).size(), 103u * 40u);
  EXPECT_EQ(ReadLog(dir.path()).size(), 103u);
}

TEST(UninstallLog, CreateEmptiesAnExistingLog) {
  TempDir dir;
  WriteFile(Log(dir), EncodeRecord('F', "/old", ""));
  UninstallLog log;
  log.CreateLog(dir.path());
  log.CloseLog();
  EXPECT_EQ(ReadFile(Log(dir)), "");
}

TEST(UninstallLog, Utf16StringsAreConvertedToUtf8) {
  TempDir dir;
  // 'F', marker FF FE FF, 6 units: "a", U+00E9, U+20AC, U+1F600 (a pair), an unpaired low half.
  std::string record = Bytes({'F', 0xFF, 0xFE, 0xFF, 0x06});
  record += Bytes({'a', 0, 0xE9, 0, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE, 0x00, 0xDC});
  record += Bytes({0x00});
  record += EncodeRecord('D', "/after", "");
  WriteFile(Log(dir), record);
  const auto records = ReadLog(dir.path());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].first, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80?");
  EXPECT_EQ(records[1], (LogRecord{'D', "/after", ""}));
}

TEST(UninstallLog, DamagedLogsEndTheReplayAfterTheCompleteRecords) {
  const std::string good = EncodeRecord('F', "/a", "") + EncodeRecord('X', "/x", "") +
                           EncodeRecord('D', "/b", "");
  struct Case {
    const char* what;
    std::string tail;
    std::size_t expected;  // records read
  } cases[] = {
      {"nothing more", "", 3},
      {"cut inside the second string", Bytes({'F', 2, '/', 'c', 5, 'x'}), 3},
      {"cut after the type byte", Bytes({'F'}), 3},
      {"cut inside a 16-bit length", Bytes({'F', 0xFF, 0x10}), 3},
      {"32-bit length 0x7FFFFFFF", Bytes({'F', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 'a', 'b'}), 3},
      {"32-bit length 0xFFFFFFFF", Bytes({'F', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 3},
      {"16-bit length past the end", Bytes({'F', 0xFF, 0x00, 0x10, 'a'}), 3},
      {"UTF-16 with an odd byte left", Bytes({'F', 0xFF, 0xFE, 0xFF, 0x02, 'a', 0, 'b'}), 3},
      {"UTF-16 units past the end", Bytes({'F', 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}), 3},
      {"UTF-16 marker twice", Bytes({'F', 0xFF, 0xFE, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00}), 3},
  };
  for (const Case& c : cases) {
    TempDir dir;
    WriteFile(Log(dir), good + c.tail);
    const auto records = ReadLog(dir.path());
    ASSERT_EQ(records.size(), c.expected) << c.what;
    EXPECT_EQ(records[1].type, 'X') << "unknown types are handed on, the replay skips them";
    EXPECT_EQ(records[2], (LogRecord{'D', "/b", ""})) << c.what;
  }
}

TEST(UninstallLog, OverLongStringsSkipTheirRecordOnly) {
  TempDir dir;
  std::string data = EncodeRecord('F', "/a", "");
  data += EncodeRecord('F', std::string(UninstallLog::kMaxString + 1, 'l'), "");
  data += EncodeRecord('F', "/b", std::string(70000, 's'));
  // A UTF-16 string of 4096 units is skipped as well.
  data += Bytes({'F', 0xFF, 0xFE, 0xFF, 0xFF, 0x00, 0x10}) + std::string(2 * 4096, 'u') + Bytes({0});
  data += EncodeRecord('F', std::string(UninstallLog::kMaxString, 'k'), "");
  WriteFile(Log(dir), data);
  const auto records = ReadLog(dir.path());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].first, "/a");
  EXPECT_EQ(records[1].first, std::string(UninstallLog::kMaxString, 'k'));
}

TEST(UninstallLog, OpenFailsForMissingLogsAndNonFiles) {
  TempDir dir;
  UninstallLog log;
  EXPECT_FALSE(log.OpenLog(dir.path()));
  mkdir(Log(dir).c_str(), 0755);
  EXPECT_FALSE(log.OpenLog(dir.path()));
}

TEST(UninstallLog, CreateReplacesLinksInsteadOfWritingThroughThem) {
  struct Case {
    const char* what;
    int (*plant)(const char* target, const char* name);
  } cases[] = {{"hard link", &link}, {"symbolic link", &symlink}};
  for (const Case& c : cases) {
    TempDir dir;
    WriteFile(dir / "victim", "keep");
    ASSERT_EQ(c.plant((dir / "victim").c_str(), Log(dir).c_str()), 0) << c.what;
    UninstallLog log;
    log.CreateLog(dir.path());
    log.WriteRecord('F', "/a", "");
    log.CloseLog();
    EXPECT_EQ(ReadFile(dir / "victim"), "keep") << c.what;
    struct stat st {};
    ASSERT_EQ(lstat(Log(dir).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1) << c.what << ": a file of its own";
    EXPECT_EQ(ReadLog(dir.path()), (std::vector<LogRecord>{{'F', "/a", ""}})) << c.what;
    std::string listing;
    testsupport::Run("LC_ALL=C ls -A '" + dir.path() + "'", &listing);
    EXPECT_EQ(listing, "Uninstall.log\nvictim\n") << c.what << ": no temporary file is left";
  }
}

TEST(UninstallLog, CreateInAFolderThatTakesNoFileIsFatal) {
  TempDir dir;
  EXPECT_EXIT({ UninstallLog log; log.CreateLog(dir / "missing"); }, testing::ExitedWithCode(1),
              "Cannot create uninstall log file");
}

namespace {
UninstallLog* g_hook_log = nullptr;
void FlushHook() { g_hook_log->Flush(); }
}  // namespace

TEST(UninstallLog, FatalErrorHookWritesOutBufferedRecords) {
  TempDir dir;
  EXPECT_EXIT(
      {
        UninstallLog log;
        g_hook_log = &log;
        SetFatalErrorHook(&FlushHook);
        log.CreateLog(dir.path());
        log.WriteRecord('F', "/one", "");
        log.WriteRecord('F', "/two", "");
        FatalError("stop", "tests/setup", 1);
      },
      testing::ExitedWithCode(1), "stop");
  const auto records = ReadLog(dir.path());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].first, "/two");
}
