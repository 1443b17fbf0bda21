#include "buffer/CTSClockIndex.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ovts {

namespace {
constexpr int kHead = 12;                                        // header, adaptation length and flags, PCR
constexpr int64_t kSyncSearchBytes = int64_t{1} << 20;           // then the stream is taken as not TS
constexpr int64_t kPcrRange = (int64_t{1} << 33) * 300;          // the PCR wraps here
constexpr int64_t kEntryTicks = CTSClockIndex::kClockHz / 2;     // between clock readings
constexpr int64_t kMinEntryTicks = CTSClockIndex::kClockHz / 4;  // a reading closer is no entry
constexpr int64_t kRateWindowSeconds = 10;
constexpr int64_t kMaxSkip = int64_t{8} << 20;               // bytes between readings, whatever the slope says
constexpr double kMinLead = 4 * CTSClockIndex::kPacketSize;  // a scan starts this far before its aim
// A scan for a PCR covers about a second of bytes, within these bounds; a stream without a clock
// is looked at again after kRecheck times that.
constexpr int64_t kMinScan = int64_t{256} << 10;
constexpr int64_t kMaxScan = int64_t{8} << 20;
constexpr int64_t kUnknownRateScan = int64_t{4} << 20;
constexpr int64_t kRecheck = 16;

int Pid(const uint8_t* head) { return ((head[1] & 0x1F) << 8) | head[2]; }

// An adaptation field on the PID wanted (any, when pcrPid is -1).
bool MayCarryPcr(const uint8_t* head, int pcrPid) {
  return (head[3] & 0x20) != 0 && (pcrPid < 0 || Pid(head) == pcrPid);
}

int64_t RoundUpToPackets(double bytes) {
  const int64_t packets = static_cast<int64_t>(std::ceil(bytes / CTSClockIndex::kPacketSize));
  return std::max<int64_t>(packets, 1) * CTSClockIndex::kPacketSize;
}
}  // namespace

CTSClockIndex::CTSClockIndex(int64_t ticksPerSecond) : ticksPerSecond_(ticksPerSecond > 0 ? ticksPerSecond : 1) {}

// --- Feeding ---

void CTSClockIndex::BeginFeed() {
  const uint32_t resets = resets_;
  if (resets == feeder_.epoch) return;
  feeder_ = Feeder();
  feeder_.epoch = resets;
}

void CTSClockIndex::OnBlock(int64_t position, const void* data, uint32_t length, int64_t arrivalTicks) {
  BeginFeed();
  if (length == 0) return;
  Feeder& f = feeder_;
  if (f.next >= 0 && position != f.next) LoseSync(position, position);
  f.next = position + length;
  SampleRate(f.next, arrivalTicks);
  Parse(position, static_cast<const uint8_t*>(data), length);
  // Without a PCR the block's arrival is the clock: by then the bytes up to its end were in. It
  // waits for a measured rate, which joins its segments to the timeline.
  if (f.clock != Feeder::Clock::kPcr && f.rate > 0 &&
      (f.clock != Feeder::Clock::kArrival || arrivalTicks - f.lastRaw >= ticksPerSecond_ / 2))
    Reading(Feeder::Clock::kArrival, f.next, arrivalTicks, false);
}

void CTSClockIndex::OnGap(int64_t position) {
  BeginFeed();
  LoseSync(position, position);
  feeder_.next = position;
}

void CTSClockIndex::Forget(int64_t oldestPosition) {
  BeginFeed();
  if (oldestPosition < feeder_.forgetFrom) return;  // the common case takes no lock
  port::LockGuard lock(lock_);
  if (!Current()) return;
  // One entry and one mark at or before the oldest byte stay: they time and place it.
  while (entries_.size() >= 2 && entries_[1].position <= oldestPosition) entries_.pop_front();
  while (grid_.size() >= 2 && grid_[1].from <= oldestPosition) grid_.pop_front();
  UpdateForgetFrom();
}

void CTSClockIndex::Reset() {
  port::LockGuard lock(lock_);
  entries_.clear();
  grid_.clear();
  measuredRate_ = 0;
  edgeRate_ = 0;
  source_ = TimeSource::kMeasuredRate;
  resets_ = resets_ + 1;
}

void CTSClockIndex::SampleRate(int64_t end, int64_t ticks) {
  Feeder& f = feeder_;
  constexpr int kSlots = Feeder::kRateSlots;
  if (f.rateCount > 0) {
    const int last = (f.rateFirst + f.rateCount - 1) % kSlots;
    if (ticks - f.rateTicks[last] < ticksPerSecond_ / 2) return;
  }
  while (f.rateCount > 0 &&
         (f.rateCount == kSlots || ticks - f.rateTicks[f.rateFirst] > kRateWindowSeconds * ticksPerSecond_)) {
    f.rateFirst = (f.rateFirst + 1) % kSlots;
    --f.rateCount;
  }
  const int slot = (f.rateFirst + f.rateCount) % kSlots;
  f.rateTicks[slot] = ticks;
  f.rateEnd[slot] = end;
  ++f.rateCount;
  const int64_t span = ticks - f.rateTicks[f.rateFirst];
  if (span <= 0) return;
  f.rate = static_cast<double>(end - f.rateEnd[f.rateFirst]) * static_cast<double>(ticksPerSecond_) / span;
  Publish();
}

void CTSClockIndex::Parse(int64_t position, const uint8_t* data, int64_t length) {
  for (;;) {
    switch (feeder_.mode) {
      case Feeder::Mode::kNotTs:
        return;
      case Feeder::Mode::kSearching:
        if (!Search(position, data, length)) return;
        break;
      case Feeder::Mode::kSynced:
        if (!Scan(position, data, length)) return;
        break;
    }
  }
}

bool CTSClockIndex::Search(int64_t position, const uint8_t* data, int64_t length) {
  Feeder& f = feeder_;
  const int64_t end = position + length;
  // A candidate from an earlier block: its remaining sync bytes are here or further on.
  for (; f.candidate >= 0 && f.candidateSyncs < kSyncRun; ++f.candidateSyncs) {
    const int64_t at = f.candidate + f.candidateSyncs * kPacketSize;
    if (at >= end) return false;
    if (data[at - position] != kSyncByte) f.candidate = -1;
  }
  if (f.candidate >= 0) {
    Synced(f.candidate, position);
    return true;
  }
  // The bytes of earlier blocks are gone: the search goes on from here.
  const int64_t start = std::max(f.searchFrom, position);
  int64_t from = start;
  while (from < end) {
    const auto* hit = static_cast<const uint8_t*>(std::memchr(data + (from - position), kSyncByte, end - from));
    if (!hit) break;
    const int64_t candidate = position + (hit - data);
    int syncs = 1;
    while (syncs < kSyncRun && candidate + syncs * kPacketSize < end &&
           data[candidate + syncs * kPacketSize - position] == kSyncByte)
      ++syncs;
    if (syncs == kSyncRun) {
      Synced(candidate, position);
      return true;
    }
    if (candidate + syncs * kPacketSize >= end) {
      f.candidate = candidate;
      f.candidateSyncs = syncs;
      break;
    }
    from = candidate + 1;
  }
  f.searchFrom = end;
  f.searched += end - start;
  if (f.searched > kSyncSearchBytes) f.mode = Feeder::Mode::kNotTs;
  return false;
}

bool CTSClockIndex::Scan(int64_t position, const uint8_t* data, int64_t length) {
  Feeder& f = feeder_;
  const int64_t end = position + length;
  if (f.carryLength > 0) {
    const int64_t take = std::min<int64_t>(kHead - f.carryLength, length);
    std::memcpy(f.carry + f.carryLength, data, static_cast<size_t>(take));
    f.carryLength += static_cast<int>(take);
    if (f.carryLength < kHead) return false;
    f.carryLength = 0;
    if (!Inspect(f.nextPacket, f.carry)) {
      LoseSync(f.lastGoodPacket + kPacketSize, position);
      return true;
    }
  }
  for (;;) {
    int64_t packet = f.nextPacket;
    // Steps over packets that cannot carry the PCR wanted, keeping to registers.
    const int64_t quietEnd = std::min(end - kHead, f.scanStart + f.scanBudget - kPacketSize);
    if (packet <= quietEnd) {
      const int64_t first = packet;
      const int pcrPid = f.pcrPid;
      const uint8_t* head = data + (packet - position);
      while (packet <= quietEnd && head[0] == kSyncByte && !MayCarryPcr(head, pcrPid)) {
        packet += kPacketSize;
        head += kPacketSize;
      }
      if (packet != first) {
        f.lastGoodPacket = packet - kPacketSize;
        f.nextPacket = packet;
      }
    }
    if (packet >= end) return false;
    if (packet + kHead > end) {
      f.carryLength = static_cast<int>(end - packet);
      std::memcpy(f.carry, data + (packet - position), static_cast<size_t>(f.carryLength));
      return false;
    }
    if (!Inspect(packet, data + (packet - position))) {
      LoseSync(f.lastGoodPacket + kPacketSize, packet);
      return true;
    }
  }
}

bool CTSClockIndex::Inspect(int64_t packet, const uint8_t* head) {
  Feeder& f = feeder_;
  if (head[0] != kSyncByte) return false;
  f.lastGoodPacket = packet;
  f.nextPacket = packet + kPacketSize;
  const int pid = Pid(head);
  const bool transportError = (head[1] & 0x80) != 0;
  if (MayCarryPcr(head, f.pcrPid) && !transportError && head[4] >= 1) {
    const bool discontinuity = (head[5] & 0x80) != 0;
    if (head[4] >= 7 && (head[5] & 0x10) != 0) {
      // 33-bit base at 90 kHz, 6 reserved bits, 9-bit extension at 27 MHz.
      const int64_t base = (int64_t{head[6]} << 25) | (int64_t{head[7]} << 17) | (int64_t{head[8]} << 9) |
                           (int64_t{head[9]} << 1) | (head[10] >> 7);
      OnPcr(packet, pid, base * 300 + (((head[10] & 1) << 8) | head[11]), discontinuity);
      return true;
    }
    if (discontinuity && f.pcrPid >= 0) f.breakPending = true;
  }
  if (f.nextPacket - f.scanStart > f.scanBudget) ScanExhausted();
  return true;
}

void CTSClockIndex::OnPcr(int64_t packet, int pid, int64_t pcr, bool discontinuity) {
  Feeder& f = feeder_;
  // A packet whose head a block split, behind the arrival reading of that block: the next PCR.
  if (packet < f.lastPosition) return;
  const std::optional<int64_t> step = Reading(Feeder::Clock::kPcr, packet, pcr, discontinuity || f.breakPending);
  f.breakPending = false;
  f.pcrPid = pid;
  AimNextReading(packet, step);
}

void CTSClockIndex::AimNextReading(int64_t packet, std::optional<int64_t> step) {
  Feeder& f = feeder_;
  // A new segment reads its very next PCR, which gives its period.
  if (!step) {
    f.pcrPeriod = 0;
    f.shift = 0;
    f.lead = 0;
  } else if (f.followOn) {
    f.pcrPeriod = *step;
  }
  f.followOn = f.pcrPeriod == 0;
  if (f.followOn) {
    f.aim = -1;
    StartScan(packet + kPacketSize);
    return;
  }
  // PCRs come about a period apart, so the scan starts a lead before the one a whole number of
  // periods on (about half a second), where the slope and the misses so far put it. A miss is
  // taken to the nearest period: the PCR a period early serves as well.
  const double periodBytes = f.lastSlope * static_cast<double>(f.pcrPeriod);
  if (f.aim >= 0) {
    double miss = static_cast<double>(packet - f.aim);
    miss -= std::round(miss / periodBytes) * periodBytes;
    f.shift += miss / 2;
    f.lead = std::min(2 * std::abs(miss) + kMinLead, periodBytes);
  }
  const int64_t periods = std::max<int64_t>(1, (kEntryTicks + f.pcrPeriod / 2) / f.pcrPeriod);
  const double ahead = std::clamp(f.lastSlope * static_cast<double>(f.pcrPeriod * periods) + f.shift, 1.0,
                                  static_cast<double>(kMaxSkip));
  f.aim = packet + std::llround(ahead);
  StartScan(packet + RoundUpToPackets(std::max(ahead - f.lead, 1.0)));
}

std::optional<int64_t> CTSClockIndex::Reading(Feeder::Clock clock, int64_t position, int64_t raw, bool breaks) {
  Feeder& f = feeder_;
  const int64_t step = clock == Feeder::Clock::kPcr
                           ? ((raw - f.lastRaw) % kPcrRange + kPcrRange) % kPcrRange
                           : std::llround(static_cast<double>(raw - f.lastRaw) * kClockHz / ticksPerSecond_);
  const int64_t bytes = position - f.lastPosition;
  const bool continues = f.clock == clock && !breaks && StepFits(step, bytes);
  int64_t time;
  if (continues) {
    time = f.lastTime + step;
    f.lastSlope = static_cast<double>(bytes) / static_cast<double>(step);
    f.lastHasSlope = true;
    f.segmentTicks += step;
  } else {
    CloseSegment();
    time = f.haveEntry ? f.lastEntry.time + JointTicks(position - f.lastEntry.position) : 0;
    f.clock = clock;
    f.lastHasSlope = false;
    f.segmentStart = position;
    f.segmentTicks = 0;
  }
  f.lastPosition = position;
  f.lastRaw = raw;
  f.lastTime = time;
  f.lastIsEntry = !continues || !f.haveEntry || time - f.lastEntry.time >= kMinEntryTicks;
  const Point reading{position, time};
  Publish(f.lastIsEntry ? &reading : nullptr);
  return continues ? std::optional<int64_t>(step) : std::nullopt;
}

bool CTSClockIndex::StepFits(int64_t step, int64_t bytes) const {
  const Feeder& f = feeder_;
  if (step <= 0 || step > kPcrRange / 2) return false;  // standing, or backwards modulo the range
  const double bytesPerTick =
      f.segmentTicks > 0 ? static_cast<double>(f.lastPosition - f.segmentStart) / f.segmentTicks : f.rate / kClockHz;
  if (bytesPerTick <= 0) return step <= kFitSlack;
  const double expected = bytes / bytesPerTick;
  const double d = static_cast<double>(step);
  return d <= kFitFactor * expected + kFitSlack && expected <= kFitFactor * d + kFitSlack;
}

int64_t CTSClockIndex::JointTicks(int64_t bytes) const {
  const Feeder& f = feeder_;
  const double rate = f.rate > 0 ? f.rate : f.lastHasSlope ? f.lastSlope * kClockHz : 0;
  return rate > 0 ? std::llround(static_cast<double>(bytes) * kClockHz / rate) : 0;
}

void CTSClockIndex::CloseSegment() {
  Feeder& f = feeder_;
  if (f.clock == Feeder::Clock::kNone || f.lastIsEntry) return;
  const Point last{f.lastPosition, f.lastTime};
  Publish(&last);
  f.lastIsEntry = true;
}

void CTSClockIndex::EndPcrClock() {
  Feeder& f = feeder_;
  CloseSegment();
  f.clock = Feeder::Clock::kNone;
  f.pcrPid = -1;
  f.breakPending = false;
  f.lastHasSlope = false;
  Publish();
}

void CTSClockIndex::ScanExhausted() {
  Feeder& f = feeder_;
  if (f.pcrPid >= 0) {
    EndPcrClock();
    StartScan(f.nextPacket);  // any PID's clock will do now
  } else {
    StartScan(f.nextPacket + f.scanBudget / kPacketSize * kPacketSize * kRecheck);
  }
}

void CTSClockIndex::StartScan(int64_t packet) {
  Feeder& f = feeder_;
  f.nextPacket = packet;
  f.scanStart = packet;
  f.scanBudget = f.rate > 0 ? std::clamp(static_cast<int64_t>(f.rate), kMinScan, kMaxScan) : kUnknownRateScan;
}

void CTSClockIndex::Synced(int64_t packet, int64_t position) {
  Feeder& f = feeder_;
  f.mode = Feeder::Mode::kSynced;
  f.candidate = -1;
  f.searched = 0;
  f.carryLength = 0;
  f.lastGoodPacket = packet;
  AddGridMark({packet, true});
  // A packet whose head lay in an earlier block is skipped.
  StartScan(packet >= position ? packet : packet + RoundUpToPackets(static_cast<double>(position - packet)));
}

void CTSClockIndex::LoseSync(int64_t markFrom, int64_t searchFrom) {
  Feeder& f = feeder_;
  if (f.mode == Feeder::Mode::kSynced) AddGridMark({markFrom, false});
  f.mode = Feeder::Mode::kSearching;
  f.searchFrom = searchFrom;
  f.searched = 0;
  f.candidate = -1;
  f.carryLength = 0;
  // Bytes went missing: the next PCR found is neither the one aimed at nor the next one.
  f.aim = -1;
  f.followOn = false;
}

void CTSClockIndex::AddGridMark(GridMark mark) {
  port::LockGuard lock(lock_);
  if (!Current()) return;
  if (!grid_.empty()) {
    const GridMark& last = grid_.back();
    if (last.synced == mark.synced && (!mark.synced || (mark.from - last.from) % kPacketSize == 0)) return;
  }
  grid_.push_back(mark);
  UpdateForgetFrom();
}

void CTSClockIndex::Publish(const Point* entry) {
  Feeder& f = feeder_;
  port::LockGuard lock(lock_);
  if (!Current()) return;
  if (entry) {
    entries_.push_back(*entry);
    UpdateForgetFrom();
    f.haveEntry = true;
    f.lastEntry = *entry;
  }
  measuredRate_ = f.rate;
  // Arrivals come in bursts: beyond the entries only the PCR's own slope beats the 10 s rate.
  const bool pcr = f.clock == Feeder::Clock::kPcr;
  edgeRate_ = pcr && f.lastHasSlope ? f.lastSlope * kClockHz : f.rate;
  source_ = pcr ? TimeSource::kStreamClock : TimeSource::kMeasuredRate;
}

void CTSClockIndex::UpdateForgetFrom() {
  feeder_.forgetFrom =
      std::min(entries_.size() >= 2 ? entries_[1].position : INT64_MAX, grid_.size() >= 2 ? grid_[1].from : INT64_MAX);
}

// --- Queries ---

std::optional<double> CTSClockIndex::TimeAt(int64_t position) const {
  port::LockGuard lock(lock_);
  if (!CanTime()) return std::nullopt;
  return TimeOf(position) / kClockHz;
}

std::optional<double> CTSClockIndex::SecondsBetween(int64_t from, int64_t to) const {
  port::LockGuard lock(lock_);
  if (!CanTime()) return std::nullopt;
  return (TimeOf(to) - TimeOf(from)) / kClockHz;
}

std::optional<int64_t> CTSClockIndex::PositionAt(int64_t reference, double seconds, int64_t oldest,
                                                 int64_t newest) const {
  if (oldest > newest || !std::isfinite(seconds)) return std::nullopt;
  port::LockGuard lock(lock_);
  if (!CanTime()) return std::nullopt;
  const double position = PositionOf(TimeOf(reference) + seconds * kClockHz);
  const double clamped = std::clamp(position, static_cast<double>(oldest), static_cast<double>(newest));
  return Snap(std::clamp<int64_t>(std::llround(clamped), oldest, newest), oldest, newest);
}

double CTSClockIndex::BytesPerSecond() const {
  port::LockGuard lock(lock_);
  return measuredRate_;
}

CTSClockIndex::TimeSource CTSClockIndex::Source() const {
  port::LockGuard lock(lock_);
  return source_;
}

size_t CTSClockIndex::EntryCount() const {
  port::LockGuard lock(lock_);
  return entries_.size();
}

double CTSClockIndex::OuterRate() const {
  if (edgeRate_ > 0) return edgeRate_;
  if (entries_.size() >= 2 && entries_.back().time > entries_.front().time)
    return static_cast<double>(entries_.back().position - entries_.front().position) * kClockHz /
           static_cast<double>(entries_.back().time - entries_.front().time);
  return 0;
}

double CTSClockIndex::FrontRate() const {
  if (entries_.size() >= 2 && entries_[1].time > entries_[0].time)
    return static_cast<double>(entries_[1].position - entries_[0].position) * kClockHz /
           static_cast<double>(entries_[1].time - entries_[0].time);
  return OuterRate();
}

double CTSClockIndex::TimeOf(int64_t position) const {
  const auto after = std::upper_bound(entries_.begin(), entries_.end(), position,
                                      [](int64_t p, const Point& e) { return p < e.position; });
  if (after == entries_.begin())
    return entries_.front().time - static_cast<double>(entries_.front().position - position) * kClockHz / FrontRate();
  const Point& a = *(after - 1);
  if (after == entries_.end()) return a.time + static_cast<double>(position - a.position) * kClockHz / OuterRate();
  const Point& b = *after;
  return a.time + static_cast<double>(b.time - a.time) * static_cast<double>(position - a.position) /
                      static_cast<double>(b.position - a.position);
}

double CTSClockIndex::PositionOf(double time) const {
  const auto after = std::upper_bound(entries_.begin(), entries_.end(), time,
                                      [](double t, const Point& e) { return t < static_cast<double>(e.time); });
  if (after == entries_.begin())
    return entries_.front().position - (entries_.front().time - time) / kClockHz * FrontRate();
  const Point& a = *(after - 1);
  if (after == entries_.end()) return a.position + (time - a.time) / kClockHz * OuterRate();
  const Point& b = *after;
  return a.position +
         static_cast<double>(b.position - a.position) * (time - a.time) / static_cast<double>(b.time - a.time);
}

int64_t CTSClockIndex::Snap(int64_t position, int64_t low, int64_t high) const {
  const auto after =
      std::upper_bound(grid_.begin(), grid_.end(), position, [](int64_t p, const GridMark& g) { return p < g.from; });
  if (after == grid_.begin() || !(after - 1)->synced) return position;
  const int64_t from = (after - 1)->from;
  const int64_t lo = std::max(low, from);
  const int64_t hi = after == grid_.end() ? high : std::min(high, after->from - 1);
  int64_t packet = from + (position - from + kPacketSize / 2) / kPacketSize * kPacketSize;
  if (packet > hi) packet -= kPacketSize;
  if (packet < lo) packet += kPacketSize;
  return packet >= lo && packet <= hi ? packet : position;
}

}  // namespace ovts
