// The page frame contract every page shares, driven as the platform's property frame drives it,
// with each page connected to the real filter.
#include <gtest/gtest.h>

#include <ostream>

#include "PageTestSupport.h"
#include "pages/resource.h"
#include "platform/Owners.h"

namespace ovts::test {
namespace {

struct PageKind {
  const CLSID* clsid;
  int dialogId;
  const wchar_t* title;
};

const PageKind kPages[] = {
    {&CLSID_TSGeneralProps, IDD_GENERAL, L"General"},
    {&CLSID_TSBufStatPropPage, IDD_BUFSTAT, L"Status"},
    {&CLSID_TSCacheProps, IDD_CACHE, L"Cache "},
    {&CLSID_TSPerfInstProp, IDD_INSTRUMENTATION, L"Instrumentation"},
};

// Names each page's tests by its dialog id.
void PrintTo(const PageKind& kind, std::ostream* out) { *out << kind.dialogId; }

int FrameChildren() {
  int count = 0;
  for (HWND child = GetWindow(DialogHost::Frame(), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) ++count;
  return count;
}

class PageFrame : public testing::TestWithParam<PageKind> {
 protected:
  void SetUp() override { ASSERT_EQ(CreatePage(*GetParam().clsid, IID_PPV_ARGS(&page_)), S_OK); }

  TimeShiftRig rig_{"frame"};
  ComPtr<IPropertyPage> page_;
  TestPageSite site_;
  const RECT rect_{0, 0, 300, 200};
};

// Catches: a title or size taken from the wrong resource, a size not measured from the
// template, and a measuring dialog left behind.
TEST_P(PageFrame, PageInfoIsMeasuredFromTheTemplate) {
  EXPECT_EQ(page_->GetPageInfo(nullptr), E_POINTER);
  PROPPAGEINFO info{};
  const int children = FrameChildren();
  ASSERT_EQ(page_->GetPageInfo(&info), S_OK);
  EXPECT_EQ(FrameChildren(), children);
  EXPECT_EQ(info.cb, sizeof info);
  EXPECT_STREQ(info.pszTitle, GetParam().title);
  EXPECT_EQ(info.pszDocString, nullptr);
  CoTaskMemFree(info.pszTitle);
  DialogHost reference(GetParam().dialogId);
  RECT size{};
  GetWindowRect(reference.dialog(), &size);
  EXPECT_EQ(info.size.cx, size.right - size.left);
  EXPECT_EQ(info.size.cy, size.bottom - size.top);
}

// Catches: a page that activates without an object or twice, shows with any command, or takes
// several objects or a second site; and a window left after deactivation.
TEST_P(PageFrame, CallsOutOfTurnAreRefused) {
  const int children = FrameChildren();
  EXPECT_EQ(page_->Activate(DialogHost::Frame(), &rect_, FALSE), E_UNEXPECTED);
  EXPECT_EQ(FrameChildren(), children);
  EXPECT_EQ(page_->Show(SW_SHOW), E_UNEXPECTED);
  EXPECT_EQ(page_->Move(&rect_), E_UNEXPECTED);
  EXPECT_EQ(page_->Deactivate(), E_UNEXPECTED);
  EXPECT_EQ(page_->SetPageSite(nullptr), E_UNEXPECTED);
  EXPECT_EQ(page_->SetPageSite(&site_), S_OK);
  EXPECT_EQ(page_->SetPageSite(&site_), E_UNEXPECTED);
  IUnknown* objects[] = {rig_.Object(), rig_.Object()};
  IUnknown* none[] = {nullptr};
  EXPECT_EQ(page_->SetObjects(2, objects), E_UNEXPECTED);
  EXPECT_EQ(page_->SetObjects(1, none), E_POINTER);
  EXPECT_EQ(page_->Apply(), E_UNEXPECTED) << "no object";
  ASSERT_EQ(page_->SetObjects(1, objects), S_OK);

  EXPECT_EQ(page_->Activate(DialogHost::Frame(), nullptr, FALSE), E_POINTER);
  ASSERT_EQ(page_->Activate(DialogHost::Frame(), &rect_, FALSE), S_OK);
  EXPECT_EQ(page_->Activate(DialogHost::Frame(), &rect_, FALSE), E_UNEXPECTED);
  EXPECT_EQ(FrameChildren(), children + 1);
  HWND dialog = GetWindow(DialogHost::Frame(), GW_CHILD);
  EXPECT_EQ(page_->Show(2), E_INVALIDARG);
  EXPECT_EQ(page_->Show(SW_HIDE), S_OK);
  EXPECT_FALSE(GetWindowLongW(dialog, GWL_STYLE) & WS_VISIBLE);
  EXPECT_EQ(page_->Show(SW_SHOW), S_OK);
  EXPECT_TRUE(GetWindowLongW(dialog, GWL_STYLE) & WS_VISIBLE);
  const RECT moved{5, 7, 205, 107};
  ASSERT_EQ(page_->Move(&moved), S_OK);
  RECT place{};
  GetWindowRect(dialog, &place);
  MapWindowPoints(nullptr, DialogHost::Frame(), reinterpret_cast<POINT*>(&place), 2);
  EXPECT_EQ(place.left * 1000 + place.top, 5007);
  EXPECT_EQ((place.right - place.left) * 1000 + place.bottom - place.top, 200100);
  // Tab keeps moving between the page's controls, whatever the frame does to the style.
  SetWindowLongW(dialog, GWL_EXSTYLE, 0);
  EXPECT_TRUE(GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_CONTROLPARENT);
  EXPECT_EQ(page_->IsPageDirty(), S_FALSE) << "set-up leaves the page clean";
  EXPECT_EQ(page_->Help(nullptr), E_NOTIMPL);

  EXPECT_EQ(page_->Deactivate(), S_OK);
  EXPECT_FALSE(IsWindow(dialog));
  EXPECT_EQ(page_->Deactivate(), E_UNEXPECTED);
  EXPECT_EQ(page_->SetObjects(0, nullptr), S_OK);
  EXPECT_EQ(page_->SetPageSite(nullptr), S_OK);
  EXPECT_EQ(site_.References(), 0u);
}

// Catches: a last release that leaks the site or the filter, or leaves the dialog (and the
// Status page's timer) running on a deleted page.
TEST_P(PageFrame, LastReleaseOfAnActivePage) {
  rig_.Stream();
  const ULONG filterRefs = RefCount(rig_.Object());
  IUnknown* object = rig_.Object();
  ASSERT_EQ(page_->SetPageSite(&site_), S_OK);
  ASSERT_EQ(page_->SetObjects(1, &object), S_OK);
  ASSERT_EQ(page_->Activate(DialogHost::Frame(), &rect_, FALSE), S_OK);
  HWND dialog = GetWindow(DialogHost::Frame(), GW_CHILD);
  EXPECT_EQ(page_.Detach()->Release(), 0u);
  EXPECT_EQ(site_.References(), 0u);
  EXPECT_EQ(RefCount(rig_.Object()), filterRefs);
  EXPECT_FALSE(IsWindow(dialog));
  static bool ticked;
  ticked = false;
  SetTimer(DialogHost::Frame(), 77, 1500, [](HWND, UINT, UINT_PTR, DWORD) { ticked = true; });
  EXPECT_TRUE(PumpUntil(10000, [] { return ticked; })) << "past a refresh period without a crash";
  KillTimer(DialogHost::Frame(), 77);
}

INSTANTIATE_TEST_SUITE_P(Pages, PageFrame, testing::ValuesIn(kPages),
                         [](const testing::TestParamInfo<PageKind>& info) { return std::to_string(info.param.dialogId); });

// Catches: apply writing from a clean page or without a site, and a dirty flag that survives a
// successful apply or is cleared after the site was told.
TEST(PageApply, NeedsSiteAndChanges) {
  TimeShiftRig rig("apply");
  ActivePage page(CLSID_TSCacheProps, rig.Object());
  page.Activate();
  TSCacheConfig before{}, after{};
  rig.Control()->GetCacheSettings(&before);
  Click(page.Item(IDC_CACHE_AUTO));
  EXPECT_TRUE(page.Dirty());
  ASSERT_EQ(page.Page()->SetPageSite(nullptr), S_OK);
  EXPECT_EQ(page.Page()->Apply(), E_UNEXPECTED);
  ASSERT_EQ(page.Page()->SetPageSite(&page.site), S_OK);
  rig.Control()->GetCacheSettings(&after);
  EXPECT_EQ(after.inputCacheKB, before.inputCacheKB) << "nothing written without a site";
  EXPECT_EQ(page.Page()->Apply(), S_OK);
  rig.Control()->GetCacheSettings(&after);
  EXPECT_EQ(after.inputCacheKB, 2048u) << "the bit rate's derivation arrived";
  EXPECT_EQ(page.Page()->IsPageDirty(), S_FALSE);
  EXPECT_EQ(page.site.lastDirty, S_FALSE);

  // The General page writes all it shows: applied clean, it must not overwrite a newer record.
  ActivePage general(CLSID_TSGeneralProps, rig.Object());
  general.Activate();
  TSBufferConfig newer{SysAllocString(L"C:\\newer\\"), SysAllocString(L"newer.bin"), 4096, 128, 0x80000, 0};
  ASSERT_EQ(rig.Control()->SetBufferSettings(&newer), S_OK);
  EXPECT_EQ(general.Page()->Apply(), S_OK);
  port::BufferConfigHolder stored;
  rig.Control()->GetBufferSettings(stored.get());
  EXPECT_STREQ(stored->fileName, L"newer.bin");
}

}  // namespace
}  // namespace ovts::test
