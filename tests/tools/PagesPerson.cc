// A person at `tshift pages`: finds the property frame another process shows, and works it with
// the mouse and the keyboard through the platform's input queue (SendInput), as real clicks and
// keys arrive. Scenarios:
//   ok      the buffer size to 32 MB (trackbar: Home, then Right 31 times), the input cache to
//           2048 KB and the output cache to 1024 KB (typed), then OK;
//   apply   the buffer size to 16 MB, Apply, then 20 MB and the input cache to 4096 KB, Cancel.
// Exits 0 once the last click is sent, 1 with a line on standard error when a control is missing
// or did not take the input.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "include/OVTimeShift.h"
#include "pages/resource.h"
#include "tests/pages/DialogHost.h"

namespace {

constexpr DWORD kLimitMs = 20000;
constexpr int kApplyButton = 0x3021;  // the property sheet's Apply button

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "pages person: %s\n", what);
  std::exit(1);
}

HWND FindFrame() {
  HWND frame = FindWindowW(nullptr, OVTS_FILTER_NAME);
  if (!frame || !IsWindowVisible(frame)) Fail("no property frame is shown");
  return frame;
}

// The frame belongs to another process: its state is all there is to watch, so a wait polls it
// until the limit.
template <class Done>
void WaitFor(const std::string& what, Done done) {
  const ULONGLONG end = GetTickCount64() + kLimitMs;
  while (!done()) {
    if (GetTickCount64() > end) Fail(("no sign that " + what).c_str());
    Sleep(20);
  }
}

HWND Control(HWND frame, int id) {
  HWND control = nullptr;
  WaitFor("control " + std::to_string(id) + " is shown",
          [&] { return (control = ovts::test::DialogHost::VisibleControl(frame, id)) != nullptr; });
  return control;
}

HWND Focus(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus : nullptr;
}

void Send(INPUT input) {
  if (SendInput(1, &input, sizeof input) != 1) Fail("the input queue refused an event");
}

// A left click at a point of the screen.
void ClickAt(int x, int y) {
  INPUT move{};
  move.type = INPUT_MOUSE;
  move.mi.dx = MulDiv(x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
  move.mi.dy = MulDiv(y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
  move.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  Send(move);
  INPUT press = move;
  press.mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  Send(press);
  press.mi.dwFlags = MOUSEEVENTF_LEFTUP;
  Send(press);
}

// A left click at a point of the control, as a share of its width (its middle in height). Keys
// go where the focus is when they are queued: a click that takes the focus is waited for.
void Click(HWND control, double across = 0.5) {
  RECT rect{};
  GetWindowRect(control, &rect);
  ClickAt(rect.left + static_cast<int>((rect.right - rect.left) * across), (rect.top + rect.bottom) / 2);
}

void ClickToFocus(HWND control, double across = 0.5) {
  Click(control, across);
  WaitFor("a click gave control " + std::to_string(GetDlgCtrlID(control)) + " the focus",
          [control] { return Focus(control) == control; });
}

void Key(WORD key, bool up) {
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = key;
  input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
  Send(input);
}

void Press(WORD key, int times = 1) {
  for (int i = 0; i < times; ++i) {
    Key(key, false);
    Key(key, true);
  }
}

void Chord(WORD modifier, WORD key) {
  Key(modifier, false);
  Press(key);
  Key(modifier, true);
}

// GetWindowText does not ask a control of another process; WM_GETTEXT does, and is carried over.
std::string Text(HWND control) {
  char text[64] = {};
  SendMessageA(control, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  return text;
}

// The trackbar to `megabytes`: a click takes the focus, Home goes to 1 MB, Right adds 1 MB each.
void SetBufferSize(HWND frame, int megabytes) {
  HWND trackbar = Control(frame, IDC_GEN_MAXSIZE);
  ClickToFocus(trackbar, 0.02);
  Press(VK_HOME);
  Press(VK_RIGHT, megabytes - 1);
  WaitFor("the trackbar took the keys to " + std::to_string(megabytes),
          [&] { return SendMessageW(trackbar, TBM_GETPOS, 0, 0) == megabytes; });
}

// Replaces an edit's number as a person does: click into it, select it all, type.
void TypeNumber(HWND frame, int id, const std::string& digits) {
  HWND edit = Control(frame, id);
  ClickToFocus(edit);
  Press(VK_HOME);
  Chord(VK_SHIFT, VK_END);
  for (const char d : digits) Press(static_cast<WORD>(d));
  WaitFor("edit " + std::to_string(id) + " shows " + digits, [&] { return Text(edit) == digits; });
}

// A tab's place on the screen. The tab control answers into its own process's memory, so the
// answer goes to a block lent there.
RECT TabRect(HWND tabs, int index) {
  DWORD pid = 0;
  GetWindowThreadProcessId(tabs, &pid);
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (!process) Fail("cannot reach the frame's process");
  void* lent = VirtualAllocEx(process, nullptr, sizeof(RECT), MEM_COMMIT, PAGE_READWRITE);
  RECT rect{};
  const bool found = lent && SendMessageW(tabs, TCM_GETITEMRECT, index, reinterpret_cast<LPARAM>(lent)) &&
                     ReadProcessMemory(process, lent, &rect, sizeof rect, nullptr);
  if (lent) VirtualFreeEx(process, lent, 0, MEM_RELEASE);
  CloseHandle(process);
  if (!found) Fail("the frame has no such tab");
  MapWindowPoints(tabs, nullptr, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

// To the Cache page by a click on its tab, then manual cache sizes by a click.
void ToCachePage(HWND frame) {
  HWND tabs = FindWindowExW(frame, nullptr, WC_TABCONTROLW, nullptr);
  if (!tabs) Fail("the frame has no tabs");
  const RECT cache = TabRect(tabs, 2);
  ClickAt((cache.left + cache.right) / 2, (cache.top + cache.bottom) / 2);
  ClickToFocus(Control(frame, IDC_CACHE_MANUAL));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string scenario = argc > 1 ? argv[1] : "";
  HWND frame = FindFrame();
  if (scenario == "ok") {
    SetBufferSize(frame, 32);
    ToCachePage(frame);
    TypeNumber(frame, IDC_CACHE_IN_SIZE, "2048");
    TypeNumber(frame, IDC_CACHE_OUT_SIZE, "1024");
    Click(Control(frame, IDOK));
  } else if (scenario == "apply") {
    SetBufferSize(frame, 16);
    HWND apply = Control(frame, kApplyButton);
    WaitFor("Apply is enabled after a change", [apply] { return IsWindowEnabled(apply) != FALSE; });
    Click(apply);
    WaitFor("Apply is disabled once applied", [apply] { return !IsWindowEnabled(apply); });
    SetBufferSize(frame, 20);
    ToCachePage(frame);
    TypeNumber(frame, IDC_CACHE_IN_SIZE, "4096");
    Click(Control(frame, IDCANCEL));
  } else {
    Fail("the scenario is ok or apply");
  }
  return 0;
}
