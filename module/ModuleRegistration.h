// Registration of the module's classes: the class keys under HKEY_CLASSES_ROOT that let COM load
// the module, and the filter registry entries (merit, pins, media types) that graph builders
// read, written through the platform's filter mapper. Runs on the thread that called
// DllRegisterServer or DllUnregisterServer; holds no lock, the registry orders writers.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <span>

#include "module/CFactoryTemplate.h"

namespace ovts {

// Registering: writes every row's class key ("CLSID\{...}" named after the row, its
// "InprocServer32" naming `module`'s file, "ThreadingModel" "Both"), then enters every filter row
// in the filter registry, replacing an older entry; stops at the first failure, keeping what
// was written. Unregistering: removes the filter entries, then every class key with its
// sub-keys; keys already missing count as removed.
HRESULT UpdateModuleRegistration(HMODULE module, std::span<const CFactoryTemplate> templates, bool registering);

// Removes one filter's entry from the filter registry and, when registering, enters it anew,
// through a filter mapper of either generation. A missing old entry is no failure.
HRESULT UpdateFilterEntry(IFilterMapper2* mapper, const AMOVIESETUP_FILTER& setup, bool registering);
HRESULT UpdateFilterEntry(IFilterMapper* mapper, const AMOVIESETUP_FILTER& setup, bool registering);

}  // namespace ovts
