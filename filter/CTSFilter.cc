#include "filter/CTSFilter.h"
#include "OVTimeShiftTypes.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <memory>
#include <new>

#include "platform/Owners.h"

#include "pins/CTSInputPin.h"
#include "pins/CTSOutputPushPin.h"
#include "pins/TSStreamTypes.h"

namespace ovts {

namespace {

// A streaming thread waiting for a lock looks at its other reasons to give up (a Stop under way)
// this often; a release or a command wakes it at once.
constexpr uint32_t kLockRecheckMs = 50;
constexpr int64_t kSeekIntervalMs = 1000;  // at most one accepted seek per second
constexpr int64_t kSystemTimeUnitsPerMs = 10000;
constexpr char kFatalRestartMessage[] = "[TShift]: Fatal error! Can't run from file buffer.\n";

// The property pages, in the order a property frame shows them.
constexpr const CLSID* kPages[] = {&CLSID_TSGeneralProps, &CLSID_TSBufStatPropPage, &CLSID_TSCacheProps,
                                   &CLSID_TSPerfInstProp};

}  // namespace


// A streaming thread's hold on the playback or receive lock: the one place where they are taken
// "unless abandoned". While another thread holds the lock it waits for the lock's release, and
// gives up as soon as the holder may be waiting for this very thread: the holder then sends it a
// command (its abandon event), or a Stop is under way. Without a predicate it waits like a plain
// lock.
class [[nodiscard]] CTSFilter::StreamingHold {
 public:
  StreamingHold(CTSFilter& filter, port::WaitableLock& lock, Abandoned abandoned, AbandonEvent abandon)
      : lock_(lock) {
    if (lock.TryLock()) {
      held_ = true;
      return;
    }
    filter.OnLockContended(lock);
    if (!abandoned) {
      lock.Lock();
      held_ = true;
      return;
    }
    held_ = lock.LockUnless((filter.*abandon)(), [&] { return (filter.*abandoned)(); }, kLockRecheckMs);
  }
  ~StreamingHold() {
    if (held_) lock_.Unlock();
  }
  StreamingHold(const StreamingHold&) = delete;
  StreamingHold& operator=(const StreamingHold&) = delete;

  bool held() const { return held_; }

 private:
  port::WaitableLock& lock_;
  bool held_ = false;
};

CUnknown* WINAPI CTSFilter::CreateInstance(IUnknown* outer, HRESULT* result) {
  auto* filter = new (std::nothrow) CTSFilter(outer);
  if (!filter && result) *result = E_OUTOFMEMORY;
  return filter;
}

CTSFilter::CTSFilter(IUnknown* outer) noexcept
    : CSource(outer, CLSID_OVTimeShiftFilter),
      control_(*this),
      propertySet_(*this),
      timeControl_(*this),
      ticksPerMicrosecond_(std::max<int64_t>(1, port::PerformanceFrequency() / 1000000)) {
  buffer_.SetListener(this);
}

CTSFilter::~CTSFilter() {
  // The output pin takes itself out of CSource's list.
  delete outputPin_.exchange(nullptr);
  delete inputPin_.exchange(nullptr);
}

HRESULT CTSFilter::NonDelegatingQueryInterface(REFIID iid, void** result) {
  RETURN_HR_IF_NULL(E_POINTER, result);
  if (IsEqualIID(iid, IID_IOVTimeShiftFilter)) return GetInterface(static_cast<IOVTimeShiftFilter*>(&control_), result);
  if (IsEqualIID(iid, IID_IKsPropertySet)) return GetInterface(static_cast<IKsPropertySet*>(&propertySet_), result);
  if (IsEqualIID(iid, IID_ISpecifyPropertyPages)) return GetInterface(static_cast<ISpecifyPropertyPages*>(this), result);
  if (IsEqualIID(iid, IID_IOVTSInstrumentation)) return GetInterface(static_cast<IOVTSInstrumentation*>(this), result);
  if (IsEqualIID(iid, IID_IOVTimeShiftTime)) return GetInterface(static_cast<IOVTimeShiftTime*>(&timeControl_), result);
  return CSource::NonDelegatingQueryInterface(iid, result);
}

HRESULT CTSFilter::GetPages(CAUUID* pages) {
  RETURN_HR_IF_NULL(E_POINTER, pages);
  pages->cElems = std::size(kPages);
  pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID) * std::size(kPages)));
  RETURN_HR_IF_NULL(E_OUTOFMEMORY, pages->pElems);
  for (size_t i = 0; i < std::size(kPages); ++i) pages->pElems[i] = *kPages[i];
  return S_OK;
}

HRESULT CTSFilter::GetInstrumentation(TSInstrumentationSettings* settings) {
  RETURN_HR_IF_NULL(E_POINTER, settings);
  *settings = InstrumentationSettings();
  return S_OK;
}

HRESULT CTSFilter::SetInstrumentation(const TSInstrumentationSettings* settings) {
  RETURN_HR_IF_NULL(E_POINTER, settings);
  // The caches' own switches are crossed over (output turns on the write cache's), as hosts of
  // this interface have always had them; nothing in the caches acts on them.
  if (settings->flags & TSINST_OUTPUT) buffer_.writeCache().EnableInstrumentation(true);
  if (settings->flags & TSINST_INPUT) buffer_.readCache().EnableInstrumentation(true);
  buffer_.EnableInstrumentation(true);
  SetInstrumentationSettings(*settings);
  return S_OK;
}

int CTSFilter::GetPinCount() { return 2; }

bool CTSFilter::CreatePins() {
  auto input = std::unique_ptr<CTSInputPin>(new (std::nothrow) CTSInputPin(this, &stateLock_, *this, L"Stream In"));
  HRESULT hr = S_OK;
  auto output = std::unique_ptr<CTSOutputPushPin>(new (std::nothrow) CTSOutputPushPin(&hr, this, *this, L"Push"));
  if (!input || !output || FAILED(hr)) return false;
  inputPin_.store(input.release());
  outputPin_.store(output.release());
  return true;
}

CBasePin* CTSFilter::GetPin(int n) {
  port::LockGuard state(stateLock_);
  if (!inputPin_.load() && !CreatePins()) return nullptr;
  if (n == 0) return inputPin_.load();
  if (n == 1) return outputPin_.load();
  return nullptr;
}

LONG CTSFilter::GetPinVersion() {
  {
    // Creating the pins bumps the version; an enumerator reads it only after that.
    port::LockGuard state(stateLock_);
    if (!inputPin_.load()) CreatePins();
  }
  return CSource::GetPinVersion();
}

HRESULT CTSFilter::FindPin(LPCWSTR id, IPin** pin) { return CBaseFilter::FindPin(id, pin); }

void CTSFilter::SetPlaying() {
  playState_.store(TSSTATE_PLAYING);
  buffer_.Resume();
  outputWake_.Set();
}

void CTSFilter::SendOutputCommand(DWORD command) {
  if (CTSOutputPushPin* output = outputPin_.load()) output->CallWorker(command);
}

HRESULT CTSFilter::StartBuffer() {
  if (buffer_.IsRunning()) return S_OK;
  ApplySettings();
  RETURN_IF_FAILED(buffer_.Start());
  SetPlaying();
  return S_OK;
}

HRESULT CTSFilter::Pause() {
  port::LockGuard state(stateLock_);
  const FILTER_STATE before = State();
  const bool buffered = passThrough_.load() == 0;  // with pass-through only the pins change state
  if (buffered && before == State_Stopped) {
    RETURN_IF_FAILED(StartBuffer());
  } else if (buffered && before == State_Running) {
    playState_.store(TSSTATE_IDLE);
    FlushDownstream();
    SendOutputCommand(CSourceStream::CMD_PAUSE);
  }
  HRESULT hr = CSource::Pause();
  if (SUCCEEDED(hr) && before == State_Stopped) {
    if (CTSInputPin* input = inputPin_.load()) hr = input->StartPulling();
    // The pins and the output thread went Paused: a failed start takes them back to Stopped.
    if (FAILED(hr)) CSource::Stop();
  }
  if (FAILED(hr) && before == State_Stopped) {
    // Nothing runs: leave no open file or workers behind.
    StopBuffer();
    playState_.store(TSSTATE_IDLE);
  }
  return hr;
}

HRESULT CTSFilter::Run(REFERENCE_TIME start) {
  port::LockGuard state(stateLock_);
  if (passThrough_.load()) return CSource::Run(start);
  // Pass-through may have kept the buffer stopped since the graph left Stopped.
  RETURN_IF_FAILED(StartBuffer());
  SetPlaying();
  const HRESULT hr = CSource::Run(start);
  SendOutputCommand(CSourceStream::CMD_RUN);
  return hr;
}

HRESULT CTSFilter::Stop() {
  // Raised before the locks, so that a streaming thread waiting for one of them leaves at once.
  struct StoppingScope {
    std::atomic<int32_t>& count;
    explicit StoppingScope(std::atomic<int32_t>& c) : count(c) { count.fetch_add(1); }
    ~StoppingScope() { count.fetch_sub(1); }
  } stopping(stopping_);
  port::LockGuard state(stateLock_);
  port::LockGuard playback(playbackLock_);
  port::LockGuard receive(receiveLock_);
  playState_.store(TSSTATE_IDLE);
  StopBuffer();
  FlushPlayback();
  const HRESULT hr = CSource::Stop();
  SendOutputCommand(CSourceStream::CMD_STOP);
  return hr;
}

void CTSFilter::StopBuffer() {
  buffer_.Stop();
  exporter_.Join();
}

template <class Seek>
HRESULT CTSFilter::MovePlayPosition(Seek seek) {
  const int64_t now = port::SystemTime100ns();
  const int64_t last = lastSeekTime_.load();
  // A clock set back counts as long enough ago.
  if (now >= last && (now - last) / kSystemTimeUnitsPerMs < kSeekIntervalMs) return S_FALSE;
  const bool pauseHere = PlayState() != TSSTATE_PAUSED;
  // Downstream lets go of what it holds first (a paused renderer keeps a sample until a flush),
  // so that the output thread is free to take the pause.
  BeginFlushDownstream();
  if (pauseHere) PausePlayback();
  HRESULT hr;
  {
    port::LockGuard playback(playbackLock_);
    hr = seek();
  }
  // Resumed while downstream still flushes: the output thread delivers nothing yet, so it is
  // free to take the command (a sink might hold the next sample it delivers).
  if (pauseHere) ResumePlayback();
  EndFlushDownstream();
  lastSeekTime_.store(port::SystemTime100ns());
  return hr;
}

HRESULT CTSFilter::SetPlayPosition(int64_t position, int32_t mode) {
  MovePlayPosition([&] {
    int64_t newOffset = 0;
    return buffer_.Seek(position, mode == 2 ? 1 : 0, &newOffset);
  });
  return S_OK;  // taken or not, as hosts have always been answered
}

HRESULT CTSFilter::SeekToTime(TimeReference from, double seconds) {
  if (!std::isfinite(seconds)) return E_INVALIDARG;
  if (!Buffering()) return VFW_E_WRONG_STATE;
  // Nothing moves, downstream is not even flushed, while the stream cannot be timed.
  if (buffer_.GetTimeStatus().source == TSTIME_NONE) return E_PENDING;
  // From what the viewer sees: the pause drops the read cache, which the play position counts.
  const int64_t reference = from == TimeReference::kLive ? CCircFileBuf::kLiveEdge : buffer_.GetStreamSpan().play;
  return MovePlayPosition([&] {
    int64_t landed = 0;
    return buffer_.SeekToTime(reference, seconds, &landed);
  });
}

HRESULT CTSFilter::FlushPlayback() {
  port::LockGuard playback(playbackLock_);
  port::LockGuard receive(receiveLock_);
  BeginFlushDownstream();
  buffer_.Reset();
  EndFlushDownstream();
  discontinuityPending_.store(1);
  return S_OK;
}

HRESULT CTSFilter::PausePlayback() {
  port::LockGuard playback(playbackLock_);
  playState_.store(TSSTATE_PAUSED);
  // Only a streaming output thread needs telling. In a paused graph it may sit in a delivery a
  // paused renderer holds until the graph runs: waiting for it here could wait for ever.
  if (State() == State_Running) SendOutputCommand(CSourceStream::CMD_PAUSE);
  buffer_.Pause();
  discontinuityPending_.store(1);
  return S_OK;
}

HRESULT CTSFilter::ResumePlayback() {
  SetPlaying();
  // A streaming output thread sees the new state at its next sample and needs no command (it
  // may be in a delivery a sink holds). In a paused graph the next Run starts it.
  CTSOutputPushPin* output = OutputPin();
  if (State() == State_Running && !(output && output->IsStreaming()))
    SendOutputCommand(CSourceStream::CMD_RUN);
  return S_OK;
}

HRESULT CTSFilter::SeekToLive() {
  // Downstream lets go of what it holds first, so that the output thread can take the pause.
  BeginFlushDownstream();
  PausePlayback();
  const HRESULT hr = buffer_.SeekNearLive();
  ResumePlayback();  // before the flush ends, as in SetPlayPosition
  EndFlushDownstream();
  return hr;
}

HRESULT CTSFilter::ApplySettings() {
  port::BufferConfigHolder config;
  control_.GetBufferSettings(config.get());
  buffer_.SetConfig(config.get());
  TSCacheConfig cache{};
  control_.GetCacheSettings(&cache);
  buffer_.SetCacheConfig(&cache);
  discontinuityPending_.store(1);
  return S_OK;
}

void CTSFilter::OnLockContended(port::WaitableLock&) {}

void CTSFilter::OnRecordingFault(HRESULT hr) { NotifyEvent(EC_OVTS_RECORDING_FAULT, hr, 0); }

void CTSFilter::OnRecordingResumed() { NotifyEvent(EC_OVTS_RECORDING_RESUMED, 0, 0); }

HRESULT CTSFilter::SetPassThrough(bool on) {
  port::LockGuard state(stateLock_);
  if (on == PassThrough()) return S_OK;
  if (!on && State() == State_Paused) {
    // Samples arriving before the next Run go into the buffer again.
    if (const HRESULT hr = StartBuffer(); FAILED(hr)) {
      buffer_.Close();
      port::DebugOutput(kFatalRestartMessage);
      return hr;
    }
  }
  if (State() == State_Running) {
    if (!on) return ResumeFromBuffer();
    playState_.store(TSSTATE_IDLE);
    // Waits out a sample the output thread may be delivering, so that nothing from the buffer
    // reaches downstream after the flush.
    SendOutputCommand(CSourceStream::CMD_PAUSE);
    StopBuffer();
    FlushPlayback();
  }
  passThrough_.store(on ? 1 : 0);
  return S_OK;
}

HRESULT CTSFilter::ResumeFromBuffer() {
  REFERENCE_TIME now = 0;
  ComPtr<IReferenceClock> clock;
  if (SUCCEEDED(GetSyncSource(&clock)) && clock) clock->GetTime(&now);
  ApplySettings();
  const HRESULT hr = buffer_.Start();
  if (FAILED(hr)) {
    // Nothing tells the host but this result: the stream goes on passing through.
    buffer_.Close();
    port::DebugOutput(kFatalRestartMessage);
    return hr;
  }
  // From here samples go into the buffer; the output plays them once it has primed.
  passThrough_.store(0);
  SetPlaying();
  const HRESULT run = CSource::Run(now);
  SendOutputCommand(CSourceStream::CMD_RUN);
  return run;
}

bool CTSFilter::OutputAbandoned() {
  return stopping_.load() > 0 || outputPin_.load()->CheckRequest(nullptr);
}

bool CTSFilter::PullAbandoned() { return stopping_.load() > 0 || inputPin_.load()->PullStopPending(); }

port::Event& CTSFilter::OutputAbandonEvent() { return outputPin_.load()->CommandEvent(); }

port::Event& CTSFilter::PullAbandonEvent() { return inputPin_.load()->PullCommandEvent(); }

int64_t CTSFilter::TimingStart(bool on) const { return on ? port::PerformanceCounter() : 0; }

bool CTSFilter::SlowCall(int64_t start, uint32_t thresholdUs) const {
  const int64_t elapsedUs = (port::PerformanceCounter() - start) / ticksPerMicrosecond_;
  return elapsedUs > static_cast<int64_t>(thresholdUs) && buffer_.IsInstrumentationEnabled();
}

void CTSFilter::ReportSlowCall(TSInstrumentationRecord& record) { port::DebugOutput(record.Format()); }

HRESULT CTSFilter::WriteSample(IMediaSample* sample) {
  if (passThrough_.load()) {
    // The downstream pin is set only while the graph is stopped, so it is read without a lock.
    CTSOutputPushPin* output = outputPin_.load();
    IMemInputPin* downstream = output ? output->DownstreamInput() : nullptr;
    RETURN_HR_IF_NULL(E_FAIL, downstream);
    return downstream->Receive(sample);
  }
  // The state is read without the state lock: a Stop holds it while it waits for the pull thread.
  if (State() == State_Stopped) return S_OK;
  CTSInputPin* input = inputPin_.load();
  StreamingHold hold(*this, receiveLock_, input->IsPullMode() ? &CTSFilter::PullAbandoned : nullptr,
                     &CTSFilter::PullAbandonEvent);
  if (!hold.held()) return S_FALSE;
  BYTE* data = nullptr;
  if (FAILED(sample->GetPointer(&data)) || !data) return E_POINTER;
  const bool timed = (instFlags_.load() & TSINST_INPUT) != 0;
  const int64_t start = TimingStart(timed);
  uint32_t written = 0;
  buffer_.Write(data, static_cast<uint32_t>(std::max(0L, sample->GetActualDataLength())), &written);
  if (timed && SlowCall(start, instInputInterUs_.load())) ReportSlowCall(buffer_.writeCache().writeRecord());
  return S_OK;
}

HRESULT CTSFilter::ReadSample(IMediaSample* sample) {
  sample->SetActualDataLength(0);
  // Nothing comes from the buffer while it is out of the stream: the output thread leaves its
  // loop quietly (no end of stream) and waits for its next command.
  if (passThrough_.load()) return VFW_E_WRONG_STATE;
  if (State() != State_Running) return S_FALSE;
  // Flushing, paused by the graph (downstream has been flushed) or by the host: nothing to
  // deliver. The output thread waits for its wake.
  if (flushing_.load() || playState_.load() != TSSTATE_PLAYING) return S_OK;
  const bool timed = (instFlags_.load() & TSINST_OUTPUT) != 0;
  const int64_t timing = TimingStart(timed);
  REFERENCE_TIME start = 0, stop = 0;
  RETURN_IF_FAILED(sample->GetTime(&start, &stop));
  const int64_t wanted = std::clamp<int64_t>((stop - start) / TS_UNITS_PER_SECOND, 0, UINT32_MAX);
  BYTE* data = nullptr;
  RETURN_IF_FAILED(sample->GetPointer(&data));
  HRESULT hr;
  {
    StreamingHold hold(*this, playbackLock_, &CTSFilter::OutputAbandoned, &CTSFilter::OutputAbandonEvent);
    if (!hold.held()) return S_OK;  // the loop reaches the command or the stop
    uint32_t read = 0;
    bool discontinuity = false;
    const uint32_t flushes = flushCount_.load();
    hr = buffer_.Read(data, static_cast<uint32_t>(wanted), &read, &discontinuity);
    // The mark belongs to the next sample that leaves with data; an empty one is not delivered.
    if (read > 0 && (discontinuityPending_.exchange(0) != 0 || discontinuity)) sample->SetDiscontinuity(TRUE);
    sample->SetActualDataLength(static_cast<long>(read));
    if (hr == S_FALSE) {
      // Every byte up to the input's end has gone. A flush since the read began needs its own.
      hr = endSentAtFlush_ == flushes ? S_OK : kEndOfStream;
      endSentAtFlush_ = flushes;
    }
  }
  if (timed && SlowCall(timing, instOutputInterUs_.load())) ReportSlowCall(buffer_.readCache().readRecord());
  return hr;
}

HRESULT CTSFilter::EndOfStream() {
  buffer_.SetEndOfStream();
  CTSOutputPushPin* output = outputPin_.load();
  if (passThrough_.load() && output) return output->DeliverEndOfStream();
  return S_OK;
}

HRESULT CTSFilter::ClearEndOfStream() { return buffer_.ClearEndOfStream(); }

HRESULT CTSFilter::BeginFlushDownstream() {
  flushing_.store(1);
  flushCount_.fetch_add(1);
  CTSOutputPushPin* output = outputPin_.load();
  if (output && output->IsConnected()) output->DeliverBeginFlush();
  return S_OK;
}

HRESULT CTSFilter::EndFlushDownstream() {
  CTSOutputPushPin* output = outputPin_.load();
  if (output && output->IsConnected()) output->DeliverEndFlush();
  flushing_.store(0);
  outputWake_.Set();
  return S_OK;
}

HRESULT CTSFilter::FlushDownstream() {
  port::LockGuard playback(playbackLock_);
  BeginFlushDownstream();
  return EndFlushDownstream();
}

HRESULT CTSFilter::CheckConnectionType(const AM_MEDIA_TYPE* type, bool fromOutput) {
  RETURN_HR_IF_NULL(E_POINTER, type);
  CTSInputPin* input = inputPin_.load();
  CTSOutputPushPin* output = outputPin_.load();
  if (fromOutput) {
    if (!input || !input->IsConnected() || TypesOverlap(input->CurrentMediaType(), *type)) return S_OK;
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  FILTER_INFO info{};
  QueryFilterInfo(&info);
  RETURN_HR_IF_NULL(E_FAIL, info.pGraph);
  info.pGraph->Release();
  if (!output || !output->IsConnected()) return buffer_.SetMediaType(type);
  const CMediaType& inputType = input->CurrentMediaType();
  if (!TypesOverlap(inputType, output->CurrentMediaType())) {
    const HRESULT accepted = output->QueryAccept(&inputType);
    if (FAILED(accepted)) return accepted;
  }
  RETURN_IF_FAILED(ReconnectPin(output, nullptr));
  return buffer_.SetMediaType(type);
}

HRESULT CTSFilter::SetOutputTypeIndex(const AM_MEDIA_TYPE* type) {
  CTSOutputPushPin* output = outputPin_.load();
  RETURN_HR_IF_NULL(E_FAIL, output);
  int row = -1;
  if (type) RETURN_IF_FAILED(LookupStreamType(type, &row));
  output->SetTypeIndex(row);
  return S_OK;
}

TSInstrumentationSettings CTSFilter::InstrumentationSettings() const noexcept {
  return {instFlags_.load(), instInputInterUs_.load(), instInputIntraUs_.load(), instOutputInterUs_.load(),
          instOutputIntraUs_.load()};
}

void CTSFilter::SetInstrumentationSettings(const TSInstrumentationSettings& settings) noexcept {
  instInputInterUs_.store(settings.inputInterCallUs);
  instInputIntraUs_.store(settings.inputIntraCallUs);
  instOutputInterUs_.store(settings.outputInterCallUs);
  instOutputIntraUs_.store(settings.outputIntraCallUs);
  instFlags_.store(settings.flags);
}

}  // namespace ovts
