#include "tools/tshift/CStreamSink.h"

#include <chrono>
#include <new>

#include "tools/tshift/DeliveryCheck.h"
#include "tools/tshift/HostSupport.h"

namespace ovts::tshift {

namespace {
// {0B5E2C61-4F3A-4D7E-9C21-7A1E5D3B9F03}
constexpr CLSID kStreamSinkClsid = {0x0b5e2c61, 0x4f3a, 0x4d7e, {0x9c, 0x21, 0x7a, 0x1e, 0x5d, 0x3b, 0x9f, 0x03}};
}

CStreamSinkPin::CStreamSinkPin(CStreamSink* sink) : CBaseInputPin(sink, &sink->filterLock_, L"In"), sink_(sink) {}

HRESULT CStreamSinkPin::CheckMediaType(const AM_MEDIA_TYPE* type) {
  RETURN_HR_IF_NULL(E_POINTER, type);
  return IsEqualGUID(type->majortype, MEDIATYPE_Stream) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CStreamSinkPin::GetMediaType(int position, CMediaType*) {
  return position < 0 ? E_INVALIDARG : VFW_S_NO_MORE_ITEMS;
}

HRESULT CStreamSinkPin::Receive(IMediaSample* sample) {
  RETURN_IF_NOT_OK(CBaseInputPin::Receive(sample));
  sink_->OnSample(SampleProps());
  return S_OK;
}

HRESULT CStreamSinkPin::EndOfStream() {
  sink_->OnEndOfStream();
  return S_OK;
}

CStreamSink::CStreamSink(HANDLE output, bool ownOutput, DeliveryCheck* check, uint64_t bytesPerSecond) noexcept
    : CBaseFilter(nullptr, &filterLock_, kStreamSinkClsid), pin_(this), output_(output), ownOutput_(ownOutput),
      check_(check), bytesPerSecond_(bytesPerSecond) {}

CStreamSink::~CStreamSink() {
  if (ownOutput_) CloseHandle(output_);
}

HRESULT CStreamSink::Create(HANDLE output, bool ownOutput, DeliveryCheck* check, uint64_t bytesPerSecond,
                            CStreamSink** sink) {
  RETURN_HR_IF_NULL(E_POINTER, sink);
  *sink = new (std::nothrow) CStreamSink(output, ownOutput, check, bytesPerSecond);
  if (!*sink) {
    if (ownOutput) CloseHandle(output);
    return E_OUTOFMEMORY;
  }
  (*sink)->NonDelegatingAddRef();
  return S_OK;
}

void CStreamSink::OnSample(const AM_SAMPLE2_PROPERTIES& props) {
  const auto length = static_cast<size_t>(props.lActual > 0 ? props.lActual : 0);
  const bool discontinuity = (props.dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY) != 0;
  writing_.store(true);
  if (writeError_.load() == 0 && !WriteAll(output_, props.pbBuffer, length)) {
    const DWORD error = GetLastError();
    writeError_.store(error ? error : ERROR_WRITE_FAULT);
  }
  writing_.store(false);
  if (check_) check_->OnSample(props.pbBuffer, length, discontinuity);
  Pace(length, discontinuity);
  bytes_.fetch_add(length);
  samples_.fetch_add(1);
  if (discontinuity) marks_.fetch_add(1);
  lastTick_.store(GetTickCount64());
  // A waiter between its test and its sleep holds the mutex: taking it here rules out a lost wake.
  {
    std::lock_guard<std::mutex> guard(waitMutex_);
  }
  changed_.notify_all();
}

void CStreamSink::Pace(size_t length, bool discontinuity) {
  if (!bytesPerSecond_) return;
  const int64_t frequency = port::PerformanceFrequency();
  const int64_t now = port::PerformanceCounter();
  const int64_t due = paceStart_ + static_cast<int64_t>(paceBytes_ * frequency / bytesPerSecond_);
  // A player that stalled does not rush to catch up: more than a fifth of a second late restarts.
  if (discontinuity || paceBytes_ == 0 || now - due > frequency / 5) {
    paceStart_ = now;
    paceBytes_ = 0;
  }
  paceBytes_ += length;
  const int64_t next = paceStart_ + static_cast<int64_t>(paceBytes_ * frequency / bytesPerSecond_);
  if (next > now) port::SleepMs(static_cast<uint32_t>((next - now) * 1000 / frequency));
}

HRESULT CStreamSink::NonDelegatingQueryInterface(REFIID iid, void** result) {
  RETURN_HR_IF_NULL(E_POINTER, result);
  if (IsEqualIID(iid, IID_IAMFilterMiscFlags)) return GetInterface(static_cast<IAMFilterMiscFlags*>(this), result);
  return CBaseFilter::NonDelegatingQueryInterface(iid, result);
}

void CStreamSink::OnEndOfStream() {
  {
    std::lock_guard<std::mutex> guard(waitMutex_);
    endsOfStream_.fetch_add(1);
  }
  changed_.notify_all();
  // Every byte before it has been written: the graph may report the stream complete.
  NotifyEvent(EC_COMPLETE, S_OK, 0);
}

template <class Done>
bool CStreamSink::WaitFor(DWORD timeoutMs, Done done) {
  std::unique_lock<std::mutex> guard(waitMutex_);
  return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), done);
}

bool CStreamSink::WaitForBytes(uint64_t bytes, DWORD timeoutMs) {
  return WaitFor(timeoutMs, [&] { return bytes_.load() >= bytes; });
}

bool CStreamSink::WaitForEndsOfStream(uint64_t count, DWORD timeoutMs) {
  return WaitFor(timeoutMs, [&] { return endsOfStream_.load() >= count; });
}

}  // namespace ovts::tshift
