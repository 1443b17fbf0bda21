#include "pages/CTSBufStatPropPage.h"

#include <commctrl.h>
#include <strmif.h>

#include <iterator>
#include <string>

#include "pages/resource.h"

namespace ovts {
namespace {

constexpr int kThumbRange = 1000;
constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kRefreshMs = 1000;
constexpr int32_t kAbsolutePosition = 1;  // SetPlayPosition mode

// Thumb position (0..1000) of a read location within the filled part; 0 while empty.
int32_t ThumbPosition(int64_t read, int64_t current) {
  return current == 0 ? 0 : static_cast<int32_t>(read * kThumbRange / current);
}

// The byte position a thumb position stands for.
int64_t SeekTarget(int32_t thumb, int64_t current) { return static_cast<int64_t>(thumb) * current / kThumbRange; }

}  // namespace

CTSBufStatPropPage::CTSBufStatPropPage(IUnknown* owner) noexcept
    : CTSPropertyPage(owner, IDD_BUFSTAT, IDS_TITLE_STATUS) {}

CUnknown* WINAPI CTSBufStatPropPage::CreateInstance(LPUNKNOWN owner, HRESULT* result) {
  return Create<CTSBufStatPropPage>(owner, result);
}

HRESULT CTSBufStatPropPage::OnApplyChanges() { return S_OK; }

INT_PTR CTSBufStatPropPage::OnReceiveMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetUp();
      return 1;
    case WM_DESTROY:
      if (timer_) {
        KillTimer(dialogWindow_, timer_);
        timer_ = 0;
      }
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDC_STAT_FLUSH) {
        if (filter_) filter_->Flush();
      } else if (LOWORD(wParam) == IDC_STAT_PAUSE) {
        TogglePause();
      }
      return 1;
    case WM_TIMER:
      if (timer_ && wParam == timer_) Refresh();
      break;
    case WM_HSCROLL:
      if (reinterpret_cast<HWND>(lParam) != position_.hwnd) break;
      OnScroll(LOWORD(wParam));
      return 0;
  }
  return CBasePropertyPage::OnReceiveMessage(window, message, wParam, lParam);
}

void CTSBufStatPropPage::SetUp() {
  Attach({{&total_, IDC_STAT_TOTAL}, {&current_, IDC_STAT_CURRENT}, {&read_, IDC_STAT_READ},
          {&write_, IDC_STAT_WRITE}, {&recording_, IDC_STAT_RECORDING}, {&position_, IDC_STAT_POSITION},
          {&pause_, IDC_STAT_PAUSE}});
  position_.SetRange(0, kThumbRange, FALSE);
  position_.SendMessage(TBM_SETTICFREQ, 10, 0);
  Refresh();
  tracking_ = false;
  timer_ = SetTimer(dialogWindow_, kRefreshTimer, kRefreshMs, nullptr);
}

void CTSBufStatPropPage::Refresh() {
  if (!filter_) return;
  int64_t total = 0, current = 0, read = 0, write = 0;
  filter_->GetTotalBufferSize(&total);
  total_.SetWindowInt64(total);
  filter_->GetCurrentBufferSize(&current);
  current_.SetWindowInt64(current);
  filter_->GetReadLocation(&read);
  read_.SetWindowInt64(read);
  filter_->GetWriteLocation(&write);
  write_.SetWindowInt64(write);
  if (!tracking_) position_.SendMessage(TBM_SETPOS, TRUE, ThumbPosition(read, current));
  ShowRecording();
}

void CTSBufStatPropPage::ShowRecording() {
  ComPtr<IKsPropertySet> properties;
  if (FAILED(filter_.As(&properties))) return;
  auto text = [&](unsigned long id) {
    TSRecordingText value{};
    DWORD returned = 0;
    if (FAILED(properties->Get(TSPROPSETID_Recording, id, nullptr, 0, &value, sizeof value, &returned)))
      value.text[0] = L'\0';
    value.text[std::size(value.text) - 1] = L'\0';
    return std::wstring(value.text);
  };
  const std::wstring problem = text(TSPROPERTY_RECORDING_PROBLEM);
  const std::wstring file = text(TSPROPERTY_RECORDING_FILE);
  const std::wstring line = !problem.empty() ? problem : file.empty() ? std::wstring() : L"Buffer file: " + file;
  SetWindowTextW(recording_.hwnd, line.c_str());
}

void CTSBufStatPropPage::OnScroll(int code) {
  if (!filter_ || code > TB_ENDTRACK) return;
  tracking_ = code == TB_THUMBTRACK;
  const bool seek = code == TB_PAGEUP || code == TB_PAGEDOWN || code == TB_THUMBPOSITION;
  if (!seek) return;
  int64_t current = 0;
  filter_->GetCurrentBufferSize(&current);
  const auto thumb = static_cast<int32_t>(position_.SendMessage(TBM_GETPOS, 0, 0));
  filter_->SetPlayPosition(SeekTarget(thumb, current), kAbsolutePosition);
}

void CTSBufStatPropPage::TogglePause() {
  paused_ = !paused_;
  pause_.SetWindowText(paused_ ? "Resume" : "Pause");
  if (!filter_) return;
  if (paused_) {
    filter_->Pause();
  } else {
    filter_->Resume();
  }
}

}  // namespace ovts
