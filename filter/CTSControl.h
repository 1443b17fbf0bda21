// IOVTimeShiftFilter, the time-shift control interface, as a sub-object of CTSFilter whose
// IUnknown is the filter's owner. (Its Pause shares IMediaFilter::Pause's signature, so one C++
// override could not keep the host's pause apart from the graph's.) The COM adapter of the
// filter's playback control (seeking, host pause and resume, flush, the jump back near live),
// buffer status, and the settings store: persistent buffer and cache settings in the registry
// and the initial time-shift.
//
// Threads: any host thread, and the property pages on their frame's thread. The settings calls
// take none of the filter's locks: each opens its own registry key, at the path copied under
// keyPathLock_ (the last lock of the filter's order). The playback calls take the locks CTSFilter
// names; the status getters take none.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "OVTimeShift.h"
#include "platform/Platform.h"
#include "util/COVStringT.h"

namespace ovts {

class CTSFilter;

class CTSControl final : public IOVTimeShiftFilter {
 public:
  // The buffer's set-parameter hook is offered the new base path under this identifier.
  static constexpr uint32_t kRegistryBaseParam = 0x7FFFFF00;

  explicit CTSControl(CTSFilter& filter) noexcept;
  CTSControl(const CTSControl&) = delete;
  CTSControl& operator=(const CTSControl&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE GetBufferSettings(TSBufferConfig* config) override;
  // A null or empty directory or file name keeps the one in the settings.
  HRESULT STDMETHODCALLTYPE SetBufferSettings(TSBufferConfig* config) override;
  HRESULT STDMETHODCALLTYPE GetBufferParam(intptr_t argument) override;
  HRESULT STDMETHODCALLTYPE SetBufferParam(uint32_t id, int32_t value) override;
  HRESULT STDMETHODCALLTYPE SetCacheSettings(TSCacheConfig* config) override;
  // A stored cache value that is not exactly 12 bytes counts as absent.
  HRESULT STDMETHODCALLTYPE GetCacheSettings(TSCacheConfig* config) override;
  HRESULT STDMETHODCALLTYPE SetCacheBitRate(uint32_t kbitsPerSecond) override;
  HRESULT STDMETHODCALLTYPE GetCacheBitRate(uint32_t* kbitsPerSecond) override;
  HRESULT STDMETHODCALLTYPE SetInitialTimeShift(int32_t bytes) override;
  HRESULT STDMETHODCALLTYPE GetInitialTimeShift(uint32_t* bytes) override;
  HRESULT STDMETHODCALLTYPE GetReadLocation(int64_t* location) override;
  HRESULT STDMETHODCALLTYPE SetPlayPosition(int64_t position, int32_t mode) override;
  HRESULT STDMETHODCALLTYPE GetTotalBufferSize(int64_t* size) override;
  HRESULT STDMETHODCALLTYPE GetCurrentBufferSize(int64_t* size) override;
  HRESULT STDMETHODCALLTYPE GetWriteLocation(int64_t* location) override;
  HRESULT STDMETHODCALLTYPE Flush() override;
  // Before the filter has pins (or while it is stopped) only the playback state and the
  // buffer's pause change: there is no output thread to command.
  HRESULT STDMETHODCALLTYPE Pause() override;
  HRESULT STDMETHODCALLTYPE Resume() override;
  // E_INVALIDARG, and nothing changes, when path + "\TShift" would not fit a key path.
  HRESULT STDMETHODCALLTYPE SetRegistryBase(const char* path) override;
  HRESULT STDMETHODCALLTYPE SeekToLive() override;

 private:
  COVStringT KeyPath();

  CTSFilter& filter_;
  port::RecursiveLock keyPathLock_{port::LockRank::kSettingsPath, "settings key path"};
  COVStringT keyPath_;                           // keyPathLock_
  std::atomic<uint32_t> initialTimeShift_;       // atomic
};

}  // namespace ovts
