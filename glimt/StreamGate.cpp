#include "glimt/StreamGate.h"

#include <utility>

StreamGate::StreamGate(StreamKey key) {
  if (key.valid()) checker_ = std::make_unique<StreamChecker>(std::move(key));
}

StreamGate::Admission StreamGate::Admit(const uint8_t* data, std::size_t n, int64_t now_ms) {
  Admission a;
  if (!checker_) {
    a.use = true;
    a.length = n;
    return a;
  }
  const StreamCheck c = checker_->Check(data, n, now_ms);
  a.use = c.verdict == StreamVerdict::kAccepted;
  a.length = c.length;
  if (c.log_drop) a.drop_line = StreamDropText(c.verdict);
  return a;
}

uint64_t StreamGate::NewLoss(uint64_t socket_drops) {
  return checker_ ? checker_->TakeNewLoss() : socket_drops;
}

uint64_t StreamGate::lost() const { return checker_ ? checker_->lost() : 0; }

uint64_t StreamGate::refused() const {
  if (!checker_) return 0;
  uint64_t n = 0;
  for (int v = 0; v < kStreamVerdicts; ++v)
    if (static_cast<StreamVerdict>(v) != StreamVerdict::kAccepted)
      n += checker_->count(static_cast<StreamVerdict>(v));
  return n;
}
