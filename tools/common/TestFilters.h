// Filters built on the framework for the push benchmark and for the graph tests of the framework
// and of the time-shift filter: a live source pushing the counted byte pattern of StreamPattern.h
// (paced or as fast as downstream takes it), and a sink that checks every byte it receives
// against its stream position and counts discontinuity marks, sample times and ends of stream.
#pragma once

#include <dshow.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "framework/CBaseInputPin.h"
#include "framework/CSource.h"
#include "framework/CSourceStream.h"
#include "tools/common/StreamPattern.h"

namespace ovts::test {

// An object's reference count, read by adding and dropping one reference.
inline ULONG RefCount(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

struct TestSourceConfig {
  GUID subtype = GUID_NULL;      // offered as MEDIATYPE_Stream with this subtype
  long bytesPerSample = 4096;
  long bufferCount = 4;
  uint64_t bytesPerSecond = 0;   // 0: as fast as downstream takes the samples
  uint64_t totalBytes = 0;       // 0: endless; otherwise end of stream after this many bytes
  uint64_t startPosition = 0;    // stream position of the first byte: tells two streams apart
};

// The source's output pin. Sample times are stream positions (bytes x 10,000,000); the first
// sample after each start is marked as a discontinuity. The position advances only by samples
// downstream accepted, so a stream that is stopped and started again has no gap.
// Threads: the streaming thread fills and delivers; tests read the counters from any thread.
class CTestSourceStream final : public CSourceStream {
 public:
  CTestSourceStream(HRESULT* result, CSource* filter, const TestSourceConfig& config);

  using CSourceStream::GetMediaType;
  HRESULT GetMediaType(CMediaType* type) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
  HRESULT GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop, DWORD flags) override;
  HRESULT FillBuffer(IMediaSample* sample) override;
  HRESULT Deliver(IMediaSample* sample) override;
  HRESULT OnThreadStartPlay() override;

  uint64_t BytesDelivered() const { return delivered_.load(); }
  // Waits until the streaming thread has asked for its n-th delivery buffer since creation.
  bool WaitForBufferRequests(uint64_t n, DWORD timeoutMs);

 private:
  // Holds the stream to its pace, looking out for commands meanwhile.
  void Pace();

  const TestSourceConfig config_;
  uint64_t position_ = 0;       // streaming thread: stream position of the next sample
  bool discontinuity_ = true;   // streaming thread
  uint64_t paceOrigin_ = 0;     // streaming thread: position when the loop started
  int64_t paceStart_ = 0;       // streaming thread: counter when the loop started
  std::atomic<uint64_t> delivered_{0};  // atomic
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t bufferRequests_ = 0;  // mutex_
};

class CTestSource final : public CSource {
 public:
  // A new source with one reference.
  static HRESULT Create(const TestSourceConfig& config, CTestSource** source);
  CTestSourceStream* Stream() { return stream_; }
  IPin* Output() { return stream_; }

 private:
  CTestSource() noexcept;
  CTestSourceStream* stream_ = nullptr;  // owned through the CSource pin list
};

struct TestSinkConfig {
  std::vector<GUID> subtypes;  // MEDIATYPE_Stream with one of these; empty: any MEDIATYPE_Stream
  bool holdSamples = false;    // keep every sample until ReleaseSamples, starving the allocator
  bool startKnown = true;      // the stream starts at `start`; otherwise the checker finds it
  uint64_t start = 0;
  // As a renderer: after an end of stream every sample is refused until a flush or a stop, and
  // the end is reported to the graph (EC_COMPLETE) once the sink runs.
  bool renderer = false;
  // As a paused renderer: Receive keeps each sample (and the delivering thread) until the sink
  // is flushed or stopped.
  bool holdUntilFlush = false;
  // Told of every sample on the delivery thread, under the sink's lock, before it is counted.
  std::function<void(const AM_SAMPLE2_PROPERTIES&)> onSample;
};

struct TestSinkStats {
  uint64_t bytes = 0;
  uint64_t samples = 0;
  uint64_t discontinuities = 0;
  uint64_t timedSamples = 0;
  uint64_t timeMismatches = 0;  // timed samples whose start is not their first byte's position
  uint64_t endOfStreams = 0;
  uint64_t refused = 0;         // samples refused after an end of stream (renderer)
  uint64_t newSegments = 0;
  uint64_t holding = 0;         // deliveries held in Receive now (holdUntilFlush)
  REFERENCE_TIME segmentStart = 0;  // of the latest new segment
  tools::PatternChecker::Stats pattern;
};

class CTestSink;

class CTestSinkPin final : public CBaseInputPin {
 public:
  explicit CTestSinkPin(CTestSink* sink);
  HRESULT CheckMediaType(const AM_MEDIA_TYPE* type) override;
  HRESULT GetMediaType(int position, CMediaType* type) override;
  HRESULT Inactive() override;
  HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override;
  HRESULT STDMETHODCALLTYPE ReceiveCanBlock() override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE EndOfStream() override;
  HRESULT STDMETHODCALLTYPE BeginFlush() override;
  HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

 private:
  CTestSink* const sink_;
};

// Threads: the upstream delivery thread feeds it; tests wait and read from any thread.
class CTestSink final : public CBaseFilter, public IAMFilterMiscFlags {
 public:
  // A new sink with one reference.
  static HRESULT Create(const TestSinkConfig& config, CTestSink** sink);

  DECLARE_IUNKNOWN
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** result) override;
  // The graph counts a renderer's EC_COMPLETE towards its own.
  ULONG STDMETHODCALLTYPE GetMiscFlags() override;
  HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME start) override;
  IPin* Input() { return &pin_; }
  CTestSinkPin& Pin() { return pin_; }

  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? &pin_ : nullptr; }

  TestSinkStats Stats();
  // Waits until the counters satisfy done; false at the timeout.
  bool WaitFor(DWORD timeoutMs, const std::function<bool(const TestSinkStats&)>& done);
  bool WaitForBytes(uint64_t bytes, DWORD timeoutMs);
  bool WaitForEndOfStream(DWORD timeoutMs);
  void ReleaseSamples();

 private:
  friend class CTestSinkPin;
  explicit CTestSink(const TestSinkConfig& config) noexcept;
  // False when the sample is refused (a renderer after an end of stream).
  bool OnSample(IMediaSample* sample, const AM_SAMPLE2_PROPERTIES& props);
  void OnEndOfStream();
  void OnNewSegment(REFERENCE_TIME start);
  // A flush or a stop: a renderer takes samples again, held deliveries go.
  void ForgetEndOfStream();
  // Holds the delivering thread until a flush or a stop (holdUntilFlush).
  void HoldUntilFlush();
  // Tells the graph the stream is complete, once, when it ended and the sink runs.
  void NotifyCompleteIfDue();

  port::RecursiveLock filterLock_;
  const TestSinkConfig config_;
  CTestSinkPin pin_;
  std::mutex mutex_;
  std::condition_variable changed_;
  TestSinkStats stats_;                    // mutex_
  tools::PatternChecker checker_;          // mutex_
  std::vector<ComPtr<IMediaSample>> held_;  // mutex_
  bool ended_ = false;                      // mutex_; an end of stream since the last flush
  bool completeSent_ = false;               // mutex_
  uint64_t flushes_ = 0;                    // mutex_; flushes and stops so far
};

}  // namespace ovts::test
