// What the host's two source filters share: allocator sizing, sample stamping and creation of a
// CSource with its one stream pin. Called on the graph's threads (allocators, creation) and the
// streaming thread (stamping).
#pragma once

#include <dshow.h>

#include <cstdint>
#include <new>

#include "framework/ComKit.h"

namespace ovts::tshift {

// Asks the allocator for count buffers of size bytes; E_FAIL when they come out smaller.
HRESULT SetSampleBuffers(IMemAllocator* allocator, const ALLOCATOR_PROPERTIES* request, long count, long size);

// Times are stream positions (bytes x 10,000,000), as the framework's sources stamp them.
HRESULT StampSample(IMediaSample* sample, uint64_t start, uint64_t stop, bool discontinuity);

// Creates Filter with one reference and its Stream pin (Stream(HRESULT*, CSource*, args...)),
// which the filter's pin list then owns.
template <class Filter, class Stream, class... Args>
HRESULT CreateSourceWithStream(Filter** result, Stream* Filter::*stream, Args... args) {
  RETURN_HR_IF_NULL(E_POINTER, result);
  *result = nullptr;
  auto* created = new (std::nothrow) Filter();
  RETURN_HR_IF_NULL(E_OUTOFMEMORY, created);
  created->NonDelegatingAddRef();
  HRESULT hr = S_OK;
  auto* pin = new (std::nothrow) Stream(&hr, created, args...);
  if (!pin || FAILED(hr)) {
    delete pin;
    created->NonDelegatingRelease();
    return FAILED(hr) ? hr : E_OUTOFMEMORY;
  }
  created->*stream = pin;
  *result = created;
  return S_OK;
}

}  // namespace ovts::tshift
