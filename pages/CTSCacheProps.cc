#include "pages/CTSCacheProps.h"

#include <algorithm>
#include <initializer_list>

#include "pages/resource.h"

namespace ovts {
namespace {

constexpr LPARAM kBitRateStepRange = MAKELONG(256, 1);
constexpr LPARAM kCacheSizeRange = MAKELONG(16384, 256);  // KB
constexpr LPARAM kChunkSizeRange = MAKELONG(2048, 32);    // KB
constexpr LPARAM kThresholdRange = MAKELONG(100, 0);      // percent
constexpr int kBitRateStep = 512;                         // Kb/s per up-down step
constexpr int kInitialBitRateSteps = 4;
constexpr uint32_t kBitRateMask = ~uint32_t{kBitRateStep - 1};

void SetSpin(COVSpinCtrl& spin, UINT message, LPARAM value) {
  if (spin.hwnd) spin.SendMessage(message, 0, value);
}

}  // namespace

CTSCacheProps::CTSCacheProps(IUnknown* owner) noexcept
    : CTSPropertyPage(owner, IDD_CACHE, IDS_TITLE_CACHE) {}

CUnknown* WINAPI CTSCacheProps::CreateInstance(LPUNKNOWN owner, HRESULT* result) {
  return Create<CTSCacheProps>(owner, result);
}

INT_PTR CTSCacheProps::OnReceiveMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetUp();
      return 1;
    case WM_NOTIFY:
      switch (wParam) {
        case IDC_CACHE_IN_SIZE_SPIN:
        case IDC_CACHE_IN_THRESH_SPIN:
        case IDC_CACHE_IN_WSIZE_SPIN:
        case IDC_CACHE_OUT_SIZE_SPIN:
        case IDC_CACHE_OUT_THRESH_SPIN:
        case IDC_CACHE_OUT_RSIZE_SPIN:
          MarkDirty();
          return 0;
        case IDC_CACHE_BITRATE_SPIN:
          return OnBitRateStep(*reinterpret_cast<const NMUPDOWN*>(lParam));
      }
      break;
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      const int code = HIWORD(wParam);
      if (code == BN_CLICKED && (id == IDC_CACHE_AUTO || id == IDC_CACHE_MANUAL)) {
        UpdateEnablement();
        MarkDirty();
        return 1;
      }
      if (code == EN_UPDATE && (id == IDC_CACHE_IN_SIZE || id == IDC_CACHE_IN_THRESH || id == IDC_CACHE_IN_WSIZE ||
                                id == IDC_CACHE_OUT_SIZE || id == IDC_CACHE_OUT_THRESH || id == IDC_CACHE_OUT_RSIZE)) {
        MarkDirty();
        return 0;
      }
      // Typing a bit rate alone leaves the page clean.
      return 1;
    }
  }
  return CBasePropertyPage::OnReceiveMessage(window, message, wParam, lParam);
}

void CTSCacheProps::SetUp() {
  Attach({{&manual_, IDC_CACHE_MANUAL}, {&auto_, IDC_CACHE_AUTO}, {&bitRate_, IDC_CACHE_BITRATE},
          {&bitRateSpin_, IDC_CACHE_BITRATE_SPIN}, {&inSize_, IDC_CACHE_IN_SIZE},
          {&inSizeSpin_, IDC_CACHE_IN_SIZE_SPIN}, {&outSize_, IDC_CACHE_OUT_SIZE},
          {&outSizeSpin_, IDC_CACHE_OUT_SIZE_SPIN}, {&inWriteSize_, IDC_CACHE_IN_WSIZE},
          {&inWriteSizeSpin_, IDC_CACHE_IN_WSIZE_SPIN}, {&outReadSize_, IDC_CACHE_OUT_RSIZE},
          {&outReadSizeSpin_, IDC_CACHE_OUT_RSIZE_SPIN}, {&inThreshold_, IDC_CACHE_IN_THRESH},
          {&inThresholdSpin_, IDC_CACHE_IN_THRESH_SPIN}, {&outThreshold_, IDC_CACHE_OUT_THRESH},
          {&outThresholdSpin_, IDC_CACHE_OUT_THRESH_SPIN}});

  SetSpin(bitRateSpin_, UDM_SETRANGE, kBitRateStepRange);
  SetSpin(inSizeSpin_, UDM_SETRANGE, kCacheSizeRange);
  SetSpin(outSizeSpin_, UDM_SETRANGE, kCacheSizeRange);
  SetSpin(inWriteSizeSpin_, UDM_SETRANGE, kChunkSizeRange);
  SetSpin(outReadSizeSpin_, UDM_SETRANGE, kChunkSizeRange);
  SetSpin(inThresholdSpin_, UDM_SETRANGE, kThresholdRange);
  SetSpin(outThresholdSpin_, UDM_SETRANGE, kThresholdRange);
  manual_.SetCheck(BST_CHECKED);

  ComPtr<IKsPropertySet> properties;
  if (filter_ && SUCCEEDED(filter_.As(&properties))) {
    TSCacheConfig config = TS_DEFAULT_CACHE_CONFIG;
    DWORD returned = 0;
    properties->Get(TSPROPSETID_Control, TSPROPERTY_CACHE_SETTINGS, nullptr, 0, &config, sizeof config, &returned);
    properties.Reset();
    // The up-downs write the numbers into their edits.
    SetSpin(inSizeSpin_, UDM_SETPOS, MAKELONG(config.inputCacheKB, 0));
    SetSpin(inWriteSizeSpin_, UDM_SETPOS, MAKELONG(config.inputChunkKB, 0));
    SetSpin(inThresholdSpin_, UDM_SETPOS, MAKELONG(config.inputThreshold, 0));
    SetSpin(outSizeSpin_, UDM_SETPOS, MAKELONG(config.outputCacheKB, 0));
    SetSpin(outReadSizeSpin_, UDM_SETPOS, MAKELONG(config.outputChunkKB, 0));
    SetSpin(outThresholdSpin_, UDM_SETPOS, MAKELONG(config.outputThreshold, 0));
    SetSpin(bitRateSpin_, UDM_SETPOS, MAKELONG(kInitialBitRateSteps, 0));
    bitRate_.SetWindowInt(kInitialBitRateSteps * kBitRateStep);
  }
  UpdateEnablement();
  MarkClean();
}

void CTSCacheProps::UpdateEnablement() {
  const bool manual = manual_.GetCheck() == BST_CHECKED;
  const bool automatic = !manual && auto_.GetCheck() == BST_CHECKED;
  for (COVWnd* control : std::initializer_list<COVWnd*>{&inSize_, &inSizeSpin_, &outSize_, &outSizeSpin_, &inWriteSize_,
                                                        &inWriteSizeSpin_, &outReadSize_, &outReadSizeSpin_, &inThreshold_,
                                                        &inThresholdSpin_, &outThreshold_, &outThresholdSpin_}) {
    control->EnableWindow(manual);
  }
  bitRate_.EnableWindow(automatic);
  bitRateSpin_.EnableWindow(automatic);
}

INT_PTR CTSCacheProps::OnBitRateStep(const NMUPDOWN& change) {
  // Other up-down notifications carry no position change.
  if (change.hdr.idFrom != IDC_CACHE_BITRATE_SPIN || change.hdr.code != UDN_DELTAPOS) return 1;
  const int steps = std::clamp(change.iPos + change.iDelta, 1, 256);
  bitRate_.SetWindowInt(steps * kBitRateStep);
  MarkDirty();
  return 0;
}

HRESULT CTSCacheProps::OnApplyChanges() {
  ComPtr<IKsPropertySet> properties;
  if (filter_ && dirty_ && SUCCEEDED(filter_.As(&properties))) {
    if (auto_.GetCheck() == BST_CHECKED) {
      uint32_t rate = static_cast<uint32_t>(bitRate_.GetWindowInt()) & kBitRateMask;
      bitRate_.SetWindowInt(static_cast<int32_t>(rate));
      properties->Set(TSPROPSETID_Control, TSPROPERTY_CACHE_BITRATE, nullptr, 0, &rate, sizeof rate);
    } else {
      TSCacheConfig config{};
      config.inputCacheKB = static_cast<uint32_t>(inSize_.GetWindowInt());
      config.inputChunkKB = static_cast<uint32_t>(inWriteSize_.GetWindowInt());
      config.inputThreshold = static_cast<uint32_t>(inThreshold_.GetWindowInt());
      config.outputCacheKB = static_cast<uint32_t>(outSize_.GetWindowInt());
      config.outputChunkKB = static_cast<uint32_t>(outReadSize_.GetWindowInt());
      config.outputThreshold = static_cast<uint32_t>(outThreshold_.GetWindowInt());
      properties->Set(TSPROPSETID_Control, TSPROPERTY_CACHE_SETTINGS, nullptr, 0, &config, sizeof config);
    }
  }
  MarkClean();
  return S_OK;
}

}  // namespace ovts
