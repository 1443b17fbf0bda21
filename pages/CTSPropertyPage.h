// What the four pages share on top of the page frame: the one filter interface a page holds
// from the setting of its object to the clearing of the objects, and the class factory's
// creation function. Called on the page frame's window thread, like the frame.
#pragma once

#include <new>

#include "pages/CBasePropertyPage.h"

namespace ovts {

template <class Interface>
class CTSPropertyPage : public CBasePropertyPage {
 public:
  // E_NOINTERFACE when the object lacks the page's interface.
  HRESULT OnConnect(IUnknown* object) override {
    return SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(&filter_))) ? S_OK : E_NOINTERFACE;
  }
  HRESULT OnDisconnect() override {
    filter_.Reset();
    return S_OK;
  }
  HRESULT OnActivate() override { return S_OK; }
  HRESULT OnDeactivate() override { return S_OK; }

 protected:
  using CBasePropertyPage::CBasePropertyPage;

  // A new page's CUnknown part, or null with E_OUTOFMEMORY in result.
  template <class Page>
  static CUnknown* Create(LPUNKNOWN owner, HRESULT* result) {
    auto* page = new (std::nothrow) Page(owner);
    if (!page) *result = E_OUTOFMEMORY;
    return page;
  }

  ComPtr<Interface> filter_;  // null while disconnected
};

}  // namespace ovts
