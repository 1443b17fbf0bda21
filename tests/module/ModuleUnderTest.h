// The ovts.ax this build made (OVTS_MODULE_PATH, set by CMake) and the platform's own regsvr32
// run on it, for the test programs that load the module or register it in the Wine prefix.
// Windows headers only: the public-header host includes it too.
#pragma once

#include <windows.h>

#include <string>

namespace module_test {

// The module's full path as the platform spells it ("Z:\...\ovts.ax").
inline std::wstring ModulePath() {
  WCHAR full[MAX_PATH] = {};
  const DWORD length = GetFullPathNameW(OVTS_MODULE_PATH, MAX_PATH, full, nullptr);
  return std::wstring(full, length < MAX_PATH ? length : 0);
}

// Runs "regsvr32 /s [/u] <module>" as a process of its own; its exit code, or -1 when it could
// not start or did not end within a minute.
inline DWORD RunRegsvr32(bool unregister) {
  std::wstring command = L"C:\\windows\\system32\\regsvr32.exe /s ";
  if (unregister) command += L"/u ";
  command += L"\"" + ModulePath() + L"\"";
  STARTUPINFOW startup{sizeof startup};
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return static_cast<DWORD>(-1);
  CloseHandle(process.hThread);
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  return code;
}

}  // namespace module_test
