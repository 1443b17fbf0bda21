// `tshift play`: a stream from a file (the platform's File Source (Async), pull mode) or from
// standard input (the host's live source) through the time-shift filter to a file or standard
// output, steered by the person's keys or lines and by the control channel's clients: seeks and
// exports count the stream's own seconds (IOVTimeShiftTime). Stops on
// quit, Ctrl-C, a closed output, or when the graph reports the stream complete (every byte of
// the ended input delivered).
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>

#include "tools/tshift/CTSPropertyFrame.h"
#include "tools/tshift/CStdinSource.h"
#include "tools/tshift/CStreamSink.h"
#include "tools/tshift/CommandInput.h"
#include "tools/tshift/Commands.h"
#include "tools/tshift/ControlServer.h"
#include "tools/tshift/HostSupport.h"
#include "tools/tshift/TimeShiftGraph.h"

namespace ovts::tshift {

namespace {

constexpr DWORD kTickMs = 1000;
constexpr int kMostExportNames = 100;  // tries at a free default name within one second

// The full form of a path as typed (relative to the current folder).
std::wstring FullPath(const std::string& path) {
  const std::wstring typed = Widen(path);
  const DWORD length = GetFullPathNameW(typed.c_str(), 0, nullptr, nullptr);
  if (length == 0) return typed;
  std::wstring full(length, L'\0');
  full.resize(GetFullPathNameW(typed.c_str(), length, full.data(), nullptr));
  return full;
}

class Player {
 public:
  Player(TimeShiftGraph& graph, CStdinStream* stdinStream, CommandInput& input)
      : graph_(graph), sink_(graph.Sink()), stdin_(stdinStream), input_(input), start_(GetTickCount64()),
        statusOnTerminal_(IsConsole(GetStdHandle(STD_ERROR_HANDLE))) {}

  // Runs until a reason to stop; returns the exit status.
  int Run() {
    ULONGLONG nextTick = GetTickCount64() + kTickMs;
    for (;;) {
      const ULONGLONG now = GetTickCount64();
      const DWORD wait = nextTick > now ? static_cast<DWORD>(nextTick - now) : 0;
      if (WaitForSingleObject(input_.Ready(), wait) == WAIT_OBJECT_0) {
        const std::string message = input_.TakeMessage();
        if (!message.empty()) Note(message);
        for (HostRequest r = input_.Take(); r.command.kind != HostCommand::kNone; r = input_.Take())
          if (!Handle(r)) return Finish("stopped", kExitOk);
      }
      if (GetTickCount64() < nextTick) continue;
      nextTick += kTickMs;
      Tick();
      if (const DWORD error = sink_.WriteError()) {
        // A player that quits closes its end of the pipe: that ends playback normally.
        if (error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED)
          return Finish("the output was closed", kExitOk);
        return Finish(nullptr, Fail("cannot write the output: " + ErrorText(HRESULT_FROM_WIN32(error))));
      }
      if (stdin_ && stdin_->ReadError())
        return Finish(nullptr, Fail("cannot read standard input: " + ErrorText(HRESULT_FROM_WIN32(stdin_->ReadError()))));
      if (TakeEvents()) return Finish("input ended and every byte was delivered", kExitOk);
    }
  }

 private:
  // Carries out a request and answers it; false when it asks to stop.
  bool Handle(const HostRequest& request) {
    std::string reply = "ok";
    const bool goOn = Carry(request.command, request.reply != nullptr, &reply);
    if (request.reply) request.reply(reply);
    return goOn;
  }

  // One command, from the person or from a client (remote); the person sees what it did, and
  // *reply becomes the client's reply when it is not "ok". False for quit.
  bool Carry(const HostCommand& c, bool remote, std::string* reply) {
    IOVTimeShiftFilter* control = graph_.Control();
    switch (c.kind) {
      case HostCommand::kQuit: return false;
      case HostCommand::kTogglePause:
        return Carry({Paused() ? HostCommand::kResume : HostCommand::kPause}, remote, reply);
      case HostCommand::kPause:
        if (Refused(control->Pause(), "cannot pause", reply)) break;
        Note("paused (recording goes on)\n");
        break;
      case HostCommand::kResume:
        if (Refused(control->Resume(), "cannot resume", reply)) break;
        Note("resumed\n");
        break;
      case HostCommand::kSeek:
      case HostCommand::kBehindLive: Seek(c, reply); break;
      case HostCommand::kLive:
        if (!Refused(control->SeekToLive(), "cannot jump to live now", reply)) Note("jumped to live\n");
        break;
      case HostCommand::kFlush:
        if (!Refused(control->Flush(), "cannot flush", reply))
          Note("flushed: the buffer starts again from the live stream\n");
        break;
      case HostCommand::kExport: StartExport(c, reply); break;
      case HostCommand::kExportStop:
      case HostCommand::kExportCancel: EndExport(c.kind == HostCommand::kExportCancel, reply); break;
      case HostCommand::kPages: OpenPages(reply); break;
      case HostCommand::kStatus:
        if (remote)
          *reply = StatusLine(graph_.TimeShift().Status());
        else
          Status(true);
        break;
      case HostCommand::kHelp:
        if (remote)
          *reply = CommandLineHelp();
        else
          Note(CommandHelp());
        break;
      case HostCommand::kNone: break;
    }
    return true;
  }

  // Tells the person and the client why a command failed; true when hr is a failure.
  bool Refused(HRESULT hr, const std::string& what, std::string* reply) {
    if (SUCCEEDED(hr)) return false;
    Refuse(what + ": " + ErrorText(hr), reply);
    return true;
  }

  void Refuse(const std::string& why, std::string* reply) {
    Note(why + "\n");
    *reply = "error: " + why;
  }

  // The time interface, or null after telling why there is none.
  IOVTimeShiftTime* Time(const char* what, std::string* reply) {
    IOVTimeShiftTime* time = graph_.TimeShift().time.Get();
    if (!time) Refuse(std::string(what) + ": the registered filter cannot count the stream's seconds", reply);
    return time;
  }

  // Tells the person and the client why the time interface did not act on a call; true then.
  // Its own codes are refusals of the moment, not failures of play. S_FALSE comes from seeks.
  bool TimeRefused(HRESULT hr, const std::string& what, std::string* reply) {
    if (hr == S_FALSE) Refuse("seek ignored: the filter takes one seek a second", reply);
    else if (hr == E_PENDING) Refuse(what + ": the stream cannot be timed yet (try again in a moment)", reply);
    else if (hr == VFW_E_WRONG_STATE) Refuse(what + ": the buffer is not running (stopped, or in pass-through)", reply);
    else return Refused(hr, what, reply);
    return true;
  }

  // kSeek from the play position, kBehindLive from live.
  void Seek(const HostCommand& c, std::string* reply) {
    IOVTimeShiftTime* time = Time("cannot seek", reply);
    if (!time) return;
    const bool fromLive = c.kind == HostCommand::kBehindLive;
    if (TimeRefused(fromLive ? time->SeekBehindLive(c.seconds) : time->SeekRelative(c.seconds), "cannot seek", reply))
      return;
    char text[64];
    if (fromLive)
      std::snprintf(text, sizeof text, "seek to %.0f s behind live\n", c.seconds);
    else
      std::snprintf(text, sizeof text, "seek %+.0f s\n", c.seconds);
    Note(text);
  }

  // Saves the last c.seconds to c.path, or to a new name beside the buffer file; the client's
  // reply names the file.
  void StartExport(const HostCommand& c, std::string* reply) {
    IOVTimeShiftTime* time = Time("cannot export", reply);
    if (!time) return;
    FollowExport();  // the end of an earlier export is told before a new one replaces it
    std::wstring path;
    if (!c.path.empty()) {
      path = FullPath(c.path);
    } else if (path = DefaultExportPath(); path.empty()) {
      Refuse("cannot export: the filter does not say where its buffer file is; give export SECONDS FILE", reply);
      return;
    }
    const HRESULT hr = time->StartExport(path.c_str(), c.seconds, 0);
    if (hr == HRESULT_FROM_WIN32(ERROR_BUSY)) {
      Refuse("cannot export: an export is running (export stop ends it, export cancel deletes it)", reply);
      return;
    }
    if (TimeRefused(hr, "cannot export " + Narrow(path), reply)) return;
    exportPath_ = Narrow(path);
    exportProgress_ = {TSEXPORT_RUNNING};
    char text[64];
    std::snprintf(text, sizeof text, "saving the last %.0f s to ", c.seconds);
    Note(text + exportPath_ + "\n");
    *reply = "ok: " + exportPath_;
  }

  void EndExport(bool cancel, std::string* reply) {
    IOVTimeShiftTime* time = Time(cancel ? "cannot cancel the export" : "cannot stop the export", reply);
    if (!time) return;
    const HRESULT hr = cancel ? time->CancelExport() : time->StopExport();
    if (hr == S_FALSE) Refuse("no export is running", reply);
    else if (!Refused(hr, cancel ? "cannot cancel the export" : "cannot stop the export", reply)) FollowExport();
  }

  // Takes the running export's progress, for the status line, and tells how it ended once it has.
  void FollowExport() {
    IOVTimeShiftTime* time = graph_.TimeShift().time.Get();
    if (exportProgress_.state != TSEXPORT_RUNNING || !time) return;
    TSExportProgress progress{};
    if (FAILED(time->GetExportProgress(&progress))) return;
    exportProgress_ = progress;
    if (progress.state != TSEXPORT_RUNNING)
      Note("export " + exportPath_ + ": " +
           ExportEndText(progress, [](int32_t hr) { return ErrorText(static_cast<HRESULT>(hr)); }) + "\n");
  }

  // The buffer file's folder and name with the local time, as C:\TShift-20260101-120000.ts:
  // .ts for a transport stream, else the buffer file's own extension. Empty when the filter does
  // not tell where its buffer file is.
  std::wstring DefaultExportPath() const {
    const std::wstring buffer = Widen(graph_.TimeShift().RecordingText(TSPROPERTY_RECORDING_FILE));
    const size_t slash = buffer.find_last_of(L"\\/");
    if (buffer.empty() || slash == std::wstring::npos) return {};
    const size_t dot = buffer.find_last_of(L'.');
    const bool hasExtension = dot != std::wstring::npos && dot > slash;
    const std::wstring stem = buffer.substr(0, hasExtension ? dot : buffer.size());
    const std::wstring extension = graph_.TimeShift().Status().time.source == TSTIME_STREAM_CLOCK ? L".ts"
                                   : hasExtension                                              ? buffer.substr(dot)
                                                                                               : L".mpg";
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[32];
    std::snprintf(text, sizeof text, "-%04u%02u%02u-%02u%02u%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    const std::wstring stamp = Widen(text);
    // An earlier export of the same second keeps its file.
    std::wstring path = stem + stamp + extension;
    for (int n = 2; n <= kMostExportNames && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; ++n)
      path = stem + stamp + L"-" + std::to_wstring(n) + extension;
    return path;
  }

  // The property frame on the running filter, on its own thread; a second request brings it to
  // the front.
  void OpenPages(std::string* reply) {
    if (HWND shown = pages_.Window()) {
      SetForegroundWindow(shown);
      return;
    }
    if (!Refused(pages_.Open(graph_.TimeShift().filter.Get(), OVTS_FILTER_NAME), "cannot open the property pages", reply))
      Note("property pages opened\n");
  }

  // As the filter has it: a jump to live or the Status page may have resumed or paused it.
  bool Paused() const { return graph_.TimeShift().PlayState() == TSSTATE_PAUSED; }

  void Tick() {
    FollowExport();
    Status(false);
  }

  // Tells the person what the graph reports; true once the stream is complete.
  bool TakeEvents() {
    LONG_PTR param = 0;
    for (long code = graph_.TakeEvent(&param); code != 0; code = graph_.TakeEvent(&param)) {
      if (code == EC_COMPLETE) return true;
      if (code == EC_OVTS_RECORDING_FAULT)
        Note("recording suspended: the disk refuses data (" + ErrorText(static_cast<HRESULT>(param)) +
             "); the input is dropped, marked in the stream, until it takes data again\n");
      if (code == EC_OVTS_RECORDING_RESUMED) Note("recording resumed\n");
    }
    return false;
  }

  std::string StatusLine(const BufferStatus& status) const {
    std::string line = FormatStatus(status, BytesBehindLive(status), sink_.Counts().bytes);
    if (exportProgress_.state == TSEXPORT_RUNNING) line += "  " + FormatExportProgress(exportProgress_);
    return line;
  }

  void Status(bool newLine, const BufferStatus* known = nullptr) {
    const std::string line = StatusLine(known ? *known : graph_.TimeShift().Status());
    if (statusOnTerminal_ && !newLine) {
      WriteError("\r" + line + "\x1b[K");
      statusShown_ = true;
    } else {
      EndStatus();
      WriteError(line + "\n");
    }
  }

  // Puts a message on a line of its own, under the status line.
  void Note(const std::string& text) {
    EndStatus();
    WriteError("tshift: " + text);
  }

  void EndStatus() {
    if (statusShown_) WriteError("\n");
    statusShown_ = false;
  }

  int Finish(const char* why, int status) {
    pages_.Close();
    // A person who quits keeps what the export saved so far.
    if (exportProgress_.state == TSEXPORT_RUNNING && SUCCEEDED(graph_.TimeShift().time->StopExport())) FollowExport();
    EndStatus();
    if (why) {
      const tools::SinkCounts delivered = sink_.Counts();
      char text[256];
      std::snprintf(text, sizeof text, "%s; %s delivered in %llu samples over %.1f s; %s\n", why,
                    FormatBytes(static_cast<int64_t>(delivered.bytes)).c_str(),
                    static_cast<unsigned long long>(delivered.samples),
                    static_cast<double>(GetTickCount64() - start_) / 1000.0, ProcessUse().c_str());
      WriteError(std::string("tshift: ") + text);
    }
    return status;
  }

  // CPU time and peak memory of this process so far.
  static std::string ProcessUse() {
    FILETIME created, exited, kernel, user;
    PROCESS_MEMORY_COUNTERS memory{};
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user) ||
        !GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory))
      return "process figures unavailable";
    const auto seconds = [](const FILETIME& t) {
      return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    char text[128];
    std::snprintf(text, sizeof text, "CPU %.1f s user + %.1f s kernel, peak memory %s", seconds(user), seconds(kernel),
                  FormatBytes(static_cast<int64_t>(memory.PeakWorkingSetSize)).c_str());
    return text;
  }

  TimeShiftGraph& graph_;
  CStreamSink& sink_;
  CStdinStream* const stdin_;
  CommandInput& input_;
  const ULONGLONG start_;
  const bool statusOnTerminal_;
  bool statusShown_ = false;
  std::string exportPath_;            // of the last export started
  TSExportProgress exportProgress_{};  // of that export, as last taken; state NONE before the first
  CTSPropertyFrame pages_;
};

HRESULT CreateFileSource(const std::wstring& path, ComPtr<IBaseFilter>* source) {
  RETURN_IF_FAILED(CoCreateInstance(CLSID_AsyncReader, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&*source)));
  ComPtr<IFileSourceFilter> file;
  RETURN_IF_FAILED(source->As(&file));
  return file->Load(path.c_str(), nullptr);
}

}  // namespace

int RunPlay(const Options& options) {
  const bool fromStdin = options.in == "-";
  HANDLE stdinHandle = GetStdHandle(STD_INPUT_HANDLE);
  int64_t fileSize = 0;
  if (fromStdin) {
    if (IsConsole(stdinHandle))
      return Fail("standard input is a terminal: pipe a stream into tshift (< in.ts) or give --in FILE");
  } else {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(Widen(options.in).c_str(), GetFileExInfoStandard, &data))
      return Fail("cannot open " + options.in + ": " + ErrorText(HRESULT_FROM_WIN32(GetLastError())));
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return Fail(options.in + " is a folder, not a stream");
    fileSize = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }

  TimeShiftGraph graph;
  std::string note;
  std::string error = graph.Open(
      options.registry,
      options.bitRateKbps ? [&](IOVTimeShiftFilter* c) { return c->SetCacheBitRate(options.bitRateKbps); }
                          : std::function<HRESULT(IOVTimeShiftFilter*)>(),
      &note);
  if (!error.empty()) return Fail(error);
  if (!note.empty()) WriteError("tshift: note: " + note + "\n");
  ComPtr<CStdinSource> stdinSource;
  error = graph.Connect({.makeSource =
                             [&](ComPtr<IBaseFilter>* source) {
                               if (!fromStdin) return CreateFileSource(Widen(options.in), source);
                               RETURN_IF_FAILED(CStdinSource::Create(stdinHandle, &stdinSource));
                               *source = stdinSource;
                               return S_OK;
                             },
                         .sourceProblem = "cannot open " + options.in,
                         .sourceName = fromStdin ? L"Standard Input" : L"File Source (Async)",
                         .output = options.out});
  if (!error.empty()) return Fail(error);
  if (!fromStdin && fileSize > graph.BufferBytes())
    WriteError("tshift: note: " + options.in + " (" + FormatBytes(fileSize) + ") is larger than the buffer (" +
               FormatBytes(graph.BufferBytes()) + "); a file is read at full speed, so its oldest part will be "
               "overwritten before it is played\n");

  CommandInput input;
  const CommandInput::Source commandSource = input.Start(fromStdin, options.keys, &error);
  if (!error.empty()) return Fail(error);
  switch (commandSource) {
    case CommandInput::Source::kTerminalKeys: WriteError("tshift: h shows the keys, q quits\n"); break;
    case CommandInput::Source::kConsoleKeys:
      // Under Wine a console whose process reads a pipe on standard input gets no keystrokes.
      WriteError(fromStdin ? "tshift: keys come from the console (h shows them, q quits); where it has no keyboard, "
                             "as under Wine with a piped standard input, scripts/tshift passes its terminal's keys\n"
                           : "tshift: h shows the keys, q quits\n");
      break;
    case CommandInput::Source::kLines: break;
    case CommandInput::Source::kNone:
      WriteError(std::string("tshift: no console for commands: playback stops at the end of the input, with Ctrl-C") +
                 (options.control.empty() ? "" : " or by the control channel") + "\n");
      break;
  }
  // Declared after the input it posts to, so that it stops first.
  ControlServer channel(input);
  if (!options.control.empty()) {
    ControlAddress address;
    std::string where;
    if (!ParseControlAddress(options.control, &address, &error) || !channel.Start(address, &where, &error))
      return Fail(error);
    WriteError("tshift: control channel at " + where + "\n");
  }
  error = graph.Run();
  if (!error.empty()) return Fail(error);
  WriteError("tshift: buffer file " + graph.TimeShift().RecordingText(TSPROPERTY_RECORDING_FILE) + "\n");
  Player player(graph, stdinSource ? stdinSource->Stream() : nullptr, input);
  const int status = player.Run();
  error = graph.Stop();
  return error.empty() ? status : Fail(error);
}

}  // namespace ovts::tshift
