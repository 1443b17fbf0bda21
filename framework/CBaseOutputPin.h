// An output pin: picks an allocator with the downstream input pin at connection, commits it while
// the filter is active, and delivers samples and stream events downstream.
//
// Threads: connection and allocator negotiation run on the graph's threads under the filter lock;
// the pin's streaming thread calls GetDeliveryBuffer and the Deliver operations without it.
#pragma once

#include <dshow.h>

#include "framework/CBasePin.h"

namespace ovts {

class CBaseOutputPin : public CBasePin {
 public:
  CBaseOutputPin(CBaseFilter* filter, port::RecursiveLock* filterLock, const WCHAR* name) noexcept;
  ~CBaseOutputPin() override;

  virtual HRESULT DecideAllocator(IMemInputPin* input, IMemAllocator** allocator);
  // Sets the allocator's properties from the downstream request (alignment at least 1).
  virtual HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) = 0;
  virtual HRESULT GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop,
                                    DWORD flags);
  virtual HRESULT Deliver(IMediaSample* sample);
  virtual HRESULT InitAllocator(IMemAllocator** allocator);
  virtual HRESULT DeliverEndOfStream();
  virtual HRESULT DeliverBeginFlush();
  virtual HRESULT DeliverEndFlush();
  virtual HRESULT DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

  HRESULT Active() override;
  HRESULT Inactive() override;
  HRESULT CheckConnect(IPin* peer) override;
  HRESULT BreakConnect() override;
  HRESULT CompleteConnect(IPin* peer) override;

  // IPin: these travel downstream only.
  HRESULT STDMETHODCALLTYPE EndOfStream() override;
  HRESULT STDMETHODCALLTYPE BeginFlush() override;
  HRESULT STDMETHODCALLTYPE EndFlush() override;

  // The downstream input pin, not referenced; null when unconnected.
  IMemInputPin* DownstreamInput() const noexcept { return input_.Get(); }

 protected:
  // Both change only while stopped, so the streaming thread reads them without the lock.
  ComPtr<IMemAllocator> allocator_;  // filter lock
  ComPtr<IMemInputPin> input_;       // filter lock
};

}  // namespace ovts
