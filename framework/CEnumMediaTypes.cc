#include "framework/CEnumMediaTypes.h"

#include <new>

#include "framework/CBasePin.h"
#include "framework/CMediaType.h"
#include "framework/ComKit.h"

namespace ovts {

CEnumMediaTypes::CEnumMediaTypes(CBasePin* pin) noexcept : pin_(pin), typeVersion_(pin->GetMediaTypeVersion()) {
  pin_->AddRef();
}

CEnumMediaTypes::~CEnumMediaTypes() { pin_->Release(); }

HRESULT CEnumMediaTypes::Create(CBasePin* pin, const CEnumMediaTypes* source, IEnumMediaTypes** result) noexcept {
  RETURN_HR_IF_NULL(E_POINTER, result);
  *result = nullptr;
  auto* created = new (std::nothrow) CEnumMediaTypes(pin);
  RETURN_HR_IF_NULL(E_OUTOFMEMORY, created);
  if (source) {
    created->position_ = source->position_;
    created->typeVersion_ = source->typeVersion_;
  }
  *result = created;
  return S_OK;
}

bool CEnumMediaTypes::OutOfSync() const { return pin_->GetMediaTypeVersion() != typeVersion_; }

HRESULT CEnumMediaTypes::Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) {
  RETURN_HR_IF_NULL(E_POINTER, types);
  RETURN_HR_IF(VFW_E_ENUM_OUT_OF_SYNC, OutOfSync());
  if (fetched) *fetched = 0;
  else RETURN_HR_IF(E_INVALIDARG, count > 1);
  ULONG got = 0;
  while (got < count) {
    CMediaType value;
    if (pin_->GetMediaType(position_++, &value) != S_OK) break;
    AM_MEDIA_TYPE* record = value.ReleaseToTaskMemory();
    if (!record) {
      while (got) DeleteMediaType(types[--got]);
      return E_OUTOFMEMORY;
    }
    types[got++] = record;
  }
  if (fetched) *fetched = got;
  return got == count ? S_OK : S_FALSE;
}

HRESULT CEnumMediaTypes::Skip(ULONG count) {
  if (count == 0) return S_OK;
  RETURN_HR_IF(VFW_E_ENUM_OUT_OF_SYNC, OutOfSync());
  position_ += static_cast<int>(count);
  CMediaType probe;
  return pin_->GetMediaType(position_ - 1, &probe) == S_OK ? S_OK : S_FALSE;
}

HRESULT CEnumMediaTypes::Reset() {
  position_ = 0;
  typeVersion_ = pin_->GetMediaTypeVersion();
  return S_OK;
}

HRESULT CEnumMediaTypes::Clone(IEnumMediaTypes** result) {
  RETURN_HR_IF(VFW_E_ENUM_OUT_OF_SYNC, OutOfSync());
  return Create(pin_, this, result);
}

}  // namespace ovts
