#include "module/ModuleRegistration.h"

#include <iterator>

#include "framework/ComKit.h"

namespace ovts {

namespace {

constexpr WCHAR kClassKeyPrefix[] = L"CLSID\\";
constexpr size_t kPrefixLength = std::size(kClassKeyPrefix) - 1;
constexpr size_t kGuidTextLength = 39;  // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" and a terminator
using ClassKeyText = WCHAR[kPrefixLength + kGuidTextLength];
constexpr HRESULT kNotRegistered = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

// "CLSID\{...}" for a class.
void ClassKeyPath(const CLSID& clsid, ClassKeyText& path) {
  wcscpy(path, kClassKeyPrefix);
  StringFromGUID2(clsid, path + kPrefixLength, kGuidTextLength);
}

HRESULT WriteClassKey(const CFactoryTemplate& row, const WCHAR* modulePath) {
  ClassKeyText path;
  ClassKeyPath(*row.clsid, path);
  UniqueRegKey classKey;
  RETURN_IF_WIN32_ERROR(classKey.Create(HKEY_CLASSES_ROOT, path));
  RETURN_IF_WIN32_ERROR(classKey.SetString(nullptr, row.name));
  UniqueRegKey server;
  RETURN_IF_WIN32_ERROR(server.Create(classKey.get(), L"InprocServer32"));
  RETURN_IF_WIN32_ERROR(server.SetString(nullptr, modulePath));
  RETURN_IF_WIN32_ERROR(server.SetString(L"ThreadingModel", L"Both"));
  return S_OK;
}

void RemoveClassKey(const CFactoryTemplate& row) {
  ClassKeyText path;
  ClassKeyPath(*row.clsid, path);
  // A key that is already gone needs no removing.
  RegDeleteTreeW(HKEY_CLASSES_ROOT, path);
}

HRESULT IgnoreMissing(HRESULT hr) { return hr == kNotRegistered ? S_OK : hr; }

// Every filter row through one mapper, stopping at the first failure.
template <class M>
HRESULT UpdateFilterEntries(M* mapper, std::span<const CFactoryTemplate> templates, bool registering) {
  for (const CFactoryTemplate& row : templates) {
    if (row.setup) RETURN_IF_FAILED(UpdateFilterEntry(mapper, *row.setup, registering));
  }
  return S_OK;
}

HRESULT UpdateFilterRegistry(std::span<const CFactoryTemplate> templates, bool registering) {
  const ComApartment com(COINIT_APARTMENTTHREADED);
  HRESULT hr;
  {
    ComPtr<IFilterMapper2> mapper2;
    ComPtr<IFilterMapper> mapper;
    hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&mapper2));
    if (SUCCEEDED(hr)) {
      hr = UpdateFilterEntries(mapper2.Get(), templates, registering);
    } else {
      hr = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&mapper));
      if (SUCCEEDED(hr)) hr = UpdateFilterEntries(mapper.Get(), templates, registering);
    }
  }
  CoFreeUnusedLibraries();
  return hr;
}

}  // namespace

HRESULT UpdateFilterEntry(IFilterMapper2* mapper, const AMOVIESETUP_FILTER& setup, bool registering) {
  RETURN_IF_FAILED(IgnoreMissing(mapper->UnregisterFilter(nullptr, nullptr, *setup.clsID)));
  if (!registering) return S_OK;
  REGFILTER2 filter{};
  filter.dwVersion = 1;
  filter.dwMerit = setup.dwMerit;
  filter.cPins = setup.nPins;
  filter.rgPins = setup.lpPin;
  return IgnoreMissing(mapper->RegisterFilter(*setup.clsID, setup.strName, nullptr, nullptr, nullptr, &filter));
}

HRESULT UpdateFilterEntry(IFilterMapper* mapper, const AMOVIESETUP_FILTER& setup, bool registering) {
  const CLSID& clsid = *setup.clsID;
  RETURN_IF_FAILED(IgnoreMissing(mapper->UnregisterFilter(clsid)));
  if (!registering) return S_OK;
  RETURN_IF_FAILED(IgnoreMissing(mapper->RegisterFilter(clsid, setup.strName, setup.dwMerit)));
  for (const AMOVIESETUP_PIN& pin : std::span(setup.lpPin, setup.nPins)) {
    RETURN_IF_FAILED(IgnoreMissing(mapper->RegisterPin(clsid, pin.strName, pin.bRendered, pin.bOutput, pin.bZero,
                                                       pin.bMany, *pin.clsConnectsToFilter, pin.strConnectsToPin)));
    for (const AMOVIESETUP_MEDIATYPE& type : std::span(pin.lpMediaType, pin.nMediaTypes)) {
      RETURN_IF_FAILED(
          IgnoreMissing(mapper->RegisterPinType(clsid, pin.strName, *type.clsMajorType, *type.clsMinorType)));
    }
  }
  return S_OK;
}

HRESULT UpdateModuleRegistration(HMODULE module, std::span<const CFactoryTemplate> templates, bool registering) {
  WCHAR modulePath[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module, modulePath, MAX_PATH);
  if (length == 0 || length == MAX_PATH) {
    const DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
  }
  if (registering) {
    for (const CFactoryTemplate& row : templates) RETURN_IF_FAILED(WriteClassKey(row, modulePath));
  }
  RETURN_IF_FAILED(UpdateFilterRegistry(templates, registering));
  if (registering) return S_OK;
  for (const CFactoryTemplate& row : templates) RemoveClassKey(row);
  return S_OK;
}

}  // namespace ovts
