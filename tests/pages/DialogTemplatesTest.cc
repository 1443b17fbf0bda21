// The four page dialogs as the window system builds them from the linked templates: every
// control's id, class, styles, text and place, the font, the sizes and the page titles. Each
// dialog is also saved as pages-<id>.png in the build tree for a person to look at.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "DialogHost.h"
#include "pages/resource.h"

namespace ovts {
namespace {

using Microsoft::WRL::ComPtr;

struct Control {
  int id;
  const char* windowClass;
  const char* text;
  int x, y, width, height;  // dialog units
  DWORD style;              // kind bits and flags that must be set (WS_CHILD | WS_VISIBLE implied)
  DWORD forbidden = 0;      // flags that must not be set
  DWORD exStyle = 0;        // WS_EX_TRANSPARENT or 0
};

constexpr char kStatic[] = "Static";
constexpr char kButton[] = "Button";
constexpr char kEdit[] = "Edit";
constexpr char kUpDown[] = "msctls_updown32";
constexpr char kTrackbar[] = "msctls_trackbar32";
constexpr DWORD kSpin = UDS_AUTOBUDDY | UDS_ARROWKEYS | UDS_NOTHOUSANDS;
constexpr DWORD kSpinSets = kSpin | UDS_SETBUDDYINT;
constexpr DWORD kNumberEdit = ES_NUMBER | ES_AUTOHSCROLL | WS_TABSTOP;
constexpr DWORD kCheckBox = BS_AUTOCHECKBOX | WS_TABSTOP;
constexpr DWORD kPush = BS_PUSHBUTTON | WS_TABSTOP;

const Control kGeneral[] = {
    {IDC_STATIC, kStatic, "Drive:", 11, 10, 20, 8, SS_LEFT},
    {IDC_GEN_DRIVE, "ComboBox", "", 37, 9, 154, 55, CBS_DROPDOWN | CBS_SORT | WS_VSCROLL | WS_TABSTOP},
    {IDC_STATIC, kStatic, "Path:", 11, 31, 18, 8, SS_LEFT},
    {IDC_GEN_PATH, kEdit, "", 37, 28, 141, 14, ES_AUTOHSCROLL | WS_TABSTOP, ES_NUMBER},
    {IDC_GEN_BROWSE, kButton, "...", 180, 28, 14, 14, kPush},
    {IDC_GEN_MAXSIZE_CAPTION, kStatic, "Maximum Buffer Size:  ", 53, 53, 95, 8, SS_LEFT},
    {IDC_GEN_MIN_LABEL, kStatic, "0", 34, 55, 17, 8, SS_LEFT},
    {IDC_GEN_MAX_LABEL, kStatic, "100", 170, 55, 31, 8, SS_LEFT},
    {IDC_GEN_MAXSIZE, kTrackbar, "", 27, 63, 160, 15, TBS_HORZ | TBS_TOP, TBS_VERT | TBS_NOTICKS | TBS_AUTOTICKS | WS_TABSTOP},
    {IDC_STATIC, kStatic, "Initial buffering (KB)", 14, 87, 62, 8, SS_LEFT},
    {IDC_GEN_BUFFERING, kEdit, "", 99, 87, 34, 14, ES_NUMBER | WS_TABSTOP, ES_AUTOHSCROLL},
    {IDC_GEN_BUFFERING_SPIN, kUpDown, "", 133, 87, 11, 14, kSpinSets | UDS_ALIGNRIGHT},
    {IDC_GEN_PREALLOCATE, kButton, "Pre-Allocate Buffer", 7, 109, 75, 10, kCheckBox},
    {IDC_GEN_DELETE_ON_CLOSE, kButton, "Delete On Close", 90, 109, 67, 10, kCheckBox},
    {IDC_GEN_NO_WRAP, kButton, "No Wrap", 169, 109, 45, 10, kCheckBox},
};

const Control kStatus[] = {
    {IDC_STATIC, kStatic, "Total Buffer Size", 23, 16, 53, 8, SS_LEFT},
    {IDC_STAT_TOTAL, kStatic, "0", 106, 16, 46, 8, SS_LEFT},
    {IDC_STATIC, kStatic, "Current Buffer Size", 23, 27, 60, 8, SS_LEFT},
    {IDC_STAT_CURRENT, kStatic, "0", 106, 27, 46, 8, SS_LEFT},
    {IDC_STATIC, kStatic, "Read Location", 23, 38, 48, 8, SS_LEFT},
    {IDC_STAT_READ, kStatic, "0", 106, 38, 46, 8, SS_LEFT},
    {IDC_STATIC, kStatic, "Write Location", 23, 49, 47, 8, SS_LEFT},
    {IDC_STAT_WRITE, kStatic, "0", 106, 49, 46, 8, SS_LEFT},
    {IDC_STATIC, kStatic, "Play Position", 23, 74, 41, 8, SS_LEFT},
    {IDC_STAT_POSITION, kTrackbar, "", 27, 87, 206, 15, TBS_HORZ | TBS_TOP | TBS_AUTOTICKS | WS_TABSTOP, TBS_VERT | TBS_NOTICKS},
    {IDC_STAT_FLUSH, kButton, "&Flush", 182, 18, 50, 14, kPush},
    {IDC_STAT_PAUSE, kButton, "&Pause", 183, 45, 50, 14, kPush},
};

const Control kCache[] = {
    {IDC_CACHE_AUTO, kButton, "Auto Config", 7, 9, 53, 10, BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP},
    {IDC_CACHE_MANUAL, kButton, "Manual Config", 7, 22, 61, 10, BS_AUTORADIOBUTTON, WS_GROUP},
    {IDC_STATIC, kStatic, "Bit Rate (Kb/Sec):", 77, 10, 59, 8, SS_LEFT},
    {IDC_CACHE_BITRATE, kEdit, "", 141, 7, 41, 14, kNumberEdit},
    {IDC_CACHE_BITRATE_SPIN, kUpDown, "", 188, 7, 11, 14, kSpin | UDS_ALIGNRIGHT, UDS_SETBUDDYINT},
    {IDC_STATIC, kButton, "Input Cache", 7, 38, 102, 77, BS_GROUPBOX},
    {IDC_STATIC, kStatic, "Size (KB)", 13, 52, 30, 8, SS_LEFT},
    {IDC_CACHE_IN_SIZE, kEdit, "", 54, 48, 36, 14, kNumberEdit},
    {IDC_CACHE_IN_SIZE_SPIN, kUpDown, "", 89, 49, 11, 14, kSpinSets | UDS_ALIGNRIGHT},
    {IDC_STATIC, kStatic, "WSize (KB)", 13, 73, 37, 8, SS_LEFT},
    {IDC_CACHE_IN_WSIZE, kEdit, "", 53, 70, 31, 14, kNumberEdit},
    {IDC_CACHE_IN_WSIZE_SPIN, kUpDown, "", 87, 70, 11, 14, kSpinSets | UDS_ALIGNRIGHT},
    {IDC_STATIC, kStatic, "Thresh (%)", 13, 94, 34, 8, SS_LEFT},
    {IDC_CACHE_IN_THRESH, kEdit, "", 53, 91, 28, 14, kNumberEdit},
    {IDC_CACHE_IN_THRESH_SPIN, kUpDown, "", 79, 91, 11, 14, kSpinSets | UDS_ALIGNRIGHT},
    {IDC_STATIC, kButton, "Output Cache", 121, 38, 104, 78, BS_GROUPBOX},
    {IDC_STATIC, kStatic, "Size (KB)", 133, 52, 30, 8, SS_LEFT},
    {IDC_CACHE_OUT_SIZE, kEdit, "", 171, 49, 36, 14, kNumberEdit},
    {IDC_CACHE_OUT_SIZE_SPIN, kUpDown, "", 207, 47, 11, 14, kSpinSets, UDS_ALIGNRIGHT},
    {IDC_STATIC, kStatic, "RSize (KB)", 133, 73, 35, 8, SS_LEFT},
    {IDC_CACHE_OUT_RSIZE, kEdit, "", 171, 70, 31, 14, kNumberEdit},
    {IDC_CACHE_OUT_RSIZE_SPIN, kUpDown, "", 207, 70, 11, 14, kSpinSets, UDS_ALIGNRIGHT},
    {IDC_STATIC, kStatic, "Thresh(%)", 133, 94, 32, 8, SS_LEFT},
    {IDC_CACHE_OUT_THRESH, kEdit, "", 171, 91, 28, 14, kNumberEdit},
    {IDC_CACHE_OUT_THRESH_SPIN, kUpDown, "", 207, 91, 11, 14, kSpinSets, UDS_ALIGNRIGHT},
};

const Control kInstrumentation[] = {
    {IDC_INST_IN_ENABLED, kButton, "Enabled", 20, 17, 59, 10, kCheckBox},
    {IDC_STATIC, kButton, "Input Instrumentation", 7, 7, 217, 47, BS_GROUPBOX, 0, WS_EX_TRANSPARENT},
    {IDC_STATIC, kStatic, "Intra-Call Thresh (uS)", 96, 18, 70, 8, SS_LEFT},
    {IDC_INST_IN_INTRA, kEdit, "", 167, 16, 32, 14, kNumberEdit},
    {IDC_INST_IN_INTRA_SPIN, kUpDown, "", 199, 16, 11, 14, kSpinSets, UDS_ALIGNRIGHT},
    {IDC_STATIC, kStatic, "Inter-Call Thresh (uS)", 98, 38, 70, 8, SS_LEFT},
    {IDC_INST_IN_INTER, kEdit, "", 168, 35, 32, 14, kNumberEdit},
    {IDC_INST_IN_INTER_SPIN, kUpDown, "", 200, 35, 11, 14, kSpinSets, UDS_ALIGNRIGHT},
    {IDC_INST_OUT_ENABLED, kButton, "Enabled", 20, 73, 47, 10, kCheckBox},
    {IDC_STATIC, kButton, "Output Instrumentation", 7, 62, 217, 54, BS_GROUPBOX, 0, WS_EX_TRANSPARENT},
    {IDC_STATIC, kStatic, "Intra-Call Thresh (uS)", 96, 74, 70, 8, SS_LEFT},
    {IDC_INST_OUT_INTRA, kEdit, "", 167, 72, 33, 14, kNumberEdit},
    {IDC_INST_OUT_INTRA_SPIN, kUpDown, "", 199, 72, 11, 14, kSpinSets, UDS_ALIGNRIGHT},
    {IDC_STATIC, kStatic, "Inter-Call Thresh (uS)", 97, 95, 70, 8, SS_LEFT},
    {IDC_INST_OUT_INTER, kEdit, "", 167, 92, 32, 14, kNumberEdit},
    {IDC_INST_OUT_INTER_SPIN, kUpDown, "", 200, 92, 11, 14, kSpinSets, UDS_ALIGNRIGHT},
};

struct Page {
  int dialogId;
  int width, height;  // dialog units
  bool extended;
  int titleId;
  const char* title;
  std::span<const Control> controls;
};

const Page kPages[] = {
    {IDD_GENERAL, 259, 189, false, IDS_TITLE_GENERAL, "General", kGeneral},
    {IDD_BUFSTAT, 254, 113, false, IDS_TITLE_STATUS, "Status", kStatus},
    {IDD_CACHE, 232, 151, false, IDS_TITLE_CACHE, "Cache ", kCache},
    {IDD_INSTRUMENTATION, 231, 152, true, IDS_TITLE_INSTRUMENTATION, "Instrumentation", kInstrumentation},
};

// Names each page's test by its dialog id.
void PrintTo(const Page& page, std::ostream* out) { *out << page.dialogId; }

// The bits of a style that name the control's kind rather than flags.
DWORD KindMask(const std::string& windowClass) {
  if (windowClass == kButton) return BS_TYPEMASK;
  if (windowClass == kStatic) return SS_TYPEMASK;
  if (windowClass == "ComboBox") return 0x3;
  return 0;
}

// The dialog manager converts the origin and the size each on its own, so this does too.
RECT DialogUnits(HWND dialog, int x, int y, int width, int height) {
  RECT units{x, y, width, height};
  MapDialogRect(dialog, &units);
  return RECT{units.left, units.top, units.left + units.right, units.top + units.bottom};
}

RECT PlaceInDialog(HWND dialog, HWND control) {
  RECT rect{};
  GetWindowRect(control, &rect);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

std::string Describe(const RECT& r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + " - " + std::to_string(r.right) + "," +
         std::to_string(r.bottom);
}

void CheckControl(HWND window, const Control& expected) {
  EXPECT_EQ(GetDlgCtrlID(window) & 0xFFFF, expected.id & 0xFFFF);
  char text[128] = {};
  GetClassNameA(window, text, sizeof(text));
  EXPECT_STREQ(text, expected.windowClass);
  GetWindowTextA(window, text, sizeof(text));
  EXPECT_STREQ(text, expected.text);

  const DWORD style = static_cast<DWORD>(GetWindowLongA(window, GWL_STYLE));
  const DWORD exStyle = static_cast<DWORD>(GetWindowLongA(window, GWL_EXSTYLE));
  DWORD required = expected.style | WS_CHILD | WS_VISIBLE;
  const DWORD kind = KindMask(expected.windowClass);
  EXPECT_EQ(style & kind, expected.style & kind) << "kind";
  if (std::string(expected.windowClass) == "ComboBox") required &= ~WS_VSCROLL;  // see CheckDropDown
  if (std::string(expected.windowClass) == kEdit) {
    // Dialogs draw an edit's border as a sunken client edge.
    EXPECT_TRUE((style & WS_BORDER) || (exStyle & WS_EX_CLIENTEDGE)) << "border";
  }
  EXPECT_EQ(style & required, required) << std::hex << "style " << style;
  EXPECT_EQ(style & expected.forbidden, 0u) << std::hex << "style " << style;
  EXPECT_EQ(exStyle & WS_EX_TRANSPARENT, expected.exStyle);
}

// A drop-down combo box is as tall as its edit field: the template's height is that of the
// field and its dropped list together. The list hides its scroll bar (and the style bit) until
// the items overflow it.
void CheckDropDown(HWND dialog, HWND combo, const RECT& place) {
  for (int i = 0; i < 30; ++i) SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("X:\\"));
  SendMessageA(combo, CB_SHOWDROPDOWN, TRUE, 0);
  COMBOBOXINFO info{sizeof(info)};
  ASSERT_TRUE(GetComboBoxInfo(combo, &info));
  RECT list{};
  GetWindowRect(info.hwndList, &list);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&list), 2);
  // Without CBS_NOINTEGRALHEIGHT the list shows whole items only, so it may end up to one item
  // (and its frame) short of the template's bottom.
  const LONG item = static_cast<LONG>(SendMessageA(combo, CB_GETITEMHEIGHT, 0, 0));
  EXPECT_LE(list.bottom, place.bottom);
  EXPECT_GE(list.bottom, place.bottom - item - 2);
  EXPECT_EQ(list.left, place.left);
  EXPECT_EQ(list.right, place.right);
  EXPECT_TRUE(GetWindowLongA(info.hwndList, GWL_STYLE) & WS_VSCROLL) << "the list scrolls vertically";
  SendMessageA(combo, CB_SHOWDROPDOWN, FALSE, 0);
  SendMessageA(combo, CB_RESETCONTENT, 0, 0);
}

// Where each control should sit: the template's place, except that an up-down aligned to its
// buddy's right edge takes its own width out of the buddy and sits on that edge.
std::vector<RECT> ExpectedPlaces(HWND dialog, const std::vector<HWND>& windows, std::span<const Control> controls) {
  std::vector<RECT> places;
  for (const Control& c : controls) places.push_back(DialogUnits(dialog, c.x, c.y, c.width, c.height));
  for (size_t i = 1; i < controls.size(); ++i) {
    if (controls[i].windowClass != kUpDown || !(controls[i].style & UDS_ALIGNRIGHT)) continue;
    const RECT spin = PlaceInDialog(dialog, windows[i]);
    const LONG width = spin.right - spin.left;
    RECT& buddy = places[i - 1];
    buddy.right -= width;
    places[i] = RECT{buddy.right, buddy.top, buddy.right + width, buddy.bottom};
  }
  return places;
}

void SavePng(HWND window, const std::wstring& path) {
  RECT size{};
  GetWindowRect(window, &size);
  const int width = size.right - size.left;
  const int height = size.bottom - size.top;
  HDC screen = GetDC(window);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB};
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  EXPECT_TRUE(BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY));

  ComPtr<IWICImagingFactory> factory;
  ComPtr<IWICStream> stream;
  ComPtr<IWICBitmapEncoder> encoder;
  ComPtr<IWICBitmapFrameEncode> frame;
  WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGR;
  HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory));
  if (SUCCEEDED(hr)) hr = factory->CreateStream(&stream);
  if (SUCCEEDED(hr)) hr = stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE);
  if (SUCCEEDED(hr)) hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder);
  if (SUCCEEDED(hr)) hr = encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache);
  if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(&frame, nullptr);
  if (SUCCEEDED(hr)) hr = frame->Initialize(nullptr);
  if (SUCCEEDED(hr)) hr = frame->SetSize(width, height);
  if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
  if (SUCCEEDED(hr)) hr = frame->WritePixels(height, width * 4, width * height * 4, static_cast<BYTE*>(bits));
  if (SUCCEEDED(hr)) hr = frame->Commit();
  if (SUCCEEDED(hr)) hr = encoder->Commit();
  EXPECT_EQ(hr, S_OK) << "saving the dialog's picture";

  SelectObject(memory, previous);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(window, screen);
}

class DialogTemplates : public testing::TestWithParam<Page> {
 protected:
  static void SetUpTestSuite() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  static void TearDownTestSuite() { CoUninitialize(); }
};

// Catches: a control missing, out of order, of the wrong kind or style, misplaced or mislabelled;
// a wrong font, size, template kind or title.
TEST_P(DialogTemplates, MatchTheirTables) {
  const Page& page = GetParam();
  test::DialogHost host(page.dialogId);
  HWND dialog = host.dialog();
  ASSERT_NE(dialog, nullptr);

  HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(page.dialogId), MAKEINTRESOURCEA(5));  // RT_DIALOG
  ASSERT_NE(resource, nullptr);
  const auto* header = static_cast<const WORD*>(LockResource(LoadResource(nullptr, resource)));
  EXPECT_EQ(header[0] == 1 && header[1] == 0xFFFF, page.extended) << "extended template";
  EXPECT_FALSE(GetWindowLongA(dialog, GWL_STYLE) & (WS_POPUP | WS_CAPTION)) << "a child dialog";

  RECT client{};
  GetClientRect(dialog, &client);
  const RECT size = DialogUnits(dialog, 0, 0, page.width, page.height);
  EXPECT_EQ(client.right, size.right);
  EXPECT_EQ(client.bottom, size.bottom);

  LOGFONTA font{};
  GetObjectA(reinterpret_cast<HFONT>(SendMessageA(dialog, WM_GETFONT, 0, 0)), sizeof(font), &font);
  EXPECT_STREQ(font.lfFaceName, "MS Sans Serif");
  HDC dc = GetDC(dialog);
  EXPECT_EQ(font.lfHeight, -MulDiv(8, GetDeviceCaps(dc, LOGPIXELSY), 72)) << "8 points";
  ReleaseDC(dialog, dc);

  char title[64] = {};
  EXPECT_EQ(LoadStringA(GetModuleHandleA(nullptr), page.titleId, title, sizeof(title)),
            static_cast<int>(strlen(page.title)));
  EXPECT_STREQ(title, page.title);

  std::vector<HWND> windows;
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) windows.push_back(child);
  ASSERT_EQ(windows.size(), page.controls.size());
  const std::vector<RECT> places = ExpectedPlaces(dialog, windows, page.controls);
  for (size_t i = 0; i < windows.size(); ++i) {
    const Control& expected = page.controls[i];
    SCOPED_TRACE(std::to_string(i) + ": " + std::to_string(expected.id) + " \"" + expected.text + "\"");
    CheckControl(windows[i], expected);
    RECT actual = PlaceInDialog(dialog, windows[i]);
    RECT want = places[i];
    if (std::string(expected.windowClass) == "ComboBox") {
      CheckDropDown(dialog, windows[i], want);
      want.bottom = actual.bottom;
    }
    if (expected.windowClass == kUpDown) {
      // An up-down rounds its width its own way, and when aligned it overlaps its buddy's sunken
      // edge by up to two pixels.
      EXPECT_NEAR(actual.right - actual.left, want.right - want.left, 1);
      if (expected.style & UDS_ALIGNRIGHT) {
        EXPECT_LE(want.left - actual.left, 2);
        EXPECT_GE(want.left - actual.left, 0);
        want.left = actual.left;
      }
      want.right = want.left + (actual.right - actual.left);
    }
    EXPECT_EQ(Describe(actual), Describe(want));
  }

  SavePng(dialog, L"" OVTS_SCREENSHOT_DIR L"/pages-" + std::to_wstring(page.dialogId) + L".png");
}

INSTANTIATE_TEST_SUITE_P(Pages, DialogTemplates, testing::ValuesIn(kPages),
                         [](const testing::TestParamInfo<Page>& info) { return std::to_string(info.param.dialogId); });

}  // namespace
}  // namespace ovts
