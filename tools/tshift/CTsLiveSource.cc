#include "tools/tshift/CTsLiveSource.h"

#include <algorithm>
#include <new>

#include "framework/ComKit.h"
#include "tools/tshift/HostSources.h"

namespace ovts::tshift {

namespace {
// {0B5E2C61-4F3A-4D7E-9C21-7A1E5D3B9F01}
constexpr CLSID kTsLiveSourceClsid = {0x0b5e2c61, 0x4f3a, 0x4d7e, {0x9c, 0x21, 0x7a, 0x1e, 0x5d, 0x3b, 0x9f, 0x01}};
constexpr long kPacketsPerSample = 64;  // 12,032 bytes: about 12 ms at 8 Mbit/s
constexpr long kSampleCount = 16;
constexpr uint32_t kPaceSliceMs = 10;
}  // namespace

CTsLiveStream::CTsLiveStream(HRESULT* result, CSource* filter, uint32_t bitsPerSecond)
    : CSourceStream(result, filter, L"TS Out"),
      bytesPerSecond_(std::max<uint32_t>(bitsPerSecond / 8, 1)),
      generator_(tools::TsStreamLayout{.bitRate = bitsPerSecond}) {}

HRESULT CTsLiveStream::GetMediaType(CMediaType* type) {
  type->Clear();
  type->majortype = MEDIATYPE_Stream;
  type->subtype = MEDIASUBTYPE_MPEG2_TRANSPORT;
  return S_OK;
}

HRESULT CTsLiveStream::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  return SetSampleBuffers(allocator, request, kSampleCount, kPacketsPerSample * tools::kTsPacketSize);
}

HRESULT CTsLiveStream::OnThreadStartPlay() {
  discontinuity_ = true;
  paceOrigin_ = generator_.packets() * tools::kTsPacketSize;
  paceStart_ = port::PerformanceCounter();
  return S_OK;
}

void CTsLiveStream::Pace(uint64_t position) {
  const int64_t due =
      paceStart_ + static_cast<int64_t>((position - paceOrigin_) * port::PerformanceFrequency() / bytesPerSecond_);
  for (;;) {
    const int64_t left = due - port::PerformanceCounter();
    if (left <= 0 || CheckRequest(nullptr)) return;
    const int64_t ms = left * 1000 / port::PerformanceFrequency();
    port::SleepMs(static_cast<uint32_t>(std::clamp<int64_t>(ms, 1, kPaceSliceMs)));
  }
}

HRESULT CTsLiveStream::FillBuffer(IMediaSample* sample) {
  const long packets = std::min<long>(kPacketsPerSample, sample->GetSize() / static_cast<long>(tools::kTsPacketSize));
  const uint64_t start = generator_.packets() * tools::kTsPacketSize;
  Pace(start);
  BYTE* data = nullptr;
  RETURN_IF_FAILED(sample->GetPointer(&data));
  generator_.Next(data, static_cast<size_t>(packets));
  const uint64_t stop = generator_.packets() * tools::kTsPacketSize;
  RETURN_IF_FAILED(sample->SetActualDataLength(static_cast<long>(stop - start)));
  return StampSample(sample, start, stop, discontinuity_);
}

HRESULT CTsLiveStream::Deliver(IMediaSample* sample) {
  const HRESULT hr = CSourceStream::Deliver(sample);
  if (hr == S_OK) {
    recorded_.store(static_cast<int64_t>(generator_.packets() * tools::kTsPacketSize));
    discontinuity_ = false;
  }
  return hr;
}

CTsLiveSource::CTsLiveSource() noexcept : CHostSource(kTsLiveSourceClsid) {}

}  // namespace ovts::tshift
