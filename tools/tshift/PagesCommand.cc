// `tshift pages`: the built-in live source through the filter into a sink that keeps nothing,
// with the module's property frame open on the running filter, so that a person can watch the
// Status page move and change settings while the stream runs. It ends when the frame is closed.
// When standard input is a pipe it takes lines: "page N" brings page N (1 to 4) to the front and
// answers "page N: TITLE" on standard output once it is painted; "quit" closes the frame, and at
// the end of the lines the frame stays until it is closed.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "tools/tshift/CTSPropertyFrame.h"
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
    WriteOutput("page " + std::to_string(number) + ": " + Narrow(title) + "\n");
  }
  return false;
}

}  // namespace

int RunPages(const Options& options) {
  const uint32_t kbps = options.bitRateKbps ? options.bitRateKbps : kDemoBitRateKbps;
  const bool ownSettings = options.registry.empty();
  TimeShiftGraph graph;
  std::string note;
  std::string error = graph.Open(ownSettings ? kPagesRegistryBase : options.registry,
                                 ownSettings ? [kbps](IOVTimeShiftFilter* c) {
                                   return StoreSessionSettings(c, {kPagesFolder, kPagesBufferFile, kPagesBufferKB, DeleteOnClose}, kbps);
                                 } : std::function<HRESULT(IOVTimeShiftFilter*)>(),
                                 &note);
  if (!error.empty()) return Fail(error);
  if (!note.empty()) WriteError("tshift: note: " + note + "\n");
  error = graph.Connect({.makeSource =
                             [kbps](ComPtr<IBaseFilter>* source) {
                               ComPtr<CTsLiveSource> live;
                               RETURN_IF_FAILED(CTsLiveSource::Create(kbps * 1000, &live));
                               *source = live;
                               return S_OK;
                             },
                         .sourceProblem = "cannot create the live source",
                         .sourceName = L"Live MPEG-TS Source",
                         .output = "",
                         .outputBytesPerSecond = uint64_t{kbps} * 1000 / 8});
  if (error.empty()) error = graph.Run();
  if (!error.empty()) return Fail(error);

  CTSPropertyFrame frame;
  HRESULT hr = frame.Open(graph.TimeShift().filter.Get(), OVTS_FILTER_NAME);
  if (SUCCEEDED(hr) && !frame.WaitForWindow(kFrameShowMs)) hr = FAILED(frame.Result()) ? frame.Result() : E_FAIL;
  if (FAILED(hr)) return Fail("cannot open the property pages: " + ErrorText(hr));
  // Without "quit" the person closes the frame.
  const bool piped = GetFileType(GetStdHandle(STD_INPUT_HANDLE)) == FILE_TYPE_PIPE;
  if (!piped) WriteError("tshift: the property pages are open on the running filter; close them to stop\n");
  if (!piped || !ServeLines(frame)) WaitForSingleObject(frame.Closed(), INFINITE);
  frame.Close();
  error = graph.Stop();
  return error.empty() ? kExitOk : Fail(error);
}

}  // namespace ovts::tshift
