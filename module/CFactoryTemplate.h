// One class the module serves: what the class factory builds and what registration writes for
// it. The table of all of them is the module's composition root (ModuleTemplates.cc); it is
// constant, so any thread reads it.
#pragma once

#include <windows.h>

#include <span>

#include "framework/CBaseFilter.h"
#include "framework/CUnknown.h"

namespace ovts {

// A new object (no reference yet) aggregated by outer, or null with the reason in result.
using CreateFunction = CUnknown*(WINAPI*)(IUnknown* outer, HRESULT* result);

struct CFactoryTemplate {
  const WCHAR* name;                // default value of the class key
  const CLSID* clsid;
  CreateFunction create;
  const AMOVIESETUP_FILTER* setup;  // entered in the filter registry; null for the pages
};

// Every class of the module, in the order lookups and registration go through them.
std::span<const CFactoryTemplate> FactoryTemplates();

}  // namespace ovts
