#include "pages/CBasePropertyPage.h"

#include <commctrl.h>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace ovts {
namespace {

constexpr SIZE kDefaultPageSize{340, 150};

// The trackbar and up-down classes the templates name, registered once per process.
void RegisterControlClasses() {
  static const bool registered = [] {
    INITCOMMONCONTROLSEX classes{sizeof(classes), ICC_STANDARD_CLASSES | ICC_BAR_CLASSES | ICC_UPDOWN_CLASS};
    return InitCommonControlsEx(&classes) != FALSE;
  }();
  (void)registered;
}

}  // namespace

CBasePropertyPage::CBasePropertyPage(IUnknown* owner, int dialogId, int titleId) noexcept
    : CUnknown(owner), titleId_(titleId), dialogId_(dialogId) {}

HINSTANCE CBasePropertyPage::ResourceModule() noexcept { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

HRESULT CBasePropertyPage::NonDelegatingQueryInterface(REFIID iid, void** result) {
  RETURN_HR_IF_NULL(E_POINTER, result);
  if (IsEqualIID(iid, IID_IPropertyPage)) return GetInterface(static_cast<IPropertyPage*>(this), result);
  return CUnknown::NonDelegatingQueryInterface(iid, result);
}

ULONG CBasePropertyPage::NonDelegatingRelease() {
  const LONG count = DropReference();
  if (count == 0) {
    SetPageSite(nullptr);
    SetObjects(0, nullptr);
    // A frame that lets go of an active page must not leave its dialog calling into freed memory.
    if (pageWindow_) Deactivate();
    delete this;
  }
  return static_cast<ULONG>(count);
}

HRESULT CBasePropertyPage::SetPageSite(IPropertyPageSite* site) {
  RETURN_HR_IF(E_UNEXPECTED, (site != nullptr) == (site_ != nullptr));
  site_ = site;
  return S_OK;
}

HRESULT CBasePropertyPage::Activate(HWND parent, LPCRECT rect, BOOL) {
  RETURN_HR_IF_NULL(E_POINTER, rect);
  RETURN_HR_IF(E_UNEXPECTED, !objectSet_ || pageWindow_);
  RegisterControlClasses();
  HWND window = CreateDialogParamW(ResourceModule(), MAKEINTRESOURCEW(dialogId_), parent, DialogProc,
                                   reinterpret_cast<LPARAM>(this));
  RETURN_HR_IF_NULL(E_OUTOFMEMORY, window);
  pageWindow_ = window;
  OnActivate();
  Move(rect);
  return Show(SW_SHOWNORMAL);
}

HRESULT CBasePropertyPage::Deactivate() {
  RETURN_HR_IF_NULL(E_UNEXPECTED, pageWindow_);
  HWND window = pageWindow_;
  // With the field null, OnReceiveMessage leaves this style change alone.
  pageWindow_ = nullptr;
  SetWindowLongW(window, GWL_EXSTYLE, GetWindowLongW(window, GWL_EXSTYLE) & ~WS_EX_CONTROLPARENT);
  pageWindow_ = window;
  OnDeactivate();
  DestroyWindow(window);
  pageWindow_ = nullptr;
  return S_OK;
}

HRESULT CBasePropertyPage::GetPageInfo(PROPPAGEINFO* info) {
  RETURN_HR_IF_NULL(E_POINTER, info);
  WCHAR title[256] = {};
  LoadStringW(ResourceModule(), titleId_, title, 256);
  LPOLESTR taskTitle = nullptr;
  RETURN_IF_FAILED(TaskWideCopy(title, &taskTitle));

  info->cb = sizeof(PROPPAGEINFO);
  info->pszTitle = taskTitle;
  info->size = kDefaultPageSize;
  info->pszDocString = nullptr;
  info->pszHelpFile = nullptr;
  info->dwHelpContext = 0;

  // The template's size in pixels depends on the dialog font, so measure a hidden instance.
  RegisterControlClasses();
  HWND measure = CreateDialogParamW(ResourceModule(), MAKEINTRESOURCEW(dialogId_), GetDesktopWindow(), DialogProc, 0);
  if (measure) {
    RECT rect{};
    GetWindowRect(measure, &rect);
    info->size = SIZE{rect.right - rect.left, rect.bottom - rect.top};
    DestroyWindow(measure);
  }
  return S_OK;
}

HRESULT CBasePropertyPage::SetObjects(ULONG count, IUnknown** objects) {
  if (count == 1) {
    RETURN_HR_IF(E_POINTER, !objects || !objects[0]);
    objectSet_ = TRUE;
    return OnConnect(objects[0]);
  }
  RETURN_HR_IF(E_UNEXPECTED, count != 0);
  objectSet_ = FALSE;
  return OnDisconnect();
}

HRESULT CBasePropertyPage::Show(UINT command) {
  RETURN_HR_IF_NULL(E_UNEXPECTED, pageWindow_);
  RETURN_HR_IF(E_INVALIDARG, command != SW_HIDE && command != SW_SHOWNORMAL && command != SW_SHOW);
  ShowWindow(pageWindow_, static_cast<int>(command));
  InvalidateRect(pageWindow_, nullptr, TRUE);
  return S_OK;
}

HRESULT CBasePropertyPage::Move(LPCRECT rect) {
  RETURN_HR_IF_NULL(E_POINTER, rect);
  RETURN_HR_IF_NULL(E_UNEXPECTED, pageWindow_);
  MoveWindow(pageWindow_, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, TRUE);
  return S_OK;
}

HRESULT CBasePropertyPage::IsPageDirty() { return dirty_ ? S_OK : S_FALSE; }

HRESULT CBasePropertyPage::Apply() {
  RETURN_HR_IF(E_UNEXPECTED, !objectSet_ || !site_);
  if (!dirty_) return S_OK;
  const HRESULT hr = OnApplyChanges();
  if (SUCCEEDED(hr)) dirty_ = FALSE;
  return hr;
}

HRESULT CBasePropertyPage::Help(LPCOLESTR) { return E_NOTIMPL; }

HRESULT CBasePropertyPage::TranslateAccelerator(MSG*) { return E_NOTIMPL; }

INT_PTR CBasePropertyPage::OnReceiveMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!pageWindow_) return 0;
  if (message == WM_STYLECHANGING && static_cast<int>(wParam) == GWL_EXSTYLE) {
    // Keeps Tab moving between the page's own controls inside the frame.
    reinterpret_cast<STYLESTRUCT*>(lParam)->styleNew |= WS_EX_CONTROLPARENT;
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

INT_PTR CALLBACK CBasePropertyPage::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(window, GWLP_USERDATA, lParam);
    auto* page = reinterpret_cast<CBasePropertyPage*>(lParam);
    if (!page) return TRUE;  // GetPageInfo measuring the template
    page->dialogWindow_ = window;
  }
  auto* page = reinterpret_cast<CBasePropertyPage*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!page) return TRUE;
  return page->OnReceiveMessage(window, message, wParam, lParam);
}

void CBasePropertyPage::Attach(std::initializer_list<std::pair<COVWnd*, int>> controls) const {
  for (const auto& [wrapper, id] : controls) wrapper->hwnd = GetDlgItem(dialogWindow_, id);
}

void CBasePropertyPage::MarkDirty() {
  dirty_ = TRUE;
  if (site_) site_->OnStatusChange(PROPPAGESTATUS_DIRTY);
}

void CBasePropertyPage::MarkClean() {
  dirty_ = FALSE;
  if (site_) site_->OnStatusChange(PROPPAGESTATUS_DIRTY);
}

}  // namespace ovts
