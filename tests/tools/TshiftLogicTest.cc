// The host's own logic, without a graph: the command line a person types, the commands typed at
// the console, the status arithmetic, and the demo's judge of a delivered stream. A judge that
// misplaces a mark or lets a jump through would pass a broken filter.
#include <gtest/gtest.h>

#include <vector>

#include "tools/common/TsGenerator.h"
#include "tools/tshift/CommandLine.h"
#include "tools/tshift/ControlProtocol.h"
#include "tools/tshift/DeliveryCheck.h"
#include "tools/tshift/HostCommands.h"
#include "tools/tshift/StatusFigures.h"

namespace ovts::tshift {
namespace {

ParseResult Parse(std::vector<std::string> args) { return ParseCommandLine(args); }

TEST(TshiftCommandLine, AcceptsEachCommandWithItsOptions) {
  // Catches options lost between forms (--x v and --x=v) or given to the wrong command.
  ParseResult r = Parse({"play", "--in", "-", "--out=out.ts", "--bitrate", "20000", "--registry", "Software\\Me"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.options.command, Command::kPlay);
  EXPECT_EQ(r.options.in, "-");
  EXPECT_EQ(r.options.out, "out.ts");
  EXPECT_EQ(r.options.bitRateKbps, 20000u);
  EXPECT_EQ(r.options.registry, "Software\\Me");

  r = Parse({"demo"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.options.bitRateKbps, kDemoBitRateKbps);
  EXPECT_TRUE(r.options.out.empty());

  r = Parse({"settings", "set", "Max BufSize (KB)", "65536"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.options.command, Command::kSettingsSet);
  EXPECT_EQ(r.options.settingName, "Max BufSize (KB)");
  EXPECT_EQ(r.options.settingValue, "65536");

  r = Parse({"pages", "--bitrate=4000", "--registry", "Software\\Me"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.options.command, Command::kPages);
  EXPECT_EQ(r.options.bitRateKbps, 4000u);
  EXPECT_EQ(r.options.registry, "Software\\Me");

  r = Parse({"unregister", "Z:\\x\\ovts.ax"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.options.module, "Z:\\x\\ovts.ax");
  EXPECT_EQ(Parse({"play", "--help"}).options.command, Command::kHelp);
  EXPECT_EQ(Parse({}).options.command, Command::kHelp);
}

TEST(TshiftCommandLine, RefusesBadInputWithOneLine) {
  // Catches a bad command line that would run anyway (with a default the person did not ask for).
  const std::vector<std::vector<std::string>> bad = {
      {"frobnicate"},
      {"play"},                                 // no --in
      {"play", "--in"},                         // no value
      {"play", "--in="},
      {"play", "--in", "x.ts", "--loud"},      // unknown option
      {"play", "--in", "x.ts", "extra"},
      {"play", "--in", "x.ts", "--bitrate", "fast"},
      {"play", "--in", "x.ts", "--bitrate", "-8000"},
      {"play", "--in", "x.ts", "--bitrate", "10"},  // below the range
      {"demo", "--registry", "Software\\X"},    // the demo keeps its own key
      {"demo", "--out", "-"},
      {"settings", "set", "Drive"},
      {"settings", "show", "Drive"},
      {"register", "a.ax", "b.ax"},
  };
  for (const auto& args : bad) {
    const ParseResult r = Parse(args);
    EXPECT_FALSE(r.ok) << args[0];
    EXPECT_FALSE(r.error.empty());
    EXPECT_EQ(r.error.find('\n'), std::string::npos) << r.error;
  }
}

TEST(TshiftHostCommands, KeysAndLinesMeanTheSame) {
  // Catches a typed command that does something other than its key, or junk taken as a command.
  std::string error;
  EXPECT_EQ(CommandForKey(' ').kind, HostCommand::kTogglePause);
  EXPECT_EQ(CommandForLine("p", &error).kind, HostCommand::kTogglePause);
  EXPECT_EQ(CommandForLine("  PAUSE ", &error).kind, HostCommand::kPause);
  HostCommand back = CommandForLine("back 30", &error);
  EXPECT_EQ(back.kind, HostCommand::kSeek);
  EXPECT_DOUBLE_EQ(back.seconds, -30.0);
  EXPECT_DOUBLE_EQ(CommandForLine("forward", &error).seconds, kSeekStepSeconds);
  EXPECT_DOUBLE_EQ(CommandForKey('b').seconds, -kSeekStepSeconds);
  EXPECT_EQ(CommandForKey('\x1b').kind, HostCommand::kQuit);
  EXPECT_EQ(CommandForKey('o').kind, HostCommand::kPages);
  EXPECT_EQ(CommandForLine("pages", &error).kind, HostCommand::kPages);
  EXPECT_EQ(CommandForLine("", &error).kind, HostCommand::kNone);
  EXPECT_TRUE(error.empty());
  for (const char* junk : {"back -5", "back soon", "live now", "rewind", "back 1 2"}) {
    EXPECT_EQ(CommandForLine(junk, &error).kind, HostCommand::kNone) << junk;
    EXPECT_FALSE(error.empty()) << junk;
  }
}

TEST(TshiftHostCommands, SecondsAndExportLines) {
  // Catches the seconds of a seek or an export read wrongly, an export's file cut at a blank or
  // taken for its seconds, "export stop" taken for quit, and bad seconds let through as a seek.
  std::string error;
  HostCommand c = CommandForLine("behind 0", &error);
  EXPECT_EQ(c.kind, HostCommand::kBehindLive) << error;
  EXPECT_DOUBLE_EQ(c.seconds, 0.0);
  EXPECT_DOUBLE_EQ(CommandForLine("Behind 90.5", &error).seconds, 90.5);
  EXPECT_DOUBLE_EQ(CommandForLine("back\t2.5", &error).seconds, -2.5);

  c = CommandForKey('e');
  EXPECT_EQ(c.kind, HostCommand::kExport);
  EXPECT_DOUBLE_EQ(c.seconds, kExportDefaultSeconds);
  EXPECT_TRUE(c.path.empty()) << "the key's file gets a new name";
  c = CommandForLine("export", &error);
  EXPECT_EQ(c.kind, HostCommand::kExport);
  EXPECT_DOUBLE_EQ(c.seconds, kExportDefaultSeconds);
  EXPECT_TRUE(c.path.empty());
  c = CommandForLine("  export 45   ", &error);
  EXPECT_DOUBLE_EQ(c.seconds, 45.0);
  EXPECT_TRUE(c.path.empty());
  c = CommandForLine("export 5 C:\\My Clips\\goal 1.ts ", &error);
  EXPECT_EQ(c.kind, HostCommand::kExport) << error;
  EXPECT_DOUBLE_EQ(c.seconds, 5.0);
  EXPECT_EQ(c.path, "C:\\My Clips\\goal 1.ts");
  EXPECT_EQ(CommandForLine("EXPORT stop", &error).kind, HostCommand::kExportStop);
  EXPECT_EQ(CommandForLine("export cancel", &error).kind, HostCommand::kExportCancel);
  EXPECT_EQ(CommandForLine("stop", &error).kind, HostCommand::kQuit);

  for (const char* junk : {"behind", "behind -1", "behind nan", "behind 1e9", "behind 5 6", "export clip.ts",
                           "export 0 clip.ts", "export -5", "export inf", "export stop now", "export cancel x",
                           "forward 0", "e 5"}) {
    EXPECT_EQ(CommandForLine(junk, &error).kind, HostCommand::kNone) << junk;
    EXPECT_FALSE(error.empty()) << junk;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

TEST(TshiftCommandLine, ControlChannelAndKeys) {
  // Catches a control address that would listen beyond this machine, and a ctl whose command
  // words ("help", "back -5") are taken for its own options.
  ParseResult r = Parse({"play", "--in", "-", "--control", "127.0.0.1:0", "--keys", "Z:\\tmp\\keys"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.options.control, "127.0.0.1:0");
  EXPECT_EQ(r.options.keys, "Z:\\tmp\\keys");
  r = Parse({"ctl", "7700", "pause", "help", "back -5", "--in"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.options.command, Command::kCtl);
  EXPECT_EQ(r.options.lines, (std::vector<std::string>{"pause", "help", "back -5", "--in"}));
  EXPECT_TRUE(Parse({"ctl", "\\\\.\\pipe\\tshift"}).ok);
  EXPECT_EQ(Parse({"demo", "--keys", "k"}).options.keys, "k");
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"play", "--in", "-", "--control", "0.0.0.0:7700"},
           {"play", "--in", "-", "--control", "192.168.1.2:7700"},
           {"play", "--in", "-", "--control", "70000"},
           {"play", "--in", "-", "--control", "\\\\.\\pipe\\"},
           {"ctl"},
           {"ctl", "0", "status"},
           {"pages", "--keys", "k"}}) {
    r = Parse(bad);
    EXPECT_FALSE(r.ok) << bad.back();
    EXPECT_EQ(r.error.find('\n'), std::string::npos) << r.error;
  }
  ControlAddress address;
  std::string error;
  ASSERT_TRUE(ParseControlAddress("localhost:7700", &address, &error));
  EXPECT_EQ(FormatControlAddress(address), "127.0.0.1:7700");
  ASSERT_TRUE(ParseControlAddress("\\\\.\\pipe\\tshift", &address, &error));
  EXPECT_EQ(address.kind, ControlAddress::kPipe);
}

std::vector<HostCommand::Kind> Kinds(const std::vector<HostCommand>& commands) {
  std::vector<HostCommand::Kind> kinds;
  for (const HostCommand& c : commands) kinds.push_back(c.kind);
  return kinds;
}

TEST(TshiftKeyDecoder, TerminalBytesAreTheConsolesKeys) {
  // Catches an arrow key taken for Esc (and so quitting), a sequence split between reads that is
  // lost, and keys without a meaning (up, F5, Alt+q) that do something.
  using K = HostCommand::Kind;
  KeyDecoder keys;
  std::vector<HostCommand> got = keys.Feed("\x1b[C");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].kind, K::kSeek);
  EXPECT_DOUBLE_EQ(got[0].seconds, kSeekStepSeconds);
  got = keys.Feed("\x1bOD");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_DOUBLE_EQ(got[0].seconds, -kSeekStepSeconds);
  EXPECT_EQ(Kinds(keys.Feed("\x1b")), (std::vector<K>{K::kQuit}));
  EXPECT_TRUE(keys.Feed("\x1b[1;").empty()) << "half of ctrl+right";
  EXPECT_EQ(Kinds(keys.Feed("5C l")), (std::vector<K>{K::kSeek, K::kTogglePause, K::kLive}));
  EXPECT_TRUE(keys.Feed("\x1b[A\x1b[15~\x1bq\x1b\x1b\xc3\xa9\r\n").empty());
  EXPECT_EQ(Kinds(keys.Feed("sxoh?\x03")),
            (std::vector<K>{K::kStatus, K::kFlush, K::kPages, K::kHelp, K::kHelp, K::kQuit}));
  EXPECT_TRUE(keys.Feed(std::string("\x1b[") + std::string(40, '1') + "C").empty()) << "an endless sequence";
  EXPECT_EQ(Kinds(keys.Feed("l")), (std::vector<K>{K::kLive}));
}

TEST(TshiftControlLines, LinesJunkAndOverlongLines) {
  // Catches a line lost or merged across reads, junk or an endless line taken as a command or
  // buffered without bound, and a line after the junk that is lost.
  ControlLineReader reader;
  std::string line, error;
  reader.Feed("pau", 3);
  EXPECT_FALSE(reader.Next(&line, &error));
  reader.Feed("se\r\nstatus\nba", 13);
  ASSERT_TRUE(reader.Next(&line, &error));
  EXPECT_EQ(line, "pause");
  ASSERT_TRUE(reader.Next(&line, &error));
  EXPECT_EQ(line, "status");
  EXPECT_FALSE(reader.Next(&line, &error));
  reader.Feed("ck 30\n\x00\xff\x01junk\nlive\n", 20);
  ASSERT_TRUE(reader.Next(&line, &error));
  EXPECT_EQ(line, "back 30");
  ASSERT_TRUE(reader.Next(&line, &error));
  EXPECT_TRUE(line.empty());
  EXPECT_NE(error.find("not a command line"), std::string::npos);
  ASSERT_TRUE(reader.Next(&line, &error));
  EXPECT_EQ(line, "live");

  const std::string endless(ControlLineReader::kMaxLine + 1, 'a');
  reader.Feed(endless.data(), endless.size());
  ASSERT_TRUE(reader.Next(&line, &error)) << "refused once past the limit, before its end";
  EXPECT_NE(error.find("longer than"), std::string::npos);
  for (int i = 0; i < 100; ++i) reader.Feed(endless.data(), endless.size());
  EXPECT_FALSE(reader.Next(&line, &error));
  EXPECT_EQ(reader.Pending(), 0u) << "the rest of an over-long line is not kept";
  reader.Feed("aaa\nquit\n", 9);
  ASSERT_TRUE(reader.Next(&line, &error));
  EXPECT_EQ(line, "quit");
  EXPECT_TRUE(error.empty());
}

TEST(TshiftStatusFigures, DelayTimeSourceAndExportEnds) {
  // Catches a delay computed in the wrong unit, a status line whose seconds are not the filter's
  // own (or whose byte figures the scripts can no longer find), and an export's failure told
  // without its meaning.
  EXPECT_DOUBLE_EQ(SecondsAt(1000000, 8000000), 1.0);
  EXPECT_LT(SecondsAt(1000000, 0), 0.0);
  EXPECT_EQ(FormatSeconds(-1), "?");
  EXPECT_EQ(BytesFor(-8.0, 8000000), -8000000);
  EXPECT_EQ(FormatBytes(1048576 * 3 / 2), "1.5 MB");
  EXPECT_EQ(FormatSignedBytes(-512 * 1024), "-512 KB");
  // A wrapped buffer: the play position counts from the oldest retained byte.
  EXPECT_EQ(BytesBehindLive({.total = 100, .current = 100, .readLocation = 30}), 70);
  EXPECT_EQ(BytesBehindLive({.total = 100, .current = 20, .readLocation = 25}), 0);

  BufferStatus status{.total = 16 << 20, .current = 8 << 20, .readLocation = 6 << 20, .playState = TSSTATE_PLAYING};
  std::string line = FormatStatus(status, BytesBehindLive(status), 1 << 20);
  EXPECT_NE(line.find("delay ? (2.0 MB)  retained ?  untimed  out 1.0 MB"), std::string::npos) << line;
  status.time = {.retainedSeconds = 16.04, .delaySeconds = 4.0, .bitsPerSecond = 4200000, .source = TSTIME_STREAM_CLOCK};
  line = FormatStatus(status, BytesBehindLive(status), 1 << 20);
  EXPECT_NE(line.find("delay 4.0 s (2.0 MB)  retained 16.0 s  stream clock 4.20 Mbit/s  out 1.0 MB"), std::string::npos)
      << line;
  status.time.source = TSTIME_MEASURED_RATE;
  EXPECT_NE(FormatStatus(status, 0, 0).find("measured rate"), std::string::npos);

  const auto system = [](int32_t) { return std::string("SYSTEM TEXT"); };
  TSExportProgress ended{TSEXPORT_FAILED, OVTS_E_OVERTAKEN, 1 << 20, 2.0};
  line = ExportEndText(ended, system);
  EXPECT_EQ(line.find("SYSTEM TEXT"), std::string::npos) << line;
  EXPECT_NE(line.find("failed after 2.0 s (1.0 MB): the recording overwrote"), std::string::npos) << line;
  ended.result = OVTS_E_STREAM_RESET;
  EXPECT_NE(ExportEndText(ended, system).find("flushed or stopped"), std::string::npos);
  ended.result = static_cast<int32_t>(0x80070070);  // the disk is full
  EXPECT_NE(ExportEndText(ended, system).find(": SYSTEM TEXT; the file holds"), std::string::npos);
  EXPECT_EQ(ExportEndText({TSEXPORT_DONE, 0, 3 << 20, 5.0}, system), "done, 5.0 s (3.0 MB) saved");
  EXPECT_EQ(ExportEndText({TSEXPORT_CANCELLED}, system), "cancelled, the file deleted");
}

// A generated stream cut into delivered pieces, as the filter's output would be.
class Delivery {
 public:
  explicit Delivery(uint32_t bitRate) : generator_(tools::TsStreamLayout{.bitRate = bitRate}) {
    stream_.resize(4000 * tools::kTsPacketSize);
    generator_.Next(stream_.data(), 4000);
  }
  // Delivers [from, from + length) of the stream, flagged or not.
  void Send(DeliveryCheck& check, size_t from, size_t length, bool mark) { check.OnSample(&stream_[from], length, mark); }

 private:
  tools::TsGenerator generator_;
  std::vector<uint8_t> stream_;
};

constexpr size_t kSample = 32768;
constexpr int64_t kWriteCache = 200000;
constexpr int64_t kReadCache = 100000;

TEST(TshiftDeliveryCheck, MarksAnswerTheirControlsAndJumpsAreMeasured) {
  // Catches marks counted against the wrong control, and a resume, seek or flush jump measured
  // wrongly, including a sample boundary that splits a packet across the mark.
  Delivery d(8000000);
  DeliveryCheck check(tools::TsStreamLayout{.bitRate = 8000000}, kWriteCache, kReadCache);
  check.OnControl(Control::kStart, 0);
  d.Send(check, 0, kSample, true);
  d.Send(check, kSample, kSample, false);
  check.OnControl(Control::kPause, 2 * kSample);
  check.OnControl(Control::kResume, 3 * kSample);
  d.Send(check, 2 * kSample + 5000, kSample, true);  // the read cache's 5000 bytes were dropped
  check.OnControl(Control::kSeek, 6 * kSample);
  d.Send(check, 1000, kSample, true);                // back to near the start
  check.OnControl(Control::kFlush, 10 * kSample);
  d.Send(check, 10 * kSample + 777, kSample, true);
  EXPECT_EQ(check.DeliveredPosition(), static_cast<int64_t>(11 * kSample + 777));
  check.OnControl(Control::kLive, 16 * kSample);
  d.Send(check, 16 * kSample - 250000, kSample, true);  // within the two caches of the newest byte

  const DeliveryCheck::Summary s = check.Finish();
  EXPECT_TRUE(s.Passed()) << (s.faults.empty() ? "" : s.faults[0]);
  ASSERT_EQ(s.marks.size(), 5u);
  EXPECT_EQ(s.marks[0].to, 0);
  EXPECT_EQ(s.marks[1].control, Control::kResume);
  EXPECT_EQ(s.marks[1].to - s.marks[1].from, 5000);
  EXPECT_EQ(s.marks[2].to - s.marks[2].from, 1000 - static_cast<int64_t>(3 * kSample + 5000));
  EXPECT_EQ(s.marks[3].to, static_cast<int64_t>(10 * kSample + 777));
}

TEST(TshiftDeliveryCheck, FaultsAFilterThatBreaksTheRules) {
  // Catches each way a filter could mislead the demo: a mark nobody asked for, a control without
  // its mark, a resume that skips more than the read cache, a flush that replays old data, and
  // bytes lost without a mark.
  Delivery d(8000000);
  {
    DeliveryCheck check(tools::TsStreamLayout{.bitRate = 8000000}, kWriteCache, kReadCache);
    check.OnControl(Control::kStart, 0);
    d.Send(check, 0, kSample, true);
    d.Send(check, kSample, kSample, true);  // unasked
    EXPECT_FALSE(check.Finish().Passed());
  }
  {
    DeliveryCheck check(tools::TsStreamLayout{.bitRate = 8000000}, kWriteCache, kReadCache);
    check.OnControl(Control::kStart, 0);
    d.Send(check, 0, kSample, true);
    check.OnControl(Control::kPause, kSample);
    check.OnControl(Control::kResume, 2 * kSample);
    d.Send(check, kSample + kReadCache + 188, kSample, true);
    check.OnControl(Control::kFlush, 4 * kSample);
    d.Send(check, 3 * kSample, kSample, true);  // older than the flush
    check.OnControl(Control::kLive, 12 * kSample);
    d.Send(check, 12 * kSample - kWriteCache - kReadCache - 188, kSample, true);  // too far behind
    check.OnControl(Control::kSeek, 13 * kSample);
    const DeliveryCheck::Summary s = check.Finish();
    ASSERT_EQ(s.faults.size(), 4u);
    EXPECT_NE(s.faults[0].find("resume"), std::string::npos);
    EXPECT_NE(s.faults[1].find("flush"), std::string::npos);
    EXPECT_NE(s.faults[2].find("jump to live"), std::string::npos);
    EXPECT_NE(s.faults[3].find("no mark after seek"), std::string::npos);
  }
  {
    DeliveryCheck check(tools::TsStreamLayout{.bitRate = 8000000}, kWriteCache, kReadCache);
    check.OnControl(Control::kStart, 0);
    d.Send(check, 0, kSample, true);
    d.Send(check, kSample + 188 * 3, kSample, false);  // three packets gone, no mark
    const DeliveryCheck::Summary s = check.Finish();
    EXPECT_FALSE(s.Passed());
    EXPECT_GT(s.stream.lostPackets, 0u);
  }
  {
    DeliveryCheck check(tools::TsStreamLayout{.bitRate = 8000000}, kWriteCache, kReadCache);
    check.OnControl(Control::kStart, 0);
    d.Send(check, 4 * kSample, kSample, true);  // the start skipped recorded bytes
    EXPECT_FALSE(check.Finish().Passed());
  }
}

TEST(TshiftExportCheck, PassesTheSourcesPacketsAndFaultsEveryOtherFile) {
  // Catches a judge that would pass an export cut inside a packet, with a damaged, missing or
  // made-up packet, of the wrong length, or far from the live edge it was asked at.
  constexpr uint32_t kRate = 1000000;  // 125,000 bytes a second
  constexpr size_t kP = tools::kTsPacketSize;
  std::vector<uint8_t> stream(4000 * kP);
  tools::TsGenerator(tools::TsStreamLayout{.bitRate = kRate}).Next(stream.data(), 4000);
  constexpr size_t kFirst = 600 * kP;
  constexpr size_t kLength = 3324 * kP;  // 5.0 s
  constexpr int64_t kEnd = kFirst + kLength;
  const ExportCheck asked{.layout = {.bitRate = kRate}, .seconds = 5.0, .recordedBefore = kEnd + 20000,
                          .recordedAfter = kEnd + 60000, .writeCacheBytes = 50000};
  const auto judge = [&](const std::vector<uint8_t>& file, const ExportCheck& check) {
    return check.Judge(file.data(), file.size());
  };
  const std::vector<uint8_t> good(stream.begin() + kFirst, stream.begin() + kEnd);
  ExportCheck::Verdict v = judge(good, asked);
  EXPECT_TRUE(v.Passed()) << v.faults[0];
  EXPECT_EQ(v.first, static_cast<int64_t>(kFirst));
  EXPECT_EQ(v.packets, 3324u);

  std::vector<uint8_t> file(stream.begin() + kFirst + 5, stream.begin() + kEnd + 5);
  EXPECT_FALSE(judge(file, asked).Passed()) << "cut inside a packet";
  file = good;
  file[kLength / 2] ^= 0x10;
  v = judge(file, asked);
  ASSERT_EQ(v.faults.size(), 1u);
  EXPECT_NE(v.faults[0].find("1 of 3324 packets differ"), std::string::npos) << v.faults[0];
  file = good;
  file.erase(file.begin() + 1000 * kP, file.begin() + 1001 * kP);
  file.insert(file.end(), stream.begin() + kEnd, stream.begin() + kEnd + kP);
  EXPECT_FALSE(judge(file, asked).Passed()) << "a packet lost inside";
  file = good;
  file.resize(kLength - 100);
  EXPECT_FALSE(judge(file, asked).Passed()) << "a partial packet at the end";
  file.assign(stream.begin() + kEnd - 250 * kP, stream.begin() + kEnd);
  EXPECT_FALSE(judge(file, asked).Passed()) << "0.4 s for 5 s";
  EXPECT_FALSE(judge({}, asked).Passed());

  ExportCheck late = asked;
  late.recordedBefore = kEnd + 3 * 125000;
  late.recordedAfter = kEnd + 4 * 125000;
  EXPECT_FALSE(judge(good, late).Passed()) << "3 s before the live edge";
  ExportCheck early = asked;
  early.recordedAfter = kEnd - kP;
  EXPECT_FALSE(judge(good, early).Passed()) << "a packet the source had not sent";
}

}  // namespace
}  // namespace ovts::tshift
