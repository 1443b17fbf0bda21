#include "framework/CBaseFilter.h"

#include <cwchar>

#include "framework/CBasePin.h"
#include "framework/CEnumPins.h"

namespace ovts {

namespace {
// Longest filter name JoinFilterGraph accepts, in characters.
constexpr size_t kMaxNameLength = 0x7FFFFFFE;
}  // namespace

CBaseFilter::CBaseFilter(IUnknown* outer, port::RecursiveLock* filterLock, REFCLSID clsid) noexcept
    : CUnknown(outer), clsid_(clsid), lock_(filterLock) {}

CBaseFilter::~CBaseFilter() = default;

HRESULT CBaseFilter::NonDelegatingQueryInterface(REFIID iid, void** result) {
  RETURN_HR_IF_NULL(E_POINTER, result);
  if (IsEqualIID(iid, IID_IBaseFilter) || IsEqualIID(iid, IID_IMediaFilter) || IsEqualIID(iid, IID_IPersist)) {
    return GetInterface(static_cast<IBaseFilter*>(this), result);
  }
  if (IsEqualIID(iid, IID_IAMovieSetup)) return GetInterface(static_cast<IAMovieSetup*>(this), result);
  return CUnknown::NonDelegatingQueryInterface(iid, result);
}

HRESULT CBaseFilter::StreamTime(REFERENCE_TIME& time) {
  port::LockGuard guard(*lock_);
  RETURN_HR_IF_NULL(VFW_E_NO_CLOCK, clock_);
  RETURN_IF_FAILED(clock_->GetTime(&time));
  time -= startTime_;
  return S_OK;
}

LONG CBaseFilter::GetPinVersion() { return pinVersion_.load(); }

const AMOVIESETUP_FILTER* CBaseFilter::GetSetupData() { return nullptr; }

HRESULT CBaseFilter::GetClassID(CLSID* clsid) {
  RETURN_HR_IF_NULL(E_POINTER, clsid);
  *clsid = clsid_;
  return S_OK;
}

template <class Op>
HRESULT CBaseFilter::ForEachConnectedPin(bool stopAtFailure, Op op) {
  HRESULT result = S_OK;
  const int count = GetPinCount();
  for (int i = 0; i < count; ++i) {
    CBasePin* pin = GetPin(i);
    if (!pin) break;
    if (!pin->IsConnected()) continue;
    const HRESULT hr = op(*pin);
    if (FAILED(hr)) {
      if (stopAtFailure) return hr;
      if (SUCCEEDED(result)) result = hr;
    }
  }
  return result;
}

HRESULT CBaseFilter::Stop() {
  port::LockGuard guard(*lock_);
  HRESULT result = S_OK;
  if (state_.load() != State_Stopped) {
    result = ForEachConnectedPin(false, [](CBasePin& pin) { return pin.Inactive(); });
  }
  state_.store(State_Stopped);
  return result;
}

HRESULT CBaseFilter::Pause() {
  port::LockGuard guard(*lock_);
  if (state_.load() == State_Stopped) {
    RETURN_IF_FAILED(ForEachConnectedPin(true, [](CBasePin& pin) { return pin.Active(); }));
  }
  state_.store(State_Paused);
  return S_OK;
}

HRESULT CBaseFilter::Run(REFERENCE_TIME start) {
  port::LockGuard guard(*lock_);
  startTime_ = start;
  // The derived filter's Pause, when it replaces ours.
  if (state_.load() == State_Stopped) RETURN_IF_FAILED(Pause());
  if (state_.load() != State_Running) {
    RETURN_IF_FAILED(ForEachConnectedPin(true, [start](CBasePin& pin) { return pin.Run(start); }));
  }
  state_.store(State_Running);
  return S_OK;
}

HRESULT CBaseFilter::GetState(DWORD, FILTER_STATE* state) {
  RETURN_HR_IF_NULL(E_POINTER, state);
  *state = state_.load();
  return S_OK;
}

HRESULT CBaseFilter::SetSyncSource(IReferenceClock* clock) {
  port::LockGuard guard(*lock_);
  clock_ = clock;
  return S_OK;
}

HRESULT CBaseFilter::GetSyncSource(IReferenceClock** clock) {
  RETURN_HR_IF_NULL(E_POINTER, clock);
  port::LockGuard guard(*lock_);
  return HandOut(clock_.Get(), clock);
}

HRESULT CBaseFilter::EnumPins(IEnumPins** pins) {
  RETURN_HR_IF_NULL(E_POINTER, pins);
  return CEnumPins::Create(this, nullptr, pins);
}

HRESULT CBaseFilter::FindPin(LPCWSTR id, IPin** pin) {
  RETURN_HR_IF(E_POINTER, !id || !pin);
  *pin = nullptr;
  port::LockGuard guard(*lock_);
  const int count = GetPinCount();
  for (int i = 0; i < count; ++i) {
    CBasePin* candidate = GetPin(i);
    if (!candidate) break;
    TaskMem<WCHAR> candidateId;
    WCHAR* raw = nullptr;
    if (FAILED(candidate->QueryId(&raw))) continue;
    candidateId.reset(raw);
    if (wcscmp(candidateId.get(), id) == 0) return HandOut(static_cast<IPin*>(candidate), pin);
  }
  return VFW_E_NOT_FOUND;
}

HRESULT CBaseFilter::QueryFilterInfo(FILTER_INFO* info) {
  RETURN_HR_IF_NULL(E_POINTER, info);
  port::LockGuard guard(*lock_);
  WideCopyTruncated(info->achName, MAX_FILTER_NAME, name_.get());
  return HandOut(graph_, &info->pGraph);
}

HRESULT CBaseFilter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) {
  port::LockGuard guard(*lock_);
  graph_ = graph;
  // The graph outlives our membership in it, so its sink is kept without a reference.
  IMediaEventSink* sink = nullptr;
  if (graph) {
    ComPtr<IMediaEventSink> queried;
    if (SUCCEEDED(graph->QueryInterface(IID_PPV_ARGS(&queried)))) sink = queried.Get();
  }
  eventSink_.store(sink);
  name_.reset();
  if (name) {
    RETURN_HR_IF(E_INVALIDARG, wcsnlen(name, kMaxNameLength) == kMaxNameLength);
    name_ = WideCopy(name);
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, name_);
  }
  return S_OK;
}

HRESULT CBaseFilter::QueryVendorInfo(LPWSTR*) { return E_NOTIMPL; }

// The module enters its filters in the filter registry itself; a filter registers nothing alone.
HRESULT CBaseFilter::Register() { return GetSetupData() ? E_NOTIMPL : S_FALSE; }
HRESULT CBaseFilter::Unregister() { return GetSetupData() ? E_NOTIMPL : S_FALSE; }

HRESULT CBaseFilter::NotifyEvent(long code, LONG_PTR param1, LONG_PTR param2) {
  IMediaEventSink* sink = eventSink_.load();
  RETURN_HR_IF_NULL(E_NOTIMPL, sink);
  if (code == EC_COMPLETE) param2 = reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this));
  return sink->Notify(code, param1, param2);
}

HRESULT CBaseFilter::ReconnectPin(IPin* pin, const AM_MEDIA_TYPE* type) {
  port::LockGuard guard(*lock_);
  RETURN_HR_IF_NULL(E_NOINTERFACE, graph_);
  ComPtr<IFilterGraph2> graph2;
  if (SUCCEEDED(graph_->QueryInterface(IID_PPV_ARGS(&graph2)))) return graph2->ReconnectEx(pin, type);
  return graph_->Reconnect(pin);
}

}  // namespace ovts
