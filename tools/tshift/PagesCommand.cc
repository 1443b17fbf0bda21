// `tshift pages`: the built-in live source through the filter into a sink that keeps nothing,
// with the module's property frame open on the running filter, so that a person can watch the
// Status page move and change settings while the stream runs. It ends when the frame is closed.
// When standard input is a pipe it takes lines: "page N" brings page N (1 to 4) to the front and
// answers "page N: TITLE" on standard output once it is painted; "quit" closes the frame, and at
// the end of the lines the frame stays until it is closed.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "pages/CTSPropertyFrame.h"
#include "tools/tshift/CStreamSink.h"
#include "tools/tshift/CTsLiveSource.h"
#include "tools/tshift/Commands.h"
#include "tools/tshift/HostSupport.h"
#include "tools/tshift/TimeShiftGraph.h"

namespace ovts::tshift {

namespace {

constexpr char kPagesRegistryBase[] = "Software\\Orvanta\\TShiftPages";
constexpr char kPagesFolder[] = "C:\\ovts-pages\\";
constexpr wchar_t kPagesBufferFile[] = L"TShift-pages.mpg";
constexpr uint32_t kPagesBufferKB = 65536;  // a minute at 8 Mbit/s: room to seek about
constexpr DWORD kFrameShowMs = 20000;

// The session's own buffer: its folder, gone when the graph stops; caches for the source's rate.
HRESULT StoreSessionSettings(IOVTimeShiftFilter* control, uint32_t kbps) {
  CreateDirectoryW(Widen(kPagesFolder).c_str(), nullptr);
  TSBufferConfig config{};
  config.directory = SysAllocString(Widen(kPagesFolder).c_str());
  config.fileName = SysAllocString(kPagesBufferFile);
  config.sizeKB = kPagesBufferKB;
  config.minFreeMB = 128;
  config.initialTimeShift = 524288;
  config.options = DeleteOnClose;
  RETURN_IF_FAILED(control->SetBufferSettings(&config));  // takes the strings over
  return control->SetCacheBitRate(kbps);
}

void Say(const std::string& text) { WriteAll(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), text.size()); }

// Serves "page N" lines until "quit" (true) or the end of the input (false).
bool ServeLines(const CTSPropertyFrame& frame) {
  std::string line;
  while (ReadLine(GetStdHandle(STD_INPUT_HANDLE), &line)) {
    if (line == "quit") return true;
    if (line.rfind("page ", 0) != 0) {
      WriteError("tshift: unknown line '" + line + "' (page N, quit)\n");
      continue;
    }
    const int number = std::atoi(line.c_str() + 5);
    std::wstring title;
    const HRESULT hr = frame.ShowPage(number - 1, &title);
    if (FAILED(hr)) {
      WriteError("tshift: cannot show page " + line.substr(5) + ": " + ErrorText(hr) + "\n");
      continue;
    }
    Say("page " + std::to_string(number) + ": " + Narrow(title) + "\n");
  }
  return false;
}

}  // namespace

int RunPages(const Options& options) {
  const uint32_t kbps = options.bitRateKbps ? options.bitRateKbps : kDemoBitRateKbps;
  TimeShiftGraph graph;
  std::string error;
  if (FAILED(graph.Create(options.registry.empty() ? kPagesRegistryBase : options.registry, &error))) return Fail(error);
  if (options.registry.empty()) {
    const HRESULT hr = StoreSessionSettings(graph.Control(), kbps);
    if (FAILED(hr)) return Fail("cannot store the session's settings: " + ErrorText(hr));
  }
  std::string note;
  error = CheckBufferPlace(graph.Control(), &note);
  if (!error.empty()) return Fail(error);
  if (!note.empty()) WriteError("tshift: note: " + note + "\n");

  HANDLE nowhere = CreateFileW(L"NUL", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (nowhere == INVALID_HANDLE_VALUE) return Fail("cannot open NUL: " + ErrorText(HRESULT_FROM_WIN32(GetLastError())));
  ComPtr<CTsLiveSource> source;
  ComPtr<CStreamSink> sink;
  HRESULT hr = CTsLiveSource::Create(kbps * 1000, &source);
  if (SUCCEEDED(hr)) hr = CStreamSink::Create(nowhere, true, nullptr, uint64_t{kbps} * 1000 / 8, &sink);
  else CloseHandle(nowhere);
  if (FAILED(hr)) return Fail("cannot create the session's filters: " + ErrorText(hr));
  if (FAILED(graph.Build(source.Get(), L"Live MPEG-TS Source", sink.Get(), &error))) return Fail(error);
  hr = graph.Run();
  if (FAILED(hr)) {
    graph.Stop();
    return Fail("the graph would not run: " + ErrorText(hr));
  }

  CTSPropertyFrame frame;
  hr = frame.Open(graph.TimeShift().filter.Get(), OVTS_FILTER_NAME);
  if (SUCCEEDED(hr) && !frame.WaitForWindow(kFrameShowMs)) hr = FAILED(frame.Result()) ? frame.Result() : E_FAIL;
  if (FAILED(hr)) {
    frame.Close();
    graph.Stop();
    return Fail("cannot open the property pages: " + ErrorText(hr));
  }
  // Without "quit" the person closes the frame.
  const bool piped = GetFileType(GetStdHandle(STD_INPUT_HANDLE)) == FILE_TYPE_PIPE;
  if (!piped) WriteError("tshift: the property pages are open on the running filter; close them to stop\n");
  if (!piped || !ServeLines(frame)) WaitForSingleObject(frame.Closed(), INFINITE);
  frame.Close();
  hr = graph.Stop();
  if (FAILED(hr)) return Fail("the graph would not stop: " + ErrorText(hr));
  return kExitOk;
}

}  // namespace ovts::tshift
