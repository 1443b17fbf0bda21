#include "tools/common/LiveSource.h"

#include <algorithm>
#include <thread>

namespace ovts::tools {

namespace {
constexpr auto kPaceSlice = std::chrono::milliseconds(10);  // how soon a waiting pace sees a command
}  // namespace

CLiveStream::CLiveStream(HRESULT* result, CSource* filter, const LiveStreamFormat& format)
    : CSourceStream(result, filter, format.pinName),
      format_(format),
      position_(format.startPosition),
      clock_(format.bytesPerSecond) {}

HRESULT CLiveStream::GetMediaType(CMediaType* type) {
  type->Clear();
  type->majortype = MEDIATYPE_Stream;
  type->subtype = format_.subtype;
  return S_OK;
}

HRESULT CLiveStream::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  ALLOCATOR_PROPERTIES wanted{format_.sampleCount, format_.sampleBytes, std::max(request->cbAlign, 1L), 0};
  ALLOCATOR_PROPERTIES actual{};
  RETURN_IF_FAILED(allocator->SetProperties(&wanted, &actual));
  RETURN_HR_IF(E_FAIL, actual.cbBuffer < format_.sampleBytes);
  return S_OK;
}

HRESULT CLiveStream::OnThreadStartPlay() {
  discontinuity_ = true;
  paceOrigin_ = position_;
  clock_.Restart();
  return S_OK;
}

void CLiveStream::Pace() {
  for (;;) {
    const auto left = clock_.Until(position_ - paceOrigin_);
    if (left <= RateClock::Clock::duration::zero() || CheckRequest(nullptr)) return;
    std::this_thread::sleep_for(std::clamp<RateClock::Clock::duration>(left, std::chrono::milliseconds(1), kPaceSlice));
  }
}

HRESULT CLiveStream::FillBuffer(IMediaSample* sample) {
  BYTE* data = nullptr;
  RETURN_IF_FAILED(sample->GetPointer(&data));
  const auto capacity = static_cast<size_t>(std::min(format_.sampleBytes, sample->GetSize()));
  size_t length = 0;
  RETURN_IF_NOT_OK(Produce(data, capacity, position_, &length));
  Pace();
  RETURN_IF_FAILED(sample->SetActualDataLength(static_cast<long>(length)));
  REFERENCE_TIME start = static_cast<REFERENCE_TIME>(position_) * TS_UNITS_PER_SECOND;
  REFERENCE_TIME stop = static_cast<REFERENCE_TIME>(position_ + length) * TS_UNITS_PER_SECOND;
  RETURN_IF_FAILED(sample->SetTime(&start, &stop));
  RETURN_IF_FAILED(sample->SetDiscontinuity(discontinuity_));
  return sample->SetSyncPoint(TRUE);
}

HRESULT CLiveStream::Deliver(IMediaSample* sample) {
  const long length = sample->GetActualDataLength();
  if (length <= 0) return S_OK;
  const HRESULT hr = CSourceStream::Deliver(sample);
  if (hr == S_OK || format_.refusedBytesAreGone) position_ += static_cast<uint64_t>(length);
  if (hr == S_OK) {
    delivered_.fetch_add(static_cast<uint64_t>(length));
    acceptedEnd_.store(static_cast<int64_t>(position_));
    discontinuity_ = false;
  }
  return hr;
}

}  // namespace ovts::tools
