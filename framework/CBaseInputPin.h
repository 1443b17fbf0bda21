// An input pin: offers the platform's memory allocator, takes the one upstream decides on, and
// runs the framework's checks on each received sample before the derived pin handles it.
//
// Threads: the upstream delivery thread calls Receive and the flush and end-of-stream operations;
// the graph's threads connect and negotiate allocators under the filter lock.
#pragma once

#include <dshow.h>

#include <atomic>

#include "framework/CBasePin.h"
#include "framework/CMediaType.h"

namespace ovts {

class CBaseInputPin : public CBasePin, public IMemInputPin {
 public:
  CBaseInputPin(CBaseFilter* filter, port::RecursiveLock* filterLock, const WCHAR* name) noexcept;
  ~CBaseInputPin() override;

  DECLARE_IUNKNOWN
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** result) override;

  // VFW_E_WRONG_STATE when stopped, S_FALSE while flushing, VFW_E_RUNTIME_ERROR after an error.
  virtual HRESULT CheckStreaming();

  HRESULT Inactive() override;
  HRESULT BreakConnect() override;

  // IPin
  HRESULT STDMETHODCALLTYPE BeginFlush() override;
  HRESULT STDMETHODCALLTYPE EndFlush() override;
  // IQualityControl
  HRESULT STDMETHODCALLTYPE Notify(IBaseFilter* sender, Quality quality) override;
  // IMemInputPin
  HRESULT STDMETHODCALLTYPE GetAllocator(IMemAllocator** allocator) override;
  HRESULT STDMETHODCALLTYPE NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) override;
  HRESULT STDMETHODCALLTYPE GetAllocatorRequirements(ALLOCATOR_PROPERTIES* properties) override;
  // The checks only; the derived pin calls this first and handles the sample when it gives S_OK.
  HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override;
  HRESULT STDMETHODCALLTYPE ReceiveMultiple(IMediaSample** samples, long count, long* done) override;

  bool IsFlushing() const noexcept { return flushing_.load(); }
  bool IsReadOnly() const noexcept { return readOnly_; }
  // The sample now being received, as filled by Receive. Delivery thread only.
  const AM_SAMPLE2_PROPERTIES& SampleProps() const noexcept { return sampleProps_; }

 protected:
  ComPtr<IMemAllocator> allocator_;  // filter lock
  bool readOnly_ = false;            // filter lock
  std::atomic<bool> flushing_{false};  // atomic; changed under the filter lock
  AM_SAMPLE2_PROPERTIES sampleProps_{};  // delivery thread

 private:
  HRESULT FillSampleProps(IMediaSample* sample);

  UniqueMediaType sampleType_;  // delivery thread; the type a sample without IMediaSample2 carried
};

}  // namespace ovts
