// A host that knows only the public header and links nothing of ours: it registers this build's
// ovts.ax with the platform's regsvr32, creates the filter and its pages by class through COM,
// and holds the filter's property sets, page list and instrumentation interface to their rules.
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

  HRESULT Get(const GUID& set, DWORD id, void* data, DWORD length, DWORD* returned = nullptr) {
    DWORD count = 0xFFFF;
    const HRESULT hr = properties_->Get(set, id, nullptr, 0, data, length, &count);
    if (returned) *returned = count;
    return hr;
  }
  HRESULT Set(const GUID& set, DWORD id, const void* data, DWORD length) {
    return properties_->Set(set, id, nullptr, 0, const_cast<void*>(data), length);
  }
  uint32_t PassThrough() {
    uint32_t on = 0xFF;
    EXPECT_EQ(Get(TSPROPSETID_PassThrough, TSPROPERTY_PASS_THROUGH, &on, 4), S_OK);
    return on;
  }

  const std::string base_ = "Software\\Orvanta\\Tests\\module-host-" + std::to_string(GetCurrentProcessId());
  ComPtr<IBaseFilter> filter_;
  ComPtr<IOVTimeShiftFilter> control_;
  ComPtr<IKsPropertySet> properties_;
};

TEST_F(HostTest, FilterAndPagesComeFromTheRegisteredModule) {
  // Catches a page list out of order, a page class the module does not serve, pages built
  // without their dialog resources, and instrumentation that does not start at its defaults or
  // keep what it is given.
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

  ComPtr<IOVTSInstrumentation> instrumentation;
  ASSERT_EQ(filter_.As(&instrumentation), S_OK);
  TSInstrumentationSettings settings{};
  ASSERT_EQ(instrumentation->GetInstrumentation(&settings), S_OK);
  const TSInstrumentationSettings defaults{0, 750, 1500, 1000, 5000};
  EXPECT_EQ(std::memcmp(&settings, &defaults, sizeof settings), 0);
  const TSInstrumentationSettings changed{TSINST_INPUT | TSINST_OUTPUT, 1, 2, 3, 4};
  ASSERT_EQ(instrumentation->SetInstrumentation(&changed), S_OK);
  ASSERT_EQ(instrumentation->GetInstrumentation(&settings), S_OK);
  EXPECT_EQ(std::memcmp(&settings, &changed, sizeof settings), 0);
}

TEST_F(HostTest, PropertyGetHoldsToExactLengths) {
  // Catches a record written into an area of another size, a returned count left stale or set
  // for the pass-through flag, and ids or sets answered with the wrong code.
  DWORD returned = 0;
  int64_t position = -1;
  EXPECT_EQ(Get(TSPROPSETID_Control, TSPROPERTY_PLAY_POSITION, &position, 8, &returned), S_OK);
  EXPECT_EQ(returned, 8u);
  EXPECT_EQ(position, 0);
  unsigned char area[40] = {};
  EXPECT_EQ(Get(TSPROPSETID_Control, TSPROPERTY_CACHE_SETTINGS, area, 32, &returned), E_INVALIDARG);
  EXPECT_EQ(returned, 0u);
  TSCacheConfig cache{};
  EXPECT_EQ(Get(TSPROPSETID_Control, TSPROPERTY_CACHE_SETTINGS, &cache, 24, &returned), S_OK);
  EXPECT_EQ(returned, 24u);
  EXPECT_EQ(cache.inputCacheKB, 4096u);
  EXPECT_EQ(cache.outputThreshold, 75u);
  TSBufferConfig buffer{};
  ASSERT_EQ(Get(TSPROPSETID_Control, TSPROPERTY_BUFFER_SETTINGS, &buffer, 32, &returned), S_OK);
  EXPECT_EQ(returned, 32u);
  EXPECT_STREQ(buffer.directory, L"C:\\");
  EXPECT_STREQ(buffer.fileName, L"TShift.mpg");
  SysFreeString(buffer.directory);  // the caller's
  SysFreeString(buffer.fileName);
  EXPECT_EQ(Get(TSPROPSETID_Control, TSPROPERTY_BUFFER_SETTINGS, area, 24), E_INVALIDARG);
  uint32_t state = 0xFF;
  EXPECT_EQ(Get(TSPROPSETID_Control, TSPROPERTY_PLAY_STATE, &state, 4, &returned), S_OK);
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(state, static_cast<uint32_t>(TSSTATE_IDLE));
  EXPECT_EQ(Get(TSPROPSETID_Control, TSPROPERTY_PLAY_STATE, area, 8), E_INVALIDARG);
  EXPECT_EQ(Get(TSPROPSETID_Control, TSPROPERTY_PLAY_POSITION, area, 16), E_INVALIDARG);
  EXPECT_EQ(Get(TSPROPSETID_Control, TSPROPERTY_CACHE_BITRATE, area, 4), kNotFound);
  EXPECT_EQ(Get(TSPROPSETID_Control, TSPROPERTY_PASS_THROUGH, area, 4), kNotFound);
  EXPECT_EQ(Get(TSPROPSETID_Control, TSPROPERTY_PLAY_POSITION, nullptr, 8, &returned), E_INVALIDARG);
  EXPECT_EQ(returned, 0u);

  uint32_t on = 0xFF;
  EXPECT_EQ(Get(TSPROPSETID_PassThrough, TSPROPERTY_PASS_THROUGH, &on, 4, &returned), S_OK);
  EXPECT_EQ(on, 0u);
  EXPECT_EQ(returned, 0u) << "the pass-through flag leaves the count at 0";
  EXPECT_EQ(Get(TSPROPSETID_PassThrough, TSPROPERTY_PASS_THROUGH, area, 8), E_INVALIDARG);
  EXPECT_EQ(Get(TSPROPSETID_PassThrough, TSPROPERTY_PLAY_STATE, area, 4), kNotFound);
  EXPECT_EQ(Get(kOtherSet, TSPROPERTY_PLAY_STATE, area, 4, &returned), kSetNotFound);
  EXPECT_EQ(returned, 0u);
}

TEST_F(HostTest, PropertySetChangesSettingsAndSwitchesPassThrough) {
  // Catches a Set that normalises or consumes the caller's own record, accepts a wrong length,
  // or writes settings that the control interface does not read back; a pass-through switch on
  // a stopped filter that does more than keep the flag; and a play state offered while the
  // buffer is out of the stream.
  const TSCacheConfig cache{100, 10, 5, 300, 40, 80};
  EXPECT_EQ(Set(TSPROPSETID_Control, TSPROPERTY_CACHE_SETTINGS, &cache, 20), E_INVALIDARG);
  ASSERT_EQ(Set(TSPROPSETID_Control, TSPROPERTY_CACHE_SETTINGS, &cache, 24), S_OK);
  EXPECT_EQ(cache.inputCacheKB, 100u) << "the caller's record is not normalised";
  TSCacheConfig stored{};
  ASSERT_EQ(control_->GetCacheSettings(&stored), S_OK);
  const TSCacheConfig normalised{256, 32, 5, 256, 32, 80};
  EXPECT_EQ(std::memcmp(&stored, &normalised, sizeof stored), 0);

  const uint32_t rate = 0;
  EXPECT_EQ(Set(TSPROPSETID_Control, TSPROPERTY_CACHE_BITRATE, &rate, 8), E_INVALIDARG);
  ASSERT_EQ(Set(TSPROPSETID_Control, TSPROPERTY_CACHE_BITRATE, &rate, 4), S_OK);
  ASSERT_EQ(control_->GetCacheSettings(&stored), S_OK);
  const TSCacheConfig fromRate{512, 64, 0, 256, 32, 75};
  EXPECT_EQ(std::memcmp(&stored, &fromRate, sizeof stored), 0);

  // The filter takes over (and frees) the two strings.
  TSBufferConfig buffer{SysAllocString(L"C:\\ovts-host\\"), SysAllocString(L"host.mpg"), 4096, 64, 0x100000, 3};
  EXPECT_EQ(Set(TSPROPSETID_Control, TSPROPERTY_BUFFER_SETTINGS, &buffer, 24), E_INVALIDARG);
  ASSERT_EQ(Set(TSPROPSETID_Control, TSPROPERTY_BUFFER_SETTINGS, &buffer, 32), S_OK);
  TSBufferConfig read{};
  ASSERT_EQ(control_->GetBufferSettings(&read), S_OK);
  EXPECT_STREQ(read.directory, L"C:\\ovts-host\\");
  EXPECT_STREQ(read.fileName, L"host.mpg");
  EXPECT_EQ(read.sizeKB, 4096u);
  EXPECT_EQ(read.minFreeMB, 64u);
  EXPECT_EQ(read.initialTimeShift, 0x100000u);
  EXPECT_EQ(read.options, 3u);
  SysFreeString(read.directory);
  SysFreeString(read.fileName);

  const int64_t position[2] = {4096, -1};
  EXPECT_EQ(Set(TSPROPSETID_Control, TSPROPERTY_PLAY_POSITION, position, 4), E_INVALIDARG);
  EXPECT_EQ(Set(TSPROPSETID_Control, TSPROPERTY_PLAY_POSITION, position, 16), S_OK);
  const uint32_t state = TSSTATE_PLAYING;
  EXPECT_EQ(Set(TSPROPSETID_Control, TSPROPERTY_PLAY_STATE, &state, 4), kNotFound);
  EXPECT_EQ(Set(TSPROPSETID_Control, TSPROPERTY_PLAY_POSITION, nullptr, 8), E_INVALIDARG);
  EXPECT_EQ(Set(kOtherSet, TSPROPERTY_PLAY_POSITION, position, 8), kSetNotFound);
  EXPECT_EQ(Set(TSPROPSETID_PassThrough, TSPROPERTY_PLAY_STATE, &state, 4), kNotFound);

  const unsigned char on[1] = {1};  // any length is taken
  ASSERT_EQ(Set(TSPROPSETID_PassThrough, TSPROPERTY_PASS_THROUGH, on, 1), S_OK);
  EXPECT_EQ(PassThrough(), 1u);
  uint32_t playState = 0;
  EXPECT_EQ(Get(TSPROPSETID_Control, TSPROPERTY_PLAY_STATE, &playState, 4), E_FAIL);
  const uint32_t off = 0;
  ASSERT_EQ(Set(TSPROPSETID_PassThrough, TSPROPERTY_PASS_THROUGH, &off, 4), S_OK);
  EXPECT_EQ(PassThrough(), 0u);
  EXPECT_EQ(Get(TSPROPSETID_Control, TSPROPERTY_PLAY_STATE, &playState, 4), S_OK);
}

TEST_F(HostTest, QuerySupportedAnswersFromItsFixedTable) {
  // Catches answers derived from what Get and Set accept instead of the table hosts were given,
  // and a support word left unset on refusal.
  struct Row {
    const GUID* set;
    DWORD id;
    HRESULT result;
    DWORD support;
  };
  const Row rows[] = {
      {&TSPROPSETID_Control, 0, S_OK, 3},       {&TSPROPSETID_Control, 3, S_OK, 3},
      {&TSPROPSETID_Control, 4, S_OK, 3},       {&TSPROPSETID_Control, 1, S_OK, 1},
      {&TSPROPSETID_Control, 2, S_OK, 1},       {&TSPROPSETID_Control, 8, S_OK, 1},
      {&TSPROPSETID_Control, 5, kNotFound, 0},  {&TSPROPSETID_Control, 6, kNotFound, 0},
      {&TSPROPSETID_Control, 7, kNotFound, 0},  {&TSPROPSETID_PassThrough, 7, kNotFound, 3},
      {&TSPROPSETID_PassThrough, 3, kNotFound, 0}, {&kOtherSet, 3, kSetNotFound, 0},
  };
  for (const Row& row : rows) {
    DWORD support = 0xFF;
    EXPECT_EQ(properties_->QuerySupported(*row.set, row.id, &support), row.result) << "id " << row.id;
    EXPECT_EQ(support, row.support) << "id " << row.id;
  }
  EXPECT_EQ(properties_->QuerySupported(TSPROPSETID_Control, 3, nullptr), S_OK);
}

}  // namespace
