#pragma once
// Small networks for tests and benchmarks, made wholly inside the caller's private network
// namespace (tests/netns-run): further namespaces held open by sleeping children, joined by
// veth pairs (MTU 1500, as Ethernet), optionally through a namespace that holds a bridge
// whose port toward the caller is limited with tc tbf, and loss on the server's side with tc
// netem or, where the kernel has no netem, a tc BPF program. Nothing can leave the machine:
// every interface here exists only inside namespaces the caller made.
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace testsupport {

// A network namespace of its own with lo up, held by a sleeping child.
class NetNamespace {
 public:
  NetNamespace();
  ~NetNamespace();
  bool ok() const { return ok_; }
  pid_t pid() const;
  // Runs a shell command inside; its exit code, stdout and stderr in *out.
  int Run(const std::string& command, std::string* out = nullptr) const;
  // argv prefix that starts a program inside.
  std::vector<std::string> Prefix() const;
  // A socket of this namespace (made on a thread that enters it), for the caller to use from
  // any thread; -1 on failure.
  int Socket(int type) const;

 private:
  std::unique_ptr<Child> holder_;
  bool ok_ = false;
};

// The server's namespace joined to the caller's ("here"), directly or through a bridge.
//   direct:  server vS 10.77.0.2 <-> vH 10.77.0.1 here
//   bridged: server vS 10.77.0.2 <-> bS [br0] bH <-> vH 10.77.0.1 here
//            and, when asked for, third vT 10.77.0.3 <-> bT [br0]
// Multicast is routed over the link on both ends; the bridge floods it (no snooping).
class ServerLink {
 public:
  static constexpr const char* kServerAddress = "10.77.0.2";
  static constexpr const char* kThirdAddress = "10.77.0.3";
  explicit ServerLink(bool bridged);
  ~ServerLink();
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  NetNamespace& server() { return server_; }
  // Another host on the bridge (bridged links only), multicast routed over its link;
  // nullptr when it could not be made.
  NetNamespace* AddThirdHost();

  // The bridge's port toward here: tc tbf at rate ("100mbit"), with a bucket of burst bytes
  // and a queue of queue bytes. Bridged links only.
  bool LimitPort(const std::string& rate, std::size_t burst, std::size_t queue);
  // Packets the limited port dropped.
  long PortDrops() const;

  // Drops per_mille of the packets the server sends: netem, else `program` (a tc BPF
  // object). Returns how ("netem", "tc bpf program"), "" with the reasons in *why.
  std::string AddLoss(int per_mille, const std::string& program, std::string* why);
  void RemoveLoss();

  // What the server's side has put out.
  struct ServerCounts {
    long tx_packets = 0;    // packets that left vS
    long tx_bytes = 0;
    long loss_drops = 0;    // packets the loss dropped
    long udp_datagrams = 0; // UDP datagrams the server's namespace sent (any size), lost
                            // ones included
  };
  ServerCounts Counts() const;

 private:
  bool bridged_;
  NetNamespace server_;
  std::unique_ptr<NetNamespace> bridge_;
  std::unique_ptr<NetNamespace> third_;
  std::string loss_;
  bool ok_ = false;
  std::string error_;
};

}  // namespace testsupport
