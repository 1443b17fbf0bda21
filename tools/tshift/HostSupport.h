// Small pieces every tshift command uses: text conversions, readable error texts, messages on
// standard error, and the watchdog that keeps a hung graph operation from hanging the program.
#pragma once

#include <windows.h>

#include <string>

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

}  // namespace ovts::tshift
