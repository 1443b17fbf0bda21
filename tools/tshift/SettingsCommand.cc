// `tshift settings`: shows and changes the filter's stored settings through its own interfaces,
// so the filter's checks and normalisation apply exactly as for any host. The buffer record goes
// through IOVTimeShiftFilter, the cache records through IKsPropertySet.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "filter/TSSettingsValues.h"
#include "tools/tshift/Commands.h"
#include "tools/tshift/HostSupport.h"
#include "tools/tshift/TimeShiftGraph.h"

namespace ovts::tshift {

namespace {

// The buffer record, its strings owned for the scope.
class BufferSettings {
 public:
  explicit BufferSettings(IOVTimeShiftFilter* control) : control_(control) { control_->GetBufferSettings(&config_); }
  ~BufferSettings() {
    SysFreeString(config_.directory);
    SysFreeString(config_.fileName);
  }
  BufferSettings(const BufferSettings&) = delete;
  BufferSettings& operator=(const BufferSettings&) = delete;

  TSBufferConfig& config() { return config_; }
  void SetString(BSTR TSBufferConfig::*field, const std::string& text) {
    SysFreeString(config_.*field);
    config_.*field = SysAllocString(Widen(text).c_str());
  }
  // The filter takes the record over, strings included.
  HRESULT Store() { return control_->SetBufferSettings(&config_); }

 private:
  IOVTimeShiftFilter* const control_;
  TSBufferConfig config_{};
};

HRESULT GetCaches(IKsPropertySet* properties, TSCacheConfig* caches) {
  DWORD returned = 0;
  return properties->Get(TSPROPSETID_Control, TSPROPERTY_CACHE_SETTINGS, nullptr, 0, caches, sizeof *caches, &returned);
}

std::string Triple(const uint32_t* values) {
  return std::to_string(values[0]) + "," + std::to_string(values[1]) + "," + std::to_string(values[2]);
}

std::string OptionNames(uint32_t options) {
  static constexpr struct {
    uint32_t bit;
    const char* name;
  } kBits[] = {{PreAllocate, "PreAllocate"}, {DeleteOnClose, "DeleteOnClose"}, {NoWrap, "NoWrap"},
               {ExtendWhenFull, "ExtendWhenFull"}};
  std::string names;
  for (const auto& b : kBits)
    if (options & b.bit) {
      if (!names.empty()) names += '|';
      names += b.name;
    }
  return names.empty() ? "none" : names;
}

// The value of one named setting as the filter reports it.
std::string ValueOf(const char* name, TimeShiftFilter& ts) {
  BufferSettings buffer(ts.control.Get());
  const TSBufferConfig& c = buffer.config();
  TSCacheConfig caches{};
  GetCaches(ts.properties.Get(), &caches);
  if (name == kTSDrive.name) return c.directory ? Narrow(c.directory) : "";
  if (name == kTSFile.name) return c.fileName ? Narrow(c.fileName) : "";
  if (name == kTSMaxBufSizeKB.name) return std::to_string(c.sizeKB);
  if (name == kTSMinDiskFreeMB.name) return std::to_string(c.minFreeMB);
  if (name == kTSOptions.name) return std::to_string(c.options) + " (" + OptionNames(c.options) + ")";
  if (name == kTSInitialTimeShift.name) return std::to_string(c.initialTimeShift);
  if (name == kTSInputCache.name) return Triple(&caches.inputCacheKB);
  if (name == kTSOutputCache.name) return Triple(&caches.outputCacheKB);
  return "?";
}

bool ParseNumber(const std::string& text, uint32_t* value) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || v > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

bool ParseTriple(const std::string& text, uint32_t* values) {
  size_t at = 0;
  for (int i = 0; i < 3; ++i) {
    const size_t comma = text.find(',', at);
    if ((i < 2) != (comma != std::string::npos)) return false;
    if (!ParseNumber(text.substr(at, comma - at), &values[i])) return false;
    at = comma + 1;
  }
  return true;
}

const char* FindSetting(const std::string& name) {
  for (const TSSettingInfo& setting : kTSSettings)
    if (lstrcmpiA(setting.name, name.c_str()) == 0) return setting.name;
  return nullptr;
}

std::string KeyPath(const std::string& registry) {
  return "HKEY_CURRENT_USER\\" + (registry.empty() ? std::string(kTSDefaultKeyPath) : registry + kTSKeyLeaf);
}

int Show(TimeShiftFilter& ts, const std::string& registry) {
  std::string text = "settings of the Orvanta Time Shift filter (" + KeyPath(registry) + ")\n";
  for (const TSSettingInfo& setting : kTSSettings) {
    char line[512];
    std::snprintf(line, sizeof line, "  %-26s %s\n", setting.name, ValueOf(setting.name, ts).c_str());
    text += line;
  }
  WriteAll(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), text.size());
  return kExitOk;
}

int Set(TimeShiftFilter& ts, const Options& o) {
  const char* name = FindSetting(o.settingName);
  if (!name) {
    std::string names;
    for (const TSSettingInfo& setting : kTSSettings) names += (names.empty() ? "\"" : ", \"") + std::string(setting.name) + "\"";
    return Fail("unknown setting '" + o.settingName + "' (settings: " + names + ")");
  }
  const std::string& v = o.settingValue;
  const std::string quoted = std::string("\"") + name + "\"";
  HRESULT hr = S_OK;
  if (name == kTSInputCache.name || name == kTSOutputCache.name) {
    TSCacheConfig caches{};
    uint32_t triple[3];
    if (!ParseTriple(v, triple)) return Fail(quoted + " takes three numbers: size KB, transfer KB, threshold %, as in 1024,128,75");
    hr = GetCaches(ts.properties.Get(), &caches);
    if (FAILED(hr)) return Fail("cannot read the cache settings: " + ErrorText(hr));
    uint32_t* target = name == kTSInputCache.name ? &caches.inputCacheKB : &caches.outputCacheKB;
    for (int i = 0; i < 3; ++i) target[i] = triple[i];
    hr = ts.properties->Set(TSPROPSETID_Control, TSPROPERTY_CACHE_SETTINGS, nullptr, 0, &caches, sizeof caches);
  } else if (name == kTSInitialTimeShift.name) {
    uint32_t bytes = 0;
    if (!ParseNumber(v, &bytes) || bytes < kTSInitialTimeShiftMin || bytes > kTSInitialTimeShiftMax)
      return Fail(quoted + " takes " + std::to_string(kTSInitialTimeShiftMin) + " to " +
                  std::to_string(kTSInitialTimeShiftMax) + " bytes, not '" + v + "'");
    hr = ts.control->SetInitialTimeShift(static_cast<int32_t>(bytes));
  } else {
    BufferSettings buffer(ts.control.Get());
    TSBufferConfig& c = buffer.config();
    uint32_t number = 0;
    const bool isString = name == kTSDrive.name || name == kTSFile.name;
    if (isString && v.empty()) return Fail(quoted + " cannot be empty");
    if (!isString && !ParseNumber(v, &number)) return Fail(quoted + " takes a number, not '" + v + "'");
    if (name == kTSDrive.name) buffer.SetString(&TSBufferConfig::directory, v);
    else if (name == kTSFile.name) buffer.SetString(&TSBufferConfig::fileName, v);
    else if (name == kTSMaxBufSizeKB.name) c.sizeKB = number;
    else if (name == kTSMinDiskFreeMB.name) c.minFreeMB = number;
    else c.options = number;
    hr = buffer.Store();
  }
  if (FAILED(hr)) return Fail("the filter could not store " + quoted + ": " + ErrorText(hr));
  const std::string line = std::string(name) + " = " + ValueOf(name, ts) + "\n";
  WriteAll(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), line.size());
  if (name == kTSDrive.name) {
    std::string note;
    const std::string problem = CheckBufferPlace(ts.control.Get(), &note);
    if (!problem.empty()) WriteError("tshift: note: " + problem + "\n");
  }
  return kExitOk;
}

}  // namespace

int RunSettings(const Options& options) {
  TimeShiftFilter ts;
  std::string error;
  if (FAILED(ts.Create(options.registry, &error))) return Fail(error);
  if (!ts.properties) return Fail("the Orvanta Time Shift filter offers no IKsPropertySet for its cache settings");
  return options.command == Command::kSettingsSet ? Set(ts, options) : Show(ts, options.registry);
}

}  // namespace ovts::tshift
