// A page dialog created from its template in a visible top-level frame on the calling thread,
// for tests that need real controls under the X display. One thread per test program uses it.
#pragma once

#include <windows.h>

#include <commctrl.h>

namespace ovts::test {

// The frame is one visible top-level window per test program, never hidden: Wine waits two
// seconds for the X server on every hide of a mapped top-level window. Dialogs come and go
// inside it as child windows.
class DialogHost {
 public:
  explicit DialogHost(int templateId) {
    HWND frame = Frame();
    dialog_ = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(templateId), frame, Procedure, 0);
    RECT size{};
    GetWindowRect(dialog_, &size);
    SetWindowPos(frame, HWND_TOP, 0, 0, size.right - size.left, size.bottom - size.top, SWP_SHOWWINDOW);
    ShowWindow(dialog_, SW_SHOW);
    UpdateWindow(frame);
    Pump();
  }
  ~DialogHost() {
    if (dialog_) DestroyWindow(dialog_);
  }
  DialogHost(const DialogHost&) = delete;
  DialogHost& operator=(const DialogHost&) = delete;

  HWND dialog() const { return dialog_; }
  HWND Item(int id) const { return GetDlgItem(dialog_, id); }

  // Dispatches whatever is queued for this thread's windows.
  static void Pump() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }

  // The visible control with the id among a window's descendants: in a property frame, the
  // current page's (or the frame's own button). Null when none is shown.
  static HWND VisibleControl(HWND window, int id) {
    struct Search {
      int id;
      HWND found;
    } search{id, nullptr};
    EnumChildWindows(
        window,
        [](HWND child, LPARAM param) {
          auto* s = reinterpret_cast<Search*>(param);
          if (GetDlgCtrlID(child) != s->id || !IsWindowVisible(child)) return TRUE;
          s->found = child;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
  }

  // The program's one frame window; page tests activate their pages inside it.
  static HWND Frame() {
    static HWND frame = [] {
      INITCOMMONCONTROLSEX classes{sizeof(classes), ICC_STANDARD_CLASSES | ICC_BAR_CLASSES | ICC_UPDOWN_CLASS};
      InitCommonControlsEx(&classes);
      WNDCLASSA frameClass{};
      frameClass.lpfnWndProc = DefWindowProcA;
      frameClass.hInstance = GetModuleHandleA(nullptr);
      frameClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
      frameClass.lpszClassName = "OvtsTestFrame";
      RegisterClassA(&frameClass);
      return CreateWindowExA(0, "OvtsTestFrame", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                             GetModuleHandleA(nullptr), nullptr);
    }();
    return frame;
  }

 private:
  static INT_PTR CALLBACK Procedure(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

  HWND dialog_ = nullptr;
};

}  // namespace ovts::test
