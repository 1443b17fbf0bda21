#include "pins/CPullPin.h"
#include "OVTimeShiftTypes.h"

#include <algorithm>

namespace ovts {

namespace {
constexpr ALLOCATOR_PROPERTIES kDefaultRequest = {3, 65536, 0, 0};
}  // namespace

CPullPin::CPullPin() noexcept = default;

CPullPin::~CPullPin() { Disconnect(); }

HRESULT CPullPin::Connect(IUnknown* upstream, IMemAllocator* allocator) {
  RETURN_HR_IF_NULL(E_POINTER, upstream);
  port::LockGuard control(WorkerLock());
  RETURN_HR_IF(VFW_E_ALREADY_CONNECTED, reader_);
  RETURN_IF_FAILED(upstream->QueryInterface(IID_PPV_ARGS(&reader_)));
  HRESULT hr = DecideAllocator(allocator, nullptr);
  LONGLONG total = 0, available = 0;
  if (SUCCEEDED(hr)) hr = reader_->Length(&total, &available);
  if (FAILED(hr)) {
    Disconnect();
    return hr;
  }
  duration_ = stop_ = total * TS_UNITS_PER_SECOND;
  start_ = 0;
  return S_OK;
}

HRESULT CPullPin::Disconnect() {
  port::LockGuard control(WorkerLock());
  StopThread();
  reader_.Reset();
  allocator_.Reset();
  return S_OK;
}

HRESULT CPullPin::DecideAllocator(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* properties) {
  ALLOCATOR_PROPERTIES request = properties ? *properties : kDefaultRequest;
  allocator_.Reset();
  return reader_->RequestAllocator(allocator, &request, &allocator_);
}

HRESULT CPullPin::Duration(REFERENCE_TIME* duration) {
  RETURN_HR_IF_NULL(E_POINTER, duration);
  port::LockGuard control(WorkerLock());
  *duration = duration_;
  return S_OK;
}

HRESULT CPullPin::Seek(REFERENCE_TIME start, REFERENCE_TIME stop) {
  port::LockGuard control(WorkerLock());
  const bool running = threadState_.load() == TM_Start;
  if (running) {
    BeginFlush();
    PauseThread();
    EndFlush();
  }
  start_ = start;
  stop_ = stop;
  return running ? StartThread() : S_OK;
}

HRESULT CPullPin::Active() {
  port::LockGuard control(WorkerLock());
  return StartThread();
}

HRESULT CPullPin::Inactive() {
  port::LockGuard control(WorkerLock());
  StopThread();
  return S_OK;
}

HRESULT CPullPin::StartThread() {
  RETURN_HR_IF(E_UNEXPECTED, !allocator_ || !reader_);
  if (!ThreadExists()) {
    RETURN_IF_FAILED(allocator_->Commit());
    RETURN_HR_IF(E_FAIL, !Create());
  }
  threadState_.store(TM_Start);
  return CallWorker(TM_Start);
}

HRESULT CPullPin::PauseThread() {
  RETURN_HR_IF(E_UNEXPECTED, !ThreadExists());
  // Outstanding reads end, so the worker can see the command.
  RETURN_IF_FAILED(reader_->BeginFlush());
  threadState_.store(TM_Pause);
  const HRESULT hr = CallWorker(TM_Pause);
  reader_->EndFlush();
  return hr;
}

HRESULT CPullPin::StopThread() {
  if (!ThreadExists()) return S_FALSE;
  RETURN_IF_FAILED(reader_->BeginFlush());
  threadState_.store(TM_Exit);
  CallWorker(TM_Exit);
  reader_->EndFlush();
  Close();
  if (allocator_) allocator_->Decommit();
  return S_OK;
}

DWORD CPullPin::ThreadProc() {
  for (;;) {
    switch (GetRequest()) {
      case TM_Pause:
        Reply(S_OK);
        break;
      case TM_Start:
        Reply(S_OK);
        Process();
        break;
      case TM_Exit:
        Reply(S_OK);
        return 0;
      default:
        Reply(E_UNEXPECTED);
        break;
    }
    CleanupCancelled();
  }
}

void CPullPin::CleanupCancelled() {
  reader_->BeginFlush();
  for (;;) {
    IMediaSample* sample = nullptr;
    DWORD_PTR user = 0;
    reader_->WaitForNext(0, &sample, &user);
    if (!sample) break;
    sample->Release();
  }
  reader_->EndFlush();
}

void CPullPin::Process() {
  if (stop_ <= start_) {
    EndOfStream();
    return;
  }
  ALLOCATOR_PROPERTIES actual{};
  if (const HRESULT hr = allocator_->GetProperties(&actual); FAILED(hr)) {
    OnError(hr);
    return;
  }
  // Reads start and end on the reader's alignment (a power of two).
  const LONGLONG align = std::max(actual.cbAlign, 1L);
  const REFERENCE_TIME alignedStart = start_ / TS_UNITS_PER_SECOND / align * align * TS_UNITS_PER_SECOND;
  const REFERENCE_TIME stop = std::min(stop_, duration_);
  const REFERENCE_TIME alignedStop = (stop / TS_UNITS_PER_SECOND + align - 1) / align * align * TS_UNITS_PER_SECOND;
  if (alignedStart >= alignedStop) {
    EndOfStream();
    return;
  }
  REFERENCE_TIME current = alignedStart;
  bool first = true;
  for (;;) {
    if (CheckRequest(nullptr)) return;  // the command is taken by ThreadProc
    ComPtr<IMediaSample> sample;
    if (const HRESULT hr = allocator_->GetBuffer(&sample, nullptr, nullptr, 0); FAILED(hr)) {
      OnError(hr);
      return;
    }
    REFERENCE_TIME sampleStart = current;
    REFERENCE_TIME sampleStop = std::min(current + actual.cbBuffer * TS_UNITS_PER_SECOND, alignedStop);
    sample->SetTime(&sampleStart, &sampleStop);
    current = sampleStop;
    if (first) {
      sample->SetDiscontinuity(TRUE);
      first = false;
    }
    if (const HRESULT hr = reader_->SyncReadAligned(sample.Get()); FAILED(hr)) {
      sample.Reset();
      OnError(hr);
      return;
    }
    const HRESULT hr = DeliverSample(sample.Get(), alignedStart, stop);
    if (hr != S_OK) {
      if (FAILED(hr)) OnError(hr);
      return;  // refused (a flush or stop) or failed: no end of stream
    }
    if (current >= alignedStop) {
      EndOfStream();
      return;
    }
  }
}

HRESULT CPullPin::DeliverSample(IMediaSample* sample, REFERENCE_TIME alignedStart, REFERENCE_TIME stop) {
  REFERENCE_TIME sampleStart = 0, sampleStop = 0;
  if (sample->GetTime(&sampleStart, &sampleStop) == S_OK) {
    sampleStop = std::min(sampleStop, stop) - alignedStart;
    sampleStart -= alignedStart;
    RETURN_IF_FAILED(sample->SetTime(&sampleStart, &sampleStop));
  }
  return Receive(sample);
}

}  // namespace ovts
