// The pull reader of an input pin: when the upstream pin offers IAsyncReader, it reads the stream
// and feeds every sample into the input pin's own Receive, so pull mode takes the same path as
// pushed samples. Its errors go no further.
//
// Threads: the input pin connects and disconnects it under the filter's state lock; its worker
// thread calls the input pin's Receive and EndOfStream.
#pragma once

#include <atomic>

#include "framework/CBaseInputPin.h"
#include "pins/CPullPin.h"

namespace ovts {

class CImplPullPin final : public CPullPin {
 public:
  explicit CImplPullPin(CBaseInputPin& input) noexcept : input_(input) {}
  ~CImplPullPin() override;

  // Pull mode begins when this succeeds: the peer offers IAsyncReader and gave an allocator.
  HRESULT ConnectTo(IPin* peer);
  // Pull mode ends.
  void DisconnectFrom();
  bool IsPullConnected() const noexcept { return pullConnected_.load(); }

  HRESULT Receive(IMediaSample* sample) override;
  HRESULT EndOfStream() override;
  void OnError(HRESULT) override {}
  HRESULT BeginFlush() override;
  HRESULT EndFlush() override;

 private:
  CBaseInputPin& input_;                   // owns this reader
  std::atomic<bool> pullConnected_{false};  // atomic; changes under the filter's state lock
};

}  // namespace ovts
