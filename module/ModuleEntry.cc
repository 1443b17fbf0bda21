// The exports of ovts.ax (named in ovts.def): class objects, the unload test and registration.
// The platform calls them on any thread; the loader calls DllMain under its own lock.
#include <windows.h>

#include "module/CClassFactory.h"
#include "module/ModuleRegistration.h"

namespace {

HMODULE thisModule = nullptr;  // set once at load

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) {
    // Nothing here needs to hear of threads; the streaming threads come and go often.
    DisableThreadLibraryCalls(instance);
    thisModule = instance;
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** result) {
  return ovts::CClassFactory::GetClassObject(ovts::FactoryTemplates(), clsid, iid, result);
}

STDAPI DllCanUnloadNow() { return ovts::CClassFactory::CanUnloadNow(); }

STDAPI DllRegisterServer() { return ovts::UpdateModuleRegistration(thisModule, ovts::FactoryTemplates(), true); }

STDAPI DllUnregisterServer() { return ovts::UpdateModuleRegistration(thisModule, ovts::FactoryTemplates(), false); }
