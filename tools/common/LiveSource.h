// What the tools' live sources share: a source filter with one output pin that pushes a byte
// stream (MEDIATYPE_Stream with a subtype of the source's choice) in samples stamped with their
// stream positions (bytes x 10,000,000), the first after each start marked as a discontinuity,
// as fast as downstream takes them or held to a rate. A source says only how its bytes come
// about (Produce).
//
// Threads: the pin's streaming thread produces and delivers; the counters are read from any
// thread. Produce may wait, but looks out for commands (CheckRequest) meanwhile.
#pragma once

#include <dshow.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "framework/CSource.h"
#include "OVTimeShiftTypes.h"
#include "framework/CSourceStream.h"
#include "framework/ComKit.h"
#include "tools/common/RateClock.h"

namespace ovts::tools {

struct LiveStreamFormat {
  const wchar_t* pinName = L"Out";
  GUID subtype = GUID_NULL;
  long sampleBytes = 4096;
  long sampleCount = 4;
  uint64_t bytesPerSecond = 0;  // 0: as fast as downstream takes the samples
  uint64_t startPosition = 0;   // stream position of the first byte
  // True when a sample downstream refused is gone for good (read input, generated packets);
  // false when the source makes the same bytes again for their position.
  bool refusedBytesAreGone = true;
};

class CLiveStream : public CSourceStream {
 public:
  CLiveStream(HRESULT* result, CSource* filter, const LiveStreamFormat& format);

  using CSourceStream::GetMediaType;
  HRESULT GetMediaType(CMediaType* type) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
  HRESULT FillBuffer(IMediaSample* sample) final;
  // An empty sample (Produce found a command waiting) is not sent.
  HRESULT Deliver(IMediaSample* sample) override;
  HRESULT OnThreadStartPlay() override;

  // Bytes downstream accepted.
  uint64_t BytesDelivered() const { return delivered_.load(); }
  // Stream position just past the last sample downstream accepted.
  int64_t AcceptedEnd() const { return acceptedEnd_.load(); }

 protected:
  // The stream's next bytes, at most capacity, for stream position `position`, into data.
  // S_FALSE ends the stream; a length of 0 sends nothing.
  virtual HRESULT Produce(uint8_t* data, size_t capacity, uint64_t position, size_t* length) = 0;

 private:
  // Holds the stream to its rate, looking out for commands meanwhile.
  void Pace();

  const LiveStreamFormat format_;
  uint64_t position_;               // streaming thread: stream position of the next sample
  bool discontinuity_ = true;       // streaming thread
  uint64_t paceOrigin_ = 0;         // streaming thread: position when the loop started
  RateClock clock_;                 // streaming thread
  std::atomic<uint64_t> delivered_{0};   // atomic
  std::atomic<int64_t> acceptedEnd_{0};  // atomic
};

// A source filter with one stream pin, which the CSource pin list owns. Threads: as CSource.
template <class StreamPin>
class CLiveSource : public CSource {
 public:
  StreamPin* Stream() { return stream_; }
  IPin* Output() { return stream_; }

 protected:
  explicit CLiveSource(const CLSID& clsid) noexcept : CSource(nullptr, clsid) {}

  // A new Filter (friend-constructible) with one reference and its pin, built as
  // StreamPin(result, filter, args...).
  template <class Filter, class... Args>
  static HRESULT CreateWithStream(Filter** result, const Args&... args) {
    RETURN_HR_IF_NULL(E_POINTER, result);
    *result = nullptr;
    auto* created = new (std::nothrow) Filter();
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, created);
    created->NonDelegatingAddRef();
    HRESULT hr = S_OK;
    // The pin list owns the pin; a constructor that fails leaves it out of the list.
    auto* pin = new (std::nothrow) StreamPin(&hr, created, args...);
    if (!pin || FAILED(hr)) {
      delete pin;
      created->NonDelegatingRelease();
      return FAILED(hr) ? hr : E_OUTOFMEMORY;
    }
    created->stream_ = pin;
    *result = created;
    return S_OK;
  }

 private:
  StreamPin* stream_ = nullptr;  // owned through the CSource pin list
};

}  // namespace ovts::tools
