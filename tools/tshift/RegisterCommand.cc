#include <windows.h>

#include "tools/tshift/Commands.h"
#include "tools/tshift/HostSupport.h"

namespace ovts::tshift {

int RunRegister(const Options& options) {
  const bool registering = options.command == Command::kRegister;
  std::wstring path = Widen(options.module);
  if (path.empty()) {
    // Beside tshift.exe as shipped, else where the build tree puts it.
    for (const wchar_t* place : {L"ovts.ax", L"..\\..\\filter\\ovts.ax"}) {
      WCHAR full[MAX_PATH];
      if (GetFullPathNameW((ProgramFolder() + place).c_str(), MAX_PATH, full, nullptr) &&
          GetFileAttributesW(full) != INVALID_FILE_ATTRIBUTES) {
        path = full;
        break;
      }
    }
    if (path.empty()) return Fail("ovts.ax not found beside " + Narrow(ProgramFolder()) + "; give the module's path");
  }
  const std::string shown = Narrow(path);
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return Fail(shown + " not found");
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) return Fail("cannot load " + shown + ": " + ErrorText(HRESULT_FROM_WIN32(GetLastError())));
  using Entry = HRESULT(STDAPICALLTYPE*)();
  const char* name = registering ? "DllRegisterServer" : "DllUnregisterServer";
  const auto entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  const HRESULT hr = entry ? entry() : E_NOINTERFACE;
  FreeLibrary(module);
  if (!entry) return Fail(shown + " is no COM server module (it has no " + name + ")");
  if (FAILED(hr)) return Fail(std::string(name) + " of " + shown + " failed: " + ErrorText(hr));
  const std::string line = (registering ? "registered " : "unregistered ") + shown + "\n";
  WriteOutput(line);
  return kExitOk;
}

}  // namespace ovts::tshift
