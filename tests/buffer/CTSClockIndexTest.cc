// The stream clock index: seconds from a variable-rate stream's own clock, its wrap and splices,
// packets split anywhere, gaps, the measured rate of a stream without a clock, bounded memory,
// and queries racing the writer and flushes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "buffer/CTSClockIndex.h"
#include "tools/common/TsGenerator.h"

namespace ovts {
namespace {

using tools::TsGenerator;
using tools::TsStreamLayout;
using Source = CTSClockIndex::TimeSource;

constexpr int64_t kTicksPerSecond = 1000000;
constexpr int64_t kPacket = CTSClockIndex::kPacketSize;
constexpr size_t kBlock = 65424;  // 348 packets, the size the write worker moves at 20 Mbit/s

TsStreamLayout Layout(uint32_t bitRate, uint32_t pcrEveryPes, uint16_t esPid = 0x0100) {
  TsStreamLayout layout;
  layout.bitRate = bitRate;
  layout.pcrEveryPes = pcrEveryPes;
  layout.esPid = esPid;
  layout.pmtPid = static_cast<uint16_t>(0x1000 + esPid);
  return layout;
}

// A live transport stream fed to an index as the file buffer's writer feeds it: blocks on the
// file's stream axis, arrival ticks following the source's time, the ring forgetting its oldest
// bytes. It keeps the truth for every stretch of the axis: the stream seconds of the bytes stored
// (dropped bytes count for nothing) and where packets start.
class LiveTs {
 public:
  LiveTs(CTSClockIndex& index, const TsStreamLayout& layout, int64_t ring = INT64_MAX)
      : index_(index), generator_(layout), ring_(ring) {
    stretches_.push_back({0, 0, 0, layout.bitRate / 8.0, 0});
  }

  TsGenerator& generator() { return generator_; }
  int64_t newest() const { return fed_; }
  int64_t oldest() const { return std::max<int64_t>(0, fed_ - ring_); }

  void SetBitRate(uint32_t bitRate) {
    generator_.SetBitRate(bitRate);
    NewStretch(Generated(), bitRate / 8.0, 0);
  }
  // A new program from here on: its own PIDs and a clock of its own.
  void Splice(const TsStreamLayout& layout) {
    generator_ = TsGenerator(layout);
    NewStretch(Generated(), layout.bitRate / 8.0, 0);
  }
  // `seconds` of stream in blocks of `block` bytes, the first one `firstBlock` bytes.
  void Play(double seconds, size_t block = kBlock, size_t firstBlock = 0) {
    const auto packets = static_cast<size_t>(seconds * stretches_.back().bytesPerSecond / kPacket);
    const size_t at = pending_.size();
    pending_.resize(at + packets * kPacket);
    generator_.Next(&pending_[at], packets);
    size_t done = 0;
    for (size_t n = firstBlock ? firstBlock : block; done < pending_.size(); done += n, n = block) {
      n = std::min(n, pending_.size() - done);
      const double arrival = Wall(fed_ + static_cast<int64_t>(n));
      index_.OnBlock(fed_, &pending_[done], static_cast<uint32_t>(n), static_cast<int64_t>(arrival * kTicksPerSecond));
      fed_ += static_cast<int64_t>(n);
      index_.Forget(oldest());
    }
    pending_.clear();
  }
  // The buffer loses `bytes` (not whole packets, so the packet phase moves) and reports the gap.
  void Drop(size_t bytes) {
    const size_t packets = bytes / kPacket + 1;
    pending_.resize(packets * kPacket);
    generator_.Next(pending_.data(), packets);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(bytes));
    const double bytesPerSecond = stretches_.back().bytesPerSecond;
    NewStretch(fed_, bytesPerSecond, static_cast<double>(bytes) / bytesPerSecond);
    stretches_.back().phase = fed_ + static_cast<int64_t>(pending_.size() % kPacket);
    index_.OnGap(fed_);
  }

  // Stream seconds of the bytes stored before `position`.
  double Truth(int64_t position) const {
    const Stretch& s = At(position);
    return s.content + static_cast<double>(position - s.position) / s.bytesPerSecond;
  }
  bool IsPacketStart(int64_t position) const {
    const Stretch& s = At(position);
    return position >= s.phase && (position - s.phase) % kPacket == 0;
  }
  // A packet start about `seconds` of stream into the stored bytes.
  int64_t PositionAfter(double seconds) const {
    auto s =
        std::find_if(stretches_.rbegin(), stretches_.rend(), [&](const Stretch& x) { return x.content <= seconds; });
    const auto p = s->position + static_cast<int64_t>((seconds - s->content) * s->bytesPerSecond);
    return s->phase + (p - s->phase) / kPacket * kPacket;
  }

 private:
  struct Stretch {
    int64_t position;
    double content;  // stream seconds stored before position
    double wall;     // source seconds at position, dropped bytes included
    double bytesPerSecond;
    int64_t phase;  // a packet start
  };
  const Stretch& At(int64_t position) const {
    return *std::find_if(stretches_.rbegin(), stretches_.rend(),
                         [&](const Stretch& s) { return s.position <= position; });
  }
  double Wall(int64_t position) const {
    const Stretch& s = At(position);
    return s.wall + static_cast<double>(position - s.position) / s.bytesPerSecond;
  }
  // Where the next byte generated goes on the axis.
  int64_t Generated() const { return fed_ + static_cast<int64_t>(pending_.size()); }
  // From `at` on; `lost` seconds of the source never reach the axis.
  void NewStretch(int64_t at, double bytesPerSecond, double lost) {
    stretches_.push_back({at, Truth(at), Wall(at) + lost, bytesPerSecond, at});
  }

  CTSClockIndex& index_;
  TsGenerator generator_;
  const int64_t ring_;
  int64_t fed_ = 0;
  std::vector<uint8_t> pending_;
  std::vector<Stretch> stretches_;
};

// Catches: seeking or counting seconds by bytes on a variable-rate stream, seeks that land inside
// a packet, retained seconds off the clock, and an index that grows with the stream.
TEST(ClockIndex, VariableRateStreamSeeksByItsOwnClock) {
  CTSClockIndex index(kTicksPerSecond);
  LiveTs ts(index, Layout(2000000, 8), 30000000);  // a ring of about a minute
  for (int stretch = 0; stretch < 30; ++stretch) {
    ts.SetBitRate(stretch % 2 ? 6000000 : 2000000);  // two rates, 5 s each
    for (int half = 0; half < 2; ++half) {
      ts.Play(2.5);
      if (stretch < 14) continue;
      SCOPED_TRACE(testing::Message() << "at " << ts.Truth(ts.newest()) << " s");
      const int64_t oldest = ts.oldest(), newest = ts.newest();
      // 30 s spans whole periods of the two rates; the others do not, so bytes at an average
      // rate would miss them by seconds.
      for (double seconds : {30.0, 17.5, 7.5}) {
        const auto back = index.PositionAt(newest, -seconds, oldest, newest);
        ASSERT_TRUE(back);
        EXPECT_TRUE(ts.IsPacketStart(*back));
        EXPECT_NEAR(ts.Truth(newest) - ts.Truth(*back), seconds, 0.5);
        const auto forward = index.PositionAt(*back, seconds / 2, oldest, newest);
        EXPECT_TRUE(ts.IsPacketStart(*forward));
        EXPECT_NEAR(ts.Truth(*forward) - ts.Truth(*back), seconds / 2, 0.5);
      }

      const double retained = ts.Truth(newest) - ts.Truth(oldest);
      EXPECT_NEAR(*index.SecondsBetween(oldest, newest), retained, retained * 0.01);
      EXPECT_LE(index.EntryCount(), static_cast<size_t>(2 * retained + 4));
      EXPECT_EQ(index.Source(), Source::kStreamClock);
      EXPECT_NEAR(index.BytesPerSecond(), 500000, 15000);  // 10 s: one stretch of each rate

      const auto past = index.PositionAt(newest, -1000, oldest, newest);
      EXPECT_TRUE(*past >= oldest && *past < oldest + kPacket && ts.IsPacketStart(*past));
      EXPECT_EQ(index.PositionAt(oldest, 1000, oldest, newest), newest);
    }
  }
}

// Catches: time invented or lost at the 33-bit wrap, at a splice back or forward (with or without
// the discontinuity indicator seen), and at a new program whose clock comes on another PID.
TEST(ClockIndex, WrapAndSplicesNeitherInventNorLoseTime) {
  CTSClockIndex index(kTicksPerSecond);
  LiveTs ts(index, Layout(4000000, 4));
  ts.generator().SetClock(TsGenerator::kPcrWrap - 20 * 27000000ull, false);
  ts.Play(40);  // wraps 20 s in
  EXPECT_NEAR(*index.SecondsBetween(ts.PositionAfter(10), ts.PositionAfter(30)), 20, 0.01);

  std::vector<double> splices;
  auto splice = [&](auto&& how) {
    splices.push_back(ts.Truth(ts.newest()));
    how();
    ts.Play(20);
    EXPECT_EQ(index.Source(), Source::kStreamClock);
  };
  splice([&] { ts.generator().SetClock(ts.generator().NextPcr() + TsGenerator::kPcrWrap - 3600 * 27000000ull, true); });
  splice([&] { ts.generator().SetClock(ts.generator().NextPcr() + 3600 * 27000000ull, false); });
  splice([&] { ts.Splice(Layout(4000000, 4, 0x0200)); });

  for (double at : splices) {
    SCOPED_TRACE(testing::Message() << "splice at " << at << " s");
    EXPECT_NEAR(*index.SecondsBetween(ts.PositionAfter(at - 10), ts.PositionAfter(at + 10)), 20, 0.05);
  }
  EXPECT_NEAR(*index.SecondsBetween(0, ts.newest()), ts.Truth(ts.newest()), 0.5);
  const auto back = index.PositionAt(ts.newest(), -30, 0, ts.newest());  // across the last splice
  EXPECT_TRUE(ts.IsPacketStart(*back));
  EXPECT_NEAR(ts.Truth(ts.newest()) - ts.Truth(*back), 30, 0.5);
}

// Catches: a packet head split between blocks misread (a wrong PCR, a lost sync), at any offset.
TEST(ClockIndex, PacketsSplitAtEveryOffsetReadAlike) {
  for (size_t offset = 1; offset < kPacket; ++offset) {
    SCOPED_TRACE(testing::Message() << "split at " << offset);
    CTSClockIndex index(kTicksPerSecond);
    LiveTs ts(index, Layout(1500000, 2));
    ts.Play(3, kPacket, offset);
    ASSERT_EQ(index.Source(), Source::kStreamClock);
    EXPECT_NEAR(*index.SecondsBetween(0, ts.newest()), ts.Truth(ts.newest()), 0.01);
    const auto back = index.PositionAt(ts.newest(), -1.5, 0, ts.newest());
    EXPECT_TRUE(ts.IsPacketStart(*back));
    EXPECT_NEAR(ts.Truth(ts.newest()) - ts.Truth(*back), 1.5, 0.02);
  }
}

// Catches: seeks after a gap landing on the old packet grid, and a long outage counted as time
// the buffer does not hold.
TEST(ClockIndex, GapsMoveThePacketGridAndCountNoMissingTime) {
  CTSClockIndex index(kTicksPerSecond);
  LiveTs ts(index, Layout(3000000, 4));
  ts.Play(10);
  ts.Drop(1000);
  ts.Play(10);
  for (double back : {-3.0, -7.0, -12.0, -16.0}) {  // after the gap, then before it
    const auto p = index.PositionAt(ts.newest(), back, 0, ts.newest());
    EXPECT_TRUE(ts.IsPacketStart(*p)) << back;
    EXPECT_NEAR(ts.Truth(ts.newest()) - ts.Truth(*p), -back, 0.5);
  }

  const double outage = ts.Truth(ts.newest());
  ts.Drop(15 * 375000);  // 15 s of stream never stored
  ts.Play(10);
  EXPECT_NEAR(*index.SecondsBetween(ts.PositionAfter(outage - 5), ts.PositionAfter(outage + 5)), 10, 0.05);
  EXPECT_EQ(index.Source(), Source::kStreamClock);
}

// Catches: a stream without a clock timed by anything but its arrivals, a rate change smeared
// over the 10 s the rate is measured on, a stalled source counted as stream time, and times
// given before any rate is known.
TEST(ClockIndex, StreamWithoutClockIsTimedByItsArrival) {
  CTSClockIndex index(kTicksPerSecond);
  std::mt19937 random(12);
  std::vector<uint8_t> block(32768);
  for (auto& b : block) b = static_cast<uint8_t>(random());
  int64_t position = 0;
  double seconds = 0;
  auto feed = [&](double bytesPerSecond, double duration) {
    for (double end = seconds + duration; seconds < end;) {
      seconds += block.size() / bytesPerSecond;
      index.OnBlock(position, block.data(), static_cast<uint32_t>(block.size()),
                    static_cast<int64_t>(seconds * kTicksPerSecond));
      position += static_cast<int64_t>(block.size());
    }
  };
  feed(500000, 0.1);
  EXPECT_FALSE(index.TimeAt(0));
  EXPECT_FALSE(index.PositionAt(0, 1, 0, position));
  feed(500000, 30);
  const int64_t stall = position;
  seconds += 20;  // the source sends nothing for 20 s
  feed(500000, 10);
  feed(1500000, 30);

  EXPECT_EQ(index.Source(), Source::kMeasuredRate);
  EXPECT_NEAR(index.BytesPerSecond(), 1500000, 15000);
  EXPECT_NEAR(*index.SecondsBetween(0, position), seconds - 20, 0.05);
  EXPECT_NEAR(*index.SecondsBetween(stall - 2500000, stall + 2500000), 10, 0.1);
  EXPECT_NEAR(*index.SecondsBetween(position - 15000000, position), 10, 0.05);
  EXPECT_NEAR(static_cast<double>(*index.PositionAt(position, -5, 0, position)), position - 7500000.0, 40000);
}

// Catches: entries kept for bytes the ring overwrote, an oldest byte left untimed once its entry
// went, and anything surviving a flush.
TEST(ClockIndex, ForgetBoundsTheIndexAndResetEmptiesIt) {
  CTSClockIndex index(kTicksPerSecond);
  {
    LiveTs ts(index, Layout(4000000, 4), 5000000);  // a ring of 10 s
    ts.Play(120);
    EXPECT_LE(index.EntryCount(), 24u);
    EXPECT_NEAR(*index.SecondsBetween(ts.oldest(), ts.newest()), 10, 0.1);
  }
  index.Reset();
  EXPECT_EQ(index.EntryCount(), 0u);
  EXPECT_FALSE(index.TimeAt(0));
  EXPECT_EQ(index.BytesPerSecond(), 0);
  EXPECT_EQ(index.Source(), Source::kMeasuredRate);

  LiveTs again(index, Layout(2000000, 4));  // the axis starts again at 0
  again.Play(5);
  EXPECT_EQ(index.Source(), Source::kStreamClock);
  EXPECT_NEAR(*index.SecondsBetween(0, again.newest()), again.Truth(again.newest()), 0.05);
}

// Catches: data races between the writer feeding, Forget, control threads querying and flushing
// (run under ThreadSanitizer), and answers outside the range asked for.
TEST(ClockIndex, QueriesRaceTheWriterAndFlushes) {
  CTSClockIndex index(kTicksPerSecond);
  std::atomic<int64_t> oldest{0}, newest{0};
  std::atomic<bool> done{false};
  port::Event answered(port::Event::Mode::kManualReset);
  std::thread writer([&] {
    LiveTs ts(index, Layout(4000000, 4), 2500000);
    for (int i = 0; i < 240; ++i) {
      if (i % 20 == 0) ts.SetBitRate(i % 40 ? 6000000 : 2000000);
      ts.Play(0.25);
      oldest = ts.oldest();
      newest = ts.newest();
      if (i == 8) answered.Wait(port::kInfinite);  // the rest races a querier that has begun
    }
    done = true;
  });
  int answers = 0;
  for (int i = 1; !done; ++i) {
    const int64_t o = oldest, n = newest;
    if (auto p = index.PositionAt(n, -2, o, n)) {
      EXPECT_TRUE(*p >= o && *p <= n);
      if (++answers == 1) answered.Set();
    }
    if (auto s = index.SecondsBetween(o, n)) {
      EXPECT_GE(*s, 0);
    }
    if (answers > 0 && i % 500 == 0) index.Reset();
  }
  writer.join();
}

}  // namespace
}  // namespace ovts
