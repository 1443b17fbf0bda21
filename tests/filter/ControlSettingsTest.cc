// The control interface's settings on Wine's real registry: where they live, and what is read
// when a value is missing or malformed.
#include <gtest/gtest.h>

#include <string>

#include "TimeShiftGraph.h"
#include "platform/Owners.h"

namespace ovts::test {
namespace {

class ControlSettingsTest : public TimeShiftGraphTest {
 protected:
  void SetUp() override {
    TimeShiftGraphTest::SetUp();
    filter_ = new CTSFilter(nullptr);
    ASSERT_HRESULT_SUCCEEDED(filter_->QueryInterface(IID_PPV_ARGS(&control_)));
    ASSERT_EQ(control_->SetRegistryBase(base_.c_str()), S_OK);
  }

  std::string Key() const { return base_ + "\\TShift"; }

  DWORD StoredDword(const char* name) {
    DWORD value = 0, size = sizeof value;
    EXPECT_EQ(RegGetValueA(HKEY_CURRENT_USER, Key().c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size),
              ERROR_SUCCESS)
        << name;
    return value;
  }

  std::string StoredText(const char* name) {
    char text[260] = {};
    DWORD size = sizeof text;
    EXPECT_EQ(RegGetValueA(HKEY_CURRENT_USER, Key().c_str(), name, RRF_RT_REG_SZ, nullptr, text, &size), ERROR_SUCCESS)
        << name;
    return text;
  }

  void Store(const char* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, Key().c_str(), name, type, data, size), ERROR_SUCCESS);
  }

  TSBufferConfig ReadBuffer() {
    TSBufferConfig config{};
    EXPECT_EQ(control_->GetBufferSettings(&config), S_OK);
    return config;
  }

  TSCacheConfig ReadCache() {
    TSCacheConfig config{};
    EXPECT_EQ(control_->GetCacheSettings(&config), S_OK);
    return config;
  }
};

void ExpectText(BSTR text, const wchar_t* expected) {
  EXPECT_STREQ(text ? text : L"", expected);
  SysFreeString(text);
}

void ExpectCache(const TSCacheConfig& c, const TSCacheConfig& expected) {
  EXPECT_EQ(c.inputCacheKB, expected.inputCacheKB);
  EXPECT_EQ(c.inputChunkKB, expected.inputChunkKB);
  EXPECT_EQ(c.inputThreshold, expected.inputThreshold);
  EXPECT_EQ(c.outputCacheKB, expected.outputCacheKB);
  EXPECT_EQ(c.outputChunkKB, expected.outputChunkKB);
  EXPECT_EQ(c.outputThreshold, expected.outputThreshold);
}

TEST_F(ControlSettingsTest, SettingsLiveUnderTheHostsBaseAndFallBackToDefaults) {
  // Catches settings read from or written to another key than the host's base, missing or wrong
  // defaults, a consumed record left owning its strings, cache sizes stored unnormalised, and
  // malformed values taken as stored.
  TSBufferConfig config = ReadBuffer();
  ExpectText(config.directory, L"C:\\");
  ExpectText(config.fileName, L"TShift.mpg");
  EXPECT_EQ(config.sizeKB, 32768u);
  EXPECT_EQ(config.minFreeMB, 128u);
  EXPECT_EQ(config.initialTimeShift, 524288u);
  EXPECT_EQ(config.options, 1u);
  ExpectCache(ReadCache(), {4096, 4096, 0, 1024, 128, 75});

  config = {SysAllocString(L"C:\\ovts-test-settings\\"), SysAllocString(L"shift.ts"), 2048, 64, 1048576, 6};
  ASSERT_EQ(control_->SetBufferSettings(&config), S_OK);
  EXPECT_EQ(config.directory, nullptr);
  EXPECT_EQ(config.fileName, nullptr);
  EXPECT_EQ(config.sizeKB, 0u);
  EXPECT_EQ(config.options, 0u);
  EXPECT_EQ(StoredText("Drive"), "C:\\ovts-test-settings\\");
  EXPECT_EQ(StoredText("File"), "shift.ts");
  EXPECT_EQ(StoredDword("Max BufSize (KB)"), 2048u);
  EXPECT_EQ(StoredDword("Min Disk Free Space (MB)"), 64u);
  EXPECT_EQ(StoredDword("Initial Time-Shift"), 1048576u);
  EXPECT_EQ(StoredDword("Options"), 6u);

  // Missing strings keep the stored ones.
  config = {nullptr, SysAllocString(L""), 4096, 64, 1048576, 1};
  ASSERT_EQ(control_->SetBufferSettings(&config), S_OK);
  config = ReadBuffer();
  ExpectText(config.directory, L"C:\\ovts-test-settings\\");
  ExpectText(config.fileName, L"shift.ts");
  EXPECT_EQ(config.sizeKB, 4096u);

  // Cache sizes are normalised in the caller's record before they are stored.
  TSCacheConfig cache{100, 10, 5, 300, 40, 80};
  ASSERT_EQ(control_->SetCacheSettings(&cache), S_OK);
  ExpectCache(cache, {256, 32, 5, 256, 32, 80});
  ExpectCache(ReadCache(), {256, 32, 5, 256, 32, 80});

  // A size stored as text, and an input cache value of 8 bytes, count as absent.
  Store("Max BufSize (KB)", REG_SZ, "1024", 5);
  const uint32_t shortInput[2] = {512, 64};
  Store("Input Cache", REG_BINARY, shortInput, sizeof shortInput);
  const uint32_t output[3] = {512, 64, 50};
  Store("Output Cache", REG_BINARY, output, sizeof output);
  EXPECT_EQ(port::BufferConfigHolder(ReadBuffer())->sizeKB, 32768u);
  ExpectCache(ReadCache(), {4096, 4096, 0, 512, 64, 50});

  // Another base: defaults again, and the former key is left alone.
  const std::string other = base_ + "\\Other";
  ASSERT_EQ(control_->SetRegistryBase(other.c_str()), S_OK);
  config = ReadBuffer();
  ExpectText(config.directory, L"C:\\");
  ExpectText(config.fileName, L"TShift.mpg");
  EXPECT_EQ(config.sizeKB, 32768u);
  ASSERT_EQ(control_->SetInitialTimeShift(2097152), S_OK);
  EXPECT_EQ(StoredDword("Initial Time-Shift"), 1048576u);
  EXPECT_EQ(control_->SetRegistryBase(std::string(255, 'k').c_str()), E_INVALIDARG);
}

}  // namespace
}  // namespace ovts::test
