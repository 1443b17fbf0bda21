// The module under test is this build's ovts.ax, loaded once: its objects come from its own
// class factory, exactly as the platform makes them.
#include "PageTestSupport.h"

namespace ovts::test {
namespace {

FARPROC Export(const char* name) {
  static const HMODULE module = LoadLibraryW(L"" OVTS_MODULE);
  return module ? GetProcAddress(module, name) : nullptr;
}

HRESULT Create(const CLSID& clsid, REFIID iid, void** result) {
  ComPtr<IClassFactory> factory;
  RETURN_IF_FAILED(GetClassFactory(clsid, &factory));
  return factory->CreateInstance(nullptr, iid, result);
}

}  // namespace

HRESULT GetClassFactory(const CLSID& clsid, IClassFactory** factory) {
  const auto get = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
      reinterpret_cast<void*>(Export("DllGetClassObject")));
  RETURN_HR_IF_NULL(E_FAIL, get);
  return get(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory));
}

HRESULT ModuleCanUnloadNow() {
  const auto canUnload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(Export("DllCanUnloadNow")));
  return canUnload ? canUnload() : E_FAIL;
}

HRESULT CreateFilter(REFIID iid, void** result) { return Create(CLSID_OVTimeShiftFilter, iid, result); }

HRESULT CreatePage(const CLSID& page, REFIID iid, void** result) { return Create(page, iid, result); }

}  // namespace ovts::test
