#include "pages/COVWnd.h"

#include <commctrl.h>

#include <charconv>
#include <cstdlib>

namespace ovts {
namespace {

template <typename Int>
COVStringT FormatDecimal(Int value) {
  char text[24];
  auto end = std::to_chars(text, text + sizeof(text) - 1, value).ptr;
  *end = '\0';
  return COVStringT(text);
}

// Reads `length` characters through `read(buffer, capacity)` into a new string.
template <typename Read>
COVStringT ReadText(LRESULT length, Read read) {
  COVStringT text;
  if (length < 1 || FAILED(text.Reserve(static_cast<size_t>(length) + 1))) return text;
  read(text.data(), static_cast<int>(length) + 1);
  text.SyncLength();
  return text;
}

}  // namespace

COVWnd::~COVWnd() = default;

BOOL COVWnd::SetWindowText(const char* text) { return IsLive() ? ::SetWindowTextA(hwnd, text) : FALSE; }

BOOL COVWnd::SetWindowText(const COVStringT& text) { return COVWnd::SetWindowText(text.c_str()); }

COVStringT COVWnd::GetWindowText() {
  if (!IsLive()) return COVStringT();
  return ReadText(::GetWindowTextLengthA(hwnd), [this](char* buffer, int capacity) {
    ::GetWindowTextA(hwnd, buffer, capacity);
  });
}

BOOL COVWnd::SetText(const COVStringT& text) { return SetWindowText(text); }

COVStringT COVWnd::GetText() { return GetWindowText(); }

BOOL COVWnd::EnableWindow(int flag) {
  return IsLive() ? ::EnableWindow(hwnd, (flag & 0xFF) == 1) : FALSE;
}

BOOL COVWnd::ShowWindow(int command) { return ::ShowWindow(hwnd, command); }

BOOL COVWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return ::PostMessageA(hwnd, message, wParam, lParam);
}

LRESULT COVWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return ::SendMessageA(hwnd, message, wParam, lParam);
}

BOOL COVWnd::ScreenToClient(RECT* rect) {
  auto* corners = reinterpret_cast<POINT*>(rect);
  return ::ScreenToClient(hwnd, &corners[0]) && ::ScreenToClient(hwnd, &corners[1]);
}

BOOL COVWnd::ScreenToClient(POINT* point) { return ::ScreenToClient(hwnd, point); }

BOOL COVWnd::GetClientRect(RECT* rect) { return ::GetClientRect(hwnd, rect); }

BOOL COVWnd::GetRect(RECT* rect) { return GetWindowRect(rect); }

BOOL COVWnd::GetWindowRect(RECT* rect) { return ::GetWindowRect(hwnd, rect); }

BOOL COVWnd::MoveWindow(int x, int y, int width, int height, BOOL repaint) {
  return ::MoveWindow(hwnd, x, y, width, height, repaint);
}

BOOL COVWnd::MoveWindow(const RECT& rect, BOOL repaint) {
  return MoveWindow(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, repaint);
}

BOOL COVWnd::SetWindowPos(HWND insertAfter, int x, int y, int width, int height, UINT flags) {
  return ::SetWindowPos(hwnd, insertAfter, x, y, width, height, flags);
}

HWND COVWnd::SetFocus() { return IsLive() ? ::SetFocus(hwnd) : nullptr; }

LRESULT COVWnd::DefaultHook() { return 0; }

BOOL COVWnd::SetWindowInt(int32_t value) { return SetWindowText(FormatDecimal(value)); }

int32_t COVWnd::GetWindowInt() {
  return static_cast<int32_t>(std::strtol(GetWindowText().c_str(), nullptr, 10));
}

COVButtonCtrl::~COVButtonCtrl() = default;

int COVButtonCtrl::GetCheck() {
  return IsLive() ? static_cast<int>(::SendMessageA(hwnd, BM_GETCHECK, 0, 0)) : 0;
}

void COVButtonCtrl::SetCheck(int state) {
  if (IsLive()) SendMessage(BM_SETCHECK, static_cast<WPARAM>(state), 0);
}

COVSliderCtrl::~COVSliderCtrl() = default;

void COVSliderCtrl::GetRange(int* minimum, int* maximum) {
  *minimum = static_cast<int>(::SendMessageA(hwnd, TBM_GETRANGEMIN, 0, 0));
  *maximum = static_cast<int>(::SendMessageA(hwnd, TBM_GETRANGEMAX, 0, 0));
}

void COVSliderCtrl::SetRange(int minimum, int maximum, BOOL redraw) {
  ::SendMessageA(hwnd, TBM_SETRANGEMIN, static_cast<WPARAM>(redraw), minimum);
  ::SendMessageA(hwnd, TBM_SETRANGEMAX, static_cast<WPARAM>(redraw), maximum);
}

COVStaticTextCtrl::~COVStaticTextCtrl() = default;

BOOL COVStaticTextCtrl::SetWindowInt64(int64_t value) { return SetWindowText(FormatDecimal(value)); }

COVEditCtrl::~COVEditCtrl() = default;

COVSpinCtrl::~COVSpinCtrl() = default;

COVComboBox::~COVComboBox() = default;

int COVComboBox::AddString(const char* text, uint32_t itemData) {
  if (!hwnd) return CB_ERR;
  int index = static_cast<int>(SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
  if (index != CB_ERR) SendMessage(CB_SETITEMDATA, static_cast<WPARAM>(index), static_cast<LPARAM>(itemData));
  return index;
}

int COVComboBox::GetCurSel() { return hwnd ? static_cast<int>(SendMessage(CB_GETCURSEL, 0, 0)) : CB_ERR; }

int COVComboBox::SetCurSel(int index) {
  return hwnd ? static_cast<int>(SendMessage(CB_SETCURSEL, static_cast<WPARAM>(index), 0)) : index;
}

COVStringT COVComboBox::GetLBText(int index) {
  if (!hwnd) return COVStringT();
  return ReadText(SendMessage(CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0), [this, index](char* buffer, int) {
    SendMessage(CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer));
  });
}

// With nothing selected the index is CB_ERR, whose text length is CB_ERR too: an empty string.
COVStringT COVComboBox::GetSelectedText() { return GetLBText(GetCurSel()); }

int32_t COVComboBox::GetItemData(int index) {
  return hwnd ? static_cast<int32_t>(SendMessage(CB_GETITEMDATA, static_cast<WPARAM>(index), 0)) : -1;
}

int COVComboBox::SelectString(const char* prefix) {
  if (!hwnd) return CB_ERR;
  return static_cast<int>(SendMessage(CB_SELECTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(prefix)));
}

}  // namespace ovts
