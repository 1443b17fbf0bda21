#include "pages/CTSPerfInstProp.h"

#include <commctrl.h>

#include <initializer_list>

#include "pages/resource.h"

namespace ovts {
namespace {

constexpr uint32_t kThresholdRange = 32767;  // UDM_SETRANGE: 0 .. 32767 microseconds

void SetSpin(COVSpinCtrl& spin, UINT message, uint32_t value) {
  if (spin.hwnd) spin.SendMessage(message, 0, MAKELONG(value, 0));
}

// The edit's number, also shown by its up-down (which keeps only the low 16 bits).
uint32_t TakeThreshold(COVEditCtrl& edit, COVSpinCtrl& spin) {
  const auto value = static_cast<uint32_t>(edit.GetWindowInt());
  SetSpin(spin, UDM_SETPOS, value);
  return value;
}

}  // namespace

CTSPerfInstProp::CTSPerfInstProp(IUnknown* owner) noexcept
    : CTSPropertyPage(owner, IDD_INSTRUMENTATION, IDS_TITLE_INSTRUMENTATION) {}

CUnknown* WINAPI CTSPerfInstProp::CreateInstance(LPUNKNOWN owner, HRESULT* result) {
  return Create<CTSPerfInstProp>(owner, result);
}

INT_PTR CTSPerfInstProp::OnReceiveMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetUp();
      return 1;
    case WM_NOTIFY:
      if (wParam != IDC_INST_IN_INTER_SPIN && wParam != IDC_INST_IN_INTRA_SPIN && wParam != IDC_INST_OUT_INTRA_SPIN &&
          wParam != IDC_INST_OUT_INTER_SPIN) {
        break;
      }
      MarkDirty();
      return 0;
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      const int code = HIWORD(wParam);
      if (code == EN_UPDATE && (id == IDC_INST_IN_INTRA || id == IDC_INST_IN_INTER || id == IDC_INST_OUT_INTRA ||
                                id == IDC_INST_OUT_INTER)) {
        MarkDirty();
        return 0;
      }
      if (code == BN_CLICKED && (id == IDC_INST_IN_ENABLED || id == IDC_INST_OUT_ENABLED)) {
        UpdateEnablement();
        MarkDirty();
      }
      return 1;
    }
  }
  return CBasePropertyPage::OnReceiveMessage(window, message, wParam, lParam);
}

void CTSPerfInstProp::SetUp() {
  Attach({{&inIntra_, IDC_INST_IN_INTRA}, {&inIntraSpin_, IDC_INST_IN_INTRA_SPIN}, {&inInter_, IDC_INST_IN_INTER},
          {&inInterSpin_, IDC_INST_IN_INTER_SPIN}, {&inEnabled_, IDC_INST_IN_ENABLED},
          {&outIntra_, IDC_INST_OUT_INTRA}, {&outIntraSpin_, IDC_INST_OUT_INTRA_SPIN},
          {&outInter_, IDC_INST_OUT_INTER}, {&outInterSpin_, IDC_INST_OUT_INTER_SPIN},
          {&outEnabled_, IDC_INST_OUT_ENABLED}});
  for (COVSpinCtrl* spin : {&inIntraSpin_, &inInterSpin_, &outIntraSpin_, &outInterSpin_}) {
    SetSpin(*spin, UDM_SETRANGE, kThresholdRange);
  }

  if (filter_) {
    TSInstrumentationSettings settings{0, 750, 1500, 1000, 5000};
    filter_->GetInstrumentation(&settings);
    SetSpin(inIntraSpin_, UDM_SETPOS, settings.inputIntraCallUs);
    SetSpin(inInterSpin_, UDM_SETPOS, settings.inputInterCallUs);
    inEnabled_.SetCheck((settings.flags & TSINST_INPUT) ? BST_CHECKED : BST_UNCHECKED);
    SetSpin(outInterSpin_, UDM_SETPOS, settings.outputInterCallUs);
    SetSpin(outIntraSpin_, UDM_SETPOS, settings.outputIntraCallUs);
    outEnabled_.SetCheck((settings.flags & TSINST_OUTPUT) ? BST_CHECKED : BST_UNCHECKED);
  }
  UpdateEnablement();
  MarkClean();
}

void CTSPerfInstProp::UpdateEnablement() {
  const int input = inEnabled_.GetCheck() == BST_CHECKED;
  for (COVWnd* control : std::initializer_list<COVWnd*>{&inIntra_, &inIntraSpin_, &inInter_, &inInterSpin_}) {
    control->EnableWindow(input);
  }
  const int output = outEnabled_.GetCheck() == BST_CHECKED;
  for (COVWnd* control : std::initializer_list<COVWnd*>{&outIntra_, &outIntraSpin_, &outInter_, &outInterSpin_}) {
    control->EnableWindow(output);
  }
}

HRESULT CTSPerfInstProp::OnApplyChanges() {
  if (filter_ && dirty_) {
    TSInstrumentationSettings settings{};
    settings.inputIntraCallUs = TakeThreshold(inIntra_, inIntraSpin_);
    settings.inputInterCallUs = TakeThreshold(inInter_, inInterSpin_);
    const bool input = inEnabled_.GetCheck() == BST_CHECKED;
    settings.outputInterCallUs = TakeThreshold(outInter_, outInterSpin_);
    settings.outputIntraCallUs = TakeThreshold(outIntra_, outIntraSpin_);
    const bool output = outEnabled_.GetCheck() == BST_CHECKED;
    settings.flags = (input ? uint32_t{TSINST_INPUT} : 0u) | (output ? uint32_t{TSINST_OUTPUT} : 0u);
    filter_->SetInstrumentation(&settings);
  }
  MarkClean();
  return S_OK;
}

}  // namespace ovts
