// The ring buffer kept in a disk file, so the time-shift window can be far larger than memory.
// Byte i of the ring is byte i of the file. The streaming threads never touch the disk: Write
// lands in a memory write cache and Read is served from a memory read cache; a write worker
// moves the write cache's bytes into the file at writePos, at most a chunk at a time, and a read
// worker moves whole chunks from the file at the file read position into the read cache. After
// Start or Reset, Read yields nothing until the read cache holds its threshold share.
//
// Nothing is lost silently. A block the write cache has no room for (the disk is not keeping up)
// is dropped whole and counted, and a gap mark travels with the stream past it: into the file's
// gap list (positions on the stream axis of the file, fileWritten_) and from there into the read
// cache, so the first byte after the gap is read with a discontinuity wherever the play position
// is when it gets there. A write the disk refuses (full, or failing) is dropped and marked the
// same way; the write worker retries every kRetryMs and writing resumes at the live edge once
// the disk takes data again; the listener hears of each outage and of its end. At the end of the
// stream the workers move the last partial chunks, and once every byte is delivered Read answers
// S_FALSE.
//
// The workers copy nothing themselves: the caches lend them their memory, which goes to the disk
// and comes from it as it is.
//
// Disk I/O happens outside the state lock, positionally on each worker's own handle, so status
// calls and the other worker never wait for the disk. A transfer plans under the state lock
// (noting the epoch of the positions it plans from), does its I/O, and settles under the state
// lock unless a Reset, seek or pause changed that epoch meanwhile. A write that replaces the
// oldest retained bytes first moves the read position past them (marked) and reserves them from
// seeks, and waits for a read still in flight over them.
//
// The stream's time: as each write settles (under the state lock), the clock index learns the
// bytes stored on the file's stream axis; it hears of every gap the gap list gets, forgets what
// the ring overwrites and starts again at each Reset. Readers of their own (the exporter) read
// retained stream bytes on a duplicate handle, and ReadStream reports them overtaken when a write
// reserved or replaced them before the read ended.
//
// Threads: the input streaming thread (Write, and the disk for a block as large as the write
// cache), the output streaming thread (Read), control threads (configuration, Start/Stop, Seek,
// SeekNearLive, SeekToTime, Reset, Pause/Resume, status, the stream span and time figures), an
// exporter thread (ReadStream), and the write and read workers, which this class starts and ends.
//
// Lock order: writeLock_ -> readLock_ -> writeIoLock_ -> readIoLock_ -> stateLock_, then a
// cache's own locks; a cache never calls back. Write holds only writeLock_ and Read only
// readLock_. writeIoLock_ is held across each write to the file (write worker, or the input
// thread for a large block), readIoLock_ across each read from it and its settling (read worker).
// The workers take their I/O lock and stateLock_ only through AcquireForWorker, which gives up
// once stopEvent_ is set: Close can therefore hold the state lock while it waits for them.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

#include "buffer/CCircBufBase.h"
#include "buffer/CCircMemBuf.h"
#include "buffer/CTSClockIndex.h"
#include "platform/Platform.h"

namespace ovts {

class CCircFileBuf : public CCircBufBase {
 public:
  enum RunState : int32_t { kRunning = 1, kStopped = 2, kStarting = 3, kStopping = 4 };
  static constexpr uint32_t kWorkerFailed = 0xFFFFFFFFu;
  // Between the write worker's attempts at a disk that refused data, unless set otherwise.
  static constexpr uint32_t kRetryMs = 500;

  // Told of recording outages (on the write worker, with none of the buffer's locks held) and of
  // bytes to read.
  class Listener {
   public:
    // Writing failed with `hr`; bytes are dropped (and marked) until the disk takes data again.
    virtual void OnRecordingFault(HRESULT hr) = 0;
    // Writing goes on after a fault.
    virtual void OnRecordingResumed() = 0;
    // The read cache has new bytes, or holds the end of the stream: Read may give something now.
    // On the read worker, possibly with the buffer's locks held: it must only signal.
    virtual void OnReadable() {}

   protected:
    ~Listener() = default;
  };

  CCircFileBuf();
  ~CCircFileBuf() override;

  // Set while the buffer is stopped; null for none.
  void SetListener(Listener* listener) { listener_.store(listener); }
  // How long the write worker waits before it offers a refusing disk data again.
  void SetRetryInterval(uint32_t ms) { retryMs_.store(ms); }
  // Takes effect at the next Open.
  HRESULT SetCacheConfig(const TSCacheConfig* config) override;
  // Opens (or keeps open), empties the buffer and primes the output side.
  HRESULT Start() override;
  // Closes the file, ends the workers and empties the buffer.
  HRESULT Stop() override;
  // Returns at once: the block lands in the write cache. When the cache has no room for all of it
  // the block is dropped (written 0), counted in GetDroppedBytes and marked as a gap. A block at
  // least as large as the cache goes straight to the file after what the cache holds.
  HRESULT Write(const void* data, uint32_t length, uint32_t* written) override;
  // `length` must stay below the read cache's size. S_FALSE (nothing read) once the end of the
  // stream has been set and every byte before it delivered.
  HRESULT Read(void* dest, uint32_t length, uint32_t* read, bool* discontinuity) override;
  HRESULT Reset() override;
  HRESULT Seek(int64_t offset, uint32_t origin, int64_t* newOffset) override;
  HRESULT Close() override;
  // HRESULT_FROM_WIN32(ERROR_DISK_FULL), acquiring nothing, when the free space beside the
  // reserve is less than one write-cache chunk; E_INVALIDARG for caches or a size that could
  // never deliver a byte.
  HRESULT Open() override;
  int64_t GetReadOffset() override;
  // Every byte written to the file and not yet delivered to the output side.
  uint32_t GetUnreadBytes() override;
  uint32_t GetBufferType() override { return kFileBuffer; }
  // Drops the read cache and holds the read worker; recording carries on.
  HRESULT Pause() override;
  HRESULT Resume() override;
  // The writer's stream has ended: the workers move the last bytes, less than a chunk included.
  HRESULT SetEndOfStream() override;
  HRESULT ClearEndOfStream() override;
  virtual HRESULT GetCacheConfig(TSCacheConfig* config);

  // Moves the output side to one read cache's size behind the live edge.
  HRESULT SeekNearLive();

  // Bytes dropped since Start because the write path had no room for them or the disk refused them.
  uint64_t GetDroppedBytes() const { return droppedBytes_.load(); }
  // The failure of the disk outage under way, S_OK while recording goes to the file.
  HRESULT GetRecordingFault() const { return recordingFault_.load(); }
  // Started and not stopped since.
  bool IsRunning() const { return runState_.load() == kRunning; }
  // The file the buffer uses: the configured one, or a name beside it when another buffer uses
  // that; empty while closed.
  COVStringT GetFilePath();
  // Why the last Open refused to start, or why recording stops; empty when nothing is wrong.
  COVStringT GetProblem();

  // --- The stream's time, and readers of their own (control threads, the exporter) ---
  // Positions on the stream axis: bytes written to the file since the last Reset, the axis of
  // the clock index and of the gap list.
  static constexpr int64_t kLiveEdge = -1;  // SeekToTime's reference: the newest byte received
  // Where the retained stream lies, taken together under the state lock.
  struct StreamSpan {
    int64_t oldest = 0;  // the oldest retained byte, none of them being overwritten
    int64_t play = 0;    // the next byte the output delivers
    int64_t stored = 0;  // just past the newest byte in the file
    int64_t live = 0;    // just past the newest byte received: the write cache's too
    int64_t room = 0;    // bytes the file takes before it is full: 0 once it is, -1 never
    uint32_t epoch = 0;  // moves when the stream starts again (Reset, Start, Stop, Close)
  };
  StreamSpan GetStreamSpan();
  // The time figures: retained seconds, the play position's delay behind live, seconds until the
  // file is full, the measured rate, the bytes dropped, and the clock behind them.
  TSTimeStatus GetTimeStatus();
  // Times the stream's bytes.
  const CTSClockIndex& clock() const { return clock_; }
  // Moves the output `seconds` on from the time of stream position `reference` (kLiveEdge: the
  // newest byte received), through the clock index, into the bytes in the file, on a packet start
  // in a transport stream; `landed` says where. The next Read reports a discontinuity. E_PENDING
  // while the index cannot time bytes; E_FAIL while closed.
  HRESULT SeekToTime(int64_t reference, double seconds, int64_t* landed);
  // A handle of the reader's own on the buffer file, and the epoch of the stream it will read.
  // E_FAIL while closed.
  HRESULT OpenStreamReader(port::File* handle, uint32_t* epoch);
  // Stream bytes from `position` that are in the file, at most `length`, through a reader's own
  // `handle`; none of the buffer's locks is held during the I/O. `read` is 0 while none is stored
  // yet. OVTS_E_OVERTAKEN when the writer replaced any of them before or during the read;
  // OVTS_E_STREAM_RESET when the stream of `epoch` is gone; E_FAIL when the disk refused the read.
  HRESULT ReadStream(port::File& handle, uint32_t epoch, int64_t position, void* dest, uint32_t length,
                     uint32_t* read);
  // Signalled when bytes settle in the file, and when the stream starts again or the buffer
  // closes. For one waiter (the exporter).
  port::Event& StoredWake() { return storedWake_; }

  // The filter reads the caches' timing records and switches their instrumentation.
  CCircMemBuf& writeCache() { return writeCache_; }
  CCircMemBuf& readCache() { return readCache_; }

 protected:
  // Internal steps, virtual so that tests can observe them or make them fail.
  // Free bytes available to the caller on the volume whose root is `root`.
  virtual bool QueryFreeSpace(const char* root, uint64_t* freeBytes);
  // Positions `handle` (Open's pre-allocation, Close's cut); E_FAIL when that fails.
  virtual HRESULT SeekFile(port::File& handle, int64_t offset, port::File::From method, int64_t* newPosition)
      REQUIRES(stateLock_);
  // A worker's hold on stateLock_: true with the lock held, false once stopEvent_ is set.
  virtual bool AcquireStateForWorker() TRY_ACQUIRE(true, stateLock_);
  // When the bytes a transfer takes to the file arrived, in performance-counter ticks, for the
  // clock index: taken as the transfer begins, which the write worker does as soon as Write
  // brings its trigger's worth (the input thread itself for a block as large as the cache).
  virtual int64_t ArrivalTicks() const { return port::PerformanceCounter(); }

 private:
  class StateHold;
  enum class Caller { kWorker, kStreaming };

  // Takes `lock` for a worker: true with it held, false once stopEvent_ is set.
  bool AcquireForWorker(port::RecursiveLock& lock) TRY_ACQUIRE(true, lock);
  static uint32_t WriteWorkerMain(void* self);
  static uint32_t ReadWorkerMain(void* self);
  uint32_t WriteWorker();
  uint32_t ReadWorker();

  // Stores a block (up to two pieces) at writePos, wrapping (or, with NoWrap, dropping or
  // extending) at the end. What the disk refuses is counted and marked. Caller holds writeIoLock_,
  // not stateLock_. `epoch` is the writeEpoch_ the bytes belong to; `gapBefore` marks a gap ahead
  // of them. `arrival`: ArrivalTicks() of the bytes, for the clock index, which learns each
  // block stored. `lentBy`: the cache that lent the bytes (null for the caller's own block); they
  // go back to it as they settle in the file.
  HRESULT WriteToFile(const CCircMemBuf::Lease& bytes, CCircMemBuf* lentBy, uint32_t* written, Caller caller,
                      uint32_t epoch, bool gapBefore, int64_t arrival);
  // Moves up to one chunk from the write cache into the file; `moved` tells whether any bytes
  // left the cache. Caller holds writeIoLock_.
  HRESULT TransferToFile(bool* moved, Caller caller);
  // Drops what waits in the write cache, counted and marked, while the disk refuses data.
  // Write worker, holding writeIoLock_.
  void DiscardWriteCache();
  // A block at least as large as the write cache: what the cache holds goes first, in order.
  // Caller holds writeLock_.
  HRESULT WriteAround(const void* data, uint32_t length, uint32_t* written);
  // One chunk from the file into the read cache (less before a gap in the file): false when there
  // is nothing to move now. `failures` counts reads the disk refused at the same place. Read
  // worker, holding readIoLock_.
  bool FillReadCache(uint32_t chunk, int* failures);
  // The file's next byte comes after a gap (the clock index hears of it too).
  void MarkFileGap() REQUIRES(stateLock_);
  // File offset of stream position `position`, which must be retained.
  int64_t FileOffsetOf(int64_t position) const REQUIRES(stateLock_);
  // Empties the read cache and moves the read worker's epoch: a read in flight is stale. The
  // cache no longer holds the end of the stream.
  void ResetReadCache() REQUIRES(stateLock_);
  // Sizes and opens a cache, then starts its worker.
  HRESULT StartCache(CCircMemBuf& cache, uint32_t sizeKB, port::Thread& worker, port::Thread::Body body)
      REQUIRES(stateLock_);
  // Waits for a worker unless it is the calling thread.
  void JoinWorker(port::Thread& worker, const char* which) REQUIRES(stateLock_);
  // Tells the listener of an outage's start (a failure) or end (S_OK). No lock held.
  void ReportRecording(HRESULT hr);
  // Tells the listener that Read may give something now. Read worker.
  void NotifyReadable();
  // Open, Close and Reset with their locks held.
  HRESULT OpenLocked() REQUIRES(stateLock_);
  void CloseLocked() REQUIRES(stateLock_);
  void ResetLocked() REQUIRES(writeLock_, readLock_, stateLock_);
  // The span with stateLock_ held.
  StreamSpan SpanLocked() REQUIRES(stateLock_);
  // Refuses settings that could never deliver a byte, saying why in problem_.
  HRESULT CheckSettings() REQUIRES(stateLock_);
  // Opens the configured file, or the first free name beside it when another buffer writes it.
  bool OpenFile(unsigned flags) REQUIRES(stateLock_);
  bool Running() const;

  std::atomic<int32_t> runState_{kStopped};  // atomic exchange
  std::atomic<uint64_t> droppedBytes_{0};    // atomic
  std::atomic<HRESULT> recordingFault_{S_OK};  // atomic; written by the write worker
  std::atomic<Listener*> listener_{nullptr};   // atomic
  std::atomic<uint32_t> retryMs_{kRetryMs};     // atomic
  int64_t fileWritten_ GUARDED_BY(stateLock_) = 0;     // bytes written to the file since Reset
  std::deque<int64_t> fileGaps_ GUARDED_BY(stateLock_);  // ascending stream positions of gaps
  // Moved whenever the positions a transfer planned from stop being valid (Reset for both;
  // seeks, pauses and an overtaken read position for reads).
  std::atomic<uint32_t> writeEpoch_{0};      // changed under stateLock_
  std::atomic<uint32_t> readEpoch_{0};       // changed under stateLock_
  std::atomic<int32_t> transfersInFlight_{0};  // atomic; transfers between the write cache and the file
  int64_t readInFlightFrom_ GUARDED_BY(stateLock_) = 0;  // stream position of the read in flight
  uint32_t readInFlight_ GUARDED_BY(stateLock_) = 0;     // its length, 0 when none
  // One write to the file at a time.
  port::RecursiveLock writeIoLock_{port::LockRank::kBufferWriteIo, "buffer write I/O"};
  // One read from the file at a time, with its settling.
  port::RecursiveLock readIoLock_{port::LockRank::kBufferReadIo, "buffer read I/O"};
  port::File readHandle_;                    // opened and closed under stateLock_; read worker
  port::File writeHandle_;                   // opened and closed under stateLock_; writeIoLock_
  CCircMemBuf readCache_{"Read cache"};      // its own locks
  port::Event readWake_{port::Event::Mode::kAutoReset};
  port::Thread readWorker_ GUARDED_BY(stateLock_);
  std::atomic<int32_t> priming_{0};        // atomic exchange
  CCircMemBuf writeCache_{"Write Cache"};  // its own locks
  port::Event writeWake_{port::Event::Mode::kAutoReset};
  port::Thread writeWorker_ GUARDED_BY(stateLock_);
  port::Event stopEvent_{port::Event::Mode::kManualReset};
  TSCacheConfig cacheConfig_ GUARDED_BY(stateLock_);  // for the next Open
  uint32_t platformId_ GUARDED_BY(stateLock_) = 2;
  COVStringT filePath_ GUARDED_BY(stateLock_);  // the file in use, empty while closed
  COVStringT problem_ GUARDED_BY(stateLock_);
  // The configuration the caches were opened with and what follows from it: written by Open
  // before it starts the workers, constant while they run.
  TSCacheConfig openConfig_;
  uint32_t writeChunk_ = 0;    // most bytes one transfer to the file moves
  uint32_t writeTrigger_ = 0;  // bytes waiting that make the write worker move them at once
  RelaxedAtomic<double> primeBytes_;  // written by Open, read by Read
  CTSClockIndex clock_;  // its own lock, a leaf; fed under stateLock_ by whoever settles a write
  port::Event storedWake_{port::Event::Mode::kAutoReset};  // set after a write settles, a Reset, a Close
};

}  // namespace ovts
