// The file store: opening under the free-space rule, the option bits, run states, positions in
// the file, and the operations that reposition or clear the buffer.
#include "buffer/CCircFileBuf.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/Result.h"

namespace ovts {

namespace {
constexpr uint32_t kNtPlatform = 2;
constexpr int kMaxAlternatives = 99;  // names tried beside a buffer file another buffer uses
}  // namespace

CCircFileBuf::CCircFileBuf()
    : CCircBufBase(nullptr, {port::LockRank::kBufferWrite, port::LockRank::kBufferRead, port::LockRank::kBufferState}),
      cacheConfig_(TS_DEFAULT_CACHE_CONFIG),
      openConfig_(cacheConfig_),
      primeBytes_(0) {}

CCircFileBuf::~CCircFileBuf() { Close(); }

bool CCircFileBuf::Running() const {
  const int32_t state = runState_.load();
  return state == kRunning || state == kStarting;
}

bool CCircFileBuf::QueryFreeSpace(const char* root, uint64_t* freeBytes) {
  return port::FreeDiskSpace(root, freeBytes);
}

HRESULT CCircFileBuf::Open() {
  return Guarded([&]() -> HRESULT {
    port::LockGuard state(stateLock_);
    return OpenLocked();
  });
}

HRESULT CCircFileBuf::OpenLocked() {
  if (open_) return S_OK;
  if (!readWake_.valid() || !writeWake_.valid() || !stopEvent_.valid()) return E_OUTOFMEMORY;
  ApplyConfiguredSize();
  problem_ = "";
  RETURN_IF_FAILED(CheckSettings());

  // The file may take what the volume has beyond the reserve, but never less than one chunk
  // of the write cache. When the volume cannot be asked, opening the file reports the error.
  uint64_t freeBytes = 0;
  if (QueryFreeSpace(directory_.Mid(0, 3).c_str(), &freeBytes)) {
    const int64_t room = static_cast<int64_t>(std::min<uint64_t>(freeBytes, INT64_MAX / 2)) - minFreeSpace_;
    const int64_t chunk = int64_t{cacheConfig_.inputChunkKB} * 1024;
    if (room <= 0 || room < chunk) {
      problem_ = "Not enough free disk space for the buffer beside the reserve";
      return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    }
    if (room < size_) size_ = room;
  }
  platformId_ = port::PlatformId();
  if (platformId_ != kNtPlatform && size_ > 0xFFFFFFFFLL) size_ = 0xFFFFFFFFLL;

  CloseLocked();
  stopEvent_.Reset();
  writeWake_.Reset();
  openConfig_ = cacheConfig_;
  // A transfer to the file moves at most a chunk, and starts once a quarter of the cache (or a
  // chunk, when smaller) waits: the input then always finds room for a block of up to half the
  // cache while the disk keeps up. Waiting for a full cache would let the next block lap it.
  const int64_t writeCacheBytes = int64_t{openConfig_.inputCacheKB} * 1024;
  writeChunk_ = openConfig_.inputChunkKB * 1024u;
  writeTrigger_ = std::max<uint32_t>(1, std::min<uint32_t>(writeChunk_, static_cast<uint32_t>(writeCacheBytes / 4)));
  HRESULT hr = StartCache(writeCache_, openConfig_.inputCacheKB, writeWorker_, WriteWorkerMain);
  if (SUCCEEDED(hr)) {
    trace_.Write(3, "Init Read cache");
    hr = StartCache(readCache_, openConfig_.outputCacheKB, readWorker_, ReadWorkerMain);
  }
  if (FAILED(hr)) {
    CloseLocked();
    return hr;
  }
  // Playback starts once the read cache holds its threshold share, or as much as the read
  // worker's whole chunks can ever bring into it, whichever is less.
  const int64_t readCacheBytes = readCache_.GetBufferSize();
  const int64_t readChunk = int64_t{openConfig_.outputChunkKB} * 1024;
  primeBytes_ = std::min(static_cast<double>(readCacheBytes) * (openConfig_.outputThreshold / 100.0),
                         static_cast<double>(readCacheBytes / readChunk * readChunk));

  const unsigned flags = port::File::kRandomAccess | port::File::kExclusive |
                         ((options_ & DeleteOnClose) ? port::File::kDeleteOnClose : 0u);
  if (!OpenFile(flags)) {
    char why[64];
    std::snprintf(why, sizeof why, "Cannot open the buffer file (error %u): ", port::LastError());
    CloseLocked();
    problem_ = COVStringT(why) + directory_;
    return E_FAIL;
  }
  // The last-error indicator is cleared after opening: an existing file leaves it set.
  port::ClearLastError();
  bool ready = true;
  if (options_ & PreAllocate) {
    int64_t at = 0;
    ready =
        SUCCEEDED(SeekFile(writeHandle_, size_, port::File::From::kBegin, &at)) && writeHandle_.SetEnd();
  }
  if (!ready || port::LastError() != 0 || !readHandle_.Duplicate(writeHandle_)) {
    CloseLocked();
    return E_FAIL;
  }
  open_ = true;
  return S_OK;
}

HRESULT CCircFileBuf::Close() {
  return Guarded([&] {
    port::LockGuard state(stateLock_);
    CloseLocked();
    return S_OK;
  });
}

void CCircFileBuf::CloseLocked() {
  open_ = false;
  // The workers end first: they may be reading or writing the file without the state lock.
  stopEvent_.Set();
  JoinWorker(writeWorker_, "Write");
  JoinWorker(readWorker_, "Read");
  readCache_.Close();
  readHandle_.Close();
  if (writeHandle_.is_open()) {
    // A store that never wrapped keeps exactly the bytes written.
    int64_t at = 0;
    if (!wrapped_ && writeHandle_.Seek(writePos_, port::File::From::kBegin, &at)) writeHandle_.SetEnd();
    writeHandle_.Close();
  }
  filePath_ = "";
  readOffset_ = 0;
  writePos_ = 0;
  reservedFront_ = 0;
  readInFlight_ = 0;
  writeEpoch_.fetch_add(1);
  readEpoch_.fetch_add(1);
  writeCache_.Close();
  storedWake_.Set();  // a reader waiting for bytes finds the buffer closed
}

HRESULT CCircFileBuf::CheckSettings() {
  const TSCacheConfig& c = cacheConfig_;
  char why[160] = {};
  if (c.inputChunkKB == 0 || c.inputChunkKB > c.inputCacheKB) {
    std::snprintf(why, sizeof why, "The input chunk (%u KB) does not fit the input cache (%u KB)", c.inputChunkKB,
                  c.inputCacheKB);
  } else if (c.outputChunkKB == 0 || c.outputChunkKB > c.outputCacheKB) {
    std::snprintf(why, sizeof why, "The output chunk (%u KB) does not fit the output cache (%u KB)",
                  c.outputChunkKB, c.outputCacheKB);
  } else if (size_ < int64_t{c.outputChunkKB} * 1024) {
    std::snprintf(why, sizeof why, "The buffer (%lld bytes) is smaller than one output chunk (%u KB)",
                  static_cast<long long>(int64_t{size_}), c.outputChunkKB);
  } else {
    return S_OK;
  }
  problem_ = why;
  return E_INVALIDARG;
}

bool CCircFileBuf::OpenFile(unsigned flags) {
  const COVStringT name = fileName_.Compare("") == 0 ? COVStringT(kDefaultFileName) : fileName_;
  COVStringT path = directory_ + name;
  if (writeHandle_.Open(path.c_str(), flags)) {
    filePath_ = path;
    return true;
  }
  // Another buffer writes this file (in this process or another): take the first free name
  // beside it, "TShift-2.mpg" for "TShift.mpg". The settings keep the configured name.
  const uint32_t refusal = port::LastError();
  if (refusal != ERROR_SHARING_VIOLATION && refusal != ERROR_ACCESS_DENIED) return false;
  const char* dot = std::strrchr(name.c_str(), '.');
  const size_t stem = dot ? static_cast<size_t>(dot - name.c_str()) : name.length();
  for (int n = 2; n <= kMaxAlternatives; ++n) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%d", n);
    COVStringT alternative = directory_ + name.Mid(0, stem);
    alternative += suffix;
    alternative += name.Mid(stem).c_str();
    if (writeHandle_.Open(alternative.c_str(), flags)) {
      trace_.Write(3, "Buffer file %s is in use; using %s", path.c_str(), alternative.c_str());
      filePath_ = alternative;
      return true;
    }
    const uint32_t error = port::LastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) break;
  }
  port::SetLastError(refusal);
  return false;
}

COVStringT CCircFileBuf::GetFilePath() {
  port::LockGuard state(stateLock_);
  return filePath_;
}

COVStringT CCircFileBuf::GetProblem() {
  port::LockGuard state(stateLock_);
  return problem_;
}

void CCircFileBuf::JoinWorker(port::Thread& worker, const char* which) {
  if (!worker.started() || worker.IsCurrent()) return;
  if (worker.Join(1000)) return;
  // The worker holds nothing Close needs (it takes its locks only through AcquireForWorker), so
  // it ends.
  trace_.Write(3, "%s worker still running after 1000 ms, waiting", which);
  worker.Join(port::kInfinite);
}

HRESULT CCircFileBuf::Start() {
  return Guarded([&]() -> HRESULT {
    runState_.exchange(kStarting);
    AllLocks all(*this);
    const HRESULT hr = OpenLocked();
    if (FAILED(hr)) {
      CloseLocked();
      return hr;
    }
    ResetLocked();
    endOfStream_ = false;
    droppedBytes_.store(0);
    recordingFault_.store(S_OK);
    priming_.exchange(1);
    runState_.exchange(kRunning);
    return S_OK;
  });
}

HRESULT CCircFileBuf::Stop() {
  return Guarded([&]() -> HRESULT {
    AllLocks all(*this);
    runState_.exchange(kStopping);
    CloseLocked();
    ResetLocked();
    endOfStream_ = false;
    runState_.exchange(kStopped);
    return S_OK;
  });
}

HRESULT CCircFileBuf::Reset() {
  {
    AllLocks all(*this);
    ResetLocked();
  }
  readWake_.Set();
  return S_OK;
}

void CCircFileBuf::ResetLocked() {
  ClearPositions();
  fileWritten_ = 0;
  fileGaps_.clear();
  reservedFront_ = 0;
  writeEpoch_.fetch_add(1);  // a write in flight belongs to the stream before the flush
  clock_.Reset();
  writeCache_.Reset();
  ResetReadCache();
  priming_.exchange(1);
  storedWake_.Set();  // a reader of the old stream finds it gone
}

HRESULT CCircFileBuf::Seek(int64_t offset, uint32_t origin, int64_t* newOffset) {
  return Guarded([&]() -> HRESULT {
    HRESULT hr;
    {
      if (!newOffset) return E_POINTER;
      if (!open_) return E_FAIL;
      port::LockGuard read(readLock_);
      port::LockGuard state(stateLock_);
      hr = SeekLocked(offset, origin, newOffset);
      if (SUCCEEDED(hr)) ResetReadCache();
    }
    readWake_.Set();
    port::YieldThread();
    return hr;
  });
}

HRESULT CCircFileBuf::SeekNearLive() {
  return Guarded([&]() -> HRESULT {
    const int32_t state = runState_.load();
    if (state == kStopped || state == kStopping) return E_FAIL;
    HRESULT hr;
    {
      port::LockGuard read(readLock_);
      port::LockGuard lock(stateLock_);
      const int64_t cacheBytes = static_cast<uint32_t>(cacheConfig_.outputCacheKB * 1024u);
      const int64_t target = std::max<int64_t>(0, unread_ + readOffset_ - cacheBytes);
      ResetReadCache();
      int64_t newOffset = 0;
      hr = open_ ? SeekLocked(target, 0, &newOffset) : E_FAIL;
    }
    readWake_.Set();
    return hr == S_FALSE ? S_OK : hr;
  });
}

int64_t CCircFileBuf::GetReadOffset() {
  port::LockGuard state(stateLock_);
  // The next byte the output delivers: the file read position less what waits in the read cache.
  // Cached bytes the writer has since overwritten in the file count from the oldest one left.
  return std::max<int64_t>(0, readOffset_ - readCache_.GetUnreadBytes());
}

uint32_t CCircFileBuf::GetUnreadBytes() { return Clamp32(unread_) + readCache_.GetUnreadBytes(); }

HRESULT CCircFileBuf::Pause() {
  port::LockGuard read(readLock_);
  port::LockGuard state(stateLock_);
  ResetReadCache();
  paused_.exchange(1);
  return S_OK;
}

HRESULT CCircFileBuf::Resume() {
  paused_.exchange(0);
  readWake_.Set();  // refill now rather than at the worker's next timeout
  return S_OK;
}

HRESULT CCircFileBuf::SetEndOfStream() {
  endOfStream_ = true;
  // The last bytes wait for no more: both workers move what is left now.
  writeWake_.Set();
  readWake_.Set();
  return S_OK;
}

HRESULT CCircFileBuf::ClearEndOfStream() {
  port::LockGuard state(stateLock_);
  endOfStream_ = false;
  readCache_.ClearEndOfStream();
  return S_OK;
}

void CCircFileBuf::ResetReadCache() {
  readCache_.Reset();
  readCache_.ClearEndOfStream();
  readEpoch_.fetch_add(1);
}

void CCircFileBuf::MarkFileGap() {
  if (!fileGaps_.empty() && fileGaps_.back() == fileWritten_) return;
  fileGaps_.push_back(fileWritten_);
  clock_.OnGap(fileWritten_);
}

HRESULT CCircFileBuf::SeekFile(port::File& handle, int64_t offset, port::File::From method,
                               int64_t* newPosition) {
  *newPosition = 0;
  if (platformId_ != kNtPlatform) offset = static_cast<int32_t>(offset);
  port::ClearLastError();
  int64_t at = 0;
  if (!handle.Seek(offset, method, &at) || port::LastError() != 0) return E_FAIL;
  *newPosition = at;
  if (static_cast<uint64_t>(at) > static_cast<uint64_t>(int64_t{size_})) size_ = at;
  return S_OK;
}

}  // namespace ovts
