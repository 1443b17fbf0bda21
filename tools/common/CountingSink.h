// What the tools' sinks share: a filter with one input pin that takes a byte stream
// (MEDIATYPE_Stream, with one of the listed subtypes or any), counts what arrives and lets any
// thread wait on the counts. A sink says what it does with each sample (Render, Inspect). As a
// renderer it reports the end of the stream to the graph (EC_COMPLETE) once it runs, and
// refuses samples after an end of stream until a flush or a stop.
//
// Threads: the upstream delivery thread calls Receive, EndOfStream and the flush; the graph's
// threads change the state; any thread reads and waits. mutex_ guards the counts and the
// derived sink's own figures; it is never held while the graph is told anything.
#pragma once

#include <dshow.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "framework/CBaseFilter.h"
#include "framework/CBaseInputPin.h"

namespace ovts::tools {

struct SinkCounts {
  uint64_t bytes = 0;
  uint64_t samples = 0;
  uint64_t discontinuities = 0;
  uint64_t endOfStreams = 0;
  uint64_t refused = 0;             // samples refused after an end of stream (renderer)
  uint64_t newSegments = 0;
  REFERENCE_TIME segmentStart = 0;  // of the latest new segment
};

struct SinkOptions {
  std::vector<GUID> subtypes;    // MEDIATYPE_Stream with one of these; empty: any
  bool renderer = false;
  bool receiveCanBlock = false;  // Receive may hold the delivery (a slow reader of the output)
};

class CCountingSink;

class CCountingSinkPin final : public CBaseInputPin {
 public:
  explicit CCountingSinkPin(CCountingSink* sink);
  HRESULT CheckMediaType(const AM_MEDIA_TYPE* type) override;
  HRESULT GetMediaType(int position, CMediaType* type) override;
  HRESULT Inactive() override;
  HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override;
  HRESULT STDMETHODCALLTYPE ReceiveCanBlock() override;
  HRESULT STDMETHODCALLTYPE EndOfStream() override;
  HRESULT STDMETHODCALLTYPE BeginFlush() override;
  HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

 private:
  CCountingSink* const sink_;
};

class CCountingSink : public CBaseFilter, public IAMFilterMiscFlags {
 public:
  DECLARE_IUNKNOWN
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** result) override;
  // The graph counts a renderer's EC_COMPLETE towards its own.
  ULONG STDMETHODCALLTYPE GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_RENDERER; }
  HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME start) override;

  IPin* Input() { return &pin_; }
  CCountingSinkPin& Pin() { return pin_; }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? &pin_ : nullptr; }

  SinkCounts Counts();
  // Wait until `bytes` have arrived, or an end of stream; false at the timeout.
  bool WaitForBytes(uint64_t bytes, DWORD timeoutMs);
  bool WaitForEndOfStream(DWORD timeoutMs);

 protected:
  CCountingSink(const CLSID& clsid, SinkOptions options) noexcept;

  // Delivery thread, without the lock, before the sample is counted: what the sink does with
  // the bytes (writes them out, holds them to a pace).
  virtual void Render(const AM_SAMPLE2_PROPERTIES&) {}
  // Delivery thread, under mutex_, before the sample is counted.
  virtual void Inspect(IMediaSample*, const AM_SAMPLE2_PROPERTIES&) {}
  // Delivery thread, without the lock, once the sample is counted; may hold the delivery.
  virtual void AfterSample() {}
  // The sink stops, before its pin lets go of the allocator.
  virtual void OnStop() {}

  // The counts; mutex_ held.
  const SinkCounts& CountsLocked() const { return counts_; }
  // Waits until done (called under mutex_) holds; false at the timeout.
  bool WaitUntil(DWORD timeoutMs, const std::function<bool()>& done);
  // After a change of what waiters look at.
  void Changed() { changed_.notify_all(); }

  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t flushes_ = 0;  // mutex_; flushes and stops so far

 private:
  friend class CCountingSinkPin;
  HRESULT Take(IMediaSample* sample, const AM_SAMPLE2_PROPERTIES& props);
  void OnEndOfStream();
  void OnNewSegment(REFERENCE_TIME start);
  // A flush or a stop: a renderer takes samples again and may report a new end.
  void ForgetEndOfStream();
  // Tells the graph the stream is complete, once, when it ended and the sink runs.
  void NotifyCompleteIfDue();

  port::RecursiveLock filterLock_;
  const SinkOptions options_;
  CCountingSinkPin pin_;
  SinkCounts counts_;          // mutex_
  bool ended_ = false;         // mutex_; an end of stream since the last flush or stop
  bool completeSent_ = false;  // mutex_
};

}  // namespace ovts::tools
