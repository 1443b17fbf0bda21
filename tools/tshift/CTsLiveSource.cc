#include "tools/tshift/CTsLiveSource.h"

#include <algorithm>

namespace ovts::tshift {

namespace {
// {0B5E2C61-4F3A-4D7E-9C21-7A1E5D3B9F01}
constexpr CLSID kTsLiveSourceClsid = {0x0b5e2c61, 0x4f3a, 0x4d7e, {0x9c, 0x21, 0x7a, 0x1e, 0x5d, 0x3b, 0x9f, 0x01}};
constexpr long kPacketsPerSample = 64;  // 12,032 bytes: about 12 ms at 8 Mbit/s
constexpr long kSampleCount = 16;
}  // namespace

CTsLiveStream::CTsLiveStream(HRESULT* result, CSource* filter, uint32_t bitsPerSecond)
    : CLiveStream(result, filter,
                  {.pinName = L"TS Out", .subtype = MEDIASUBTYPE_MPEG2_TRANSPORT,
                   .sampleBytes = kPacketsPerSample * static_cast<long>(tools::kTsPacketSize),
                   .sampleCount = kSampleCount, .bytesPerSecond = std::max<uint32_t>(bitsPerSecond / 8, 1)}),
      generator_(tools::TsStreamLayout{.bitRate = bitsPerSecond}) {}

// The generator goes on from where it stopped: a refused sample's packets are gone.
HRESULT CTsLiveStream::Produce(uint8_t* data, size_t capacity, uint64_t, size_t* length) {
  const size_t packets = capacity / tools::kTsPacketSize;
  generator_.Next(data, packets);
  *length = packets * tools::kTsPacketSize;
  return S_OK;
}

CTsLiveSource::CTsLiveSource() noexcept : CLiveSource(kTsLiveSourceClsid) {}

}  // namespace ovts::tshift
