// Every file operation the buffer makes may fail: one workload is run again and again with the
// n-th write, read or seek failing, for every n its clean run reaches. Catches a failure at any
// point that crashes or hangs the buffer, damages a byte, loses bytes without a mark or a count,
// or keeps recording from resuming.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "BufferTestSupport.h"
#include "buffer/CCircFileBuf.h"
#include "platform/TestFileFaults.h"

namespace ovts {
namespace {

constexpr uint32_t KB = 1024;
constexpr uint32_t kBlock = 4 * KB;
constexpr uint64_t kTotal = 192 * KB;
const TSCacheConfig kCaches{64, 16, 0, 32, 8, 50};

struct Outcome {
  tools::PatternChecker::Stats stats;
  uint64_t dropped = 0;
  uint64_t total = 0;
  bool started = false;
};

// Starts a buffer (again, when the fault refused the first start), writes the pattern through
// it while a reader takes it out, and ends the stream once the disk takes data again.
Outcome RunWorkload(const std::string& dir) {
  Outcome outcome;
  CCircFileBuf b;
  b.SetRetryInterval(10);
  test::OwnedConfig config(dir, "sweep.bin", 1024, PreAllocate);
  EXPECT_EQ(b.SetConfig(config.get()), S_OK);
  EXPECT_EQ(b.SetCacheConfig(&kCaches), S_OK);
  if (FAILED(b.Start())) {
    EXPECT_FALSE(b.IsOpen()) << "a refused start leaves nothing open";
    if (FAILED(b.Start())) return outcome;
  }
  outcome.started = true;
  std::thread reader([&] {
    tools::PatternChecker checker;
    std::vector<uint8_t> sample(8 * KB);
    port::Event tick(port::Event::Mode::kAutoReset);
    for (;;) {
      uint32_t got = 0;
      bool discontinuity = false;
      const HRESULT hr = b.Read(sample.data(), 8 * KB, &got, &discontinuity);
      if (hr != S_OK) break;
      if (got > 0)
        checker.Feed(sample.data(), got, discontinuity);
      else
        tick.Wait(1);
    }
    checker.Finish();
    outcome.stats = checker.stats();
  });
  port::Event tick(port::Event::Mode::kAutoReset);
  uint64_t position = 0;
  // The stream goes on until the disk takes data again: its resumption needs bytes to offer.
  for (; position < kTotal || b.GetRecordingFault() != S_OK; position += kBlock) {
    test::Put(b, position, kBlock);
    tick.Wait(1);
  }
  // The stream ends with a block that reached the file (the ring never wraps here, so the write
  // position counts the bytes written): a block dropped at the very end could not be seen missing.
  for (;;) {
    const uint64_t dropped = b.GetDroppedBytes();
    test::Put(b, position, kBlock);
    position += kBlock;
    EXPECT_TRUE(test::WaitUntil([&] { return static_cast<uint64_t>(b.GetWritePosition()) + b.GetDroppedBytes() == position; }));
    if (b.GetDroppedBytes() == dropped) break;
  }
  outcome.total = position;
  b.SetEndOfStream();
  reader.join();
  outcome.dropped = b.GetDroppedBytes();
  EXPECT_EQ(b.Stop(), S_OK);
  return outcome;
}

void ExpectRecovered(const Outcome& o, const char* op, uint64_t index) {
  SCOPED_TRACE(testing::Message() << op << " #" << index << ": dropped " << o.dropped << " lost " << o.stats.lost
                                  << " bytes " << o.stats.bytes);
  ASSERT_TRUE(o.started);
  EXPECT_EQ(o.stats.corrupt, 0u);
  EXPECT_EQ(o.stats.unreportedJumps, 0u);
  EXPECT_EQ(o.stats.lost, o.dropped) << "every byte missing was counted";
  EXPECT_EQ(o.stats.bytes + o.dropped, o.total) << "every byte kept was delivered, the last ones too";
}

TEST(FaultSweep, EveryFileOperationMayFail) {
  const std::string dir = test::MakeTestDir("fault-sweep");
  uint64_t counts[3] = {};
  {
    test::TestFileFaults counter;
    const Outcome clean = RunWorkload(dir);
    ExpectRecovered(clean, "none", 0);
    EXPECT_EQ(clean.dropped, 0u);
    counts[0] = counter.Count(port::FileOp::kWrite);
    counts[1] = counter.Count(port::FileOp::kRead);
    counts[2] = counter.Count(port::FileOp::kSeek);
  }
  ASSERT_GT(counts[0], 8u);
  ASSERT_GT(counts[1], 8u);
  const struct {
    port::FileOp op;
    port::FileFault fault;
    const char* name;
  } kinds[] = {{port::FileOp::kWrite, port::FileFault::kDiskFull, "write"},
               {port::FileOp::kRead, port::FileFault::kIoError, "read"},
               {port::FileOp::kSeek, port::FileFault::kIoError, "seek"}};
  for (int k = 0; k < 3; ++k) {
    for (uint64_t index = 0; index < counts[k]; ++index) {
      test::TestFileFaults faults;
      faults.FailAt(kinds[k].op, index, kinds[k].fault);
      ExpectRecovered(RunWorkload(dir), kinds[k].name, index);
      if (HasFailure()) return;  // one broken index tells enough
    }
  }
}

}  // namespace
}  // namespace ovts
