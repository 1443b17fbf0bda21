// Checks a transport stream made by TsGenerator after it passed through a buffer or a graph:
// packet alignment, continuity counters per PID, the packet numbers of the elementary packets
// (nothing lost, nothing repeated), their payload bytes and their PCRs. A piece flagged as a
// discontinuity may start anywhere: the checker finds the packet alignment and the numbering
// again, and the jump is counted as reported. Portable; used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/common/TsGenerator.h"

namespace ovts::tools {

class TsChecker {
 public:
  struct Stats {
    uint64_t bytes = 0;               // bytes fed
    uint64_t packets = 0;             // whole packets checked
    uint64_t skippedBytes = 0;        // bytes dropped while finding the packet alignment
    uint64_t discontinuities = 0;     // pieces flagged as discontinuous
    uint64_t reportedJumps = 0;       // renumbering found after a flag
    uint64_t packetsSkipped = 0;      // packets a reported forward jump skipped
    uint64_t packetsRewound = 0;      // packets a reported backward jump went back over
    uint64_t lostPackets = 0;         // packets missing without a flag
    uint64_t repeatedPackets = 0;     // packets numbered backwards without a flag
    uint64_t ccErrors = 0;            // continuity counter errors without a flag
    uint64_t corruptPackets = 0;      // bad sync byte, payload or PCR without a flag
  };

  explicit TsChecker(const TsStreamLayout& layout = TsStreamLayout()) : layout_(layout) {}

  void Feed(const uint8_t* data, size_t length, bool discontinuity);
  const Stats& stats() const { return stats_; }
  // True when everything fed so far is intact between the flagged discontinuities.
  bool Clean() const {
    return stats_.lostPackets == 0 && stats_.repeatedPackets == 0 && stats_.ccErrors == 0 &&
           stats_.corruptPackets == 0;
  }
  // Number of the last elementary packet checked, or -1.
  int64_t lastPacketNumber() const { return lastNumber_; }
  // Stream position (the generator's byte count) of the next byte to be fed; -1 until a numbered
  // packet has placed the stream again after the last flag or lost alignment.
  int64_t NextPosition() const;

 private:
  void Align();
  void CheckPacket(const uint8_t* p);

  TsStreamLayout layout_;
  Stats stats_;
  std::vector<uint8_t> pending_;  // bytes not yet in a whole aligned packet
  bool aligned_ = false;
  bool renumber_ = true;          // the next numbered packet sets the numbering (after a flag)
  int64_t lastNumber_ = -1;       // number of the last elementary packet
  uint64_t packetsSinceNumber_ = 0;
  int ccLast_[3] = {-1, -1, -1};  // PAT, PMT, elementary
};

}  // namespace ovts::tools
