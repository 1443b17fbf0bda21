// The arithmetic behind the host's status line: byte counts in the units a person reads, the
// time a byte distance lasts at a known bit rate, how far playback is behind the live edge by
// the filter's own figures, its time figures and an export's progress. Portable; pure functions.
#pragma once

#include <cstdint>
#include <string>

#include "include/OVTimeShiftTypes.h"

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
  // The filter's time figures; untimed while the filter cannot tell.
  TSTimeStatus time{-1.0, -1.0, -1.0, 0, 0, TSTIME_NONE, 0};
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

// "stream clock", "measured rate" or "untimed": where the filter's seconds come from.
const char* TimeSourceName(uint32_t source);

// One status line: play state, the four figures, the delay (in the filter's seconds and in
// bytes), the seconds retained, where the seconds come from with the input rate, and the bytes
// delivered; then what was dropped and whether recording is suspended, when either is so.
std::string FormatStatus(const BufferStatus& status, int64_t delayBytes, uint64_t delivered);

// A running export on the status line: "export 4.2 s 2.0 MB".
std::string FormatExportProgress(const TSExportProgress& progress);
// How an export ended, for "export PATH: ...": "done, 30.0 s (14.3 MB) saved", "cancelled, the
// file deleted", "failed after 2.0 s (1.0 MB): the recording overtook it ...". An export's
// own codes are told in words; others are left to describe(hr).
std::string ExportEndText(const TSExportProgress& progress, std::string (*describe)(int32_t hr));

}  // namespace ovts::tshift
