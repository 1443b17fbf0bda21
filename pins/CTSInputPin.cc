#include "pins/CTSInputPin.h"

#include "pins/CTSOutputPushPin.h"
#include "pins/ITSPinOwner.h"
#include "pins/TSStreamTypes.h"

namespace ovts {

CTSInputPin::CTSInputPin(CBaseFilter* filter, port::RecursiveLock* stateLock, ITSPinOwner& owner,
                         const WCHAR* name) noexcept
    : CBaseInputPin(filter, stateLock, name), owner_(owner), pullReader_(*this) {}

CTSInputPin::~CTSInputPin() = default;

HRESULT CTSInputPin::CheckMediaType(const AM_MEDIA_TYPE* type) { return LookupStreamType(type, nullptr); }

HRESULT CTSInputPin::GetMediaType(int position, CMediaType* type) {
  RETURN_HR_IF(E_INVALIDARG, position < 0);
  RETURN_HR_IF(VFW_S_NO_MORE_ITEMS, position >= kTSStreamTypeCount);
  GetStreamType(position, type);
  return S_OK;
}

HRESULT CTSInputPin::SetMediaType(const AM_MEDIA_TYPE* type) {
  CBaseInputPin::SetMediaType(type);
  owner_.CheckConnectionType(type, false);
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
  return owner_.SetOutputTypeIndex(nullptr);
}

HRESULT CTSInputPin::CompleteConnect(IPin* peer) {
  RETURN_IF_FAILED(CBaseInputPin::CompleteConnect(peer));
  CTSOutputPushPin* output = owner_.OutputPin();
  if (!output || !output->IsConnected()) return owner_.SetOutputTypeIndex(&mediaType_);
  if (output->CurrentMediaType() == mediaType_) return S_OK;
  RETURN_IF_FAILED(owner_.SetOutputTypeIndex(&mediaType_));
  // Downstream may refuse the new type; the input connection stands either way.
  filter_->ReconnectPin(output, &mediaType_);
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
  owner_.EndOfStream();
  return S_OK;
}

bool CTSInputPin::PullStopPending() { return flushStarting_.load() || pullReader_.CheckRequest(nullptr); }

HRESULT CTSInputPin::Receive(IMediaSample* sample) {
  RETURN_IF_NOT_OK(CBaseInputPin::Receive(sample));
  return owner_.WriteSample(sample);
}

HRESULT CTSInputPin::EndOfStream() { return owner_.EndOfStream(); }

HRESULT CTSInputPin::BeginFlush() {
  // Raised before the locks: a pull thread waiting for the receive lock gives up, so that
  // Inactive below can end it.
  flushStarting_.store(true);
  HRESULT hr;
  {
    port::LockGuard state(*lock_);
    port::LockGuard receive(owner_.ReceiveLock());
    Inactive();
    hr = CBaseInputPin::BeginFlush();
    if (SUCCEEDED(hr)) hr = owner_.BeginFlushDownstream();
  }
  flushStarting_.store(false);
  return hr;
}

HRESULT CTSInputPin::EndFlush() {
  port::LockGuard state(*lock_);
  port::LockGuard receive(owner_.ReceiveLock());
  const HRESULT hr = owner_.EndFlushDownstream();
  RETURN_IF_FAILED(hr);
  // BeginFlush ended the input; the stream goes on after the flush.
  owner_.ClearEndOfStream();
  return CBaseInputPin::EndFlush();
}

HRESULT CTSInputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  if (owner_.PassThrough()) {
    CTSOutputPushPin* output = owner_.OutputPin();
    if (output && output->IsConnected()) output->DeliverNewSegment(start, stop, rate);
  }
  CBaseInputPin::NewSegment(start, stop, rate);
  return S_OK;
}

}  // namespace ovts
