#include "filter/CTSControl.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "filter/COVRegKey.h"
#include "filter/CTSFilter.h"
#include "platform/Owners.h"

namespace ovts {

namespace {

constexpr REGSAM kSettingsAccess = KEY_READ | KEY_WRITE;  // creates the key when it is missing
constexpr int64_t kWriteLocationLag = 524288;              // "Write Location" trails the write position
constexpr uint32_t kCacheSizeStepKB = 256;
constexpr uint32_t kCacheChunkStepKB = 32;
constexpr uint32_t kMaxThreshold = 100;  // percent
constexpr uint32_t kMinBitRate = 512;    // kilobits per second
constexpr uint32_t kMaxBitRate = 20480;
constexpr uint32_t kBitRateStep = 128;

// A string setting read into a text area that holds its default beforehand; null when empty.
BSTR ReadText(COVRegKey& key, const TSStringSetting& setting) {
  char text[COVRegKey::kMaxPath];
  OVStrCopy(text, sizeof text, setting.defaultValue, COVStringT::kAll);
  DWORD size = sizeof text;
  key.ReadString(setting.name, text, &size);
  return port::NarrowToBstr(text);
}

// A cache triple; anything but a 12-byte binary value gives the default triple.
void ReadTriple(COVRegKey& key, const TSTripleSetting& setting, uint32_t (&values)[3]) {
  uint32_t stored[3];
  DWORD size = sizeof stored;
  const bool whole = SUCCEEDED(key.ReadBinary(setting.name, stored, &size)) && size == sizeof stored;
  std::memcpy(values, whole ? stored : setting.defaultValue, sizeof values);
}

bool IsEmpty(const OLECHAR* text) { return !text || !*text; }

// A status figure for the caller.
HRESULT Report(int64_t* out, int64_t value) {
  RETURN_HR_IF_NULL(E_POINTER, out);
  *out = value;
  return S_OK;
}

// Rounds down to a multiple of step, at least step.
uint32_t RoundDown(uint32_t value, uint32_t step) { return std::max(step, value / step * step); }

}  // namespace

CTSControl::CTSControl(CTSFilter& filter) noexcept
    : filter_(filter), keyPath_(kTSDefaultKeyPath), initialTimeShift_(kTSInitialTimeShift.defaultValue) {}

HRESULT CTSControl::QueryInterface(REFIID iid, void** result) { return filter_.GetOwner()->QueryInterface(iid, result); }
ULONG CTSControl::AddRef() { return filter_.GetOwner()->AddRef(); }
ULONG CTSControl::Release() { return filter_.GetOwner()->Release(); }

COVStringT CTSControl::KeyPath() {
  port::LockGuard guard(keyPathLock_);
  return keyPath_;
}

HRESULT CTSControl::GetBufferSettings(TSBufferConfig* config) {
  RETURN_HR_IF_NULL(E_POINTER, config);
  COVRegKey key(KeyPath().c_str(), kSettingsAccess);
  config->directory = ReadText(key, kTSDrive);
  config->fileName = ReadText(key, kTSFile);
  DWORD value = 0;
  key.ReadDWORD(kTSMaxBufSizeKB.name, &value, kTSMaxBufSizeKB.defaultValue);
  config->sizeKB = value;
  key.ReadDWORD(kTSMinDiskFreeMB.name, &value, kTSMinDiskFreeMB.defaultValue);
  config->minFreeMB = value;
  uint32_t initial = 0;
  GetInitialTimeShift(&initial);
  config->initialTimeShift = initial;
  key.ReadDWORD(kTSOptions.name, &value, kTSOptions.defaultValue);
  config->options = value;
  return S_OK;
}

HRESULT CTSControl::SetBufferSettings(TSBufferConfig* config) {
  RETURN_HR_IF_NULL(E_POINTER, config);
  // A name the settings store could not read back would turn into its default silently: refuse
  // it, consuming the record as always.
  for (const OLECHAR* text : {config->directory, config->fileName}) {
    if (!text || port::StringLength(text) < COVRegKey::kMaxPath) continue;
    port::BufferConfigHolder::Clear(*config);  // the record is consumed
    return E_INVALIDARG;
  }
  if (IsEmpty(config->directory) || IsEmpty(config->fileName)) {
    port::BufferConfigHolder current;
    GetBufferSettings(current.get());
    if (IsEmpty(config->directory)) std::swap(config->directory, current->directory);
    if (IsEmpty(config->fileName)) std::swap(config->fileName, current->fileName);
  }
  filter_.Buffer().SetConfig(config);
  LONG optionsWritten;
  {
    COVRegKey key(KeyPath().c_str(), kSettingsAccess);
    const std::unique_ptr<char[]> directory(port::WideToNarrow(config->directory));
    const std::unique_ptr<char[]> fileName(port::WideToNarrow(config->fileName));
    key.WriteString(kTSDrive.name, directory ? directory.get() : "");
    key.WriteString(kTSFile.name, fileName ? fileName.get() : "");
    key.WriteDWORD(kTSMaxBufSizeKB.name, config->sizeKB);
    key.WriteDWORD(kTSMinDiskFreeMB.name, config->minFreeMB);
    SetInitialTimeShift(static_cast<int32_t>(config->initialTimeShift));
    optionsWritten = key.WriteDWORD(kTSOptions.name, config->options);
  }
  port::BufferConfigHolder::Clear(*config);  // the record is consumed
  return optionsWritten == 0 ? S_OK : E_FAIL;
}

HRESULT CTSControl::GetBufferParam(intptr_t argument) { return filter_.Buffer().GetParam(argument); }

HRESULT CTSControl::SetBufferParam(uint32_t id, int32_t value) {
  return filter_.Buffer().SetParam(id, static_cast<intptr_t>(value));
}

HRESULT CTSControl::SetCacheSettings(TSCacheConfig* config) {
  RETURN_HR_IF_NULL(E_POINTER, config);
  // Sizes and chunks in their steps; a chunk no larger than its cache and a threshold of at
  // most 100 %, or the buffer could never deliver.
  config->inputCacheKB = RoundDown(config->inputCacheKB, kCacheSizeStepKB);
  config->inputChunkKB = std::min(RoundDown(config->inputChunkKB, kCacheChunkStepKB), config->inputCacheKB);
  config->inputThreshold = std::min(config->inputThreshold, kMaxThreshold);
  config->outputCacheKB = RoundDown(config->outputCacheKB, kCacheSizeStepKB);
  config->outputChunkKB = std::min(RoundDown(config->outputChunkKB, kCacheChunkStepKB), config->outputCacheKB);
  config->outputThreshold = std::min(config->outputThreshold, kMaxThreshold);
  filter_.Buffer().SetCacheConfig(config);
  COVRegKey key(KeyPath().c_str(), kSettingsAccess);
  const uint32_t input[3] = {config->inputCacheKB, config->inputChunkKB, config->inputThreshold};
  const uint32_t output[3] = {config->outputCacheKB, config->outputChunkKB, config->outputThreshold};
  key.WriteBinary(kTSInputCache.name, input, sizeof input);
  key.WriteBinary(kTSOutputCache.name, output, sizeof output);
  return S_OK;
}

HRESULT CTSControl::GetCacheSettings(TSCacheConfig* config) {
  RETURN_HR_IF_NULL(E_INVALIDARG, config);
  COVRegKey key(KeyPath().c_str(), kSettingsAccess);
  uint32_t input[3], output[3];
  ReadTriple(key, kTSInputCache, input);
  ReadTriple(key, kTSOutputCache, output);
  *config = {input[0], input[1], input[2], output[0], output[1], output[2]};
  return S_OK;
}

HRESULT CTSControl::SetCacheBitRate(uint32_t kbitsPerSecond) {
  // The input cache holds about eight seconds of the stream.
  const uint32_t x = std::clamp(kbitsPerSecond, kMinBitRate, kMaxBitRate) / kBitRateStep;
  TSCacheConfig config{128 * x, 16 * x, 0, 32 * x, 4 * x, 75};
  return SetCacheSettings(&config);
}

HRESULT CTSControl::GetCacheBitRate(uint32_t* kbitsPerSecond) {
  if (kbitsPerSecond) *kbitsPerSecond = 0;
  return E_NOTIMPL;
}

HRESULT CTSControl::SetInitialTimeShift(int32_t bytes) {
  RETURN_HR_IF(E_INVALIDARG, bytes < static_cast<int32_t>(TS_INITIAL_TIME_SHIFT_MIN) ||
                                 bytes > static_cast<int32_t>(TS_INITIAL_TIME_SHIFT_MAX));
  COVRegKey key(KeyPath().c_str(), kSettingsAccess);
  RETURN_HR_IF(E_FAIL, key.WriteDWORD(kTSInitialTimeShift.name, static_cast<DWORD>(bytes)) != 0);
  initialTimeShift_.store(static_cast<uint32_t>(bytes));
  return S_OK;
}

HRESULT CTSControl::GetInitialTimeShift(uint32_t* bytes) {
  RETURN_HR_IF_NULL(E_POINTER, bytes);
  COVRegKey key(KeyPath().c_str(), kSettingsAccess);
  DWORD value = initialTimeShift_.load();
  key.ReadDWORD(kTSInitialTimeShift.name, &value);  // a stored value is taken as it is
  initialTimeShift_.store(value);
  *bytes = value;
  return S_OK;
}

HRESULT CTSControl::GetReadLocation(int64_t* location) { return Report(location, filter_.Buffer().GetReadOffset()); }

HRESULT CTSControl::GetTotalBufferSize(int64_t* size) { return Report(size, filter_.Buffer().GetBufferSize()); }

HRESULT CTSControl::GetCurrentBufferSize(int64_t* size) { return Report(size, filter_.Buffer().GetDataSize()); }

HRESULT CTSControl::GetWriteLocation(int64_t* location) {
  return Report(location, std::max<int64_t>(0, filter_.Buffer().GetWritePosition() - kWriteLocationLag));
}

HRESULT CTSControl::SetPlayPosition(int64_t position, int32_t mode) { return filter_.SetPlayPosition(position, mode); }

HRESULT CTSControl::Flush() { return filter_.FlushPlayback(); }

HRESULT CTSControl::Pause() { return filter_.PausePlayback(); }

HRESULT CTSControl::Resume() { return filter_.ResumePlayback(); }

HRESULT CTSControl::SetRegistryBase(const char* path) {
  RETURN_HR_IF_NULL(E_POINTER, path);
  RETURN_HR_IF(E_INVALIDARG, strnlen(path, COVRegKey::kMaxPath) + std::strlen(kTSKeyLeaf) >= COVRegKey::kMaxPath);
  filter_.Buffer().SetParam(kRegistryBaseParam, reinterpret_cast<intptr_t>(path));
  port::LockGuard guard(keyPathLock_);
  keyPath_ = path;
  keyPath_ += kTSKeyLeaf;
  return S_OK;
}

HRESULT CTSControl::SeekToLive() { return filter_.SeekToLive(); }

}  // namespace ovts
