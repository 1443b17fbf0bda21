#include "tools/tshift/CTSPropertyFrame.h"

#include <commctrl.h>
#include <ocidl.h>
#include <prsht.h>

#include "tools/tshift/COVPropertySheet.h"

namespace ovts::tshift {
namespace {

constexpr DWORD kPollMs = 50;

BOOL CALLBACK FindShownWindow(HWND window, LPARAM found) {
  if (!IsWindowVisible(window) || GetWindow(window, GW_OWNER)) return TRUE;
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

}  // namespace

HRESULT CTSPropertyFrame::Open(IUnknown* object, const wchar_t* caption) {
  RETURN_HR_IF_NULL(E_POINTER, object);
  RETURN_HR_IF(E_UNEXPECTED, thread_ && WaitForSingleObject(thread_.get(), 0) == WAIT_TIMEOUT);
  ComPtr<ISpecifyPropertyPages> specify;
  RETURN_IF_FAILED(object->QueryInterface(IID_PPV_ARGS(&specify)));
  CAUUID pages{};
  RETURN_IF_FAILED(specify->GetPages(&pages));
  TaskMem<GUID> pageList(pages.pElems);
  RETURN_HR_IF(E_NOINTERFACE, pages.cElems == 0);

  object_ = object;
  caption_ = caption ? caption : L"";
  pages_ = pages;
  result_ = S_OK;
  thread_.reset(CreateThread(nullptr, 0, FrameThread, this, 0, &threadId_));
  if (!thread_) {
    pages_ = {};
    object_.Reset();
    return HRESULT_FROM_WIN32(GetLastError());
  }
  pageList.release();  // the frame thread frees it
  return S_OK;
}

DWORD WINAPI CTSPropertyFrame::FrameThread(void* self) {
  auto* frame = static_cast<CTSPropertyFrame*>(self);
  HRESULT hr = OleInitialize(nullptr);
  if (SUCCEEDED(hr)) {
    hr = COVPropertySheet::Run(frame->caption_.c_str(), frame->object_.Get(), frame->pages_.cElems, frame->pages_.pElems,
                               GetUserDefaultLCID());
    OleUninitialize();
  }
  CoTaskMemFree(frame->pages_.pElems);
  frame->pages_ = {};
  frame->result_ = hr;
  return 0;
}

HWND CTSPropertyFrame::Window() const {
  HWND found = nullptr;
  if (threadId_) EnumThreadWindows(threadId_, FindShownWindow, reinterpret_cast<LPARAM>(&found));
  return found;
}

HWND CTSPropertyFrame::WaitForWindow(DWORD limitMs) const {
  if (!thread_) return nullptr;
  const ULONGLONG end = GetTickCount64() + limitMs;
  // The frame thread gives no sign when its window appears.
  for (;;) {
    if (HWND window = Window()) return window;
    if (GetTickCount64() >= end || WaitForSingleObject(thread_.get(), kPollMs) != WAIT_TIMEOUT) return nullptr;
  }
}

HRESULT CTSPropertyFrame::ShowPage(int index, std::wstring* title) const {
  HWND window = Window();
  RETURN_HR_IF_NULL(E_UNEXPECTED, window);
  HWND tabs = reinterpret_cast<HWND>(SendMessageW(window, PSM_GETTABCONTROL, 0, 0));
  RETURN_HR_IF(E_INVALIDARG, index < 0 || !tabs || index >= TabCtrl_GetItemCount(tabs));
  RETURN_HR_IF(E_FAIL, !SendMessageW(window, PSM_SETCURSEL, index, 0));
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  if (title) {
    WCHAR text[128] = {};
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = text;
    item.cchTextMax = 128;
    SendMessageW(tabs, TCM_GETITEMW, index, reinterpret_cast<LPARAM>(&item));
    *title = text;
  }
  return S_OK;
}

void CTSPropertyFrame::Close() {
  if (!thread_) return;
  // The frame may not be shown yet: ask again until its thread ends.
  while (WaitForSingleObject(thread_.get(), 0) == WAIT_TIMEOUT) {
    if (HWND window = Window()) PostMessageW(window, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    WaitForSingleObject(thread_.get(), kPollMs);
  }
  thread_.reset();
  threadId_ = 0;
  object_.Reset();
}

}  // namespace ovts::tshift
