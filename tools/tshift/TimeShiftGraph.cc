#include "tools/tshift/TimeShiftGraph.h"

#include "tools/tshift/HostSupport.h"

namespace ovts::tshift {

namespace {
constexpr DWORD kStateChangeLimitMs = 20000;
constexpr DWORD kStateWaitStepMs = 500;
}  // namespace

HRESULT TimeShiftFilter::Create(const std::string& registryBase, std::string* error) {
  HRESULT hr = CoCreateInstance(CLSID_OVTimeShiftFilter, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&filter));
  if (FAILED(hr)) {
    *error = hr == REGDB_E_CLASSNOTREG
                 ? "the Orvanta Time Shift filter is not registered (run: tshift register)"
                 : "cannot create the Orvanta Time Shift filter: " + ErrorText(hr);
    return hr;
  }
  hr = filter.As(&control);
  if (FAILED(hr)) {
    *error = "the registered Orvanta Time Shift filter lacks its control interfaces: " + ErrorText(hr);
    return hr;
  }
  // Without the property set the play state is unknown.
  filter.As(&properties);
  if (registryBase.empty()) return S_OK;
  hr = control->SetRegistryBase(registryBase.c_str());
  if (FAILED(hr)) *error = "the filter refused the registry path " + registryBase + ": " + ErrorText(hr);
  return hr;
}

int TimeShiftFilter::PlayState() const {
  if (!properties) return -1;
  DWORD state = 0;
  DWORD returned = 0;
  const HRESULT hr = properties->Get(TSPROPSETID_Control, TSPROPERTY_PLAY_STATE, nullptr, 0, &state, sizeof state, &returned);
  return SUCCEEDED(hr) && returned == sizeof state ? static_cast<int>(state) : -1;
}

BufferStatus TimeShiftFilter::Status() const {
  BufferStatus status;
  control->GetTotalBufferSize(&status.total);
  control->GetCurrentBufferSize(&status.current);
  control->GetReadLocation(&status.readLocation);
  control->GetWriteLocation(&status.writeLocation);
  status.playState = PlayState();
  if (properties) {
    DWORD returned = 0;
    uint64_t dropped = 0;
    if (SUCCEEDED(properties->Get(TSPROPSETID_Recording, TSPROPERTY_RECORDING_DROPPED_BYTES, nullptr, 0, &dropped,
                                  sizeof dropped, &returned)))
      status.dropped = dropped;
    int32_t fault = S_OK;
    if (SUCCEEDED(properties->Get(TSPROPSETID_Recording, TSPROPERTY_RECORDING_FAULT, nullptr, 0, &fault,
                                  sizeof fault, &returned)))
      status.suspended = FAILED(fault);
  }
  return status;
}

std::string TimeShiftFilter::RecordingText(TSRecordingPropertyId id) const {
  TSRecordingText text{};
  DWORD returned = 0;
  if (!properties || FAILED(properties->Get(TSPROPSETID_Recording, id, nullptr, 0, &text, sizeof text, &returned)))
    return std::string();
  return Narrow(text.text);
}

HRESULT TimeShiftGraph::Create(const std::string& registryBase, std::string* error) {
  HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph_));
  if (SUCCEEDED(hr)) hr = graph_.As(&mediaControl_);
  if (SUCCEEDED(hr)) hr = graph_->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(events_.GetAddressOf()));
  if (FAILED(hr)) {
    *error = "cannot create the platform's Filter Graph Manager: " + ErrorText(hr);
    return hr;
  }
  return timeShift_.Create(registryBase, error);
}

HRESULT TimeShiftGraph::Add(IBaseFilter* filter, const wchar_t* name) { return graph_->AddFilter(filter, name); }

ComPtr<IPin> FindPin(IBaseFilter* filter, PIN_DIRECTION direction) {
  ComPtr<IEnumPins> pins;
  if (FAILED(filter->EnumPins(&pins))) return nullptr;
  ComPtr<IPin> pin;
  while (pins->Next(1, &pin, nullptr) == S_OK) {
    PIN_DIRECTION d;
    if (SUCCEEDED(pin->QueryDirection(&d)) && d == direction) return pin;
    pin.Reset();
  }
  return nullptr;
}

HRESULT TimeShiftGraph::Build(IBaseFilter* source, const wchar_t* sourceName, IBaseFilter* sink, std::string* error) {
  HRESULT hr = graph_->AddFilter(source, sourceName);
  if (SUCCEEDED(hr)) hr = graph_->AddFilter(timeShift_.filter.Get(), OVTS_FILTER_NAME);
  if (SUCCEEDED(hr)) hr = graph_->AddFilter(sink, L"Stream Sink");
  if (FAILED(hr)) {
    *error = "cannot add the filters to the graph: " + ErrorText(hr);
    return hr;
  }
  const ComPtr<IPin> sourceOut = FindPin(source, PINDIR_OUTPUT);
  const ComPtr<IPin> filterIn = FindPin(timeShift_.filter.Get(), PINDIR_INPUT);
  const ComPtr<IPin> filterOut = FindPin(timeShift_.filter.Get(), PINDIR_OUTPUT);
  const ComPtr<IPin> sinkIn = FindPin(sink, PINDIR_INPUT);
  if (!sourceOut || !filterIn || !filterOut || !sinkIn) {
    *error = "a filter of the graph lacks its pin";
    return E_FAIL;
  }
  hr = graph_->ConnectDirect(sourceOut.Get(), filterIn.Get(), nullptr);
  if (FAILED(hr)) {
    *error = "the time-shift filter refused the source's stream: " + ErrorText(hr);
    return hr;
  }
  hr = graph_->ConnectDirect(filterOut.Get(), sinkIn.Get(), nullptr);
  if (FAILED(hr)) *error = "cannot connect the time-shift filter's output: " + ErrorText(hr);
  return hr;
}

HRESULT TimeShiftGraph::Run() {
  Watchdog::Scope armed(Watchdog::Instance(), "starting the graph", kStateChangeLimitMs);
  HRESULT hr = mediaControl_->Pause();
  for (OAFilterState state = State_Stopped; hr == S_FALSE || hr == VFW_S_STATE_INTERMEDIATE;)
    hr = mediaControl_->GetState(kStateWaitStepMs, &state);
  if (FAILED(hr)) return hr;
  hr = mediaControl_->Run();
  // S_FALSE: some filter is still on its way to Running.
  for (OAFilterState state = State_Stopped; hr == S_FALSE || hr == VFW_S_STATE_INTERMEDIATE;)
    hr = mediaControl_->GetState(kStateWaitStepMs, &state);
  return hr;
}

long TimeShiftGraph::TakeEvent(LONG_PTR* param1) {
  long code = 0;
  LONG_PTR p1 = 0, p2 = 0;
  *param1 = 0;
  if (!events_ || FAILED(events_->GetEvent(&code, &p1, &p2, 0))) return 0;
  *param1 = p1;
  events_->FreeEventParams(code, p1, p2);
  return code;
}

HRESULT TimeShiftGraph::Stop() {
  if (!mediaControl_) return S_OK;
  Watchdog::Scope armed(Watchdog::Instance(), "stopping the graph", kStateChangeLimitMs);
  return mediaControl_->Stop();
}

}  // namespace ovts::tshift
