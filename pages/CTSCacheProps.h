// The "Cache " page: the file buffer's input (write) and output (read) caches, each with a size,
// a transfer size and a threshold. Either the six values by hand (manual) or only the stream's
// bit rate, from which the filter derives them (automatic). Reads and writes through the
// filter's IKsPropertySet; the page always opens in manual mode.
//
// Threads: the page frame's window thread.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <strmif.h>

#include "include/OVTimeShift.h"
#include "pages/COVWnd.h"
#include "pages/CTSPropertyPage.h"

namespace ovts {

class CTSCacheProps final : public CTSPropertyPage<IOVTimeShiftFilter> {
 public:
  explicit CTSCacheProps(IUnknown* owner) noexcept;

  // The new page's CUnknown part, or null with E_OUTOFMEMORY in result.
  static CUnknown* WINAPI CreateInstance(LPUNKNOWN owner, HRESULT* result);

  HRESULT OnApplyChanges() override;
  INT_PTR OnReceiveMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void SetUp();
  void UpdateEnablement();
  // The bit-rate up-down's UDN_DELTAPOS: the edit moves in steps of 512 Kb/s.
  INT_PTR OnBitRateStep(const NMUPDOWN& change);

  COVEditCtrl inSize_;
  COVSpinCtrl inSizeSpin_;
  COVEditCtrl outSize_;
  COVSpinCtrl outSizeSpin_;
  COVEditCtrl inWriteSize_;
  COVSpinCtrl inWriteSizeSpin_;
  COVEditCtrl outReadSize_;
  COVSpinCtrl outReadSizeSpin_;
  COVEditCtrl inThreshold_;
  COVSpinCtrl inThresholdSpin_;
  COVEditCtrl outThreshold_;
  COVSpinCtrl outThresholdSpin_;
  COVEditCtrl bitRate_;
  COVSpinCtrl bitRateSpin_;
  COVButtonCtrl manual_;
  COVButtonCtrl auto_;
};

}  // namespace ovts
