#include "tools/tshift/HostSupport.h"

#include <cstdio>

namespace ovts::tshift {

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n, nullptr, nullptr);
  return text;
}

std::string ErrorText(HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  WCHAR* message = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<LPWSTR>(&message), 0, nullptr);
  std::wstring text = n && message ? std::wstring(message, n) : std::wstring();
  if (message) LocalFree(message);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.' || text.back() == L' '))
    text.pop_back();
  return text.empty() ? std::string(code) : std::string(code) + " (" + Narrow(text) + ")";
}

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

bool WriteAll(HANDLE handle, const void* data, size_t length) {
  const auto* p = static_cast<const BYTE*>(data);
  while (length > 0) {
    const DWORD piece = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
    DWORD written = 0;
    if (!WriteFile(handle, p, piece, &written, nullptr)) return false;
    if (written == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    p += written;
    length -= written;
  }
  return true;
}

bool ReadLine(HANDLE input, std::string* line) {
  line->clear();
  char c = 0;
  DWORD read = 0;
  // A byte at a time: what follows the line stays in the handle for the next reader.
  while (ReadFile(input, &c, 1, &read, nullptr) && read == 1) {
    if (c == '\n') return true;
    if (c != '\r') line->push_back(c);
  }
  return !line->empty();
}

void WriteOutput(const std::string& text) { WriteAll(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), text.size()); }

void WriteError(const std::string& text) { WriteAll(GetStdHandle(STD_ERROR_HANDLE), text.data(), text.size()); }

int Fail(const std::string& text) {
  WriteError("tshift: " + text + "\n");
  return kExitError;
}

tools::Watchdog& HostWatchdog() {
  static tools::Watchdog dog(
      [](const std::string& what, uint32_t seconds) {
        return "tshift: " + what + " did not finish within " + std::to_string(seconds) + " s; giving up\n";
      },
      kExitHung);
  return dog;
}

std::wstring ProgramFolder() {
  WCHAR path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n);
  const size_t slash = folder.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1);
}

}  // namespace ovts::tshift
