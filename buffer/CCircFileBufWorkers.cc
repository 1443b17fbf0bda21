// The file buffer's caches and their workers: the streaming threads' Write and Read, the cache
// configuration, and the write and read worker threads that move whole chunks between the
// caches and the file.
#include <atomic>
#include <memory>
#include <new>

#include "buffer/BufferResult.h"
#include "buffer/CCircFileBuf.h"

namespace ovts {

namespace {
constexpr uint32_t kWorkerWaitMs = 250;  // a worker looks again at least this often
constexpr uint32_t kLockRetryMs = 1;     // between a worker's attempts at the state lock
constexpr int kLockSpins = 64;           // yields before a worker sleeps between attempts

// A worker's block of one chunk; null when its cache cannot hold a chunk or memory runs out,
// which ends the worker at once.
std::unique_ptr<uint8_t[]> NewScratch(int64_t cacheSize, uint32_t chunk) {
  if (chunk == 0 || cacheSize < chunk) return nullptr;
  return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[chunk]);
}
}  // namespace

// Holds stateLock_ for a worker, as taken by AcquireStateForWorker.
class [[nodiscard]] CCircFileBuf::WorkerStateLock {
 public:
  explicit WorkerStateLock(CCircFileBuf& buffer) : buffer_(buffer), held_(buffer.AcquireStateForWorker()) {}
  ~WorkerStateLock() {
    if (held_) buffer_.stateLock_.Unlock();
  }
  WorkerStateLock(const WorkerStateLock&) = delete;
  WorkerStateLock& operator=(const WorkerStateLock&) = delete;
  bool held() const { return held_; }

 private:
  CCircFileBuf& buffer_;
  const bool held_;
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
  const TSBufferConfig config{nullptr, nullptr, sizeKB, 128, 524288, 0};
  cache.SetConfig(&config);
  OVTS_RETURN_IF_FAILED(cache.Open());
  return worker.Start(body, this) ? S_OK : LastErrorResult();
}

HRESULT CCircFileBuf::Write(const void* data, uint32_t length, uint32_t* written) {
  return Guarded([&]() -> HRESULT {
    if (!written) return E_POINTER;
    *written = 0;
    if (!writeCache_.IsOpen()) return E_FAIL;
    if (length >= writeCache_.GetBufferSize()) return WriteToFile(data, length, written);
    HRESULT hr;
    {
      port::LockGuard write(writeLock_);
      hr = writeCache_.Write(data, length, written);
    }
    writeWake_.Set();
    return hr;
  });
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
      const uint32_t cached = readCache_.GetUnreadBytes();
      if (priming_.load() != 0) {
        if (primeBytes_ > cached) {
          trace_.Write(3, "Waiting for Threshold:  Cur size %d", static_cast<int>(cached));
          return S_OK;
        }
        priming_.exchange(0);
      } else if (cached < length) {
        return S_OK;
      }
      hr = readCache_.Read(dest, length, read, discontinuity);
    }
    readWake_.Set();
    return hr;
  });
}

bool CCircFileBuf::AcquireStateForWorker() {
  // Never block on the state lock: Close holds it while it waits for the workers to end. The
  // other worker holds it for one chunk at a time, so yield a few times before sleeping: the write
  // worker must take its chunk before the input side's next block laps a full write cache.
  for (int spin = 0; spin < kLockSpins; ++spin) {
    if (stateLock_.TryLock()) return true;
    port::YieldThread();
  }
  while (!stateLock_.TryLock()) {
    if (stopEvent_.Wait(kLockRetryMs)) return false;
  }
  return true;
}

uint32_t CCircFileBuf::WriteWorkerMain(void* self) { return static_cast<CCircFileBuf*>(self)->WriteWorker(); }

uint32_t CCircFileBuf::ReadWorkerMain(void* self) { return static_cast<CCircFileBuf*>(self)->ReadWorker(); }

uint32_t CCircFileBuf::WriteWorker() {
  // With the chunk as large as the cache, the worker starts on a full cache and has until the next
  // input block to take its chunk: it runs ahead of the streaming threads.
  port::RaiseThreadPriority();
  const uint32_t chunk = openConfig_.inputChunkKB * 1024u;
  const std::unique_ptr<uint8_t[]> scratch = NewScratch(writeCache_.GetBufferSize(), chunk);
  if (!scratch) return kWorkerFailed;
  HRESULT result = S_OK;
  while (result == S_OK && Running()) {
    if (port::Event::WaitEither(stopEvent_, writeWake_, kWorkerWaitMs) == 0) return 0;
    bool took = true;
    while (took && result == S_OK && writeCache_.GetUnreadBytes() >= chunk && Running()) {
      WorkerStateLock state(*this);
      if (!state.held()) return 0;
      uint32_t n = 0;
      bool discontinuity = false;  // a lapped write cache is not reported downstream
      // Nothing to take while a write is still being copied in: its end wakes this worker again,
      // so wait for that instead of spinning against the input thread.
      took = SUCCEEDED(writeCache_.Read(scratch.get(), chunk, &n, &discontinuity)) && n > 0;
      if (took) {
        uint32_t written = 0;
        result = WriteToFile(scratch.get(), n, &written);
      }
    }
  }
  return static_cast<uint32_t>(result);
}

bool CCircFileBuf::FillReadCacheChunk(uint8_t* scratch, uint32_t chunk, HRESULT* result) {
  // Pause takes the state lock, so checking here keeps a paused read cache empty.
  if (paused_.load() != 0) return false;
  const int64_t room = readCache_.GetBufferSize() - readCache_.GetUnreadBytes();
  if (CCircBufBase::GetUnreadBytes() < chunk || room < chunk) return false;
  uint32_t n = 0;
  *result = ReadFromFile(scratch, chunk, &n);
  // The room was checked above; a cache write stores at most two pieces, so finish the chunk.
  for (uint32_t done = 0; *result == S_OK && done < n;) {
    uint32_t put = 0;
    *result = readCache_.Write(scratch + done, n - done, &put);
    if (put == 0) break;
    done += put;
  }
  return *result == S_OK;
}

uint32_t CCircFileBuf::ReadWorker() {
  const uint32_t chunk = openConfig_.outputChunkKB * 1024u;
  const std::unique_ptr<uint8_t[]> scratch = NewScratch(readCache_.GetBufferSize(), chunk);
  if (!scratch) return kWorkerFailed;
  HRESULT result = S_OK;
  while (result == S_OK && Running()) {
    if (port::Event::WaitEither(stopEvent_, readWake_, kWorkerWaitMs) == 0) return 0;
    if (paused_.load() != 0) continue;
    bool more = true;
    while (more && Running()) {
      {
        WorkerStateLock state(*this);
        if (!state.held()) return 0;
        more = FillReadCacheChunk(scratch.get(), chunk, &result);
      }
      port::YieldThread();
    }
  }
  return static_cast<uint32_t>(result);
}

}  // namespace ovts
