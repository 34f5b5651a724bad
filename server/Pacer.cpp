#include "server/Pacer.h"

#include <algorithm>

namespace {
constexpr std::size_t kUdpHeader = 8, kIpHeader = 20, kEthernetHeader = 14;
constexpr std::size_t kMtu = 1500;
// Bytes of the IP payload in every fragment but the last: 1480 rounded down to 8.
constexpr std::size_t kFragmentData = (kMtu - kIpHeader) / 8 * 8;
// The bucket holds this much of the rate, and at least a few frames, so that each system
// call carries several datagrams: small beside the 256 KB queue of a cheap switch.
constexpr double kBurstSeconds = 0.004;
constexpr std::size_t kMinBurst = 16 * 1024;
}  // namespace

std::size_t WireBytes(std::size_t payload) {
  const std::size_t ip_payload = payload + kUdpHeader;
  const std::size_t fragments = std::max<std::size_t>(1, (ip_payload + kFragmentData - 1) / kFragmentData);
  return ip_payload + fragments * (kIpHeader + kEthernetHeader);
}

std::size_t BurstFor(uint64_t bytes_per_second, std::size_t max_datagram) {
  const auto share = static_cast<std::size_t>(static_cast<double>(bytes_per_second) * kBurstSeconds);
  return std::max({share, kMinBurst, 2 * WireBytes(max_datagram)});
}

void TokenBucket::Configure(uint64_t bytes_per_second, std::size_t burst, Clock::time_point now) {
  rate_ = static_cast<double>(bytes_per_second);
  burst_ = static_cast<double>(burst);
  tokens_ = burst_;
  last_ = now;
}

void TokenBucket::Refill(Clock::time_point now) {
  if (now <= last_) return;
  tokens_ = std::min(burst_, tokens_ + rate_ * std::chrono::duration<double>(now - last_).count());
  last_ = now;
}

bool TokenBucket::TryTake(std::size_t bytes, Clock::time_point now) {
  if (!paced()) return true;
  Refill(now);
  if (tokens_ < static_cast<double>(bytes)) return false;
  tokens_ -= static_cast<double>(bytes);
  return true;
}

void TokenBucket::Charge(std::size_t bytes, Clock::time_point now) {
  if (!paced()) return;
  Refill(now);
  tokens_ -= static_cast<double>(bytes);
}

TokenBucket::Clock::time_point TokenBucket::ReadyAt(std::size_t bytes, Clock::time_point now) {
  if (!paced()) return now;
  Refill(now);
  const double missing = static_cast<double>(bytes) - tokens_;
  if (missing <= 0) return now;
  // Rounded up, so that a wake-up at this time never finds the bucket a token short.
  return now + std::chrono::duration_cast<Clock::duration>(
                   std::chrono::duration<double>(missing / rate_)) + Clock::duration(1);
}
