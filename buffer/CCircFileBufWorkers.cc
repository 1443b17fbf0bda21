// The file buffer's caches and their workers: the streaming threads' Write and Read, the cache
// configuration, the transfers between the caches and the file, and the write and read worker
// threads that run them.
#include <algorithm>
#include <atomic>
#include <cstdio>

#include "platform/Result.h"
#include "buffer/CCircFileBuf.h"

namespace ovts {

namespace {
constexpr uint32_t kWorkerWaitMs = 250;  // a worker looks again at least this often
constexpr uint32_t kReadRetryMs = 100;   // after a read the disk refused
constexpr int kReadAttempts = 3;         // reads refused at one place before its chunk is skipped
constexpr uint32_t kLockRetryMs = 1;     // between a worker's attempts at a lock
constexpr int kLockSpins = 64;           // yields before a worker sleeps between attempts
// A transfer that gave up because the buffer is closing.
constexpr HRESULT kClosing = S_FALSE;

// The next piece of a write at `pos`: wraps to 0 at the end of the store (unless NoWrap) and
// returns how many of `remaining` bytes go at `pos` before that end.
uint32_t NextPiece(int64_t& pos, bool& wrapped, int64_t size, bool noWrap, uint32_t remaining) {
  if (!noWrap && pos >= size) {
    pos = 0;
    wrapped = true;
  }
  return noWrap ? remaining : static_cast<uint32_t>(std::min<int64_t>(remaining, size - pos));
}
}  // namespace

// A lock taken the way its taker must: a worker through AcquireForWorker (it gives up once the
// buffer is closing), a streaming thread plainly. To the analysis it holds the lock: its taker
// returns at once when held() says otherwise.
class [[nodiscard]] SCOPED_CAPABILITY CCircFileBuf::StateHold {
 public:
  StateHold(CCircFileBuf& buffer, port::RecursiveLock& lock, Caller caller) ACQUIRE(lock)
      : buffer_(buffer), lock_(lock), caller_(caller) {
    Take();
  }
  ~StateHold() RELEASE() { Release(); }
  StateHold(const StateHold&) = delete;
  StateHold& operator=(const StateHold&) = delete;

  bool held() const { return held_; }
  bool Take() ACQUIRE() NO_THREAD_SAFETY_ANALYSIS {
    if (caller_ == Caller::kStreaming) {
      lock_.Lock();
      held_ = true;
    } else {
      held_ = &lock_ == &buffer_.stateLock_ ? buffer_.AcquireStateForWorker() : buffer_.AcquireForWorker(lock_);
    }
    return held_;
  }
  void Release() RELEASE() NO_THREAD_SAFETY_ANALYSIS {
    if (held_) lock_.Unlock();
    held_ = false;
  }

 private:
  CCircFileBuf& buffer_;
  port::RecursiveLock& lock_;
  const Caller caller_;
  bool held_ = false;
};

HRESULT CCircFileBuf::SetCacheConfig(const TSCacheConfig* config) {
  if (!config) return E_POINTER;
  port::LockGuard state(stateLock_);
  cacheConfig_ = *config;
  return S_OK;
}

HRESULT CCircFileBuf::GetCacheConfig(TSCacheConfig* config) {
  if (!config) return E_POINTER;
  port::LockGuard state(stateLock_);
  *config = cacheConfig_;
  return S_OK;
}

HRESULT CCircFileBuf::StartCache(CCircMemBuf& cache, uint32_t sizeKB, port::Thread& worker,
                                 port::Thread::Body body) {
  // No directory: the cache's drive test looks at the current directory's root, and a cache that
  // is refused there keeps its former size.
  const TSBufferConfig config{nullptr, nullptr, sizeKB, 128, TS_INITIAL_TIME_SHIFT_DEFAULT, 0};
  cache.SetConfig(&config);
  RETURN_IF_FAILED(cache.Open());
  return worker.Start(body, this) ? S_OK : LastErrorResult();
}

HRESULT CCircFileBuf::Write(const void* data, uint32_t length, uint32_t* written) {
  return Guarded([&]() -> HRESULT {
    if (!written) return E_POINTER;
    *written = 0;
    if (!data) return E_INVALIDARG;
    if (!writeCache_.IsOpen()) return E_FAIL;
    port::LockGuard write(writeLock_);
    if (length >= writeCache_.GetBufferSize()) return WriteAround(data, length, written);
    // Only this thread adds to the write cache, so the room seen here is there for the copy.
    if (length > writeCache_.GetFreeSpace()) {
      // The disk is not keeping up. The newest block goes, whole (a transport stream keeps its
      // packets), and the bytes before it stay intact; the gap is marked where it is.
      droppedBytes_.fetch_add(length);
      writeCache_.MarkGap();
      writeWake_.Set();
      return S_OK;
    }
    const auto* from = static_cast<const uint8_t*>(data);
    while (*written < length) {
      uint32_t put = 0;
      RETURN_IF_FAILED(writeCache_.Write(from + *written, length - *written, &put));
      if (put == 0) return E_FAIL;
      *written += put;
    }
    if (writeCache_.GetUnreadBytes() >= writeTrigger_) writeWake_.Set();
    return S_OK;
  });
}

HRESULT CCircFileBuf::WriteAround(const void* data, uint32_t length, uint32_t* written) {
  // Reset and Close take writeLock_, which the caller holds: the positions stay this stream's.
  StateHold io(*this, writeIoLock_, Caller::kStreaming);
  for (bool moved = true; moved;) TransferToFile(&moved, Caller::kStreaming);
  {
    StateHold state(*this, stateLock_, Caller::kStreaming);
    // A block dropped just before this one left its mark after the last cached byte.
    if (writeCache_.TakeTrailingGap()) MarkFileGap();
  }
  CCircMemBuf::Lease block;
  block.at[0] = const_cast<uint8_t*>(static_cast<const uint8_t*>(data));
  block.length[0] = length;
  return WriteToFile(block, nullptr, written, Caller::kStreaming, writeEpoch_.load(), false, ArrivalTicks());
}

HRESULT CCircFileBuf::TransferToFile(bool* moved, Caller caller) {
  *moved = false;
  // Counted before the bytes leave the cache, so that the read worker never finds the cache
  // and the file both empty while they are on their way (see FillReadCache).
  struct InFlight {
    std::atomic<int32_t>& count;
    explicit InFlight(std::atomic<int32_t>& c) : count(c) { count.fetch_add(1); }
    ~InFlight() { count.fetch_sub(1); }
  } inFlight(transfersInFlight_);
  const uint32_t epoch = writeEpoch_.load();  // before the bytes are taken: they belong to it
  // The bytes go to the disk straight from the cache's memory, and leave the cache once written
  // (or refused: then they are counted as dropped).
  const int64_t arrival = ArrivalTicks();
  CCircMemBuf::Lease lease;
  const HRESULT lent = writeCache_.LendUnread(writeChunk_, &lease);
  if (lent != S_OK) return SUCCEEDED(lent) ? S_OK : lent;
  *moved = true;
  uint32_t written = 0;
  return WriteToFile(lease, &writeCache_, &written, caller, epoch, lease.atGap, arrival);
}

void CCircFileBuf::DiscardWriteCache() {
  const uint32_t epoch = writeEpoch_.load();
  uint64_t discarded = 0;
  for (CCircMemBuf::Lease lease; writeCache_.LendUnread(writeChunk_, &lease) == S_OK;) {
    discarded += lease.total();
    writeCache_.ReturnUnread(lease, lease.total());
  }
  StateHold state(*this, stateLock_, Caller::kWorker);
  if (!state.held() || epoch != writeEpoch_.load()) return;  // a flush emptied the stream anyway
  droppedBytes_.fetch_add(discarded);
  MarkFileGap();
}

HRESULT CCircFileBuf::WriteToFile(const CCircMemBuf::Lease& bytes, CCircMemBuf* lentBy, uint32_t* written,
                                  Caller caller, uint32_t epoch, bool gapBefore, int64_t arrival) {
  *written = 0;
  const uint32_t length = bytes.total();
  // Lent bytes leave the cache where they settle in the file, under stateLock_, so that the live
  // edge never counts them in both; on any other way out they leave it on the way.
  struct GiveBack {
    CCircMemBuf* cache;
    const CCircMemBuf::Lease& lease;
    void Now() {
      if (cache) cache->ReturnUnread(lease, lease.total());
      cache = nullptr;
    }
    ~GiveBack() { Now(); }
  } giveBack{lentBy, bytes};
  StateHold state(*this, stateLock_, caller);
  if (!state.held()) return kClosing;
  if (!open_ || epoch != writeEpoch_.load()) return open_ ? S_OK : E_FAIL;
  const bool noWrap = (options_ & NoWrap) != 0;
  if (noWrap && !(options_ & ExtendWhenFull) && writePos_ + length > size_) {
    droppedBytes_.fetch_add(length);  // a full store that must not wrap keeps what it has
    return S_OK;
  }
  // The oldest retained bytes this write replaces. A read still in flight over them finishes
  // first; then the read position moves past them, and seeks keep out of them until they are new.
  int64_t overwrite = 0;
  for (;;) {
    overwrite = noWrap ? 0 : std::min<int64_t>(DataSize(), std::max<int64_t>(0, DataSize() + length - size_));
    const int64_t oldest = fileWritten_ - DataSize();
    if (readInFlight_ == 0 || readInFlightFrom_ >= oldest + overwrite || readInFlightFrom_ + readInFlight_ <= oldest)
      break;
    state.Release();
    const bool waited = StateHold(*this, readIoLock_, caller).held();  // the read's end
    const bool back = state.Take();
    if (!waited || !back) return kClosing;
    if (!open_ || epoch != writeEpoch_.load()) return open_ ? S_OK : E_FAIL;
  }
  const int64_t oldest = fileWritten_ - DataSize();
  if (const int64_t readAt = fileWritten_ - unread_; readAt < oldest + overwrite) {
    const int64_t skipped = oldest + overwrite - readAt;  // the reader is overtaken: marked
    unread_ = unread_ - skipped;
    readOffset_ += skipped;
    ResetReadCache();
  }
  reservedFront_ = overwrite;
  int64_t pos = writePos_;
  bool wrapped = wrapped_;
  const int64_t size = size_;
  state.Release();

  // Positional writes on this handle: the read worker reads elsewhere in the file meanwhile.
  HRESULT hr = S_OK;
  for (int i = 0; i < 2 && hr == S_OK; ++i) {
    const uint8_t* from = bytes.at[i];
    for (uint32_t remaining = bytes.length[i]; remaining > 0;) {
      const uint32_t n = NextPiece(pos, wrapped, size, noWrap, remaining);
      uint32_t put = 0;
      const bool ok = writeHandle_.WriteAt(pos, from, n, &put);
      pos += put;
      from += put;
      remaining -= put;
      *written += put;
      if (!ok || put < n) {
        hr = LastErrorResult();
        break;
      }
    }
  }

  if (!state.Take()) return kClosing;
  reservedFront_ = 0;
  if (epoch != writeEpoch_.load()) return S_OK;  // a flush emptied the stream meanwhile
  if (gapBefore && fileWritten_ > 0) MarkFileGap();
  // The bytes stored, piece by piece (the lease is still ours), time the stream.
  for (uint32_t piece = 0, fed = 0; piece < 2 && fed < *written; ++piece) {
    const uint32_t n = std::min<uint32_t>(bytes.length[piece], *written - fed);
    clock_.OnBlock(fileWritten_ + fed, bytes.at[piece], n, arrival);
    fed += n;
  }
  int64_t overwritten = 0;
  for (uint32_t remaining = *written; remaining > 0;) {
    const uint32_t n = NextPiece(writePos_, wrapped_, size_, noWrap, remaining);
    if (wrapped_) overwritten += n;
    writePos_ += n;
    remaining -= n;
  }
  unread_ = unread_ + *written;
  fileWritten_ += *written;
  giveBack.Now();
  if (wrapped_) {
    oldest_ = writePos_;
    readOffset_ -= overwritten;
    // Gaps in bytes no longer retained are of no use.
    while (!fileGaps_.empty() && fileGaps_.front() <= fileWritten_ - size_) fileGaps_.pop_front();
    clock_.Forget(fileWritten_ - size_);
    if (readOffset_ < 0) {  // overtaken after all (a partial write): what it had not taken is gone
      unread_ = unread_ + readOffset_;
      readOffset_ = 0;
      ResetReadCache();
    }
  } else if (writePos_ > size_) {
    size_ = writePos_;  // ExtendWhenFull
  }
  if (*written < length) {
    // What the disk refused is gone: counted, and a gap after the bytes it took.
    droppedBytes_.fetch_add(length - *written);
    MarkFileGap();
  }
  const bool wake = endOfStream_ || unread_ >= int64_t{openConfig_.outputChunkKB} * 1024;
  state.Release();
  if (wake) readWake_.Set();
  if (*written > 0) storedWake_.Set();
  return hr;
}

HRESULT CCircFileBuf::Read(void* dest, uint32_t length, uint32_t* read, bool* discontinuity) {
  return Guarded([&]() -> HRESULT {
    if (!read || !discontinuity) return E_POINTER;
    *read = 0;
    *discontinuity = false;
    if (!dest) return E_INVALIDARG;
    if (!open_ || length >= readCache_.GetBufferSize()) return E_FAIL;
    HRESULT hr;
    {
      port::LockGuard lock(readLock_);
      if (!readCache_.IsOpen()) return E_FAIL;
      if (priming_.load() != 0) {
        // At the end of the stream the cache holds all there is: no cushion to wait for.
        const uint32_t cached = readCache_.GetUnreadBytes();
        if (primeBytes_ > cached && !readCache_.IsEndOfStream()) {
          trace_.Write(3, "Waiting for Threshold:  Cur size %d", static_cast<int>(cached));
          return S_OK;
        }
        priming_.exchange(0);
      }
      // The cache hands out nothing until `length` bytes wait, except the bytes before a gap and
      // the last bytes of the stream.
      hr = readCache_.Read(dest, length, read, discontinuity);
      if (hr == E_FAIL && readCache_.IsEndOfStream()) hr = S_FALSE;  // every byte delivered
    }
    readWake_.Set();
    return hr;
  });
}

bool CCircFileBuf::AcquireStateForWorker() { return AcquireForWorker(stateLock_); }

bool CCircFileBuf::AcquireForWorker(port::RecursiveLock& lock) {
  // Never block: Close holds the state lock while it waits for the workers to end. The locks are
  // held briefly (disk I/O happens under the I/O locks, which each worker mostly has alone), so
  // yield a few times before sleeping.
  for (int spin = 0; spin < kLockSpins; ++spin) {
    if (lock.TryLock()) return true;
    port::YieldThread();
  }
  while (!lock.TryLock()) {
    if (stopEvent_.Wait(kLockRetryMs)) return false;
  }
  return true;
}

uint32_t CCircFileBuf::WriteWorkerMain(void* self) { return static_cast<CCircFileBuf*>(self)->WriteWorker(); }

uint32_t CCircFileBuf::ReadWorkerMain(void* self) { return static_cast<CCircFileBuf*>(self)->ReadWorker(); }

void CCircFileBuf::ReportRecording(HRESULT hr) {
  recordingFault_.store(hr);
  {
    StateHold state(*this, stateLock_, Caller::kWorker);
    if (!state.held()) return;  // closing: nobody is told any more
    char why[96] = {};
    if (FAILED(hr))
      std::snprintf(why, sizeof why, "Recording stopped: the disk refused data (0x%08X); retrying",
                    static_cast<unsigned>(hr));
    problem_ = why;
  }
  Listener* listener = listener_.load();
  if (!listener) return;
  if (FAILED(hr))
    listener->OnRecordingFault(hr);
  else
    listener->OnRecordingResumed();
}

uint32_t CCircFileBuf::WriteWorker() {
  port::RaiseThreadPriority();
  bool faulted = false;
  int64_t retryAt = 0;
  while (Running()) {
    const int woke = port::Event::WaitEither(stopEvent_, writeWake_, kWorkerWaitMs);
    if (woke == 0) return 0;
    // A trigger's worth moves at once. Less waits for more, except at the end of the stream or
    // after a quiet wait, so that a slow stream reaches the file too.
    const uint32_t least = (woke < 0 || endOfStream_) ? 1 : writeTrigger_;
    if (writeCache_.GetUnreadBytes() < least) continue;
    StateHold io(*this, writeIoLock_, Caller::kWorker);
    if (!io.held()) return 0;
    if (faulted && port::PerformanceCounter() < retryAt) {
      // The disk refused data: the input keeps landing in the cache, and only the freshest bytes
      // are offered to the disk at the next attempt, so that recording resumes at the live edge.
      DiscardWriteCache();
      continue;
    }
    HRESULT result = S_OK;
    for (bool moved = true; moved && writeCache_.GetUnreadBytes() >= least;) {
      result = TransferToFile(&moved, Caller::kWorker);
      if (result == kClosing) return 0;
      if (FAILED(result)) break;
      if (moved && faulted) {
        faulted = false;
        io.Release();
        ReportRecording(S_OK);
        if (!io.Take()) return 0;
      }
    }
    if (FAILED(result)) {
      retryAt = port::PerformanceCounter() + port::PerformanceFrequency() / 1000 * retryMs_.load();
      if (!faulted) {
        faulted = true;
        io.Release();
        ReportRecording(result);
      }
    }
  }
  return 0;
}

bool CCircFileBuf::FillReadCache(uint32_t chunk, int* failures) {
  int64_t position = 0, from = 0, ring = 0;
  uint32_t want = 0, epoch = 0;
  bool gapFirst = false;
  {
    StateHold state(*this, stateLock_, Caller::kWorker);
    // Pause takes the state lock, so checking here keeps a paused read cache empty.
    if (!state.held() || !open_ || paused_.load() != 0) return false;
    const int64_t room = readCache_.GetBufferSize() - readCache_.GetUnreadBytes();
    const uint32_t available = CCircBufBase::GetUnreadBytes();
    // Whole chunks only, but at the end of the stream the last bytes go too.
    want = endOfStream_ ? std::min(chunk, available) : chunk;
    if (want == 0 || available < want || room < want) {
      // Every byte is in the read cache once the file, the write cache and the transfers between
      // them hold none (looked at in this order: a transfer is counted before it empties the cache).
      if (want == 0 && endOfStream_ && writeCache_.GetUnreadBytes() == 0 && transfersInFlight_.load() == 0 &&
          !readCache_.IsEndOfStream()) {
        readCache_.SetEndOfStream();
        NotifyReadable();
      }
      return false;
    }
    position = ReadPosition();
    ring = size_;
    from = fileWritten_ - unread_;
    epoch = readEpoch_.load();
    // The bytes land in the cache's memory as they are, so a read ends at the next gap in the
    // file; the gap it starts at is marked in the cache before them.
    auto gap = std::lower_bound(fileGaps_.begin(), fileGaps_.end(), from);
    gapFirst = gap != fileGaps_.end() && *gap == from;
    if (gapFirst) ++gap;
    if (gap != fileGaps_.end() && *gap < from + want) want = static_cast<uint32_t>(*gap - from);
    readInFlightFrom_ = from;
    readInFlight_ = want;
  }
  // Straight from the file into the cache's memory: each run of the file (it may wrap at the end
  // of the ring) into each piece of the lease (it may wrap at the end of the cache).
  CCircMemBuf::Lease lease;
  bool ok = readCache_.LendRoom(want, &lease) == S_OK;
  for (int i = 0; ok && i < 2; ++i) {
    uint8_t* into = lease.at[i];
    for (uint32_t remaining = lease.length[i]; ok && remaining > 0;) {
      if (position >= ring) position = 0;
      const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(remaining, ring - position));
      uint32_t got = 0;
      ok = readHandle_.ReadAt(position, into, n, &got) && got == n;
      position += n;
      into += n;
      remaining -= n;
    }
  }

  StateHold state(*this, stateLock_, Caller::kWorker);
  if (!state.held()) {
    readCache_.ReturnRoom(lease, false);
    return false;
  }
  readInFlight_ = 0;
  if (epoch != readEpoch_.load()) {  // moved meanwhile: read again from the new place
    readCache_.ReturnRoom(lease, false);
    return true;
  }
  if (!ok) {
    readCache_.ReturnRoom(lease, false);
    // No room after all (the output thread was copying out of it): try when it has read.
    if (lease.total() == 0) return false;
    // Refused by the disk: try again a little later. A place that keeps refusing is skipped,
    // counted and marked, so that playback goes on after it.
    if (++*failures < kReadAttempts) return false;
    *failures = 0;
    readOffset_ += want;
    unread_ = unread_ - want;
    droppedBytes_.fetch_add(want);
    readCache_.MarkGap();
    return true;
  }
  *failures = 0;
  readOffset_ += want;
  unread_ = unread_ - want;
  if (gapFirst) readCache_.MarkGap();
  readCache_.ReturnRoom(lease, true);
  NotifyReadable();
  return true;
}

void CCircFileBuf::NotifyReadable() {
  if (Listener* listener = listener_.load()) listener->OnReadable();
}

uint32_t CCircFileBuf::ReadWorker() {
  const uint32_t chunk = openConfig_.outputChunkKB * 1024u;
  int failures = 0;
  while (Running()) {
    if (port::Event::WaitEither(stopEvent_, readWake_, failures > 0 ? kReadRetryMs : kWorkerWaitMs) == 0) return 0;
    if (paused_.load() != 0) continue;
    for (bool more = true; more && Running();) {
      {
        StateHold io(*this, readIoLock_, Caller::kWorker);
        if (!io.held()) return 0;
        more = FillReadCache(chunk, &failures);
      }
      port::YieldThread();
    }
  }
  return 0;
}

}  // namespace ovts
