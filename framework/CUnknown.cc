#include "framework/CUnknown.h"

#include "framework/ComKit.h"

namespace ovts {

CUnknown::CUnknown(IUnknown* outer) noexcept
    : owner_(outer ? outer : reinterpret_cast<IUnknown*>(static_cast<INonDelegatingUnknown*>(this))) {}

HRESULT CUnknown::NonDelegatingQueryInterface(REFIID iid, void** result) {
  RETURN_HR_IF_NULL(E_POINTER, result);
  if (IsEqualIID(iid, IID_IUnknown)) {
    return GetInterface(reinterpret_cast<IUnknown*>(static_cast<INonDelegatingUnknown*>(this)), result);
  }
  *result = nullptr;
  return E_NOINTERFACE;
}

ULONG CUnknown::NonDelegatingAddRef() {
  const LONG count = refCount_.fetch_add(1) + 1;
  return count < 1 ? 1 : static_cast<ULONG>(count);
}

ULONG CUnknown::NonDelegatingRelease() {
  const LONG count = DropReference();
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

LONG CUnknown::DropReference() noexcept {
  const LONG count = refCount_.fetch_sub(1) - 1;
  // A destructor that takes and drops a reference to itself must not free the object again.
  if (count == 0) refCount_.store(1);
  return count;
}

HRESULT CUnknown::GetInterface(IUnknown* object, void** result) noexcept {
  RETURN_HR_IF_NULL(E_POINTER, result);
  object->AddRef();
  *result = object;
  return S_OK;
}

}  // namespace ovts
