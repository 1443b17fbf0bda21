#include "tools/common/TestFilters.h"

#include <algorithm>
#include <chrono>
#include <new>

#include "framework/ComKit.h"

namespace ovts::test {

namespace {
// {6F1C3A10-8E2B-4B5C-9D3E-0A1B2C3D4E51}, {6F1C3A10-8E2B-4B5C-9D3E-0A1B2C3D4E52}
constexpr CLSID kTestSourceClsid = {0x6f1c3a10, 0x8e2b, 0x4b5c, {0x9d, 0x3e, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x51}};
constexpr CLSID kTestSinkClsid = {0x6f1c3a10, 0x8e2b, 0x4b5c, {0x9d, 0x3e, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x52}};
}  // namespace

CTestSourceStream::CTestSourceStream(HRESULT* result, CSource* filter, const TestSourceConfig& config)
    : CLiveStream(result, filter,
                  {.subtype = config.subtype, .sampleBytes = config.bytesPerSample, .sampleCount = config.bufferCount,
                   .bytesPerSecond = config.bytesPerSecond, .startPosition = config.startPosition,
                   .refusedBytesAreGone = false}),
      config_(config) {}

HRESULT CTestSourceStream::GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop,
                                             DWORD flags) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++bufferRequests_;
  }
  changed_.notify_all();
  return CLiveStream::GetDeliveryBuffer(sample, start, stop, flags);
}

bool CTestSourceStream::WaitForBufferRequests(uint64_t n, DWORD timeoutMs) {
  std::unique_lock<std::mutex> guard(mutex_);
  return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return bufferRequests_ >= n; });
}

HRESULT CTestSourceStream::Produce(uint8_t* data, size_t capacity, uint64_t position, size_t* length) {
  *length = capacity;
  if (config_.totalBytes) {
    const uint64_t sent = position - config_.startPosition;
    if (sent >= config_.totalBytes) return S_FALSE;
    *length = static_cast<size_t>(std::min<uint64_t>(capacity, config_.totalBytes - sent));
  }
  tools::FillPattern(data, position, *length);
  return S_OK;
}

CTestSource::CTestSource() noexcept : CLiveSource(kTestSourceClsid) {}

CTestSink::CTestSink(const TestSinkConfig& config) noexcept
    : CCountingSink(kTestSinkClsid, {.subtypes = config.subtypes, .renderer = config.renderer}),
      config_(config),
      checker_(config.start, config.startKnown) {}

HRESULT CTestSink::Create(const TestSinkConfig& config, CTestSink** sink) {
  RETURN_HR_IF_NULL(E_POINTER, sink);
  *sink = new (std::nothrow) CTestSink(config);
  RETURN_HR_IF_NULL(E_OUTOFMEMORY, *sink);
  (*sink)->NonDelegatingAddRef();
  return S_OK;
}

void CTestSink::Inspect(IMediaSample* sample, const AM_SAMPLE2_PROPERTIES& props) {
  if (config_.onSample) config_.onSample(props);
  const bool discontinuity = (props.dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY) != 0;
  if (props.dwSampleFlags & AM_SAMPLE_TIMEVALID) {
    ++checks_.timedSamples;
    const auto expected = static_cast<REFERENCE_TIME>(checker_.position()) * TS_UNITS_PER_SECOND;
    if (checker_.synchronised() && !discontinuity && props.tStart != expected) ++checks_.timeMismatches;
  }
  checker_.Feed(props.pbBuffer, static_cast<size_t>(props.lActual), discontinuity);
  checks_.pattern = checker_.stats();
  if (config_.holdSamples) held_.emplace_back(sample);
}

void CTestSink::AfterSample() {
  if (!config_.holdUntilFlush) return;
  std::unique_lock<std::mutex> guard(mutex_);
  const uint64_t flushes = flushes_;
  ++checks_.holding;
  changed_.notify_all();
  changed_.wait(guard, [&] { return flushes_ != flushes; });
  --checks_.holding;
}

TestSinkStats CTestSink::Stats() {
  std::lock_guard<std::mutex> guard(mutex_);
  return StatsLocked();
}

bool CTestSink::WaitFor(DWORD timeoutMs, const std::function<bool(const TestSinkStats&)>& done) {
  return WaitUntil(timeoutMs, [&] { return done(StatsLocked()); });
}

void CTestSink::ReleaseSamples() {
  std::vector<ComPtr<IMediaSample>> samples;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    samples.swap(held_);
  }
}

}  // namespace ovts::test
