#pragma once
// The pieces of a desktop's screen cast for tests, on a headless session's PipeWire and
// D-Bus (Sway.h with pipewire): a PipeWire producer whose frames the test dictates
// (orvane-test-producer) and a ScreenCast portal of our own (orvane-test-portal). Both end
// with their objects.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/Sway.h"

namespace testsupport {

// The producer, and the picture it holds (0xRRGGBB), kept in step with the commands sent.
class TestProducer {
 public:
  // flags: "--damage", "--cursor", "--rgbx" (see TestProducer.cpp).
  TestProducer(const SwaySession& session, int width, int height,
               const std::vector<std::string>& flags = {});
  ~TestProducer();
  bool ok() const { return node_ != 0; }
  uint32_t node() const { return node_; }
  int width() const { return width_; }
  int height() const { return height_; }

  void Pattern(uint32_t seed);
  // The whole picture (width x height, 0xRRGGBB), through a file in the producer's folder.
  void Image(const std::vector<uint32_t>& rgb);
  void Fill(int x, int y, int w, int h, uint32_t rgb);
  void Damage(int x, int y, int w, int h);
  void Cursor(int x, int y);
  // Sends the picture; waits until the producer has queued it (false after 5 s). Frames
  // asked for before a consumer is linked go out once one is.
  bool Frame(bool wait = true);
  const std::vector<uint32_t>& picture() const { return picture_; }
  // When the producer queued its last frame (CLOCK_MONOTONIC, nanoseconds); 0 when unknown.
  long long last_frame_time() const;
  // Ends the producer now, as a compositor that stops casting would.
  void Stop();
  // What it said so far (for failure messages).
  std::string Output() const;

  TestProducer(const TestProducer&) = delete;
  TestProducer& operator=(const TestProducer&) = delete;

 private:
  void Send(const std::string& line);
  // The first number after "word " in the producer's output, -1 when none yet.
  long Answer(const std::string& word);

  TempDir dir_;
  pid_t pid_ = -1;
  int input_ = -1;
  uint32_t node_ = 0;
  int width_, height_, frames_ = 0;
  std::vector<uint32_t> picture_;
};

// The portal on the session's bus, handing out node; extra: further options of
// orvane-test-portal ("--refuse", "start:1", ...).
class TestPortal {
 public:
  TestPortal(const SwaySession& session, uint32_t node, int width, int height,
             const std::vector<std::string>& extra = {});
  ~TestPortal();
  bool ok() const { return ok_; }
  // Its events so far, one a line ("create", "select ...", "ask", "restore TOKEN", ...).
  std::vector<std::string> Events() const;
  // How many events begin with word.
  int Count(const std::string& word) const;

  TestPortal(const TestPortal&) = delete;
  TestPortal& operator=(const TestPortal&) = delete;

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  bool ok_ = false;
};

}  // namespace testsupport
