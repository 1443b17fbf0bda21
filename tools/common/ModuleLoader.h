// A COM server module loaded by its path and its objects made by its own class factory, as COM
// makes them but with no registration: a benchmark measures the module it names, whatever the
// prefix has registered. The module stays loaded while it has objects (DllCanUnloadNow), as
// COM keeps it.
//
// Threads: Load and the destructor on one thread; Create on any thread once loaded.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

namespace ovts::tools {

class ModuleLoader {
 public:
  ModuleLoader() = default;
  ~ModuleLoader();
  ModuleLoader(const ModuleLoader&) = delete;
  ModuleLoader& operator=(const ModuleLoader&) = delete;

  // Loads the module and finds its class objects' entry; the platform's error otherwise.
  HRESULT Load(const std::wstring& path);
  // An object of the class through the module's class factory (not aggregated).
  HRESULT Create(const CLSID& clsid, REFIID iid, void** object) const;

 private:
  using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();

  HMODULE module_ = nullptr;
  GetClassObject getClassObject_ = nullptr;
  CanUnloadNow canUnloadNow_ = nullptr;
};

}  // namespace ovts::tools
