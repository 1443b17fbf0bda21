// Scripted pins on a bare filter: each pin offers a list of types, answers type checks and state
// changes as a test scripts them, and records what the framework asked of it.
#pragma once

#include <dshow.h>

#include <functional>
#include <memory>
#include <vector>

#include "framework/CBaseInputPin.h"
#include "framework/CBaseOutputPin.h"

namespace ovts::test {

struct PinScript {
  std::vector<CMediaType> offered;
  std::function<HRESULT(const AM_MEDIA_TYPE&)> verdict = [](const AM_MEDIA_TYPE&) { return S_OK; };
  HRESULT activeResult = S_OK;
  HRESULT inactiveResult = S_OK;
  HRESULT completeResult = S_OK;
  std::vector<GUID> tried;  // subtypes CheckMediaType saw, in order
  int actives = 0;
  int inactives = 0;
  int breaks = 0;
  int endOfStreams = 0;
};

template <class Base>
class ProbePin : public Base {
 public:
  ProbePin(CBaseFilter* filter, port::RecursiveLock* lock, const WCHAR* name) : Base(filter, lock, name) {}
  PinScript script;

  HRESULT CheckMediaType(const AM_MEDIA_TYPE* type) override {
    script.tried.push_back(type->subtype);
    return script.verdict(*type);
  }
  HRESULT GetMediaType(int position, CMediaType* type) override {
    if (position < 0) return E_INVALIDARG;
    if (position >= static_cast<int>(script.offered.size())) return VFW_S_NO_MORE_ITEMS;
    return type->Set(script.offered[position]);
  }
  HRESULT Active() override {
    ++script.actives;
    return script.activeResult;
  }
  HRESULT Inactive() override {
    ++script.inactives;
    return script.inactiveResult;
  }
  HRESULT BreakConnect() override {
    ++script.breaks;
    return Base::BreakConnect();
  }
  HRESULT CompleteConnect(IPin* peer) override {
    RETURN_IF_FAILED(script.completeResult);
    return Base::CompleteConnect(peer);
  }
};

class ProbeOutputPin final : public ProbePin<CBaseOutputPin> {
 public:
  using ProbePin::ProbePin;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
    ALLOCATOR_PROPERTIES wanted{2, 1024, request->cbAlign, 0}, actual{};
    return allocator->SetProperties(&wanted, &actual);
  }
};

class ProbeInputPin final : public ProbePin<CBaseInputPin> {
 public:
  using ProbePin::ProbePin;
  HRESULT STDMETHODCALLTYPE EndOfStream() override {
    ++script.endOfStreams;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReceiveCanBlock() override { return S_FALSE; }
};

class ProbeFilter final : public CBaseFilter {
 public:
  // A new filter with one reference.
  static ComPtr<ProbeFilter> Make() {
    return ComPtr<ProbeFilter>(new ProbeFilter());
  }

  template <class Pin>
  Pin* Add(const WCHAR* name) {
    port::LockGuard guard(lock_);
    auto* pin = new Pin(this, &lock_, name);
    pins_.emplace_back(pin);
    IncrementPinVersion();
    return pin;
  }

  int GetPinCount() override {
    port::LockGuard guard(lock_);
    return static_cast<int>(pins_.size());
  }
  CBasePin* GetPin(int n) override {
    port::LockGuard guard(lock_);
    return n >= 0 && n < static_cast<int>(pins_.size()) ? pins_[n].get() : nullptr;
  }

 private:
  ProbeFilter() : CBaseFilter(nullptr, &lock_, GUID_NULL) {}

  port::RecursiveLock lock_;
  std::vector<std::unique_ptr<CBasePin>> pins_;  // lock_
};

}  // namespace ovts::test
