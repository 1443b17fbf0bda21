// Typed wrappers over one dialog control each. A page embeds them by value and points them at
// its controls when its dialog is initialised; they never create or destroy a window. Called only
// on the thread that owns the page's dialog.
//
// The text operations are ANSI. Under UNICODE the platform's SetWindowText, GetWindowText,
// PostMessage and SendMessage macros rename these members consistently wherever this header is
// seen; their bodies call the A functions explicitly.
#pragma once

#include <windows.h>

#include <cstdint>

#include "util/COVStringT.h"

namespace ovts {

class COVWnd {
 public:
  COVWnd() = default;
  virtual ~COVWnd();
  COVWnd(const COVWnd&) = delete;
  COVWnd& operator=(const COVWnd&) = delete;

  // The operations below keep this order: pages and hosts rely on the table layout.
  // Text: 0 / empty when the handle is not a live window.
  virtual BOOL SetWindowText(const char* text);
  virtual BOOL SetWindowText(const COVStringT& text);
  virtual COVStringT GetWindowText();
  virtual BOOL SetText(const COVStringT& text);
  virtual COVStringT GetText();
  // Enables when the flag's low byte is exactly 1, disables otherwise.
  virtual BOOL EnableWindow(int flag);
  virtual BOOL ShowWindow(int command);
  virtual BOOL PostMessage(UINT message, WPARAM wParam, LPARAM lParam);
  virtual LRESULT SendMessage(UINT message, WPARAM wParam, LPARAM lParam);
  virtual BOOL ScreenToClient(RECT* rect);
  virtual BOOL ScreenToClient(POINT* point);
  virtual BOOL GetClientRect(RECT* rect);
  virtual BOOL GetRect(RECT* rect);
  virtual BOOL GetWindowRect(RECT* rect);
  virtual BOOL MoveWindow(int x, int y, int width, int height, BOOL repaint);
  virtual BOOL MoveWindow(const RECT& rect, BOOL repaint);
  virtual BOOL SetWindowPos(HWND insertAfter, int x, int y, int width, int height, UINT flags);
  // The previously focused window, or null when the handle is not a live window.
  virtual HWND SetFocus();
  virtual LRESULT DefaultHook();

  // Base-10 text, a leading minus for negatives.
  BOOL SetWindowInt(int32_t value);
  // Leading blanks and a sign allowed, stops at the first non-digit, 0 when nothing converts.
  int32_t GetWindowInt();

  // The control; written directly by the owning page from its dialog-item lookup.
  HWND hwnd = nullptr;

 protected:
  bool IsLive() const { return hwnd && ::IsWindow(hwnd); }
};

// Push button, check box or radio button.
class COVButtonCtrl : public COVWnd {
 public:
  ~COVButtonCtrl() override;
  // BST_* state; 0 when the handle is not a live window.
  int GetCheck();
  void SetCheck(int state);
};

// Trackbar. Messages go straight to the stored handle.
class COVSliderCtrl : public COVWnd {
 public:
  ~COVSliderCtrl() override;
  void GetRange(int* minimum, int* maximum);
  void SetRange(int minimum, int maximum, BOOL redraw);
};

class COVStaticTextCtrl : public COVWnd {
 public:
  ~COVStaticTextCtrl() override;
  BOOL SetWindowInt64(int64_t value);
};

class COVEditCtrl : public COVWnd {
 public:
  ~COVEditCtrl() override;
};

// Up-down control; pages set its range and position through SendMessage.
class COVSpinCtrl : public COVWnd {
 public:
  ~COVSpinCtrl() override;
};

// Combo box. With a null handle nothing is sent and each operation returns its fallback.
class COVComboBox : public COVWnd {
 public:
  ~COVComboBox() override;
  // The new item's index (the list may be sorted), -1 on failure.
  int AddString(const char* text, uint32_t itemData);
  int GetCurSel();
  int SetCurSel(int index);
  COVStringT GetLBText(int index);
  COVStringT GetSelectedText();
  int32_t GetItemData(int index);
  // Selects the first item beginning with the prefix (case ignored); its index or -1.
  int SelectString(const char* prefix);
};

}  // namespace ovts
