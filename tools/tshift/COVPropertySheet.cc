#include "tools/tshift/COVPropertySheet.h"

#include <commctrl.h>
#include <ocidl.h>
#include <olectl.h>
#include <prsht.h>

#include <atomic>
#include <memory>
#include <vector>

#include "framework/ComKit.h"

namespace ovts::tshift {
namespace {

// The tabs take the pages' own dialog font, so that a page fits the tab measured for it.
constexpr WORD kFontPoints = 8;
constexpr wchar_t kFontName[] = L"MS Sans Serif";

// An empty dialog template in that font: a tab's holder, or the window that measures the font.
std::vector<WORD> HolderTemplate(DWORD style, short cx, short cy) {
  // DLGTEMPLATE (style, extended style, no items, at 0,0, cx by cy), then no menu, the default
  // class, no title, and the font.
  std::vector<WORD> words = {LOWORD(style), HIWORD(style), 0, 0, 0, 0, 0, static_cast<WORD>(cx), static_cast<WORD>(cy),
                             0, 0, 0, kFontPoints};
  for (const wchar_t* c = kFontName; *c; ++c) words.push_back(static_cast<WORD>(*c));
  words.push_back(0);
  return words;
}

INT_PTR CALLBACK MeasureProc(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

// Dialog units of the font, in pixels: horizontal per 4, vertical per 8.
SIZE DialogUnits() {
  SIZE units{6, 13};
  const std::vector<WORD> words = HolderTemplate(WS_POPUP | DS_SETFONT, 4, 8);
  HWND measure = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<const DLGTEMPLATE*>(words.data()),
                                            nullptr, MeasureProc, 0);
  if (measure) {
    RECT rect{0, 0, 4, 8};
    if (MapDialogRect(measure, &rect)) units = SIZE{rect.right, rect.bottom};
    DestroyWindow(measure);
  }
  return units;
}

// Tells the sheet whether its page is dirty, as the page reports it.
class PageSite final : public IPropertyPageSite {
 public:
  PageSite(IPropertyPage* page, LCID locale) : page_(page), locale_(locale) {}
  PageSite(const PageSite&) = delete;
  PageSite& operator=(const PageSite&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
    RETURN_HR_IF_NULL(E_POINTER, result);
    *result = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IPropertyPageSite)) return E_NOINTERFACE;
    *result = static_cast<IPropertyPageSite*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG refs = --refs_;
    if (refs == 0) delete this;
    return refs;
  }

  HRESULT STDMETHODCALLTYPE OnStatusChange(DWORD flags) override {
    if (!holder_ || !(flags & PROPPAGESTATUS_DIRTY)) return S_OK;
    HWND sheet = GetParent(holder_);
    if (page_->IsPageDirty() == S_OK)
      PropSheet_Changed(sheet, holder_);
    else
      PropSheet_UnChanged(sheet, holder_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* locale) override {
    RETURN_HR_IF_NULL(E_POINTER, locale);
    *locale = locale_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPageContainer(IUnknown** container) override {
    if (container) *container = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG*) override { return E_NOTIMPL; }

  // The tab's holder dialog while the page is active in it.
  void SetHolder(HWND holder) { holder_ = holder; }

 private:
  ~PageSite() = default;

  IPropertyPage* const page_;  // the page holds its site, not the other way round
  const LCID locale_;
  HWND holder_ = nullptr;
  std::atomic<ULONG> refs_{0};
};

// One tab: the page connected to the object through its site while the sheet runs.
class SheetPage {
 public:
  SheetPage(ComPtr<IPropertyPage> page, LCID locale) : page_(std::move(page)), site_(new PageSite(page_.Get(), locale)) {}
  ~SheetPage() {
    if (!connected_) return;
    page_->SetObjects(0, nullptr);
    page_->SetPageSite(nullptr);
  }
  SheetPage(const SheetPage&) = delete;
  SheetPage& operator=(const SheetPage&) = delete;

  // Gives the page its site and object, and makes its tab at the size it reports.
  HRESULT Connect(IUnknown* object, SIZE units) {
    RETURN_IF_FAILED(page_->SetPageSite(site_.Get()));
    connected_ = true;
    RETURN_IF_FAILED(page_->SetObjects(1, &object));
    PROPPAGEINFO info{};
    info.cb = sizeof info;
    RETURN_IF_FAILED(page_->GetPageInfo(&info));
    title_.reset(info.pszTitle);
    CoTaskMemFree(info.pszDocString);
    CoTaskMemFree(info.pszHelpFile);
    const auto dialogUnits = [](LONG pixels, LONG per, LONG unitPixels) {
      return static_cast<short>((pixels * per + unitPixels - 1) / unitPixels);
    };
    template_ = HolderTemplate(WS_CHILD | DS_CONTROL | DS_SETFONT, dialogUnits(info.size.cx, 4, units.cx),
                               dialogUnits(info.size.cy, 8, units.cy));
    return S_OK;
  }

  PROPSHEETPAGEW SheetEntry() {
    PROPSHEETPAGEW entry{};
    entry.dwSize = sizeof entry;
    entry.dwFlags = PSP_DLGINDIRECT | PSP_USETITLE;
    entry.pResource = reinterpret_cast<const DLGTEMPLATE*>(template_.data());
    entry.pszTitle = title_.get();
    entry.pfnDlgProc = HolderProc;
    entry.lParam = reinterpret_cast<LPARAM>(this);
    return entry;
  }

 private:
  static INT_PTR CALLBACK HolderProc(HWND holder, UINT message, WPARAM, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
      auto* page = reinterpret_cast<SheetPage*>(reinterpret_cast<const PROPSHEETPAGEW*>(lParam)->lParam);
      SetWindowLongPtrW(holder, DWLP_USER, reinterpret_cast<LONG_PTR>(page));
      page->Activate(holder);
      return TRUE;
    }
    auto* page = reinterpret_cast<SheetPage*>(GetWindowLongPtrW(holder, DWLP_USER));
    return page ? page->OnMessage(holder, message, lParam) : FALSE;
  }

  void Activate(HWND holder) {
    site_->SetHolder(holder);
    RECT rect{};
    GetClientRect(holder, &rect);
    active_ = SUCCEEDED(page_->Activate(holder, &rect, FALSE));
  }

  INT_PTR OnMessage(HWND holder, UINT message, LPARAM lParam) {
    switch (message) {
      case WM_SIZE:
        if (active_) {
          RECT rect{};
          GetClientRect(holder, &rect);
          page_->Move(&rect);
        }
        return TRUE;
      case WM_NOTIFY: {
        const auto* notice = reinterpret_cast<const PSHNOTIFY*>(lParam);
        LONG_PTR result = 0;
        if (notice->hdr.code == PSN_APPLY) {
          // A page that refuses its values keeps the sheet open on itself.
          const bool refused = page_->IsPageDirty() == S_OK && FAILED(page_->Apply());
          result = refused ? PSNRET_INVALID_NOCHANGEPAGE : PSNRET_NOERROR;
        } else if (notice->hdr.code == PSN_TRANSLATEACCELERATOR) {
          result = page_->TranslateAccelerator(reinterpret_cast<MSG*>(notice->lParam)) == S_OK ? PSNRET_MESSAGEHANDLED
                                                                                             : PSNRET_NOERROR;
        } else {
          return FALSE;
        }
        SetWindowLongPtrW(holder, DWLP_MSGRESULT, result);
        return TRUE;
      }
      case WM_DESTROY:
        if (active_) page_->Deactivate();
        active_ = false;
        site_->SetHolder(nullptr);
        return TRUE;
    }
    return FALSE;
  }

  ComPtr<IPropertyPage> page_;
  ComPtr<PageSite> site_;
  TaskMem<WCHAR> title_;
  std::vector<WORD> template_;  // the tab's holder dialog
  bool connected_ = false;      // the page has its site
  bool active_ = false;         // the page's dialog is in its holder
};

}  // namespace

HRESULT COVPropertySheet::Run(const wchar_t* caption, IUnknown* object, ULONG pageCount, const CLSID* pages,
                              LCID locale) {
  RETURN_HR_IF_NULL(E_POINTER, object);
  RETURN_HR_IF(E_INVALIDARG, pageCount == 0 || !pages);
  const SIZE units = DialogUnits();
  std::vector<std::unique_ptr<SheetPage>> tabs;
  std::vector<PROPSHEETPAGEW> entries;
  for (ULONG i = 0; i < pageCount; ++i) {
    ComPtr<IPropertyPage> page;
    RETURN_IF_FAILED(CoCreateInstance(pages[i], nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&page)));
    tabs.push_back(std::make_unique<SheetPage>(std::move(page), locale));
    RETURN_IF_FAILED(tabs.back()->Connect(object, units));
    entries.push_back(tabs.back()->SheetEntry());
  }
  PROPSHEETHEADERW header{};
  header.dwSize = sizeof header;
  header.dwFlags = PSH_PROPSHEETPAGE | PSH_NOCONTEXTHELP;
  header.pszCaption = caption;
  header.nPages = pageCount;
  header.ppsp = entries.data();
  return PropertySheetW(&header) < 0 ? E_FAIL : S_OK;
}

}  // namespace ovts::tshift
