// Where `tshift play` takes its commands from: single keys from the console when there is one
// (the console device itself when standard input carries the stream), else lines from standard
// input when it does not carry the stream, else nowhere (then only the end of the input or
// Ctrl-C stops playback). Also routes Ctrl-C and the console's close to a quit command.
//
// Threads: its own reader thread queues commands; the host's main thread takes them.
#pragma once

#include <windows.h>

#include <deque>
#include <mutex>
#include <string>

#include "framework/ComKit.h"
#include "tools/tshift/HostCommands.h"

namespace ovts::tshift {

class CommandInput {
 public:
  enum class Source { kNone, kConsoleKeys, kLines };

  CommandInput();
  // Restores the console's mode. The reader thread, blocked in a read, ends with the process.
  ~CommandInput();
  CommandInput(const CommandInput&) = delete;
  CommandInput& operator=(const CommandInput&) = delete;

  Source Start(bool stdinCarriesStream);
  // Signalled while commands wait to be taken.
  HANDLE Ready() const { return ready_.get(); }
  // The next command, or kNone.
  HostCommand Take();
  // Problems with typed lines, to be shown to the person; empty when none.
  std::string TakeMessage();

  // Queues a quit from anywhere (the console control handler).
  void PostQuit();

 private:
  static DWORD WINAPI ReaderThread(void* self);
  void ReadKeys();
  void ReadLines();
  void Post(const HostCommand& command);

  UniqueHandle ready_;             // manual-reset event
  UniqueHandle console_;           // CONIN$, when opened
  HANDLE input_ = nullptr;         // what the reader thread reads
  DWORD savedMode_ = 0;
  bool modeChanged_ = false;
  Source source_ = Source::kNone;
  std::mutex mutex_;
  std::deque<HostCommand> queue_;  // mutex_
  std::string message_;            // mutex_
};

}  // namespace ovts::tshift
