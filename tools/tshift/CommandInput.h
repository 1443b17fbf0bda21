// Where `tshift play` takes its commands from, and the queue that brings them to the host's main
// thread. The person's commands come from one source: a terminal's keys through a pipe (--keys),
// else single keys from the console when there is one (the console device itself when standard
// input carries the stream), else lines from standard input when it does not carry the stream,
// else nowhere. Other programs' commands (the control channel) join the same queue, each with
// the way to its reply. Also routes Ctrl-C and the console's close to a quit command.
//
// Threads: its own reader thread and the control channel's thread queue requests; the host's
// main thread takes them.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "framework/ComKit.h"
#include "tools/tshift/HostCommands.h"

namespace ovts::tshift {

// A command, and where its reply line goes (nowhere for the person's own commands).
struct HostRequest {
  HostCommand command;
  std::function<void(const std::string&)> reply;
};

class CommandInput {
 public:
  enum class Source { kNone, kConsoleKeys, kTerminalKeys, kLines };

  CommandInput();
  // Restores the console's mode. The reader thread, blocked in a read, ends with the process.
  ~CommandInput();
  CommandInput(const CommandInput&) = delete;
  CommandInput& operator=(const CommandInput&) = delete;

  // keysPipe, when not empty, names the pipe of a terminal's keys; kNone with *error set when
  // it cannot be opened.
  Source Start(bool stdinCarriesStream, const std::string& keysPipe, std::string* error);
  // Signalled while requests wait to be taken.
  HANDLE Ready() const { return ready_.get(); }
  // The next request, or one whose command is kNone.
  HostRequest Take();
  // Problems with typed lines, to be shown to the person; empty when none.
  std::string TakeMessage();

  // Queues a request from any thread.
  void Post(HostRequest request);
  // Queues a quit from anywhere (the console control handler).
  void PostQuit();

 private:
  static DWORD WINAPI ReaderThread(void* self);
  void ReadConsoleKeys();
  void ReadTerminalKeys();
  void ReadLines();

  UniqueHandle ready_;             // manual-reset event
  UniqueHandle opened_;            // CONIN$ or the keys pipe, when opened
  HANDLE input_ = nullptr;         // what the reader thread reads
  DWORD savedMode_ = 0;
  bool modeChanged_ = false;
  Source source_ = Source::kNone;
  std::mutex mutex_;
  std::deque<HostRequest> queue_;  // mutex_
  std::string message_;            // mutex_
};

}  // namespace ovts::tshift
