// The host's renderer: takes any MEDIATYPE_Stream, writes every delivered byte to a file or to
// standard output, and hands each sample with its discontinuity flag to an optional
// DeliveryCheck. A write that fails (a player that went away) is remembered and later samples
// are not written. Given a rate, it takes the stream no faster than a player would (its clock
// restarts at each discontinuity and never catches up on a stall); otherwise as fast as its
// output takes the bytes.
//
// Threads: the upstream streaming thread delivers (Render); the host reads the counts and the
// write error from any thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "framework/ComKit.h"
#include "tools/common/CountingSink.h"
#include "tools/common/RateClock.h"

namespace ovts::tshift {

class DeliveryCheck;

class CStreamSink final : public tools::CCountingSink {
 public:
  // A new sink with one reference, writing to output (owned when ownOutput), feeding check (may
  // be null; must outlive the sink's streaming) and taking bytesPerSecond (0: unpaced).
  static HRESULT Create(HANDLE output, bool ownOutput, DeliveryCheck* check, uint64_t bytesPerSecond,
                        CStreamSink** sink);
  ~CStreamSink() override;

  // The error of the first failed write, 0 while every write succeeded.
  DWORD WriteError() const { return writeError_.load(); }

 private:
  CStreamSink(HANDLE output, bool ownOutput, DeliveryCheck* check, uint64_t bytesPerSecond) noexcept;
  void Render(const AM_SAMPLE2_PROPERTIES& props) override;
  // Holds the delivery thread until a player would have taken the sample.
  void Pace(size_t length, bool discontinuity);

  const HANDLE output_;
  UniqueHandle owned_;  // output_ when the sink closes it
  DeliveryCheck* const check_;
  tools::RateClock clock_;    // delivery thread
  uint64_t paceBytes_ = 0;    // delivery thread: bytes taken since the clock (re)started
  std::atomic<DWORD> writeError_{0};  // atomic
};

}  // namespace ovts::tshift
