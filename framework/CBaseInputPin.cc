#include "framework/CBaseInputPin.h"

namespace ovts {

static_assert(sizeof(AM_SAMPLE2_PROPERTIES) == 64, "x64 sample property record");

CBaseInputPin::CBaseInputPin(CBaseFilter* filter, port::RecursiveLock* filterLock, const WCHAR* name) noexcept
    : CBasePin(filter, filterLock, name, PINDIR_INPUT) {}

CBaseInputPin::~CBaseInputPin() = default;

HRESULT CBaseInputPin::NonDelegatingQueryInterface(REFIID iid, void** result) {
  RETURN_HR_IF_NULL(E_POINTER, result);
  if (IsEqualIID(iid, IID_IMemInputPin)) return GetInterface(static_cast<IMemInputPin*>(this), result);
  return CBasePin::NonDelegatingQueryInterface(iid, result);
}

HRESULT CBaseInputPin::CheckStreaming() {
  RETURN_HR_IF(VFW_E_WRONG_STATE, IsStopped());
  RETURN_HR_IF(S_FALSE, flushing_.load());
  RETURN_HR_IF(VFW_E_RUNTIME_ERROR, runTimeError_.load());
  return S_OK;
}

HRESULT CBaseInputPin::Inactive() {
  runTimeError_.store(false);
  RETURN_HR_IF_NULL(VFW_E_NO_ALLOCATOR, allocator_);
  flushing_.store(false);
  return allocator_->Decommit();
}

HRESULT CBaseInputPin::BreakConnect() {
  if (allocator_) {
    RETURN_IF_FAILED(allocator_->Decommit());
    allocator_.Reset();
  }
  return S_OK;
}

HRESULT CBaseInputPin::BeginFlush() {
  port::LockGuard guard(*lock_);
  flushing_.store(true);
  return S_OK;
}

HRESULT CBaseInputPin::EndFlush() {
  port::LockGuard guard(*lock_);
  flushing_.store(false);
  runTimeError_.store(false);
  return S_OK;
}

HRESULT CBaseInputPin::Notify(IBaseFilter* sender, Quality) {
  RETURN_HR_IF_NULL(E_POINTER, sender);
  return S_OK;
}

HRESULT CBaseInputPin::GetAllocator(IMemAllocator** allocator) {
  RETURN_HR_IF_NULL(E_POINTER, allocator);
  *allocator = nullptr;
  port::LockGuard guard(*lock_);
  if (!allocator_) {
    RETURN_IF_FAILED(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&allocator_)));
  }
  return HandOut(allocator_.Get(), allocator);
}

HRESULT CBaseInputPin::NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) {
  port::LockGuard guard(*lock_);
  allocator_ = allocator;
  readOnly_ = readOnly != FALSE;
  return S_OK;
}

HRESULT CBaseInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) { return E_NOTIMPL; }

HRESULT CBaseInputPin::Receive(IMediaSample* sample) {
  RETURN_HR_IF_NULL(E_POINTER, sample);
  RETURN_IF_NOT_OK(CheckStreaming());
  RETURN_IF_FAILED(FillSampleProps(sample));
  if ((sampleProps_.dwSampleFlags & AM_SAMPLE_TYPECHANGED) && sampleProps_.pMediaType &&
      CheckMediaType(sampleProps_.pMediaType) != S_OK) {
    runTimeError_.store(true);
    EndOfStream();
    filter_->NotifyEvent(EC_ERRORABORT, VFW_E_TYPE_NOT_ACCEPTED, 0);
    return VFW_E_INVALIDMEDIATYPE;
  }
  return S_OK;
}

HRESULT CBaseInputPin::FillSampleProps(IMediaSample* sample) {
  sampleType_.reset();
  ComPtr<IMediaSample2> sample2;
  if (SUCCEEDED(sample->QueryInterface(IID_PPV_ARGS(&sample2)))) {
    return sample2->GetProperties(sizeof sampleProps_, reinterpret_cast<BYTE*>(&sampleProps_));
  }
  AM_SAMPLE2_PROPERTIES& p = sampleProps_;
  p = AM_SAMPLE2_PROPERTIES{};
  p.cbData = sizeof p;
  if (sample->IsSyncPoint() == S_OK) p.dwSampleFlags |= AM_SAMPLE_SPLICEPOINT;
  if (sample->IsPreroll() == S_OK) p.dwSampleFlags |= AM_SAMPLE_PREROLL;
  if (sample->IsDiscontinuity() == S_OK) p.dwSampleFlags |= AM_SAMPLE_DATADISCONTINUITY;
  AM_MEDIA_TYPE* type = nullptr;
  if (sample->GetMediaType(&type) == S_OK && type) {
    sampleType_.reset(type);
    p.pMediaType = type;
    p.dwSampleFlags |= AM_SAMPLE_TYPECHANGED;
  }
  const HRESULT times = sample->GetTime(&p.tStart, &p.tStop);
  if (times == S_OK) p.dwSampleFlags |= AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID;
  else if (times == VFW_S_NO_STOP_TIME) p.dwSampleFlags |= AM_SAMPLE_TIMEVALID;
  RETURN_IF_FAILED(sample->GetPointer(&p.pbBuffer));
  p.lActual = sample->GetActualDataLength();
  p.cbBuffer = sample->GetSize();
  return S_OK;
}

HRESULT CBaseInputPin::ReceiveMultiple(IMediaSample** samples, long count, long* done) {
  RETURN_HR_IF(E_POINTER, !samples || !done);
  *done = 0;
  HRESULT hr = S_OK;
  for (long i = 0; i < count; ++i) {
    hr = Receive(samples[i]);
    if (hr != S_OK) break;
    ++*done;
  }
  return hr;
}

}  // namespace ovts
