#include "framework/CBasePin.h"

#include "framework/CEnumMediaTypes.h"

namespace ovts {

namespace {

// Codes that say more than "this type will not do"; negotiation reports them over the generic ones.
bool IsSpecificFailure(HRESULT hr) {
  return FAILED(hr) && hr != E_FAIL && hr != E_INVALIDARG && hr != VFW_E_TYPE_NOT_ACCEPTED;
}

// A CheckMediaType answer other than S_OK, as a connection failure.
HRESULT TypeRefusal(HRESULT hr) {
  return SUCCEEDED(hr) || hr == E_FAIL || hr == E_INVALIDARG ? VFW_E_TYPE_NOT_ACCEPTED : hr;
}

}  // namespace

CBasePin::CBasePin(CBaseFilter* filter, port::RecursiveLock* filterLock, const WCHAR* name,
                   PIN_DIRECTION direction) noexcept
    : CUnknown(nullptr), name_(WideCopy(name)), direction_(direction), lock_(filterLock), filter_(filter) {}

CBasePin::~CBasePin() = default;

HRESULT CBasePin::NonDelegatingQueryInterface(REFIID iid, void** result) {
  RETURN_HR_IF_NULL(E_POINTER, result);
  if (IsEqualIID(iid, IID_IPin)) return GetInterface(static_cast<IPin*>(this), result);
  if (IsEqualIID(iid, IID_IQualityControl)) return GetInterface(static_cast<IQualityControl*>(this), result);
  return CUnknown::NonDelegatingQueryInterface(iid, result);
}

ULONG CBasePin::NonDelegatingAddRef() { return filter_->AddRef(); }
ULONG CBasePin::NonDelegatingRelease() { return filter_->Release(); }

LONG CBasePin::GetMediaTypeVersion() { return typeVersion_.load(); }
HRESULT CBasePin::Active() { return S_OK; }
HRESULT CBasePin::Inactive() { return S_OK; }
HRESULT CBasePin::Run(REFERENCE_TIME) { return S_OK; }

HRESULT CBasePin::SetMediaType(const AM_MEDIA_TYPE* type) { return mediaType_.Set(*type); }

HRESULT CBasePin::CheckConnect(IPin* peer) {
  PIN_DIRECTION peerDirection;
  RETURN_IF_FAILED(peer->QueryDirection(&peerDirection));
  RETURN_HR_IF(VFW_E_INVALID_DIRECTION, peerDirection == direction_);
  return S_OK;
}

HRESULT CBasePin::BreakConnect() { return S_OK; }
HRESULT CBasePin::CompleteConnect(IPin*) { return S_OK; }

HRESULT CBasePin::Connect(IPin* peer, const AM_MEDIA_TYPE* type) {
  RETURN_HR_IF_NULL(E_POINTER, peer);
  port::LockGuard guard(*lock_);
  RETURN_HR_IF(VFW_E_ALREADY_CONNECTED, IsConnected());
  RETURN_HR_IF(VFW_E_NOT_STOPPED, ConnectionChangeRefused());
  const HRESULT hr = AgreeMediaType(peer, type);
  if (FAILED(hr)) {
    BreakConnect();
    return hr;
  }
  return S_OK;
}

HRESULT CBasePin::AgreeMediaType(IPin* peer, const AM_MEDIA_TYPE* type) {
  if (type && !ovts::IsPartiallySpecified(*type)) return AttemptConnection(peer, *type);
  HRESULT failure = VFW_E_NO_ACCEPTABLE_TYPES;
  for (int pass = 0; pass < 2; ++pass) {
    const bool mine = (pass == 0) == tryMyTypesFirst_;
    ComPtr<IEnumMediaTypes> types;
    if (FAILED(mine ? EnumMediaTypes(&types) : peer->EnumMediaTypes(&types)) || !types) continue;
    const HRESULT hr = TryMediaTypes(peer, type, types.Get());
    if (SUCCEEDED(hr)) return S_OK;
    if (IsSpecificFailure(hr)) failure = hr;
  }
  return failure;
}

HRESULT CBasePin::TryMediaTypes(IPin* peer, const AM_MEDIA_TYPE* pattern, IEnumMediaTypes* types) {
  RETURN_IF_FAILED(types->Reset());
  HRESULT firstSpecific = S_OK;
  for (;;) {
    AM_MEDIA_TYPE* raw = nullptr;
    ULONG fetched = 0;
    if (types->Next(1, &raw, &fetched) != S_OK || fetched != 1) break;
    const UniqueMediaType candidate(raw);
    if (pattern && !ovts::MatchesPartial(*candidate, *pattern)) continue;
    const HRESULT hr = AttemptConnection(peer, *candidate);
    if (SUCCEEDED(hr)) return S_OK;
    if (IsSpecificFailure(hr) && firstSpecific == S_OK) firstSpecific = hr;
  }
  return firstSpecific != S_OK ? firstSpecific : VFW_E_NO_ACCEPTABLE_TYPES;
}

HRESULT CBasePin::AttemptConnection(IPin* peer, const AM_MEDIA_TYPE& type) {
  HRESULT hr = CheckConnect(peer);
  if (FAILED(hr)) {
    BreakConnect();
    return hr;
  }
  hr = CheckMediaType(&type);
  if (hr != S_OK) {
    BreakConnect();
    return TypeRefusal(hr);
  }
  // The peer sees this pin as connected while it completes its side.
  connected_ = peer;
  hr = SetMediaType(&type);
  if (SUCCEEDED(hr)) {
    hr = peer->ReceiveConnection(static_cast<IPin*>(this), &type);
    if (SUCCEEDED(hr)) {
      hr = CompleteConnect(peer);
      if (SUCCEEDED(hr)) return hr;
      peer->Disconnect();
    }
  }
  BreakConnect();
  connected_.Reset();
  return hr;
}

HRESULT CBasePin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) {
  RETURN_HR_IF(E_POINTER, !connector || !type);
  port::LockGuard guard(*lock_);
  RETURN_HR_IF(VFW_E_ALREADY_CONNECTED, IsConnected());
  RETURN_HR_IF(VFW_E_NOT_STOPPED, ConnectionChangeRefused());
  HRESULT hr = CheckConnect(connector);
  if (FAILED(hr)) {
    BreakConnect();
    return hr;
  }
  hr = CheckMediaType(type);
  if (hr != S_OK) {
    BreakConnect();
    return TypeRefusal(hr);
  }
  connected_ = connector;
  hr = SetMediaType(type);
  if (SUCCEEDED(hr)) hr = CompleteConnect(connector);
  if (FAILED(hr)) {
    connected_.Reset();
    BreakConnect();
    return hr;
  }
  return S_OK;
}

HRESULT CBasePin::Disconnect() {
  port::LockGuard guard(*lock_);
  RETURN_HR_IF(VFW_E_NOT_STOPPED, ConnectionChangeRefused());
  if (!IsConnected()) return S_FALSE;
  RETURN_IF_FAILED(BreakConnect());
  connected_.Reset();
  return S_OK;
}

HRESULT CBasePin::ConnectedTo(IPin** peer) {
  RETURN_HR_IF_NULL(E_POINTER, peer);
  HandOut(connected_.Get(), peer);
  return *peer ? S_OK : VFW_E_NOT_CONNECTED;
}

HRESULT CBasePin::ConnectionMediaType(AM_MEDIA_TYPE* type) {
  RETURN_HR_IF_NULL(E_POINTER, type);
  port::LockGuard guard(*lock_);
  if (!IsConnected()) {
    InitMediaType(*type);
    return VFW_E_NOT_CONNECTED;
  }
  return CopyMediaType(*type, mediaType_);
}

HRESULT CBasePin::QueryPinInfo(PIN_INFO* info) {
  RETURN_HR_IF_NULL(E_POINTER, info);
  info->pFilter = filter_;
  filter_->AddRef();
  WideCopyTruncated(info->achName, MAX_PIN_NAME, name_.get());
  info->dir = direction_;
  return S_OK;
}

HRESULT CBasePin::QueryDirection(PIN_DIRECTION* direction) {
  RETURN_HR_IF_NULL(E_POINTER, direction);
  *direction = direction_;
  return S_OK;
}

HRESULT CBasePin::QueryId(LPWSTR* id) { return TaskWideCopy(name_.get(), id); }

HRESULT CBasePin::QueryAccept(const AM_MEDIA_TYPE* type) {
  if (!type) return S_FALSE;
  const HRESULT hr = CheckMediaType(type);
  return FAILED(hr) ? S_FALSE : hr;
}

HRESULT CBasePin::EnumMediaTypes(IEnumMediaTypes** types) {
  RETURN_HR_IF_NULL(E_POINTER, types);
  return CEnumMediaTypes::Create(this, nullptr, types);
}

HRESULT CBasePin::QueryInternalConnections(IPin**, ULONG*) { return E_NOTIMPL; }

HRESULT CBasePin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  segmentStart_ = start;
  segmentStop_ = stop;
  segmentRate_ = rate;
  return S_OK;
}

HRESULT CBasePin::Notify(IBaseFilter*, Quality) { return E_NOTIMPL; }

HRESULT CBasePin::SetSink(IQualityControl* sink) {
  port::LockGuard guard(*lock_);
  qualitySink_ = sink;
  return S_OK;
}

}  // namespace ovts
