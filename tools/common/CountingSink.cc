#include "tools/common/CountingSink.h"

#include <algorithm>
#include <chrono>

#include "framework/ComKit.h"

namespace ovts::tools {

CCountingSinkPin::CCountingSinkPin(CCountingSink* sink) : CBaseInputPin(sink, &sink->filterLock_, L"In"), sink_(sink) {}

HRESULT CCountingSinkPin::CheckMediaType(const AM_MEDIA_TYPE* type) {
  RETURN_HR_IF_NULL(E_POINTER, type);
  RETURN_HR_IF(VFW_E_TYPE_NOT_ACCEPTED, !IsEqualGUID(type->majortype, MEDIATYPE_Stream));
  const auto& subtypes = sink_->options_.subtypes;
  if (subtypes.empty()) return S_OK;
  const bool listed = std::any_of(subtypes.begin(), subtypes.end(),
                                  [&](const GUID& subtype) { return IsEqualGUID(subtype, type->subtype); });
  return listed ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CCountingSinkPin::GetMediaType(int position, CMediaType*) {
  return position < 0 ? E_INVALIDARG : VFW_S_NO_MORE_ITEMS;
}

HRESULT CCountingSinkPin::Inactive() {
  // Held samples go back first, or the allocator could not finish its decommit.
  sink_->OnStop();
  sink_->ForgetEndOfStream();
  return CBaseInputPin::Inactive();
}

HRESULT CCountingSinkPin::Receive(IMediaSample* sample) {
  RETURN_IF_NOT_OK(CBaseInputPin::Receive(sample));
  return sink_->Take(sample, SampleProps());
}

HRESULT CCountingSinkPin::ReceiveCanBlock() { return sink_->options_.receiveCanBlock ? S_OK : S_FALSE; }

HRESULT CCountingSinkPin::EndOfStream() {
  sink_->OnEndOfStream();
  return S_OK;
}

HRESULT CCountingSinkPin::BeginFlush() {
  sink_->ForgetEndOfStream();
  return CBaseInputPin::BeginFlush();
}

HRESULT CCountingSinkPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  sink_->OnNewSegment(start);
  return CBaseInputPin::NewSegment(start, stop, rate);
}

CCountingSink::CCountingSink(const CLSID& clsid, SinkOptions options) noexcept
    : CBaseFilter(nullptr, &filterLock_, clsid), options_(std::move(options)), pin_(this) {}

HRESULT CCountingSink::NonDelegatingQueryInterface(REFIID iid, void** result) {
  RETURN_HR_IF_NULL(E_POINTER, result);
  if (options_.renderer && IsEqualIID(iid, IID_IAMFilterMiscFlags))
    return GetInterface(static_cast<IAMFilterMiscFlags*>(this), result);
  return CBaseFilter::NonDelegatingQueryInterface(iid, result);
}

HRESULT CCountingSink::Run(REFERENCE_TIME start) {
  RETURN_IF_FAILED(CBaseFilter::Run(start));
  NotifyCompleteIfDue();
  return S_OK;
}

HRESULT CCountingSink::Take(IMediaSample* sample, const AM_SAMPLE2_PROPERTIES& props) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (options_.renderer && ended_) {
      ++counts_.refused;
      return S_FALSE;
    }
  }
  Render(props);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    Inspect(sample, props);
    ++counts_.samples;
    counts_.bytes += static_cast<uint64_t>(std::max(props.lActual, 0L));
    if (props.dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY) ++counts_.discontinuities;
  }
  Changed();
  AfterSample();
  return S_OK;
}

void CCountingSink::OnEndOfStream() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++counts_.endOfStreams;
    ended_ = true;
  }
  NotifyCompleteIfDue();
  Changed();
}

void CCountingSink::OnNewSegment(REFERENCE_TIME start) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++counts_.newSegments;
    counts_.segmentStart = start;
  }
  Changed();
}

void CCountingSink::ForgetEndOfStream() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ended_ = false;
    completeSent_ = false;
    ++flushes_;
  }
  Changed();
}

void CCountingSink::NotifyCompleteIfDue() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!options_.renderer || !ended_ || completeSent_ || State() != State_Running) return;
    completeSent_ = true;
  }
  NotifyEvent(EC_COMPLETE, S_OK, 0);
}

SinkCounts CCountingSink::Counts() {
  std::lock_guard<std::mutex> guard(mutex_);
  return counts_;
}

bool CCountingSink::WaitUntil(DWORD timeoutMs, const std::function<bool()>& done) {
  std::unique_lock<std::mutex> guard(mutex_);
  return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), done);
}

bool CCountingSink::WaitForBytes(uint64_t bytes, DWORD timeoutMs) {
  return WaitUntil(timeoutMs, [&] { return counts_.bytes >= bytes; });
}

bool CCountingSink::WaitForEndOfStream(DWORD timeoutMs) {
  return WaitUntil(timeoutMs, [&] { return counts_.endOfStreams > 0; });
}

}  // namespace ovts::tools
