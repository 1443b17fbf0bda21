// The control wrappers against real comctl32/user32 controls in the General page's dialog, and
// their fallbacks with no window behind them.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <cstdint>
#include <string>

#include "DialogHost.h"
#include "pages/COVWnd.h"
#include "pages/resource.h"

namespace ovts {
namespace {

class COVWndTest : public testing::Test {
 protected:
  template <typename Wrapper>
  void Attach(Wrapper& wrapper, int id) {
    wrapper.hwnd = host_.Item(id);
    ASSERT_NE(wrapper.hwnd, nullptr) << id;
  }

  test::DialogHost host_{IDD_GENERAL};
};

// Catches: a wrapper that sends to (or reads from) a missing window instead of falling back.
TEST(COVWndFallbacks, NoWindowBehindTheHandle) {
  COVButtonCtrl button;
  COVComboBox combo;
  COVStaticTextCtrl text;
  EXPECT_EQ(text.SetWindowText("x"), FALSE);
  EXPECT_TRUE(text.GetWindowText().empty());
  EXPECT_EQ(text.GetWindowInt(), 0);
  EXPECT_EQ(text.EnableWindow(1), FALSE);
  EXPECT_EQ(text.SetFocus(), nullptr);
  EXPECT_EQ(text.DefaultHook(), 0);
  EXPECT_EQ(button.GetCheck(), 0);
  EXPECT_EQ(combo.AddString("C:\\", 1), -1);
  EXPECT_EQ(combo.GetCurSel(), -1);
  EXPECT_EQ(combo.SetCurSel(5), 5);
  EXPECT_EQ(combo.GetItemData(0), -1);
  EXPECT_EQ(combo.SelectString("C:\\"), -1);
  EXPECT_TRUE(combo.GetLBText(0).empty());
  EXPECT_TRUE(combo.GetSelectedText().empty());

  // A handle whose window is gone is no live window either.
  HWND gone = CreateWindowExA(0, "Button", "gone", BS_AUTOCHECKBOX, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(gone, nullptr);
  DestroyWindow(gone);
  button.hwnd = gone;
  EXPECT_EQ(button.SetWindowText("x"), FALSE);
  EXPECT_TRUE(button.GetWindowText().empty());
  EXPECT_EQ(button.GetCheck(), 0);
}

// Catches: wrong number formatting or parsing, and text cut at the string's first storage block.
TEST_F(COVWndTest, TextAndNumbers) {
  COVEditCtrl path;
  COVStaticTextCtrl label;
  Attach(path, IDC_GEN_PATH);
  Attach(label, IDC_GEN_MAX_LABEL);
  EXPECT_STREQ(label.GetText().c_str(), "100");
  EXPECT_EQ(label.GetWindowInt(), 100);

  EXPECT_TRUE(label.SetWindowInt(-42));
  EXPECT_STREQ(label.GetWindowText().c_str(), "-42");
  EXPECT_TRUE(label.SetWindowInt64(5000000000LL));
  EXPECT_STREQ(label.GetWindowText().c_str(), "5000000000");
  EXPECT_TRUE(label.SetWindowInt64(INT64_MIN));
  EXPECT_STREQ(label.GetWindowText().c_str(), "-9223372036854775808");

  for (const auto& [text, number] : {std::pair<const char*, int32_t>{"12ab", 12}, {"", 0}, {"  -7x", -7}, {"x1", 0}}) {
    EXPECT_TRUE(path.SetWindowText(text));
    EXPECT_EQ(path.GetWindowInt(), number) << '"' << text << '"';
  }
  const std::string longPath = "\\" + std::string(300, 'v') + "\\buffer.mpg";
  EXPECT_TRUE(path.SetText(COVStringT(longPath.c_str())));
  EXPECT_EQ(std::string(path.GetText().c_str()), longPath);
}

// Catches: enabling on any non-zero flag, check state not reaching the control, posted
// messages sent to the wrong window.
TEST_F(COVWndTest, EnableCheckAndPost) {
  COVButtonCtrl box;
  Attach(box, IDC_GEN_PREALLOCATE);
  for (const auto& [flag, enabled] : {std::pair<int, bool>{1, true}, {0, false}, {0x101, true}, {2, false},
                                      {0x100, false}, {-255, true}}) {
    box.EnableWindow(flag);
    EXPECT_EQ(IsWindowEnabled(box.hwnd) != FALSE, enabled) << "flag " << flag;
  }
  box.SetCheck(BST_CHECKED);
  EXPECT_EQ(box.GetCheck(), BST_CHECKED);
  box.SetCheck(BST_UNCHECKED);
  EXPECT_EQ(box.GetCheck(), BST_UNCHECKED);
  EXPECT_TRUE(box.PostMessage(BM_SETCHECK, BST_CHECKED, 0));
  test::DialogHost::Pump();
  EXPECT_EQ(box.GetCheck(), BST_CHECKED);
}

// Catches: trackbar range halves swapped or not both set, and an up-down that does not write
// its position into the edit as plain digits.
TEST_F(COVWndTest, SliderRangeAndSpinBuddy) {
  COVSliderCtrl slider;
  COVSpinCtrl spin;
  COVEditCtrl edit;
  Attach(slider, IDC_GEN_MAXSIZE);
  Attach(spin, IDC_GEN_BUFFERING_SPIN);
  Attach(edit, IDC_GEN_BUFFERING);
  slider.SetRange(1, 10140, FALSE);
  int low = 0, high = 0;
  slider.GetRange(&low, &high);
  EXPECT_EQ(low, 1);
  EXPECT_EQ(high, 10140);
  slider.SendMessage(TBM_SETPOS, TRUE, 20000);
  EXPECT_EQ(slider.SendMessage(TBM_GETPOS, 0, 0), 10140);

  spin.SendMessage(UDM_SETRANGE, 0, 0x020C7FFF);
  spin.SendMessage(UDM_SETPOS, 0, 20000);
  EXPECT_STREQ(edit.GetWindowText().c_str(), "20000");
  spin.SendMessage(UDM_SETPOS, 0, 100);
  EXPECT_EQ(edit.GetWindowInt(), 524) << "clamped to the range's lower limit";
}

// Catches: item data landing on the wrong item in a sorted list, and prefix selection that is
// case-sensitive or needs the whole text.
TEST_F(COVWndTest, SortedComboBox) {
  COVComboBox drives;
  Attach(drives, IDC_GEN_DRIVE);
  EXPECT_EQ(drives.AddString("D:\\ - INSUFFICIENT SPACE", 0), 0);
  EXPECT_EQ(drives.AddString("C:\\ - 10240 MBYTES AVAILABLE", 10240), 0);
  EXPECT_EQ(drives.AddString("Z:\\ - 4000000 MBYTES AVAILABLE", 4000000), 2);
  EXPECT_EQ(drives.GetItemData(0), 10240);
  EXPECT_EQ(drives.GetItemData(1), 0);
  EXPECT_EQ(drives.GetItemData(2), 4000000);
  EXPECT_EQ(drives.GetCurSel(), -1);
  EXPECT_TRUE(drives.GetSelectedText().empty());

  EXPECT_EQ(drives.SelectString("d:\\"), 1);
  EXPECT_EQ(drives.GetCurSel(), 1);
  EXPECT_STREQ(drives.GetSelectedText().c_str(), "D:\\ - INSUFFICIENT SPACE");
  EXPECT_EQ(drives.SelectString("Q:\\"), -1);
  EXPECT_EQ(drives.GetCurSel(), 1) << "a failed search keeps the selection";
  EXPECT_EQ(drives.SetCurSel(2), 2);
  EXPECT_STREQ(drives.GetLBText(0).c_str(), "C:\\ - 10240 MBYTES AVAILABLE");
  EXPECT_TRUE(drives.GetLBText(7).empty());
}

// Catches: geometry calls that pass corners where sizes are due or convert only one corner, and
// a focus change that does not report the window that had the focus.
TEST_F(COVWndTest, Geometry) {
  COVStaticTextCtrl caption;
  COVEditCtrl path;
  COVEditCtrl buffering;
  Attach(caption, IDC_GEN_MAXSIZE_CAPTION);
  Attach(path, IDC_GEN_PATH);
  Attach(buffering, IDC_GEN_BUFFERING);

  EXPECT_TRUE(caption.MoveWindow(RECT{10, 20, 110, 70}, TRUE));
  RECT window{};
  EXPECT_TRUE(caption.GetRect(&window));
  MapWindowPoints(nullptr, host_.dialog(), reinterpret_cast<POINT*>(&window), 2);
  EXPECT_EQ(window.left, 10);
  EXPECT_EQ(window.top, 20);
  EXPECT_EQ(window.right, 110);
  EXPECT_EQ(window.bottom, 70);

  EXPECT_TRUE(caption.GetWindowRect(&window));
  EXPECT_TRUE(caption.ScreenToClient(&window));
  EXPECT_EQ(window.left, 0);
  EXPECT_EQ(window.top, 0);
  EXPECT_EQ(window.right, 100);
  EXPECT_EQ(window.bottom, 50);

  SetActiveWindow(GetParent(host_.dialog()));
  path.SetFocus();
  EXPECT_EQ(buffering.SetFocus(), path.hwnd);
  EXPECT_EQ(GetFocus(), buffering.hwnd);
}

}  // namespace
}  // namespace ovts
