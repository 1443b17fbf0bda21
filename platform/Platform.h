// The thin operating-system layer under the portable core (util/, buffer/): files, events,
// recursive locks, threads, counters, disk queries, memory and wide strings. PlatformWin32.cc
// implements it with the Win32 API; PlatformPosix.cc with POSIX for the native builds.
//
// Paths are Windows paths ("C:\dir\file"). Natively a drive root "X:\" stands for the directory
// named by the environment variable OVTS_DRIVE_X; drive C defaults to $TMPDIR (or /tmp). A drive
// letter without a directory is no drive at all, and '\' separators become '/'.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/LockRank.h"
#include "platform/ThreadAnnotations.h"
#include "platform/Types.h"

namespace ovts::port {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// A lock its owner may take again (a critical section on Windows). A lock with a rank takes part
// in the lock-order check of builds with OVTS_LOCK_RANKS (see LockRank.h).
class CAPABILITY("mutex") RecursiveLock {
 public:
  RecursiveLock();
  RecursiveLock(LockRank rank, const char* name);
  ~RecursiveLock();
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

  void Lock() ACQUIRE();
  bool TryLock() TRY_ACQUIRE(true);
  void Unlock() RELEASE();

  LockRank rank() const { return rank_; }
  const char* name() const { return name_; }

 private:
  alignas(16) unsigned char storage_[64];
  LockRank rank_ = LockRank::kNone;
  const char* name_ = "";
};

// Holds a lock (RecursiveLock, WaitableLock) for a scope.
template <class Lockable>
class [[nodiscard]] SCOPED_CAPABILITY LockGuard {
 public:
  explicit LockGuard(Lockable& lock) ACQUIRE(lock) : lock_(lock) { lock_.Lock(); }
  ~LockGuard() RELEASE() { lock_.Unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Lockable& lock_;
};

// Holds a lock for a scope, and may let go of it and take it back in between.
template <class Lockable>
class [[nodiscard]] SCOPED_CAPABILITY UniqueLock {
 public:
  explicit UniqueLock(Lockable& lock) ACQUIRE(lock) : lock_(lock) { lock_.Lock(); }
  ~UniqueLock() RELEASE() {
    if (held_) lock_.Unlock();
  }
  UniqueLock(const UniqueLock&) = delete;
  UniqueLock& operator=(const UniqueLock&) = delete;

  void Unlock() RELEASE() {
    lock_.Unlock();
    held_ = false;
  }
  void Lock() ACQUIRE() {
    lock_.Lock();
    held_ = true;
  }

 private:
  Lockable& lock_;
  bool held_ = true;
};

// An auto-reset or manual-reset event.
class Event {
 public:
  enum class Mode { kAutoReset, kManualReset };
  explicit Event(Mode mode, bool signalled = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  bool valid() const { return handle_ != nullptr; }
  void Set();
  void Reset();
  // True when the event was signalled within the timeout (an auto-reset event is consumed).
  bool Wait(uint32_t timeoutMs);
  // Waits for either event: 0 when a was signalled, 1 when b was, -1 on timeout. When both are
  // signalled, a wins.
  static int WaitEither(Event& a, Event& b, uint32_t timeoutMs);

 private:
  void* handle_;
};

// A recursive lock that a thread may wait for beside an event: each release wakes such a waiter,
// which gives up when the event is signalled first (a streaming thread whose lock holder may be
// waiting for it, and tells it so by a command).
class CAPABILITY("mutex") WaitableLock {
 public:
  WaitableLock(LockRank rank, const char* name) : lock_(rank, name) {}
  void Lock() ACQUIRE() { lock_.Lock(); }
  bool TryLock() TRY_ACQUIRE(true) { return lock_.TryLock(); }
  void Unlock() RELEASE() {
    lock_.Unlock();
    if (waiters_.load() > 0) released_.Set();
  }
  // Takes the lock, or returns false once `abandon` is signalled or `abandoned()` says so
  // (looked at whenever the lock is released, and every `recheckMs` besides).
  template <class Abandoned>
  bool LockUnless(Event& abandon, Abandoned abandoned, uint32_t recheckMs) NO_THREAD_SAFETY_ANALYSIS {
    waiters_.fetch_add(1);  // before trying: a release after a failed try wakes this waiter
    bool held = false;
    while (!(held = lock_.TryLock()) && !abandoned()) {
      if (Event::WaitEither(abandon, released_, recheckMs) == 0) break;
    }
    waiters_.fetch_sub(1);
    return held;
  }

 private:
  RecursiveLock lock_;
  Event released_{Event::Mode::kAutoReset};
  std::atomic<int> waiters_{0};
};

// One thread running a body function. The owner must Join before the object goes away;
// the destructor joins without limit as a last resort.
class Thread {
 public:
  using Body = uint32_t (*)(void* arg);
  Thread() = default;
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  bool Start(Body body, void* arg);
  bool started() const { return handle_ != nullptr; }
  // True when the thread has ended (or none was started); the handle is then released.
  bool Join(uint32_t timeoutMs);
  // True when called on this thread.
  bool IsCurrent() const;
  // Exit code of the last thread joined.
  uint32_t exit_code() const { return exitCode_; }

 private:
  void* handle_ = nullptr;
  [[maybe_unused]] uint64_t id_ = 0;  // Win32: the thread's id (a POSIX handle knows its thread)
  uint32_t exitCode_ = 0;
};

// Test seam for fault injection: every File operation and the free-space query first ask the
// installed hook, which may hold the operation back (a slow disk) or fail it with a simulated
// error. The product installs none; the check is one atomic load.
enum class FileOp { kWrite, kSeek, kRead, kFreeSpace };
enum class FileFault { kNone, kDiskFull, kIoError };
class FileFaultHook {
 public:
  // Any thread that does file work calls it, without a lock of ours held by this layer.
  virtual FileFault Before(FileOp op) = 0;

 protected:
  ~FileFaultHook() = default;
};
// Installs `hook` (null removes it); the caller keeps it alive while installed.
void SetFileFaultHook(FileFaultHook* hook);

// A file handle opened for reading and writing, shared for reading and writing unless kExclusive.
class File {
 public:
  // kExclusive: no other handle may write the file while this one is open (others may read);
  // opening a file another one writes fails with ERROR_SHARING_VIOLATION.
  enum : unsigned { kRandomAccess = 1, kDeleteOnClose = 2, kExclusive = 4 };
  enum class From { kBegin, kCurrent, kEnd };

  File() = default;
  ~File() { Close(); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens the file, creating it when missing. False sets the thread's last error.
  bool Open(const char* path, unsigned flags);
  // Makes this a second handle to the file another File has open.
  bool Duplicate(const File& other);
  bool is_open() const { return handle_ != kNone; }
  void Close();

  bool Seek(int64_t offset, From from, int64_t* newPosition);
  bool SetEnd();
  bool Read(void* dest, uint32_t length, uint32_t* read);
  bool Write(const void* data, uint32_t length, uint32_t* written);
  // At a file offset, whatever the handle's position: two handles of one file (which share
  // their position) can then read and write at the same time.
  bool ReadAt(int64_t offset, void* dest, uint32_t length, uint32_t* read);
  bool WriteAt(int64_t offset, const void* data, uint32_t length, uint32_t* written);

 private:
  static constexpr intptr_t kNone = -1;
  intptr_t handle_ = kNone;
};

// The calling thread's last system error: GetLastError, or natively errno as the Win32 code
// where one exists (ENOSPC is ERROR_DISK_FULL), so that failures read the same on both targets.
uint32_t LastError();
void ClearLastError();
void SetLastError(uint32_t code);

// Free bytes available to the caller on the volume whose root is `root` ("C:\").
bool FreeDiskSpace(const char* root, uint64_t* freeBytes);
// True when `root` is a fixed local disk; an empty root means the current directory's.
bool IsFixedDrive(const char* root);
// The path the host's own file functions take (identity on Windows).
std::string HostPath(const char* path);
bool DeleteFileAt(const char* path);
// Creates a directory; true when it exists afterwards.
bool MakeDirectory(const char* path);
// Size of a file in bytes, or -1 when it does not exist.
int64_t FileSizeAt(const char* path);

// Operating-system platform id: 2 for the NT family.
uint32_t PlatformId();

int64_t PerformanceCounter();
int64_t PerformanceFrequency();
// Wall-clock time in 100-ns units.
int64_t SystemTime100ns();
void YieldThread();
// Runs the calling thread above normal priority where the system allows it (best effort).
void RaiseThreadPriority();
void SleepMs(uint32_t ms);
void DebugOutput(const char* text);

inline int32_t AtomicExchange(std::atomic<int32_t>& target, int32_t value) {
  return target.exchange(value);
}

// Committed, zero-filled, page-aligned memory.
void* PageAlloc(size_t size);
void PageFree(void* block, size_t size);

// Zero-filled blocks from the process heap. HeapGrow zero-fills the added part; it returns null
// when the block cannot grow (the old block stays valid).
void* HeapAllocZero(size_t size);
void* HeapGrow(void* block, size_t oldSize, size_t newSize);
void HeapRelease(void* block);

// Platform wide strings (BSTR): allocated by the platform, freed by FreeString.
BSTR AllocString(const OLECHAR* text);
void FreeString(BSTR text);
uint32_t StringLength(const OLECHAR* text);
// Narrow text in the system code page to a new BSTR (null for null or empty text).
BSTR NarrowToBstr(const char* text);
// Wide text to a new narrow array in the system code page (null for null); delete[] it.
char* WideToNarrow(const OLECHAR* text);

}  // namespace ovts::port
