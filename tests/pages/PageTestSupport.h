// What the page tests share: the real filter streaming in the platform's graph with settings under
// a key of the test's own, a page site that asks the page what the frame would ask, a page made
// by the module and active in the program's frame, and the messages a person's clicks and keys
// make the controls send. Everything runs on the test's thread but the graph's streaming.
#pragma once

#include <windows.h>
#include <dshow.h>
#include <ocidl.h>

#include <string>

#include "DialogHost.h"
#include "tools/common/TestFilters.h"
#include "framework/ComKit.h"
#include "include/OVTimeShift.h"

namespace ovts::test {

// The module's class object for a class, and its objects made through it.
HRESULT GetClassFactory(const CLSID& clsid, IClassFactory** factory);
HRESULT CreateFilter(REFIID iid, void** result);
HRESULT CreatePage(const CLSID& page, REFIID iid, void** result);
// The module's DllCanUnloadNow: S_OK once none of its objects is alive.
HRESULT ModuleCanUnloadNow();

// test source -> time-shift filter -> test sink. The buffer is a 16 MB file in the test's own
// folder on C:; the settings key (HKCU\<Base>\TShift) goes away with the rig.
class TimeShiftRig {
 public:
  explicit TimeShiftRig(const std::string& name);
  ~TimeShiftRig();
  IUnknown* Object() const { return control_.Get(); }
  IOVTimeShiftFilter* Control() const { return control_.Get(); }
  CTestSink* Sink() const { return sink_.Get(); }
  // The buffer folder, "C:\...\".
  const std::string& Folder() const { return folder_; }
  // Runs until playback from the buffer has reached the sink.
  void Stream();
  // Pauses the graph: the buffer starts (a start the filter refuses fails here).
  HRESULT Pause() { return mediaControl_->Pause(); }
  int PlayState() const;
  int64_t Figure(HRESULT (STDMETHODCALLTYPE IOVTimeShiftFilter::*getter)(int64_t*)) const;

 private:
  void Build(const std::string& name);

  std::string base_;
  std::string folder_;
  ComPtr<IGraphBuilder> graph_;
  ComPtr<IMediaControl> mediaControl_;
  ComPtr<IOVTimeShiftFilter> control_;
  ComPtr<CTestSource> source_;
  ComPtr<CTestSink> sink_;
};

// Answers like the frame: at every status change it asks the page whether it is dirty.
class TestPageSite final : public IPropertyPageSite {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
  HRESULT STDMETHODCALLTYPE OnStatusChange(DWORD flags) override;
  HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* locale) override;
  HRESULT STDMETHODCALLTYPE GetPageContainer(IUnknown** container) override;
  HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG* message) override;

  ULONG References() const { return refs_; }  // the site itself lives on the test's stack

  IPropertyPage* page = nullptr;
  HRESULT lastDirty = E_FAIL;  // IsPageDirty at the last status change

 private:
  ULONG refs_ = 0;
};

// A page with the test's site and one object, active in the program's frame while Activate'd.
class ActivePage {
 public:
  ActivePage(const CLSID& page, IUnknown* object);
  ~ActivePage();
  IPropertyPage* Page() const { return page_.Get(); }
  HWND Item(int id) const { return GetDlgItem(window_, id); }
  void Activate();
  void Deactivate();
  // The page is dirty and told its site so.
  bool Dirty() const { return page_->IsPageDirty() == S_OK && site.lastDirty == S_OK; }

  TestPageSite site;

 private:
  ComPtr<IPropertyPage> page_;
  HWND window_ = nullptr;
};

// What a person's input makes the controls send to the page.
void Click(HWND button);
void Type(HWND edit, const char* text);  // replaces the text key by key
void SetText(HWND edit, const char* text);  // replaces it at once (WM_SETTEXT)
void PressKey(HWND control, UINT key);
// The mouse takes a trackbar's thumb to a share of its channel's length, and lets it go.
void DragThumb(HWND trackbar, double share);
void DropThumb(HWND trackbar);
std::string Text(HWND control);
bool Enabled(HWND control);
bool Checked(HWND box);

// Dispatches messages until done() or the limit; false at the limit.
template <class Done>
bool PumpUntil(DWORD limitMs, Done done) {
  const ULONGLONG end = GetTickCount64() + limitMs;
  for (DialogHost::Pump(); !done(); DialogHost::Pump()) {
    const ULONGLONG now = GetTickCount64();
    if (now >= end) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
  }
  return true;
}

}  // namespace ovts::test
