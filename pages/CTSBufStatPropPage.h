// The "Status" page: the live view of the time-shift buffer. Once a second it shows the buffer's
// total and filled size and its read and write locations, and keeps the play-position trackbar
// at the read location as a share of the filled part; dragging or paging the trackbar seeks, and
// the buttons flush the buffer and pause or resume playback. A line under the figures names the
// buffer file in use, or says why the buffer refused to start or recording is suspended. It has
// no settings: never dirty.
//
// Threads: the page frame's window thread, timer ticks included. The filter takes its own locks.
#pragma once

#include "include/OVTimeShift.h"
#include "pages/COVWnd.h"
#include "pages/CTSPropertyPage.h"

namespace ovts {

class CTSBufStatPropPage final : public CTSPropertyPage<IOVTimeShiftFilter> {
 public:
  explicit CTSBufStatPropPage(IUnknown* owner) noexcept;

  // The new page's CUnknown part, or null with E_OUTOFMEMORY in result.
  static CUnknown* WINAPI CreateInstance(LPUNKNOWN owner, HRESULT* result);

  HRESULT OnApplyChanges() override;
  INT_PTR OnReceiveMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void SetUp();
  void Refresh();
  // The recording line: the problem when there is one, else the file in use.
  void ShowRecording();
  void OnScroll(int code);
  void TogglePause();

  bool paused_ = false;  // the page asked the filter to pause: the button reads "Resume"
  COVStaticTextCtrl total_;
  COVStaticTextCtrl current_;
  COVStaticTextCtrl read_;
  COVStaticTextCtrl write_;
  COVStaticTextCtrl recording_;
  COVSliderCtrl position_;
  COVButtonCtrl pause_;
  UINT_PTR timer_ = 0;     // refresh timer on the dialog; 0: none
  bool tracking_ = false;  // the person is dragging the thumb
};

}  // namespace ovts
