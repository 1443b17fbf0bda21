// Enumerates the media types a pin offers, as task-allocated records the caller frees. Fails with
// VFW_E_ENUM_OUT_OF_SYNC once the pin's types changed, until reset. Used by one thread at a time.
#pragma once

#include <dshow.h>


#include "framework/CEnumUnknown.h"

namespace ovts {

class CBasePin;

class CEnumMediaTypes final : public CEnumUnknown<IEnumMediaTypes> {
 public:
  // A new enumerator on the pin, or a clone of source when one is given.
  static HRESULT Create(CBasePin* pin, const CEnumMediaTypes* source, IEnumMediaTypes** result) noexcept;

  HRESULT STDMETHODCALLTYPE Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override;
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override;
  HRESULT STDMETHODCALLTYPE Reset() override;
  HRESULT STDMETHODCALLTYPE Clone(IEnumMediaTypes** result) override;

 private:
  explicit CEnumMediaTypes(CBasePin* pin) noexcept;
  ~CEnumMediaTypes() override;
  bool OutOfSync() const;

  CBasePin* const pin_;            // held
  int position_ = 0;
  LONG typeVersion_ = 0;
};

}  // namespace ovts
