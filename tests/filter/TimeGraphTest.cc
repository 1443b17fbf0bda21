// The time interface and property set in the platform's graph: a variable-rate transport stream
// that ffmpeg makes (two rates alternating every 5 s) read by the platform's File Source (Async)
// into the filter and played to the test sink; seeks by the stream's seconds, the time figures,
// and exports that ffprobe reads, ended by a graph Stop.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "TimeShiftGraph.h"

namespace ovts::test {
namespace {

constexpr size_t kPacket = tools::kTsPacketSize;
constexpr double kStreamSeconds = 45;
// A write cache that takes the whole file as fast as the File Source reads it: nothing dropped.
constexpr TSCacheConfig kLargeCaches = {24576, 1024, 0, 1024, 128, 75};

// The Unix path of a Windows path in this prefix.
std::string UnixPath(const std::string& path) {
  using ToUnix = char*(CDECL*)(LPCWSTR);
  const auto toUnix = reinterpret_cast<ToUnix>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32"), "wine_get_unix_file_name")));
  if (!toUnix) return {};
  const std::wstring wide(path.begin(), path.end());
  char* unix = toUnix(wide.c_str());
  if (!unix) return {};
  std::string result(unix);
  HeapFree(GetProcessHeap(), 0, unix);
  return result;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return bytes;
  bytes.resize(GetFileSize(file.get(), nullptr));
  DWORD read = 0;
  if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) read = 0;
  bytes.resize(read);
  return bytes;
}

// The stream's own time at any byte: its PCRs (of the first PID carrying one; ffmpeg's clock
// starts far from its wrap) interpolated; before the first and after the last at the nearest
// pair's rate.
class StreamClock {
 public:
  explicit StreamClock(const std::vector<uint8_t>& ts) {
    int pid = -1;
    for (size_t p = 0; p + kPacket <= ts.size(); p += kPacket) {
      const uint8_t* h = &ts[p];
      const int packetPid = ((h[1] & 0x1F) << 8) | h[2];
      if (!(h[3] & 0x20) || h[4] < 7 || !(h[5] & 0x10) || (pid >= 0 && packetPid != pid)) continue;
      pid = packetPid;
      const uint64_t base = (uint64_t{h[6]} << 25) | (h[7] << 17) | (h[8] << 9) | (h[9] << 1) | (h[10] >> 7);
      const uint64_t extension = ((h[10] & 1) << 8) | h[11];
      pcrs_.push_back({static_cast<double>(p), (base * 300 + extension) / 27e6});
    }
  }
  size_t count() const { return pcrs_.size(); }
  double At(double position) const {
    size_t i = 1;
    while (i + 1 < pcrs_.size() && pcrs_[i].position < position) ++i;
    const Pcr& a = pcrs_[i - 1];
    const Pcr& b = pcrs_[i];
    return a.seconds + (position - a.position) * (b.seconds - a.seconds) / (b.position - a.position);
  }

 private:
  struct Pcr {
    double position, seconds;
  };
  std::vector<Pcr> pcrs_;
};

class TimeGraphTest : public TimeShiftGraphTest {
 protected:
  void SetUp() override {
    TimeShiftGraphTest::SetUp();
    unixDir_ = UnixPath(dir_);
    ASSERT_FALSE(unixDir_.empty());
    stream_ = dir_ + "vbr.ts";
    // Video whose noise, on every other 5 s, more than doubles the rate at a constant quality.
    char command[512];
    std::snprintf(command, sizeof command,
                  "/usr/bin/ffmpeg -nostdin -loglevel error -y -f lavfi -i "
                  "'testsrc2=s=320x240:r=25,noise=alls=60:allf=t:enable=lt(mod(t\\,10)\\,5)' "
                  "-t %.0f -c:v mpeg2video -q:v 12 -g 25 -f mpegts %svbr.ts",
                  kStreamSeconds, unixDir_.c_str());
    ASSERT_EQ(RunUnix(command), 0) << command;
    bytes_ = ReadFileBytes(stream_);
    ASSERT_GT(bytes_.size(), 10000000u);

    AddFilter(new CTSFilter(nullptr), 65536, kLargeCaches);
    ASSERT_HRESULT_SUCCEEDED(filter_->QueryInterface(IID_PPV_ARGS(&time_)));
    ASSERT_HRESULT_SUCCEEDED(filter_->QueryInterface(IID_PPV_ARGS(&properties_)));
    AddPullSource(stream_);
    TestSinkConfig sink;
    sink.onSample = [this](const AM_SAMPLE2_PROPERTIES& p) {
      std::lock_guard<std::mutex> guard(firstLock_);
      if (watching_ && (p.dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY) && first_.empty())
        first_.assign(p.pbBuffer, p.pbBuffer + std::min<long>(p.lActual, 4 * kPacket));
    };
    AddSink(sink);
  }
  void TearDown() override {
    time_.Reset();
    properties_.Reset();
    TimeShiftGraphTest::TearDown();
  }

  // Runs the graph until the buffer file holds the whole stream.
  void Record() {
    ASSERT_HRESULT_SUCCEEDED(media_->Run());
    ASSERT_TRUE(WaitUntil([&] { return filter_->Buffer().GetStreamSpan().stored == static_cast<int64_t>(bytes_.size()); }, kWaitMs))
        << filter_->Buffer().GetStreamSpan().stored << " of " << bytes_.size();
    ASSERT_EQ(filter_->Buffer().GetDroppedBytes(), 0u);
  }
  TSTimeStatus Status() {
    TSTimeStatus status{};
    DWORD returned = 0;
    EXPECT_EQ(properties_->Get(TSPROPSETID_Time, TSPROPERTY_TIME_STATUS, nullptr, 0, &status, sizeof status, &returned), S_OK);
    EXPECT_EQ(returned, sizeof status);
    return status;
  }
  // Where in the stream the first byte of the first discontinuous sample since Watch lies.
  int64_t FirstPosition() {
    EXPECT_TRUE(sink_->WaitFor(kWaitMs, [&](const TestSinkStats&) {
      std::lock_guard<std::mutex> guard(firstLock_);
      return !first_.empty();
    }));
    std::lock_guard<std::mutex> guard(firstLock_);
    if (first_.empty()) return -1;
    for (size_t at = 0; at + first_.size() <= bytes_.size(); ++at)
      if (std::equal(first_.begin(), first_.end(), bytes_.begin() + at)) return static_cast<int64_t>(at);
    return -1;
  }
  void Watch() {
    std::lock_guard<std::mutex> guard(firstLock_);
    watching_ = true;
    first_.clear();
  }
  // Runs a shell command line on the Linux side and returns its exit code, or -1. Wine starts
  // Linux programs but hands out no process to wait for, so the command leaves its exit code in a
  // file, renamed into place whole, which the test waits for.
  int RunUnix(const std::string& command) {
    const std::string done = dir_ + "exit-code";
    DeleteFileA(done.c_str());
    std::string line = "/bin/sh -c \"" + command + "; echo $? > " + unixDir_ + "exit.tmp && mv " + unixDir_ +
                       "exit.tmp " + unixDir_ + "exit-code\"";
    STARTUPINFOA startup{sizeof startup};
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
      return -1;
    UniqueHandle thread(process.hThread), handle(process.hProcess);
    if (!WaitUntil([&] { return GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES; }, 120000)) return -1;
    const std::vector<uint8_t> code = ReadFileBytes(done);
    return code.empty() ? -1 : std::atoi(std::string(code.begin(), code.end()).c_str());
  }
  // What ffprobe makes of a file: its duration in seconds, or -1 when it cannot read it.
  double ProbeSeconds(const std::string& file) {
    const std::string out = unixDir_ + "probe.txt";
    DeleteFileA((dir_ + "probe.txt").c_str());
    const std::string command = "/usr/bin/ffprobe -v error -show_entries format=duration -of csv=p=0 -o " + out +
                                " " + UnixPath(file);
    if (RunUnix(command) != 0) return -1;
    const std::vector<uint8_t> text = ReadFileBytes(dir_ + "probe.txt");
    return text.empty() ? -1 : std::atof(std::string(text.begin(), text.end()).c_str());
  }
  TSExportProgress Progress() {
    TSExportProgress progress{};
    EXPECT_EQ(time_->GetExportProgress(&progress), S_OK);
    return progress;
  }

  std::string unixDir_, stream_;
  std::vector<uint8_t> bytes_;
  ComPtr<IOVTimeShiftTime> time_;
  ComPtr<IKsPropertySet> properties_;
  std::mutex firstLock_;
  bool watching_ = false;       // firstLock_
  std::vector<uint8_t> first_;  // firstLock_
};

TEST_F(TimeGraphTest, SeekingBackBySecondsLandsOnAPacketAtThatStreamTime) {
  // Catches seconds counted at an average rate instead of the stream's clock, a landing off the
  // packet grid (the demultiplexer would have to resync), a seek without its discontinuity mark,
  // retained seconds off the clock, a second seek let in within the second, and a property set
  // that takes writes.
  const StreamClock clock(bytes_);
  ASSERT_GT(clock.count(), 100u);
  EXPECT_EQ(time_->SeekBehindLive(1), VFW_E_WRONG_STATE) << "stopped";
  Record();

  const TSTimeStatus status = Status();
  EXPECT_EQ(status.source, TSTIME_STREAM_CLOCK);
  const double retained = clock.At(bytes_.size()) - clock.At(0);
  EXPECT_NEAR(status.retainedSeconds, retained, retained * 0.01);
  double delay = -2;
  DWORD returned = 0;
  ASSERT_EQ(properties_->Get(TSPROPSETID_Time, TSPROPERTY_TIME_DELAY, nullptr, 0, &delay, sizeof delay, &returned), S_OK);
  EXPECT_GE(delay, 0);
  EXPECT_EQ(properties_->Set(TSPROPSETID_Time, TSPROPERTY_TIME_DELAY, nullptr, 0, &delay, sizeof delay),
            HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
  DWORD support = 0;
  ASSERT_EQ(properties_->QuerySupported(TSPROPSETID_Time, TSPROPERTY_TIME_SOURCE, &support), S_OK);
  EXPECT_EQ(support, static_cast<DWORD>(KSPROPERTY_SUPPORT_GET));

  Watch();
  ASSERT_EQ(time_->SeekBehindLive(30), S_OK);
  EXPECT_EQ(time_->SeekRelative(-5), S_FALSE) << "within a second of the last seek";
  const int64_t landed = FirstPosition();
  ASSERT_GE(landed, 0) << "the first sample after the seek is no stretch of the stream";
  EXPECT_EQ(landed % kPacket, 0u);
  EXPECT_EQ(bytes_[landed], 0x47);
  EXPECT_NEAR(clock.At(landed), clock.At(bytes_.size()) - 30, 0.5);
  EXPECT_EQ(time_->SeekBehindLive(-1), E_INVALIDARG);
  ASSERT_HRESULT_SUCCEEDED(media_->Stop());
}

TEST_F(TimeGraphTest, ExportsAreWholePacketsAndAGraphStopEndsOne) {
  // Catches an export cut off the packet grid or off its seconds, a file ffprobe cannot read, a
  // cancel that leaves the file, and a graph Stop that hangs on an export, leaves its thread
  // running or its handle on the buffer file.
  const std::wstring file = std::wstring(dir_.begin(), dir_.end()) + L"export.ts";
  const std::string narrow = dir_ + "export.ts";
  EXPECT_EQ(time_->StartExport(file.c_str(), 20, 10), VFW_E_WRONG_STATE) << "stopped";
  Record();

  ASSERT_EQ(time_->StartExport(file.c_str(), 10, 20), E_INVALIDARG);
  ASSERT_EQ(time_->StartExport(file.c_str(), 20, 10), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return Progress().state != TSEXPORT_RUNNING; }, kWaitMs));
  const TSExportProgress done = Progress();
  EXPECT_EQ(done.state, TSEXPORT_DONE);
  EXPECT_NEAR(done.secondsCovered, 10, 0.2);
  const std::vector<uint8_t> saved = ReadFileBytes(narrow);
  ASSERT_EQ(saved.size(), done.bytesWritten);
  ASSERT_GT(saved.size(), 0u);
  EXPECT_EQ(saved.size() % kPacket, 0u);
  EXPECT_EQ(saved[0], 0x47);
  EXPECT_NEAR(ProbeSeconds(narrow), 10, 1.0);

  ASSERT_EQ(time_->StartExport(file.c_str(), 5, TS_EXPORT_FOLLOW_LIVE), S_OK);
  EXPECT_EQ(time_->StartExport(file.c_str(), 5, 1), HRESULT_FROM_WIN32(ERROR_BUSY));
  EXPECT_EQ(time_->CancelExport(), S_OK);
  EXPECT_EQ(Progress().state, TSEXPORT_CANCELLED);
  EXPECT_EQ(GetFileAttributesA(narrow.c_str()), INVALID_FILE_ATTRIBUTES);

  ASSERT_EQ(time_->StartExport(file.c_str(), 5, TS_EXPORT_FOLLOW_LIVE), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return Progress().secondsCovered >= 4; }, kWaitMs));
  ASSERT_HRESULT_SUCCEEDED(media_->Stop());
  EXPECT_EQ(Progress().state, TSEXPORT_DONE) << "a live-following export ends with the recording";
  EXPECT_EQ(time_->StopExport(), S_FALSE);
  // Nothing holds the buffer file open any more.
  UniqueHandle alone(CreateFileA(BufferPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_NE(alone.get(), INVALID_HANDLE_VALUE);
  EXPECT_GT(ProbeSeconds(narrow), 0);
}

}  // namespace
}  // namespace ovts::test
