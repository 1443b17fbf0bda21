#include "buffer/CCircMemBuf.h"

#include <algorithm>
#include <cstring>

#include "platform/Result.h"

namespace ovts {

CCircMemBuf::CCircMemBuf(const char* name)
    : CCircBufBase(name, {port::LockRank::kCacheWrite, port::LockRank::kCacheRead, port::LockRank::kCacheState}) {
  size_ = kDefaultSize;
  readRecord_.name = "Read";
  writeRecord_.name = "Write";
  readRecord_.ticksPerMicrosecond = ticksPerMicrosecond_;
  writeRecord_.ticksPerMicrosecond = ticksPerMicrosecond_;
}

CCircMemBuf::~CCircMemBuf() {
  Close();
  // No thread holds a lease any more.
  port::LockGuard state(stateLock_);
  for (const auto& [at, bytes] : retired_) port::PageFree(at, bytes);
}

HRESULT CCircMemBuf::Open() {
  return Guarded([&]() -> HRESULT {
    AllLocks all(*this);
    if (open_) return S_OK;
    CloseLocked();
    ApplyConfiguredSize();
    trace_.Write(3, "Init Mem Buffer.  Size = %d", static_cast<int>(static_cast<uint32_t>(int64_t{size_})));
    if (size_ > 0xFFFFFFFFLL) size_ = 0xFFFFFFFFLL;
    const auto bytes = static_cast<size_t>(int64_t{size_});
    // Page memory comes zero-filled.
    store_ = bytes > 0 ? static_cast<uint8_t*>(port::PageAlloc(bytes)) : nullptr;
    if (!store_) {
      CloseLocked();
      return E_FAIL;
    }
    storeBytes_ = bytes;
    open_ = true;
    return S_OK;
  });
}

HRESULT CCircMemBuf::Close() {
  AllLocks all(*this);
  CloseLocked();
  return S_OK;
}

void CCircMemBuf::CloseLocked() {
  open_ = false;
  ReleaseStore();
}

void CCircMemBuf::ReleaseStore() {
  if (store_ && leasesOut_ > 0)
    retired_.emplace_back(store_, storeBytes_);
  else
    port::PageFree(store_, storeBytes_);
  store_ = nullptr;
  storeBytes_ = 0;
  lentUnread_ = 0;
  ++generation_;
}

void CCircMemBuf::Lend(int64_t from, uint32_t length, Lease* lease) {
  // Unread bytes never run past the store's end unless they wrap, so both kinds split here.
  lease->at[0] = store_ + from;
  lease->length[0] = static_cast<uint32_t>(std::min<int64_t>(length, size_ - from));
  lease->length[1] = length - lease->length[0];
  lease->at[1] = lease->length[1] > 0 ? store_ : nullptr;
  lease->generation = generation_;
  ++leasesOut_;
}

bool CCircMemBuf::LeaseBack(const Lease& lease) {
  if (--leasesOut_ == 0) {
    for (const auto& [at, bytes] : retired_) port::PageFree(at, bytes);
    retired_.clear();
  }
  return lease.generation == generation_;
}

HRESULT CCircMemBuf::Reset() {
  AllLocks all(*this);
  // The reader may still be writing lent bytes to the disk: the stream after the flush gets
  // fresh memory, and the lent memory is freed when the lease comes back.
  if (store_ && lentUnread_ > 0) {
    auto* fresh = static_cast<uint8_t*>(port::PageAlloc(storeBytes_));
    if (!fresh) {
      CloseLocked();
      return E_OUTOFMEMORY;
    }
    retired_.emplace_back(store_, storeBytes_);
    store_ = fresh;
  }
  ClearPositions();
  gaps_.clear();
  lentUnread_ = 0;
  ++generation_;
  discontinuity_.exchange(1);
  return S_OK;
}

void CCircMemBuf::MarkGap() {
  port::LockGuard state(stateLock_);
  if (gaps_.empty() || gaps_.back() != writeCount_) gaps_.push_back(writeCount_);
}

bool CCircMemBuf::TakeTrailingGap() {
  port::LockGuard state(stateLock_);
  if (unread_ != 0 || gaps_.empty() || gaps_.back() != writeCount_) return false;
  gaps_.pop_back();
  return true;
}

HRESULT CCircMemBuf::Seek(int64_t offset, uint32_t origin, int64_t* newOffset) {
  return Guarded([&]() -> HRESULT {
    if (!newOffset) return E_POINTER;
    *newOffset = 0;
    if (!open_) return E_FAIL;
    port::LockGuard read(readLock_);
    port::LockGuard state(stateLock_);
    return SeekLocked(offset, origin, newOffset);
  });
}

uint8_t* CCircMemBuf::GetWritePointer(uint32_t length, uint32_t* piece) {
  *piece = 0;
  if (length == 0) return nullptr;
  writeLock_.Lock();
  port::UniqueLock state(stateLock_);
  if (!store_) {
    state.Unlock();
    writeLock_.Unlock();
    return nullptr;
  }
  const int64_t size = size_;
  int64_t n = std::min<int64_t>({length, size / 2, size - writePos_});
  if (wrapped_) {
    // The piece overwrites the oldest retained bytes. readOffset already counts the piece a
    // reader has reserved, so that piece starts at readOffset - pendingRead: while it overlaps
    // ours, let the reader finish its copy (it holds readLock_) before moving any position.
    while (pendingRead_ > 0 && readOffset_ - pendingRead_ < n) {
      state.Unlock();
      { port::LockGuard waitForReader(readLock_); }
      state.Lock();
    }
    // Bytes lent to the reader start at readOffset and stay until they come back.
    if (lentUnread_ > 0) n = std::min<int64_t>(n, readOffset_);
  }
  uint8_t* at = store_ + writePos_;
  Advance(n);
  pendingWrite_ = static_cast<uint32_t>(n);
  *piece = static_cast<uint32_t>(n);
  return at;
}

void CCircMemBuf::Advance(int64_t length) {
  const int64_t size = size_;
  const bool wasWrapped = wrapped_;
  int64_t newPos = writePos_ + length;
  if (newPos >= size) {
    newPos = 0;
    wrapped_ = true;
  }
  if (wasWrapped) {
    readOffset_ -= length;
    oldest_ = newPos;
    if (readOffset_ < 0) {  // overtook the reader: the bytes it had not read are gone
      unread_ = unread_ + readOffset_;
      readOffset_ = 0;
      discontinuity_.exchange(1);
    }
  }
  writePos_ = newPos;
  unread_ = unread_ + length;
  writeCount_ += length;
}

HRESULT CCircMemBuf::LendRoom(uint32_t length, Lease* lease) {
  *lease = Lease{};
  writeRecord_.ClearStamps();
  TSStamp(writeRecord_.start);
  port::LockGuard state(stateLock_);
  if (!store_) return E_FAIL;
  // Not over unread bytes, nor over the piece a reader is copying out just behind them.
  if (length == 0 || length > size_ - unread_ - pendingRead_) return S_FALSE;
  Lend(writePos_, length, lease);
  TSStamp(writeRecord_.reserved);
  return S_OK;
}

void CCircMemBuf::ReturnRoom(const Lease& lease, bool filled) {
  TSStamp(writeRecord_.copied);
  {
    port::LockGuard state(stateLock_);
    if (LeaseBack(lease) && filled) {
      Advance(lease.length[0]);
      if (lease.length[1] > 0) Advance(lease.length[1]);
    }
  }
  TSStamp(writeRecord_.end);
}

HRESULT CCircMemBuf::LendUnread(uint32_t length, Lease* lease) {
  *lease = Lease{};
  readRecord_.ClearStamps();
  TSStamp(readRecord_.start);
  port::LockGuard state(stateLock_);
  if (!store_) return E_FAIL;
  const int64_t position = writeCount_ - unread_;
  while (!gaps_.empty() && gaps_.front() < position) gaps_.pop_front();
  const bool atGap = !gaps_.empty() && gaps_.front() == position;
  // A gap mark ahead ends the lease; the one it starts at stays until the bytes are consumed.
  const auto next = gaps_.begin() + (atGap ? 1 : 0);
  int64_t n = std::min<int64_t>(length, unread_ - pendingWrite_);
  if (next != gaps_.end()) n = std::min<int64_t>(n, *next - position);
  if (n <= 0) return S_FALSE;
  Lend(ReadPosition(), static_cast<uint32_t>(n), lease);
  lease->atGap = discontinuity_.exchange(0) != 0 || atGap;
  lentUnread_ = static_cast<uint32_t>(n);
  TSStamp(readRecord_.reserved);
  return S_OK;
}

void CCircMemBuf::ReturnUnread(const Lease& lease, uint32_t consumed) {
  TSStamp(readRecord_.copied);
  {
    port::LockGuard state(stateLock_);
    if (LeaseBack(lease)) {
      lentUnread_ = 0;
      if (consumed > 0) {
        const int64_t position = writeCount_ - unread_;
        while (!gaps_.empty() && gaps_.front() <= position) gaps_.pop_front();
        readOffset_ += consumed;
        unread_ = unread_ - consumed;
      }
    }
  }
  TSStamp(readRecord_.end);
}

void CCircMemBuf::CommitWrite(uint32_t actual) {
  {
    port::LockGuard state(stateLock_);
    if (actual < pendingWrite_) {
      const int64_t d = pendingWrite_ - actual;
      unread_ = unread_ - d;
      writeCount_ -= d;
      writePos_ = writePos_ == 0 ? size_ - d : writePos_ - d;
    }
    pendingWrite_ = 0;
  }
  writeLock_.Unlock();
}

HRESULT CCircMemBuf::Write(const void* data, uint32_t length, uint32_t* written) {
  // Nothing between reserving a piece and settling it can throw, so the side lock held across
  // them is always released.
  return Guarded([&]() -> HRESULT {
    if (!written) return E_POINTER;
    *written = 0;
    if (!data) return E_INVALIDARG;
    if (length > size_) length = static_cast<uint32_t>(int64_t{size_});
    writeRecord_.ClearStamps();
    TSStamp(writeRecord_.start);
    if (!open_) return E_FAIL;
    const auto* from = static_cast<const uint8_t*>(data);
    for (int pieces = 0; pieces < 2; ++pieces) {
      uint32_t piece = 0;
      uint8_t* at = GetWritePointer(length, &piece);
      TSStamp(writeRecord_.reserved);
      if (!at) return E_FAIL;
      std::memcpy(at, from, piece);
      TSStamp(writeRecord_.copied);
      CommitWrite(piece);
      *written += piece;
      if (length <= piece) break;
      length -= piece;
      from += piece;
    }
    TSStamp(writeRecord_.end);
    return S_OK;
  });
}

bool CCircMemBuf::RunsPastEnd(int64_t position, uint32_t length) const {
  return wrapped_ && position + length > size_;
}

HRESULT CCircMemBuf::GetReadPointer(uint32_t length, bool partial, uint8_t** piece, uint32_t* pieceLength,
                                    bool* atGap) {
  *piece = nullptr;
  *pieceLength = 0;
  *atGap = false;
  readLock_.Lock();
  port::UniqueLock state(stateLock_);
  HRESULT hr = S_OK;
  if (!store_) {
    hr = E_FAIL;
  } else {
    // Gap marks the reader has passed (a seek, an overtaking writer) need no report of their
    // own: whatever moved the reader reported it. The next mark ahead ends this piece.
    const int64_t position = writeCount_ - unread_;
    while (!gaps_.empty() && gaps_.front() < position) gaps_.pop_front();
    if (!gaps_.empty() && gaps_.front() == position) {
      *atGap = true;
      gaps_.pop_front();
    }
    if (!gaps_.empty()) length = static_cast<uint32_t>(std::min<int64_t>(length, gaps_.front() - position));
    // unread already counts a piece the writer has reserved but not yet copied; those bytes
    // are not there to be read.
    const uint32_t available = Clamp32(unread_ - pendingWrite_);
    if (available < length) {
      if (endOfStream_ || partial)
        length = available;
      else
        hr = S_FALSE;
    }
    if (hr == S_OK && length == 0 && partial) hr = S_FALSE;
    // A mark not yet reported stays until a read that can take bytes reports it.
    if (hr != S_OK && *atGap) {
      gaps_.push_front(position);
      *atGap = false;
    }
  }
  if (hr != S_OK) {
    state.Unlock();
    readLock_.Unlock();
    return hr;
  }
  const int64_t position = ReadPosition();
  if (RunsPastEnd(position, length)) length = static_cast<uint32_t>(size_ - position);
  pendingRead_ = length;
  readOffset_ += length;
  unread_ = unread_ - length;
  if (readOffset_ > size_) readOffset_ = size_;
  *piece = store_ + position;
  *pieceLength = length;
  return S_OK;
}

void CCircMemBuf::CommitRead(uint32_t actual) {
  {
    port::LockGuard state(stateLock_);
    if (actual < pendingRead_) {
      const int64_t d = pendingRead_ - actual;
      readOffset_ -= d;
      unread_ = unread_ + d;
    }
    pendingRead_ = 0;
  }
  readLock_.Unlock();
}

HRESULT CCircMemBuf::Read(void* dest, uint32_t length, uint32_t* read, bool* discontinuity) {
  return ReadImpl(dest, length, false, read, discontinuity);
}

HRESULT CCircMemBuf::ReadAvailable(void* dest, uint32_t length, uint32_t* read, bool* discontinuity) {
  return ReadImpl(dest, length, true, read, discontinuity);
}

HRESULT CCircMemBuf::ReadImpl(void* dest, uint32_t length, bool partial, uint32_t* read, bool* discontinuity) {
  return Guarded([&]() -> HRESULT {
    if (!read || !discontinuity) return E_POINTER;
    *read = 0;
    *discontinuity = false;
    if (!dest) return E_INVALIDARG;
    readRecord_.ClearStamps();
    if (!open_) return E_FAIL;
    TSStamp(readRecord_.start);
    uint8_t* piece = nullptr;
    uint32_t pieceLength = 0;
    bool atGap = false;
    const HRESULT reserved = GetReadPointer(length, partial, &piece, &pieceLength, &atGap);
    if (reserved == S_FALSE) return S_OK;  // not enough data yet; a pending discontinuity waits
    if (FAILED(reserved)) return reserved;
    TSStamp(readRecord_.reserved);
    if (discontinuity_.exchange(0) != 0 || atGap) *discontinuity = true;
    HRESULT hr = E_FAIL;  // end of stream reached and nothing left
    if (pieceLength > 0) {
      std::memcpy(dest, piece, pieceLength);
      *read = pieceLength;
      hr = S_OK;
    }
    TSStamp(readRecord_.copied);
    CommitRead(pieceLength);
    TSStamp(readRecord_.end);
    return hr;
  });
}

}  // namespace ovts
