#include "framework/CBaseOutputPin.h"

namespace ovts {

CBaseOutputPin::CBaseOutputPin(CBaseFilter* filter, port::RecursiveLock* filterLock, const WCHAR* name) noexcept
    : CBasePin(filter, filterLock, name, PINDIR_OUTPUT) {}

CBaseOutputPin::~CBaseOutputPin() = default;

HRESULT CBaseOutputPin::DecideAllocator(IMemInputPin* input, IMemAllocator** allocator) {
  *allocator = nullptr;
  ALLOCATOR_PROPERTIES request{};
  input->GetAllocatorRequirements(&request);  // downstream may state no preference
  if (request.cbAlign == 0) request.cbAlign = 1;

  auto settle = [&](ComPtr<IMemAllocator>& candidate) {
    HRESULT hr = DecideBufferSize(candidate.Get(), &request);
    if (SUCCEEDED(hr)) hr = input->NotifyAllocator(candidate.Get(), FALSE);
    if (SUCCEEDED(hr)) *allocator = candidate.Detach();
    return hr;
  };
  ComPtr<IMemAllocator> candidate;
  if (SUCCEEDED(input->GetAllocator(&candidate)) && SUCCEEDED(settle(candidate))) return S_OK;
  candidate.Reset();
  RETURN_IF_FAILED(InitAllocator(&candidate));
  RETURN_IF_FAILED(settle(candidate));
  return S_OK;
}

HRESULT CBaseOutputPin::GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop,
                                          DWORD flags) {
  RETURN_HR_IF_NULL(E_NOINTERFACE, allocator_);
  return allocator_->GetBuffer(sample, start, stop, flags);
}

HRESULT CBaseOutputPin::Deliver(IMediaSample* sample) {
  RETURN_HR_IF_NULL(VFW_E_NOT_CONNECTED, input_);
  return input_->Receive(sample);
}

HRESULT CBaseOutputPin::InitAllocator(IMemAllocator** allocator) {
  return CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(allocator));
}

HRESULT CBaseOutputPin::DeliverEndOfStream() {
  RETURN_HR_IF_NULL(VFW_E_NOT_CONNECTED, connected_);
  return connected_->EndOfStream();
}

HRESULT CBaseOutputPin::DeliverBeginFlush() {
  RETURN_HR_IF_NULL(VFW_E_NOT_CONNECTED, connected_);
  return connected_->BeginFlush();
}

HRESULT CBaseOutputPin::DeliverEndFlush() {
  RETURN_HR_IF_NULL(VFW_E_NOT_CONNECTED, connected_);
  return connected_->EndFlush();
}

HRESULT CBaseOutputPin::DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  RETURN_HR_IF_NULL(VFW_E_NOT_CONNECTED, connected_);
  return connected_->NewSegment(start, stop, rate);
}

HRESULT CBaseOutputPin::Active() {
  RETURN_HR_IF_NULL(VFW_E_NO_ALLOCATOR, allocator_);
  return allocator_->Commit();
}

HRESULT CBaseOutputPin::Inactive() {
  runTimeError_.store(false);
  RETURN_HR_IF_NULL(VFW_E_NO_ALLOCATOR, allocator_);
  return allocator_->Decommit();
}

HRESULT CBaseOutputPin::CheckConnect(IPin* peer) {
  RETURN_IF_FAILED(CBasePin::CheckConnect(peer));
  return peer->QueryInterface(IID_PPV_ARGS(&input_));
}

HRESULT CBaseOutputPin::BreakConnect() {
  if (allocator_) {
    RETURN_IF_FAILED(allocator_->Decommit());
    allocator_.Reset();
  }
  input_.Reset();
  return S_OK;
}

HRESULT CBaseOutputPin::CompleteConnect(IPin*) {
  return DecideAllocator(input_.Get(), allocator_.ReleaseAndGetAddressOf());
}

HRESULT CBaseOutputPin::EndOfStream() { return E_UNEXPECTED; }
HRESULT CBaseOutputPin::BeginFlush() { return E_UNEXPECTED; }
HRESULT CBaseOutputPin::EndFlush() { return E_UNEXPECTED; }

}  // namespace ovts
