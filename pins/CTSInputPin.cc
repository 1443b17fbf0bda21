#include "pins/CTSInputPin.h"

#include "filter/CTSFilter.h"
#include "pins/CTSOutputPushPin.h"

namespace ovts {

CTSInputPin::CTSInputPin(CTSFilter* filter, const WCHAR* name) noexcept
    : CBaseInputPin(filter, &filter->StateLock(), name), tsFilter_(filter), pullReader_(*this) {}

CTSInputPin::~CTSInputPin() = default;

HRESULT CTSInputPin::CheckMediaType(const AM_MEDIA_TYPE* type) { return CTSFilter::LookupStreamType(type, nullptr); }

HRESULT CTSInputPin::GetMediaType(int position, CMediaType* type) {
  RETURN_HR_IF(E_INVALIDARG, position < 0);
  RETURN_HR_IF(VFW_S_NO_MORE_ITEMS, position >= CTSFilter::kStreamTypeCount);
  CTSFilter::GetStreamType(position, type);
  return S_OK;
}

HRESULT CTSInputPin::SetMediaType(const AM_MEDIA_TYPE* type) {
  CBaseInputPin::SetMediaType(type);
  tsFilter_->CheckConnectionType(type, false);
  return S_OK;
}

HRESULT CTSInputPin::CheckConnect(IPin* peer) {
  const HRESULT hr = CBaseInputPin::CheckConnect(peer);
  pullReader_.ConnectTo(peer);
  return hr;
}

HRESULT CTSInputPin::BreakConnect() {
  pullReader_.DisconnectFrom();
  RETURN_IF_FAILED(CBaseInputPin::BreakConnect());
  return tsFilter_->SetOutputTypeIndex(nullptr);
}

HRESULT CTSInputPin::CompleteConnect(IPin* peer) {
  RETURN_IF_FAILED(CBaseInputPin::CompleteConnect(peer));
  CTSOutputPushPin* output = tsFilter_->OutputPin();
  if (!output || !output->IsConnected()) return tsFilter_->SetOutputTypeIndex(&mediaType_);
  if (output->CurrentMediaType() == mediaType_) return S_OK;
  RETURN_IF_FAILED(tsFilter_->SetOutputTypeIndex(&mediaType_));
  // Downstream may refuse the new type; the input connection stands either way.
  tsFilter_->ReconnectPin(output, &mediaType_);
  return S_OK;
}

HRESULT CTSInputPin::Active() {
  if (!IsPullMode()) return S_OK;
  REFERENCE_TIME duration = 0;
  pullReader_.Duration(&duration);
  pullReader_.Seek(0, duration);
  return S_OK;
}

HRESULT CTSInputPin::StartPulling() {
  if (!IsConnected() || !IsPullMode()) return S_OK;
  return pullReader_.Active();
}

HRESULT CTSInputPin::Inactive() {
  if (IsPullMode()) pullReader_.Inactive();
  CBaseInputPin::Inactive();
  tsFilter_->EndOfStream();
  return S_OK;
}

bool CTSInputPin::PullStopPending() { return flushStarting_.load() || pullReader_.CheckRequest(nullptr); }

HRESULT CTSInputPin::Receive(IMediaSample* sample) {
  RETURN_IF_NOT_OK(CBaseInputPin::Receive(sample));
  return tsFilter_->WriteSample(sample);
}

HRESULT CTSInputPin::EndOfStream() { return tsFilter_->EndOfStream(); }

HRESULT CTSInputPin::BeginFlush() {
  // Raised before the locks: a pull thread waiting for the receive lock gives up, so that
  // Inactive below can end it.
  flushStarting_.store(true);
  HRESULT hr;
  {
    port::LockGuard state(*lock_);
    port::LockGuard receive(tsFilter_->ReceiveLock());
    Inactive();
    hr = CBaseInputPin::BeginFlush();
    if (SUCCEEDED(hr)) hr = tsFilter_->BeginFlushDownstream();
  }
  flushStarting_.store(false);
  return hr;
}

HRESULT CTSInputPin::EndFlush() {
  port::LockGuard state(*lock_);
  port::LockGuard receive(tsFilter_->ReceiveLock());
  const HRESULT hr = tsFilter_->EndFlushDownstream();
  RETURN_IF_FAILED(hr);
  // BeginFlush ended the input; the stream goes on after the flush.
  tsFilter_->ClearEndOfStream();
  return CBaseInputPin::EndFlush();
}

HRESULT CTSInputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  if (tsFilter_->PassThrough()) {
    CTSOutputPushPin* output = tsFilter_->OutputPin();
    if (output && output->IsConnected()) output->DeliverNewSegment(start, stop, rate);
  }
  CBaseInputPin::NewSegment(start, stop, rate);
  return S_OK;
}

}  // namespace ovts
