#include "filter/COVRegKey.h"

#include <cstring>
#include <memory>
#include <new>

#include "framework/ComKit.h"
#include "util/COVStringT.h"

namespace ovts {
namespace {

LONG CreateKey(HKEY parent, const char* path, HKEY* key) {
  *key = nullptr;
  LONG result = RegCreateKeyExA(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                                nullptr, key, nullptr);
  if (result != ERROR_SUCCESS) *key = nullptr;
  return result;
}

LONG OpenKey(HKEY parent, const char* path, REGSAM access, HKEY* key) {
  *key = nullptr;
  LONG result = RegOpenKeyExA(parent, path, 0, access, key);
  if (result != ERROR_SUCCESS) *key = nullptr;
  return result;
}

bool IsProcessEmulated() {
  using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, BOOL*);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (!kernel) return false;
  // Looked up at run time: systems before XP SP2 lack it, and then nothing is emulated.
  auto isWow64 = reinterpret_cast<IsWow64ProcessFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
  BOOL emulated = FALSE;
  return isWow64 && isWow64(GetCurrentProcess(), &emulated) && emulated;
}

// Where a platform keeps settings: the 9x family machine-wide, NT from 4 on per user, the rest
// (Win32s, NT 3.x, server 2003, unknown) nowhere.
HKEY RootFor(uint32_t code) {
  switch (code) {
    case 2:
    case 3:
    case 9:
      return HKEY_LOCAL_MACHINE;
    case 5:
    case 6:
    case 10:
    case 12:
    case 14:
    case 15:
    case 16:
    case 17:
      return HKEY_CURRENT_USER;
    default:
      return code >= COVRegKey::kPlatformLatest ? HKEY_CURRENT_USER : nullptr;
  }
}

}  // namespace

uint32_t COVRegKey::PlatformCodeFor(DWORD platformId, DWORD major, DWORD minor, BYTE productType,
                                    bool emulated) {
  switch (platformId) {
    case VER_PLATFORM_WIN32s:
      return 1;
    case VER_PLATFORM_WIN32_WINDOWS:
      return minor == 0 ? 2 : minor <= 10 ? 3 : 9;
    case VER_PLATFORM_WIN32_NT:
      break;
    default:
      return 0;
  }
  switch (major) {
    case 0:
    case 1:
    case 2:
      return 0;
    case 3:
      return 4;
    case 4:
      return 5;
    case 5:
      if (minor == 0) return 6;
      if (minor == 1) return 10;
      if (minor == 2) return productType == VER_NT_WORKSTATION ? 12 : 13;
      return 0;
    case 6:
      if (minor == 0) return emulated ? 15 : 14;
      if (minor == 1) return emulated ? 17 : 16;
      break;
    default:
      break;
  }
  return kPlatformLatest + (emulated ? 1 : 0);
}

uint32_t COVRegKey::GetPlatformCode() {
  OSVERSIONINFOEXA info{};
  info.dwOSVersionInfoSize = sizeof(info);
  if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info))) return 0;
  return PlatformCodeFor(info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion, info.wProductType,
                         IsProcessEmulated());
}

COVRegKey::COVRegKey(const char* path, REGSAM access)
    : mayCreate_(access != KEY_QUERY_VALUE && access != KEY_READ), access_(access) {
  OVStrCopy(path_, sizeof(path_), path ? path : "", kMaxPath - 1);
  root_ = RootFor(GetPlatformCode());
  if (root_ == HKEY_CURRENT_USER) {
    OpenPerUser();
  } else if (root_ == HKEY_LOCAL_MACHINE) {
    LONG result = OpenKey(root_, path_, access_, key_.put());
    if (result != ERROR_SUCCESS && mayCreate_) result = CreateKey(root_, path_, key_.put());
    opened_ = result == ERROR_SUCCESS;
  }
}

void COVRegKey::OpenPerUser() {
  if (OpenKey(HKEY_CURRENT_USER, path_, access_, key_.put()) == ERROR_SUCCESS) {
    opened_ = TRUE;
  } else {
    UniqueRegKey machine;
    if (OpenKey(HKEY_LOCAL_MACHINE, path_, KEY_READ, machine.put()) == ERROR_SUCCESS) {
      // First use by this user: the new key starts as a copy of the machine-wide settings. A
      // partial copy still counts as open; the machine key fills the gaps on reads.
      if (mayCreate_ && CreateKey(HKEY_CURRENT_USER, path_, key_.put()) == ERROR_SUCCESS) {
        (void)CopyKeyTree(key_.get(), machine.get());
        opened_ = TRUE;
      }
    } else if (mayCreate_ && CreateKey(HKEY_CURRENT_USER, path_, key_.put()) == ERROR_SUCCESS) {
      opened_ = TRUE;
    }
  }
  if (OpenKey(HKEY_LOCAL_MACHINE, path_, KEY_QUERY_VALUE, machineKey_.put()) == ERROR_SUCCESS) opened_ = TRUE;
}

COVRegKey::~COVRegKey() = default;

LONG COVRegKey::Query(const char* name, DWORD* type, BYTE* data, DWORD* size) const {
  if (!opened_) return ERROR_INVALID_HANDLE;
  const DWORD capacity = *size;
  LONG result = key_.get() ? RegQueryValueExA(key_.get(), name, nullptr, type, data, size) : ERROR_INVALID_HANDLE;
  // ERROR_MORE_DATA: the user has the value, only too large; it reads as absent rather than
  // letting the machine-wide value show through.
  if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA && root_ == HKEY_CURRENT_USER && machineKey_.get()) {
    *size = capacity;
    result = RegQueryValueExA(machineKey_.get(), name, nullptr, type, data, size);
  }
  return result;
}

HRESULT COVRegKey::ReadDWORD(const char* name, DWORD* value, DWORD defaultValue) {
  DWORD type = REG_NONE;
  DWORD read = 0;
  DWORD size = sizeof(read);
  if (Query(name, &type, reinterpret_cast<BYTE*>(&read), &size) == ERROR_SUCCESS && type == REG_DWORD &&
      size == sizeof(read)) {
    *value = read;
    return S_OK;
  }
  *value = defaultValue;
  return E_FAIL;
}

HRESULT COVRegKey::ReadDWORD(const char* name, DWORD* value) { return ReadDWORD(name, value, *value); }

HRESULT COVRegKey::ReadString(const char* name, char* text, DWORD* size) {
  if (*size == 0) return E_FAIL;
  // Read aside so that a missing or wrong value leaves the caller's text as it was.
  std::unique_ptr<BYTE[]> scratch(new (std::nothrow) BYTE[*size]);
  if (!scratch) return E_OUTOFMEMORY;
  DWORD type = REG_NONE;
  DWORD got = *size - 1;
  if (Query(name, &type, scratch.get(), &got) != ERROR_SUCCESS || type != REG_SZ) return E_FAIL;
  std::memcpy(text, scratch.get(), got);
  text[got] = '\0';  // stored strings need not carry their terminator
  *size = got;
  return S_OK;
}

HRESULT COVRegKey::ReadBinary(const char* name, void* data, DWORD* size) {
  if (*size == 0) return E_FAIL;
  std::unique_ptr<BYTE[]> scratch(new (std::nothrow) BYTE[*size]);
  if (!scratch) return E_OUTOFMEMORY;
  DWORD type = REG_NONE;
  DWORD got = *size;
  if (Query(name, &type, scratch.get(), &got) != ERROR_SUCCESS || type != REG_BINARY) return E_FAIL;
  std::memcpy(data, scratch.get(), got);
  *size = got;
  return S_OK;
}

LONG COVRegKey::WriteDWORD(const char* name, DWORD value, bool onlyIfPresent) {
  if (!opened_) return E_FAIL;
  if (onlyIfPresent) {
    HKEY probe = machineKey_.get() ? machineKey_.get() : key_.get();
    LONG result = RegQueryValueExA(probe, name, nullptr, nullptr, nullptr, nullptr);
    if (result != ERROR_SUCCESS) return result;
  }
  return WriteBinaryAs(name, REG_DWORD, &value, sizeof(value));
}

LONG COVRegKey::WriteString(const char* name, const char* text) {
  if (!text) text = "";
  return WriteBinaryAs(name, REG_SZ, text, static_cast<DWORD>(std::strlen(text) + 1));
}

LONG COVRegKey::WriteBinary(const char* name, const void* data, DWORD size) {
  return WriteBinaryAs(name, REG_BINARY, data, size);
}

LONG COVRegKey::WriteBinaryAs(const char* name, DWORD type, const void* data, DWORD size) {
  if (!opened_) return E_FAIL;
  // Only the user's own key is written; the machine key is open for queries alone.
  if (!key_.get()) return ERROR_INVALID_HANDLE;
  return RegSetValueExA(key_.get(), name, 0, type, static_cast<const BYTE*>(data), size);
}

HRESULT COVRegKey::CopyKeyTree(HKEY destination, HKEY source) {
  for (DWORD index = 0;; ++index) {
    char name[kMaxPath];
    BYTE data[kMaxPath];
    DWORD nameLength = sizeof(name);
    DWORD dataSize = sizeof(data);
    DWORD type = REG_NONE;
    LONG result = RegEnumValueA(source, index, name, &nameLength, nullptr, &type, data, &dataSize);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) return E_FAIL;
    RegSetValueExA(destination, name, 0, type, data, dataSize);
  }
  for (DWORD index = 0;; ++index) {
    char name[kMaxPath];
    DWORD nameLength = sizeof(name);
    LONG result = RegEnumKeyExA(source, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) return S_OK;
    if (result != ERROR_SUCCESS) return E_FAIL;
    // A sub-key we may not read, or cannot create, is left out; the index still moves on.
    UniqueRegKey from;
    UniqueRegKey to;
    if (OpenKey(source, name, KEY_READ, from.put()) != ERROR_SUCCESS) continue;
    if (!mayCreate_ || CreateKey(destination, name, to.put()) != ERROR_SUCCESS) continue;
    (void)CopyKeyTree(to.get(), from.get());
  }
}

}  // namespace ovts
