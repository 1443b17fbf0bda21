#include "tools/tshift/CommandInput.h"

#include <atomic>

#include "tools/tshift/HostSupport.h"

namespace ovts::tshift {

namespace {

std::atomic<CommandInput*> g_ctrlTarget{nullptr};  // atomic; the input that Ctrl-C reaches

BOOL WINAPI OnConsoleControl(DWORD) {
  CommandInput* input = g_ctrlTarget.load();
  if (!input) return FALSE;
  input->PostQuit();
  return TRUE;
}

}  // namespace

CommandInput::CommandInput() : ready_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  g_ctrlTarget.store(this);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

CommandInput::~CommandInput() {
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  g_ctrlTarget.store(nullptr);
  if (modeChanged_) SetConsoleMode(input_, savedMode_);
}

CommandInput::Source CommandInput::Start(bool stdinCarriesStream, const std::string& keysPipe, std::string* error) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (!keysPipe.empty()) {
    opened_.reset(CreateFileW(Widen(keysPipe).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
    if (!opened_) {
      *error = "cannot read keys from " + keysPipe + ": " + ErrorText(HRESULT_FROM_WIN32(GetLastError()));
      return Source::kNone;
    }
    input_ = opened_.get();
    source_ = Source::kTerminalKeys;
  } else if (!stdinCarriesStream && IsConsole(in)) {
    input_ = in;
    source_ = Source::kConsoleKeys;
  } else if (stdinCarriesStream) {
    opened_.reset(CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
    if (IsConsole(opened_.get())) {
      input_ = opened_.get();
      source_ = Source::kConsoleKeys;
    }
  } else if (in && in != INVALID_HANDLE_VALUE) {
    input_ = in;
    source_ = Source::kLines;
  }
  if (source_ == Source::kConsoleKeys && GetConsoleMode(input_, &savedMode_)) {
    // Keys one at a time, unechoed; Ctrl-C still reaches the control handler.
    modeChanged_ = SetConsoleMode(input_, ENABLE_PROCESSED_INPUT) != FALSE;
  }
  if (source_ != Source::kNone) {
    HANDLE thread = CreateThread(nullptr, 0, ReaderThread, this, 0, nullptr);
    if (!thread) {
      *error = "cannot start the command reader: " + ErrorText(HRESULT_FROM_WIN32(GetLastError()));
      return source_ = Source::kNone;
    }
    CloseHandle(thread);
  }
  return source_;
}

DWORD WINAPI CommandInput::ReaderThread(void* self) {
  auto* input = static_cast<CommandInput*>(self);
  switch (input->source_) {
    case Source::kConsoleKeys: input->ReadConsoleKeys(); break;
    case Source::kTerminalKeys: input->ReadTerminalKeys(); break;
    case Source::kLines: input->ReadLines(); break;
    case Source::kNone: break;
  }
  return 0;
}

void CommandInput::ReadConsoleKeys() {
  INPUT_RECORD record;
  DWORD read = 0;
  while (ReadConsoleInputW(input_, &record, 1, &read)) {
    if (read == 0 || record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) continue;
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    if (key.wVirtualKeyCode == VK_LEFT)
      Post({{HostCommand::kSeek, -kSeekStepSeconds}});
    else if (key.wVirtualKeyCode == VK_RIGHT)
      Post({{HostCommand::kSeek, kSeekStepSeconds}});
    else if (key.uChar.UnicodeChar > 0 && key.uChar.UnicodeChar < 128) {
      const HostCommand command = CommandForKey(static_cast<char>(key.uChar.UnicodeChar));
      if (command.kind != HostCommand::kNone) Post({command});
    }
  }
}

// Each read holds what the terminal sent at once: a key, or a key's whole escape sequence.
void CommandInput::ReadTerminalKeys() {
  KeyDecoder decoder;
  char buffer[256];
  DWORD read = 0;
  while (ReadFile(input_, buffer, sizeof buffer, &read, nullptr) && read > 0)
    for (const HostCommand& command : decoder.Feed(std::string_view(buffer, read))) Post({command});
}

void CommandInput::ReadLines() {
  std::string line;
  char buffer[256];
  DWORD read = 0;
  while (ReadFile(input_, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    for (DWORD i = 0; i < read; ++i) {
      if (buffer[i] != '\n') {
        if (buffer[i] != '\r' && line.size() < 1024) line += buffer[i];
        continue;
      }
      std::string error;
      const HostCommand command = CommandForLine(line, &error);
      line.clear();
      if (command.kind != HostCommand::kNone) {
        Post({command});
      } else if (!error.empty()) {
        std::lock_guard<std::mutex> guard(mutex_);
        message_ += error + "\n";
        SetEvent(ready_.get());
      }
    }
  }
}

void CommandInput::Post(HostRequest request) {
  std::lock_guard<std::mutex> guard(mutex_);
  queue_.push_back(std::move(request));
  SetEvent(ready_.get());
}

void CommandInput::PostQuit() { Post({{HostCommand::kQuit}}); }

HostRequest CommandInput::Take() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (queue_.empty()) {
    if (message_.empty()) ResetEvent(ready_.get());
    return {};
  }
  HostRequest request = std::move(queue_.front());
  queue_.pop_front();
  if (queue_.empty() && message_.empty()) ResetEvent(ready_.get());
  return request;
}

std::string CommandInput::TakeMessage() {
  std::lock_guard<std::mutex> guard(mutex_);
  std::string message;
  message.swap(message_);
  if (queue_.empty()) ResetEvent(ready_.get());
  return message;
}

}  // namespace ovts::tshift
