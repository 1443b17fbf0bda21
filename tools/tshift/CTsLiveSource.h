// The demo's live source: its one output pin pushes a TsGenerator transport stream
// (MEDIATYPE_Stream / MEDIASUBTYPE_MPEG2_TRANSPORT) paced at a bit rate, as a tuner would. It
// pushes while the graph is Paused or Running.
//
// Threads: the pin's streaming thread generates and delivers; the host reads the counters from
// any thread.
#pragma once

#include <cstdint>

#include "tools/common/LiveSource.h"
#include "tools/common/TsGenerator.h"

namespace ovts::tshift {

class CTsLiveStream final : public tools::CLiveStream {
 public:
  CTsLiveStream(HRESULT* result, CSource* filter, uint32_t bitsPerSecond);

 private:
  HRESULT Produce(uint8_t* data, size_t capacity, uint64_t position, size_t* length) override;

  tools::TsGenerator generator_;  // streaming thread
};

class CTsLiveSource final : public tools::CLiveSource<CTsLiveStream> {
 public:
  // A new source with one reference.
  static HRESULT Create(uint32_t bitsPerSecond, CTsLiveSource** source) {
    return CreateWithStream(source, bitsPerSecond);
  }

 private:
  friend class tools::CLiveSource<CTsLiveStream>;
  CTsLiveSource() noexcept;
};

}  // namespace ovts::tshift
