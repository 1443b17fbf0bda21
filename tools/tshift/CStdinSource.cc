#include "tools/tshift/CStdinSource.h"

#include "framework/ComKit.h"

namespace ovts::tshift {

namespace {
// {0B5E2C61-4F3A-4D7E-9C21-7A1E5D3B9F02}
constexpr CLSID kStdinSourceClsid = {0x0b5e2c61, 0x4f3a, 0x4d7e, {0x9c, 0x21, 0x7a, 0x1e, 0x5d, 0x3b, 0x9f, 0x02}};
constexpr long kSampleBytes = 65536;
constexpr long kSampleCount = 8;
constexpr DWORD kIdlePollMs = 5;
}  // namespace

CStdinStream::CStdinStream(HRESULT* result, CSource* filter, HANDLE input)
    : CSourceStream(result, filter, L"Stdin Out"), input_(input), pipe_(GetFileType(input) == FILE_TYPE_PIPE) {}

HRESULT CStdinStream::GetMediaType(CMediaType* type) {
  type->Clear();
  type->majortype = MEDIATYPE_Stream;
  type->subtype = GUID_NULL;
  return S_OK;
}

HRESULT CStdinStream::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  return SetSampleBuffers(allocator, request, kSampleCount, kSampleBytes);
}

HRESULT CStdinStream::OnThreadStartPlay() {
  discontinuity_ = true;
  return S_OK;
}

bool CStdinStream::ReadSome(BYTE* data, DWORD capacity, DWORD* got) {
  *got = 0;
  if (pipe_) {
    // Only what is there already: a blocking read could not be interrupted by a stop.
    for (;;) {
      DWORD available = 0;
      if (!PeekNamedPipe(input_, nullptr, 0, nullptr, &available, nullptr)) {
        const DWORD error = GetLastError();
        if (error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF) readError_.store(error);
        return false;
      }
      if (available > 0) {
        capacity = available < capacity ? available : capacity;
        break;
      }
      if (CheckRequest(nullptr)) return true;
      Sleep(kIdlePollMs);
    }
  }
  while (*got < capacity) {
    DWORD n = 0;
    if (!ReadFile(input_, data + *got, capacity - *got, &n, nullptr)) {
      const DWORD error = GetLastError();
      if (error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF) readError_.store(error);
      return *got > 0;
    }
    if (n == 0) return *got > 0;
    *got += n;
  }
  return true;
}

HRESULT CStdinStream::FillBuffer(IMediaSample* sample) {
  RETURN_IF_NOT_OK(sample->SetActualDataLength(0));
  if (ended_.load()) return S_FALSE;
  BYTE* data = nullptr;
  RETURN_IF_FAILED(sample->GetPointer(&data));
  DWORD got = 0;
  if (!ReadSome(data, static_cast<DWORD>(sample->GetSize()), &got)) {
    ended_.store(true);
    if (got == 0) return S_FALSE;
  }
  RETURN_IF_FAILED(sample->SetActualDataLength(static_cast<long>(got)));
  return StampSample(sample, position_, position_ + got, discontinuity_);
}

HRESULT CStdinStream::Deliver(IMediaSample* sample) {
  const long length = sample->GetActualDataLength();
  if (length <= 0) return S_OK;
  const HRESULT hr = CSourceStream::Deliver(sample);
  // The bytes are gone from the input either way: the position counts them all.
  position_ += static_cast<uint64_t>(length);
  if (hr == S_OK) {
    bytesIn_.fetch_add(length);
    discontinuity_ = false;
  }
  return hr;
}

CStdinSource::CStdinSource() noexcept : CSource(nullptr, kStdinSourceClsid) {}

HRESULT CStdinSource::Create(HANDLE input, CStdinSource** source) {
  return CreateSourceWithStream<CStdinSource, CStdinStream>(source, &CStdinSource::stream_, input);
}

}  // namespace ovts::tshift
