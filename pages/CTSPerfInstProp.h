// The "Instrumentation" page: switches the filter's per-call timing on and off for the input and
// output sides and sets each side's intra-call and inter-call thresholds (microseconds), through
// the filter's IOVTSInstrumentation. Keeps no values: every set-up reads the filter's record.
//
// Threads: the page frame's window thread.
#pragma once

#include "include/OVTimeShift.h"
#include "pages/COVWnd.h"
#include "pages/CTSPropertyPage.h"

namespace ovts {

class CTSPerfInstProp final : public CTSPropertyPage<IOVTSInstrumentation> {
 public:
  explicit CTSPerfInstProp(IUnknown* owner) noexcept;

  // The new page's CUnknown part, or null with E_OUTOFMEMORY in result.
  static CUnknown* WINAPI CreateInstance(LPUNKNOWN owner, HRESULT* result);

  HRESULT OnApplyChanges() override;
  INT_PTR OnReceiveMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void SetUp();
  void UpdateEnablement();

  COVEditCtrl inIntra_;
  COVSpinCtrl inIntraSpin_;
  COVEditCtrl inInter_;
  COVSpinCtrl inInterSpin_;
  COVButtonCtrl inEnabled_;
  COVEditCtrl outIntra_;
  COVSpinCtrl outIntraSpin_;
  COVEditCtrl outInter_;
  COVSpinCtrl outInterSpin_;
  COVButtonCtrl outEnabled_;
};

}  // namespace ovts
