// The platform layer behaves alike on Windows and natively: events, timed joins, shared file
// handles, delete-on-close, drive tests and wide-string round trips.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "TestSupport.h"
#include "platform/Platform.h"

namespace ovts::port {
namespace {

// Catches: an auto-reset event staying signalled, or WaitEither reporting the wrong event.
TEST(PlatformEvent, AutoAndManualResetAndEither) {
  Event autoEv(Event::Mode::kAutoReset);
  Event manual(Event::Mode::kManualReset);
  ASSERT_TRUE(autoEv.valid());
  EXPECT_FALSE(autoEv.Wait(0));
  autoEv.Set();
  EXPECT_TRUE(autoEv.Wait(0));
  EXPECT_FALSE(autoEv.Wait(0)) << "auto-reset event must be consumed by one wait";
  manual.Set();
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0)) << "manual-reset event stays signalled";
  EXPECT_EQ(Event::WaitEither(manual, autoEv, 0), 0);
  manual.Reset();
  EXPECT_EQ(Event::WaitEither(manual, autoEv, 10), -1);
  autoEv.Set();
  EXPECT_EQ(Event::WaitEither(manual, autoEv, kInfinite), 1);
}

struct Gate {
  Event go{Event::Mode::kManualReset};
  Event started{Event::Mode::kManualReset};
  std::atomic<bool> sawCurrent{false};
  Thread* self = nullptr;
};

uint32_t WaitForGate(void* arg) {
  auto* gate = static_cast<Gate*>(arg);
  gate->started.Set();
  gate->go.Wait(kInfinite);
  return 7;
}

// Catches: a timed join that blocks past its limit, loses the exit code, or IsCurrent lying.
TEST(PlatformThread, TimedJoinAndExitCode) {
  Gate gate;
  Thread t;
  ASSERT_TRUE(t.Start(WaitForGate, &gate));
  ASSERT_TRUE(gate.started.Wait(kInfinite));
  EXPECT_FALSE(t.IsCurrent());
  EXPECT_FALSE(t.Join(20)) << "the thread is still blocked";
  EXPECT_TRUE(t.started());
  gate.go.Set();
  EXPECT_TRUE(t.Join(kInfinite));
  EXPECT_EQ(t.exit_code(), 7u);
  EXPECT_FALSE(t.started());
  EXPECT_TRUE(t.Join(0)) << "joining no thread succeeds at once";
}

// Catches: duplicated handles not sharing the file, short reads, or SetEnd not cutting the file.
TEST(PlatformFile, SharedHandlesSeekReadWriteAndSetEnd) {
  std::string path = test::MakeTestDir("platform") + "file.bin";
  DeleteFileAt(path.c_str());
  File w, r;
  ASSERT_TRUE(w.Open(path.c_str(), File::kRandomAccess));
  ASSERT_TRUE(r.Duplicate(w));
  const char data[] = "0123456789";
  uint32_t n = 0;
  ASSERT_TRUE(w.Write(data, 10, &n));
  EXPECT_EQ(n, 10u);
  int64_t at = -1;
  ASSERT_TRUE(r.Seek(3, File::From::kBegin, &at));
  EXPECT_EQ(at, 3);
  char buf[8] = {};
  ASSERT_TRUE(r.Read(buf, 4, &n));
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(std::string(buf, 4), "3456");
  ASSERT_TRUE(w.Seek(6, File::From::kBegin, &at));
  ASSERT_TRUE(w.SetEnd());
  w.Close();
  r.Close();
  EXPECT_EQ(FileSizeAt(path.c_str()), 6);
  EXPECT_TRUE(DeleteFileAt(path.c_str()));
  EXPECT_EQ(FileSizeAt(path.c_str()), -1);
}

// Catches: a delete-on-close file surviving its last handle.
TEST(PlatformFile, DeleteOnCloseRemovesTheFileWithTheLastHandle) {
  std::string path = test::MakeTestDir("platform") + "doc.bin";
  DeleteFileAt(path.c_str());
  {
    File f, dup;
    ASSERT_TRUE(f.Open(path.c_str(), File::kDeleteOnClose));
    ASSERT_TRUE(dup.Duplicate(f));
    uint32_t n = 0;
    ASSERT_TRUE(f.Write("abc", 3, &n));
    f.Close();
    int64_t at = 0;
    char buf[3];
    ASSERT_TRUE(dup.Seek(0, File::From::kBegin, &at));
    ASSERT_TRUE(dup.Read(buf, 3, &n)) << "the data lives while a handle is open";
    EXPECT_EQ(n, 3u);
  }
  EXPECT_EQ(FileSizeAt(path.c_str()), -1);
}

// Catches: an unopenable path not reporting a system error code.
TEST(PlatformFile, OpenFailureSetsLastError) {
  ClearLastError();
  File f;
  EXPECT_FALSE(f.Open("C:\\no-such-dir-ovts\\x\\y.bin", 0));
  EXPECT_NE(LastError(), 0u);
  EXPECT_FALSE(f.is_open());
}

// Catches: drive C not counted as a fixed disk, or a non-drive accepted.
TEST(PlatformDisk, FixedDriveAndFreeSpace) {
  EXPECT_TRUE(IsFixedDrive("C:\\"));
  EXPECT_TRUE(IsFixedDrive("")) << "the current directory is on a fixed disk";
  uint64_t freeBytes = 0;
  ASSERT_TRUE(FreeDiskSpace("C:\\", &freeBytes));
  EXPECT_GT(freeBytes, 0u);
  EXPECT_FALSE(IsFixedDrive("Q:\\")) << "no drive Q on the test machines";
  EXPECT_FALSE(FreeDiskSpace("Q:\\", &freeBytes));
}

// Catches: lossy or unterminated narrow/wide conversions.
TEST(PlatformStrings, NarrowWideRoundTrip) {
  EXPECT_EQ(NarrowToBstr(nullptr), nullptr);
  EXPECT_EQ(NarrowToBstr(""), nullptr);
  BSTR w = NarrowToBstr("C:\\video\\buffer.mpg");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(StringLength(w), 19u);
  char* back = WideToNarrow(w);
  EXPECT_STREQ(back, "C:\\video\\buffer.mpg");
  delete[] back;
  BSTR copy = AllocString(w);
  EXPECT_EQ(StringLength(copy), 19u);
  FreeString(copy);
  FreeString(w);
  EXPECT_EQ(WideToNarrow(nullptr), nullptr);
}

// Catches: heap growth that leaves garbage in the added part.
TEST(PlatformMemory, HeapGrowZeroFillsAndPagesAreZero) {
  auto* p = static_cast<unsigned char*>(HeapAllocZero(64));
  ASSERT_NE(p, nullptr);
  std::memset(p, 0xAB, 64);
  p = static_cast<unsigned char*>(HeapGrow(p, 64, 4096));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[63], 0xAB);
  for (int i = 64; i < 4096; ++i) ASSERT_EQ(p[i], 0) << i;
  HeapRelease(p);
  auto* page = static_cast<unsigned char*>(PageAlloc(1 << 20));
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(page) % 4096, 0u);
  EXPECT_EQ(page[(1 << 20) - 1], 0);
  PageFree(page, 1 << 20);
}

// Catches: a counter that does not advance or a frequency of zero.
TEST(PlatformClock, CounterAdvances) {
  EXPECT_GE(PerformanceFrequency(), 1000000);
  int64_t a = PerformanceCounter();
  SleepMs(2);
  EXPECT_GT(PerformanceCounter(), a);
  EXPECT_GT(SystemTime100ns(), 116444736000000000LL);
  EXPECT_EQ(PlatformId(), 2u);
}

}  // namespace
}  // namespace ovts::port
