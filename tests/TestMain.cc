// Test main with a watchdog: a test that hangs fails the program instead of hanging CI.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tools/common/Watchdog.h"

namespace {

// Arms the watchdog at each test's start: a test still running at the limit ends the program.
class TestWatchdog : public testing::EmptyTestEventListener {
 public:
  explicit TestWatchdog(int seconds) : limitMs_(static_cast<uint32_t>(seconds) * 1000), dog_(HangLine, 3) {}

  void OnTestStart(const testing::TestInfo& info) override {
    dog_.Arm(std::string(info.test_suite_name()) + "." + info.name(), limitMs_);
  }
  void OnTestEnd(const testing::TestInfo&) override { dog_.Disarm(); }

 private:
  static std::string HangLine(const std::string& test, uint32_t seconds) {
    return "\nWATCHDOG: " + test + " still running after " + std::to_string(seconds) + " s; it hangs.\n";
  }

  const uint32_t limitMs_;
  ovts::tools::Watchdog dog_;
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const char* limit = std::getenv("OVTS_TEST_WATCHDOG_S");
  int seconds = limit ? std::atoi(limit) : 90;
  auto* watchdog = new TestWatchdog(seconds > 0 ? seconds : 90);
  testing::UnitTest::GetInstance()->listeners().Append(watchdog);
  int result = RUN_ALL_TESTS();
  testing::UnitTest::GetInstance()->listeners().Release(watchdog);
  delete watchdog;
  return result;
}
