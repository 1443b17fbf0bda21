// The file store: opening under the free-space rule, the option bits, run states, positions in
// the file, and the operations that reposition or clear the buffer.
#include "buffer/CCircFileBuf.h"

#include <algorithm>

#include "buffer/BufferResult.h"

namespace ovts {

namespace {
constexpr uint32_t kNtPlatform = 2;
}  // namespace

CCircFileBuf::CCircFileBuf()
    : CCircBufBase(nullptr),
      cacheConfig_{4096, 4096, 0, 1024, 128, 75},
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
    if (open_) return S_OK;
    if (!readWake_.valid() || !writeWake_.valid() || !stopEvent_.valid()) return E_OUTOFMEMORY;
    ApplyConfiguredSize();
    if (size_ <= 0) return E_INVALIDARG;
    COVStringT path = directory_;
    path += fileName_.Compare("") == 0 ? kDefaultFileName : fileName_.c_str();

    // The file may take what the volume has beyond the reserve, but never less than one chunk
    // of the write cache. When the volume cannot be asked, opening the file reports the error.
    uint64_t freeBytes = 0;
    if (QueryFreeSpace(directory_.Mid(0, 3).c_str(), &freeBytes)) {
      const int64_t room = static_cast<int64_t>(std::min<uint64_t>(freeBytes, INT64_MAX / 2)) - minFreeSpace_;
      const int64_t chunk = int64_t{cacheConfig_.inputChunkKB} * 1024;
      if (room <= 0 || room < chunk) return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
      if (room < size_) size_ = room;
    }
    platformId_ = port::PlatformId();
    if (platformId_ != kNtPlatform && size_ > 0xFFFFFFFFLL) size_ = 0xFFFFFFFFLL;

    Close();
    stopEvent_.Reset();
    writeWake_.Reset();
    openConfig_ = cacheConfig_;
    HRESULT hr = StartCache(writeCache_, openConfig_.inputCacheKB, writeWorker_, WriteWorkerMain);
    if (SUCCEEDED(hr)) {
      trace_.Write(3, "Init Read cache");
      hr = StartCache(readCache_, openConfig_.outputCacheKB, readWorker_, ReadWorkerMain);
    }
    if (FAILED(hr)) {
      Close();
      return hr;
    }
    primeBytes_ = static_cast<double>(readCache_.GetBufferSize()) * (openConfig_.outputThreshold / 100.0);

    const unsigned flags =
        port::File::kRandomAccess | ((options_ & DeleteOnClose) ? port::File::kDeleteOnClose : 0u);
    if (!writeHandle_.Open(path.c_str(), flags)) {
      Close();
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
      Close();
      return E_FAIL;
    }
    open_ = true;
    return S_OK;
  });
}

HRESULT CCircFileBuf::Close() {
  return Guarded([&] {
    port::LockGuard state(stateLock_);
    open_ = false;
    readCache_.Close();
    readHandle_.Close();
    if (writeHandle_.is_open()) {
      // A store that never wrapped keeps exactly the bytes written.
      int64_t at = 0;
      if (!wrapped_ && writeHandle_.Seek(writePos_, port::File::From::kBegin, &at)) writeHandle_.SetEnd();
      writeHandle_.Close();
    }
    readOffset_ = 0;
    writePos_ = 0;
    stopEvent_.Set();
    JoinWorker(writeWorker_, "Write");
    JoinWorker(readWorker_, "Read");
    writeCache_.Close();
    return S_OK;
  });
}

void CCircFileBuf::JoinWorker(port::Thread& worker, const char* which) {
  if (!worker.started() || worker.IsCurrent()) return;
  if (worker.Join(1000)) return;
  // The worker holds nothing Close needs (it takes stateLock_ only through TryLock), so it ends.
  trace_.Write(3, "%s worker still running after 1000 ms, waiting", which);
  worker.Join(port::kInfinite);
}

HRESULT CCircFileBuf::Start() {
  return Guarded([&]() -> HRESULT {
    runState_.exchange(kStarting);
    port::LockGuard write(writeLock_);
    port::LockGuard read(readLock_);
    port::LockGuard state(stateLock_);
    const HRESULT hr = Open();
    if (FAILED(hr)) {
      Close();
      return hr;
    }
    Reset();
    endOfStream_ = false;
    priming_.exchange(1);
    runState_.exchange(kRunning);
    return S_OK;
  });
}

HRESULT CCircFileBuf::Stop() {
  return Guarded([&]() -> HRESULT {
    port::LockGuard write(writeLock_);
    port::LockGuard read(readLock_);
    port::LockGuard state(stateLock_);
    runState_.exchange(kStopping);
    Close();
    Reset();
    endOfStream_ = false;
    runState_.exchange(kStopped);
    return S_OK;
  });
}

HRESULT CCircFileBuf::Reset() {
  {
    port::LockGuard write(writeLock_);
    port::LockGuard read(readLock_);
    port::LockGuard state(stateLock_);
    ClearPositions();
    writeCache_.Reset();
    readCache_.Reset();
    priming_.exchange(1);
  }
  readWake_.Set();
  return S_OK;
}

HRESULT CCircFileBuf::Seek(int64_t offset, uint32_t origin, int64_t* newOffset) {
  return Guarded([&]() -> HRESULT {
    HRESULT hr;
    {
      port::LockGuard read(readLock_);
      port::LockGuard state(stateLock_);
      hr = CCircBufBase::Seek(offset, origin, newOffset);
      if (SUCCEEDED(hr)) readCache_.Reset();
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
      readCache_.Reset();
      int64_t newOffset = 0;
      hr = CCircBufBase::Seek(target, 0, &newOffset);
    }
    readWake_.Set();
    return hr == S_FALSE ? S_OK : hr;
  });
}

int64_t CCircFileBuf::GetReadOffset() {
  port::LockGuard state(stateLock_);
  return readOffset_ - readCache_.GetReadOffset();
}

uint32_t CCircFileBuf::GetUnreadBytes() { return Clamp32(unread_) + readCache_.GetUnreadBytes(); }

HRESULT CCircFileBuf::Pause() {
  port::LockGuard read(readLock_);
  port::LockGuard state(stateLock_);
  readCache_.Reset();
  paused_.exchange(1);
  return S_OK;
}

HRESULT CCircFileBuf::Resume() {
  paused_.exchange(0);
  readWake_.Set();  // refill now rather than at the worker's next timeout
  return S_OK;
}

HRESULT CCircFileBuf::SeekFile(port::File& handle, int64_t offset, port::File::From method,
                               int64_t* newPosition) {
  *newPosition = 0;
  if (platformId_ != kNtPlatform) offset = static_cast<int32_t>(offset);
  port::ClearLastError();
  int64_t at = 0;
  if (!handle.Seek(offset, method, &at) || port::LastError() != 0) {
    Close();
    return E_FAIL;
  }
  *newPosition = at;
  if (static_cast<uint64_t>(at) > static_cast<uint64_t>(int64_t{size_})) size_ = at;
  return S_OK;
}

HRESULT CCircFileBuf::WriteToFile(const void* data, uint32_t length, uint32_t* written) {
  *written = 0;
  if (!data) return E_INVALIDARG;
  port::LockGuard state(stateLock_);
  if (!open_) return E_FAIL;
  int64_t at = 0;
  OVTS_RETURN_IF_FAILED(SeekFile(writeHandle_, writePos_, port::File::From::kBegin, &at));
  const bool noWrap = (options_ & NoWrap) != 0;
  if (noWrap && !(options_ & ExtendWhenFull) && writePos_ + length > size_) return S_OK;  // dropped

  // Wrapping never writes outside [0, size): a block longer than the room to the end goes in as
  // many pieces as it needs. Bytes written while the store is wrapped overwrite retained data.
  const auto* from = static_cast<const uint8_t*>(data);
  uint32_t remaining = length;
  int64_t overwritten = 0;
  HRESULT hr = S_OK;
  while (remaining > 0) {
    if (!noWrap && writePos_ >= size_) {
      hr = SeekFile(writeHandle_, 0, port::File::From::kBegin, &at);
      if (FAILED(hr)) break;
      writePos_ = 0;
      wrapped_ = true;
    }
    const uint32_t n =
        noWrap ? remaining : static_cast<uint32_t>(std::min<int64_t>(remaining, size_ - writePos_));
    uint32_t put = 0;
    const bool ok = writeHandle_.Write(from, n, &put);
    if (wrapped_) overwritten += put;
    writePos_ += put;
    *written += put;
    from += put;
    remaining -= put;
    if (!ok || put < n) {
      hr = LastErrorResult();
      break;
    }
  }

  unread_ = unread_ + *written;
  if (wrapped_) {
    oldest_ = writePos_;
    readOffset_ -= overwritten;
    if (readOffset_ < 0) {  // overtook the read worker: what it had not taken is gone
      unread_ = unread_ + readOffset_;
      readCache_.Reset();
      readWake_.Set();
      readOffset_ = 0;
    }
  } else if (writePos_ > size_) {
    size_ = writePos_;  // ExtendWhenFull
  }
  return hr;
}

HRESULT CCircFileBuf::ReadFromFile(void* dest, uint32_t length, uint32_t* read) {
  *read = 0;
  port::LockGuard state(stateLock_);
  if (!open_) return E_FAIL;
  if (length == 0) return S_OK;
  const uint32_t available = Clamp32(unread_);
  if (available < length) {
    if (!endOfStream_) return S_FALSE;
    length = available;
  }
  const int64_t position = ReadPosition();
  int64_t at = 0;
  OVTS_RETURN_IF_FAILED(SeekFile(readHandle_, position, port::File::From::kBegin, &at));
  auto* to = static_cast<uint8_t*>(dest);
  uint32_t first = length;
  if (wrapped_ && position + length > size_) first = static_cast<uint32_t>(size_ - position);
  uint32_t got = 0;
  if (!readHandle_.Read(to, first, &got)) return E_FAIL;
  *read = got;
  if (got == first && first < length) {
    OVTS_RETURN_IF_FAILED(SeekFile(readHandle_, 0, port::File::From::kBegin, &at));
    if (!readHandle_.Read(to + first, length - first, &got)) return E_FAIL;
    *read += got;
  }
  readOffset_ += *read;
  unread_ = unread_ - *read;
  return S_OK;
}

}  // namespace ovts
