// Small pieces every tshift command uses: text conversions, readable error texts, messages on
// standard error, and the watchdog that keeps a hung graph operation from hanging the program.
#pragma once

#include <windows.h>

#include <string>

#include "include/OVTimeShift.h"
#include "tools/common/Watchdog.h"

namespace ovts::tshift {

// Exit statuses (the help text lists them).
inline constexpr int kExitOk = 0;
inline constexpr int kExitError = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitHung = 3;

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& wide);

// "0x80004005 (Unspecified error)": the code and the system's text for it, when it has one.
std::string ErrorText(HRESULT hr);

// Writes text as it is to standard output, or to standard error. Any thread.
void WriteOutput(const std::string& text);
void WriteError(const std::string& text);
// "tshift: <text>" as one line on standard error; returns kExitError for `return Fail(...)`.
int Fail(const std::string& text);
// True for a console (a person's terminal), not for a pipe, a file or another device.
bool IsConsole(HANDLE handle);
// Every byte to a handle; false with the last error set when the handle refuses some.
bool WriteAll(HANDLE handle, const void* data, size_t length);
// One line from a handle (a pipe, a file), without its end; false at the end of the input.
bool ReadLine(HANDLE input, std::string* line);

// The program's watchdog: a graph operation or a reply that hangs ends tshift with kExitHung,
// naming what hung.
tools::Watchdog& HostWatchdog();

// The folder of tshift.exe, with a trailing backslash.
std::wstring ProgramFolder();

// The buffer record, its strings owned for the scope.
class BufferSettings {
 public:
  explicit BufferSettings(IOVTimeShiftFilter* control) : control_(control) { control_->GetBufferSettings(&config_); }
  ~BufferSettings() {
    SysFreeString(config_.directory);
    SysFreeString(config_.fileName);
  }
  BufferSettings(const BufferSettings&) = delete;
  BufferSettings& operator=(const BufferSettings&) = delete;

  TSBufferConfig& config() { return config_; }
  void SetString(BSTR TSBufferConfig::*field, const std::string& text) {
    SysFreeString(config_.*field);
    config_.*field = SysAllocString(Widen(text).c_str());
  }
  // The filter takes the record over, strings included.
  HRESULT Store() { return control_->SetBufferSettings(&config_); }

 private:
  IOVTimeShiftFilter* const control_;
  TSBufferConfig config_{};
};

}  // namespace ovts::tshift
