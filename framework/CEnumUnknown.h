// The IUnknown side shared by the enumerators: a reference count starting at 1, and answers to
// IUnknown and the enumerator's own interface. Any thread; the count is atomic.
#pragma once

#include <unknwn.h>

#include <atomic>

#include "framework/ComKit.h"

namespace ovts {

template <class Interface>
class CEnumUnknown : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
    RETURN_HR_IF_NULL(E_POINTER, result);
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(Interface))) {
      AddRef();
      *result = static_cast<Interface*>(this);
      return S_OK;
    }
    *result = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(refCount_.fetch_add(1) + 1); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG count = refCount_.fetch_sub(1) - 1;
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
  }

 protected:
  CEnumUnknown() = default;
  virtual ~CEnumUnknown() = default;

 private:
  std::atomic<LONG> refCount_{1};  // atomic
};

}  // namespace ovts
