#include "PageTestSupport.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace ovts::test {
namespace {

// Each page test program runs its frame, pages and graph in one single-threaded apartment.
class StaApartment : public testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK); }
  void TearDown() override { CoUninitialize(); }
};
testing::Environment* const kApartment = testing::AddGlobalTestEnvironment(new StaApartment);

}  // namespace

TimeShiftRig::TimeShiftRig(const std::string& name)
    : base_("Software\\Orvanta\\Tests\\pages-" + name + "-" + std::to_string(GetCurrentProcessId())) {
  Build(name);
}

void TimeShiftRig::Build(const std::string& name) {
  ComPtr<IBaseFilter> filter;
  CTestSource* source = nullptr;
  CTestSink* sink = nullptr;
  TestSourceConfig sourceConfig;
  sourceConfig.bytesPerSample = 32768;
  sourceConfig.bytesPerSecond = 2000000;
  ASSERT_EQ(CreateFilter(IID_PPV_ARGS(&filter)), S_OK);
  ASSERT_EQ(filter.As(&control_), S_OK);
  ASSERT_EQ(CTestSource::Create(sourceConfig, &source), S_OK);
  source_ = source;  // the ComPtr adds its own reference (mingw's Attach would add one too)
  source->Release();
  ASSERT_EQ(CTestSink::Create({}, &sink), S_OK);
  sink_ = sink;
  sink->Release();

  control_->SetRegistryBase(base_.c_str());
  // One folder per process: ctest runs the instances of a parameterised test side by side, and
  // a delete-on-close buffer file cannot be opened twice.
  folder_ = MakeTestDir("pages-" + name + "-" + std::to_string(GetCurrentProcessId()));
  TSBufferConfig buffer{port::NarrowToBstr(folder_.c_str()), SysAllocString(L"buffer.bin"), 16384, 128, 0x80000,
                        DeleteOnClose};
  ASSERT_EQ(control_->SetBufferSettings(&buffer), S_OK);
  // Small caches: playback starts a fraction of a second after the stream.
  TSCacheConfig caches{1024, 256, 0, 256, 64, 75};
  ASSERT_EQ(control_->SetCacheSettings(&caches), S_OK);

  ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph_)), S_OK);
  ASSERT_EQ(graph_.As(&mediaControl_), S_OK);
  ComPtr<IPin> in, out;
  ASSERT_EQ(graph_->AddFilter(source_.Get(), L"Source"), S_OK);
  ASSERT_EQ(graph_->AddFilter(filter.Get(), OVTS_FILTER_NAME), S_OK);
  ASSERT_EQ(graph_->AddFilter(sink_.Get(), L"Sink"), S_OK);
  ASSERT_EQ(filter->FindPin(L"Stream In", &in), S_OK);
  ASSERT_EQ(filter->FindPin(L"1", &out), S_OK);
  ASSERT_EQ(graph_->ConnectDirect(source_->Output(), in.Get(), nullptr), S_OK);
  ASSERT_EQ(graph_->ConnectDirect(out.Get(), sink_->Input(), nullptr), S_OK);
}

TimeShiftRig::~TimeShiftRig() {
  if (mediaControl_) mediaControl_->Stop();
  // After a Run that failed, Wine's graph manager leaves the filters it had already paused
  // running, and then loops for ever trying to remove them: stop them here.
  if (sink_) sink_->Stop();
  if (source_) source_->Stop();
  RegDeleteTreeA(HKEY_CURRENT_USER, base_.c_str());
}

void TimeShiftRig::Stream() {
  ASSERT_TRUE(SUCCEEDED(mediaControl_->Run()));
  ASSERT_TRUE(sink_->WaitForBytes(1 << 20, 20000)) << "playback from the buffer";
}

int TimeShiftRig::PlayState() const {
  ComPtr<IKsPropertySet> properties;
  DWORD state = 0, returned = 0;
  if (FAILED(control_.As(&properties)) ||
      FAILED(properties->Get(TSPROPSETID_Control, TSPROPERTY_PLAY_STATE, nullptr, 0, &state, sizeof state, &returned)))
    return -1;
  return static_cast<int>(state);
}

int64_t TimeShiftRig::Figure(HRESULT (STDMETHODCALLTYPE IOVTimeShiftFilter::*getter)(int64_t*)) const {
  int64_t value = -1;
  (control_.Get()->*getter)(&value);
  return value;
}

HRESULT TestPageSite::QueryInterface(REFIID iid, void** result) {
  if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IPropertyPageSite)) {
    *result = nullptr;
    return E_NOINTERFACE;
  }
  *result = static_cast<IPropertyPageSite*>(this);
  AddRef();
  return S_OK;
}

HRESULT TestPageSite::OnStatusChange(DWORD flags) {
  lastDirty = flags == PROPPAGESTATUS_DIRTY && page ? page->IsPageDirty() : E_FAIL;
  return S_OK;
}

HRESULT TestPageSite::GetLocaleID(LCID* locale) {
  *locale = LOCALE_USER_DEFAULT;
  return S_OK;
}

HRESULT TestPageSite::GetPageContainer(IUnknown** container) {
  *container = nullptr;
  return E_NOTIMPL;
}

HRESULT TestPageSite::TranslateAccelerator(MSG*) { return E_NOTIMPL; }

ActivePage::ActivePage(const CLSID& page, IUnknown* object) {
  EXPECT_EQ(CreatePage(page, IID_PPV_ARGS(&page_)), S_OK);
  site.page = page_.Get();
  EXPECT_EQ(page_->SetPageSite(&site), S_OK);
  EXPECT_EQ(page_->SetObjects(1, &object), S_OK);
}

ActivePage::~ActivePage() {
  if (window_) page_->Deactivate();
  page_->SetObjects(0, nullptr);
  page_->SetPageSite(nullptr);
}

// The frame shows the page at the size the page reports.
void ActivePage::Activate() {
  PROPPAGEINFO info{};
  ASSERT_EQ(page_->GetPageInfo(&info), S_OK);
  CoTaskMemFree(info.pszTitle);
  HWND frame = DialogHost::Frame();
  SetWindowPos(frame, HWND_TOP, 0, 0, info.size.cx, info.size.cy, SWP_SHOWWINDOW);
  const RECT rect{0, 0, info.size.cx, info.size.cy};
  ASSERT_EQ(page_->Activate(frame, &rect, FALSE), S_OK);
  window_ = GetWindow(frame, GW_CHILD);  // the newest child is on top
  DialogHost::Pump();
}

void ActivePage::Deactivate() {
  EXPECT_EQ(page_->Deactivate(), S_OK);
  window_ = nullptr;
}

void Click(HWND button) { SendMessageW(button, BM_CLICK, 0, 0); }

void Type(HWND edit, const char* text) {
  SendMessageW(edit, EM_SETSEL, 0, -1);
  SendMessageW(edit, WM_CHAR, VK_BACK, 1);
  for (const char* c = text; *c; ++c) SendMessageW(edit, WM_CHAR, static_cast<WPARAM>(*c), 1);
}

void SetText(HWND edit, const char* text) { SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)); }

void PressKey(HWND control, UINT key) {
  SendMessageW(control, WM_KEYDOWN, key, 1);
  SendMessageW(control, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
}

namespace {
POINT ThumbCentre(HWND trackbar) {
  RECT thumb{};
  SendMessageW(trackbar, TBM_GETTHUMBRECT, 0, reinterpret_cast<LPARAM>(&thumb));
  return POINT{(thumb.left + thumb.right) / 2, (thumb.top + thumb.bottom) / 2};
}
}  // namespace

void DragThumb(HWND trackbar, double share) {
  RECT channel{};
  SendMessageW(trackbar, TBM_GETCHANNELRECT, 0, reinterpret_cast<LPARAM>(&channel));
  const POINT from = ThumbCentre(trackbar);
  POINT to{channel.left + static_cast<int>((channel.right - channel.left) * share), from.y};
  SendMessageW(trackbar, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(from.x, from.y));
  SendMessageW(trackbar, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(to.x, to.y));
  // The captured trackbar follows the real pointer too: it rests where the thumb was taken.
  ClientToScreen(trackbar, &to);
  SetCursorPos(to.x, to.y);
}

void DropThumb(HWND trackbar) {
  const POINT at = ThumbCentre(trackbar);
  SendMessageW(trackbar, WM_LBUTTONUP, 0, MAKELPARAM(at.x, at.y));
}

std::string Text(HWND control) {
  char text[256] = {};
  GetWindowTextA(control, text, sizeof text);
  return text;
}

bool Enabled(HWND control) { return IsWindowEnabled(control) != FALSE; }

bool Checked(HWND box) { return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED; }

}  // namespace ovts::test
