// ovts.ax registered and unregistered by the platform's regsvr32 in the shared Wine prefix, and
// the filter entered through the older filter mapper. Every test leaves the module registered:
// other test programs and scripts/tshift create the filter by its class.
#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>

#include <string>

#include "ModuleUnderTest.h"
#include "OVTimeShift.h"
#include "module/CFactoryTemplate.h"
#include "module/ModuleRegistration.h"
#include "framework/ComKit.h"

namespace ovts::test {
namespace {

constexpr int kTableRows = 5;

std::wstring ClassKey(const CLSID& clsid) {
  WCHAR text[39];
  StringFromGUID2(clsid, text, 39);
  return std::wstring(L"CLSID\\") + text;
}

// A string value under HKEY_CLASSES_ROOT; empty when the key or value is missing.
std::wstring ReadClassesString(const std::wstring& key, const WCHAR* name) {
  WCHAR text[MAX_PATH] = {};
  DWORD size = sizeof text - sizeof(WCHAR);
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS) return {};
  return text;
}

bool ClassesKeyExists(const std::wstring& key) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
  RegCloseKey(opened);
  return true;
}

// Entries of our filter that a graph builder finds for an MPEG-2 transport stream input at
// `merit` or above.
int FilterEntries(DWORD merit) {
  ComPtr<IFilterMapper2> mapper;
  EXPECT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&mapper)), S_OK);
  const GUID types[] = {MEDIATYPE_Stream, MEDIASUBTYPE_MPEG2_TRANSPORT};
  ComPtr<IEnumMoniker> found;
  if (mapper->EnumMatchingFilters(&found, 0, FALSE, merit, TRUE, 1, types, nullptr, nullptr, FALSE, FALSE, 0, nullptr,
                                  nullptr, nullptr) != S_OK)
    return -1;
  int count = 0;
  for (ComPtr<IMoniker> moniker; found->Next(1, &moniker, nullptr) == S_OK; moniker.Reset()) {
    ComPtr<IPropertyBag> bag;
    VARIANT clsid;
    VariantInit(&clsid);
    if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_PPV_ARGS(&bag))) &&
        SUCCEEDED(bag->Read(L"CLSID", &clsid, nullptr)) && clsid.vt == VT_BSTR) {
      CLSID value{};
      if (SUCCEEDED(CLSIDFromString(clsid.bstrVal, &value)) && IsEqualCLSID(value, CLSID_OVTimeShiftFilter)) ++count;
    }
    VariantClear(&clsid);
  }
  return count;
}

// Entries of our filter that the older mapper finds for an MPEG-2 transport stream input.
int LegacyFilterEntries(IFilterMapper* mapper) {
  ComPtr<IEnumRegFilters> found;
  if (mapper->EnumMatchingFilters(&found, 0, TRUE, MEDIATYPE_Stream, MEDIASUBTYPE_MPEG2_TRANSPORT, FALSE, FALSE,
                                  GUID_NULL, GUID_NULL) != S_OK)
    return -1;
  int count = 0;
  for (REGFILTER* filter = nullptr; found->Next(1, &filter, nullptr) == S_OK; CoTaskMemFree(filter)) {
    if (IsEqualCLSID(filter->Clsid, CLSID_OVTimeShiftFilter)) ++count;
  }
  return count;
}

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(com_.result())); }
  void TearDown() override { EXPECT_EQ(module_test::RunRegsvr32(false), 0u) << "the module must stay registered"; }

  ComApartment com_{COINIT_APARTMENTTHREADED};
};

TEST_F(RegistrationTest, Regsvr32RegistersEachClassAndTheFilterOnce) {
  // Catches a class key, server path or threading model missing or wrong for any of the five
  // classes, a second registration that adds a second filter entry, a wrong merit, an
  // unregistration that leaves keys or the filter entry behind, and one that fails when there
  // is nothing left to remove.
  ASSERT_EQ(module_test::RunRegsvr32(false), 0u);
  ASSERT_EQ(module_test::RunRegsvr32(false), 0u);
  const auto rows = FactoryTemplates();
  ASSERT_EQ(rows.size(), static_cast<size_t>(kTableRows));
  for (const CFactoryTemplate& row : rows) {
    const std::wstring key = ClassKey(*row.clsid);
    EXPECT_EQ(ReadClassesString(key, nullptr), row.name);
    EXPECT_EQ(_wcsicmp(ReadClassesString(key + L"\\InprocServer32", nullptr).c_str(), module_test::ModulePath().c_str()),
              0);
    EXPECT_EQ(ReadClassesString(key + L"\\InprocServer32", L"ThreadingModel"), L"Both");
  }
  EXPECT_EQ(FilterEntries(MERIT_DO_NOT_USE), 1);
  EXPECT_EQ(FilterEntries(MERIT_DO_NOT_USE + 1), 0) << "merit above MERIT_DO_NOT_USE";

  ASSERT_EQ(module_test::RunRegsvr32(true), 0u);
  for (const CFactoryTemplate& row : rows) EXPECT_FALSE(ClassesKeyExists(ClassKey(*row.clsid)));
  EXPECT_EQ(FilterEntries(0), 0);
  EXPECT_EQ(module_test::RunRegsvr32(true), 0u) << "nothing left to remove is no failure";
}

TEST_F(RegistrationTest, OlderFilterMapperTakesThePinsAndTypes) {
  // Catches a fallback registration that skips pins or media types (the older mapper matches on
  // them), does not replace an earlier entry, or does not remove it again.
  ASSERT_EQ(module_test::RunRegsvr32(true), 0u);  // the older mapper lists the newer one's entries too
  ComPtr<IFilterMapper> mapper;
  ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&mapper)), S_OK);
  const AMOVIESETUP_FILTER& setup = *FactoryTemplates()[0].setup;
  ASSERT_EQ(setup.nPins, 3u);
  ASSERT_EQ(UpdateFilterEntry(mapper.Get(), setup, true), S_OK);
  ASSERT_EQ(UpdateFilterEntry(mapper.Get(), setup, true), S_OK);
  EXPECT_EQ(LegacyFilterEntries(mapper.Get()), 1);
  ASSERT_EQ(UpdateFilterEntry(mapper.Get(), setup, false), S_OK);
  EXPECT_EQ(LegacyFilterEntries(mapper.Get()), 0);
  EXPECT_EQ(UpdateFilterEntry(mapper.Get(), setup, false), S_OK) << "nothing left to remove is no failure";
}

}  // namespace
}  // namespace ovts::test
