#include "tools/tshift/CStreamSink.h"

#include <chrono>
#include <new>
#include <thread>

#include "framework/ComKit.h"
#include "tools/tshift/DeliveryCheck.h"
#include "tools/tshift/HostSupport.h"

namespace ovts::tshift {

namespace {
// {0B5E2C61-4F3A-4D7E-9C21-7A1E5D3B9F03}
constexpr CLSID kStreamSinkClsid = {0x0b5e2c61, 0x4f3a, 0x4d7e, {0x9c, 0x21, 0x7a, 0x1e, 0x5d, 0x3b, 0x9f, 0x03}};
// A player that stalled longer than this does not rush to catch up: its clock restarts.
constexpr auto kStallLimit = std::chrono::milliseconds(200);
}  // namespace

CStreamSink::CStreamSink(HANDLE output, bool ownOutput, DeliveryCheck* check, uint64_t bytesPerSecond) noexcept
    // Writing to a pipe may wait for its reader.
    : CCountingSink(kStreamSinkClsid, {.renderer = true, .receiveCanBlock = true}), output_(output),
      owned_(ownOutput ? output : nullptr), check_(check), clock_(bytesPerSecond) {}

CStreamSink::~CStreamSink() = default;

HRESULT CStreamSink::Create(HANDLE output, bool ownOutput, DeliveryCheck* check, uint64_t bytesPerSecond,
                            CStreamSink** sink) {
  RETURN_HR_IF_NULL(E_POINTER, sink);
  UniqueHandle owned(ownOutput ? output : nullptr);
  *sink = new (std::nothrow) CStreamSink(output, ownOutput, check, bytesPerSecond);
  if (!*sink) return E_OUTOFMEMORY;
  owned.release();  // the sink's own owner closes it now
  (*sink)->NonDelegatingAddRef();
  return S_OK;
}

void CStreamSink::Render(const AM_SAMPLE2_PROPERTIES& props) {
  const auto length = static_cast<size_t>(props.lActual > 0 ? props.lActual : 0);
  const bool discontinuity = (props.dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY) != 0;
  if (writeError_.load() == 0 && !WriteAll(output_, props.pbBuffer, length)) {
    const DWORD error = GetLastError();
    writeError_.store(error ? error : ERROR_WRITE_FAULT);
  }
  if (check_) check_->OnSample(props.pbBuffer, length, discontinuity);
  Pace(length, discontinuity);
}

void CStreamSink::Pace(size_t length, bool discontinuity) {
  if (discontinuity || paceBytes_ == 0 || clock_.Until(paceBytes_) < -kStallLimit) {
    clock_.Restart();
    paceBytes_ = 0;
  }
  paceBytes_ += length;
  const auto left = clock_.Until(paceBytes_);
  if (left > left.zero()) std::this_thread::sleep_for(left);
}

}  // namespace ovts::tshift
