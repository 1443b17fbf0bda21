// Reads an upstream IAsyncReader from the start of its range to the end on a worker thread and
// hands every sample to the derived class's Receive, as if upstream had pushed it. Reads are
// synchronous (SyncReadAligned). Positions are byte offsets x 10,000,000.
//
// Threads: the input pin's control operations (Connect, Disconnect, Seek, Active, Inactive), on
// graph threads, run under the control lock (CAMThread's worker lock), which the worker never
// takes; the fields they set change only while the worker is idle or gone. The worker thread
// reads and calls Receive, EndOfStream and OnError; BeginFlush and EndFlush come from Seek.
#pragma once

#include <dshow.h>

#include <atomic>

#include "framework/CAMThread.h"
#include "framework/ComKit.h"

namespace ovts {

class CPullPin : public CAMThread {
 public:
  enum ThreadMsg : DWORD { TM_Pause = 0, TM_Start = 1, TM_Exit = 2 };

  CPullPin() noexcept;
  ~CPullPin() override;

  // Takes the upstream object's IAsyncReader, an allocator from it (`allocator` preferred, may be
  // null) and its length. VFW_E_ALREADY_CONNECTED while connected; any failure leaves nothing held.
  HRESULT Connect(IUnknown* upstream, IMemAllocator* allocator);
  // Ends the worker and lets go of the reader and the allocator.
  HRESULT Disconnect();
  // Asks the reader for an allocator with these properties (null: 3 buffers of 65,536 bytes).
  virtual HRESULT DecideAllocator(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* properties);
  HRESULT Duration(REFERENCE_TIME* duration);
  // The range read by the next activation; a running read is paused around the change.
  HRESULT Seek(REFERENCE_TIME start, REFERENCE_TIME stop);
  // Starts reading the range (committing the allocator and starting the worker when needed).
  HRESULT Active();
  // Ends the worker and decommits the allocator; always S_OK.
  HRESULT Inactive();

  // Worker thread: a filled sample, the end of the range, and read or delivery failures.
  virtual HRESULT Receive(IMediaSample* sample) = 0;
  virtual HRESULT EndOfStream() = 0;
  virtual void OnError(HRESULT hr) = 0;
  // Around a seek of a running read.
  virtual HRESULT BeginFlush() = 0;
  virtual HRESULT EndFlush() = 0;

 protected:
  DWORD ThreadProc() override;

 private:
  HRESULT StartThread();
  HRESULT PauseThread();
  HRESULT StopThread();
  // Reads and delivers the range once, until it ends or a command arrives. Worker thread.
  void Process();
  // Collects requests a reader may still hold after a read stopped. Worker thread.
  void CleanupCancelled();
  // Makes the sample's times relative to alignedStart (capped at stop) and delivers it.
  HRESULT DeliverSample(IMediaSample* sample, REFERENCE_TIME alignedStart, REFERENCE_TIME stop);

  ComPtr<IAsyncReader> reader_;       // control lock
  REFERENCE_TIME start_ = 0;          // control lock
  REFERENCE_TIME stop_ = 0;           // control lock
  REFERENCE_TIME duration_ = 0;       // control lock
  std::atomic<DWORD> threadState_{TM_Exit};  // atomic
  ComPtr<IMemAllocator> allocator_;   // control lock
};

}  // namespace ovts
