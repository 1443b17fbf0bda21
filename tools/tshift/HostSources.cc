#include "tools/tshift/HostSources.h"

#include "OVTimeShiftTypes.h"

#include <algorithm>

namespace ovts::tshift {

namespace {
}

HRESULT SetSampleBuffers(IMemAllocator* allocator, const ALLOCATOR_PROPERTIES* request, long count, long size) {
  ALLOCATOR_PROPERTIES wanted{count, size, std::max(request->cbAlign, 1L), 0};
  ALLOCATOR_PROPERTIES actual{};
  RETURN_IF_FAILED(allocator->SetProperties(&wanted, &actual));
  RETURN_HR_IF(E_FAIL, actual.cbBuffer < size);
  return S_OK;
}

HRESULT StampSample(IMediaSample* sample, uint64_t start, uint64_t stop, bool discontinuity) {
  REFERENCE_TIME from = static_cast<REFERENCE_TIME>(start) * TS_UNITS_PER_SECOND;
  REFERENCE_TIME to = static_cast<REFERENCE_TIME>(stop) * TS_UNITS_PER_SECOND;
  RETURN_IF_FAILED(sample->SetTime(&from, &to));
  RETURN_IF_FAILED(sample->SetDiscontinuity(discontinuity));
  return sample->SetSyncPoint(TRUE);
}

}  // namespace ovts::tshift
