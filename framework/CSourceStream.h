// An output pin with its own streaming thread. The filter's state changes drive the thread: the
// change to Paused creates it (CMD_INIT, CMD_PAUSE), the change to Stopped ends it (CMD_STOP,
// CMD_EXIT). The default loop fills samples with FillBuffer and delivers them until a command
// arrives.
//
// Threads: the graph's threads call Active/Inactive under the filter's state lock and wait for
// the streaming thread's answers, so the streaming thread (ThreadProc, DoBufferProcessingLoop,
// FillBuffer and the OnThread hooks) must never take the state lock.
#pragma once

#include "framework/CAMThread.h"
#include "framework/CBaseOutputPin.h"
#include "framework/CMediaType.h"

namespace ovts {

class CSource;

class CSourceStream : public CAMThread, public CBaseOutputPin {
 public:
  enum Command : DWORD { CMD_INIT = 0, CMD_PAUSE = 1, CMD_RUN = 2, CMD_STOP = 3, CMD_EXIT = 4 };

  // Adds itself to the filter's pin list; that result (S_OK or E_OUTOFMEMORY) goes to result.
  CSourceStream(HRESULT* result, CSource* filter, const WCHAR* name) noexcept;
  ~CSourceStream() override;

  DWORD ThreadProc() override;

  // Fills one sample: S_OK delivers it, S_FALSE ends the stream, a failure aborts it.
  virtual HRESULT FillBuffer(IMediaSample* sample) = 0;
  virtual HRESULT OnThreadCreate();
  virtual HRESULT OnThreadDestroy();
  virtual HRESULT OnThreadStartPlay();
  virtual HRESULT DoBufferProcessingLoop();
  // The single type this pin offers.
  virtual HRESULT GetMediaType(CMediaType* type);

  HRESULT Active() override;
  HRESULT Inactive() override;
  HRESULT CheckMediaType(const AM_MEDIA_TYPE* type) override;
  HRESULT GetMediaType(int position, CMediaType* type) override;
  // The pin's 1-based place in the filter's pin list, in decimal.
  HRESULT STDMETHODCALLTYPE QueryId(LPWSTR* id) override;

 protected:
  CSource* const source_;  // not held: the filter owns the pin
};

}  // namespace ovts
