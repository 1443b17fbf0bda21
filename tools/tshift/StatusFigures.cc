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

const char* TimeSourceName(uint32_t source) {
  switch (source) {
    case TSTIME_STREAM_CLOCK: return "stream clock";
    case TSTIME_MEASURED_RATE: return "measured rate";
    default: return "untimed";
  }
}

std::string FormatStatus(const BufferStatus& status, int64_t delayBytes, uint64_t delivered) {
  char text[320];
  std::snprintf(text, sizeof text,
                "%-7s total %s  current %s  read %s  write %s  delay %s (%s)  retained %s  %s",
                PlayStateName(status.playState), FormatBytes(status.total).c_str(),
                FormatBytes(status.current).c_str(), FormatBytes(status.readLocation).c_str(),
                FormatBytes(status.writeLocation).c_str(), FormatSeconds(status.time.delaySeconds).c_str(),
                FormatBytes(delayBytes).c_str(), FormatSeconds(status.time.retainedSeconds).c_str(),
                TimeSourceName(status.time.source));
  std::string line = text;
  if (status.time.bitsPerSecond) {
    std::snprintf(text, sizeof text, " %.2f Mbit/s", static_cast<double>(status.time.bitsPerSecond) / 1e6);
    line += text;
  }
  line += "  out " + FormatBytes(static_cast<int64_t>(delivered));
  if (status.dropped) line += "  dropped " + FormatBytes(static_cast<int64_t>(status.dropped));
  if (status.suspended) line += "  RECORDING SUSPENDED";
  return line;
}

std::string FormatExportProgress(const TSExportProgress& progress) {
  return "export " + FormatSeconds(progress.secondsCovered) + " " +
         FormatBytes(static_cast<int64_t>(progress.bytesWritten));
}

std::string ExportEndText(const TSExportProgress& progress, std::string (*describe)(int32_t hr)) {
  const std::string saved = FormatSeconds(progress.secondsCovered) + " (" +
                            FormatBytes(static_cast<int64_t>(progress.bytesWritten)) + ")";
  switch (progress.state) {
    case TSEXPORT_RUNNING: return "running, " + saved + " saved so far";
    case TSEXPORT_DONE: return "done, " + saved + " saved";
    case TSEXPORT_CANCELLED: return "cancelled, the file deleted";
    case TSEXPORT_FAILED: break;
    default: return "none started";
  }
  std::string why;
  if (progress.result == OVTS_E_OVERTAKEN)
    why = "the recording overwrote bytes before they were saved (the export started too near the oldest "
          "retained byte, or could not keep ahead of the recording)";
  else if (progress.result == OVTS_E_STREAM_RESET)
    why = "the buffer was flushed or stopped before the end was saved";
  else
    why = describe(progress.result);
  return "failed after " + saved + ": " + why + "; the file holds what was saved before";
}

}  // namespace ovts::tshift
