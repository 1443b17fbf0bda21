// The ring buffer kept in a disk file, so the time-shift window can be far larger than memory.
// Byte i of the ring is byte i of the file. The streaming threads never touch the disk: Write
// lands in a memory write cache and Read is served from a memory read cache; a write worker
// moves whole chunks from the write cache into the file at writePos, and a read worker moves
// whole chunks from the file at the file read position into the read cache. After Start or
// Reset, Read yields nothing until the read cache holds its threshold share.
//
// Threads: the input streaming thread (Write), the output streaming thread (Read), control
// threads (configuration, Start/Stop, Seek, SeekNearLive, Reset, Pause/Resume, status), and the
// write and read workers, which this class starts and ends.
//
// Locks: writeLock_ -> readLock_ -> stateLock_, then a cache's own locks; a cache never calls
// back, so no file-buffer lock is taken while a cache lock is held. Write holds only writeLock_
// and Read only readLock_, so neither waits for the disk. Start and Stop take all three because
// they call Reset, which takes all three. The workers take stateLock_ one chunk at a time through
// AcquireStateForWorker, which gives up once stopEvent_ is set: Close can therefore hold the
// state lock while it waits for them, and they end promptly.
#pragma once

#include <atomic>
#include <cstdint>

#include "buffer/CCircBufBase.h"
#include "buffer/CCircMemBuf.h"
#include "platform/Platform.h"

namespace ovts {

class CCircFileBuf : public CCircBufBase {
 public:
  enum RunState : int32_t { kRunning = 1, kStopped = 2, kStarting = 3, kStopping = 4 };
  static constexpr uint32_t kWorkerFailed = 0xFFFFFFFFu;
  static constexpr const char* kDefaultFileName = "TimeShift.mpg";

  CCircFileBuf();
  ~CCircFileBuf() override;

  // Takes effect at the next Open.
  HRESULT SetCacheConfig(const TSCacheConfig* config) override;
  // Opens (or keeps open), empties the buffer and primes the output side.
  HRESULT Start() override;
  // Closes the file, ends the workers and empties the buffer.
  HRESULT Stop() override;
  // Returns at once: the block lands in the write cache (one at least as large as the cache goes
  // straight to the file). A cache that fills faster than the write worker drains it is lapped:
  // the oldest bytes the worker had not taken are lost, and nothing reports it.
  HRESULT Write(const void* data, uint32_t length, uint32_t* written) override;
  // `length` must stay below the read cache's size.
  HRESULT Read(void* dest, uint32_t length, uint32_t* read, bool* discontinuity) override;
  HRESULT Reset() override;
  HRESULT Seek(int64_t offset, uint32_t origin, int64_t* newOffset) override;
  HRESULT Close() override;
  // HRESULT_FROM_WIN32(ERROR_DISK_FULL), acquiring nothing, when the free space beside the
  // reserve is less than one write-cache chunk.
  HRESULT Open() override;
  int64_t GetReadOffset() override;
  // Every byte written to the file and not yet delivered to the output side.
  uint32_t GetUnreadBytes() override;
  uint32_t GetBufferType() override { return kFileBuffer; }
  // Drops the read cache and holds the read worker; recording carries on.
  HRESULT Pause() override;
  HRESULT Resume() override;
  virtual HRESULT GetCacheConfig(TSCacheConfig* config);

  // Moves the output side to one read cache's size behind the live edge.
  HRESULT SeekNearLive();

  // The filter reads the caches' timing records and switches their instrumentation.
  CCircMemBuf& writeCache() { return writeCache_; }
  CCircMemBuf& readCache() { return readCache_; }

 protected:
  // Internal steps, virtual so that tests can observe them or make them fail.
  // Free bytes available to the caller on the volume whose root is `root`.
  virtual bool QueryFreeSpace(const char* root, uint64_t* freeBytes);
  // Positions `handle`; a failure closes the whole buffer and answers E_FAIL.
  virtual HRESULT SeekFile(port::File& handle, int64_t offset, port::File::From method, int64_t* newPosition);
  // A worker's hold on stateLock_: true with the lock held, false once stopEvent_ is set.
  virtual bool AcquireStateForWorker();

  // Stores a block at writePos, wrapping (or, with NoWrap, dropping or extending) at the end.
  HRESULT WriteToFile(const void* data, uint32_t length, uint32_t* written);
  // Takes bytes from the file read position; S_FALSE when fewer are unread (before end of stream).
  HRESULT ReadFromFile(void* dest, uint32_t length, uint32_t* read);

 private:
  class WorkerStateLock;

  static uint32_t WriteWorkerMain(void* self);
  static uint32_t ReadWorkerMain(void* self);
  uint32_t WriteWorker();
  uint32_t ReadWorker();
  // One pass of the read worker under the state lock: false when it should stop filling.
  bool FillReadCacheChunk(uint8_t* scratch, uint32_t chunk, HRESULT* result);
  // Sizes and opens a cache, then starts its worker. Caller holds stateLock_.
  HRESULT StartCache(CCircMemBuf& cache, uint32_t sizeKB, port::Thread& worker, port::Thread::Body body);
  // Waits for a worker unless it is the calling thread (a worker that closes the buffer itself
  // is joined by the next Close). Caller holds stateLock_.
  void JoinWorker(port::Thread& worker, const char* which);
  bool Running() const;

  std::atomic<int32_t> runState_{kStopped};  // atomic exchange
  port::File readHandle_;                    // stateLock_; used by the read worker
  port::File writeHandle_;                   // stateLock_; used by the write worker and big writes
  CCircMemBuf readCache_{"Read cache"};      // its own locks
  port::Event readWake_{port::Event::Mode::kAutoReset};
  port::Thread readWorker_;                // stateLock_
  std::atomic<int32_t> priming_{0};        // atomic exchange
  CCircMemBuf writeCache_{"Write Cache"};  // its own locks
  port::Event writeWake_{port::Event::Mode::kAutoReset};
  port::Thread writeWorker_;  // stateLock_
  port::Event stopEvent_{port::Event::Mode::kManualReset};
  TSCacheConfig cacheConfig_;  // stateLock_; for the next Open
  uint32_t platformId_ = 2;    // stateLock_
  // The configuration the caches were opened with: written by Open before it starts the
  // workers, constant while they run.
  TSCacheConfig openConfig_;
  RelaxedAtomic<double> primeBytes_;  // written by Open, read by Read
};

}  // namespace ovts
