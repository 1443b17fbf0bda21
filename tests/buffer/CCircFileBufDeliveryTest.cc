// Every byte the file buffer takes comes out, in order, or its loss is counted and marked where
// it happened: transport-stream block sizes at broadcast rates with the default caches, a disk
// slower than the input, a block as large as the write cache, a threshold the read cache cannot
// reach, the last bytes of a stream, and the status figures that follow the play position.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "BufferTestSupport.h"
#include "TestSupport.h"
#include "buffer/CCircFileBuf.h"
#include "platform/TestFileFaults.h"

namespace ovts {
namespace {

constexpr uint32_t KB = 1024;
constexpr uint32_t kSampleBytes = 32768;  // what the output pin asks for
const TSCacheConfig kDefaultCaches{4096, 4096, 0, 1024, 128, 75};

// The file name with the running test's name before it.
std::string UniqueName(const char* file) {
  std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
  for (char& c : name)
    if (c == '/') c = '-';
  return name + "-" + file;
}

// A file buffer of its own: ctest runs the cases of this program side by side.
struct Buffer {
  std::string dir = test::MakeTestDir("buffer-delivery");
  std::string name;
  CCircFileBuf b;
  Buffer(const char* file, const TSCacheConfig& caches, uint32_t sizeKB = 32768) : name(UniqueName(file)) {
    port::DeleteFileAt((dir + name).c_str());
    test::OwnedConfig config(dir, name, sizeKB, DeleteOnClose);
    EXPECT_EQ(b.SetConfig(config.get()), S_OK);
    EXPECT_EQ(b.SetCacheConfig(&caches), S_OK);
  }
  ~Buffer() { b.Stop(); }
};

// Writes the pattern in blocks of `block` bytes at `bytesPerSecond` (0: flat out) until `total`.
void WritePaced(CCircFileBuf& b, uint32_t block, double bytesPerSecond, uint64_t total) {
  std::vector<uint8_t> bytes(block);
  port::Event tick(port::Event::Mode::kAutoReset);  // never set: its timeout paces the writer
  const int64_t start = port::PerformanceCounter();
  const double frequency = static_cast<double>(port::PerformanceFrequency());
  for (uint64_t position = 0; position < total;) {
    const double due = bytesPerSecond * static_cast<double>(port::PerformanceCounter() - start) / frequency;
    if (bytesPerSecond > 0 && static_cast<double>(position) > due) {
      tick.Wait(1);
      continue;
    }
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(block, total - position));
    tools::FillPattern(bytes.data(), position, n);
    uint32_t written = 0;
    ASSERT_EQ(b.Write(bytes.data(), n, &written), S_OK);
    position += n;  // a dropped block is a gap in the stream, not a retry
  }
}

// Reads as the output pin does until the buffer says every byte is delivered.
tools::PatternChecker::Stats ReadToEnd(CCircFileBuf& b) {
  tools::PatternChecker checker;
  std::vector<uint8_t> sample(kSampleBytes);
  port::Event tick(port::Event::Mode::kAutoReset);
  for (;;) {
    uint32_t got = 0;
    bool discontinuity = false;
    const HRESULT hr = b.Read(sample.data(), kSampleBytes, &got, &discontinuity);
    if (hr == S_FALSE) break;
    EXPECT_EQ(hr, S_OK);
    if (FAILED(hr)) break;
    if (got > 0)
      checker.Feed(sample.data(), got, discontinuity);
    else
      tick.Wait(1);
  }
  checker.Finish();
  return checker.stats();
}

void ExpectWhole(const tools::PatternChecker::Stats& s, uint64_t total, uint64_t dropped) {
  EXPECT_EQ(s.corrupt, 0u);
  EXPECT_EQ(s.unreportedJumps, 0u);
  EXPECT_EQ(s.unsynced, 0u);
  EXPECT_EQ(s.lost, dropped) << "every byte missing was dropped and counted";
  EXPECT_EQ(s.bytes, total - dropped) << "every byte kept was delivered, the last ones too";
}

class DefaultCaches : public testing::TestWithParam<std::tuple<uint32_t, double>> {};

// Catches the write cache lapped by the next block while the write worker waits for it to be
// completely full: blocks that do not divide the cache lost bytes silently at broadcast rates.
TEST_P(DefaultCaches, TransportBlocksAtBroadcastRatesLoseNothing) {
  const auto [block, rate] = GetParam();
  Buffer f("paced.bin", kDefaultCaches);
  ASSERT_EQ(f.b.Start(), S_OK);
  const uint64_t total = 8ull << 20;
  tools::PatternChecker::Stats stats;
  std::thread reader([&] { stats = ReadToEnd(f.b); });
  WritePaced(f.b, block, rate, total);
  f.b.SetEndOfStream();
  reader.join();
  EXPECT_EQ(f.b.GetDroppedBytes(), 0u);
  ExpectWhole(stats, total, 0);
  EXPECT_EQ(stats.discontinuities, 1u) << "only the start is marked";
}

INSTANTIATE_TEST_SUITE_P(FileBufDelivery, DefaultCaches,
                         testing::Combine(testing::Values(65424u, 1316u, 188u), testing::Values(2.5e6, 20e6)));

// Catches bytes lost unreported, or a mark in the wrong place, when the disk cannot keep up: the
// reader starts only after the writer is done, so the marks must travel with the data, and a
// seek back over the gaps meets them again.
TEST(FileBufDelivery, DropsOfASlowDiskAreCountedAndMarkedWhereTheyHappened) {
  Buffer f("slow.bin", {1024, 256, 0, 512, 64, 75});
  test::TestFileFaults faults;
  faults.SetWriteDelayMs(40);  // 256 KB per 40 ms: about 6 MB/s
  ASSERT_EQ(f.b.Start(), S_OK);
  const uint64_t blocks = 192;
  WritePaced(f.b, 65424, 40e6, blocks * 65424);
  faults.SetWriteDelayMs(0);
  // The stream ends with bytes that arrive once the disk has caught up, so that every drop lies
  // between delivered bytes, where the reader can measure it.
  ASSERT_TRUE(test::WaitUntil([&] { return f.b.writeCache().GetUnreadBytes() == 0; }));
  const uint64_t total = blocks * 65424 + test::Put(f.b, blocks * 65424, 1000);
  f.b.SetEndOfStream();
  const uint64_t dropped = f.b.GetDroppedBytes();
  EXPECT_GT(dropped, 0u) << "the input outran the disk";
  EXPECT_EQ(dropped % 65424, 0u) << "whole blocks are dropped";
  const tools::PatternChecker::Stats first = ReadToEnd(f.b);
  ExpectWhole(first, total, dropped);
  EXPECT_GE(first.jumps, 1u);

  int64_t at = 0;
  ASSERT_EQ(f.b.Seek(0, 0, &at), S_OK);
  const tools::PatternChecker::Stats again = ReadToEnd(f.b);
  ExpectWhole(again, total, dropped);
  EXPECT_EQ(again.jumps, first.jumps) << "each gap is marked every time it is crossed";
}

// Counts the outages the buffer reports, and their ends.
struct OutageLog final : CCircFileBuf::Listener {
  std::atomic<int> faults{0};
  std::atomic<int> resumes{0};
  std::atomic<HRESULT> last{S_OK};
  port::Event faulted{port::Event::Mode::kManualReset};
  port::Event resumed{port::Event::Mode::kManualReset};
  void OnRecordingFault(HRESULT hr) override {
    last = hr;
    ++faults;
    faulted.Set();
  }
  void OnRecordingResumed() override {
    ++resumes;
    resumed.Set();
  }
};

// Catches a disk that fills up ending recording for good (the write worker used to end on the
// failed write, and freeing space did not help), bytes lost without a count or a mark, and an
// outage reported more than once or never ended.
TEST(FileBufDelivery, AFullDiskCostsOnlyTheBytesOfTheOutage) {
  Buffer f("outage.bin", {256, 64, 0, 128, 32, 50});
  OutageLog log;
  f.b.SetListener(&log);
  test::TestFileFaults faults;
  ASSERT_EQ(f.b.Start(), S_OK);
  tools::PatternChecker::Stats stats;
  std::thread reader([&] { stats = ReadToEnd(f.b); });
  uint64_t position = 0;
  std::vector<uint8_t> block(8192);
  port::Event tick(port::Event::Mode::kAutoReset);
  auto writeFor = [&](auto done) {
    while (!done()) {
      tools::FillPattern(block.data(), position, block.size());
      uint32_t written = 0;
      ASSERT_EQ(f.b.Write(block.data(), 8192, &written), S_OK);
      position += block.size();
      tick.Wait(2);  // about 4 MB/s
    }
  };
  writeFor([&] { return position >= 1024 * KB; });
  faults.SetDiskFull(true);
  writeFor([&] { return log.faulted.Wait(0); });
  const uint64_t refusedBefore = faults.Failed();
  writeFor([&] { return faults.Failed() >= refusedBefore + 2; });  // retried, and refused again
  EXPECT_EQ(f.b.GetRecordingFault(), HRESULT_FROM_WIN32(ERROR_DISK_FULL));
  faults.SetDiskFull(false);
  writeFor([&] { return log.resumed.Wait(0); });
  const uint64_t resumedAt = position;
  writeFor([&] { return position >= resumedAt + 512 * KB; });
  f.b.SetEndOfStream();
  reader.join();
  EXPECT_EQ(log.faults.load(), 1) << "one report per outage";
  EXPECT_EQ(log.resumes.load(), 1);
  EXPECT_EQ(log.last.load(), HRESULT_FROM_WIN32(ERROR_DISK_FULL));
  EXPECT_EQ(f.b.GetRecordingFault(), S_OK);
  const uint64_t dropped = f.b.GetDroppedBytes();
  EXPECT_GT(dropped, 0u);
  ExpectWhole(stats, position, dropped);
  EXPECT_GE(stats.jumps, 1u);
}

// Catches a block as large as the write cache overtaking the bytes still waiting in it.
TEST(FileBufDelivery, ACacheSizedBlockKeepsItsPlaceInTheStream) {
  Buffer f("order.bin", kDefaultCaches);
  ASSERT_EQ(f.b.Start(), S_OK);
  uint64_t position = 0;
  for (int i = 0; i < 100; ++i) position += test::Put(f.b, position, 1000);  // stays in the cache
  position += test::Put(f.b, position, 4096 * KB);
  for (int i = 0; i < 10; ++i) position += test::Put(f.b, position, 1316);
  f.b.SetEndOfStream();
  const tools::PatternChecker::Stats s = ReadToEnd(f.b);
  ExpectWhole(s, position, 0);
  EXPECT_EQ(s.jumps, 0u);
}

// Catches a stream shorter than the caches' transfers never delivered (it stayed in the caches),
// and an end that is never reported.
TEST(FileBufDelivery, TheLastBytesOfAStreamAreDelivered) {
  for (const uint32_t total : {100u, 100000u, 5u * 1024 * 1024 + 7}) {
    Buffer f("tail.bin", kDefaultCaches);
    ASSERT_EQ(f.b.Start(), S_OK);
    WritePaced(f.b, 65424, 10e6, total);  // a pace the disk keeps up with, on a busy machine too
    f.b.SetEndOfStream();
    ExpectWhole(ReadToEnd(f.b), total, 0);
    uint32_t got = 0;
    bool discontinuity = false;
    std::vector<uint8_t> sample(kSampleBytes);
    EXPECT_EQ(f.b.Read(sample.data(), kSampleBytes, &got, &discontinuity), S_FALSE) << "the end stays the end";
    ASSERT_EQ(f.b.ClearEndOfStream(), S_OK);
    test::Put(f.b, total, 1000);
    EXPECT_EQ(f.b.Read(sample.data(), kSampleBytes, &got, &discontinuity), S_OK) << "more may follow a flush";
  }
}

// Catches playback that never starts because the threshold lies beyond what whole read chunks
// can put into the read cache (256 KB cache, 96 KB chunks: 192 KB, threshold 80 % = 204.8 KB).
TEST(FileBufDelivery, AThresholdBeyondWholeChunksStillStartsPlayback) {
  Buffer f("threshold.bin", {4096, 4096, 0, 256, 96, 80});
  ASSERT_EQ(f.b.Start(), S_OK);
  WritePaced(f.b, 65424, 10e6, 2 * 1024 * 1024);
  std::vector<uint8_t> sample(kSampleBytes);
  uint32_t got = 0;
  bool discontinuity = false;
  EXPECT_TRUE(test::WaitUntil([&] {
    EXPECT_EQ(f.b.Read(sample.data(), kSampleBytes, &got, &discontinuity), S_OK);
    return got > 0;
  })) << "the read cache holds " << f.b.readCache().GetUnreadBytes();
}

// Catches a size set while the buffer was open coming back after Stop over a newer one.
TEST(FileBufDelivery, TheNewestSizeWinsAfterStop) {
  Buffer f("size.bin", kDefaultCaches, 4096);
  ASSERT_EQ(f.b.Start(), S_OK);
  test::OwnedConfig whileOpen(f.dir, f.name, 8192, DeleteOnClose);
  ASSERT_EQ(f.b.SetConfig(whileOpen.get()), S_OK);
  EXPECT_EQ(f.b.GetBufferSize(), 4096 * KB) << "an open store keeps its size";
  ASSERT_EQ(f.b.Stop(), S_OK);
  test::OwnedConfig afterStop(f.dir, f.name, 16384, DeleteOnClose);
  ASSERT_EQ(f.b.SetConfig(afterStop.get()), S_OK);
  EXPECT_EQ(f.b.GetBufferSize(), 16384 * KB);
  ASSERT_EQ(f.b.Start(), S_OK);
  EXPECT_EQ(f.b.GetBufferSize(), 16384 * KB);
}

// Catches "Read Location" computed from the read cache's own ring offset instead of the bytes
// waiting in it: once that ring wrapped, the figure fell behind the play position.
TEST(FileBufDelivery, ReadLocationIsTheNextByteTheOutputDelivers) {
  Buffer f("location.bin", {1024, 64, 0, 256, 64, 0});
  ASSERT_EQ(f.b.Start(), S_OK);
  for (uint64_t position = 0; position < 2 * 1024 * 1024; position += 512 * KB) {
    test::Put(f.b, position, 512 * KB);
    ASSERT_TRUE(test::WaitUntil([&] { return f.b.writeCache().GetUnreadBytes() == 0; }));
  }
  std::vector<uint8_t> sample(kSampleBytes);
  uint64_t delivered = 0;
  while (delivered < 1024 * 1024) {  // four times the read cache
    uint32_t got = 0;
    bool discontinuity = false;
    ASSERT_EQ(f.b.Read(sample.data(), kSampleBytes, &got, &discontinuity), S_OK);
    delivered += got;
    EXPECT_EQ(f.b.GetReadOffset(), static_cast<int64_t>(delivered));
  }
}

}  // namespace
}  // namespace ovts
