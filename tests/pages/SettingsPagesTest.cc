// The General, Cache and Instrumentation pages on the real filter: what they show of its
// settings, which input marks them dirty, and what the filter keeps after an apply (read back
// through its getters, which read the test's own registry key).
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "PageTestSupport.h"
#include "pages/resource.h"
#include "platform/Owners.h"

namespace ovts::test {
namespace {

struct Buffer {
  std::wstring directory, name;
  TSBufferConfig config;
};

class SettingsPage : public testing::Test {
 protected:
  void Store(const wchar_t* directory, uint32_t sizeKB, uint32_t initial, uint32_t options) {
    TSBufferConfig config{SysAllocString(directory), SysAllocString(L"buffer.mpg"), sizeKB, 128, initial, options};
    ASSERT_EQ(rig_.Control()->SetBufferSettings(&config), S_OK);
  }
  Buffer Stored() {
    port::BufferConfigHolder held;
    rig_.Control()->GetBufferSettings(held.get());
    const TSBufferConfig& c = *held;
    return Buffer{c.directory ? c.directory : L"", c.fileName ? c.fileName : L"", c};
  }
  std::vector<uint32_t> StoredCaches() {
    TSCacheConfig c{};
    rig_.Control()->GetCacheSettings(&c);
    return {c.inputCacheKB, c.inputChunkKB, c.inputThreshold, c.outputCacheKB, c.outputChunkKB, c.outputThreshold};
  }

  TimeShiftRig rig_{"settings"};
};

// Catches: a drive list that is not the platform's fixed drives or misses the space arithmetic,
// a trackbar not bounded by the chosen drive, stored settings shown wrongly (path split, drive
// chosen by prefix, sizes in the wrong unit, option bits crossed), and an unlisted drive.
TEST_F(SettingsPage, GeneralShowsDrivesAndStoredSettings) {
  Store(L"Z:\\video\\", 200 << 10, 1500000, PreAllocate | NoWrap);
  ActivePage page(CLSID_TSGeneralProps, rig_.Object());
  page.Activate();
  HWND combo = page.Item(IDC_GEN_DRIVE);
  char roots[256] = {}, item[128] = {};
  GetLogicalDriveStringsA(sizeof roots, roots);
  int listed = 0;
  for (const char* root = roots; *root; root += strlen(root) + 1) {
    ULARGE_INTEGER free{};
    if (GetDriveTypeA(root) != DRIVE_FIXED || !GetDiskFreeSpaceExA(root, &free, nullptr, nullptr)) continue;
    SendMessageA(combo, CB_GETLBTEXT, listed, reinterpret_cast<LPARAM>(item));
    const int64_t available = std::max<int64_t>(static_cast<int64_t>(free.QuadPart >> 20) - 100, 0);
    const int32_t data = static_cast<int32_t>(SendMessageW(combo, CB_GETITEMDATA, listed++, 0));
    EXPECT_EQ(item, std::string(root) + " - " + (data ? std::to_string(data) + " MBYTES AVAILABLE" : "INSUFFICIENT SPACE"));
    EXPECT_NEAR(data, available, 2048) << "other programs write to the disk meanwhile";
  }
  EXPECT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), listed);
  EXPECT_GE(listed, 2) << "Wine's C: and Z:";

  EXPECT_EQ(Text(combo).substr(0, 3), "Z:\\");
  const LRESULT selected = SendMessageW(combo, CB_GETCURSEL, 0, 0);
  const int top = std::clamp(static_cast<int>(SendMessageW(combo, CB_GETITEMDATA, selected, 0)) - 100, 0, 1638350);
  EXPECT_EQ(SendMessageW(page.Item(IDC_GEN_MAXSIZE), TBM_GETRANGEMAX, 0, 0), top);
  EXPECT_EQ(Text(page.Item(IDC_GEN_MAX_LABEL)), std::to_string(top) + " MB");
  EXPECT_EQ(Text(page.Item(IDC_GEN_MIN_LABEL)), "1 MB");
  EXPECT_EQ(SendMessageW(page.Item(IDC_GEN_MAXSIZE), TBM_GETPOS, 0, 0), 200);
  EXPECT_EQ(Text(page.Item(IDC_GEN_MAXSIZE_CAPTION)), "Maximum Buffer Size: 200 MB");
  EXPECT_EQ(Text(page.Item(IDC_GEN_PATH)), "\\video\\buffer.mpg");
  EXPECT_EQ(Text(page.Item(IDC_GEN_BUFFERING)), "1500");
  EXPECT_TRUE(Checked(page.Item(IDC_GEN_PREALLOCATE)) && Checked(page.Item(IDC_GEN_NO_WRAP)));
  EXPECT_FALSE(Checked(page.Item(IDC_GEN_DELETE_ON_CLOSE)));
  EXPECT_EQ(page.Page()->IsPageDirty(), S_FALSE);

  // A drive that is not listed leaves the first item chosen, and apply writes that drive.
  page.Deactivate();
  Store(L"Q:\\video\\", 200 << 10, 524288, 0);
  page.Activate();
  EXPECT_EQ(SendMessageW(page.Item(IDC_GEN_DRIVE), CB_GETCURSEL, 0, 0), 0);
  Type(page.Item(IDC_GEN_PATH), "\\video\\buffer.mpg");
  ASSERT_EQ(page.Page()->Apply(), S_OK);
  EXPECT_EQ(Stored().directory, L"C:\\video\\");
}

// Catches: a path split that keeps a typed drive or loses the extension rule, an initial
// buffering written unbounded or in the wrong unit, and inputs that leave the page clean.
TEST_F(SettingsPage, GeneralApplyWritesTheRecord) {
  Store(L"C:\\", 100 << 10, 524288, 0);
  ActivePage page(CLSID_TSGeneralProps, rig_.Object());
  page.Activate();
  PressKey(page.Item(IDC_GEN_DRIVE), VK_DOWN);  // from C: to the next fixed drive, Z:
  EXPECT_TRUE(page.Dirty());
  EXPECT_EQ(Text(page.Item(IDC_GEN_PATH)), "\\") << "a new drive starts at its root";
  struct Case {
    const char *path, *buffering;
    const wchar_t *directory, *name;
    uint32_t initial;
  };
  // An empty name keeps the stored one: the filter's rule.
  for (const Case& c : {Case{"D:\\video\\tshift.bin", "100", L"Z:\\video\\", L"tshift.bin", 524288},
                        Case{"\\video", "20000", L"Z:\\video", L"tshift.bin", 20000000},
                        Case{"\\a\\b.c\\x.ts", "40000", L"Z:\\a\\b.c\\", L"x.ts", 33554432}}) {
    SCOPED_TRACE(c.path);
    Type(page.Item(IDC_GEN_PATH), c.path);
    EXPECT_TRUE(page.Dirty());
    ASSERT_EQ(page.Page()->Apply(), S_OK);
    SetText(page.Item(IDC_GEN_BUFFERING), c.buffering);  // more digits than the narrow edit takes typed
    EXPECT_TRUE(page.Dirty());
    ASSERT_EQ(page.Page()->Apply(), S_OK);
    const Buffer stored = Stored();
    EXPECT_EQ(stored.directory + L"|" + stored.name, std::wstring(c.directory) + L"|" + c.name);
    EXPECT_EQ(stored.config.initialTimeShift, c.initial);
  }
  PressKey(page.Item(IDC_GEN_MAXSIZE), VK_HOME);
  EXPECT_TRUE(page.Dirty());
  PressKey(page.Item(IDC_GEN_MAXSIZE), VK_RIGHT);
  EXPECT_EQ(Text(page.Item(IDC_GEN_MAXSIZE_CAPTION)), "Maximum Buffer Size: 2 MB");
  ASSERT_EQ(page.Page()->Apply(), S_OK);
  for (int box : {IDC_GEN_PREALLOCATE, IDC_GEN_DELETE_ON_CLOSE, IDC_GEN_NO_WRAP}) Click(page.Item(box));
  EXPECT_TRUE(page.Dirty());
  ASSERT_EQ(page.Page()->Apply(), S_OK);
  Type(page.Item(IDC_GEN_BUFFERING), "600");
  ASSERT_EQ(page.Page()->Apply(), S_OK);
  PressKey(page.Item(IDC_GEN_BUFFERING), VK_DOWN);
  EXPECT_TRUE(page.Dirty()) << "the up-down";
  ASSERT_EQ(page.Page()->Apply(), S_OK);
  const TSBufferConfig stored = Stored().config;
  EXPECT_EQ(stored.sizeKB, 2u << 10);
  EXPECT_EQ(stored.options, uint32_t{PreAllocate | DeleteOnClose | NoWrap});
  EXPECT_EQ(stored.minFreeMB, 256u);
  EXPECT_EQ(stored.initialTimeShift, 599000u);
}

// Catches a path too long to split stored as the bare drive: it can be neither typed nor applied.
TEST_F(SettingsPage, GeneralRefusesAPathTooLongToStore) {
  Store(L"C:\\", 100 << 10, 524288, 0);
  ActivePage page(CLSID_TSGeneralProps, rig_.Object());
  page.Activate();
  const std::string longFolder = "\\" + std::string(300, 'd') + "\\buffer.mpg";
  Type(page.Item(IDC_GEN_PATH), longFolder.c_str());
  EXPECT_EQ(Text(page.Item(IDC_GEN_PATH)).size(), 255u) << "typing stops at the longest path that splits";
  SetText(page.Item(IDC_GEN_PATH), longFolder.c_str());  // pasted past the limit
  ASSERT_TRUE(page.Dirty());
  EXPECT_EQ(page.Page()->Apply(), E_INVALIDARG);
  EXPECT_TRUE(page.Dirty()) << "refused, not stored";
  EXPECT_EQ(Stored().directory, L"C:\\");
  Type(page.Item(IDC_GEN_PATH), "\\video\\buffer.mpg");
  EXPECT_EQ(page.Page()->Apply(), S_OK);
  EXPECT_EQ(Stored().directory, L"C:\\video\\");
}

// Catches: values shown in the wrong edits, the wrong controls enabled for a mode, a page that
// does not open in manual mode, a manual apply with other numbers or another order, a bit rate
// that does not step by 512 or leaves its bounds, a typed bit rate that marks the page dirty,
// and an automatic apply with an unrounded rate.
TEST_F(SettingsPage, CacheManualAndAutomatic) {
  const int edits[] = {IDC_CACHE_IN_SIZE, IDC_CACHE_IN_WSIZE, IDC_CACHE_IN_THRESH,
                       IDC_CACHE_OUT_SIZE, IDC_CACHE_OUT_RSIZE, IDC_CACHE_OUT_THRESH};  // each up-down is id + 1
  TSCacheConfig stored{2048, 256, 10, 512, 64, 75};
  ASSERT_EQ(rig_.Control()->SetCacheSettings(&stored), S_OK);
  ActivePage page(CLSID_TSCacheProps, rig_.Object());
  page.Activate();
  const char* shown[] = {"2048", "256", "10", "512", "64", "75"};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Text(page.Item(edits[i])), shown[i]) << edits[i];
  EXPECT_TRUE(Checked(page.Item(IDC_CACHE_MANUAL)));
  HWND rate = page.Item(IDC_CACHE_BITRATE);
  EXPECT_EQ(Text(rate), "2048");
  EXPECT_FALSE(Enabled(rate) || Enabled(page.Item(IDC_CACHE_BITRATE_SPIN)));
  Type(rate, "4096");
  EXPECT_EQ(page.Page()->IsPageDirty(), S_FALSE) << "typing a bit rate alone leaves the page clean";

  const char* typed[] = {"8192", "1024", "5", "2048", "256", "50"};
  for (int i = 0; i < 6; ++i) {
    Type(page.Item(edits[i]), typed[i]);
    EXPECT_TRUE(page.Dirty()) << typed[i];
    ASSERT_EQ(page.Page()->Apply(), S_OK);
  }
  PressKey(page.Item(IDC_CACHE_IN_THRESH), VK_UP);
  EXPECT_TRUE(page.Dirty()) << "the up-down";
  ASSERT_EQ(page.Page()->Apply(), S_OK);
  EXPECT_EQ(StoredCaches(), (std::vector<uint32_t>{8192, 1024, 6, 2048, 256, 50}));

  Click(page.Item(IDC_CACHE_AUTO));
  EXPECT_TRUE(page.Dirty());
  for (int id : edits) EXPECT_FALSE(Enabled(page.Item(id)) || Enabled(page.Item(id + 1))) << id;
  EXPECT_TRUE(Enabled(rate) && Enabled(page.Item(IDC_CACHE_BITRATE_SPIN)));
  PressKey(rate, VK_UP);
  EXPECT_EQ(Text(rate), "2560") << "one step up from position 4";
  for (int i = 0; i < 300; ++i) PressKey(rate, VK_UP);
  EXPECT_EQ(Text(rate), "131072");
  for (int i = 0; i < 300; ++i) PressKey(rate, VK_DOWN);
  EXPECT_EQ(Text(rate), "512");
  Type(rate, "3000");
  ASSERT_EQ(page.Page()->Apply(), S_OK);
  EXPECT_EQ(Text(rate), "2560");
  // The filter derived the six values from 2560: 20 x {128, 16, 0, 32, 4}, 75, normalised.
  EXPECT_EQ(StoredCaches(), (std::vector<uint32_t>{2560, 320, 0, 512, 64, 75}));

  page.Deactivate();
  page.Activate();
  EXPECT_TRUE(Checked(page.Item(IDC_CACHE_MANUAL))) << "every set-up opens in manual mode";
  for (int id : edits) EXPECT_TRUE(Enabled(page.Item(id)) && Enabled(page.Item(id + 1))) << id;
}

// Catches: thresholds shown beside the wrong label, enablement not following its own box, flags
// crossed, and a typed threshold cut to the up-down's range in the record.
TEST_F(SettingsPage, InstrumentationFlagsAndThresholds) {
  ComPtr<IOVTSInstrumentation> instrumentation;
  ASSERT_EQ(rig_.Control()->QueryInterface(IID_PPV_ARGS(&instrumentation)), S_OK);
  ActivePage page(CLSID_TSPerfInstProp, rig_.Object());
  page.Activate();
  const int input[] = {IDC_INST_IN_INTRA, IDC_INST_IN_INTRA_SPIN, IDC_INST_IN_INTER, IDC_INST_IN_INTER_SPIN};
  const int output[] = {IDC_INST_OUT_INTRA, IDC_INST_OUT_INTRA_SPIN, IDC_INST_OUT_INTER, IDC_INST_OUT_INTER_SPIN};
  auto enabled = [&](const int(&ids)[4]) {
    return std::count_if(std::begin(ids), std::end(ids), [&](int id) { return Enabled(page.Item(id)); });
  };
  EXPECT_EQ(Text(page.Item(IDC_INST_IN_INTRA)) + " " + Text(page.Item(IDC_INST_IN_INTER)), "1500 750");
  EXPECT_EQ(Text(page.Item(IDC_INST_OUT_INTRA)) + " " + Text(page.Item(IDC_INST_OUT_INTER)), "5000 1000");
  EXPECT_FALSE(Checked(page.Item(IDC_INST_IN_ENABLED)) || Checked(page.Item(IDC_INST_OUT_ENABLED)));
  EXPECT_EQ(enabled(input) + enabled(output), 0);

  Click(page.Item(IDC_INST_IN_ENABLED));
  EXPECT_TRUE(page.Dirty());
  EXPECT_EQ(enabled(input), 4);
  EXPECT_EQ(enabled(output), 0);
  ASSERT_EQ(page.Page()->Apply(), S_OK);
  TSInstrumentationSettings settings{};
  instrumentation->GetInstrumentation(&settings);
  EXPECT_EQ(settings.flags, uint32_t{TSINST_INPUT});

  Click(page.Item(IDC_INST_OUT_ENABLED));
  ASSERT_EQ(page.Page()->Apply(), S_OK);
  PressKey(page.Item(IDC_INST_OUT_INTER), VK_UP);
  EXPECT_TRUE(page.Dirty()) << "the up-down";
  Type(page.Item(IDC_INST_IN_INTRA), "40000");
  ASSERT_EQ(page.Page()->Apply(), S_OK);
  instrumentation->GetInstrumentation(&settings);
  const TSInstrumentationSettings expected{TSINST_INPUT | TSINST_OUTPUT, 750, 40000, 1001, 5000};
  EXPECT_EQ(memcmp(&settings, &expected, sizeof settings), 0);
  page.Deactivate();
  page.Activate();
  EXPECT_TRUE(Checked(page.Item(IDC_INST_IN_ENABLED)) && Checked(page.Item(IDC_INST_OUT_ENABLED)));
  EXPECT_EQ(Text(page.Item(IDC_INST_OUT_INTER)), "1001") << "a new dialog reads the record afresh";
}

}  // namespace
}  // namespace ovts::test
