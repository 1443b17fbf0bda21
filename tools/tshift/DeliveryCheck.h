// The demo's judge of the delivered stream. The host reports each control it issued to the
// filter; the sink reports each delivered sample with its discontinuity flag. Every mark must
// answer exactly one control (the graph's start, a resume after a pause, a seek, a jump to live,
// a flush), every control must get its mark, and between marks the TsGenerator stream must be
// intact. Each mark's jump in the stream is measured, and judged by what the control may do:
// the start begins at the first recorded byte, a resume skips at most the read cache's content,
// a seek lands inside the recorded data, a jump to live lands within the two caches of the
// newest byte, a flush never delivers what was recorded before it. Portable.
//
// Threads: the host's thread calls OnControl and the getters, the sink's delivery thread calls
// OnSample; one mutex guards everything.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "tools/common/TsChecker.h"

namespace ovts::tshift {

enum class Control { kStart, kPause, kResume, kSeek, kLive, kFlush };

const char* ControlName(Control control);

class DeliveryCheck {
 public:
  // One answered control: where its mark put the stream.
  struct Mark {
    Control control;
    int64_t from = -1;      // stream position expected next before the mark (-1 at the start)
    int64_t to = -1;        // stream position of the marked sample's first byte
    int64_t recorded = 0;   // bytes the source had recorded when the control was issued
    std::string fault;      // empty when the jump is one the control may make
  };

  struct Summary {
    std::vector<Mark> marks;
    std::vector<std::string> faults;  // every broken rule, in the order found
    tools::TsChecker::Stats stream;
    uint64_t samples = 0;
    uint64_t bytes = 0;
    bool Passed() const { return faults.empty(); }
  };

  // The cache sizes bound the jumps: a pause drops at most the read cache's content, and the
  // live edge the filter sees lags the recorded stream by at most the write cache.
  DeliveryCheck(const tools::TsStreamLayout& layout, int64_t writeCacheBytes, int64_t readCacheBytes);

  // Host thread, right after the control returned; recorded is the source's byte count then.
  void OnControl(Control control, int64_t recorded);
  // Sink's delivery thread.
  void OnSample(const uint8_t* data, size_t length, bool discontinuity);

  // Waits until every control issued so far has its mark; false at the timeout.
  bool WaitForMarks(uint32_t timeoutMs);
  // Waits until at least `bytes` more bytes have been delivered than when called.
  bool WaitForDelivery(uint64_t bytes, uint32_t timeoutMs);
  // Stream position of the next byte to be delivered, or -1 while unknown.
  int64_t DeliveredPosition();
  uint64_t DeliveredBytes();

  // Ends the check: controls still waiting for their mark become faults.
  Summary Finish();

 private:
  void JudgeMark(Mark& mark) const;
  void Fault(std::string text);

  const int64_t writeCacheBytes_;
  const int64_t readCacheBytes_;
  std::mutex mutex_;
  std::condition_variable changed_;
  tools::TsChecker checker_;        // mutex_
  std::deque<Mark> pending_;        // mutex_; controls waiting for their mark, oldest first
  bool paused_ = false;             // mutex_; between a pause and its resume
  uint64_t samplesWhilePaused_ = 0;  // mutex_
  Summary summary_;                 // mutex_
};

// The demo's judge of a saved stretch of the stream: the last `seconds` of what the source had
// sent when the export was asked for, in whole packets from the file's first byte, each packet
// byte for byte the one the source sent at that place.
struct ExportCheck {
  tools::TsStreamLayout layout;
  double seconds = 0;          // asked for
  int64_t recordedBefore = 0;  // bytes the source had sent when the export was asked for
  int64_t recordedAfter = 0;   // ... when it had ended
  int64_t writeCacheBytes = 0;  // how far the live edge the filter sees may lag the source

  struct Verdict {
    int64_t first = -1;   // stream position of the file's first byte, -1 when not found
    uint64_t packets = 0;  // whole packets in the file
    double seconds = 0;    // what they last at the layout's rate
    std::vector<std::string> faults;
    bool Passed() const { return faults.empty(); }
  };

  Verdict Judge(const uint8_t* data, size_t length) const;
};

}  // namespace ovts::tshift
