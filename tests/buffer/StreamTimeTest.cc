// The file buffer in stream time: the clock index fed by the writer as bytes settle (wrap, splice,
// the ring forgetting), seeks by seconds landing on packets, the measured rate of a stream without
// a clock, and the exporter reading its own handle while the writer laps it, the stream resets or
// the buffer stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include "BufferTestSupport.h"
#include "TestSupport.h"
#include "buffer/CCircFileBuf.h"
#include "buffer/CTSExporter.h"
#include "tools/common/TsGenerator.h"

namespace ovts {
namespace {

constexpr uint32_t KB = 1024;
constexpr size_t kPacket = tools::kTsPacketSize;
constexpr uint32_t kBlock = 16384;  // not a whole number of packets: the index sees them split
const TSCacheConfig kCaches{4096, 512, 0, 1024, 128, 50};

// A file buffer whose arrival ticks the test sets: the stream's own time, however fast it is fed.
class TimedFileBuf : public CCircFileBuf {
 public:
  ~TimedFileBuf() override { Close(); }
  void SetArrival(double seconds) { ticks_.store(std::llround(seconds * port::PerformanceFrequency())); }

 protected:
  int64_t ArrivalTicks() const override { return ticks_.load(); }

 private:
  std::atomic<int64_t> ticks_{0};
};

// A stream kept whole in memory with the true stream time of each packet's start.
struct Stream {
  std::vector<uint8_t> bytes;
  std::vector<double> packetTime;
  double end = 0;

  double TimeAt(int64_t position) const {
    const size_t packet = static_cast<size_t>(position) / kPacket;
    if (packet >= packetTime.size()) return end;
    const double next = packet + 1 < packetTime.size() ? packetTime[packet + 1] : end;
    return packetTime[packet] + (next - packetTime[packet]) * (position % kPacket) / kPacket;
  }
  // Appends `seconds` of transport stream at `bitRate`.
  void Add(tools::TsGenerator& generator, double seconds, uint32_t bitRate) {
    generator.SetBitRate(bitRate);
    const double perPacket = kPacket * 8.0 / bitRate;
    for (double t = 0; t < seconds; t += perPacket) {
      packetTime.push_back(end);
      bytes.resize(bytes.size() + kPacket);
      generator.Next(bytes.data() + bytes.size() - kPacket, 1);
      end += perPacket;
    }
  }
};

struct Fixture {
  // A folder per test: ctest runs this program's tests side by side, and each writes export.ts.
  std::string dir =
      test::MakeTestDir("stream-time-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
  std::string path = dir + "buffer.mpg";
  TimedFileBuf buffer;
  size_t fed = 0;

  explicit Fixture(uint32_t sizeKB) {
    port::DeleteFileAt(path.c_str());
    test::OwnedConfig config(dir, "buffer.mpg", sizeKB, 0);
    EXPECT_EQ(buffer.SetConfig(config.get()), S_OK);
    EXPECT_EQ(buffer.SetCacheConfig(&kCaches), S_OK);
    EXPECT_EQ(buffer.Start(), S_OK);
  }
  // Feeds the stream up to byte `until`, arriving at its own pace, and waits until the file holds
  // it all. As a live source would, the test lets the write worker move each trigger's worth
  // before more arrives: its transfer then begins as the chunk's last byte arrives.
  void Feed(const Stream& stream, size_t until) {
    for (; fed < until; fed += kBlock) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(kBlock, until - fed));
      ASSERT_TRUE(test::WaitUntil([&] { return buffer.writeCache().GetUnreadBytes() < kCaches.inputChunkKB * KB; }));
      buffer.SetArrival(stream.TimeAt(fed + n));
      uint32_t written = 0;
      ASSERT_EQ(buffer.Write(stream.bytes.data() + fed, n, &written), S_OK);
      ASSERT_EQ(written, n);
    }
    fed = until;
    ASSERT_TRUE(test::WaitUntil([&] { return buffer.GetStreamSpan().stored == static_cast<int64_t>(until); }));
  }
};

// Catches: the index not fed (or fed off the file's axis) as the ring wraps over a PCR wrap and a
// splice; a seek by seconds landing off a packet, off the clock, or without a discontinuity.
TEST(StreamTime, VariableRateStreamSeeksByItsClockAcrossWrapAndSplice) {
  tools::TsGenerator generator;
  generator.SetClock(tools::TsGenerator::kPcrWrap - 45 * 27000000ull / 2, false);  // wraps at 22.5 s
  Stream stream;
  for (int period = 0; period < 10; ++period) {
    const uint32_t rate = period % 2 ? 6000000 : 2000000;
    if (period == 5) {
      stream.Add(generator, 2.5, rate);
      generator.SetClock(123456789, true);  // a splice at 27.5 s
      stream.Add(generator, 2.5, rate);
    } else {
      stream.Add(generator, 5, rate);
    }
  }
  Fixture f(20 * KB);  // about 40 of the 50 s
  f.Feed(stream, stream.bytes.size());

  const CCircFileBuf::StreamSpan span = f.buffer.GetStreamSpan();
  ASSERT_GT(span.oldest, 0) << "the ring should have wrapped";
  const TSTimeStatus status = f.buffer.GetTimeStatus();
  EXPECT_EQ(status.source, TSTIME_STREAM_CLOCK);
  // Within 1 %, and the splice's joint: the bytes between its two readings, timed at the rate.
  const double truth = stream.end - stream.TimeAt(span.oldest);
  EXPECT_NEAR(status.retainedSeconds, truth, truth * 0.01 + 0.5);
  EXPECT_EQ(status.secondsUntilOverwrite, 0);
  EXPECT_NEAR(status.bitsPerSecond, 4000000, 1000000);  // 10 s of 2 and 6 Mbit/s

  int64_t landed = 0;
  ASSERT_EQ(f.buffer.SeekToTime(CCircFileBuf::kLiveEdge, -30.0, &landed), S_OK);
  EXPECT_EQ(landed % static_cast<int64_t>(kPacket), 0);
  EXPECT_NEAR(stream.TimeAt(landed), stream.end - 30.0, 0.5);
  test::Got got;
  ASSERT_TRUE(test::WaitUntil([&] { return !(got = test::Get(f.buffer, 32768)).bytes.empty(); }));
  EXPECT_TRUE(got.discontinuity);
  EXPECT_TRUE(std::equal(got.bytes.begin(), got.bytes.end(), stream.bytes.begin() + landed));

  // Relative to the play position: 10 s on.
  const int64_t play = f.buffer.GetStreamSpan().play;
  EXPECT_EQ(play, landed + 32768);
  ASSERT_EQ(f.buffer.SeekToTime(play, 10.0, &landed), S_OK);
  EXPECT_EQ(landed % static_cast<int64_t>(kPacket), 0);
  EXPECT_NEAR(stream.TimeAt(landed), stream.TimeAt(play) + 10.0, 0.5);

  // A flush forgets the clock: nothing can be timed until new bytes come.
  ASSERT_EQ(f.buffer.Reset(), S_OK);
  EXPECT_EQ(f.buffer.SeekToTime(CCircFileBuf::kLiveEdge, -1.0, &landed), E_PENDING);
  EXPECT_EQ(f.buffer.GetTimeStatus().source, TSTIME_NONE);
}

// Catches: a stream without a clock left untimed, a wrong rate, or the time to the first
// overwrite not counted down (or not 0 once the ring wraps).
TEST(StreamTime, StreamWithoutClockIsTimedByItsArrivals) {
  Fixture f(8 * KB);
  std::vector<uint8_t> bytes = test::PatternBytes(0, 12 * 1024 * 1024);
  Stream stream;
  stream.bytes = bytes;
  stream.end = bytes.size() / 1e6;  // 1 MB/s
  for (size_t p = 0; p < bytes.size(); p += kPacket) stream.packetTime.push_back(p / 1e6);

  f.Feed(stream, 4 * 1024 * 1024);
  TSTimeStatus status = f.buffer.GetTimeStatus();
  EXPECT_EQ(status.source, TSTIME_MEASURED_RATE);
  EXPECT_NEAR(status.bitsPerSecond, 8000000, 200000);
  EXPECT_NEAR(status.retainedSeconds, 4 * 1.048576, 0.1);
  EXPECT_NEAR(status.secondsUntilOverwrite, 4 * 1.048576, 0.1);

  f.Feed(stream, bytes.size());
  status = f.buffer.GetTimeStatus();
  EXPECT_EQ(status.secondsUntilOverwrite, 0);
  EXPECT_NEAR(status.retainedSeconds, 8 * 1.048576, 0.1);
  int64_t landed = 0;
  ASSERT_EQ(f.buffer.SeekToTime(CCircFileBuf::kLiveEdge, -2.0, &landed), S_OK);
  EXPECT_NEAR(static_cast<double>(landed), bytes.size() - 2e6, 20000);
}

// Catches: the live edge counting bytes twice, in the file and still in the write cache, while
// the write worker gives back the cache memory it has just stored: retained seconds then ran a
// whole transfer ahead.
TEST(StreamTime, LiveEdgeCountsEachByteOnce) {
  Fixture f(8 * KB);
  const std::vector<uint8_t> bytes = test::PatternBytes(0, 12 * 1024 * 1024);
  std::atomic<int64_t> sent{0};
  std::atomic<bool> done{false};
  int64_t ahead = 0;  // the most the live edge ran past the bytes sent
  std::thread poller([&] {
    while (!done.load()) ahead = std::max(ahead, f.buffer.GetStreamSpan().live - sent.load());
  });
  for (size_t at = 0; at < bytes.size(); at += kBlock) {
    // As fast as the write worker stores them: many transfers, and no block dropped.
    EXPECT_TRUE(test::WaitUntil([&] { return f.buffer.writeCache().GetUnreadBytes() < kCaches.inputChunkKB * KB; }));
    sent.store(static_cast<int64_t>(at + kBlock));  // before the bytes go in
    uint32_t written = 0;
    f.buffer.Write(bytes.data() + at, kBlock, &written);
  }
  EXPECT_TRUE(test::WaitUntil([&] { return f.buffer.writeCache().GetUnreadBytes() == 0; }));
  done.store(true);
  poller.join();
  EXPECT_LE(ahead, 0);
}

// Holds the exporter's reads from the buffer file: the n-th read from arming on waits for
// Release. Only the exporter reads while the buffer is paused.
class ReadGate final : public port::FileFaultHook {
 public:
  ReadGate() { port::SetFileFaultHook(this); }
  ~ReadGate() {
    Release();
    port::SetFileFaultHook(nullptr);
    EXPECT_TRUE(test::WaitUntil([&] { return inside_.load() == 0; }));  // the held read has left
  }
  void Arm(int passing) { passing_.store(passing); }
  void Release() { open_.Set(); }
  bool WaitHeld() { return held_.Wait(20000); }
  port::FileFault Before(port::FileOp op) override {
    inside_.fetch_add(1);
    if (op == port::FileOp::kRead && passing_.fetch_sub(1) == 0) {
      held_.Set();
      open_.Wait(port::kInfinite);
    }
    inside_.fetch_sub(1);
    return port::FileFault::kNone;
  }

 private:
  std::atomic<int> inside_{0};
  std::atomic<int> passing_{-1 << 30};
  port::Event held_{port::Event::Mode::kManualReset};
  port::Event open_{port::Event::Mode::kManualReset};
};

class ExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tools::TsGenerator generator;
    stream_.Add(generator, 60, 4000000);  // 30 MB
    out_ = f_.dir + "export.ts";
    port::DeleteFileAt(out_.c_str());
  }
  std::vector<uint8_t> ReadOut() const {
    std::vector<uint8_t> bytes;
    if (FILE* file = std::fopen(port::HostPath(out_.c_str()).c_str(), "rb")) {
      for (int c; (c = std::fgetc(file)) != EOF;) bytes.push_back(static_cast<uint8_t>(c));
      std::fclose(file);
    }
    return bytes;
  }
  // The file is whole packets copied from one stretch of the stream that starts on a packet:
  // returns where that stretch starts, or -1.
  int64_t ExpectSlice(const std::vector<uint8_t>& out) const {
    EXPECT_FALSE(out.empty());
    EXPECT_EQ(out.size() % kPacket, 0u);
    if (out.size() < kPacket) return -1;
    const size_t head = std::min<size_t>(out.size(), 8 * kPacket);  // numbered packets among them
    for (size_t at = 0; at + out.size() <= stream_.bytes.size(); at += kPacket) {
      if (std::equal(out.begin(), out.begin() + head, stream_.bytes.begin() + at) &&
          std::equal(out.begin(), out.end(), stream_.bytes.begin() + at))
        return static_cast<int64_t>(at);
    }
    ADD_FAILURE() << "the file is no stretch of the stream";
    return -1;
  }
  bool WaitState(CTSExporter& exporter, uint32_t state) {
    return test::WaitUntil([&] { return exporter.Progress().state == state; });
  }

  Stream stream_;
  Fixture f_{16 * KB};
  std::string out_;
};

// Catches: a range cut off its packets or its times, a second export let in beside a running
// one, a live-following export that misses or repeats bytes, a cancel that keeps the file.
TEST_F(ExportTest, RangesAndTheLiveEdgeAreSavedAsWholePackets) {
  f_.Feed(stream_, stream_.bytes.size() / 3);  // 20 s
  CTSExporter exporter(f_.buffer);
  EXPECT_EQ(exporter.Start(out_.c_str(), 5, 10), E_INVALIDARG);
  EXPECT_EQ(exporter.Start(out_.c_str(), -1, CTSExporter::kFollowLive), E_INVALIDARG);
  ASSERT_EQ(exporter.Start(out_.c_str(), 10, 5), S_OK);
  ASSERT_TRUE(WaitState(exporter, TSEXPORT_DONE));
  std::vector<uint8_t> out = ReadOut();
  int64_t at = ExpectSlice(out);
  EXPECT_NEAR(stream_.TimeAt(at), 10.0, 0.5);
  EXPECT_NEAR(exporter.Progress().secondsCovered, 5.0, 0.1);
  EXPECT_EQ(exporter.Progress().bytesWritten, out.size());

  // Following the live edge for 10 s of stream fed faster than real time.
  ASSERT_EQ(exporter.Start(out_.c_str(), 2, CTSExporter::kFollowLive), S_OK);
  EXPECT_EQ(exporter.Start(out_.c_str(), 2, 1), HRESULT_FROM_WIN32(ERROR_BUSY));
  f_.Feed(stream_, stream_.bytes.size() / 2);  // 10 s more
  ASSERT_TRUE(test::WaitUntil([&] { return exporter.Progress().secondsCovered >= 11.0; }));
  EXPECT_EQ(exporter.Stop(), S_OK);
  EXPECT_EQ(exporter.Progress().state, TSEXPORT_DONE);
  out = ReadOut();
  at = ExpectSlice(out);
  EXPECT_NEAR(stream_.TimeAt(at), 18.0, 0.5);
  EXPECT_EQ(exporter.Stop(), S_FALSE);

  ASSERT_EQ(exporter.Start(out_.c_str(), 1, CTSExporter::kFollowLive), S_OK);
  EXPECT_EQ(exporter.Cancel(), S_OK);
  EXPECT_EQ(exporter.Progress().state, TSEXPORT_CANCELLED);
  EXPECT_LT(port::FileSizeAt(out_.c_str()), 0);
}

// Catches: bytes the writer replaced during the export's read saved as if good, or the file left
// with a partial packet; the export thread left behind or its handle keeping the buffer file.
TEST_F(ExportTest, WriterLappingTheExportOrTheBufferStoppingEndsIt) {
  f_.Feed(stream_, 10 * 1024 * 1024);
  ASSERT_EQ(f_.buffer.Pause(), S_OK);  // the read worker reads nothing while paused
  CTSExporter exporter(f_.buffer);
  {
    ReadGate gate;
    gate.Arm(1);  // the first read goes through, the second waits
    ASSERT_EQ(exporter.Start(out_.c_str(), 1000, 0), S_OK);  // from the oldest byte
    ASSERT_TRUE(gate.WaitHeld());
    f_.Feed(stream_, 10 * 1024 * 1024 + 17 * 1024 * 1024);  // more than the ring holds
  }
  ASSERT_TRUE(WaitState(exporter, TSEXPORT_FAILED));
  EXPECT_EQ(exporter.Progress().result, OVTS_E_OVERTAKEN);
  std::vector<uint8_t> out = ReadOut();
  EXPECT_EQ(out.size(), CTSExporter::kChunk);
  ExpectSlice(out);

  const std::vector<uint64_t> before = test::ThreadIds();
  {
    ReadGate gate;
    gate.Arm(0);
    ASSERT_EQ(exporter.Start(out_.c_str(), 5, 1), S_OK);
    ASSERT_TRUE(gate.WaitHeld());
    ASSERT_EQ(f_.buffer.Reset(), S_OK);  // a flush while the export reads
  }
  ASSERT_TRUE(WaitState(exporter, TSEXPORT_FAILED)) << exporter.Progress().state;
  EXPECT_EQ(exporter.Progress().result, OVTS_E_STREAM_RESET);

  f_.fed = 0;
  f_.Feed(stream_, 4 * 1024 * 1024);
  ASSERT_EQ(exporter.Start(out_.c_str(), 2, CTSExporter::kFollowLive), S_OK);
  ASSERT_EQ(f_.buffer.Stop(), S_OK);
  exporter.Join();
  EXPECT_EQ(exporter.Progress().state, TSEXPORT_DONE);  // a live-following export just ends
  EXPECT_TRUE(test::NewThreads(before, test::ThreadIds()).empty());
  EXPECT_TRUE(test::NoHandleOn(f_.path));
  EXPECT_EQ(exporter.Start(out_.c_str(), 2, 1), E_FAIL);  // closed
}

}  // namespace
}  // namespace ovts
