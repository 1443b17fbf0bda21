// The host's own property frame for an object's property pages: a common-controls
// property sheet with one tab per page, each page held in its tab through a page site. Unlike
// Wine's OleCreatePropertyFrame it calls each dirty page's Apply on OK and on Apply, and none on
// Cancel; the Apply button is enabled while a page says it is dirty.
//
// Threads: Run is modal on the calling thread, which must be in a single-threaded apartment;
// the pages, their sites and the sheet's windows all live on that thread.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace ovts::tshift {

class COVPropertySheet {
 public:
  // Creates the pages by class, connects each to the object, and shows them under the caption
  // until the sheet is closed. S_OK once closed by OK or Cancel; the first failure otherwise.
  static HRESULT Run(const wchar_t* caption, IUnknown* object, ULONG pageCount, const CLSID* pages, LCID locale);
};

}  // namespace ovts::tshift
