// The file buffer in stream time and for readers of their own: where the retained stream lies,
// the time figures, seeking by seconds through the clock index, and positional reads of retained
// stream bytes on a reader's own handle (the exporter).
#include <algorithm>
#include <cmath>

#include "buffer/CCircFileBuf.h"
#include "platform/Result.h"

namespace ovts {

CCircFileBuf::StreamSpan CCircFileBuf::SpanLocked() {
  StreamSpan span;
  const int64_t front = fileWritten_ - DataSize();
  span.oldest = front + std::min<int64_t>(reservedFront_, DataSize());
  span.stored = fileWritten_;
  span.live = fileWritten_ + writeCache_.GetUnreadBytes();
  // The read cache may still hold bytes the writer has since replaced in the file.
  span.play = std::max(front, fileWritten_ - unread_ - readCache_.GetUnreadBytes());
  if (options_ & ExtendWhenFull)
    span.room = -1;
  else
    span.room = wrapped_ ? 0 : std::max<int64_t>(0, size_ - writePos_);
  span.epoch = writeEpoch_.load();
  return span;
}

CCircFileBuf::StreamSpan CCircFileBuf::GetStreamSpan() {
  port::LockGuard state(stateLock_);
  return SpanLocked();
}

TSTimeStatus CCircFileBuf::GetTimeStatus() {
  const StreamSpan span = GetStreamSpan();
  TSTimeStatus status{-1, -1, -1, 0, GetDroppedBytes(), TSTIME_NONE, 0};
  const double rate = clock_.BytesPerSecond();
  status.bitsPerSecond = static_cast<uint64_t>(std::llround(rate * 8));
  if (span.room == 0)
    status.secondsUntilOverwrite = 0;
  else if (span.room > 0 && rate > 0)
    status.secondsUntilOverwrite = static_cast<double>(span.room) / rate;
  const std::optional<double> retained = clock_.SecondsBetween(span.oldest, span.live);
  if (!retained) return status;
  status.retainedSeconds = std::max(0.0, *retained);
  status.delaySeconds = std::max(0.0, clock_.SecondsBetween(span.play, span.live).value_or(0));
  status.source = clock_.Source() == CTSClockIndex::TimeSource::kStreamClock ? TSTIME_STREAM_CLOCK
                                                                              : TSTIME_MEASURED_RATE;
  return status;
}

HRESULT CCircFileBuf::SeekToTime(int64_t reference, double seconds, int64_t* landed) {
  return Guarded([&]() -> HRESULT {
    if (!landed) return E_POINTER;
    *landed = 0;
    if (!std::isfinite(seconds)) return E_INVALIDARG;
    {
      port::LockGuard read(readLock_);
      port::LockGuard state(stateLock_);
      if (!open_) return E_FAIL;
      const StreamSpan span = SpanLocked();
      const int64_t from = reference == kLiveEdge ? span.live : reference;
      // Only bytes in the file can be played from: the write cache's are not there yet.
      const std::optional<int64_t> target = clock_.PositionAt(from, seconds, span.oldest, span.stored);
      if (!target) return E_PENDING;
      const int64_t front = fileWritten_ - DataSize();
      int64_t offset = 0;
      RETURN_IF_FAILED(SeekLocked(*target - front, 0, &offset));
      ResetReadCache();
      *landed = front + offset;
    }
    readWake_.Set();
    return S_OK;
  });
}

HRESULT CCircFileBuf::OpenStreamReader(port::File* handle, uint32_t* epoch) {
  if (!handle || !epoch) return E_POINTER;
  port::LockGuard state(stateLock_);
  if (!open_ || !writeHandle_.is_open()) return E_FAIL;
  if (!handle->Duplicate(writeHandle_)) return LastErrorResult();
  *epoch = writeEpoch_.load();
  return S_OK;
}

int64_t CCircFileBuf::FileOffsetOf(int64_t position) const {
  // writePos_ is where stream position fileWritten_ goes; older bytes lie before it, round the end.
  const int64_t offset = writePos_ - (fileWritten_ - position);
  return offset < 0 ? offset + size_ : offset;
}

HRESULT CCircFileBuf::ReadStream(port::File& handle, uint32_t epoch, int64_t position, void* dest,
                                 uint32_t length, uint32_t* read) {
  return Guarded([&]() -> HRESULT {
    if (!read) return E_POINTER;
    *read = 0;
    if (!dest) return E_INVALIDARG;
    int64_t offset = 0, size = 0;
    uint32_t want = 0;
    {
      port::LockGuard state(stateLock_);
      if (!open_ || epoch != writeEpoch_.load()) return OVTS_E_STREAM_RESET;
      // A write in flight over the oldest bytes has them reserved: they count as replaced.
      if (position < SpanLocked().oldest) return OVTS_E_OVERTAKEN;
      want = static_cast<uint32_t>(std::clamp<int64_t>(fileWritten_ - position, 0, length));
      if (want == 0) return S_OK;
      offset = FileOffsetOf(position);
      size = size_;
    }
    // Positional reads on the reader's own handle, with no lock held: the writer goes on.
    auto* to = static_cast<uint8_t*>(dest);
    const uint32_t first = static_cast<uint32_t>(std::min<int64_t>(want, size - offset));
    uint32_t got = 0, more = 0;
    bool ok = handle.ReadAt(offset, to, first, &got) && got == first;
    if (ok && first < want) ok = handle.ReadAt(0, to + first, want - first, &more) && more == want - first;
    if (!ok) return LastErrorResult();
    // The bytes are good unless a write began over them before the read ended: such a write
    // reserves them first, and once settled it has moved the oldest position past them.
    port::LockGuard state(stateLock_);
    if (!open_ || epoch != writeEpoch_.load()) return OVTS_E_STREAM_RESET;
    if (position < SpanLocked().oldest) return OVTS_E_OVERTAKEN;
    *read = want;
    return S_OK;
  });
}

}  // namespace ovts
