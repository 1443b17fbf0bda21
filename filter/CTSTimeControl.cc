#include "filter/CTSTimeControl.h"

#include <cmath>
#include <memory>

#include "filter/CTSFilter.h"

namespace ovts {

HRESULT CTSTimeControl::QueryInterface(REFIID iid, void** result) { return filter_.GetOwner()->QueryInterface(iid, result); }
ULONG CTSTimeControl::AddRef() { return filter_.GetOwner()->AddRef(); }
ULONG CTSTimeControl::Release() { return filter_.GetOwner()->Release(); }

HRESULT CTSTimeControl::SeekBehindLive(double seconds) {
  RETURN_HR_IF(E_INVALIDARG, !(seconds >= 0));
  return filter_.SeekToTime(CTSFilter::TimeReference::kLive, -seconds);
}

HRESULT CTSTimeControl::SeekRelative(double seconds) {
  return filter_.SeekToTime(CTSFilter::TimeReference::kPlay, seconds);
}

HRESULT CTSTimeControl::StartExport(const wchar_t* path, double startBehindLive, double endBehindLive) {
  RETURN_HR_IF_NULL(E_POINTER, path);
  RETURN_HR_IF(VFW_E_WRONG_STATE, !filter_.Buffering());
  const std::unique_ptr<char[]> narrow(port::WideToNarrow(path));
  RETURN_HR_IF_NULL(E_INVALIDARG, narrow);
  return filter_.Exporter().Start(narrow.get(), startBehindLive, endBehindLive);
}

HRESULT CTSTimeControl::GetExportProgress(TSExportProgress* progress) {
  RETURN_HR_IF_NULL(E_POINTER, progress);
  *progress = filter_.Exporter().Progress();
  return S_OK;
}

HRESULT CTSTimeControl::StopExport() { return filter_.Exporter().Stop(); }

HRESULT CTSTimeControl::CancelExport() { return filter_.Exporter().Cancel(); }

}  // namespace ovts
