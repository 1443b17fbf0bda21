#include "module/CClassFactory.h"

#include <new>

#include "framework/ComKit.h"

namespace ovts {

HRESULT CClassFactory::GetClassObject(std::span<const CFactoryTemplate> templates, REFCLSID clsid, REFIID iid,
                                      void** result) {
  RETURN_HR_IF_NULL(E_POINTER, result);
  *result = nullptr;
  RETURN_HR_IF(E_NOINTERFACE, !IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory));
  for (const CFactoryTemplate& row : templates) {
    if (!IsEqualCLSID(*row.clsid, clsid)) continue;
    auto* factory = new (std::nothrow) CClassFactory(row);
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, factory);
    factory->AddRef();
    *result = static_cast<IClassFactory*>(factory);
    return S_OK;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CClassFactory::CanUnloadNow() {
  return serverLocks_.load() > 0 || CBaseObject::ObjectsActive() > 0 ? S_FALSE : S_OK;
}

HRESULT CClassFactory::QueryInterface(REFIID iid, void** result) {
  RETURN_HR_IF_NULL(E_POINTER, result);
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
    return HandOut(static_cast<IClassFactory*>(this), reinterpret_cast<IClassFactory**>(result));
  }
  *result = nullptr;
  return E_NOINTERFACE;
}

ULONG CClassFactory::AddRef() { return refCount_.fetch_add(1) + 1; }

ULONG CClassFactory::Release() {
  const ULONG count = refCount_.fetch_sub(1) - 1;
  if (count == 0) delete this;
  return count;
}

HRESULT CClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** result) {
  RETURN_HR_IF_NULL(E_POINTER, result);
  *result = nullptr;
  // An aggregated object hands its outer object only its non-delegating IUnknown.
  RETURN_HR_IF(E_NOINTERFACE, outer && !IsEqualIID(iid, IID_IUnknown));
  HRESULT hr = S_OK;
  CUnknown* object = row_.create(outer, &hr);
  if (!object) return FAILED(hr) ? hr : E_OUTOFMEMORY;
  if (FAILED(hr)) {
    delete object;
    return hr;
  }
  // The query's reference is the only one left once ours is dropped.
  object->NonDelegatingAddRef();
  hr = object->NonDelegatingQueryInterface(iid, result);
  object->NonDelegatingRelease();
  return hr;
}

HRESULT CClassFactory::LockServer(BOOL lock) {
  serverLocks_.fetch_add(lock ? 1 : -1);
  return S_OK;
}

}  // namespace ovts
