// The arithmetic behind the host's status line: byte counts in the units a person reads, the
// time a byte distance lasts at the stream's bit rate, and how far playback is behind the live
// edge by the filter's own figures. Portable; pure functions.
#pragma once

#include <cstdint>
#include <string>

namespace ovts::tshift {

// The filter's Buffer Status figures and its play state.
struct BufferStatus {
  int64_t total = 0;          // Total Buffer Size
  int64_t current = 0;        // Current Buffer Size: bytes retained
  int64_t readLocation = 0;   // Read Location: from the oldest retained byte to the play position
  int64_t writeLocation = 0;  // Write Location
  int playState = -1;         // TSPlayState, or -1 when the filter cannot tell
  uint64_t dropped = 0;       // input bytes the filter had to drop (marked in the stream)
  bool suspended = false;     // the disk refuses data: recording is suspended and retried
};

// "512 KB", "12.3 MB", "1.25 GB" (KB = 1024 bytes, MB = 1048576).
std::string FormatBytes(int64_t bytes);
// The same with a sign: "+1.2 MB", "-512 KB".
std::string FormatSignedBytes(int64_t bytes);
// "1.7 s"; "?" when the rate is unknown.
std::string FormatSeconds(double seconds);

// Seconds that `bytes` last at `bitsPerSecond`; negative when the rate is unknown (0).
double SecondsAt(int64_t bytes, uint64_t bitsPerSecond);
// Bytes of a stream that last `seconds` at `bitsPerSecond`.
int64_t BytesFor(double seconds, uint64_t bitsPerSecond);
// Retained bytes ahead of the play position: how far playback is behind the newest data held.
int64_t BytesBehindLive(const BufferStatus& status);

const char* PlayStateName(int playState);

// One status line: play state, the four figures, the delay and the bytes delivered; then what
// was dropped and whether recording is suspended, when either is so.
std::string FormatStatus(const BufferStatus& status, int64_t delayBytes, uint64_t bitsPerSecond,
                         uint64_t delivered);

// Bit rate measured over a sliding window of byte counts taken about once a second. Host thread.
class RateMeter {
 public:
  // `bytes` counted so far at `seconds` since some origin.
  void Add(double seconds, uint64_t bytes);
  // Bits per second over the window, 0 until two samples a second apart exist.
  uint64_t BitsPerSecond() const;

 private:
  static constexpr int kWindow = 8;
  double seconds_[kWindow] = {};
  uint64_t bytes_[kWindow] = {};
  int count_ = 0;  // samples held, at most kWindow
  int next_ = 0;   // slot of the next sample
};

}  // namespace ovts::tshift
