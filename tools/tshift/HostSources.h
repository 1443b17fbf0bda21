// What the host's two source filters share: allocator sizing, sample stamping, and the source
// filter with its one stream pin. Called on the graph's threads (allocators, creation) and the
// streaming thread (stamping).
#pragma once

#include <dshow.h>

#include <cstdint>
#include <new>

#include "framework/CSource.h"
#include "framework/ComKit.h"

namespace ovts::tshift {

// Asks the allocator for count buffers of size bytes; E_FAIL when they come out smaller.
HRESULT SetSampleBuffers(IMemAllocator* allocator, const ALLOCATOR_PROPERTIES* request, long count, long size);

// Times are stream positions (bytes x 10,000,000), as the framework's sources stamp them.
HRESULT StampSample(IMediaSample* sample, uint64_t start, uint64_t stop, bool discontinuity);

// A source filter with one stream pin, which the CSource pin list owns. Threads: as CSource.
template <class StreamPin>
class CHostSource : public CSource {
 public:
  StreamPin* Stream() { return stream_; }

 protected:
  explicit CHostSource(const CLSID& clsid) noexcept : CSource(nullptr, clsid) {}

  // A new Filter (a friend-constructible CHostSource) with one reference and its pin, built as
  // StreamPin(result, filter, args...).
  template <class Filter, class... Args>
  static HRESULT CreateWithStream(Filter** result, Args... args) {
    RETURN_HR_IF_NULL(E_POINTER, result);
    *result = nullptr;
    auto* created = new (std::nothrow) Filter();
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, created);
    created->NonDelegatingAddRef();
    HRESULT hr = S_OK;
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

}  // namespace ovts::tshift
