#include "tools/common/ModuleLoader.h"

#include <unknwn.h>

#include "framework/ComKit.h"

namespace ovts::tools {

namespace {

template <class Entry>
Entry Export(HMODULE module, const char* name) {
  return reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

ModuleLoader::~ModuleLoader() {
  // A module whose objects are still alive stays, or their calls would run into freed code.
  if (module_ && canUnloadNow_ && canUnloadNow_() == S_OK) FreeLibrary(module_);
}

HRESULT ModuleLoader::Load(const std::wstring& path) {
  RETURN_HR_IF(E_UNEXPECTED, module_ != nullptr);
  // The module's own folder is searched for what it needs: that takes a full path, in backslashes.
  WCHAR full[MAX_PATH];
  const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
  RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME), length == 0 || length >= MAX_PATH);
  module_ = LoadLibraryExW(full, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  RETURN_HR_IF(HRESULT_FROM_WIN32(GetLastError()), !module_);
  getClassObject_ = Export<GetClassObject>(module_, "DllGetClassObject");
  canUnloadNow_ = Export<CanUnloadNow>(module_, "DllCanUnloadNow");
  return getClassObject_ ? S_OK : CO_E_ERRORINDLL;
}

HRESULT ModuleLoader::Create(const CLSID& clsid, REFIID iid, void** object) const {
  RETURN_HR_IF_NULL(E_POINTER, object);
  *object = nullptr;
  RETURN_HR_IF_NULL(E_UNEXPECTED, getClassObject_);
  ComPtr<IClassFactory> factory;
  RETURN_IF_FAILED(getClassObject_(clsid, IID_PPV_ARGS(&factory)));
  return factory->CreateInstance(nullptr, iid, object);
}

}  // namespace ovts::tools
