// A byte stream whose every byte is derived from its stream position, and a checker that verifies
// such a stream after it passed through a buffer or a graph. The stream is a run of 16-byte
// records: at each position p that is a multiple of 16, the little-endian p followed by a check
// value mixed from p. A reader can therefore find its position again after any jump.
//
// Used by the buffer stress tests, ovts-ringbench, the graph tests and the tshift host. Portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ovts::tools {

// Writes the pattern bytes of stream positions [position, position + length) into dest.
void FillPattern(uint8_t* dest, uint64_t position, size_t length);

// The pattern byte at one stream position.
uint8_t PatternByte(uint64_t position);

// Checks a pattern stream delivered in pieces. Called by one thread at a time.
class PatternChecker {
 public:
  struct Stats {
    uint64_t bytes = 0;              // bytes fed
    uint64_t verified = 0;           // bytes found right for their position
    uint64_t corrupt = 0;            // bytes wrong for their position
    uint64_t unsynced = 0;           // bytes after a jump that could not be placed (too few)
    uint64_t lost = 0;               // bytes skipped by forward jumps
    uint64_t rewound = 0;            // bytes stepped back over by backward jumps
    uint64_t discontinuities = 0;    // pieces flagged as discontinuous
    uint64_t jumps = 0;              // position changes found at a flagged piece
    uint64_t unreportedJumps = 0;    // position changes without a flag
  };

  // The first byte is expected at `start`; with `startKnown` false the checker places it itself.
  explicit PatternChecker(uint64_t start = 0, bool startKnown = true);

  // One delivered piece; `discontinuity` says the source flagged it.
  void Feed(const uint8_t* data, size_t length, bool discontinuity);
  // Ends the stream: bytes still waiting for a position count as unsynced.
  void Finish();

  const Stats& stats() const { return stats_; }
  // Stream position of the next byte expected (valid while synchronised).
  uint64_t position() const { return position_; }
  bool synchronised() const { return synced_; }

 private:
  // Finds the stream position of data[0] from a whole record in the first 31 bytes.
  static bool FindPosition(const uint8_t* data, size_t length, uint64_t* first);
  // Moves to a newly found position, counting what the jump skipped or stepped back over.
  void Place(uint64_t first);
  void Verify(const uint8_t* data, size_t length);

  Stats stats_;
  uint64_t position_;
  bool synced_;  // position_ is the position of the next byte
  bool known_;   // a position has been established at some time
  std::vector<uint8_t> pending_;  // bytes after a jump, waiting for a whole record
};

}  // namespace ovts::tools
