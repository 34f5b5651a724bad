#include "tests/support/NetTopology.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <thread>

namespace testsupport {

namespace {

std::string NetNamespaceOf(pid_t pid) {
  char link[256] = {};
  const std::string path = "/proc/" + std::to_string(pid) + "/ns/net";
  const ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
  return n > 0 ? std::string(link, static_cast<std::size_t>(n)) : "";
}

// The value after `name` in the one line of a /proc/net/snmp table that follows its header.
long SnmpField(const std::string& snmp, const std::string& table, const std::string& name) {
  std::istringstream in(snmp);
  std::string header, values;
  while (std::getline(in, header)) {
    if (header.rfind(table + ":", 0) != 0 || !std::getline(in, values)) continue;
    std::istringstream h(header), v(values);
    std::string field, value;
    while (h >> field && v >> value)
      if (field == name) return std::atol(value.c_str());
  }
  return -1;
}

}  // namespace

NetNamespace::NetNamespace() {
  holder_ = std::make_unique<Child>(std::vector<std::string>{
      "unshare", "-n", "sh", "-c", "ip link set lo up && exec sleep 600"});
  const std::string own = NetNamespaceOf(getpid());
  ok_ = WaitFor([&] {
    const std::string ns = NetNamespaceOf(holder_->pid());
    return !ns.empty() && ns != own && Run("ip link show lo | grep -q UP") == 0;
  }, std::chrono::seconds(5));
}

NetNamespace::~NetNamespace() = default;  // the holder is killed, and its interfaces go

pid_t NetNamespace::pid() const { return holder_->pid(); }

int NetNamespace::Run(const std::string& command, std::string* out) const {
  std::string quoted;
  for (char c : command) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return testsupport::Run("nsenter -t " + std::to_string(pid()) + " -n sh -c '" + quoted + "' 2>&1",
                          out);
}

std::vector<std::string> NetNamespace::Prefix() const {
  return {"nsenter", "-t", std::to_string(pid()), "-n", "--"};
}

int NetNamespace::Socket(int type) const {
  int sock = -1;
  // setns moves only the calling thread: a thread of its own makes the socket and ends.
  std::thread([&] {
    const std::string path = "/proc/" + std::to_string(pid()) + "/ns/net";
    const int ns = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (ns >= 0 && setns(ns, CLONE_NEWNET) == 0) sock = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (ns >= 0) close(ns);
  }).join();
  return sock;
}

ServerLink::ServerLink(bool bridged) : bridged_(bridged) {
  if (!server_.ok()) {
    error_ = "the server's namespace did not appear";
    return;
  }
  const std::string s = std::to_string(server_.pid());
  std::string out;
  int rc;
  if (bridged_) {
    bridge_ = std::make_unique<NetNamespace>();
    if (!bridge_->ok()) {
      error_ = "the bridge's namespace did not appear";
      return;
    }
    const std::string b = std::to_string(bridge_->pid());
    rc = testsupport::Run("ip link add vH type veth peer name bH netns " + b +
                              " && ip link add vS netns " + s + " type veth peer name bS netns " + b +
                              " 2>&1", &out);
    if (rc == 0)
      rc = bridge_->Run(
          "ip link add br0 type bridge mcast_snooping 0 && ip link set bS master br0 && "
          "ip link set bH master br0 && ip link set bS up && ip link set bH up && "
          "ip link set br0 up", &out);
  } else {
    rc = testsupport::Run("ip link add vH type veth peer name vS netns " + s + " 2>&1", &out);
  }
  if (rc == 0)
    rc = server_.Run("ip addr add 10.77.0.2/24 dev vS && ip link set vS up && "
                     "ip link set vS multicast on && ip route add 224.0.0.0/4 dev vS", &out);
  if (rc == 0)
    rc = testsupport::Run("ip addr add 10.77.0.1/24 dev vH && ip link set vH up && "
                          "ip link set vH multicast on && ip route replace 224.0.0.0/4 dev vH 2>&1",
                          &out);
  ok_ = rc == 0;
  if (!ok_) error_ = out;
}

ServerLink::~ServerLink() {
  // The pairs go with their namespaces; here only vH's end is left to remove, and the
  // multicast route goes back to lo for whatever runs next in this namespace.
  testsupport::Run("ip link del vH 2>/dev/null; ip route replace 224.0.0.0/4 dev lo 2>/dev/null");
}

NetNamespace* ServerLink::AddThirdHost() {
  if (!bridge_ || third_) return third_.get();
  auto third = std::make_unique<NetNamespace>();
  if (!third->ok()) return nullptr;
  const std::string t = std::to_string(third->pid()), b = std::to_string(bridge_->pid());
  std::string out;
  int rc = testsupport::Run("ip link add vT netns " + t + " type veth peer name bT netns " + b +
                                " 2>&1", &out);
  if (rc == 0)
    rc = bridge_->Run("ip link set bT master br0 && ip link set bT up", &out);
  if (rc == 0)
    rc = third->Run("ip addr add 10.77.0.3/24 dev vT && ip link set vT up && "
                    "ip link set vT multicast on && ip route add 224.0.0.0/4 dev vT", &out);
  if (rc != 0) {
    error_ = out;
    return nullptr;
  }
  third_ = std::move(third);
  return third_.get();
}

bool ServerLink::LimitPort(const std::string& rate, std::size_t burst, std::size_t queue) {
  if (!bridge_) return false;
  return bridge_->Run("tc qdisc add dev bH root tbf rate " + rate + " burst " +
                      std::to_string(burst) + " limit " + std::to_string(queue)) == 0;
}

long ServerLink::PortDrops() const {
  if (!bridge_) return -1;
  std::string out;
  bridge_->Run("tc -s qdisc show dev bH", &out);
  const std::size_t p = out.find("dropped ");
  return p == std::string::npos ? -1 : std::atol(out.c_str() + p + 8);
}

std::string ServerLink::AddLoss(int per_mille, const std::string& program, std::string* why) {
  std::string out;
  const std::string percent = std::to_string(per_mille / 10) + "." + std::to_string(per_mille % 10);
  if (server_.Run("tc qdisc add dev vS root netem loss " + percent + "%", &out) == 0)
    return loss_ = "netem";
  *why = "netem: " + out;
  if (!program.empty() && access(program.c_str(), R_OK) == 0 &&
      server_.Run("tc qdisc add dev vS clsact && tc filter add dev vS egress bpf da obj " +
                      program + " sec classifier", &out) == 0)
    return loss_ = "tc bpf program";
  *why += "; tc bpf: " + (program.empty() ? std::string("not built (no clang)") : out);
  return "";
}

void ServerLink::RemoveLoss() {
  if (loss_ == "netem") server_.Run("tc qdisc del dev vS root");
  if (loss_ == "tc bpf program") server_.Run("tc qdisc del dev vS clsact");
  loss_.clear();
}

ServerLink::ServerCounts ServerLink::Counts() const {
  ServerCounts c;
  std::string out;
  // /proc/net follows the namespace (/sys/class/net would show the one sysfs was mounted in).
  server_.Run("cat /proc/net/dev", &out);
  const std::size_t at = out.find("vS:");
  if (at != std::string::npos) {
    std::istringstream fields(out.substr(at + 3));
    long v[10] = {};
    for (long& f : v) fields >> f;
    c.tx_bytes = v[8];
    c.tx_packets = v[9];
  }
  if (!loss_.empty()) {
    server_.Run("tc -s qdisc show dev vS", &out);
    long total = 0;
    for (std::size_t p = 0; (p = out.find("dropped ", p)) != std::string::npos; p += 8)
      total += std::atol(out.c_str() + p + 8);
    c.loss_drops = total;
  }
  server_.Run("cat /proc/net/snmp", &out);
  // A datagram the tc program drops fails its send quietly: counted as a buffer error.
  c.udp_datagrams = SnmpField(out, "Udp", "OutDatagrams") + SnmpField(out, "Udp", "SndbufErrors");
  return c;
}

}  // namespace testsupport
