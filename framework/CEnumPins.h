// Enumerates a filter's pins. After a change of the pin set it starts again from the first pin
// and skips the pins it already handed out. Used by one thread at a time; not locked.
#pragma once

#include <dshow.h>

#include <vector>

#include "framework/CEnumUnknown.h"

namespace ovts {

class CBaseFilter;
class CBasePin;

class CEnumPins final : public CEnumUnknown<IEnumPins> {
 public:
  // A new enumerator on the filter, or a clone of source when one is given.
  static HRESULT Create(CBaseFilter* filter, const CEnumPins* source, IEnumPins** result) noexcept;

  HRESULT STDMETHODCALLTYPE Next(ULONG count, IPin** pins, ULONG* fetched) override;
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override;
  HRESULT STDMETHODCALLTYPE Reset() override;
  HRESULT STDMETHODCALLTYPE Clone(IEnumPins** result) override;

 private:
  explicit CEnumPins(CBaseFilter* filter) noexcept;
  ~CEnumPins() override;
  bool OutOfSync() const;
  void ReadPinSet();

  CBaseFilter* const filter_;      // held
  int position_ = 0;
  int pinCount_ = 0;
  LONG pinVersion_ = 0;
  std::vector<CBasePin*> handedOut_;  // since the last Reset; compared, never dereferenced
};

}  // namespace ovts
