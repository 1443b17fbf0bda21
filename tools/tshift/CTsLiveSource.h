// The demo's live source: a CSource whose one output pin pushes a TsGenerator transport stream
// (MEDIATYPE_Stream / MEDIASUBTYPE_MPEG2_TRANSPORT) paced at a bit rate, as a tuner would. It
// pushes while the graph is Paused or Running. Sample times are stream positions
// (bytes x 10,000,000); the first sample after each start is marked as a discontinuity.
//
// Threads: the pin's streaming thread generates and delivers; the host reads Recorded() from any
// thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "framework/CSource.h"
#include "framework/CSourceStream.h"
#include "tools/common/TsGenerator.h"
#include "tools/tshift/HostSources.h"

namespace ovts::tshift {

class CTsLiveStream final : public CSourceStream {
 public:
  CTsLiveStream(HRESULT* result, CSource* filter, uint32_t bitsPerSecond);

  using CSourceStream::GetMediaType;
  HRESULT GetMediaType(CMediaType* type) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
  HRESULT FillBuffer(IMediaSample* sample) override;
  HRESULT Deliver(IMediaSample* sample) override;
  HRESULT OnThreadStartPlay() override;

  // Stream position just past the last sample the filter accepted: the bytes recorded.
  int64_t Recorded() const { return recorded_.load(); }

 private:
  // Holds the stream to its bit rate, looking out for commands meanwhile.
  void Pace(uint64_t position);

  const uint32_t bytesPerSecond_;
  tools::TsGenerator generator_;  // streaming thread
  bool discontinuity_ = true;     // streaming thread
  uint64_t paceOrigin_ = 0;       // streaming thread: stream position when the loop started
  int64_t paceStart_ = 0;         // streaming thread: counter when the loop started
  std::atomic<int64_t> recorded_{0};  // atomic
};

class CTsLiveSource final : public CHostSource<CTsLiveStream> {
 public:
  // A new source with one reference.
  static HRESULT Create(uint32_t bitsPerSecond, CTsLiveSource** source) {
    return CreateWithStream(source, bitsPerSecond);
  }

 private:
  friend class CHostSource<CTsLiveStream>;
  CTsLiveSource() noexcept;
};

}  // namespace ovts::tshift
