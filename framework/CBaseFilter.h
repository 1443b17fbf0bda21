// The filter half of the media-graph framework: COM identity of a filter, its three-state machine
// (Stopped, Paused, Running) driving the connected pins, clock, graph membership and events.
//
// Threads: the graph's and the host's threads call the IBaseFilter operations; streaming threads
// call NotifyEvent and GetState-like reads. The filter lock (supplied by the derived filter, see
// CSource) serialises state changes and connection work with the pins.
//
// Lock order, for the framework: the filter lock, then a pin's worker-thread access lock
// (CAMThread), then the platform allocator's own locks. A streaming thread never takes the
// filter lock, because state changes hold it while they wait for that thread's answers.
#pragma once

#include <dshow.h>

#include <atomic>
#include <memory>

#include "framework/ComKit.h"
#include "framework/CUnknown.h"
#include "platform/Platform.h"

namespace ovts {

class CBasePin;

// Filter registration data the module writes (the platform headers name only its parts).
using AMOVIESETUP_MEDIATYPE = REGPINTYPES;
using AMOVIESETUP_PIN = REGFILTERPINS;
struct AMOVIESETUP_FILTER {
  const CLSID* clsID;
  const WCHAR* strName;
  DWORD dwMerit;
  UINT nPins;
  const AMOVIESETUP_PIN* lpPin;
};

class CBaseFilter : public CUnknown, public IBaseFilter, public IAMovieSetup {
 public:
  CBaseFilter(IUnknown* outer, port::RecursiveLock* filterLock, REFCLSID clsid) noexcept;
  ~CBaseFilter() override;

  DECLARE_IUNKNOWN
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** result) override;

  // Stream time: the clock's time minus the stream start time.
  virtual HRESULT StreamTime(REFERENCE_TIME& time);
  virtual LONG GetPinVersion();
  virtual int GetPinCount() = 0;
  // The pin at index n (0-based), not referenced, or null.
  virtual CBasePin* GetPin(int n) = 0;
  virtual const AMOVIESETUP_FILTER* GetSetupData();

  // IPersist
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override;
  // IMediaFilter
  HRESULT STDMETHODCALLTYPE Stop() override;
  HRESULT STDMETHODCALLTYPE Pause() override;
  HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME start) override;
  HRESULT STDMETHODCALLTYPE GetState(DWORD timeoutMs, FILTER_STATE* state) override;
  HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock* clock) override;
  HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** clock) override;
  // IBaseFilter
  HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** pins) override;
  HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR id, IPin** pin) override;
  HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* info) override;
  HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
  HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR* info) override;
  // IAMovieSetup
  HRESULT STDMETHODCALLTYPE Register() override;
  HRESULT STDMETHODCALLTYPE Unregister() override;

  // Sends an event to the graph; EC_COMPLETE names this filter. Any thread.
  HRESULT NotifyEvent(long code, LONG_PTR param1, LONG_PTR param2);
  // Asks the graph to reconnect a pin, with the given type where the graph supports one.
  HRESULT ReconnectPin(IPin* pin, const AM_MEDIA_TYPE* type);

  FILTER_STATE State() const noexcept { return state_.load(); }
  bool IsActive() const noexcept { return State() != State_Stopped; }
  port::RecursiveLock* FilterLock() const noexcept { return lock_; }
  // Tells pin enumerators that the pin set changed.
  void IncrementPinVersion() noexcept { pinVersion_.fetch_add(1); }

 protected:
  // Runs op on each connected pin in pin order. With stopAtFailure the first failure is returned
  // at once; otherwise every pin is visited and the first failure kept.
  template <class Op>
  HRESULT ForEachConnectedPin(bool stopAtFailure, Op op);

 private:
  std::atomic<FILTER_STATE> state_{State_Stopped};  // atomic; changed under the filter lock
  ComPtr<IReferenceClock> clock_;                   // filter lock
  REFERENCE_TIME startTime_ = 0;                    // filter lock
  const CLSID clsid_;
  port::RecursiveLock* const lock_;
  std::unique_ptr<WCHAR[]> name_;                   // filter lock
  IFilterGraph* graph_ = nullptr;                   // filter lock; not held (the graph holds us)
  std::atomic<IMediaEventSink*> eventSink_{nullptr};  // atomic; the graph's, not held
  std::atomic<LONG> pinVersion_{1};                 // atomic
};

}  // namespace ovts
