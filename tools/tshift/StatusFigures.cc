#include "tools/tshift/StatusFigures.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace ovts::tshift {

namespace {
constexpr double kKB = 1024.0;
constexpr double kMB = 1048576.0;
constexpr double kGB = 1073741824.0;
}  // namespace

std::string FormatBytes(int64_t bytes) {
  const double b = static_cast<double>(bytes);
  const double a = std::fabs(b);
  char text[32];
  if (a < kMB)
    std::snprintf(text, sizeof text, "%.0f KB", b / kKB);
  else if (a < kGB)
    std::snprintf(text, sizeof text, "%.1f MB", b / kMB);
  else
    std::snprintf(text, sizeof text, "%.2f GB", b / kGB);
  return text;
}

std::string FormatSignedBytes(int64_t bytes) {
  std::string text = bytes >= 0 ? "+" : "";
  text += FormatBytes(bytes);
  return text;
}

std::string FormatSeconds(double seconds) {
  if (seconds < 0) return "?";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

double SecondsAt(int64_t bytes, uint64_t bitsPerSecond) {
  if (bitsPerSecond == 0) return -1.0;
  return static_cast<double>(bytes) * 8.0 / static_cast<double>(bitsPerSecond);
}

int64_t BytesFor(double seconds, uint64_t bitsPerSecond) {
  return static_cast<int64_t>(std::llround(seconds * static_cast<double>(bitsPerSecond) / 8.0));
}

int64_t BytesBehindLive(const BufferStatus& status) {
  const int64_t behind = status.current - status.readLocation;
  return behind > 0 ? behind : 0;
}

const char* PlayStateName(int playState) {
  switch (playState) {
    case 0: return "IDLE";
    case 1: return "PAUSED";
    case 2: return "PLAYING";
    default: return "?";
  }
}

std::string FormatStatus(const BufferStatus& status, int64_t delayBytes, uint64_t bitsPerSecond,
                         uint64_t delivered) {
  char text[256];
  std::snprintf(text, sizeof text, "%-7s total %s  current %s  read %s  write %s  delay %s (%s)  out %s",
                PlayStateName(status.playState), FormatBytes(status.total).c_str(),
                FormatBytes(status.current).c_str(), FormatBytes(status.readLocation).c_str(),
                FormatBytes(status.writeLocation).c_str(), FormatSeconds(SecondsAt(delayBytes, bitsPerSecond)).c_str(),
                FormatBytes(delayBytes).c_str(), FormatBytes(static_cast<int64_t>(delivered)).c_str());
  std::string line = text;
  if (status.dropped) line += "  dropped " + FormatBytes(static_cast<int64_t>(status.dropped));
  if (status.suspended) line += "  RECORDING SUSPENDED";
  return line;
}

void RateMeter::Add(double seconds, uint64_t bytes) {
  seconds_[next_] = seconds;
  bytes_[next_] = bytes;
  next_ = (next_ + 1) % kWindow;
  if (count_ < kWindow) ++count_;
}

uint64_t RateMeter::BitsPerSecond() const {
  if (count_ < 2) return 0;
  const int newest = (next_ + kWindow - 1) % kWindow;
  const int oldest = (next_ + kWindow - count_) % kWindow;
  const double span = seconds_[newest] - seconds_[oldest];
  if (span < 1.0 || bytes_[newest] < bytes_[oldest]) return 0;
  return static_cast<uint64_t>(static_cast<double>(bytes_[newest] - bytes_[oldest]) * 8.0 / span);
}

}  // namespace ovts::tshift
