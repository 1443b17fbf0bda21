#include "tools/common/TestFilters.h"
#include "OVTimeShiftTypes.h"

#include <algorithm>
#include <chrono>
#include <new>

#include "framework/ComKit.h"

namespace ovts::test {

namespace {
// {6F1C3A10-8E2B-4B5C-9D3E-0A1B2C3D4E51}, {6F1C3A10-8E2B-4B5C-9D3E-0A1B2C3D4E52}
constexpr CLSID kTestSourceClsid = {0x6f1c3a10, 0x8e2b, 0x4b5c, {0x9d, 0x3e, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x51}};
constexpr CLSID kTestSinkClsid = {0x6f1c3a10, 0x8e2b, 0x4b5c, {0x9d, 0x3e, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x52}};
constexpr uint32_t kPaceSliceMs = 10;
}  // namespace

CTestSourceStream::CTestSourceStream(HRESULT* result, CSource* filter, const TestSourceConfig& config)
    : CSourceStream(result, filter, L"Out"), config_(config), position_(config.startPosition) {}

HRESULT CTestSourceStream::GetMediaType(CMediaType* type) {
  type->Clear();
  type->majortype = MEDIATYPE_Stream;
  type->subtype = config_.subtype;
  return S_OK;
}

HRESULT CTestSourceStream::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  ALLOCATOR_PROPERTIES wanted{config_.bufferCount, config_.bytesPerSample, std::max(request->cbAlign, 1L), 0};
  ALLOCATOR_PROPERTIES actual{};
  RETURN_IF_FAILED(allocator->SetProperties(&wanted, &actual));
  RETURN_HR_IF(E_FAIL, actual.cbBuffer < config_.bytesPerSample);
  return S_OK;
}

HRESULT CTestSourceStream::GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop,
                                             DWORD flags) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++bufferRequests_;
  }
  changed_.notify_all();
  return CSourceStream::GetDeliveryBuffer(sample, start, stop, flags);
}

bool CTestSourceStream::WaitForBufferRequests(uint64_t n, DWORD timeoutMs) {
  std::unique_lock<std::mutex> guard(mutex_);
  return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return bufferRequests_ >= n; });
}

HRESULT CTestSourceStream::OnThreadStartPlay() {
  discontinuity_ = true;
  paceOrigin_ = position_;
  paceStart_ = port::PerformanceCounter();
  return S_OK;
}

void CTestSourceStream::Pace() {
  if (!config_.bytesPerSecond) return;
  const int64_t due = paceStart_ + static_cast<int64_t>((position_ - paceOrigin_) * port::PerformanceFrequency() /
                                                        config_.bytesPerSecond);
  for (;;) {
    const int64_t left = due - port::PerformanceCounter();
    if (left <= 0 || CheckRequest(nullptr)) return;
    const int64_t ms = left * 1000 / port::PerformanceFrequency();
    port::SleepMs(static_cast<uint32_t>(std::min<int64_t>(std::max<int64_t>(ms, 1), kPaceSliceMs)));
  }
}

HRESULT CTestSourceStream::FillBuffer(IMediaSample* sample) {
  uint64_t length = std::min<uint64_t>(config_.bytesPerSample, sample->GetSize());
  if (config_.totalBytes) {
    const uint64_t sent = position_ - config_.startPosition;
    if (sent >= config_.totalBytes) return S_FALSE;
    length = std::min(length, config_.totalBytes - sent);
  }
  Pace();
  BYTE* data = nullptr;
  RETURN_IF_FAILED(sample->GetPointer(&data));
  tools::FillPattern(data, position_, length);
  RETURN_IF_FAILED(sample->SetActualDataLength(static_cast<long>(length)));
  REFERENCE_TIME start = static_cast<REFERENCE_TIME>(position_) * TS_UNITS_PER_SECOND;
  REFERENCE_TIME stop = static_cast<REFERENCE_TIME>(position_ + length) * TS_UNITS_PER_SECOND;
  RETURN_IF_FAILED(sample->SetTime(&start, &stop));
  RETURN_IF_FAILED(sample->SetDiscontinuity(discontinuity_));
  return sample->SetSyncPoint(TRUE);
}

HRESULT CTestSourceStream::Deliver(IMediaSample* sample) {
  const HRESULT hr = CSourceStream::Deliver(sample);
  if (hr == S_OK) {
    const uint64_t length = static_cast<uint64_t>(sample->GetActualDataLength());
    position_ += length;
    delivered_.fetch_add(length);
    discontinuity_ = false;
  }
  return hr;
}

CTestSource::CTestSource() noexcept : CSource(nullptr, kTestSourceClsid) {}

HRESULT CTestSource::Create(const TestSourceConfig& config, CTestSource** source) {
  RETURN_HR_IF_NULL(E_POINTER, source);
  *source = nullptr;
  auto* created = new (std::nothrow) CTestSource();
  RETURN_HR_IF_NULL(E_OUTOFMEMORY, created);
  created->NonDelegatingAddRef();
  HRESULT hr = S_OK;
  // The pin list owns the pin; the constructor failing leaves it out of the list.
  auto* stream = new (std::nothrow) CTestSourceStream(&hr, created, config);
  if (!stream || FAILED(hr)) {
    delete stream;
    created->NonDelegatingRelease();
    return FAILED(hr) ? hr : E_OUTOFMEMORY;
  }
  created->stream_ = stream;
  *source = created;
  return S_OK;
}

CTestSinkPin::CTestSinkPin(CTestSink* sink) : CBaseInputPin(sink, &sink->filterLock_, L"In"), sink_(sink) {}

HRESULT CTestSinkPin::CheckMediaType(const AM_MEDIA_TYPE* type) {
  RETURN_HR_IF_NULL(E_POINTER, type);
  RETURN_HR_IF(VFW_E_TYPE_NOT_ACCEPTED, !IsEqualGUID(type->majortype, MEDIATYPE_Stream));
  const auto& subtypes = sink_->config_.subtypes;
  if (subtypes.empty()) return S_OK;
  const bool listed = std::any_of(subtypes.begin(), subtypes.end(),
                                  [&](const GUID& subtype) { return IsEqualGUID(subtype, type->subtype); });
  return listed ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CTestSinkPin::GetMediaType(int position, CMediaType*) {
  return position < 0 ? E_INVALIDARG : VFW_S_NO_MORE_ITEMS;
}

HRESULT CTestSinkPin::Inactive() {
  // Held samples go back first, or the allocator could not finish its decommit.
  sink_->ReleaseSamples();
  sink_->ForgetEndOfStream();
  return CBaseInputPin::Inactive();
}

HRESULT CTestSinkPin::Receive(IMediaSample* sample) {
  RETURN_IF_NOT_OK(CBaseInputPin::Receive(sample));
  if (!sink_->OnSample(sample, SampleProps())) return S_FALSE;
  sink_->HoldUntilFlush();
  return S_OK;
}

HRESULT CTestSinkPin::EndOfStream() {
  sink_->OnEndOfStream();
  return S_OK;
}

HRESULT CTestSinkPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  sink_->OnNewSegment(start);
  return CBaseInputPin::NewSegment(start, stop, rate);
}

HRESULT CTestSinkPin::BeginFlush() {
  sink_->ForgetEndOfStream();
  return CBaseInputPin::BeginFlush();
}

CTestSink::CTestSink(const TestSinkConfig& config) noexcept
    : CBaseFilter(nullptr, &filterLock_, kTestSinkClsid),
      config_(config),
      pin_(this),
      checker_(config.start, config.startKnown) {}

HRESULT CTestSink::Create(const TestSinkConfig& config, CTestSink** sink) {
  RETURN_HR_IF_NULL(E_POINTER, sink);
  *sink = new (std::nothrow) CTestSink(config);
  RETURN_HR_IF_NULL(E_OUTOFMEMORY, *sink);
  (*sink)->NonDelegatingAddRef();
  return S_OK;
}

HRESULT CTestSink::NonDelegatingQueryInterface(REFIID iid, void** result) {
  RETURN_HR_IF_NULL(E_POINTER, result);
  if (config_.renderer && IsEqualIID(iid, IID_IAMFilterMiscFlags))
    return GetInterface(static_cast<IAMFilterMiscFlags*>(this), result);
  return CBaseFilter::NonDelegatingQueryInterface(iid, result);
}

ULONG CTestSink::GetMiscFlags() { return AM_FILTER_MISC_FLAGS_IS_RENDERER; }

HRESULT CTestSink::Run(REFERENCE_TIME start) {
  RETURN_IF_FAILED(CBaseFilter::Run(start));
  NotifyCompleteIfDue();
  return S_OK;
}

void CTestSink::OnNewSegment(REFERENCE_TIME start) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++stats_.newSegments;
    stats_.segmentStart = start;
  }
  changed_.notify_all();
}

void CTestSink::ForgetEndOfStream() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ended_ = false;
    completeSent_ = false;
    ++flushes_;
  }
  changed_.notify_all();
}

void CTestSink::HoldUntilFlush() {
  if (!config_.holdUntilFlush) return;
  std::unique_lock<std::mutex> guard(mutex_);
  const uint64_t flushes = flushes_;
  ++stats_.holding;
  changed_.notify_all();
  changed_.wait(guard, [&] { return flushes_ != flushes; });
  --stats_.holding;
}

void CTestSink::NotifyCompleteIfDue() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!config_.renderer || !ended_ || completeSent_ || State() != State_Running) return;
    completeSent_ = true;
  }
  NotifyEvent(EC_COMPLETE, S_OK, 0);
}

bool CTestSink::OnSample(IMediaSample* sample, const AM_SAMPLE2_PROPERTIES& props) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (config_.renderer && ended_) {
      ++stats_.refused;
      return false;
    }
    if (config_.onSample) config_.onSample(props);
    const bool discontinuity = (props.dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY) != 0;
    ++stats_.samples;
    stats_.bytes += static_cast<uint64_t>(props.lActual);
    if (discontinuity) ++stats_.discontinuities;
    if (props.dwSampleFlags & AM_SAMPLE_TIMEVALID) {
      ++stats_.timedSamples;
      const auto expected = static_cast<REFERENCE_TIME>(checker_.position()) * TS_UNITS_PER_SECOND;
      if (checker_.synchronised() && !discontinuity && props.tStart != expected) ++stats_.timeMismatches;
    }
    checker_.Feed(props.pbBuffer, static_cast<size_t>(props.lActual), discontinuity);
    stats_.pattern = checker_.stats();
    if (config_.holdSamples) held_.emplace_back(sample);
  }
  changed_.notify_all();
  return true;
}

void CTestSink::OnEndOfStream() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++stats_.endOfStreams;
    ended_ = true;
  }
  NotifyCompleteIfDue();
  changed_.notify_all();
}

TestSinkStats CTestSink::Stats() {
  std::lock_guard<std::mutex> guard(mutex_);
  return stats_;
}

bool CTestSink::WaitFor(DWORD timeoutMs, const std::function<bool(const TestSinkStats&)>& done) {
  std::unique_lock<std::mutex> guard(mutex_);
  return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return done(stats_); });
}

bool CTestSink::WaitForBytes(uint64_t bytes, DWORD timeoutMs) {
  return WaitFor(timeoutMs, [bytes](const TestSinkStats& s) { return s.bytes >= bytes; });
}

bool CTestSink::WaitForEndOfStream(DWORD timeoutMs) {
  return WaitFor(timeoutMs, [](const TestSinkStats& s) { return s.endOfStreams > 0; });
}

void CTestSink::ReleaseSamples() {
  std::vector<ComPtr<IMediaSample>> samples;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    samples.swap(held_);
  }
}

}  // namespace ovts::test
