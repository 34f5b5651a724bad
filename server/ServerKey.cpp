#include "server/ServerKey.h"

#include <cstring>
#include <system_error>
#include <thread>
#include <utility>

#include "Common/Log.h"
#include "Common/Registry.h"
#include "server/Sender.h"
#include "server/varno.h"

namespace {
void Wipe(std::string& text) { explicit_bzero(text.data(), text.size()); }
}  // namespace

// What the sender holds while a key is in force: the sealer of the session in force, which a
// new key replaces (destroying, and so wiping, the old one) while the sender thread may be
// sealing. The lock is taken once per datagram and is almost never contended.
class ServerStreamKey::SwitchedSealer final : public DatagramSealer {
 public:
  std::size_t TrailerBytes() const override { return kStreamTrailerBytes; }
  std::size_t Seal(uint8_t* datagram, std::size_t length) override {
    std::lock_guard<std::mutex> hold(mutex_);
    // Off while the sender was on its way here: the datagram goes as it would a moment later.
    return sealer_ ? sealer_->Seal(datagram, length) : length;
  }
  void Put(std::unique_ptr<StreamSealer> sealer) {
    std::lock_guard<std::mutex> hold(mutex_);
    sealer_ = std::move(sealer);
  }

 private:
  std::mutex mutex_;
  std::unique_ptr<StreamSealer> sealer_;
};

ServerStreamKey::ServerStreamKey(Sender* sender)
    : sender_(sender), sealer_(std::make_unique<SwitchedSealer>()) {}

ServerStreamKey::~ServerStreamKey() {
  std::unique_lock<std::mutex> hold(mutex_);
  ++generation_;  // what is still being derived is thrown away
  idle_.wait(hold, [this] { return deriving_ == 0; });
}

void ServerStreamKey::InstallLocked(StreamKey key) {
  if (!key.valid()) {
    sender_->SetSealer(nullptr);
    sealer_->Put(nullptr);
    if (session_ != 0) LogLine("Stream key off: datagrams go unsigned\n");
    session_ = 0;
    return;
  }
  // Viewers take a newer session over at once and an older one only after 10 s of silence:
  // above the last one even when the clock went back or two keys come within a millisecond.
  uint64_t session = NewSessionNumber();
  if (session <= last_session_) session = last_session_ + 1;
  last_session_ = session;
  sealer_->Put(std::make_unique<StreamSealer>(std::move(key), session));
  sender_->SetSealer(sealer_.get());
  LogLine("Stream key in use: every datagram is signed (a new session begins)\n");
  session_ = session;
}

bool ServerStreamKey::Use(const std::string& passphrase) {
  StreamKey key;
  if (!passphrase.empty() && !key.Derive(passphrase.data(), passphrase.size())) return false;
  passphrase_ = passphrase;
  std::lock_guard<std::mutex> hold(mutex_);
  ++generation_;
  InstallLocked(std::move(key));
  return true;
}

void ServerStreamKey::Change(const std::string& passphrase) {
  Wipe(passphrase_);
  passphrase_ = passphrase;
  std::lock_guard<std::mutex> hold(mutex_);
  const uint64_t generation = ++generation_;
  if (passphrase.empty()) {
    InstallLocked(StreamKey());
    return;
  }
  try {
    std::thread([this, generation, text = passphrase]() mutable {
      StreamKey key;
      const bool derived = key.Derive(text.data(), text.size());
      Wipe(text);
      std::lock_guard<std::mutex> done(mutex_);
      if (generation == generation_) {
        if (derived) InstallLocked(std::move(key));
        else LogLine("Stream key not changed: no memory to derive the new one\n");
      }
      --deriving_;
      idle_.notify_all();
    }).detach();
    ++deriving_;
  } catch (const std::system_error&) {
    LogLine("Stream key not changed: no thread to derive the new one\n");
  }
}

uint64_t ServerStreamKey::session() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return session_;
}

bool ServerStreamKey::WaitIdle(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> hold(mutex_);
  return idle_.wait_for(hold, limit, [this] { return deriving_ == 0; });
}

ServerStreamKey* ServerKey() {
  static ServerStreamKey* key = nullptr;  // used by the sender thread until the process ends
  if (!key && ServerSender()) key = new ServerStreamKey(ServerSender());
  return key;
}

bool UseStoredStreamKey() {
  char text[kRegTextBytes] = "";
  GetSettingString("StreamKey", text, kSettingsSection);
  std::string passphrase = text;
  explicit_bzero(text, sizeof text);
  ServerStreamKey* key = ServerKey();
  const bool used = key && key->Use(passphrase);
  Wipe(passphrase);
  return used;
}
