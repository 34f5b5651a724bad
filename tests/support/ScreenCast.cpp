#include "tests/support/ScreenCast.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/support/Pattern.h"

namespace testsupport {

namespace {

// Starts argv with the session's environment, stdin from input (or /dev/null when -1),
// stdout and stderr into output.
pid_t Spawn(const std::vector<std::string>& argv, const SwaySession& session, int input,
            const std::string& output) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int in = input >= 0 ? input : open("/dev/null", O_RDONLY);
  const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  dup2(in, 0);
  dup2(out, 1);
  dup2(out, 2);
  for (const auto& e : session.ClientEnv()) putenv(strdup(e.c_str()));
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(strdup(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

void End(pid_t* pid) {
  if (*pid <= 0) return;
  kill(*pid, SIGTERM);
  if (!WaitFor([&] { return waitpid(*pid, nullptr, WNOHANG) == *pid; }, std::chrono::seconds(3))) {
    kill(*pid, SIGKILL);
    waitpid(*pid, nullptr, 0);
  }
  *pid = -1;
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

}  // namespace

TestProducer::TestProducer(const SwaySession& session, int width, int height,
                           const std::vector<std::string>& flags)
    : width_(width), height_(height),
      picture_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  std::vector<std::string> argv = {BinDir() + "/orvane-test-producer", std::to_string(width),
                                   std::to_string(height)};
  argv.insert(argv.end(), flags.begin(), flags.end());
  // The child's end loses O_CLOEXEC through dup2.
  pid_ = Spawn(argv, session, fds[0], dir_ / "out");
  close(fds[0]);
  input_ = fds[1];
  long node = -1;
  WaitFor([&] { return (node = Answer("node")) >= 0; }, std::chrono::seconds(5));
  if (node > 0) node_ = static_cast<uint32_t>(node);
}

TestProducer::~TestProducer() { Stop(); }

void TestProducer::Stop() {
  if (input_ >= 0) close(input_);
  input_ = -1;
  End(&pid_);
}

std::string TestProducer::Output() const { return ReadAll(dir_ / "out"); }

void TestProducer::Send(const std::string& line) {
  if (input_ < 0) return;
  const std::string text = line + "\n";
  (void)!write(input_, text.data(), text.size());
}

long TestProducer::Answer(const std::string& word) {
  std::istringstream in(ReadAll(dir_ / "out"));
  long last = -1;
  for (std::string line; std::getline(in, line);)
    if (line.rfind(word + " ", 0) == 0) last = std::atol(line.c_str() + word.size() + 1);
  return last;
}

void TestProducer::Pattern(uint32_t seed) {
  Send("pattern " + std::to_string(seed));
  for (int y = 0; y < height_; ++y)
    for (int x = 0; x < width_; ++x)
      picture_[static_cast<std::size_t>(y * width_ + x)] = PatternPixel(x, y, seed);
}

void TestProducer::Image(const std::vector<uint32_t>& rgb) {
  if (rgb.size() != picture_.size()) return;
  const std::string path = dir_ / "image";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(rgb.data()),
             static_cast<std::streamsize>(rgb.size() * 4));
  Send("image " + path);
  picture_ = rgb;
}

long long TestProducer::last_frame_time() const {
  std::istringstream in(ReadAll(dir_ / "out"));
  long long at = 0;
  for (std::string line; std::getline(in, line);) {
    long long n = 0, t = 0;
    if (std::sscanf(line.c_str(), "frame %lld %lld", &n, &t) == 2) at = t;
  }
  return at;
}

void TestProducer::Fill(int x, int y, int w, int h, uint32_t rgb) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%06x", rgb);
  Send("fill " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(w) + " " +
       std::to_string(h) + " " + hex);
  for (int row = std::max(y, 0); row < std::min(y + h, height_); ++row)
    for (int col = std::max(x, 0); col < std::min(x + w, width_); ++col)
      picture_[static_cast<std::size_t>(row * width_ + col)] = rgb;
}

void TestProducer::Damage(int x, int y, int w, int h) {
  Send("damage " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(w) + " " +
       std::to_string(h));
}

void TestProducer::Cursor(int x, int y) {
  Send("cursor " + std::to_string(x) + " " + std::to_string(y));
}

bool TestProducer::Frame(bool wait) {
  Send("frame");
  const int want = ++frames_;
  return !wait || WaitFor([&] { return Answer("frame") >= want; }, std::chrono::seconds(5));
}

TestPortal::TestPortal(const SwaySession& session, uint32_t node, int width, int height,
                       const std::vector<std::string>& extra) {
  std::vector<std::string> argv = {BinDir() + "/orvane-test-portal", "--node",
                                   std::to_string(node), "--size",
                                   std::to_string(width) + "x" + std::to_string(height),
                                   "--log", dir_ / "events"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  pid_ = Spawn(argv, session, -1, dir_ / "out");
  ok_ = WaitFor([&] { return ReadAll(dir_ / "out").find("ready\n") != std::string::npos; },
                std::chrono::seconds(5));
}

TestPortal::~TestPortal() { End(&pid_); }

std::vector<std::string> TestPortal::Events() const {
  std::vector<std::string> events;
  std::istringstream in(ReadAll(dir_ / "events"));
  for (std::string line; std::getline(in, line);) events.push_back(line);
  return events;
}

int TestPortal::Count(const std::string& word) const {
  int n = 0;
  for (const std::string& e : Events())
    n += e == word || e.rfind(word + " ", 0) == 0;
  return n;
}

}  // namespace testsupport
