#include "buffer/CTSExporter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "platform/Result.h"

namespace ovts {

namespace {
constexpr uint32_t kWaitMs = 250;  // the thread looks again at least this often
constexpr uint32_t kPacket = CTSClockIndex::kPacketSize;
constexpr uint8_t kSync = CTSClockIndex::kSyncByte;
constexpr uint32_t kSyncRun = CTSClockIndex::kSyncRun;
constexpr uint32_t kResyncRun = 3;  // sync bytes a packet apart that find the packet step after a break

bool SyncRun(const uint8_t* data, uint32_t length, uint32_t at, uint32_t run) {
  if (at + (run - 1) * kPacket >= length) return false;
  for (uint32_t k = 0; k < run; ++k)
    if (data[at + k * kPacket] != kSync) return false;
  return true;
}

bool Usable(double seconds) { return std::isfinite(seconds) && seconds >= 0; }
}  // namespace

HRESULT CTSExporter::Start(const char* path, double startBehindLive, double endBehindLive) {
  return Guarded([&]() -> HRESULT {
    if (!path || !*path) return E_INVALIDARG;
    const bool follow = endBehindLive == kFollowLive;
    if (!Usable(startBehindLive) || (!follow && (!Usable(endBehindLive) || endBehindLive >= startBehindLive)))
      return E_INVALIDARG;
    port::LockGuard lock(lock_);
    if (state_.load() == TSEXPORT_RUNNING) return HRESULT_FROM_WIN32(ERROR_BUSY);
    if (!buffer_.IsOpen()) return E_FAIL;
    thread_.Join(port::kInfinite);  // one that ended by itself

    const CCircFileBuf::StreamSpan span = buffer_.GetStreamSpan();
    const CTSClockIndex& clock = buffer_.clock();
    // The start must be in the file to land on a packet; the end may still be in the write cache.
    const std::optional<int64_t> start = clock.PositionAt(span.live, -startBehindLive, span.oldest, span.stored);
    const std::optional<int64_t> end =
        follow ? std::optional<int64_t>(std::numeric_limits<int64_t>::max())
               : clock.PositionAt(span.live, -endBehindLive, span.oldest, span.live);
    if (!start || !end) return E_PENDING;
    RETURN_IF_FAILED(buffer_.OpenStreamReader(&reader_, &epoch_));
    if (epoch_ != span.epoch) {  // flushed meanwhile: the positions are another stream's
      reader_.Close();
      return E_PENDING;
    }
    int64_t at = 0;
    if (!file_.Open(path, 0) || !file_.Seek(0, port::File::From::kBegin, &at) || !file_.SetEnd()) {
      const HRESULT hr = LastErrorResult();
      file_.Close();
      reader_.Close();
      return hr;
    }
    path_ = path;
    pos_ = *start;
    end_ = *end;
    follow_ = follow;
    kind_ = Kind::kUnknown;
    cancel_.store(false);
    stopWake_.Reset();
    bytes_.store(0);
    seconds_.store(0);
    result_.store(S_OK);
    state_.store(TSEXPORT_RUNNING);
    if (!thread_.Start(&CTSExporter::ThreadMain, this)) {
      const HRESULT hr = LastErrorResult();
      Finish(TSEXPORT_FAILED, hr);
      return hr;
    }
    return S_OK;
  });
}

HRESULT CTSExporter::Stop() {
  port::LockGuard lock(lock_);
  return EndThread(false);
}

HRESULT CTSExporter::Cancel() {
  port::LockGuard lock(lock_);
  return EndThread(true);
}

void CTSExporter::Join() {
  port::LockGuard lock(lock_);
  thread_.Join(port::kInfinite);
}

HRESULT CTSExporter::EndThread(bool cancel) {
  if (state_.load() != TSEXPORT_RUNNING) {
    thread_.Join(port::kInfinite);
    return S_FALSE;
  }
  cancel_.store(cancel);
  stopWake_.Set();
  thread_.Join(port::kInfinite);
  return S_OK;
}

TSExportProgress CTSExporter::Progress() const {
  TSExportProgress progress{};
  progress.state = state_.load();  // first: the figures below are at least as new
  progress.result = result_.load();
  progress.bytesWritten = bytes_.load();
  progress.secondsCovered = seconds_.load();
  return progress;
}

uint32_t CTSExporter::ThreadMain(void* self) { return static_cast<CTSExporter*>(self)->Run(); }

uint32_t CTSExporter::Run() {
  const std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[kChunk]);
  if (!data) {
    Finish(TSEXPORT_FAILED, E_OUTOFMEMORY);
    return 0;
  }
  for (;;) {
    if (stopWake_.Wait(0)) {
      Finish(cancel_.load() ? TSEXPORT_CANCELLED : TSEXPORT_DONE, S_OK);
      return 0;
    }
    const int64_t left = end_ - pos_;
    if (left <= 0) break;
    const uint32_t want = static_cast<uint32_t>(std::min<int64_t>(kChunk, left));
    uint32_t got = 0;
    HRESULT hr = buffer_.ReadStream(reader_, epoch_, pos_, data.get(), want, &got);
    if (hr == OVTS_E_STREAM_RESET && follow_) break;
    uint32_t consumed = 0;
    if (SUCCEEDED(hr) && got > 0) hr = Save(data.get(), got, got == left, &consumed);
    if (FAILED(hr)) {
      Finish(TSEXPORT_FAILED, hr);
      return 0;
    }
    if (consumed > 0) {
      seconds_.store(seconds_.load() + buffer_.clock().SecondsBetween(pos_, pos_ + consumed).value_or(0));
      pos_ += consumed;
    } else {
      // The bytes wanted are not in the file yet: wait until more settle there.
      port::Event::WaitEither(stopWake_, buffer_.StoredWake(), kWaitMs);
    }
  }
  Finish(TSEXPORT_DONE, S_OK);
  return 0;
}

HRESULT CTSExporter::Save(uint8_t* data, uint32_t length, bool atEnd, uint32_t* consumed) {
  *consumed = 0;
  if (kind_ == Kind::kUnknown) {
    // A transport stream shows a run of sync bytes within its first packet's length.
    if (length < (kSyncRun + 1) * kPacket && !atEnd) return S_OK;
    kind_ = Kind::kOther;
    for (uint32_t at = 0; at < kPacket; ++at) {
      if (SyncRun(data, length, at, kSyncRun)) {
        kind_ = Kind::kTransport;
        break;
      }
    }
  }
  if (kind_ == Kind::kOther) {
    RETURN_IF_FAILED(Append(data, length));
    *consumed = length;
    return S_OK;
  }
  // Whole packets with their sync byte, gathered at the front of `data`. Where the packet step
  // breaks (a gap), bytes are skipped up to the next run of sync bytes. A packet the read cut
  // waits for the next read.
  uint32_t kept = 0, at = 0;
  while (at + kPacket <= length) {
    if (data[at] == kSync) {
      std::memmove(data + kept, data + at, kPacket);
      kept += kPacket;
      at += kPacket;
      continue;
    }
    uint32_t next = at + 1;
    while (next + (kResyncRun - 1) * kPacket < length && !SyncRun(data, length, next, kResyncRun)) ++next;
    at = next;
    if (!SyncRun(data, length, at, kResyncRun)) break;  // look on with the next read
  }
  // The end of the range may hold less than a packet: it is done with.
  if (atEnd) at = length;
  RETURN_IF_FAILED(Append(data, kept));
  *consumed = at;
  return S_OK;
}

HRESULT CTSExporter::Append(const uint8_t* data, uint32_t length) {
  for (uint32_t done = 0; done < length;) {
    uint32_t put = 0;
    if (!file_.Write(data + done, length - done, &put) || put == 0) return LastErrorResult();
    done += put;
  }
  bytes_.fetch_add(length);
  return S_OK;
}

void CTSExporter::Finish(TSExportState state, HRESULT result) {
  file_.Close();
  reader_.Close();
  if (state == TSEXPORT_CANCELLED) port::DeleteFileAt(path_.c_str());
  result_.store(result);
  state_.store(state);
}

}  // namespace ovts
