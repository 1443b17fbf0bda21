#include "framework/CSource.h"

#include <algorithm>
#include <climits>
#include <cwchar>
#include <new>

#include "framework/CSourceStream.h"

namespace ovts {

CSource::CSource(IUnknown* outer, REFCLSID clsid) noexcept : CBaseFilter(outer, &stateLock_, clsid) {}

CSource::~CSource() {
  // Each pin's destructor takes itself out of the list.
  while (pinCount_ > 0) delete streams_[pinCount_ - 1];
}

int CSource::GetPinCount() {
  port::LockGuard guard(stateLock_);
  return pinCount_;
}

CBasePin* CSource::GetPin(int n) {
  port::LockGuard guard(stateLock_);
  return n >= 0 && n < pinCount_ ? streams_[n] : nullptr;
}

HRESULT CSource::FindPin(LPCWSTR id, IPin** pin) {
  RETURN_HR_IF(E_POINTER, !id || !pin);
  *pin = nullptr;
  const long n = wcstol(id, nullptr, 10);
  CBasePin* found = n > 0 && n <= INT_MAX ? GetPin(static_cast<int>(n - 1)) : nullptr;
  RETURN_HR_IF_NULL(VFW_E_NOT_FOUND, found);
  return HandOut(static_cast<IPin*>(found), pin);
}

HRESULT CSource::AddPin(CSourceStream* stream) {
  port::LockGuard guard(stateLock_);
  std::unique_ptr<CSourceStream*[]> grown(new (std::nothrow) CSourceStream*[pinCount_ + 1]);
  RETURN_HR_IF_NULL(E_OUTOFMEMORY, grown);
  std::copy_n(streams_.get(), pinCount_, grown.get());
  grown[pinCount_] = stream;
  streams_ = std::move(grown);
  ++pinCount_;
  IncrementPinVersion();
  return S_OK;
}

HRESULT CSource::RemovePin(CSourceStream* stream) {
  port::LockGuard guard(stateLock_);
  CSourceStream** end = streams_.get() + pinCount_;
  CSourceStream** found = std::find(streams_.get(), end, stream);
  if (found == end) return S_FALSE;
  std::copy(found + 1, end, found);
  --pinCount_;
  IncrementPinVersion();
  return S_OK;
}

int CSource::FindPinNumber(const CSourceStream* stream) {
  port::LockGuard guard(stateLock_);
  for (int i = 0; i < pinCount_; ++i) {
    if (streams_[i] == stream) return i;
  }
  return -1;
}

}  // namespace ovts
