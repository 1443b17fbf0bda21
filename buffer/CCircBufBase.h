// The circular byte buffer every time-shift store derives from: one writer appends the live
// stream at the write position, one reader takes bytes at its own read position, which may lag by
// up to the whole store. When the store is full the writer wraps and overwrites the oldest bytes;
// a reader it overtakes is pushed to the oldest byte still retained and its next read reports a
// discontinuity. CCircMemBuf keeps the store in memory, CCircFileBuf in a disk file.
//
// Threads: the input streaming thread (Write), the output streaming thread (Read), control
// threads (configuration, Start/Stop, Seek, Reset, Pause/Resume, status) and, for the file
// buffer, its two worker threads.
//
// Lock order: writeLock_ -> readLock_ -> stateLock_. Open, Close and Reset take all three; Seek
// and readers take read then state; writers take write then state. The state lock is never held
// across disk I/O or a copy of stream bytes. All three are recursive.
#pragma once

#include <atomic>
#include <cstdint>

#include "OVTimeShiftTypes.h"
#include "buffer/COVTraceLog.h"
#include "buffer/RelaxedAtomic.h"
#include "platform/Platform.h"
#include "util/COVStringT.h"

// The core includes no Windows header, but Windows-side code that includes <windows.h> before
// this one brings its 16-bit era GetFreeSpace(w) macro, which would replace our member.
#ifdef GetFreeSpace
#undef GetFreeSpace
#endif

namespace ovts {

class CCircBufBase {
 public:
  static constexpr uint32_t kMemoryBuffer = 2;
  static constexpr uint32_t kFileBuffer = 1;
  // The backing file's name until one is configured, and when an empty one is.
  static constexpr const char* kDefaultFileName = "TimeShift.mpg";

  virtual ~CCircBufBase();
  CCircBufBase(const CCircBufBase&) = delete;
  CCircBufBase& operator=(const CCircBufBase&) = delete;

  // Directory, file name, size, reserve and options for the next Open. E_INVALIDARG (and nothing
  // changed) when the directory is not on a fixed local disk.
  virtual HRESULT SetConfig(const TSBufferConfig* config);
  // The strings handed out are the caller's to free.
  virtual HRESULT GetConfig(TSBufferConfig* config);
  virtual HRESULT SetCacheConfig(const TSCacheConfig* config);
  virtual HRESULT Reserved();  // reserved slot: E_NOTIMPL
  virtual HRESULT Start();
  virtual HRESULT Stop();
  virtual HRESULT Write(const void* data, uint32_t length, uint32_t* written) = 0;
  virtual HRESULT Read(void* dest, uint32_t length, uint32_t* read, bool* discontinuity) = 0;
  virtual HRESULT Reset() = 0;
  // Moves the read position inside the retained data. origin 0: from the oldest retained byte,
  // clamped into [0, data size]; origin 1: from the read position, clamped into [-readOffset,
  // unread]. The next Read reports a discontinuity.
  virtual HRESULT Seek(int64_t offset, uint32_t origin, int64_t* newOffset);
  virtual HRESULT Close() = 0;
  virtual HRESULT Open() = 0;
  // The core knows no media types: the argument is opaque and ignored.
  virtual HRESULT SetMediaType(const void* mediaType);
  virtual HRESULT SetParam(uint32_t id, intptr_t value);  // reserved hook: E_NOTIMPL
  virtual HRESULT GetParam(intptr_t argument);            // reserved hook: E_NOTIMPL
  virtual int64_t GetBufferSize();                        // "Total Buffer Size"
  virtual int64_t GetDataSize();                          // "Current Buffer Size"
  virtual int64_t GetReadOffset();                        // "Read Location"
  virtual int64_t GetWritePosition();                     // "Write Location"
  virtual uint32_t GetUnreadBytes();
  virtual uint32_t GetFreeSpace();
  virtual bool IsEndOfStream();
  virtual HRESULT SetEndOfStream();
  // More data follows after all (the writer's stream was flushed and goes on).
  virtual HRESULT ClearEndOfStream();
  virtual uint32_t GetBufferType() = 0;
  virtual void EnableInstrumentation(bool enable);
  virtual HRESULT Pause();
  virtual HRESULT Resume();

  bool IsOpen() const { return open_; }
  bool IsInstrumentationEnabled() const { return instrumentationEnabled_; }
  const char* name() const { return name_.c_str(); }
  COVTraceLog& trace() { return trace_; }

 protected:
  // The ranks of the store's three locks (a file buffer's come before its caches').
  struct LockRanks {
    port::LockRank write, read, state;
  };
  CCircBufBase(const char* name, const LockRanks& ranks);

  // Holds the store's three locks, taken in their order: Open, Close, Reset, Start, Stop.
  class [[nodiscard]] SCOPED_CAPABILITY AllLocks {
   public:
    explicit AllLocks(CCircBufBase& b) ACQUIRE(b.writeLock_, b.readLock_, b.stateLock_) : b_(b) {
      b.writeLock_.Lock();
      b.readLock_.Lock();
      b.stateLock_.Lock();
    }
    ~AllLocks() RELEASE() {
      b_.stateLock_.Unlock();
      b_.readLock_.Unlock();
      b_.writeLock_.Unlock();
    }
    AllLocks(const AllLocks&) = delete;
    AllLocks& operator=(const AllLocks&) = delete;

   private:
    CCircBufBase& b_;
  };

  // Seek's work on the positions.
  HRESULT SeekLocked(int64_t offset, uint32_t origin, int64_t* newOffset) REQUIRES(readLock_, stateLock_);
  // Store offset of the next byte to read.
  int64_t ReadPosition() const REQUIRES(stateLock_);
  // Retained bytes.
  int64_t DataSize() const REQUIRES(stateLock_) { return wrapped_ ? int64_t{size_} : writePos_; }
  // Empties the store: every position back to zero, not wrapped.
  void ClearPositions() REQUIRES(stateLock_);
  // A size configured while the buffer was open takes effect here.
  void ApplyConfiguredSize() REQUIRES(stateLock_);
  static uint32_t Clamp32(int64_t value);

  // Lock order: writeLock_ -> readLock_ -> stateLock_.
  port::RecursiveLock writeLock_;  // held by a writer for one reserved piece, copy included
  port::RecursiveLock readLock_ ACQUIRED_AFTER(writeLock_);   // likewise a reader
  port::RecursiveLock stateLock_ ACQUIRED_AFTER(readLock_);   // positions, flags, handles

  COVStringT directory_ GUARDED_BY(stateLock_);                  // always ends with '\'
  COVStringT fileName_ GUARDED_BY(stateLock_);
  int64_t minFreeSpace_ GUARDED_BY(stateLock_) = 134217728;
  uint32_t options_ GUARDED_BY(stateLock_) = 0;                  // TSBufferOption bits
  RelaxedAtomic<int64_t> size_;                                  // written under stateLock_, read without
  int64_t readOffset_ GUARDED_BY(stateLock_) = 0;                // oldest retained byte -> read position
  int64_t writePos_ GUARDED_BY(stateLock_) = 0;
  RelaxedAtomic<int64_t> unread_;                                // written under stateLock_, read without
  int64_t oldest_ GUARDED_BY(stateLock_) = 0;
  bool wrapped_ GUARDED_BY(stateLock_) = false;
  RelaxedAtomic<bool> open_;                                     // written under stateLock_, read without
  RelaxedAtomic<bool> endOfStream_;                              // atomic
  std::atomic<int32_t> discontinuity_{0};                        // atomic exchange; reported and cleared by Read
  std::atomic<int32_t> paused_{0};                               // atomic exchange
  COVStringT name_;                                              // constant after construction
  RelaxedAtomic<bool> instrumentationEnabled_;  // atomic
  const int64_t counterFrequency_;
  const int64_t ticksPerMicrosecond_;
  COVTraceLog trace_;
  int64_t configuredSize_ GUARDED_BY(stateLock_) = -1;  // size waiting for the next Open, -1 when none
  // The oldest retained bytes a write in progress is replacing: Seek keeps the reader out of them.
  int64_t reservedFront_ GUARDED_BY(stateLock_) = 0;
};

}  // namespace ovts
