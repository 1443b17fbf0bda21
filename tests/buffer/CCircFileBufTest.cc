// The file ring buffer: its option bits, the free-space rule, wrap and overtake in the file,
// the cache thresholds and chunk rules, seek near live, pause and resume, and the ends of its
// worker threads (a worker waiting while Close holds the state lock).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BufferTestSupport.h"
#include "TestSupport.h"
#include "buffer/CCircFileBuf.h"

namespace ovts {
namespace {

constexpr uint32_t KB = 1024;

// A file buffer whose internal steps the tests can watch or make fail.
class ProbeFileBuf : public CCircFileBuf {
 public:
  ~ProbeFileBuf() override { Close(); }  // the workers call our overrides: end them first

  std::optional<uint64_t> freeSpace;  // reported instead of the volume's; nullopt: the volume's
  bool freeSpaceFails = false;
  port::Event workerWantsState{port::Event::Mode::kManualReset};

  port::RecursiveLock& stateLock() { return stateLock_; }

 protected:
  bool QueryFreeSpace(const char* root, uint64_t* freeBytes) override {
    if (freeSpaceFails) return false;
    if (!freeSpace) return CCircFileBuf::QueryFreeSpace(root, freeBytes);
    *freeBytes = *freeSpace;
    return true;
  }
  bool AcquireStateForWorker() override {
    workerWantsState.Set();
    return CCircFileBuf::AcquireStateForWorker();
  }
};

struct FileCase {
  std::string dir = test::MakeTestDir("buffer-file");
  std::string name;
  std::string path;
  explicit FileCase(const char* fileName) : name(fileName), path(dir + fileName) {
    port::DeleteFileAt(path.c_str());
  }
  void Configure(CCircFileBuf& b, uint32_t sizeKB, uint32_t options, const TSCacheConfig& cache,
                 uint32_t minFreeMB = 0) const {
    test::OwnedConfig config(dir, name, sizeKB, options, minFreeMB);
    ASSERT_EQ(b.SetConfig(config.get()), S_OK);
    ASSERT_EQ(b.SetCacheConfig(&cache), S_OK);
  }
  int64_t FileSize() const { return port::FileSizeAt(path.c_str()); }
};

using test::Get;
using test::Got;

// Writes stream bytes [position, position + length) and expects all of them taken.
void Put(CCircFileBuf& b, uint64_t position, uint32_t length) {
  ASSERT_EQ(test::Put(b, position, length), length);
}

// Waits until the read worker has put `bytes` into the read cache.
void AwaitCached(CCircFileBuf& b, uint32_t bytes) {
  ASSERT_TRUE(test::WaitUntil([&] { return b.readCache().GetUnreadBytes() >= bytes; }))
      << "read cache holds " << b.readCache().GetUnreadBytes();
}

const TSCacheConfig kSmallCaches{64, 16, 0, 32, 8, 50};

// Catches: an option bit ignored, a file not cut to the written bytes, a file left behind.
TEST(FileBuf, OptionBitsShapeTheFile) {
  {
    FileCase f("prealloc.bin");
    CCircFileBuf b;
    f.Configure(b, 256, PreAllocate, kSmallCaches);
    ASSERT_EQ(b.Start(), S_OK);
    EXPECT_EQ(f.FileSize(), 256 * KB) << "takes its full size at once";
    Put(b, 0, 64 * KB);  // as large as the write cache: straight to the file
    EXPECT_EQ(b.GetWritePosition(), 64 * KB);
    ASSERT_EQ(b.Stop(), S_OK);
    EXPECT_EQ(f.FileSize(), 64 * KB) << "a store that never wrapped is cut to writePos";
    ASSERT_EQ(b.Start(), S_OK);
    for (uint32_t i = 0; i < 5; ++i) Put(b, i * 64 * KB, 64 * KB);
    ASSERT_EQ(b.Stop(), S_OK);
    EXPECT_EQ(f.FileSize(), 256 * KB) << "a wrapped store keeps its size";
  }
  {
    FileCase f("grows.bin");
    CCircFileBuf b;
    f.Configure(b, 256, 0, kSmallCaches);
    ASSERT_EQ(b.Start(), S_OK);
    EXPECT_EQ(f.FileSize(), 0);
    Put(b, 0, 64 * KB);
    Put(b, 64 * KB, 64 * KB);
    EXPECT_EQ(f.FileSize(), 128 * KB) << "grows with the writes";
    ASSERT_EQ(b.Stop(), S_OK);
  }
  {
    FileCase f("deleted.bin");
    CCircFileBuf b;
    f.Configure(b, 256, DeleteOnClose, kSmallCaches);
    ASSERT_EQ(b.Start(), S_OK);
    Put(b, 0, 64 * KB);
    ASSERT_EQ(b.Stop(), S_OK);
    EXPECT_EQ(f.FileSize(), -1);
  }
  {
    FileCase f("nowrap.bin");
    CCircFileBuf b;
    f.Configure(b, 128, NoWrap, kSmallCaches);
    ASSERT_EQ(b.Start(), S_OK);
    Put(b, 0, 64 * KB);
    Put(b, 64 * KB, 64 * KB);
    auto more = test::PatternBytes(128 * KB, 64 * KB);
    uint32_t written = 7;
    EXPECT_EQ(b.Write(more.data(), 64 * KB, &written), S_OK);
    EXPECT_EQ(written, 0u) << "a full store without wrap drops the block";
    EXPECT_EQ(b.GetWritePosition(), 128 * KB);
    EXPECT_EQ(b.GetBufferSize(), 128 * KB);
    EXPECT_EQ(f.FileSize(), 128 * KB);
    ASSERT_EQ(b.Stop(), S_OK);
  }
  {
    FileCase f("extend.bin");
    CCircFileBuf b;
    f.Configure(b, 128, NoWrap | ExtendWhenFull, kSmallCaches);
    ASSERT_EQ(b.Start(), S_OK);
    for (uint32_t i = 0; i < 3; ++i) Put(b, i * 64 * KB, 64 * KB);
    EXPECT_EQ(b.GetBufferSize(), 192 * KB) << "grows past the configured size";
    EXPECT_EQ(b.GetDataSize(), 192 * KB);
    EXPECT_EQ(f.FileSize(), 192 * KB);
    ASSERT_EQ(b.Stop(), S_OK);
    EXPECT_TRUE(test::NoHandleOn(f.path));
  }
}

// Catches: an overtaken file read position that keeps stale cache bytes or hides the jump, and
// status figures that forget the bytes waiting in the read cache.
TEST(FileBuf, WritesOvertakingTheReadWorkerAreReported) {
  FileCase f("overtake.bin");
  CCircFileBuf b;
  f.Configure(b, 256, 0, kSmallCaches);
  ASSERT_EQ(b.Start(), S_OK);
  Put(b, 0, 64 * KB);
  EXPECT_EQ(b.writeCache().GetUnreadBytes(), 0u) << "a block as large as the write cache bypasses it";
  AwaitCached(b, 32 * KB);
  EXPECT_EQ(b.GetUnreadBytes(), 64 * KB) << "file and read cache together";
  EXPECT_EQ(b.GetFreeSpace(), 192 * KB);
  Got first = Get(b, 8 * KB);
  EXPECT_TRUE(first.discontinuity) << "Start empties the buffer";
  EXPECT_EQ(first.bytes, test::PatternBytes(0, 8 * KB));

  for (uint32_t i = 1; i <= 4; ++i) Put(b, i * 64 * KB, 64 * KB);  // wraps, overwrites 64 KB
  EXPECT_EQ(b.GetWritePosition(), 64 * KB);
  EXPECT_EQ(b.GetDataSize(), 256 * KB);
  AwaitCached(b, 8 * KB);
  Got after = Get(b, 8 * KB);
  EXPECT_TRUE(after.discontinuity);
  EXPECT_EQ(after.bytes, test::PatternBytes(64 * KB, 8 * KB)) << "continues at the oldest retained byte";
  ASSERT_EQ(b.Stop(), S_OK);
  EXPECT_EQ(Get(b, 8 * KB).hr, E_FAIL);
}

// Catches: playback starting before the read cache reaches its threshold, after Start or Reset.
TEST(FileBuf, ReadsWaitForTheReadCacheThreshold) {
  FileCase f("threshold.bin");
  CCircFileBuf b;
  const std::string trace = f.dir + "threshold-trace.txt";
  b.trace().SetFile(trace.c_str(), true);
  b.trace().SetLevel(3);
  f.Configure(b, 4096, 0, TSCacheConfig{64, 64, 0, 1024, 128, 75});  // the default read cache
  ASSERT_EQ(b.Start(), S_OK);
  ASSERT_EQ(b.readCache().GetBufferSize(), 1024 * KB);
  EXPECT_EQ(Get(b, 1024 * KB).hr, E_FAIL) << "a request as large as the read cache";

  uint64_t stream = 0;
  for (int round = 0; round < 2; ++round) {
    const uint64_t start = stream;
    for (int i = 0; i < 10; ++i, stream += 64 * KB) Put(b, stream, 64 * KB);
    AwaitCached(b, 640 * KB);
    Got early = Get(b, 32 * KB);
    EXPECT_EQ(early.hr, S_OK);
    EXPECT_TRUE(early.bytes.empty()) << "640 KB is below 75 % of 1024 KB";
    for (int i = 0; i < 2; ++i, stream += 64 * KB) Put(b, stream, 64 * KB);
    AwaitCached(b, 768 * KB);
    Got ready = Get(b, 32 * KB);
    EXPECT_TRUE(ready.discontinuity);
    EXPECT_EQ(ready.bytes, test::PatternBytes(start, 32 * KB));
    EXPECT_EQ(Get(b, 32 * KB).bytes.size(), 32 * KB) << "served as soon as the bytes are there";
    ASSERT_EQ(b.Reset(), S_OK);
  }
  ASSERT_EQ(b.Stop(), S_OK);
  std::FILE* file = std::fopen(port::HostPath(trace.c_str()).c_str(), "r");
  ASSERT_NE(file, nullptr);
  char line[256];
  bool waited = false;
  while (std::fgets(line, sizeof line, file))
    waited =
        waited || std::string(line).find("  Waiting for Threshold:  Cur size 655360") != std::string::npos;
  std::fclose(file);
  EXPECT_TRUE(waited);
}

// Catches: a near-live seek to the wrong place, a pause that keeps or refills the read cache,
// and a resume that does not continue from the file read position with a discontinuity.
TEST(FileBuf, SeekNearLivePauseAndResume) {
  FileCase f("nearlive.bin");
  ProbeFileBuf b;
  f.Configure(b, 1024, 0, TSCacheConfig{64, 16, 0, 128, 16, 0});
  EXPECT_EQ(b.SeekNearLive(), E_FAIL) << "stopped";
  ASSERT_EQ(b.Start(), S_OK);
  Put(b, 0, 64 * KB);
  AwaitCached(b, 64 * KB);
  ASSERT_EQ(b.SeekNearLive(), S_OK);
  AwaitCached(b, 16 * KB);
  Got from0 = Get(b, 16 * KB);
  EXPECT_TRUE(from0.discontinuity);
  EXPECT_EQ(from0.bytes, test::PatternBytes(0, 16 * KB)) << "fewer bytes retained than the read cache holds";

  for (uint32_t i = 1; i < 5; ++i) Put(b, i * 64 * KB, 64 * KB);
  ASSERT_EQ(b.SeekNearLive(), S_OK);
  AwaitCached(b, 128 * KB);  // the rest of the file
  Got nearLive = Get(b, 16 * KB);
  EXPECT_TRUE(nearLive.discontinuity);
  EXPECT_EQ(nearLive.bytes, test::PatternBytes(192 * KB, 16 * KB)) << "one read cache behind the live edge";

  ASSERT_EQ(b.Pause(), S_OK);
  EXPECT_EQ(b.readCache().GetUnreadBytes(), 0u);
  Put(b, 320 * KB, 64 * KB);
  EXPECT_TRUE(Get(b, 16 * KB).bytes.empty());
  EXPECT_EQ(b.readCache().GetUnreadBytes(), 0u) << "paused: the read worker moves nothing";
  ASSERT_EQ(b.Resume(), S_OK);
  AwaitCached(b, 16 * KB);
  Got resumed = Get(b, 16 * KB);
  EXPECT_TRUE(resumed.discontinuity);
  EXPECT_EQ(resumed.bytes, test::PatternBytes(320 * KB, 16 * KB)) << "the read cache's bytes are dropped";
  ASSERT_EQ(b.Stop(), S_OK);
}

// Catches: opening a file that cannot hold one chunk beside the reserve, or acquiring anything
// while refusing; a free-space cap not applied; a failed query refusing the open.
TEST(FileBuf, OpenNeedsRoomForOneChunkBesideTheReserve) {
  FileCase f("room.bin");
  ProbeFileBuf b;
  f.Configure(b, 1024, 0, kSmallCaches, /*minFreeMB=*/2);
  const uint64_t reserve = 2ull * 1024 * 1024;
  for (uint64_t tooLittle : {uint64_t{0}, reserve, reserve + 16 * KB - 1}) {
    b.freeSpace = tooLittle;
    EXPECT_EQ(b.Start(), HRESULT_FROM_WIN32(ERROR_DISK_FULL)) << tooLittle;
    EXPECT_FALSE(b.IsOpen());
    EXPECT_EQ(f.FileSize(), -1) << "nothing created";
    EXPECT_EQ(b.GetBufferSize(), 1024 * KB);
  }
  b.freeSpace = reserve + 200 * KB;
  ASSERT_EQ(b.Start(), S_OK);
  EXPECT_EQ(b.GetBufferSize(), 200 * KB) << "the file takes what is left beside the reserve";
  ASSERT_EQ(b.Stop(), S_OK);

  f.Configure(b, 1024, 0, kSmallCaches, 2);
  b.freeSpace.reset();
  b.freeSpaceFails = true;
  ASSERT_EQ(b.Start(), S_OK);
  EXPECT_EQ(b.GetBufferSize(), 1024 * KB) << "an unanswered query keeps the configured size";
  ASSERT_EQ(b.Stop(), S_OK);

  f.Configure(b, 0, 0, kSmallCaches);
  EXPECT_EQ(b.Start(), E_INVALIDARG) << "a store of no size";
  EXPECT_FALSE(b.IsOpen());
}

// Catches settings that can never deliver a byte (a chunk its cache cannot hold, a ring smaller
// than one read chunk) being run silently instead of refused at the start.
TEST(FileBuf, StartRefusesSettingsThatCannotDeliver) {
  FileCase f("impossible.bin");
  const TSCacheConfig refused[] = {
      {64, 128, 0, 32, 8, 0},   // write chunk larger than the write cache
      {64, 32, 0, 32, 64, 0},   // read chunk larger than the read cache
      {64, 0, 0, 32, 8, 0},     // no write chunk
  };
  for (const TSCacheConfig& config : refused) {
    CCircFileBuf b;
    f.Configure(b, 256, 0, config);
    EXPECT_EQ(b.Start(), E_INVALIDARG);
    EXPECT_FALSE(b.IsOpen());
  }
  CCircFileBuf b;
  f.Configure(b, 1, 0, kSmallCaches);  // a 1 KB ring, as a 32-bit product of a huge size leaves
  EXPECT_EQ(b.Start(), E_INVALIDARG);
  EXPECT_FALSE(b.IsOpen());
}

// Catches two buffers configured with one file writing into it together: each must deliver its
// own stream, the second from a name beside the first, and the name must be free again after.
TEST(FileBuf, TwoBuffersNeverShareAFile) {
  FileCase f("shared.bin");
  const std::string beside = f.dir + "shared-2.bin";
  port::DeleteFileAt(beside.c_str());
  CCircFileBuf first, second;
  f.Configure(first, 256, 0, kSmallCaches);
  f.Configure(second, 256, 0, kSmallCaches);
  ASSERT_EQ(first.Start(), S_OK);
  ASSERT_EQ(second.Start(), S_OK);
  EXPECT_STREQ(first.GetFilePath().c_str(), f.path.c_str());
  EXPECT_STREQ(second.GetFilePath().c_str(), beside.c_str());
  Put(first, 0, 64 * KB);
  Put(second, 1 << 20, 64 * KB);  // another stream position: the other stream's bytes
  AwaitCached(first, 16 * KB);
  AwaitCached(second, 16 * KB);
  EXPECT_EQ(Get(first, 8 * KB).bytes, test::PatternBytes(0, 8 * KB));
  EXPECT_EQ(Get(second, 8 * KB).bytes, test::PatternBytes(1 << 20, 8 * KB));
  ASSERT_EQ(first.Stop(), S_OK);
  EXPECT_TRUE(first.GetFilePath().empty());
  ASSERT_EQ(first.Start(), S_OK);
  EXPECT_STREQ(first.GetFilePath().c_str(), f.path.c_str()) << "the configured name is free again";
  ASSERT_EQ(first.Stop(), S_OK);
  ASSERT_EQ(second.Stop(), S_OK);
  port::DeleteFileAt(beside.c_str());
}

// Catches settings refused without a word: the reason is kept for the host to show.
TEST(FileBuf, ARefusedStartSaysWhy) {
  FileCase f("why.bin");
  CCircFileBuf b;
  f.Configure(b, 256, 0, TSCacheConfig{64, 128, 0, 32, 8, 0});
  EXPECT_EQ(b.Start(), E_INVALIDARG);
  EXPECT_STREQ(b.GetProblem().c_str(), "The input chunk (128 KB) does not fit the input cache (64 KB)");
  f.Configure(b, 256, 0, kSmallCaches);
  ASSERT_EQ(b.Start(), S_OK);
  EXPECT_TRUE(b.GetProblem().empty());
  ASSERT_EQ(b.Stop(), S_OK);
}

// Catches: Close (holding the state lock) waiting forever for a worker that waits for that lock.
TEST(FileBuf, CloseEndsAWorkerWaitingForTheStateLock) {
  FileCase f("contended.bin");
  ProbeFileBuf b;
  f.Configure(b, 256, 0, kSmallCaches);
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(b.Start(), S_OK);
    b.workerWantsState.Reset();
    {
      port::LockGuard held(b.stateLock());
      std::thread([&] { Put(b, 0, 16 * KB); }).join();  // one chunk for the write worker
      ASSERT_TRUE(b.workerWantsState.Wait(20000));
      EXPECT_EQ(b.Close(), S_OK);  // a hang here trips the watchdog
    }
    EXPECT_FALSE(b.IsOpen());
    EXPECT_EQ(b.GetWritePosition(), 0) << "the chunk never reached the file";
    ASSERT_EQ(b.Stop(), S_OK);
  }
  EXPECT_TRUE(test::NoHandleOn(f.path));
}

}  // namespace
}  // namespace ovts
