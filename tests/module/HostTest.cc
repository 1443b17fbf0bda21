// A host that knows only the public header and links nothing of ours: it registers this build's
// ovts.ax with the platform's regsvr32, creates the filter and its pages by class through COM,
// and holds the filter's property sets and page list to their rules.
#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>
#include <olectl.h>
#include <wrl/client.h>

#include <cstring>
#include <string>

#include "ModuleUnderTest.h"
#include "OVTimeShift.h"

namespace {

using Microsoft::WRL::ComPtr;

constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);         // 0x80070490
constexpr HRESULT kSetNotFound = HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND);  // 0x80070492
constexpr GUID kOtherSet = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
const GUID& kControl = TSPROPSETID_Control;
const GUID& kPassThrough = TSPROPSETID_PassThrough;

class RegisteredModule : public testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_EQ(module_test::RunRegsvr32(false), 0u);
  }
  void TearDown() override { CoUninitialize(); }
};
testing::Environment* const kModule = testing::AddGlobalTestEnvironment(new RegisteredModule);

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoCreateInstance(CLSID_OVTimeShiftFilter, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&filter_)), S_OK);
    ASSERT_EQ(filter_.As(&control_), S_OK);
    ASSERT_EQ(filter_.As(&properties_), S_OK);
    ASSERT_EQ(control_->SetRegistryBase(base_.c_str()), S_OK);
  }
  void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, base_.c_str()); }

  HRESULT Get(const GUID& set, DWORD id, void* data, DWORD length, DWORD* returned) {
    *returned = 0xFFFF;
    return properties_->Get(set, id, nullptr, 0, data, length, returned);
  }
  HRESULT Set(const GUID& set, DWORD id, const void* data, DWORD length) {
    return properties_->Set(set, id, nullptr, 0, const_cast<void*>(data), length);
  }

  const std::string base_ = "Software\\Orvanta\\Tests\\module-host-" + std::to_string(GetCurrentProcessId());
  ComPtr<IBaseFilter> filter_;
  ComPtr<IOVTimeShiftFilter> control_;
  ComPtr<IKsPropertySet> properties_;
};

TEST_F(HostTest, PagesComeFromTheRegisteredModuleInTheirOrder) {
  // Catches a page list out of order, a page class the module does not serve, and pages built
  // without their dialog resources (their titles are string resources of the module).
  ComPtr<ISpecifyPropertyPages> specify;
  ASSERT_EQ(filter_.As(&specify), S_OK);
  CAUUID pages{};
  ASSERT_EQ(specify->GetPages(&pages), S_OK);
  ASSERT_EQ(pages.cElems, 4u);
  const CLSID* order[] = {&CLSID_TSGeneralProps, &CLSID_TSBufStatPropPage, &CLSID_TSCacheProps, &CLSID_TSPerfInstProp};
  const wchar_t* titles[] = {L"General", L"Status", L"Cache ", L"Instrumentation"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(IsEqualCLSID(pages.pElems[i], *order[i])) << "page " << i;
    ComPtr<IPropertyPage> page;
    ASSERT_EQ(CoCreateInstance(pages.pElems[i], nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&page)), S_OK);
    PROPPAGEINFO info{};
    ASSERT_EQ(page->GetPageInfo(&info), S_OK);
    EXPECT_STREQ(info.pszTitle, titles[i]);
    CoTaskMemFree(info.pszTitle);
  }
  CoTaskMemFree(pages.pElems);
}

TEST_F(HostTest, PropertyDataMustHaveItsRecordsLength) {
  // Catches a record read from or written into an area of another size, a returned count left
  // stale or set for the pass-through flag, and sets or ids answered with the wrong code.
  struct Row {
    const GUID* set;
    DWORD id;
    DWORD length;
    HRESULT getResult, setResult;
    DWORD returned;  // by a successful Get
  };
  const Row rows[] = {
      {&kControl, TSPROPERTY_PLAY_POSITION, 4, E_INVALIDARG, E_INVALIDARG, 0},
      {&kControl, TSPROPERTY_PLAY_POSITION, 16, E_INVALIDARG, S_OK, 0},  // Set reads the first 8
      {&kControl, TSPROPERTY_PLAY_POSITION, 8, S_OK, S_OK, 8},
      {&kControl, TSPROPERTY_CACHE_SETTINGS, 32, E_INVALIDARG, E_INVALIDARG, 0},
      {&kControl, TSPROPERTY_CACHE_SETTINGS, 24, S_OK, S_OK, 24},
      {&kControl, TSPROPERTY_CACHE_BITRATE, 8, kNotFound, E_INVALIDARG, 0},
      {&kControl, TSPROPERTY_CACHE_BITRATE, 4, kNotFound, S_OK, 0},
      {&kControl, TSPROPERTY_BUFFER_SETTINGS, 24, E_INVALIDARG, E_INVALIDARG, 0},
      {&kControl, TSPROPERTY_PLAY_STATE, 8, E_INVALIDARG, kNotFound, 0},
      {&kControl, TSPROPERTY_PLAY_STATE, 4, S_OK, kNotFound, 4},
      {&kControl, TSPROPERTY_PASS_THROUGH, 4, kNotFound, kNotFound, 0},
      {&kPassThrough, TSPROPERTY_PASS_THROUGH, 8, E_INVALIDARG, S_OK, 0},  // Set reads the first 4
      {&kPassThrough, TSPROPERTY_PASS_THROUGH, 4, S_OK, S_OK, 0},
      {&kPassThrough, TSPROPERTY_PLAY_STATE, 4, kNotFound, kNotFound, 0},
      {&kOtherSet, TSPROPERTY_PLAY_STATE, 4, kSetNotFound, kSetNotFound, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "id " << row.id << ", " << row.length << " bytes");
    unsigned char data[32] = {};  // zeroes: pass-through off, bit rate 0, the oldest position
    DWORD returned;
    EXPECT_EQ(Get(*row.set, row.id, data, row.length, &returned), row.getResult);
    EXPECT_EQ(returned, row.returned);
    std::memset(data, 0, sizeof data);
    EXPECT_EQ(Set(*row.set, row.id, data, row.length), row.setResult);
  }
  DWORD returned;
  EXPECT_EQ(Get(kControl, TSPROPERTY_PLAY_STATE, nullptr, 4, &returned), E_INVALIDARG);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(Set(kControl, TSPROPERTY_PLAY_POSITION, nullptr, 8), E_INVALIDARG);
}

TEST_F(HostTest, PropertySetCarriesTheSettingsAndPassThrough) {
  // Catches a Set that normalises the caller's own record, settings that do not come back
  // through Get, strings the caller is not given, and a play state offered while the buffer is
  // out of the stream.
  const TSCacheConfig cache{100, 10, 5, 300, 40, 80};
  DWORD returned;
  ASSERT_EQ(Set(kControl, TSPROPERTY_CACHE_SETTINGS, &cache, 24), S_OK);
  EXPECT_EQ(cache.inputCacheKB, 100u) << "the caller's record is not normalised";
  TSCacheConfig stored{};
  ASSERT_EQ(Get(kControl, TSPROPERTY_CACHE_SETTINGS, &stored, 24, &returned), S_OK);
  EXPECT_EQ(stored.outputCacheKB, 256u);
  EXPECT_EQ(stored.outputChunkKB, 32u);

  // The filter takes over (and frees) the two strings; a Get hands out new ones.
  TSBufferConfig buffer{SysAllocString(L"C:\\ovts-host\\"), SysAllocString(L"host.mpg"), 4096, 64, 0x100000, 3};
  ASSERT_EQ(Set(kControl, TSPROPERTY_BUFFER_SETTINGS, &buffer, 32), S_OK);
  TSBufferConfig read{};
  ASSERT_EQ(Get(kControl, TSPROPERTY_BUFFER_SETTINGS, &read, 32, &returned), S_OK);
  EXPECT_EQ(returned, 32u);
  EXPECT_STREQ(read.directory, L"C:\\ovts-host\\");
  EXPECT_STREQ(read.fileName, L"host.mpg");
  EXPECT_EQ(read.initialTimeShift, 0x100000u);
  SysFreeString(read.directory);
  SysFreeString(read.fileName);

  const unsigned char on[1] = {1};  // any length is taken
  ASSERT_EQ(Set(kPassThrough, TSPROPERTY_PASS_THROUGH, on, 1), S_OK);
  uint32_t flag = 0, state = 0;
  ASSERT_EQ(Get(kPassThrough, TSPROPERTY_PASS_THROUGH, &flag, 4, &returned), S_OK);
  EXPECT_EQ(flag, 1u);
  EXPECT_EQ(Get(kControl, TSPROPERTY_PLAY_STATE, &state, 4, &returned), E_FAIL);
  flag = 0;
  ASSERT_EQ(Set(kPassThrough, TSPROPERTY_PASS_THROUGH, &flag, 4), S_OK);
  EXPECT_EQ(Get(kControl, TSPROPERTY_PLAY_STATE, &state, 4, &returned), S_OK);
}

TEST_F(HostTest, QuerySupportedAnswersFromItsFixedTable) {
  // Catches answers derived from what Get and Set accept instead of the table hosts were given
  // (id 6 works but is not listed; the pass-through flag is listed yet fails), and a support
  // word left unset on refusal.
  struct Row {
    const GUID* set;
    DWORD id;
    HRESULT result;
    DWORD support;
  };
  const Row rows[] = {{&kControl, 0, S_OK, 3},        {&kControl, 3, S_OK, 3},         {&kControl, 4, S_OK, 3},
                      {&kControl, 1, S_OK, 1},        {&kControl, 2, S_OK, 1},         {&kControl, 8, S_OK, 1},
                      {&kControl, 5, kNotFound, 0},   {&kControl, 6, kNotFound, 0},    {&kPassThrough, 7, kNotFound, 3},
                      {&kPassThrough, 3, kNotFound, 0}, {&kOtherSet, 3, kSetNotFound, 0}};
  for (const Row& row : rows) {
    DWORD support = 0xFF;
    EXPECT_EQ(properties_->QuerySupported(*row.set, row.id, &support), row.result) << "id " << row.id;
    EXPECT_EQ(support, row.support) << "id " << row.id;
  }
}

}  // namespace
