// Time for the bytes of the recorded stream: maps positions on the file's stream axis (bytes
// written since the last Reset) to seconds on one monotonic timeline, and back.
//
// Two clocks time the bytes. A transport stream (sync byte 0x47 every 188 bytes) is timed by its
// own: the PCR of the first PID found carrying one, read about every half second. Any other
// stream, and a transport stream until its clock is seen, is timed by its arrival: the input
// rate measured over each half second of arrival ticks. The index keeps one entry (position,
// time) about every half second; times between entries are interpolated, after them
// extrapolated at the latest rate and before them at the first entries' rate.
//
// A clock runs in segments. PCR differences are taken modulo the PCR's range (its 33-bit base
// times 300), so the wrap is no break. A new segment starts when the clock changes, at a PCR
// carrying the discontinuity indicator, and at a step that does not fit the byte distance: one
// that is not forward, or one that disagrees with the bytes at the segment's rate by more than
// kFitFactor times plus kFitSlack either way (a splice, a new program, a long gap or stall). A new
// segment joins the timeline at the measured rate (bytes per second over the last 10 s of
// arrivals), so no time is invented across it. A PID that stops carrying the clock for about a
// second of bytes is dropped; arrival times then serve until the next PCR, of any PID, starts a
// segment.
//
// The input path pays little and allocates nothing per block. After a start or a gap the parser
// looks for the sync bytes in at most 1 MiB (then the stream is taken as no transport stream until
// the next gap or Reset). Once in step it learns the PCR period from two PCRs in a row, and aims
// each reading a whole number of periods (about half a second) ahead: in between it only steps
// its packet phase over the bytes, and at the aim it looks at a few packet heads.
//
// Threads: the buffer's writer feeds it (OnBlock, OnGap, Forget) one call at a time; Reset comes
// from any thread at any time (a feed call in flight then counts for nothing). Control threads
// query it. lock_ is a leaf: nothing is called while it is held, so it may be taken under any of
// the buffer's locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "buffer/RelaxedAtomic.h"
#include "platform/Platform.h"

namespace ovts {

class CTSClockIndex {
 public:
  enum class TimeSource { kMeasuredRate, kStreamClock };

  static constexpr int64_t kPacketSize = 188;
  static constexpr uint8_t kSyncByte = 0x47;  // every packet's first byte
  static constexpr int kSyncRun = 5;          // sync bytes a packet apart that make a transport stream
  static constexpr int64_t kClockHz = 27000000;  // the PCR's own units, of the timeline too
  // The clock-step fit: a step of d seconds over bytes worth e seconds at the segment's rate
  // continues the segment when 0 < d <= kFitFactor * e + kFitSlack and e <= kFitFactor * d +
  // kFitSlack. An encoder at constant quality swings its rate more than tenfold between two
  // readings (a still scene after a busy one), while a splice without the indicator jumps by
  // minutes or hours.
  static constexpr int64_t kFitFactor = 16;
  static constexpr int64_t kFitSlack = kClockHz;  // one second

  // `ticksPerSecond`: the frequency of the arrival ticks OnBlock is given.
  explicit CTSClockIndex(int64_t ticksPerSecond = port::PerformanceFrequency());
  CTSClockIndex(const CTSClockIndex&) = delete;
  CTSClockIndex& operator=(const CTSClockIndex&) = delete;

  // --- Feeding (the writer, one call at a time) ---
  // `length` bytes at `position`, which arrived at `arrivalTicks`. A block continues the one
  // before it unless OnGap said otherwise (a block that does not is taken as after a gap).
  void OnBlock(int64_t position, const void* data, uint32_t length, int64_t arrivalTicks);
  // Bytes are missing before `position`: the parser finds the packets again from there.
  void OnGap(int64_t position);
  // The bytes before `oldestPosition` are gone: entries that only served them are dropped.
  void Forget(int64_t oldestPosition);

  // Any thread: everything goes; the next block starts a new stream (its positions may start
  // again from 0).
  void Reset();

  // --- Queries (any thread) ---
  // Seconds on the index timeline at `position`; none until the index can time bytes.
  std::optional<double> TimeAt(int64_t position) const;
  // Seconds from `from` to `to` (negative when `to` is earlier).
  std::optional<double> SecondsBetween(int64_t from, int64_t to) const;
  // The position `seconds` after (before, when negative) the time of `reference`, clamped into
  // [oldest, newest]. In a transport stream it is a packet start wherever the range has one.
  std::optional<int64_t> PositionAt(int64_t reference, double seconds, int64_t oldest, int64_t newest) const;
  // Measured input rate in bytes per second, 0 until measured.
  double BytesPerSecond() const;
  TimeSource Source() const;
  // Entries held: about two per second of stream since the oldest position kept.
  size_t EntryCount() const;

 private:
  struct Point {
    int64_t position;
    int64_t time;  // kClockHz units on the timeline
  };
  // From `from` on, packets start at from + k * 188, or (not synced) nowhere known.
  struct GridMark {
    int64_t from;
    bool synced;
  };

  // The parser's own state: touched by feed calls only, never under lock_ for its own sake.
  struct Feeder {
    enum class Mode { kSearching, kSynced, kNotTs };
    enum class Clock { kNone, kPcr, kArrival };
    static constexpr int kRateSlots = 32;

    uint32_t epoch = 0;  // resets_ when this state was started
    int64_t next = -1;   // position the next block should start at, -1 for any
    Mode mode = Mode::kSearching;
    // Searching: where to look from, bytes looked at, a candidate awaiting its later sync bytes.
    int64_t searchFrom = 0;
    int64_t searched = 0;
    int64_t candidate = -1;
    int candidateSyncs = 0;
    // Synced: the next packet to look at, the last one seen whole, and the scan for a PCR.
    int64_t nextPacket = 0;
    int64_t lastGoodPacket = -1;
    int64_t scanStart = 0;
    int64_t scanBudget = 0;
    uint8_t carry[12] = {};  // the head of a packet the last block split
    int carryLength = 0;
    int pcrPid = -1;            // while clock is kPcr
    bool breakPending = false;  // a discontinuity indicator was seen on pcrPid
    // Where the next reading is aimed: the PCR period (timeline ticks, from the first two PCRs
    // of the segment), whether the scan runs on from the last reading to learn it, the packet
    // expected to carry the PCR wanted (-1: none), the bytes the misses so far add to the
    // slope's guess, and how far before the aim the scan starts (twice the last miss).
    int64_t pcrPeriod = 0;
    bool followOn = false;
    int64_t aim = -1;
    double shift = 0;
    double lead = 0;
    // The running segment and its latest reading: position, raw clock (PCR or arrival ticks),
    // timeline time, whether it is an entry, bytes per timeline tick since the one before.
    Clock clock = Clock::kNone;
    int64_t lastPosition = -1;
    int64_t lastRaw = 0;
    int64_t lastTime = 0;
    bool lastIsEntry = false;
    bool lastHasSlope = false;
    double lastSlope = 0;
    int64_t segmentStart = 0;
    int64_t segmentTicks = 0;
    bool haveEntry = false;
    Point lastEntry{0, 0};
    // Arrival samples (ticks, end position) half a second apart over the last 10 s, a ring; the
    // rate they give.
    int64_t rateTicks[kRateSlots] = {};
    int64_t rateEnd[kRateSlots] = {};
    int rateFirst = 0;
    int rateCount = 0;
    double rate = 0;
    // The position below which Forget has something to drop.
    int64_t forgetFrom = INT64_MAX;
  };

  // Feed side.
  void BeginFeed();
  void SampleRate(int64_t end, int64_t ticks);
  void Parse(int64_t position, const uint8_t* data, int64_t length);
  // True when the block (from the search position on) holds the start of a synced run.
  bool Search(int64_t position, const uint8_t* data, int64_t length);
  // True when the packet phase was lost inside the block.
  bool Scan(int64_t position, const uint8_t* data, int64_t length);
  // One packet head (12 bytes) at `packet`: false when its sync byte is wrong.
  bool Inspect(int64_t packet, const uint8_t* head);
  void OnPcr(int64_t packet, int pid, int64_t pcr, bool discontinuity);
  // No PCR in the scan's budget: the PID lost its clock, or the stream has none for now.
  void ScanExhausted();
  // A reading of `clock` (raw value `raw`) at `position`: continues the segment (the clock step
  // taken) or starts one (none).
  std::optional<int64_t> Reading(Feeder::Clock clock, int64_t position, int64_t raw, bool breaks);
  // Aims the scan for the next reading after a PCR at `packet`, `step` after the last one.
  void AimNextReading(int64_t packet, std::optional<int64_t> step);
  [[nodiscard]] bool StepFits(int64_t step, int64_t bytes) const;
  // Timeline ticks that `bytes` bytes take at the measured rate (the joint of segments).
  int64_t JointTicks(int64_t bytes) const;
  // The running segment ends at its last reading, which becomes an entry.
  void CloseSegment();
  void EndPcrClock();
  void StartScan(int64_t packet);
  void Synced(int64_t packet, int64_t position);
  void LoseSync(int64_t markFrom, int64_t searchFrom);
  // Publishing: each takes lock_ and does nothing when a Reset came since BeginFeed. Publish
  // appends `entry` (when given) and hands over the rates and the source.
  void AddGridMark(GridMark mark);
  void Publish(const Point* entry = nullptr);
  // Under lock_: the feed call's news is still about the current stream.
  bool Current() const { return resets_ == feeder_.epoch; }
  void UpdateForgetFrom();

  // Query side, lock_ held.
  // Bytes per second after the entries, 0 when unknown; and before them.
  double OuterRate() const;
  double FrontRate() const;
  bool CanTime() const { return !entries_.empty() && OuterRate() > 0; }
  double TimeOf(int64_t position) const;
  double PositionOf(double time) const;
  int64_t Snap(int64_t position, int64_t low, int64_t high) const;

  const int64_t ticksPerSecond_;
  Feeder feeder_;  // feed calls
  mutable port::RecursiveLock lock_{port::LockRank::kClockIndex, "clock index"};
  std::deque<Point> entries_;                      // lock_; ascending in position and (not strictly) time
  std::deque<GridMark> grid_;                      // lock_; ascending
  double measuredRate_ = 0;                        // lock_; bytes per second
  double edgeRate_ = 0;                            // lock_; bytes per second beyond the entries
  TimeSource source_ = TimeSource::kMeasuredRate;  // lock_
  RelaxedAtomic<uint32_t> resets_;                 // written under lock_, read by feed calls without
};

}  // namespace ovts
