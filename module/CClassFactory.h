// The module's class factory: one per DllGetClassObject call, serving one row of the factory
// table. Also keeps the module-wide server lock count that DllCanUnloadNow reads together with
// the live framework objects (factories count among them).
//
// Threads: any host thread; the reference count, the lock count and the live-object count are
// atomic.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <cstdint>
#include <span>

#include "module/CFactoryTemplate.h"
#include "framework/CBaseObject.h"

namespace ovts {

class CClassFactory final : public IClassFactory, public CBaseObject {
 public:
  // A factory for the first row of `templates` with the class `clsid`, with one reference.
  // E_NOINTERFACE for any iid but IUnknown and IClassFactory (before the class is looked up),
  // CLASS_E_CLASSNOTAVAILABLE when no row has the class.
  static HRESULT GetClassObject(std::span<const CFactoryTemplate> templates, REFCLSID clsid, REFIID iid,
                                void** result);
  // S_FALSE while the server is locked or any framework object is alive, else S_OK.
  static HRESULT CanUnloadNow();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** result) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

 private:
  explicit CClassFactory(const CFactoryTemplate& row) noexcept : row_(row) {}
  ~CClassFactory() = default;

  const CFactoryTemplate& row_;
  std::atomic<ULONG> refCount_{0};                  // atomic
  static inline std::atomic<int32_t> serverLocks_{0};  // atomic
};

}  // namespace ovts
