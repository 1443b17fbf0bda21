// A source filter: owns the state lock (the filter lock of itself and every pin built on it) and
// the list of its stream pins, which add and remove themselves.
//
// Threads: the graph's and host's threads; pins add and remove themselves from their constructor
// and destructor. The state lock is the first lock of the framework's order (see CBaseFilter).
#pragma once

#include <memory>

#include "framework/CBaseFilter.h"

namespace ovts {

class CSourceStream;

class CSource : public CBaseFilter {
 public:
  CSource(IUnknown* outer, REFCLSID clsid) noexcept;
  // Deletes the remaining stream pins, last first.
  ~CSource() override;

  int GetPinCount() override;
  CBasePin* GetPin(int n) override;
  // The identifier read as a decimal number n selects GetPin(n - 1).
  HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR id, IPin** pin) override;

  // E_OUTOFMEMORY leaves the list as it was.
  HRESULT AddPin(CSourceStream* stream);
  // S_FALSE when the pin is not in the list.
  HRESULT RemovePin(CSourceStream* stream);
  // The pin's 0-based place in the list, or -1.
  int FindPinNumber(const CSourceStream* stream);

  port::RecursiveLock& StateLock() noexcept { return stateLock_; }

 protected:
  port::RecursiveLock stateLock_{port::LockRank::kFilterState, "filter state"};

 private:
  int pinCount_ = 0;                          // state lock
  std::unique_ptr<CSourceStream*[]> streams_;  // state lock; pinCount_ entries
};

}  // namespace ovts
