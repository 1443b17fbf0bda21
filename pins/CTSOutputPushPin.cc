#include "pins/CTSOutputPushPin.h"
#include "OVTimeShiftTypes.h"

#include "pins/CTSInputPin.h"
#include "pins/ITSPinOwner.h"
#include "pins/TSStreamTypes.h"

namespace ovts {

namespace {
// An idle output thread looks again this long after its last wake even without one.
constexpr uint32_t kIdleWaitMs = 1000;
constexpr long kAlignment = 8;
}  // namespace

CTSOutputPushPin::CTSOutputPushPin(HRESULT* result, CSource* filter, ITSPinOwner& owner, const WCHAR* name) noexcept
    : CSourceStream(result, filter, name), owner_(owner) {}

CTSOutputPushPin::~CTSOutputPushPin() = default;

HRESULT CTSOutputPushPin::DoBufferProcessingLoop() {
  OnThreadStartPlay();
  FILTER_STATE state = State_Stopped;
  filter_->GetState(0, &state);
  if (state != State_Running) return S_OK;
  struct Streaming {
    std::atomic<bool>& flag;
    explicit Streaming(std::atomic<bool>& f) : flag(f) { flag.store(true); }
    ~Streaming() { flag.store(false); }
  } streaming(streaming_);
  for (;;) {
    DWORD command = 0;
    if (CheckRequest(&command)) {
      // Anything but a run is ThreadProc's to take and answer.
      if (command != CMD_RUN) return S_FALSE;
      Reply(S_OK);
      continue;
    }
    ComPtr<IMediaSample> sample;
    if (FAILED(GetDeliveryBuffer(&sample, nullptr, nullptr, 0))) continue;  // decommitted: a stop is coming
    REFERENCE_TIME start = timeBase_;
    REFERENCE_TIME stop = start + sample->GetSize() * TS_UNITS_PER_SECOND;
    sample->SetTime(&start, &stop);
    const HRESULT hr = owner_.ReadSample(sample.Get());
    // The filter left Running (a graph pause or stop): wait for the next command. Downstream must
    // not see an end of stream here, or a renderer would refuse the samples after the next Run.
    if (hr == S_FALSE) return S_OK;
    if (FAILED(hr)) return hr;
    if (hr == ITSPinOwner::kEndOfStream) {
      DeliverEndOfStream();
      continue;  // a seek back or a flush brings data again
    }
    if (sample->GetActualDataLength() <= 0) {
      // Nothing to deliver now: wait for the filter's wake (bytes, resume, end of a flush) or a
      // command. The sample goes back to the allocator first.
      sample.Reset();
      WaitForRequestOr(owner_.OutputWake(), kIdleWaitMs);
      continue;
    }
    if (sample->GetTime(&start, &stop) == S_OK) timeBase_ = stop;
    // A refusing downstream does not stop the stream, but the refused bytes are gone (a flush
    // can catch a sample on its way): the next sample says so.
    if (Deliver(sample.Get()) != S_OK) owner_.MarkDiscontinuity();
  }
}

HRESULT CTSOutputPushPin::CheckMediaType(const AM_MEDIA_TYPE* type) {
  RETURN_HR_IF_NULL(E_POINTER, type);
  CTSInputPin* input = owner_.InputPin();
  if (!input || !input->IsConnected()) return LookupStreamType(type, nullptr);
  return TypesOverlap(input->CurrentMediaType(), *type) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CTSOutputPushPin::SetMediaType(const AM_MEDIA_TYPE* type) {
  owner_.CheckConnectionType(type, true);
  return CSourceStream::SetMediaType(type);
}

HRESULT CTSOutputPushPin::GetMediaType(int position, CMediaType* type) {
  RETURN_HR_IF(E_INVALIDARG, position < 0);
  RETURN_HR_IF(VFW_S_NO_MORE_ITEMS, position >= kTSStreamTypeCount);
  int row = position;
  if (const int index = typeIndex_.load(); index >= 0) {
    if (position > 1) return S_FALSE;
    row = position == 0 ? index : kTSNullSubtypeRow;
  }
  GetStreamType(row, type);
  return S_OK;
}

HRESULT CTSOutputPushPin::DecideAllocator(IMemInputPin* input, IMemAllocator** allocator) {
  *allocator = nullptr;
  ComPtr<IMemAllocator> own;
  RETURN_IF_FAILED(InitAllocator(&own));
  ALLOCATOR_PROPERTIES request{};
  RETURN_IF_FAILED(DecideBufferSize(own.Get(), &request));
  RETURN_IF_FAILED(input->NotifyAllocator(own.Get(), FALSE));
  *allocator = own.Detach();
  return S_OK;
}

HRESULT CTSOutputPushPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  port::LockGuard state(*lock_);
  request->cBuffers = kBufferCount;
  request->cbBuffer = kBufferSize;
  request->cbAlign = kAlignment;
  ALLOCATOR_PROPERTIES actual{};
  RETURN_IF_FAILED(allocator->SetProperties(request, &actual));
  RETURN_HR_IF(E_FAIL, actual.cbBuffer < kBufferSize);
  return S_OK;
}

}  // namespace ovts
