// Test main with a watchdog: a test that hangs fails the program instead of hanging CI.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

// Arms at each test's start and ends the process when that test is still running at the limit.
class Watchdog : public testing::EmptyTestEventListener {
 public:
  explicit Watchdog(int seconds) : seconds_(seconds), thread_([this] { Run(); }) {}
  ~Watchdog() override {
    {
      std::lock_guard<std::mutex> lock(m_);
      quit_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

  void OnTestStart(const testing::TestInfo& info) override {
    std::lock_guard<std::mutex> lock(m_);
    name_ = std::string(info.test_suite_name()) + "." + info.name();
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds_);
    armed_ = true;
    cv_.notify_all();
  }
  void OnTestEnd(const testing::TestInfo&) override {
    std::lock_guard<std::mutex> lock(m_);
    armed_ = false;
    cv_.notify_all();
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(m_);
    while (!quit_) {
      if (!armed_) {
        cv_.wait(lock);
        continue;
      }
      if (cv_.wait_until(lock, deadline_) == std::cv_status::timeout && armed_ && !quit_ &&
          std::chrono::steady_clock::now() >= deadline_) {
        std::fprintf(stderr, "\nWATCHDOG: %s still running after %d s; it hangs.\n", name_.c_str(), seconds_);
        std::fflush(stderr);
        std::_Exit(3);
      }
    }
  }

  const int seconds_;
  std::mutex m_;
  std::condition_variable cv_;
  bool armed_ = false;
  bool quit_ = false;
  std::string name_;
  std::chrono::steady_clock::time_point deadline_;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const char* limit = std::getenv("OVTS_TEST_WATCHDOG_S");
  int seconds = limit ? std::atoi(limit) : 90;
  auto* watchdog = new Watchdog(seconds > 0 ? seconds : 90);
  testing::UnitTest::GetInstance()->listeners().Append(watchdog);
  int result = RUN_ALL_TESTS();
  testing::UnitTest::GetInstance()->listeners().Release(watchdog);
  delete watchdog;
  return result;
}
