#include "tools/tshift/TimeShiftGraph.h"

#include "tools/common/FindPin.h"
#include "tools/tshift/Commands.h"
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
  // Without the property set the play state is unknown; without the time interface tshift
  // cannot seek or save by seconds.
  filter.As(&properties);
  filter.As(&time);
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
    TSTimeStatus time{};
    if (SUCCEEDED(properties->Get(TSPROPSETID_Time, TSPROPERTY_TIME_STATUS, nullptr, 0, &time, sizeof time,
                                  &returned)) &&
        returned == sizeof time)
      status.time = time;
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

TimeShiftGraph::~TimeShiftGraph() {
  if (running_) Stop();
}

std::string TimeShiftGraph::Open(const std::string& registryBase,
                                 const std::function<HRESULT(IOVTimeShiftFilter*)>& settings, std::string* note) {
  HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph_));
  if (SUCCEEDED(hr)) hr = graph_.As(&mediaControl_);
  if (SUCCEEDED(hr)) hr = graph_->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(events_.GetAddressOf()));
  if (FAILED(hr)) return "cannot create the platform's Filter Graph Manager: " + ErrorText(hr);
  std::string error;
  if (FAILED(timeShift_.Create(registryBase, &error))) return error;
  if (settings && FAILED(hr = settings(Control()))) return "cannot store the session's settings: " + ErrorText(hr);
  return CheckBufferPlace(Control(), note, &bufferBytes_);
}

namespace {

// Standard output (never a terminal), nowhere, or a new file; the handle is the sink's to close
// unless it is standard output.
HANDLE OpenOutput(const std::string& path, std::string* error) {
  if (path == "-") {
    HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    if (IsConsole(handle)) {
      *error = "standard output is a terminal: pipe it into a player (| ffplay -) or give --out FILE";
      return INVALID_HANDLE_VALUE;
    }
    return handle;
  }
  const std::wstring file = path.empty() ? L"NUL" : Widen(path);
  HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              path.empty() ? OPEN_EXISTING : CREATE_ALWAYS, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    *error = "cannot create " + Narrow(file) + ": " + ErrorText(HRESULT_FROM_WIN32(GetLastError()));
  return handle;
}

}  // namespace

std::string TimeShiftGraph::Connect(const RunPlan& plan) {
  std::string error;
  HANDLE out = OpenOutput(plan.output, &error);
  if (out == INVALID_HANDLE_VALUE) return error;
  HRESULT hr = CStreamSink::Create(out, plan.output != "-", plan.check, plan.outputBytesPerSecond, &sink_);
  if (FAILED(hr)) return "cannot create the output filter: " + ErrorText(hr);
  ComPtr<IBaseFilter> source;
  hr = plan.makeSource(&source);
  if (FAILED(hr)) return plan.sourceProblem + ": " + ErrorText(hr);

  hr = graph_->AddFilter(source.Get(), plan.sourceName);
  if (SUCCEEDED(hr)) hr = graph_->AddFilter(timeShift_.filter.Get(), OVTS_FILTER_NAME);
  if (SUCCEEDED(hr)) hr = graph_->AddFilter(sink_.Get(), L"Stream Sink");
  if (FAILED(hr)) return "cannot add the filters to the graph: " + ErrorText(hr);
  const ComPtr<IPin> sourceOut = tools::FindPin(source.Get(), PINDIR_OUTPUT);
  const ComPtr<IPin> filterIn = tools::FindPin(timeShift_.filter.Get(), PINDIR_INPUT);
  const ComPtr<IPin> filterOut = tools::FindPin(timeShift_.filter.Get(), PINDIR_OUTPUT);
  const ComPtr<IPin> sinkIn = tools::FindPin(sink_.Get(), PINDIR_INPUT);
  if (!sourceOut || !filterIn || !filterOut || !sinkIn) return "a filter of the graph lacks its pin";
  hr = graph_->ConnectDirect(sourceOut.Get(), filterIn.Get(), nullptr);
  if (FAILED(hr)) return "the time-shift filter refused the source's stream: " + ErrorText(hr);
  hr = graph_->ConnectDirect(filterOut.Get(), sinkIn.Get(), nullptr);
  if (FAILED(hr)) return "cannot connect the time-shift filter's output: " + ErrorText(hr);
  return {};
}

HRESULT TimeShiftGraph::ChangeState(bool run) {
  if (!mediaControl_) return run ? E_UNEXPECTED : S_OK;
  tools::Watchdog::Scope armed(HostWatchdog(), run ? "starting the graph" : "stopping the graph", kStateChangeLimitMs);
  if (!run) return mediaControl_->Stop();
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

std::string TimeShiftGraph::Run() {
  const HRESULT hr = ChangeState(true);
  if (SUCCEEDED(hr)) {
    running_ = true;
    return {};
  }
  ChangeState(false);
  const std::string why = timeShift_.RecordingText(TSPROPERTY_RECORDING_PROBLEM);
  return "the graph would not run: " + ErrorText(hr) +
         (why.empty() ? " (is the buffer folder writable, with room to spare?)" : ": " + why);
}

std::string TimeShiftGraph::Stop() {
  running_ = false;
  const HRESULT hr = ChangeState(false);
  return FAILED(hr) ? "the graph would not stop: " + ErrorText(hr) : std::string();
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

}  // namespace ovts::tshift
