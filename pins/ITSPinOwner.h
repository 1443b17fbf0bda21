// What the time-shift filter's pins need of the filter, and nothing more: the pins build and
// test without it. CTSFilter implements it; the pins keep a reference to their owner, which
// outlives them.
//
// Threads: as each operation says. The input pin calls the input-path operations on the upstream
// delivery thread or the pull thread, the output pin calls the output-path ones on its streaming
// thread, and both call the connection ones on graph threads under the filter's state lock.
#pragma once

#include <dshow.h>

#include "platform/Platform.h"

namespace ovts {

class CTSInputPin;
class CTSOutputPushPin;

class ITSPinOwner {
 public:
  // ReadSample's answer once every byte up to the input's end of stream has been delivered: the
  // output sends end of stream downstream. Given once until the next flush downstream.
  static constexpr HRESULT kEndOfStream = MAKE_HRESULT(SEVERITY_SUCCESS, FACILITY_ITF, 0x0201);

  // The input path: a sample into the buffer (S_FALSE when a pull thread gave up waiting for the
  // receive lock because it is being stopped), the input's end, and its taking back after an
  // upstream flush.
  virtual HRESULT WriteSample(IMediaSample* sample) = 0;
  virtual HRESULT EndOfStream() = 0;
  virtual HRESULT ClearEndOfStream() = 0;
  // Held across each write; the input pin's flushes take it too.
  virtual port::WaitableLock& ReceiveLock() = 0;
  // Samples bypass the buffer.
  virtual bool PassThrough() const = 0;

  // The output path: S_OK with data or empty, S_FALSE when the filter is not Running,
  // kEndOfStream, VFW_E_WRONG_STATE with pass-through on, or the buffer's failure.
  virtual HRESULT ReadSample(IMediaSample* sample) = 0;
  // The next sample delivered is marked as a discontinuity.
  virtual void MarkDiscontinuity() = 0;
  // Signalled whenever the output may have something new to do; an idle output thread waits on it.
  virtual port::Event& OutputWake() = 0;

  // Flushes of the input pin, passed downstream.
  virtual HRESULT BeginFlushDownstream() = 0;
  virtual HRESULT EndFlushDownstream() = 0;

  // Connection work: a pin's connection type, from the input side (fromOutput false) or the
  // output side; the output's type row from the input's connection type (null resets it).
  virtual HRESULT CheckConnectionType(const AM_MEDIA_TYPE* type, bool fromOutput) = 0;
  virtual HRESULT SetOutputTypeIndex(const AM_MEDIA_TYPE* type) = 0;
  // The other pin (null while the filter has none).
  virtual CTSInputPin* InputPin() const = 0;
  virtual CTSOutputPushPin* OutputPin() const = 0;

 protected:
  ~ITSPinOwner() = default;
};

}  // namespace ovts
