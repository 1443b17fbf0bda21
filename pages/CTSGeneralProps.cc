#include "pages/CTSGeneralProps.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "pages/resource.h"
#include "platform/Owners.h"
#include "platform/Platform.h"

namespace ovts {
namespace {

constexpr int64_t kDriveReserveMB = 100;    // held back once in the list and once more for the trackbar
constexpr int kMaxTrackbarMB = 1638350;
constexpr uint32_t kMinFreeWrittenMB = 256;
constexpr LPARAM kBufferingSpinRange = MAKELONG(32767, 524);  // thousands of bytes
// The longest path text that splits into the parts the settings take (256 characters each,
// the terminating zero included).
constexpr WPARAM kMaxPathText = 255;

COVStringT Narrow(const OLECHAR* text) {
  std::unique_ptr<char[]> narrow(port::WideToNarrow(text));
  return COVStringT(narrow ? narrow.get() : "");
}

COVStringT FormatMB(int megabytes) {
  char text[100];
  std::snprintf(text, sizeof text, "%d MB", megabytes);
  return COVStringT(text);
}

}  // namespace

CTSGeneralProps::CTSGeneralProps(IUnknown* owner) noexcept
    : CTSPropertyPage(owner, IDD_GENERAL, IDS_TITLE_GENERAL) {}

CUnknown* WINAPI CTSGeneralProps::CreateInstance(LPUNKNOWN owner, HRESULT* result) {
  return Create<CTSGeneralProps>(owner, result);
}

INT_PTR CTSGeneralProps::OnReceiveMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetUp();
      return 1;
    case WM_NOTIFY:
      if (wParam != IDC_GEN_BUFFERING_SPIN) break;
      MarkDirty();
      return 0;
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      const int code = HIWORD(wParam);
      if (code == BN_CLICKED && (id == IDC_GEN_PREALLOCATE || id == IDC_GEN_DELETE_ON_CLOSE || id == IDC_GEN_NO_WRAP)) {
        MarkDirty();
      } else if (code == CBN_SELCHANGE && id == IDC_GEN_DRIVE) {
        OnDriveChange();
      } else if (code == EN_UPDATE && (id == IDC_GEN_BUFFERING || id == IDC_GEN_PATH)) {
        MarkDirty();
      }
      return 1;
    }
    case WM_HSCROLL:
      if (reinterpret_cast<HWND>(lParam) != maxSize_.hwnd) break;
      maxMB_ = static_cast<int>(maxSize_.SendMessage(TBM_GETPOS, 0, 0));
      UpdateCaption();
      MarkDirty();
      return 0;
  }
  return CBasePropertyPage::OnReceiveMessage(window, message, wParam, lParam);
}

void CTSGeneralProps::SetUp() {
  Attach({{&buffering_, IDC_GEN_BUFFERING}, {&bufferingSpin_, IDC_GEN_BUFFERING_SPIN}, {&drives_, IDC_GEN_DRIVE},
          {&maxSize_, IDC_GEN_MAXSIZE}, {&minLabel_, IDC_GEN_MIN_LABEL}, {&maxLabel_, IDC_GEN_MAX_LABEL},
          {&maxCaption_, IDC_GEN_MAXSIZE_CAPTION}, {&deleteOnClose_, IDC_GEN_DELETE_ON_CLOSE},
          {&preAllocate_, IDC_GEN_PREALLOCATE}, {&noWrap_, IDC_GEN_NO_WRAP}, {&path_, IDC_GEN_PATH}});

  FillDriveList();
  if (bufferingSpin_.hwnd) bufferingSpin_.SendMessage(UDM_SETRANGE, 0, kBufferingSpinRange);
  path_.SendMessage(EM_LIMITTEXT, kMaxPathText, 0);

  COVStringT path;
  if (filter_) {
    TSBufferConfig config{nullptr, nullptr, 512, 128, TS_INITIAL_TIME_SHIFT_MIN, 0};
    filter_->GetBufferSettings(&config);
    port::UniqueBstr directory(config.directory);
    port::UniqueBstr fileName(config.fileName);
    const COVStringT narrowDirectory = Narrow(directory.get());
    path = narrowDirectory.Mid(2) + Narrow(fileName.get());
    drive_ = narrowDirectory.Mid(0, 3);
    maxMB_ = static_cast<int>(config.sizeKB >> 10);
    drives_.SelectString(drive_.c_str());
    initialBuffering_ = config.initialTimeShift;
    preAllocate_.SetCheck((config.options & PreAllocate) ? BST_CHECKED : BST_UNCHECKED);
    deleteOnClose_.SetCheck((config.options & DeleteOnClose) ? BST_CHECKED : BST_UNCHECKED);
    noWrap_.SetCheck((config.options & NoWrap) ? BST_CHECKED : BST_UNCHECKED);
  }
  if (bufferingSpin_.hwnd) bufferingSpin_.SendMessage(UDM_SETPOS, 0, MAKELONG(initialBuffering_ / 1000, 0));
  OnDriveChange();
  path_.SetWindowText(path);
  maxSize_.SendMessage(TBM_SETPOS, TRUE, maxMB_);
  UpdateCaption();
  MarkClean();
}

void CTSGeneralProps::FillDriveList() {
  char roots[256] = {};
  const DWORD length = GetLogicalDriveStringsA(sizeof roots, roots);
  if (length == 0 || length >= sizeof roots) return;
  for (const char* root = roots; *root; root += strlen(root) + 1) {
    if (GetDriveTypeA(root) != DRIVE_FIXED) continue;
    ULARGE_INTEGER freeToCaller{};
    if (!GetDiskFreeSpaceExA(root, &freeToCaller, nullptr, nullptr)) continue;
    int64_t available = static_cast<int64_t>(freeToCaller.QuadPart >> 20) - kDriveReserveMB;
    char suffix[64];
    if (available <= 0) {
      available = 0;
      std::snprintf(suffix, sizeof suffix, "Insufficient space");
    } else {
      std::snprintf(suffix, sizeof suffix, "%0lld MBytes Available", static_cast<long long>(available));
    }
    COVStringT text(root);
    text += " - ";
    text += suffix;
    CharUpperA(text.data());
    drives_.AddString(text.c_str(), static_cast<uint32_t>(available));
  }
  drives_.SetCurSel(0);
}

void CTSGeneralProps::OnDriveChange() {
  drive_ = drives_.GetSelectedText().Mid(0, 3);
  const int64_t top64 = static_cast<int64_t>(drives_.GetItemData(drives_.GetCurSel())) - kDriveReserveMB;
  const int top = static_cast<int>(std::clamp<int64_t>(top64, 0, kMaxTrackbarMB));
  const int bottom = std::min(top, 1);
  maxSize_.SetRange(bottom, top, FALSE);
  minLabel_.SetWindowText(FormatMB(bottom));
  maxLabel_.SetWindowText(FormatMB(top));
  maxMB_ = std::min(maxMB_, top);
  maxSize_.SendMessage(TBM_SETPOS, TRUE, 0);
  maxSize_.SendMessage(TBM_SETPOS, TRUE, maxMB_);
  UpdateCaption();
  path_.SetWindowText("\\");
  MarkDirty();
}

void CTSGeneralProps::UpdateCaption() {
  int bottom = 0, top = 0;
  maxSize_.GetRange(&bottom, &top);
  maxMB_ = std::max(std::min(maxMB_, top), bottom);
  char text[100];
  std::snprintf(text, sizeof text, "Maximum Buffer Size: %d MB", maxMB_);
  maxCaption_.SetWindowText(text);
}

HRESULT CTSGeneralProps::OnApplyChanges() {
  ComPtr<IKsPropertySet> properties;
  if (!filter_ || FAILED(filter_.As(&properties))) return S_OK;

  // The drive typed into the path is not used: the list names the drive.
  const COVStringT text = path_.GetWindowText();
  char drive[_MAX_DRIVE] = {}, directory[256] = {}, name[256] = {}, extension[256] = {};
  // A path that does not split (too long a part) is refused: the page stays dirty and nothing,
  // least of all another path, is stored.
  RETURN_HR_IF(E_INVALIDARG, _splitpath_s(text.c_str(), drive, sizeof drive, directory, sizeof directory, name,
                                          sizeof name, extension, sizeof extension) != 0);
  COVStringT folder = drive_.Mid(0, 2);
  folder += directory;
  COVStringT file(name);
  if (extension[0] == '\0') {
    // A last component without an extension names a folder.
    folder += name;
    file = "";
  } else {
    file += extension;
  }

  const uint32_t buffering = static_cast<uint32_t>(buffering_.GetWindowInt()) * 1000u;
  TSBufferConfig config{};
  config.directory = port::NarrowToBstr(folder.c_str());
  config.fileName = port::NarrowToBstr(file.c_str());
  config.sizeKB = static_cast<uint32_t>(maxMB_) << 10;
  config.minFreeMB = kMinFreeWrittenMB;
  config.initialTimeShift = std::clamp(buffering, TS_INITIAL_TIME_SHIFT_MIN, TS_INITIAL_TIME_SHIFT_MAX);
  config.options = (deleteOnClose_.GetCheck() == BST_CHECKED ? uint32_t{DeleteOnClose} : 0u) |
                   (preAllocate_.GetCheck() == BST_CHECKED ? uint32_t{PreAllocate} : 0u) |
                   (noWrap_.GetCheck() == BST_CHECKED ? uint32_t{NoWrap} : 0u);
  // The filter takes over both strings, also when it refuses them.
  RETURN_IF_FAILED(properties->Set(TSPROPSETID_Control, TSPROPERTY_BUFFER_SETTINGS, nullptr, 0, &config, sizeof config));
  MarkClean();
  return S_OK;
}

}  // namespace ovts
