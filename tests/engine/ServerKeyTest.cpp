// The server's stream key on a real sender thread: what leaves is signed from the moment a
// key is in force, a change is derived without holding up its caller and begins a new
// session, the last of quick changes wins, and an empty key turns signing off at once.
#include "server/ServerKey.h"

#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Common/UpdateHeader.h"
#include "server/Sender.h"

using namespace std::chrono_literals;

namespace {

// Keeps every datagram the sender puts out.
class Wire : public DatagramTransport {
 public:
  std::size_t Send(const DatagramRef* batch, std::size_t count, int*) override {
    std::lock_guard<std::mutex> hold(mutex_);
    for (std::size_t i = 0; i < count; ++i)
      sent_.emplace_back(batch[i].data, batch[i].data + batch[i].size);
    return count;
  }
  std::vector<DatagramBytes> Take() {
    std::lock_guard<std::mutex> hold(mutex_);
    return std::move(sent_);
  }

 private:
  std::mutex mutex_;
  std::vector<DatagramBytes> sent_;
};

// A sender and the key on it; the sender stops before the key goes.
struct Rig {
  Rig() {
    sender.Configure(0, 1472);
    started = sender.Start();
  }
  ~Rig() { sender.Stop(); }

  // One pointer datagram through the sender, as it left.
  DatagramBytes SendOne() {
    uint8_t pointer[kUpdateHeaderBytes];
    EncodeUpdateHeader(UpdateHeader{UPDATE_POINTER, 0, 400, 300, 0, 0}, pointer);
    sender.PushControl(DatagramBytes(pointer, pointer + sizeof pointer));
    for (auto end = std::chrono::steady_clock::now() + 2s;
         !sender.Drained() && std::chrono::steady_clock::now() < end;)
      std::this_thread::sleep_for(1ms);
    std::vector<DatagramBytes> sent = wire.Take();
    return sent.size() == 1 ? sent[0] : DatagramBytes();
  }

  Wire wire;
  Sender sender{&wire};
  ServerStreamKey key{&sender};
  bool started = false;
};

// A viewer's checker for each passphrase, derived once.
StreamChecker& Viewer(const std::string& passphrase) {
  static std::map<std::string, StreamChecker> viewers;
  auto it = viewers.find(passphrase);
  if (it == viewers.end()) {
    StreamKey key;
    EXPECT_TRUE(key.Derive(passphrase.data(), passphrase.size()));
    it = viewers.emplace(passphrase, StreamChecker(std::move(key))).first;
  }
  return it->second;
}

StreamVerdict Judge(const std::string& passphrase, const DatagramBytes& d) {
  return Viewer(passphrase).Check(d.data(), d.size(), 0).verdict;
}

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

TEST(ServerStreamKey, SignsFromUseAndChangesWithoutHoldingUpTheCaller) {
  Rig rig;
  ASSERT_TRUE(rig.started);
  const std::string a = "Klasse 7a", b = "Klasse 7b", c = "Klasse 7c";

  // No key: 20 bytes, nothing appended, no room kept.
  ASSERT_TRUE(rig.key.Use(""));
  EXPECT_EQ(rig.SendOne().size(), 20u);
  EXPECT_EQ(rig.sender.TrailerBytes(), 0u);
  EXPECT_EQ(rig.key.session(), 0u);

  // Start-up with a key: every datagram signed, numbered from 0 in its session.
  ASSERT_TRUE(rig.key.Use(a));
  EXPECT_EQ(rig.sender.TrailerBytes(), kStreamTrailerBytes);
  const uint64_t session_a = rig.key.session();
  EXPECT_NE(session_a, 0u);
  for (uint64_t i = 0; i < 3; ++i) {
    const DatagramBytes d = rig.SendOne();
    ASSERT_EQ(d.size(), 20u + kStreamTrailerBytes);
    EXPECT_EQ(Judge(a, d), StreamVerdict::kAccepted);
    EXPECT_EQ(Viewer(a).newest(), i);
  }
  EXPECT_EQ(Viewer(a).session(), session_a);
  EXPECT_EQ(rig.key.passphrase(), a);

  // A change returns at once (the derivation alone is some 100 ms of CPU); once derived,
  // the new key is in force in a newer session from sequence number 0, and the old key's
  // viewers refuse it.
  const double cpu = ThreadCpuMs();
  rig.key.Change(b);
  EXPECT_LT(ThreadCpuMs() - cpu, 10.0) << "the caller derived the key itself";
  EXPECT_EQ(rig.key.passphrase(), b);
  ASSERT_TRUE(rig.key.WaitIdle(20s));
  const uint64_t session_b = rig.key.session();
  EXPECT_GT(session_b, session_a);
  DatagramBytes d = rig.SendOne();
  EXPECT_EQ(Judge(b, d), StreamVerdict::kAccepted);
  EXPECT_EQ(Viewer(b).session(), session_b);
  EXPECT_EQ(Viewer(b).newest(), 0u);
  EXPECT_EQ(Judge(a, d), StreamVerdict::kBadTag);

  // Two changes in a row: the later wins, whichever derivation ends first.
  rig.key.Change(c);
  rig.key.Change(a);
  ASSERT_TRUE(rig.key.WaitIdle(20s));
  d = rig.SendOne();
  EXPECT_EQ(Judge(c, d), StreamVerdict::kBadTag);
  EXPECT_EQ(Judge(a, d), StreamVerdict::kAccepted);
  EXPECT_GT(rig.key.session(), session_b);
  EXPECT_EQ(Viewer(a).session(), rig.key.session()) << "a newer session is taken at once";

  // Empty: off at once, also for a derivation still under way.
  rig.key.Change(b);
  rig.key.Change("");
  EXPECT_EQ(rig.key.session(), 0u);
  EXPECT_EQ(rig.sender.TrailerBytes(), 0u);
  EXPECT_EQ(rig.SendOne().size(), 20u);
  ASSERT_TRUE(rig.key.WaitIdle(20s));
  EXPECT_EQ(rig.SendOne().size(), 20u) << "the derivation of b came too late to count";
  EXPECT_EQ(rig.key.passphrase(), "");
}

}  // namespace
