// Filters built on the framework for the push benchmark and for the graph tests of the framework
// and of the time-shift filter: a live source pushing the counted byte pattern of StreamPattern.h
// (paced or as fast as downstream takes it), and a sink that checks every byte it receives
// against its stream position and counts discontinuity marks, sample times and ends of stream.
#pragma once

#include <dshow.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "tools/common/CountingSink.h"
#include "tools/common/LiveSource.h"
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

// The source's output pin. The position advances only by samples downstream accepted, so a
// stream that is stopped and started again has no gap.
// Threads: the streaming thread fills and delivers; tests read the counters from any thread.
class CTestSourceStream final : public tools::CLiveStream {
 public:
  CTestSourceStream(HRESULT* result, CSource* filter, const TestSourceConfig& config);

  HRESULT GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop, DWORD flags) override;
  // Waits until the streaming thread has asked for its n-th delivery buffer since creation.
  bool WaitForBufferRequests(uint64_t n, DWORD timeoutMs);

 private:
  HRESULT Produce(uint8_t* data, size_t capacity, uint64_t position, size_t* length) override;

  const TestSourceConfig config_;
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t bufferRequests_ = 0;  // mutex_
};

class CTestSource final : public tools::CLiveSource<CTestSourceStream> {
 public:
  // A new source with one reference.
  static HRESULT Create(const TestSourceConfig& config, CTestSource** source) {
    return CreateWithStream(source, config);
  }

 private:
  friend class tools::CLiveSource<CTestSourceStream>;
  CTestSource() noexcept;
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

// What the test sink checks beside the counts.
struct TestSinkChecks {
  uint64_t timedSamples = 0;
  uint64_t timeMismatches = 0;  // timed samples whose start is not their first byte's position
  uint64_t holding = 0;         // deliveries held in Receive now (holdUntilFlush)
  tools::PatternChecker::Stats pattern;
};

struct TestSinkStats : tools::SinkCounts, TestSinkChecks {};

// Threads: the upstream delivery thread feeds it; tests wait and read from any thread.
class CTestSink final : public tools::CCountingSink {
 public:
  // A new sink with one reference.
  static HRESULT Create(const TestSinkConfig& config, CTestSink** sink);

  TestSinkStats Stats();
  // Waits until the figures satisfy done; false at the timeout.
  bool WaitFor(DWORD timeoutMs, const std::function<bool(const TestSinkStats&)>& done);
  void ReleaseSamples();

 private:
  explicit CTestSink(const TestSinkConfig& config) noexcept;
  void Inspect(IMediaSample* sample, const AM_SAMPLE2_PROPERTIES& props) override;
  // Holds the delivering thread until a flush or a stop (holdUntilFlush).
  void AfterSample() override;
  void OnStop() override { ReleaseSamples(); }
  TestSinkStats StatsLocked() const { return {CountsLocked(), checks_}; }

  const TestSinkConfig config_;
  TestSinkChecks checks_;                   // mutex_
  tools::PatternChecker checker_;           // mutex_
  std::vector<ComPtr<IMediaSample>> held_;  // mutex_
};

}  // namespace ovts::test
