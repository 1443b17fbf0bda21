// The time-shift filter's input pin, "Stream In". Accepts the stream types of the stream-type table
// and hands every sample to the filter's WriteSample. Push mode: upstream calls Receive. Pull
// mode, chosen when the upstream pin offers IAsyncReader: the pin's own pull reader reads the
// upstream stream on its worker thread and calls the same Receive.
//
// Threads: the upstream delivery thread or the pull thread (Receive, EndOfStream); graph and
// host threads (connection work and Active/Inactive under the state lock, flushes). Flushes take
// the state lock, then the filter's receive lock, as the filter's lock order has it.
#pragma once

#include <dshow.h>

#include <atomic>

#include "framework/CBaseInputPin.h"
#include "pins/CImplPullPin.h"

namespace ovts {

class ITSPinOwner;

class CTSInputPin final : public CBaseInputPin {
 public:
  // `stateLock` is the filter's state lock; `owner` takes the samples, ends and flushes.
  CTSInputPin(CBaseFilter* filter, port::RecursiveLock* stateLock, ITSPinOwner& owner, const WCHAR* name) noexcept;
  ~CTSInputPin() override;

  HRESULT CheckMediaType(const AM_MEDIA_TYPE* type) override;
  HRESULT GetMediaType(int position, CMediaType* type) override;
  HRESULT SetMediaType(const AM_MEDIA_TYPE* type) override;
  // Decides push or pull mode; a peer without IAsyncReader simply means push mode.
  HRESULT CheckConnect(IPin* peer) override;
  HRESULT BreakConnect() override;
  HRESULT CompleteConnect(IPin* peer) override;
  // In pull mode sets the range to the whole stream; reading starts in StartPulling.
  HRESULT Active() override;
  // Ends pulling and marks the end of input in the buffer; always S_OK.
  HRESULT Inactive() override;

  // IPin
  HRESULT STDMETHODCALLTYPE EndOfStream() override;
  HRESULT STDMETHODCALLTYPE BeginFlush() override;
  HRESULT STDMETHODCALLTYPE EndFlush() override;
  HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
  // IMemInputPin
  HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override;
  HRESULT STDMETHODCALLTYPE ReceiveCanBlock() override { return S_FALSE; }

  bool IsPullMode() const noexcept { return pullReader_.IsPullConnected(); }
  // Starts the pull thread once the filter has left Stopped (its state is Paused by then, so the
  // first sample is not refused as arriving at a stopped filter). S_OK in push mode.
  HRESULT StartPulling();
  // Pull thread: a command is waiting for it, or a flush is ending it.
  bool PullStopPending();
  // Signalled while a command waits for the pull thread.
  port::Event& PullCommandEvent() noexcept { return pullReader_.CommandEvent(); }

 private:
  ITSPinOwner& owner_;  // the filter, which owns this pin
  CImplPullPin pullReader_;
  std::atomic<bool> flushStarting_{false};  // atomic; raised before BeginFlush takes its locks
};

}  // namespace ovts
