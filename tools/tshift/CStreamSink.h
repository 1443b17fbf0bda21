// The host's renderer: a filter with one input pin that takes any MEDIATYPE_Stream, writes every
// delivered byte to a file or to standard output, and hands each sample with its discontinuity
// flag to an optional DeliveryCheck. A write that fails (a player that went away) is remembered
// and later samples are dropped. Given a rate, it takes the stream no faster than a player would
// (its clock restarts at each discontinuity and never catches up on a stall); otherwise as fast
// as its output takes the bytes.
//
// Threads: the upstream streaming thread calls Receive and EndOfStream; the host reads the
// counters from any thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "framework/CBaseFilter.h"
#include "framework/CBaseInputPin.h"
#include "framework/ComKit.h"

namespace ovts::tshift {

class CStreamSink;
class DeliveryCheck;

class CStreamSinkPin final : public CBaseInputPin {
 public:
  explicit CStreamSinkPin(CStreamSink* sink);
  HRESULT CheckMediaType(const AM_MEDIA_TYPE* type) override;
  HRESULT GetMediaType(int position, CMediaType* type) override;
  HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override;
  // Writing to a pipe may wait for its reader.
  HRESULT STDMETHODCALLTYPE ReceiveCanBlock() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE EndOfStream() override;

 private:
  CStreamSink* const sink_;
};

class CStreamSink final : public CBaseFilter, public IAMFilterMiscFlags {
 public:
  DECLARE_IUNKNOWN
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** result) override;
  // A renderer: the graph waits for its EC_COMPLETE, which it sends at the end of the stream.
  ULONG STDMETHODCALLTYPE GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_RENDERER; }

  // A new sink with one reference, writing to output (owned when ownOutput), feeding check (may
  // be null; must outlive the sink's streaming) and taking bytesPerSecond (0: unpaced).
  static HRESULT Create(HANDLE output, bool ownOutput, DeliveryCheck* check, uint64_t bytesPerSecond,
                        CStreamSink** sink);
  ~CStreamSink() override;

  IPin* Input() { return &pin_; }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? &pin_ : nullptr; }

  uint64_t Bytes() const { return bytes_.load(); }
  uint64_t Samples() const { return samples_.load(); }
  uint64_t Marks() const { return marks_.load(); }
  // GetTickCount64 of the last sample taken, 0 before the first.
  uint64_t LastSampleTick() const { return lastTick_.load(); }
  // True while a sample is being written (a player that reads slowly holds the writer here).
  bool Writing() const { return writing_.load(); }
  // The error of the first failed write, 0 while every write succeeded.
  DWORD WriteError() const { return writeError_.load(); }
  uint64_t EndsOfStream() const { return endsOfStream_.load(); }

  // Wait until `bytes` have arrived, or `count` ends of stream; false at the timeout.
  bool WaitForBytes(uint64_t bytes, DWORD timeoutMs);
  bool WaitForEndsOfStream(uint64_t count, DWORD timeoutMs);

 private:
  friend class CStreamSinkPin;
  CStreamSink(HANDLE output, bool ownOutput, DeliveryCheck* check, uint64_t bytesPerSecond) noexcept;
  void OnSample(const AM_SAMPLE2_PROPERTIES& props);
  // Holds the delivery thread until a player would have taken the sample.
  void Pace(size_t length, bool discontinuity);
  void OnEndOfStream();
  template <class Done>
  bool WaitFor(DWORD timeoutMs, Done done);

  port::RecursiveLock filterLock_;
  CStreamSinkPin pin_;
  const HANDLE output_;
  const bool ownOutput_;
  DeliveryCheck* const check_;
  const uint64_t bytesPerSecond_;
  int64_t paceStart_ = 0;      // delivery thread: counter when the clock (re)started
  uint64_t paceBytes_ = 0;     // delivery thread: bytes taken since then
  std::atomic<uint64_t> bytes_{0};     // atomic
  std::atomic<uint64_t> samples_{0};   // atomic
  std::atomic<uint64_t> marks_{0};     // atomic
  std::atomic<uint64_t> lastTick_{0};  // atomic
  std::atomic<bool> writing_{false};   // atomic
  std::atomic<DWORD> writeError_{0};   // atomic
  std::atomic<uint64_t> endsOfStream_{0};  // atomic
  std::mutex waitMutex_;                   // orders the counters' changes with the waiters
  std::condition_variable changed_;
};

}  // namespace ovts::tshift
