// The four pages inside the platform's own property frame (OleCreatePropertyFrame) on the
// running filter: the frame creates them through the module's class objects, shows each under
// its title filled from the filter, and closing it leaves no page and no reference behind.
// (Wine's frame never calls a page's Apply, so applying is left to the page tests.)
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>
#include <olectl.h>
#include <prsht.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PageTestSupport.h"
#include "pages/resource.h"

namespace ovts::test {
namespace {

// In the filter's order of pages.
const CLSID kPages[] = {CLSID_TSGeneralProps, CLSID_TSBufStatPropPage, CLSID_TSCacheProps, CLSID_TSPerfInstProp};

// What the person at the frame saw; filled on the person's thread.
struct Session {
  HANDLE up = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HWND frame = nullptr;
  std::vector<std::wstring> titles;
  std::vector<std::string> shown;  // one figure of each page
};

Session* session;

// Tells the person's thread when the frame's window comes up on this thread.
LRESULT CALLBACK WatchActivation(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE && !session->frame) {
    session->frame = reinterpret_cast<HWND>(wParam);
    SetEvent(session->up);
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// A person at the frame, on a thread of its own while the frame's modal loop runs.
void UseTheFrame() {
  if (WaitForSingleObject(session->up, 20000) != WAIT_OBJECT_0) return;
  HWND frame = session->frame;
  HWND tabs = reinterpret_cast<HWND>(SendMessageW(frame, PSM_GETTABCONTROL, 0, 0));
  for (int i = 0; i < TabCtrl_GetItemCount(tabs); ++i) {
    WCHAR text[64] = {};
    TCITEMW item{TCIF_TEXT, 0, 0, text, 64};
    SendMessageW(tabs, TCM_GETITEMW, i, reinterpret_cast<LPARAM>(&item));
    session->titles.push_back(text);
  }
  const int figures[] = {IDC_GEN_PATH, IDC_STAT_TOTAL, IDC_CACHE_OUT_SIZE, IDC_INST_IN_INTRA};
  for (int page = 0; page < 4; ++page) {
    SendMessageW(frame, PSM_SETCURSEL, page, 0);
    session->shown.push_back(Text(DialogHost::VisibleControl(frame, figures[page])));
  }
  Click(DialogHost::VisibleControl(frame, IDC_INST_IN_ENABLED));  // a dirty page as the frame closes
  SendMessageW(frame, PSM_PRESSBUTTON, PSBTN_OK, 0);
}

// Catches: pages the frame cannot create, show or fill from the filter, and pages or references
// left when the frame closes.
TEST(PropertyFrame, PagesInThePlatformsFrame) {
  // The frame finds the classes here first, so the test needs no registration in the prefix.
  DWORD cookies[4] = {};
  for (int i = 0; i < 4; ++i) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(GetClassFactory(kPages[i], &factory), S_OK);
    ASSERT_EQ(CoRegisterClassObject(kPages[i], factory.Get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookies[i]),
              S_OK);
  }
  auto rig = std::make_unique<TimeShiftRig>("frame-platform");
  rig->Stream();
  const ULONG references = RefCount(rig->Object());
  Session seen;
  session = &seen;
  HHOOK hook = SetWindowsHookExW(WH_CBT, WatchActivation, nullptr, GetCurrentThreadId());
  std::thread person(UseTheFrame);
  IUnknown* object = rig->Object();
  const HRESULT hr = OleCreatePropertyFrame(nullptr, 0, 0, OVTS_FILTER_NAME, 1, &object, 4,
                                            const_cast<CLSID*>(kPages), LOCALE_USER_DEFAULT, 0, nullptr);
  person.join();
  UnhookWindowsHookEx(hook);
  CloseHandle(seen.up);
  for (DWORD cookie : cookies) CoRevokeClassObject(cookie);

  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(seen.titles, (std::vector<std::wstring>{L"General", L"Status", L"Cache ", L"Instrumentation"}));
  // The General page shows the path without its drive, which has a box of its own.
  EXPECT_EQ(seen.shown, (std::vector<std::string>{rig->Folder().substr(2) + "buffer.bin",
                                                  std::to_string(16 << 20), "256", "1500"}));
  EXPECT_EQ(RefCount(rig->Object()), references);
  rig.reset();
  EXPECT_EQ(ModuleCanUnloadNow(), S_OK) << "every page the frame made is gone";
}

}  // namespace
}  // namespace ovts::test
