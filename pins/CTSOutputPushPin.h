// The time-shift filter's output pin, "Push". Its streaming thread takes an empty sample from its
// own allocator (32 buffers of 32,768 bytes), has the filter fill it from the buffer at the play
// position and delivers it; an empty sample means nothing to give yet, and the thread waits for
// the filter's wake (or a command). Sample times are stream positions of this pin (bytes x 10,000,000).
//
// Threads: the streaming thread runs DoBufferProcessingLoop and takes no filter lock itself
// (ReadSample takes the playback lock); graph threads connect and negotiate under the state lock;
// the filter sets the type index when the input pin connects or disconnects.
#pragma once

#include <dshow.h>

#include <atomic>

#include "framework/CSourceStream.h"

namespace ovts {

class ITSPinOwner;

class CTSOutputPushPin final : public CSourceStream {
 public:
  static constexpr long kBufferCount = 32;
  static constexpr long kBufferSize = 32768;

  // `owner` fills the samples.
  CTSOutputPushPin(HRESULT* result, CSource* filter, ITSPinOwner& owner, const WCHAR* name) noexcept;
  ~CTSOutputPushPin() override;

  // The loop below fills samples through the filter instead.
  HRESULT FillBuffer(IMediaSample*) override { return S_OK; }
  HRESULT DoBufferProcessingLoop() override;

  HRESULT CheckMediaType(const AM_MEDIA_TYPE* type) override;
  HRESULT SetMediaType(const AM_MEDIA_TYPE* type) override;
  using CSourceStream::GetMediaType;
  // With a type index: that row, then the stream type with null subtype; otherwise every row.
  HRESULT GetMediaType(int position, CMediaType* type) override;
  // Always the pin's own allocator, announced read-write; downstream's is not asked for.
  HRESULT DecideAllocator(IMemInputPin* input, IMemAllocator** allocator) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;

  // The streaming loop runs (it reads the filter's state at every sample).
  bool IsStreaming() const noexcept { return streaming_.load(); }

  // Stream-type row of the input's connection, or -1.
  void SetTypeIndex(int row) noexcept { typeIndex_.store(row); }
  int TypeIndex() const noexcept { return typeIndex_.load(); }

 private:
  ITSPinOwner& owner_;  // the filter, which owns this pin
  std::atomic<int> typeIndex_{-1};  // atomic; set by the filter under the state lock
  REFERENCE_TIME timeBase_ = 0;     // streaming thread; kept across stops
  std::atomic<bool> streaming_{false};  // atomic; written by the streaming thread
};

}  // namespace ovts
