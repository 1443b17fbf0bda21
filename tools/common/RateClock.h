// When the bytes of a stream fall due at a fixed rate, counted from a start its owner sets: what
// holds a source to a tuner's pace and a sink to a player's. Portable; one thread uses it.
#pragma once

#include <chrono>
#include <cstdint>

namespace ovts::tools {

class RateClock {
 public:
  using Clock = std::chrono::steady_clock;

  // A rate of 0 holds nothing back: every byte is due at the start.
  explicit RateClock(uint64_t bytesPerSecond) : bytesPerSecond_(bytesPerSecond) {}

  // Byte 0 falls due now.
  void Restart() { start_ = Clock::now(); }
  // Time until `bytes` past the start fall due; negative when they are overdue.
  Clock::duration Until(uint64_t bytes) const {
    const double seconds = bytesPerSecond_ ? static_cast<double>(bytes) / static_cast<double>(bytesPerSecond_) : 0;
    return start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)) - Clock::now();
  }

 private:
  const uint64_t bytesPerSecond_;
  Clock::time_point start_ = Clock::now();
};

}  // namespace ovts::tools
