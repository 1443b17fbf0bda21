// `tshift settings`: shows and changes the filter's stored settings through IOVTimeShiftFilter,
// so the filter's checks and normalisation apply exactly as for any host.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "include/OVTimeShift.h"
#include "tools/tshift/Commands.h"
#include "tools/tshift/HostSupport.h"
#include "tools/tshift/TimeShiftGraph.h"

namespace ovts::tshift {

namespace {

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

// The value names are compared as text: the table and the constants may hold separate copies.
template <class Setting>
bool Is(const char* name, const Setting& setting) {
  return std::string_view(name) == setting.name;
}

// The value of one named setting as the filter reports it.
std::string ValueOf(const char* name, TimeShiftFilter& ts) {
  BufferSettings buffer(ts.control.Get());
  const TSBufferConfig& c = buffer.config();
  TSCacheConfig caches{};
  ts.control->GetCacheSettings(&caches);
  if (Is(name, kTSDrive)) return c.directory ? Narrow(c.directory) : "";
  if (Is(name, kTSFile)) return c.fileName ? Narrow(c.fileName) : "";
  if (Is(name, kTSMaxBufSizeKB)) return std::to_string(c.sizeKB);
  if (Is(name, kTSMinDiskFreeMB)) return std::to_string(c.minFreeMB);
  if (Is(name, kTSOptions)) return std::to_string(c.options) + " (" + OptionNames(c.options) + ")";
  if (Is(name, kTSInitialTimeShift)) return std::to_string(c.initialTimeShift);
  if (Is(name, kTSInputCache)) return Triple(&caches.inputCacheKB);
  if (Is(name, kTSOutputCache)) return Triple(&caches.outputCacheKB);
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
  WriteOutput(text);
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
  if (Is(name, kTSInputCache) || Is(name, kTSOutputCache)) {
    TSCacheConfig caches{};
    uint32_t triple[3];
    if (!ParseTriple(v, triple)) return Fail(quoted + " takes three numbers: size KB, transfer KB, threshold %, as in 1024,128,75");
    hr = ts.control->GetCacheSettings(&caches);
    if (FAILED(hr)) return Fail("cannot read the cache settings: " + ErrorText(hr));
    uint32_t* target = Is(name, kTSInputCache) ? &caches.inputCacheKB : &caches.outputCacheKB;
    for (int i = 0; i < 3; ++i) target[i] = triple[i];
    hr = ts.control->SetCacheSettings(&caches);
  } else if (Is(name, kTSInitialTimeShift)) {
    uint32_t bytes = 0;
    if (!ParseNumber(v, &bytes) || bytes < TS_INITIAL_TIME_SHIFT_MIN || bytes > TS_INITIAL_TIME_SHIFT_MAX)
      return Fail(quoted + " takes " + std::to_string(TS_INITIAL_TIME_SHIFT_MIN) + " to " +
                  std::to_string(TS_INITIAL_TIME_SHIFT_MAX) + " bytes, not '" + v + "'");
    hr = ts.control->SetInitialTimeShift(static_cast<int32_t>(bytes));
  } else {
    BufferSettings buffer(ts.control.Get());
    TSBufferConfig& c = buffer.config();
    uint32_t number = 0;
    const bool isString = Is(name, kTSDrive) || Is(name, kTSFile);
    if (isString && v.empty()) return Fail(quoted + " cannot be empty");
    if (!isString && !ParseNumber(v, &number)) return Fail(quoted + " takes a number, not '" + v + "'");
    if (Is(name, kTSDrive)) buffer.SetString(&TSBufferConfig::directory, v);
    else if (Is(name, kTSFile)) buffer.SetString(&TSBufferConfig::fileName, v);
    else if (Is(name, kTSMaxBufSizeKB)) c.sizeKB = number;
    else if (Is(name, kTSMinDiskFreeMB)) c.minFreeMB = number;
    else c.options = number;
    hr = buffer.Store();
  }
  if (FAILED(hr)) return Fail("the filter could not store " + quoted + ": " + ErrorText(hr));
  const std::string line = std::string(name) + " = " + ValueOf(name, ts) + "\n";
  WriteOutput(line);
  if (Is(name, kTSDrive)) {
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
  return options.command == Command::kSettingsSet ? Set(ts, options) : Show(ts, options.registry);
}

}  // namespace ovts::tshift
