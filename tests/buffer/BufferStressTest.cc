// One writer, one reader and one control thread (seek, pause, resume, flush) over the memory
// buffer and over the file buffer. The reader checks that every byte is the right one for its
// stream position and that every jump was reported as a discontinuity; afterwards no lock may
// stay held, no worker may run and no file may stay open.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BufferTestSupport.h"
#include "TestSupport.h"
#include "buffer/CCircFileBuf.h"
#include "buffer/CCircMemBuf.h"

namespace ovts {
namespace {

constexpr uint32_t KB = 1024;

uint32_t Between(std::mt19937& rng, uint32_t low, uint32_t high) {
  return std::uniform_int_distribution<uint32_t>(low, high)(rng);
}

// Drives the three threads; `room` says how much the writer may write now.
template <typename Room, typename Control>
void RunStress(CCircBufBase& b, uint64_t total, uint32_t maxWrite, uint32_t maxRead, Room room,
               Control control, tools::PatternChecker& checker, std::atomic<bool>& stopReader) {
  std::atomic<bool> writerDone{false};
  std::thread writer([&] {
    std::mt19937 rng(1);
    std::vector<uint8_t> block(maxWrite);
    port::Event tick(port::Event::Mode::kAutoReset);  // never set: its timeout paces the writer
    for (uint64_t position = 0; position < total;) {
      const uint32_t n = std::min(Between(rng, 1, maxWrite), room());
      if (n == 0) {
        tick.Wait(1);
        continue;
      }
      tools::FillPattern(block.data(), position, n);
      uint32_t written = 0;
      const HRESULT hr = b.Write(block.data(), n, &written);
      EXPECT_EQ(hr, S_OK);
      if (FAILED(hr)) break;
      position += written;
    }
    writerDone = true;
  });
  std::thread controller([&] {
    std::mt19937 rng(2);
    port::Event tick(port::Event::Mode::kAutoReset);
    while (!writerDone) {
      control(rng);
      tick.Wait(1);
    }
    b.Resume();
  });
  std::thread reader([&] {
    std::mt19937 rng(3);
    std::vector<uint8_t> buffer(maxRead);
    while (!stopReader) {
      uint32_t got = 0;
      bool discontinuity = false;
      const HRESULT hr = b.Read(buffer.data(), Between(rng, 1, maxRead), &got, &discontinuity);
      if (got > 0) checker.Feed(buffer.data(), got, discontinuity);
      if (hr == E_FAIL) break;  // end of stream and nothing left
      if (got == 0) port::YieldThread();
    }
  });
  writer.join();
  controller.join();
  b.SetEndOfStream();
  if (b.GetBufferType() == CCircBufBase::kFileBuffer) {
    // Whole chunks only leave the file: wait until what is left is less than a chunk and a read.
    EXPECT_TRUE(test::WaitUntil([&] { return b.GetUnreadBytes() < 48 * KB; }));
    stopReader = true;
  }
  reader.join();
  checker.Finish();
}

void ExpectClean(const tools::PatternChecker::Stats& s) {
  SCOPED_TRACE(testing::Message() << "bytes " << s.bytes << " verified " << s.verified << " corrupt "
                                  << s.corrupt << " lost " << s.lost << " rewound " << s.rewound << " jumps "
                                  << s.jumps << " unreported " << s.unreportedJumps << " flagged "
                                  << s.discontinuities);
  EXPECT_EQ(s.corrupt, 0u);
  EXPECT_EQ(s.unreportedJumps, 0u);
  EXPECT_GT(s.verified, 0u);
  EXPECT_GT(s.discontinuities, 0u);
}

TEST(BufferStress, MemoryBuffer) {
  const std::string dir = test::MakeTestDir("buffer-stress");
  test::LockProbe<CCircMemBuf> b;
  test::OwnedConfig config(dir, "", 64);
  ASSERT_EQ(b.SetConfig(config.get()), S_OK);
  ASSERT_EQ(b.Open(), S_OK);
  tools::PatternChecker checker;
  std::atomic<bool> stopReader{false};
  auto control = [&](std::mt19937& rng) {
    int64_t at = 0;
    switch (Between(rng, 0, 5)) {
      case 0:
        b.Seek(static_cast<int64_t>(Between(rng, 0, 66 * KB)) - 1024, 0, &at);
        break;
      case 1:
        b.Seek(static_cast<int64_t>(Between(rng, 0, 128 * KB)) - 64 * KB, 1, &at);
        break;
      case 2:
        b.Reset();
        break;
      case 3:
        b.Pause();
        break;
      case 4:
        b.Resume();
        break;
      default:
        break;  // a quiet turn: let the writer overtake the reader
    }
  };
  RunStress(
      b, 64ull << 20, 24 * KB, 32 * KB, [] { return ~0u; }, control, checker, stopReader);
  const auto& s = checker.stats();
  ExpectClean(s);
  EXPECT_GT(s.lost, 0u) << "the writer never overtook the reader";
  EXPECT_TRUE(b.LocksFree());
  EXPECT_EQ(b.Close(), S_OK);
}

TEST(BufferStress, FileBuffer) {
  const std::string dir = test::MakeTestDir("buffer-stress");
  const std::string path = dir + "stress.bin";
  port::DeleteFileAt(path.c_str());
  {
    test::LockProbe<CCircFileBuf> b;
    test::OwnedConfig config(dir, "stress.bin", 512);
    ASSERT_EQ(b.SetConfig(config.get()), S_OK);
    const TSCacheConfig caches{128, 32, 0, 64, 16, 25};
    ASSERT_EQ(b.SetCacheConfig(&caches), S_OK);
    const std::vector<uint64_t> before = test::ThreadIds();
    ASSERT_EQ(b.Start(), S_OK);
    const std::vector<uint64_t> workers = test::NewThreads(before, test::ThreadIds());
    EXPECT_EQ(workers.size(), 2u);
    tools::PatternChecker checker;
    std::atomic<bool> stopReader{false};
    bool paused = false;
    auto control = [&](std::mt19937& rng) {
      int64_t at = 0;
      switch (Between(rng, 0, 6)) {
        case 0:
          b.Seek(static_cast<int64_t>(Between(rng, 0, 520 * KB)) - 4 * KB, 0, &at);
          break;
        case 1:
          b.Seek(static_cast<int64_t>(Between(rng, 0, 512 * KB)) - 256 * KB, 1, &at);
          break;
        case 2:
          b.SeekNearLive();
          break;
        case 3:
          b.Reset();
          break;
        case 4:
          paused ? b.Resume() : b.Pause();
          paused = !paused;
          break;
        default:
          break;
      }
    };
    // The writer goes flat out with blocks of up to half the write cache: where the disk falls
    // behind, blocks are dropped, and like an overtaken read position every drop is marked.
    RunStress(
        b, 48ull << 20, 32 * KB, 32 * KB, [] { return ~0u; }, control, checker, stopReader);
    ExpectClean(checker.stats());
    EXPECT_EQ(b.Stop(), S_OK);
    EXPECT_TRUE(b.LocksFree());
    EXPECT_TRUE(test::NoHandleOn(path));
    const std::vector<uint64_t> after = test::ThreadIds();
    for (uint64_t id : workers)
      EXPECT_FALSE(std::binary_search(after.begin(), after.end(), id)) << "a worker outlived Stop";
  }
}

}  // namespace
}  // namespace ovts
