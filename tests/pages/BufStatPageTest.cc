// The Status page on the real filter streaming in the platform's graph: the figures and the
// thumb follow the buffer once a second, the trackbar seeks only on the scroll codes that mean
// it, and the buttons reach the filter.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <cstdlib>

#include "PageTestSupport.h"
#include "pages/resource.h"

namespace ovts::test {
namespace {

class BufStatPage : public testing::Test {
 protected:
  void SetUp() override { page_.Activate(); }

  HWND Trackbar() const { return page_.Item(IDC_STAT_POSITION); }
  int Thumb() const { return static_cast<int>(SendMessageW(Trackbar(), TBM_GETPOS, 0, 0)); }
  int64_t Shown(int id) const { return std::atoll(Text(page_.Item(id)).c_str()); }
  // Where the thumb belongs by the figures on show.
  int ThumbForShown() const {
    const int64_t current = Shown(IDC_STAT_CURRENT);
    return current == 0 ? 0 : static_cast<int>(Shown(IDC_STAT_READ) * 1000 / current);
  }
  // A refresh tick, as the page's timer delivers it.
  void Tick() { SendMessageW(GetParent(Trackbar()), WM_TIMER, 1, 0); }
  // Waits for the page's own timer to show new figures.
  bool NextRefresh() {
    const std::string write = Text(page_.Item(IDC_STAT_WRITE));
    return PumpUntil(10000, [&] { return Text(page_.Item(IDC_STAT_WRITE)) != write; });
  }
  int64_t Read() const { return rig_.Figure(&IOVTimeShiftFilter::GetReadLocation); }
  // A seek's target from the thumb; recording goes on meanwhile, so the filled size it was
  // taken from may have grown by a few samples.
  void ExpectSeekedToThumb() {
    const int64_t current = rig_.Figure(&IOVTimeShiftFilter::GetCurrentBufferSize);
    EXPECT_NEAR(static_cast<double>(Read()), static_cast<double>(Thumb() * current / 1000), 256.0 * 1024);
  }

  TimeShiftRig rig_{"status"};
  ActivePage page_{CLSID_TSBufStatPropPage, rig_.Object()};
};

// Catches: a division by an empty buffer, a thumb placed with the wrong arithmetic, and a
// refresh timer that never runs or is not started again with a new dialog.
TEST_F(BufStatPage, FiguresAndThumbFollowTheBuffer) {
  EXPECT_EQ(SendMessageW(Trackbar(), TBM_GETRANGEMAX, 0, 0), 1000);
  EXPECT_EQ(Shown(IDC_STAT_CURRENT), 0);
  EXPECT_EQ(Thumb(), 0) << "an empty buffer puts the thumb at 0";
  rig_.Stream();
  for (int round = 0; round < 4; ++round) {
    if (round == 2) {
      page_.Deactivate();
      page_.Activate();
    }
    ASSERT_TRUE(NextRefresh()) << round;
    EXPECT_GT(Shown(IDC_STAT_CURRENT), 0);
    EXPECT_EQ(Shown(IDC_STAT_TOTAL), 16 << 20);
    EXPECT_EQ(Thumb(), ThumbForShown());
  }
  EXPECT_EQ(page_.Page()->IsPageDirty(), S_FALSE);
}

// Catches: seeks on arrow keys or Home/End, a seek to the wrong byte, a thumb that moves while
// the person holds it, and a filter that takes a second seek within the second.
TEST_F(BufStatPage, TrackbarSeeksOnlyWhenMeant) {
  rig_.Stream();
  Click(page_.Item(IDC_STAT_PAUSE));  // holds the read location while recording goes on
  ASSERT_EQ(rig_.PlayState(), TSSTATE_PAUSED);
  const int64_t paused = Read();
  for (const auto& [key, thumb] : {std::pair<UINT, int>{VK_END, 1000}, {VK_LEFT, 999}, {VK_HOME, 0}, {VK_RIGHT, 1}}) {
    PressKey(Trackbar(), key);
    EXPECT_EQ(Thumb(), thumb) << key;
  }
  EXPECT_EQ(Read(), paused) << "lines and ends do not seek";
  Tick();
  EXPECT_EQ(Thumb(), ThumbForShown()) << "the next refresh puts the thumb back";

  DragThumb(Trackbar(), 0.3);
  const int held = Thumb();
  EXPECT_TRUE(NextRefresh()) << "the figures go on";
  EXPECT_EQ(Thumb(), held) << "the held thumb stays";
  EXPECT_EQ(Read(), paused) << "dragging does not seek";
  DropThumb(Trackbar());
  ExpectSeekedToThumb();
  const int64_t seeked = Read();
  EXPECT_NE(seeked, paused);

  PressKey(Trackbar(), VK_NEXT);
  EXPECT_EQ(Read(), seeked) << "a second seek within a second is ignored";
  Tick();
  EXPECT_EQ(Thumb(), ThumbForShown());
  ASSERT_TRUE(NextRefresh() && NextRefresh()) << "a second later";
  PressKey(Trackbar(), VK_PRIOR);
  ExpectSeekedToThumb();
}

// Catches: a pause button out of step with its text, a page that reads the filter's own pause
// state, and a flush that does not reach the buffer.
TEST_F(BufStatPage, ButtonsPauseResumeAndFlush) {
  rig_.Stream();
  HWND pause = page_.Item(IDC_STAT_PAUSE);
  Click(pause);
  EXPECT_EQ(Text(pause), "Resume");
  EXPECT_EQ(rig_.PlayState(), TSSTATE_PAUSED);
  Click(pause);
  EXPECT_EQ(Text(pause), "Pause");
  EXPECT_EQ(rig_.PlayState(), TSSTATE_PLAYING);

  ASSERT_TRUE(rig_.Sink()->WaitForBytes(4 << 20, 20000));
  const int64_t before = rig_.Figure(&IOVTimeShiftFilter::GetCurrentBufferSize);
  Click(page_.Item(IDC_STAT_FLUSH));
  EXPECT_LT(rig_.Figure(&IOVTimeShiftFilter::GetCurrentBufferSize), before / 2) << "the buffer was emptied";

  // The page remembers its own pause across a new dialog, whose button starts as "&Pause".
  Click(page_.Item(IDC_STAT_PAUSE));
  page_.Deactivate();
  page_.Activate();
  EXPECT_EQ(Text(page_.Item(IDC_STAT_PAUSE)), "&Pause");
  Click(page_.Item(IDC_STAT_PAUSE));
  EXPECT_EQ(rig_.PlayState(), TSSTATE_PLAYING) << "the press resumed";
  EXPECT_EQ(Text(page_.Item(IDC_STAT_PAUSE)), "Pause");
  // The host's own pause is not the page's: the next press pauses again.
  rig_.Control()->Pause();
  Click(page_.Item(IDC_STAT_PAUSE));
  EXPECT_EQ(Text(page_.Item(IDC_STAT_PAUSE)), "Resume");
  EXPECT_EQ(rig_.PlayState(), TSSTATE_PAUSED);
  Click(page_.Item(IDC_STAT_PAUSE));
  EXPECT_EQ(rig_.PlayState(), TSSTATE_PLAYING);
  EXPECT_EQ(page_.Page()->IsPageDirty(), S_FALSE);
}

// Catches: a page that hides which file the buffer records into (another filter may hold the
// configured one, and then the buffer takes a name beside it).
TEST_F(BufStatPage, RecordingLineNamesTheFileOrTheProblem) {
  HWND line = page_.Item(IDC_STAT_RECORDING);
  Tick();
  EXPECT_EQ(Text(line), "") << "stopped, and nothing is wrong";
  rig_.Stream();
  Tick();
  EXPECT_EQ(Text(line), "Buffer file: " + rig_.Folder() + "buffer.bin");
}

// Catches: a page that says nothing when the buffer refused to start, so the graph sits silent.
TEST(BufStatPageRefused, RecordingLineSaysWhyTheBufferDidNotStart) {
  TimeShiftRig refused("status-refused");
  ActivePage page{CLSID_TSBufStatPropPage, refused.Object()};
  page.Activate();
  TSBufferConfig tiny{nullptr, nullptr, 32, 128, 0x80000, DeleteOnClose};  // under one 64 KB output chunk
  ASSERT_EQ(refused.Control()->SetBufferSettings(&tiny), S_OK);
  EXPECT_EQ(refused.Pause(), E_INVALIDARG);
  SendMessageW(GetParent(page.Item(IDC_STAT_RECORDING)), WM_TIMER, 1, 0);
  EXPECT_NE(Text(page.Item(IDC_STAT_RECORDING)).find("smaller than one output chunk"), std::string::npos)
      << Text(page.Item(IDC_STAT_RECORDING));
}

}  // namespace
}  // namespace ovts::test
