// The "General" page: where and how large the time-shift buffer file is. The drive comes from a
// list of the fixed drives with the space each can offer, the path and file name from an edit,
// the maximum size from a trackbar bounded by the drive's free space, and the initial buffering
// and three options from their controls. Reads through IOVTimeShiftFilter, writes the whole
// record through the filter's IKsPropertySet.
//
// Threads: the page frame's window thread.
#pragma once

#include <strmif.h>

#include "include/OVTimeShift.h"
#include "pages/COVWnd.h"
#include "pages/CTSPropertyPage.h"
#include "util/COVStringT.h"

namespace ovts {

class CTSGeneralProps final : public CTSPropertyPage<IOVTimeShiftFilter> {
 public:
  explicit CTSGeneralProps(IUnknown* owner) noexcept;

  // The new page's CUnknown part, or null with E_OUTOFMEMORY in result.
  static CUnknown* WINAPI CreateInstance(LPUNKNOWN owner, HRESULT* result);

  HRESULT OnApplyChanges() override;
  INT_PTR OnReceiveMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void SetUp();
  void FillDriveList();
  void OnDriveChange();
  void UpdateCaption();

  COVComboBox drives_;
  COVEditCtrl buffering_;  // thousands of bytes
  COVSpinCtrl bufferingSpin_;
  COVSliderCtrl maxSize_;  // MB
  COVStaticTextCtrl minLabel_;
  COVStaticTextCtrl maxLabel_;
  COVStaticTextCtrl maxCaption_;
  COVButtonCtrl deleteOnClose_;
  COVButtonCtrl preAllocate_;
  COVButtonCtrl noWrap_;
  COVEditCtrl path_;
  COVStringT drive_{"C:\\"};          // root of the chosen drive, "X:\"
  int maxMB_ = 1;
  uint32_t initialBuffering_ = TS_INITIAL_TIME_SHIFT_DEFAULT;  // bytes
};

}  // namespace ovts
