#include "buffer/CCircBufBase.h"

#include <algorithm>
#include <memory>

#include "platform/Owners.h"
#include "platform/Result.h"

namespace ovts {

CCircBufBase::CCircBufBase(const char* name, const LockRanks& ranks)
    : writeLock_(ranks.write, "buffer write"),
      readLock_(ranks.read, "buffer read"),
      stateLock_(ranks.state, "buffer state"),
      directory_("C:\\"),
      fileName_(kDefaultFileName),
      size_(0),
      unread_(0),
      open_(false),
      endOfStream_(false),
      name_(name),
      instrumentationEnabled_(false),
      counterFrequency_(port::PerformanceFrequency()),
      ticksPerMicrosecond_(counterFrequency_ / 1000000) {}

CCircBufBase::~CCircBufBase() = default;

HRESULT CCircBufBase::SetConfig(const TSBufferConfig* config) {
  return Guarded([&]() -> HRESULT {
    if (!config) return E_POINTER;
    std::unique_ptr<char[]> directory(port::WideToNarrow(config->directory));
    std::unique_ptr<char[]> fileName(port::WideToNarrow(config->fileName));
    COVStringT dir(directory.get());
    if (!port::IsFixedDrive(dir.Mid(0, 3).c_str())) return E_INVALIDARG;

    port::LockGuard state(stateLock_);
    fileName_ = fileName.get();
    directory_ = dir;
    if (directory_.empty() || directory_.c_str()[directory_.length() - 1] != '\\') directory_ += "\\";
    // Both products are formed in 32 bits, as the record carries them.
    const uint32_t newSize = config->sizeKB * 1024u;
    minFreeSpace_ = config->minFreeMB * 1048576u;
    options_ = config->options;
    // An open store keeps its size until it is opened again; a closed one takes it now, and an
    // older size still waiting for the next Open must not win over it.
    if (open_) {
      configuredSize_ = newSize;
    } else {
      size_ = newSize;
      configuredSize_ = -1;
    }
    trace_.Write(3, "New Buf size %d", static_cast<int>(newSize));
    return S_OK;
  });
}

HRESULT CCircBufBase::GetConfig(TSBufferConfig* config) {
  return Guarded([&]() -> HRESULT {
    if (!config) return E_POINTER;
    port::LockGuard state(stateLock_);
    port::UniqueBstr directory(directory_.ToBstr());
    port::UniqueBstr fileName(fileName_.ToBstr());
    const int64_t size = configuredSize_ >= 0 ? configuredSize_ : int64_t{size_};
    config->directory = directory.release();
    config->fileName = fileName.release();
    config->sizeKB = static_cast<uint32_t>(size / 1024);
    config->minFreeMB = static_cast<uint32_t>(minFreeSpace_ / 1048576);
    config->options = options_;
    return S_OK;
  });
}

HRESULT CCircBufBase::SetCacheConfig(const TSCacheConfig*) { return E_NOTIMPL; }

HRESULT CCircBufBase::Reserved() { return E_NOTIMPL; }

HRESULT CCircBufBase::Start() { return Open(); }

HRESULT CCircBufBase::Stop() { return S_OK; }

HRESULT CCircBufBase::Seek(int64_t offset, uint32_t origin, int64_t* newOffset) {
  return Guarded([&]() -> HRESULT {
    if (!newOffset) return E_POINTER;
    *newOffset = 0;
    if (!open_) return E_FAIL;
    port::LockGuard read(readLock_);
    port::LockGuard state(stateLock_);
    return SeekLocked(offset, origin, newOffset);
  });
}

HRESULT CCircBufBase::SeekLocked(int64_t offset, uint32_t origin, int64_t* newOffset) {
  *newOffset = 0;
  int64_t clamped;
  const int64_t front = std::min<int64_t>(reservedFront_, DataSize());
  if (origin == 0) {
    clamped = std::clamp<int64_t>(offset, front, DataSize());
    unread_ = unread_ + readOffset_ - clamped;
    readOffset_ = clamped;
  } else if (origin == 1) {
    clamped = std::clamp<int64_t>(offset, std::min<int64_t>(front - readOffset_, 0), unread_);
    unread_ = unread_ - clamped;
    readOffset_ += clamped;
  } else {
    return E_FAIL;
  }
  discontinuity_.exchange(1);
  *newOffset = clamped;
  return S_OK;
}

HRESULT CCircBufBase::SetMediaType(const void*) { return S_OK; }

HRESULT CCircBufBase::SetParam(uint32_t, intptr_t) { return E_NOTIMPL; }

HRESULT CCircBufBase::GetParam(intptr_t) { return E_NOTIMPL; }

int64_t CCircBufBase::GetBufferSize() { return size_; }

int64_t CCircBufBase::GetDataSize() {
  port::LockGuard state(stateLock_);
  return DataSize();
}

int64_t CCircBufBase::GetReadOffset() {
  port::LockGuard state(stateLock_);
  return readOffset_;
}

int64_t CCircBufBase::GetWritePosition() {
  port::LockGuard state(stateLock_);
  return writePos_;
}

uint32_t CCircBufBase::GetUnreadBytes() { return Clamp32(unread_); }

uint32_t CCircBufBase::GetFreeSpace() {
  return static_cast<uint32_t>(static_cast<uint64_t>(int64_t{size_})) - GetUnreadBytes();
}

bool CCircBufBase::IsEndOfStream() { return endOfStream_; }

HRESULT CCircBufBase::SetEndOfStream() {
  endOfStream_ = true;
  return S_OK;
}

HRESULT CCircBufBase::ClearEndOfStream() {
  endOfStream_ = false;
  return S_OK;
}

void CCircBufBase::EnableInstrumentation(bool enable) { instrumentationEnabled_ = enable; }

HRESULT CCircBufBase::Pause() {
  paused_.exchange(1);
  return S_OK;
}

HRESULT CCircBufBase::Resume() {
  paused_.exchange(0);
  return S_OK;
}

int64_t CCircBufBase::ReadPosition() const {
  // oldest + readOffset never exceeds twice the size; a result equal to the size means offset 0.
  const int64_t size = size_;
  const int64_t position = oldest_ + readOffset_;
  return size > 0 ? position % size : 0;
}

void CCircBufBase::ClearPositions() {
  readOffset_ = writePos_ = oldest_ = 0;
  unread_ = 0;
  wrapped_ = false;
}

void CCircBufBase::ApplyConfiguredSize() {
  if (configuredSize_ < 0) return;
  size_ = configuredSize_;
  configuredSize_ = -1;
}

uint32_t CCircBufBase::Clamp32(int64_t value) {
  return value > 0xFFFFFFFFLL ? 0xFFFFFFFFu : value < 0 ? 0u : static_cast<uint32_t>(value);
}

}  // namespace ovts
