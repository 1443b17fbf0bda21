#include "tools/tshift/CStdinSource.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "framework/ComKit.h"

namespace ovts::tshift {

namespace {
// {0B5E2C61-4F3A-4D7E-9C21-7A1E5D3B9F02}
constexpr CLSID kStdinSourceClsid = {0x0b5e2c61, 0x4f3a, 0x4d7e, {0x9c, 0x21, 0x7a, 0x1e, 0x5d, 0x3b, 0x9f, 0x02}};
constexpr long kSampleBytes = 65536;
constexpr long kSampleCount = 8;
constexpr size_t kReadBytes = 65536;
constexpr size_t kQueueLimit = 8 * 1024 * 1024;  // then the reader waits: back-pressure on the writer
constexpr uint32_t kTakeWaitMs = 20;             // how soon the streaming thread sees a command
}  // namespace

bool StdinQueue::Start(HANDLE input, std::shared_ptr<StdinQueue>* queue) {
  *queue = std::make_shared<StdinQueue>();
  std::shared_ptr<StdinQueue> shared = *queue;
  try {
    std::thread([shared, input] { shared->ReadAll(input); }).detach();
  } catch (...) {
    return false;
  }
  return true;
}

void StdinQueue::ReadAll(HANDLE input) {
  for (;;) {
    std::vector<uint8_t> chunk(kReadBytes);
    DWORD n = 0;
    const bool ok = ReadFile(input, chunk.data(), static_cast<DWORD>(chunk.size()), &n, nullptr) != FALSE;
    const DWORD error = ok ? 0 : GetLastError();
    std::unique_lock<std::mutex> guard(mutex_);
    if (!ok || n == 0) {
      if (error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF) error_ = error;
      ended_ = true;
      changed_.notify_all();
      return;
    }
    chunk.resize(n);
    changed_.wait(guard, [&] { return queued_ < kQueueLimit; });
    queued_ += n;
    chunks_.push_back(std::move(chunk));
    changed_.notify_all();
  }
}

size_t StdinQueue::Take(uint8_t* dest, size_t capacity, uint32_t waitMs) {
  std::unique_lock<std::mutex> guard(mutex_);
  changed_.wait_for(guard, std::chrono::milliseconds(waitMs), [&] { return queued_ > 0 || ended_; });
  size_t got = 0;
  while (got < capacity && !chunks_.empty()) {
    std::vector<uint8_t>& chunk = chunks_.front();
    const size_t piece = std::min(capacity - got, chunk.size() - front_);
    std::memcpy(dest + got, chunk.data() + front_, piece);
    got += piece;
    front_ += piece;
    if (front_ == chunk.size()) {
      chunks_.pop_front();
      front_ = 0;
    }
  }
  queued_ -= got;
  if (got) changed_.notify_all();
  return got;
}

bool StdinQueue::Drained() {
  std::lock_guard<std::mutex> guard(mutex_);
  return ended_ && queued_ == 0;
}

DWORD StdinQueue::ReadError() {
  std::lock_guard<std::mutex> guard(mutex_);
  return error_;
}

CStdinStream::CStdinStream(HRESULT* result, CSource* filter, std::shared_ptr<StdinQueue> queue)
    : CLiveStream(result, filter, {.pinName = L"Stdin Out", .sampleBytes = kSampleBytes, .sampleCount = kSampleCount}),
      queue_(std::move(queue)) {}

HRESULT CStdinStream::Produce(uint8_t* data, size_t capacity, uint64_t, size_t* length) {
  *length = 0;
  while (*length == 0 && !CheckRequest(nullptr)) {
    *length = queue_->Take(data, capacity, kTakeWaitMs);
    if (*length == 0 && queue_->Drained()) return S_FALSE;
  }
  return S_OK;
}

CStdinSource::CStdinSource() noexcept : CLiveSource(kStdinSourceClsid) {}

HRESULT CStdinSource::Create(HANDLE input, CStdinSource** source) {
  std::shared_ptr<StdinQueue> queue;
  RETURN_HR_IF(E_OUTOFMEMORY, !StdinQueue::Start(input, &queue));
  return CreateWithStream(source, queue);
}

}  // namespace ovts::tshift
