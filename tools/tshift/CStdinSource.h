// A live source fed by standard input: a CSource whose one output pin reads the bytes that
// arrive on standard input on its streaming thread and pushes them downstream as they come
// (MEDIATYPE_Stream with a null subtype: the bytes pass unlooked-at). The end of the input ends
// the stream. From a pipe the thread only reads what is already there, so a command (stop,
// pause) reaches it within a few milliseconds even while the writer is silent.
//
// Threads: the pin's streaming thread reads and delivers; the host reads the counters from any
// thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "framework/CSource.h"
#include "framework/CSourceStream.h"
#include "tools/tshift/HostSources.h"

namespace ovts::tshift {

class CStdinStream final : public CSourceStream {
 public:
  CStdinStream(HRESULT* result, CSource* filter, HANDLE input);

  using CSourceStream::GetMediaType;
  HRESULT GetMediaType(CMediaType* type) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
  HRESULT FillBuffer(IMediaSample* sample) override;
  // An empty sample (a command arrived before any byte) is not sent.
  HRESULT Deliver(IMediaSample* sample) override;
  HRESULT OnThreadStartPlay() override;

  // Bytes read from standard input and accepted downstream.
  int64_t BytesIn() const { return bytesIn_.load(); }
  // True once the input has ended (or failed; then ReadError is not 0).
  bool Ended() const { return ended_.load(); }
  DWORD ReadError() const { return readError_.load(); }

 private:
  // Reads what the input has for a sample of `capacity` bytes; false at its end.
  bool ReadSome(BYTE* data, DWORD capacity, DWORD* got);

  const HANDLE input_;           // not owned: the process's standard input
  const bool pipe_;
  uint64_t position_ = 0;        // streaming thread
  bool discontinuity_ = true;    // streaming thread
  std::atomic<int64_t> bytesIn_{0};   // atomic
  std::atomic<bool> ended_{false};    // atomic
  std::atomic<DWORD> readError_{0};   // atomic
};

class CStdinSource final : public CSource {
 public:
  // A new source on standard input with one reference.
  static HRESULT Create(HANDLE input, CStdinSource** source);
  CStdinStream* Stream() { return stream_; }

 private:
  template <class Filter, class Stream, class... Args>
  friend HRESULT CreateSourceWithStream(Filter**, Stream* Filter::*, Args...);
  CStdinSource() noexcept;
  CStdinStream* stream_ = nullptr;  // owned through the CSource pin list
};

}  // namespace ovts::tshift
