// IOVTimeShiftTime as a sub-object of CTSFilter whose IUnknown is the filter's owner: seeks by
// the stream's own time through the filter's one host seek path, and the export of a stretch of
// the recording through the filter's CTSExporter.
//
// Threads: any host thread. Takes no lock of its own: seeks take the locks CTSFilter names, the
// export calls the exporter's.
#pragma once

#include <windows.h>

#include "OVTimeShift.h"

namespace ovts {

class CTSFilter;

class CTSTimeControl final : public IOVTimeShiftTime {
 public:
  explicit CTSTimeControl(CTSFilter& filter) noexcept : filter_(filter) {}
  CTSTimeControl(const CTSTimeControl&) = delete;
  CTSTimeControl& operator=(const CTSTimeControl&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE SeekBehindLive(double seconds) override;
  HRESULT STDMETHODCALLTYPE SeekRelative(double seconds) override;
  // The path is taken in the system code page, as the buffer file's own.
  HRESULT STDMETHODCALLTYPE StartExport(const wchar_t* path, double startBehindLive, double endBehindLive) override;
  HRESULT STDMETHODCALLTYPE GetExportProgress(TSExportProgress* progress) override;
  HRESULT STDMETHODCALLTYPE StopExport() override;
  HRESULT STDMETHODCALLTYPE CancelExport() override;

 private:
  CTSFilter& filter_;
};

}  // namespace ovts
