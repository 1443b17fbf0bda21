#include "framework/CSourceStream.h"

#include "framework/CSource.h"

namespace ovts {

CSourceStream::CSourceStream(HRESULT* result, CSource* filter, const WCHAR* name) noexcept
    : CAMThread(), CBaseOutputPin(filter, &filter->StateLock(), name), source_(filter) {
  const HRESULT hr = filter->AddPin(this);
  if (result) *result = hr;
}

CSourceStream::~CSourceStream() { source_->RemovePin(this); }

HRESULT CSourceStream::OnThreadCreate() { return S_OK; }
HRESULT CSourceStream::OnThreadDestroy() { return S_OK; }
HRESULT CSourceStream::OnThreadStartPlay() { return S_OK; }
HRESULT CSourceStream::GetMediaType(CMediaType*) { return E_UNEXPECTED; }

HRESULT CSourceStream::Active() {
  port::LockGuard guard(*lock_);
  if (filter_->IsActive()) return S_FALSE;
  if (!IsConnected()) return S_OK;
  RETURN_IF_FAILED(CBaseOutputPin::Active());
  HRESULT hr = Create() ? CallWorker(CMD_INIT) : E_FAIL;
  if (FAILED(hr)) {
    // The thread has ended already (or never began): reap it so the next pause can start another.
    Close();
    CBaseOutputPin::Inactive();
    return hr;
  }
  return CallWorker(CMD_PAUSE);
}

HRESULT CSourceStream::Inactive() {
  port::LockGuard guard(*lock_);
  if (!IsConnected()) return S_OK;
  // Decommit first: a streaming thread waiting for a buffer is released and sees the command.
  RETURN_IF_FAILED(CBaseOutputPin::Inactive());
  if (ThreadExists()) {
    RETURN_IF_FAILED(CallWorker(CMD_STOP));
    RETURN_IF_FAILED(CallWorker(CMD_EXIT));
    Close();
  }
  return S_OK;
}

DWORD CSourceStream::ThreadProc() {
  while (GetRequest() != CMD_INIT) Reply(E_UNEXPECTED);
  const HRESULT created = OnThreadCreate();
  if (FAILED(created)) {
    OnThreadDestroy();
    Reply(created);
    return 1;
  }
  Reply(S_OK);
  for (bool exit = false; !exit;) {
    switch (GetRequest()) {
      case CMD_PAUSE:
      case CMD_RUN:
        // Answered first: the client goes on while the loop runs.
        Reply(S_OK);
        DoBufferProcessingLoop();
        break;
      case CMD_STOP:
        Reply(S_OK);
        break;
      case CMD_EXIT:
        Reply(S_OK);
        exit = true;
        break;
      default:
        Reply(E_NOTIMPL);
        break;
    }
  }
  return FAILED(OnThreadDestroy()) ? 1 : 0;
}

HRESULT CSourceStream::DoBufferProcessingLoop() {
  OnThreadStartPlay();
  for (;;) {
    DWORD command = 0;
    while (!CheckRequest(&command)) {
      ComPtr<IMediaSample> sample;
      if (FAILED(GetDeliveryBuffer(&sample, nullptr, nullptr, 0))) {
        // Decommitted (a stop is on its way) or downstream holds every buffer.
        port::SleepMs(1);
        continue;
      }
      HRESULT hr = FillBuffer(sample.Get());
      if (hr == S_OK) {
        hr = Deliver(sample.Get());
        sample.Reset();
        if (hr != S_OK) return S_OK;  // downstream stopped or failed
        continue;
      }
      sample.Reset();
      DeliverEndOfStream();
      if (FAILED(hr)) {
        filter_->NotifyEvent(EC_ERRORABORT, hr, 0);
        return hr;
      }
      return S_OK;
    }
    switch (command) {
      case CMD_RUN:
      case CMD_PAUSE:
        Reply(S_OK);
        break;
      case CMD_STOP:
        return S_FALSE;  // left pending for ThreadProc
      default:
        Reply(E_UNEXPECTED);
        break;
    }
  }
}

HRESULT CSourceStream::GetMediaType(int position, CMediaType* type) {
  port::LockGuard guard(*lock_);
  RETURN_HR_IF(E_INVALIDARG, position < 0);
  RETURN_HR_IF(VFW_S_NO_MORE_ITEMS, position > 0);
  return GetMediaType(type);
}

HRESULT CSourceStream::CheckMediaType(const AM_MEDIA_TYPE* type) {
  RETURN_HR_IF_NULL(E_POINTER, type);
  port::LockGuard guard(*lock_);
  CMediaType mine;
  RETURN_HR_IF(E_FAIL, FAILED(GetMediaType(&mine)));
  return mine == *type ? S_OK : E_FAIL;
}

HRESULT CSourceStream::QueryId(LPWSTR* id) {
  RETURN_HR_IF_NULL(E_POINTER, id);
  *id = nullptr;
  const int index = source_->FindPinNumber(this);
  RETURN_HR_IF(VFW_E_NOT_FOUND, index < 0);
  TaskMem<WCHAR> text = TaskAlloc<WCHAR>(24);
  RETURN_HR_IF_NULL(E_OUTOFMEMORY, text);
  // Decimal digits of index + 1, most significant first.
  WCHAR digits[12];
  int count = 0;
  for (unsigned value = static_cast<unsigned>(index) + 1; value; value /= 10) digits[count++] = L'0' + value % 10;
  for (int i = 0; i < count; ++i) text.get()[i] = digits[count - 1 - i];
  text.get()[count] = L'\0';
  *id = text.release();
  return S_OK;
}

}  // namespace ovts
