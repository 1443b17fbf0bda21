// `tshift demo`: the main job on a built-in live source. A scripted session drives the filter
// through IOVTimeShiftFilter (live, pause, resume, seek back, jump to live, flush, stop) while
// the sink writes the delivered stream to a file and a DeliveryCheck judges it; on the way it
// saves the last seconds through IOVTimeShiftTime and judges that file against what the source
// sent. The demo keeps its own settings key and buffer folder, so a user's settings are never
// touched.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "tools/tshift/CStreamSink.h"
#include "tools/tshift/CTsLiveSource.h"
#include "tools/tshift/CommandInput.h"
#include "tools/tshift/Commands.h"
#include "tools/tshift/DeliveryCheck.h"
#include "tools/tshift/HostSupport.h"
#include "tools/tshift/TimeShiftGraph.h"

namespace ovts::tshift {

namespace {

constexpr char kDemoRegistryBase[] = "Software\\Orvanta\\TShiftDemo";
constexpr char kDemoFolder[] = "C:\\ovts-demo\\";
constexpr wchar_t kDemoBufferFile[] = L"TShift-demo.mpg";
constexpr uint32_t kDemoBufferKB = 16384;  // wraps after about 16 s at 8 Mbit/s
constexpr DWORD kMarkWaitMs = 15000;       // longest a control may take to show in the output
constexpr double kExportSeconds = 5.0;
constexpr int kExportLimitSeconds = 15;    // longest the export of a few seconds may take

// The saved stretch: what was found, and every broken rule.
struct ExportOutcome {
  std::string path;
  ExportCheck::Verdict verdict;
  std::vector<std::string> faults;  // the verdict's and the export's own
};

// The whole file, or false with *error set.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* data, std::string* error) {
  UniqueHandle file(CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  LARGE_INTEGER size{};
  if (!file || !GetFileSizeEx(file.get(), &size)) {
    *error = "cannot read " + path + ": " + ErrorText(HRESULT_FROM_WIN32(GetLastError()));
    return false;
  }
  data->resize(static_cast<size_t>(size.QuadPart));
  DWORD read = 0;
  for (size_t at = 0; at < data->size(); at += read) {
    if (!ReadFile(file.get(), data->data() + at, static_cast<DWORD>(std::min<size_t>(data->size() - at, 1 << 20)), &read,
                  nullptr) ||
        read == 0) {
      *error = "cannot read " + path + ": " + ErrorText(HRESULT_FROM_WIN32(GetLastError()));
      return false;
    }
  }
  return true;
}

class DemoSession {
 public:
  DemoSession(TimeShiftGraph& graph, CTsLiveSource& source, DeliveryCheck& check, uint64_t bitsPerSecond,
              CommandInput& input)
      : graph_(graph), source_(source), check_(check), bitsPerSecond_(bitsPerSecond), input_(input),
        start_(GetTickCount64()) {}

  // Issues one control, telling the check first so that its mark cannot arrive unannounced.
  void Issue(Control control, HRESULT (IOVTimeShiftFilter::*method)(), const char* what) {
    Step(what);
    check_.OnControl(control, source_.Stream()->AcceptedEnd());
    Report((graph_.Control()->*method)(), what);
  }

  void SeekBy(double seconds) {
    char what[64];
    std::snprintf(what, sizeof what, "seek %+.0f s", seconds);
    Step(what);
    check_.OnControl(Control::kSeek, source_.Stream()->AcceptedEnd());
    Report(graph_.Control()->SetPlayPosition(BytesFor(seconds, bitsPerSecond_), 2), what);
  }

  // Waits until the last control shows in the output; false (and a note) when it never does.
  bool AwaitMark(const char* what) {
    if (check_.WaitForMarks(kMarkWaitMs)) return true;
    WriteOutput("  no output within " + std::to_string(kMarkWaitMs / 1000) + " s after " + what + "\n");
    return false;
  }

  // Saves the last kExportSeconds to path while the session goes on, with a status line every
  // second until the export has ended, then judges the file. False when the person quit.
  bool Export(const std::string& path, ExportCheck check, ExportOutcome* outcome) {
    char what[64];
    std::snprintf(what, sizeof what, "export the last %.0f s to %s", check.seconds, path.c_str());
    Step(what);
    outcome->path = path;
    IOVTimeShiftTime* time = graph_.TimeShift().time.Get();
    if (!time) {
      outcome->faults.push_back("the filter offers no time interface to export with");
      return true;
    }
    check.recordedBefore = source_.Stream()->AcceptedEnd();
    HRESULT hr = time->StartExport(Widen(path).c_str(), check.seconds, 0);
    TSExportProgress progress{TSEXPORT_RUNNING};
    for (int second = 0; SUCCEEDED(hr) && progress.state == TSEXPORT_RUNNING; ++second) {
      if (second == kExportLimitSeconds) {
        time->CancelExport();
        outcome->faults.push_back("the export had not ended after " + std::to_string(kExportLimitSeconds) + " s");
        return true;
      }
      if (!Hold(1)) return false;
      hr = time->GetExportProgress(&progress);
    }
    if (FAILED(hr)) {
      outcome->faults.push_back("the export answered " + ErrorText(hr));
      return true;
    }
    check.recordedAfter = source_.Stream()->AcceptedEnd();
    if (progress.state != TSEXPORT_DONE) {
      outcome->faults.push_back("the export ended " +
                                ExportEndText(progress, [](int32_t code) { return ErrorText(static_cast<HRESULT>(code)); }));
      return true;
    }
    std::vector<uint8_t> data;
    std::string error;
    if (!ReadWholeFile(path, &data, &error)) {
      outcome->faults.push_back(error);
      return true;
    }
    outcome->verdict = check.Judge(data.data(), data.size());
    outcome->faults.insert(outcome->faults.end(), outcome->verdict.faults.begin(), outcome->verdict.faults.end());
    return true;
  }

  // Lets the session run, with a status line every second. False when the person quit.
  bool Hold(int seconds) {
    for (int i = 0; i < seconds; ++i) {
      const ULONGLONG due = GetTickCount64() + 1000;
      for (ULONGLONG now = GetTickCount64(); now < due; now = GetTickCount64()) {
        if (WaitForSingleObject(input_.Ready(), static_cast<DWORD>(due - now)) != WAIT_OBJECT_0) break;
        WriteOutput(input_.TakeMessage());
        for (HostRequest r = input_.Take(); r.command.kind != HostCommand::kNone; r = input_.Take())
          if (r.command.kind == HostCommand::kQuit) return false;
      }
      PrintStatus();
    }
    return true;
  }

  void PrintStatus() {
    const BufferStatus status = graph_.TimeShift().Status();
    const int64_t delivered = check_.DeliveredPosition();
    const int64_t delay = delivered >= 0 ? source_.Stream()->AcceptedEnd() - delivered : BytesBehindLive(status);
    WriteOutput(Clock() + "  " + FormatStatus(status, delay, graph_.Sink().Counts().bytes) + "\n");
  }

  void Step(const char* what) { WriteOutput(Clock() + "  -- " + what + "\n"); }

 private:
  void Report(HRESULT hr, const char* what) {
    if (FAILED(hr)) WriteOutput(std::string("  ") + what + " answered " + ErrorText(hr) + "\n");
  }

  std::string Clock() const {
    char text[16];
    std::snprintf(text, sizeof text, "[%5.1f s]", static_cast<double>(GetTickCount64() - start_) / 1000.0);
    return text;
  }

  TimeShiftGraph& graph_;
  CTsLiveSource& source_;
  DeliveryCheck& check_;
  const uint64_t bitsPerSecond_;
  CommandInput& input_;
  const ULONGLONG start_;
};

// Live, pause, resume, seek back, jump to live, export, flush. False when the person quit early.
// A control whose mark never comes is left for the check's verdict; the script goes on.
bool RunScript(DemoSession& s, const std::string& exportPath, const ExportCheck& exportCheck, ExportOutcome* exported) {
  s.Step("live");
  s.AwaitMark("the start");
  if (!s.Hold(5)) return false;
  s.Issue(Control::kPause, &IOVTimeShiftFilter::Pause, "pause");
  if (!s.Hold(4)) return false;
  s.Issue(Control::kResume, &IOVTimeShiftFilter::Resume, "resume");
  s.AwaitMark("resume");
  if (!s.Hold(4)) return false;
  s.SeekBy(-8);
  s.AwaitMark("the seek");
  if (!s.Hold(5)) return false;
  s.Issue(Control::kLive, &IOVTimeShiftFilter::SeekToLive, "jump to live");
  s.AwaitMark("the jump to live");
  if (!s.Hold(4)) return false;
  // Before the flush, which would end it.
  if (!s.Export(exportPath, exportCheck, exported)) return false;
  s.Issue(Control::kFlush, &IOVTimeShiftFilter::Flush, "flush");
  s.AwaitMark("the flush");
  return s.Hold(4);
}

std::string Verdict(const DeliveryCheck::Summary& s, const ExportOutcome& exported, const std::string& outPath,
                    uint64_t bitsPerSecond, int64_t recorded, double seconds) {
  char line[256];
  std::string text = "\ntshift demo: summary\n";
  std::snprintf(line, sizeof line, "  source        %.1f Mbit/s MPEG-TS, %s recorded in %.1f s\n",
                static_cast<double>(bitsPerSecond) / 1e6, FormatBytes(recorded).c_str(), seconds);
  text += line;
  std::snprintf(line, sizeof line, "  delivered     %s in %llu samples to %s\n", FormatBytes(static_cast<int64_t>(s.bytes)).c_str(),
                static_cast<unsigned long long>(s.samples), outPath.c_str());
  text += line;
  for (const DeliveryCheck::Mark& m : s.marks) {
    const int64_t jump = m.from >= 0 && m.to >= 0 ? m.to - m.from : 0;
    std::snprintf(line, sizeof line, "  mark          %-13s at stream byte %lld, %s (%s)%s%s\n", ControlName(m.control),
                  static_cast<long long>(m.to), FormatSignedBytes(jump).c_str(),
                  FormatSeconds(SecondsAt(jump < 0 ? -jump : jump, bitsPerSecond)).c_str(),
                  m.fault.empty() ? "" : ": ", m.fault.c_str());
    text += line;
  }
  std::snprintf(line, sizeof line,
                "  continuity    %llu packets checked: %llu lost, %llu repeated, %llu continuity errors, %llu corrupt\n",
                static_cast<unsigned long long>(s.stream.packets), static_cast<unsigned long long>(s.stream.lostPackets),
                static_cast<unsigned long long>(s.stream.repeatedPackets),
                static_cast<unsigned long long>(s.stream.ccErrors), static_cast<unsigned long long>(s.stream.corruptPackets));
  text += line;
  const ExportCheck::Verdict& v = exported.verdict;
  if (v.first >= 0) {
    std::snprintf(line, sizeof line, "  export        %s (%s) of stream bytes %lld to %lld in %s: %s\n",
                  FormatSeconds(v.seconds).c_str(), FormatBytes(static_cast<int64_t>(v.packets * tools::kTsPacketSize)).c_str(),
                  static_cast<long long>(v.first), static_cast<long long>(v.first + v.packets * tools::kTsPacketSize),
                  exported.path.c_str(),
                  exported.faults.empty() ? "whole packets, each the one the source sent" : "see below");
    text += line;
  }
  for (const std::string& fault : s.faults) text += "  FAULT         " + fault + "\n";
  for (const std::string& fault : exported.faults) text += "  FAULT         export: " + fault + "\n";
  text += s.Passed() && exported.faults.empty() ? "  result        PASS: every check held\n" : "  result        FAIL\n";
  return text;
}

}  // namespace

int RunDemo(const Options& options) {
  std::string folder = options.bufferDir.empty() ? kDemoFolder : options.bufferDir;
  if (folder.back() != '\\') folder += '\\';
  const std::string outPath = options.out.empty() ? folder + "delivered.ts" : options.out;
  const uint64_t bitsPerSecond = uint64_t{options.bitRateKbps} * 1000;

  // Declared before the graph: the sink feeds it until the graph has stopped.
  std::optional<DeliveryCheck> check;
  TimeShiftGraph graph;
  std::string note;
  std::string error = graph.Open(
      kDemoRegistryBase,
      [&](IOVTimeShiftFilter* c) {
        // A file that wraps during the session and goes away when the graph stops.
        return StoreSessionSettings(c, {folder, kDemoBufferFile, kDemoBufferKB, PreAllocate | DeleteOnClose},
                                    options.bitRateKbps);
      },
      &note);
  if (!error.empty()) return Fail(error);
  if (!note.empty()) WriteOutput("note: " + note + "\n");
  TSCacheConfig caches{};
  graph.Control()->GetCacheSettings(&caches);
  check.emplace(tools::TsStreamLayout{.bitRate = static_cast<uint32_t>(bitsPerSecond)},
                static_cast<int64_t>(caches.inputCacheKB) * 1024, static_cast<int64_t>(caches.outputCacheKB) * 1024);
  ComPtr<CTsLiveSource> source;
  error = graph.Connect({.makeSource =
                             [&](ComPtr<IBaseFilter>* made) {
                               RETURN_IF_FAILED(CTsLiveSource::Create(static_cast<uint32_t>(bitsPerSecond), &source));
                               *made = source;
                               return S_OK;
                             },
                         .sourceProblem = "cannot create the live source",
                         .sourceName = L"Live MPEG-TS Source",
                         .output = outPath,
                         .check = &*check,
                         .outputBytesPerSecond = bitsPerSecond / 8});
  if (!error.empty()) return Fail(error);

  CommandInput input;
  input.Start(false, options.keys, &error);
  if (!error.empty()) return Fail(error);
  WriteOutput("tshift demo: " + FormatBytes(int64_t{kDemoBufferKB} * 1024) + " buffer in " + folder + ", caches " +
      std::to_string(caches.inputCacheKB) + "/" + std::to_string(caches.outputCacheKB) + " KB, source " +
      std::to_string(options.bitRateKbps) + " kbit/s; q quits early\n");
  DemoSession session(graph, *source.Get(), *check, bitsPerSecond, input);
  const ULONGLONG started = GetTickCount64();
  check->OnControl(Control::kStart, 0);
  error = graph.Run();
  if (!error.empty()) return Fail(error);
  ExportOutcome exported;
  const bool completed =
      RunScript(session, folder + "export.ts",
                {.layout = {.bitRate = static_cast<uint32_t>(bitsPerSecond)}, .seconds = kExportSeconds,
                 .writeCacheBytes = static_cast<int64_t>(caches.inputCacheKB) * 1024},
                &exported);
  session.Step("stop");
  const std::string stopped = graph.Stop();
  const double seconds = static_cast<double>(GetTickCount64() - started) / 1000.0;
  const DeliveryCheck::Summary summary = check->Finish();
  WriteOutput(Verdict(summary, exported, outPath, bitsPerSecond, source->Stream()->AcceptedEnd(), seconds));
  if (!stopped.empty()) return Fail(stopped);
  if (!completed) return Fail("demo ended early");
  if (const DWORD writeError = graph.Sink().WriteError())
    return Fail("cannot write " + outPath + ": " + ErrorText(HRESULT_FROM_WIN32(writeError)));
  return summary.Passed() && exported.faults.empty() ? kExitOk : kExitError;
}

}  // namespace ovts::tshift
