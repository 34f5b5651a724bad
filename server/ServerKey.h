#pragma once
// The server's stream key: the sealer the sender applies to every datagram, put in force
// from the settings at start-up and changed by the settings dialog. A passphrase becomes a
// key through a slow derivation (Argon2id, about 0.1 s of CPU and 64 MiB): at start-up on the
// calling thread, before anything is sent; from the dialog on a thread of its own, so that
// the tray, the timers and the pointer never wait for it. Every key put in force begins a new
// session (sequence numbers from 0, a session number above every earlier one), which viewers
// with that key take over at once. Neither the passphrase nor the key is ever logged.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "Common/StreamKey.h"

class Sender;

class ServerStreamKey {
 public:
  // The sealer is handed to sender, which must be stopped before this object is destroyed
  // (the server's is never destroyed). The destructor waits for derivations under way.
  explicit ServerStreamKey(Sender* sender);
  ~ServerStreamKey();
  ServerStreamKey(const ServerStreamKey&) = delete;
  ServerStreamKey& operator=(const ServerStreamKey&) = delete;

  // Start-up: derives the passphrase here and puts it in force; empty: no key. False when a
  // passphrase cannot be derived (no memory for the KDF); nothing changes then.
  bool Use(const std::string& passphrase);
  // The dialog's OK, main thread: empty turns the key off at once; another passphrase is
  // derived on a thread of its own and put in force when done, unless a later Change came
  // first. The key in force until then stays in force.
  void Change(const std::string& passphrase);
  // The passphrase last given to Use or Change (main thread): what the dialog shows.
  const std::string& passphrase() const { return passphrase_; }

  // The session in force, 0 without a key.
  uint64_t session() const;
  // Tests: waits until no derivation is under way; false when the limit passed first.
  bool WaitIdle(std::chrono::milliseconds limit);

 private:
  class SwitchedSealer;
  void InstallLocked(StreamKey key);  // key invalid: off

  Sender* sender_;
  std::unique_ptr<SwitchedSealer> sealer_;
  std::string passphrase_;
  mutable std::mutex mutex_;  // guards what follows
  std::condition_variable idle_;
  uint64_t generation_ = 0;   // raised by every Use and Change; a derivation of an older one is
                              // thrown away
  int deriving_ = 0;
  uint64_t session_ = 0;
  uint64_t last_session_ = 0;
};

// The server's, on ServerSender(); nullptr before StartServerSender. Main thread.
ServerStreamKey* ServerKey();
// Start-up: StreamKey from the settings put in force. False when it cannot be derived.
bool UseStoredStreamKey();
