// Every value the filter keeps under its settings key: name, registry type and the default used
// when the value is absent. The only place that spells a value name; the filter's getters and
// setters and the host's settings command take them from here.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string_view>

#include "OVTimeShiftTypes.h"

namespace ovts {

// Default settings key under the per-user (or machine-wide) root.
inline constexpr char kTSDefaultKeyPath[] = "Software\\Orvanta\\Common\\TShift";
// Appended to a host's own base path: the filter's key is always a "TShift" sub-key.
inline constexpr char kTSKeyLeaf[] = "\\TShift";

struct TSStringSetting {  // REG_SZ
  const char* name;
  const char* defaultValue;
};

struct TSDwordSetting {  // REG_DWORD, little-endian 32-bit unsigned
  const char* name;
  uint32_t defaultValue;
};

struct TSTripleSetting {  // REG_BINARY of exactly 12 bytes: three 32-bit unsigned values
  const char* name;
  uint32_t defaultValue[3];
};

inline constexpr TSStringSetting kTSDrive{"Drive", "C:\\"};
inline constexpr TSStringSetting kTSFile{"File", "TShift.mpg"};
inline constexpr TSDwordSetting kTSMaxBufSizeKB{"Max BufSize (KB)", 32768};
inline constexpr TSDwordSetting kTSMinDiskFreeMB{"Min Disk Free Space (MB)", 128};
inline constexpr TSDwordSetting kTSOptions{"Options", 1};
inline constexpr TSDwordSetting kTSInitialTimeShift{"Initial Time-Shift", TS_INITIAL_TIME_SHIFT_DEFAULT};
// Cache size KB, transfer size KB, threshold percent.
inline constexpr TSTripleSetting kTSInputCache{
    "Input Cache",
    {TS_DEFAULT_CACHE_CONFIG.inputCacheKB, TS_DEFAULT_CACHE_CONFIG.inputChunkKB, TS_DEFAULT_CACHE_CONFIG.inputThreshold}};
inline constexpr TSTripleSetting kTSOutputCache{
    "Output Cache",
    {TS_DEFAULT_CACHE_CONFIG.outputCacheKB, TS_DEFAULT_CACHE_CONFIG.outputChunkKB, TS_DEFAULT_CACHE_CONFIG.outputThreshold}};

// "Initial Time-Shift" is only ever written inside this range (bytes, inclusive).

// The same values as one table, for tools that list or reset them all. The default is given as
// the bytes the registry would hold.
struct TSSettingInfo {
  const char* name;
  DWORD type;
  const void* defaultData;
  DWORD defaultSize;
};

inline constexpr TSSettingInfo kTSSettings[] = {
    {kTSDrive.name, REG_SZ, kTSDrive.defaultValue,
     static_cast<DWORD>(std::string_view(kTSDrive.defaultValue).size() + 1)},
    {kTSFile.name, REG_SZ, kTSFile.defaultValue,
     static_cast<DWORD>(std::string_view(kTSFile.defaultValue).size() + 1)},
    {kTSMaxBufSizeKB.name, REG_DWORD, &kTSMaxBufSizeKB.defaultValue, sizeof(uint32_t)},
    {kTSMinDiskFreeMB.name, REG_DWORD, &kTSMinDiskFreeMB.defaultValue, sizeof(uint32_t)},
    {kTSOptions.name, REG_DWORD, &kTSOptions.defaultValue, sizeof(uint32_t)},
    {kTSInitialTimeShift.name, REG_DWORD, &kTSInitialTimeShift.defaultValue, sizeof(uint32_t)},
    {kTSInputCache.name, REG_BINARY, kTSInputCache.defaultValue, sizeof(kTSInputCache.defaultValue)},
    {kTSOutputCache.name, REG_BINARY, kTSOutputCache.defaultValue, sizeof(kTSOutputCache.defaultValue)},
};

}  // namespace ovts
