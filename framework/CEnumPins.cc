#include "framework/CEnumPins.h"

#include <algorithm>
#include <new>

#include "framework/CBaseFilter.h"
#include "framework/CBasePin.h"
#include "framework/ComKit.h"

namespace ovts {

CEnumPins::CEnumPins(CBaseFilter* filter) noexcept : filter_(filter) { filter_->AddRef(); }

CEnumPins::~CEnumPins() { filter_->Release(); }

HRESULT CEnumPins::Create(CBaseFilter* filter, const CEnumPins* source, IEnumPins** result) noexcept {
  RETURN_HR_IF_NULL(E_POINTER, result);
  *result = nullptr;
  auto* created = new (std::nothrow) CEnumPins(filter);
  RETURN_HR_IF_NULL(E_OUTOFMEMORY, created);
  if (source) {
    created->position_ = source->position_;
    created->pinCount_ = source->pinCount_;
    created->pinVersion_ = source->pinVersion_;
    try {
      created->handedOut_ = source->handedOut_;
    } catch (const std::bad_alloc&) {
      created->Release();
      return E_OUTOFMEMORY;
    }
  } else {
    created->ReadPinSet();
  }
  *result = created;
  return S_OK;
}

bool CEnumPins::OutOfSync() const { return filter_->GetPinVersion() != pinVersion_; }

void CEnumPins::ReadPinSet() {
  pinCount_ = filter_->GetPinCount();
  pinVersion_ = filter_->GetPinVersion();
}

HRESULT CEnumPins::Next(ULONG count, IPin** pins, ULONG* fetched) {
  RETURN_HR_IF_NULL(E_POINTER, pins);
  if (fetched) *fetched = 0;
  else RETURN_HR_IF(E_INVALIDARG, count > 1);
  if (OutOfSync()) {
    ReadPinSet();
    position_ = 0;
  }
  ULONG got = 0;
  HRESULT hr = S_OK;
  while (got < count && position_ < pinCount_) {
    CBasePin* pin = filter_->GetPin(position_);
    if (!pin) {
      hr = VFW_E_ENUM_OUT_OF_SYNC;
      break;
    }
    ++position_;
    if (std::find(handedOut_.begin(), handedOut_.end(), pin) != handedOut_.end()) continue;
    try {
      handedOut_.push_back(pin);
    } catch (const std::bad_alloc&) {
      hr = E_OUTOFMEMORY;
      break;
    }
    pin->AddRef();
    pins[got++] = pin;
  }
  if (FAILED(hr)) {
    while (got) pins[--got]->Release();
    return hr;
  }
  if (fetched) *fetched = got;
  return got == count ? S_OK : S_FALSE;
}

HRESULT CEnumPins::Skip(ULONG count) {
  RETURN_HR_IF(VFW_E_ENUM_OUT_OF_SYNC, OutOfSync());
  RETURN_HR_IF(S_FALSE, count > static_cast<ULONG>(pinCount_ - position_));
  position_ += static_cast<int>(count);
  return S_OK;
}

HRESULT CEnumPins::Reset() {
  ReadPinSet();
  position_ = 0;
  handedOut_.clear();
  return S_OK;
}

HRESULT CEnumPins::Clone(IEnumPins** result) {
  RETURN_HR_IF(VFW_E_ENUM_OUT_OF_SYNC, OutOfSync());
  return Create(filter_, this, result);
}

}  // namespace ovts
