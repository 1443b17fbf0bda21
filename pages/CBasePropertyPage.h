// The IPropertyPage contract on a reference-counted, aggregatable object: the frame's calls (site,
// objects, activate, show, move, apply) become a modeless child dialog from the page's template,
// whose messages the static DialogProc hands, unpacked, to the page's OnReceiveMessage. Setting
// one object connects the page to the filter; clearing the objects disconnects it.
//
// Threads: every call arrives on the thread of the page frame's window, which also owns the
// dialog; no locks. Only the reference count is changed from other threads (atomic, CUnknown).
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <initializer_list>
#include <utility>

#include "framework/CUnknown.h"
#include "framework/ComKit.h"
#include "pages/COVWnd.h"

namespace ovts {

class CBasePropertyPage : public IPropertyPage, public CUnknown {
 public:
  CBasePropertyPage(IUnknown* owner, int dialogId, int titleId) noexcept;
  CBasePropertyPage(const CBasePropertyPage&) = delete;
  CBasePropertyPage& operator=(const CBasePropertyPage&) = delete;

  DECLARE_IUNKNOWN

  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** result) override;
  // The last release drops the site, disconnects the page and destroys a dialog still shown
  // before deleting it.
  ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

  HRESULT STDMETHODCALLTYPE SetPageSite(IPropertyPageSite* site) override;
  HRESULT STDMETHODCALLTYPE Activate(HWND parent, LPCRECT rect, BOOL modal) override;
  HRESULT STDMETHODCALLTYPE Deactivate() override;
  HRESULT STDMETHODCALLTYPE GetPageInfo(PROPPAGEINFO* info) override;
  HRESULT STDMETHODCALLTYPE SetObjects(ULONG count, IUnknown** objects) override;
  HRESULT STDMETHODCALLTYPE Show(UINT command) override;
  HRESULT STDMETHODCALLTYPE Move(LPCRECT rect) override;
  HRESULT STDMETHODCALLTYPE IsPageDirty() override;
  HRESULT STDMETHODCALLTYPE Apply() override;
  HRESULT STDMETHODCALLTYPE Help(LPCOLESTR helpDir) override;
  HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG* message) override;

  // Page hooks; every page overrides all six.
  virtual HRESULT OnConnect(IUnknown* object) = 0;
  virtual HRESULT OnDisconnect() = 0;
  virtual HRESULT OnActivate() = 0;
  virtual HRESULT OnDeactivate() = 0;
  virtual HRESULT OnApplyChanges() = 0;
  // The dialog's messages from WM_INITDIALOG on; the result is the dialog procedure's.
  virtual INT_PTR OnReceiveMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  // The module whose resources hold the page templates and titles.
  static HINSTANCE ResourceModule() noexcept;

 protected:
  ~CBasePropertyPage() override = default;

  // Dirty, and the site is told so.
  void MarkDirty();
  // Clean after set-up or apply; the site is still told, so the frame asks IsPageDirty again.
  void MarkClean();
  // Points each wrapper at its control in the page's dialog.
  void Attach(std::initializer_list<std::pair<COVWnd*, int>> controls) const;

  ComPtr<IPropertyPageSite> site_;
  HWND pageWindow_ = nullptr;    // the dialog made by Activate; null while inactive
  HWND dialogWindow_ = nullptr;  // the same dialog, as seen by WM_INITDIALOG; kept after destruction
  BOOL dirty_ = FALSE;
  const int titleId_;
  const int dialogId_;
  BOOL objectSet_ = FALSE;  // SetObjects gave one object
};

}  // namespace ovts
