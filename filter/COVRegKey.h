// One settings key, open for the length of one settings operation. Picks the registry root for
// the running system, opens or creates the key, seeds a user's first key from the machine-wide
// one, reads typed values (the user's own value wins, the machine-wide one fills in) and writes
// to the user's key only. Lives on the stack of whichever host thread runs the settings call;
// holds no lock, the registry orders concurrent writers.
#pragma once

#include <windows.h>

#include <cstdint>

#include "framework/ComKit.h"

namespace ovts {

class COVRegKey {
 public:
  COVRegKey(const char* path, REGSAM access);
  virtual ~COVRegKey();
  COVRegKey(const COVRegKey&) = delete;
  COVRegKey& operator=(const COVRegKey&) = delete;

  // True when reads may find values and writes may land.
  bool IsOpened() const { return opened_ != FALSE; }

  // S_OK for a REG_DWORD of exactly 4 bytes; anything else stores the default and gives E_FAIL.
  HRESULT ReadDWORD(const char* name, DWORD* value, DWORD defaultValue);
  // The present content of *value is the default.
  HRESULT ReadDWORD(const char* name, DWORD* value);
  // `size` is the area's capacity in bytes on entry, the bytes the value held on success. One
  // byte is kept for a terminator, so a value must fit in size - 1 bytes; a longer one reads as
  // absent. On failure the area is left as it was.
  HRESULT ReadString(const char* name, char* text, DWORD* size);
  // `size` is the area's capacity on entry, the bytes read on success. On failure the area is
  // left as it was.
  HRESULT ReadBinary(const char* name, void* data, DWORD* size);

  // 0 on success, the platform's error code otherwise, E_FAIL when the key is not open.
  LONG WriteDWORD(const char* name, DWORD value, bool onlyIfPresent = false);
  LONG WriteString(const char* name, const char* text);
  LONG WriteBinary(const char* name, const void* data, DWORD size);

  // Copies source's values and, recursively, its sub-keys into destination. A sub-key that
  // cannot be opened or created is skipped; the next one is copied.
  HRESULT CopyKeyTree(HKEY destination, HKEY source);

  // Classifies the running system; 0 when its version cannot be had.
  static uint32_t GetPlatformCode();
  // The classification itself, from version fields (the OSVERSIONINFOEX names).
  static uint32_t PlatformCodeFor(DWORD platformId, DWORD major, DWORD minor, BYTE productType,
                                  bool emulated);

  static constexpr uint32_t kPlatformLatest = 0x7FFFFFFE;  // plus 1 when emulated
  static constexpr DWORD kMaxPath = 260;                   // path and text areas, terminator included

 private:
  // Queries the user's key, then the machine key when the user has no such value.
  LONG Query(const char* name, DWORD* type, BYTE* data, DWORD* size) const;
  // Opens under the per-user root, seeding a new user key from the machine-wide one.
  void OpenPerUser();
  LONG WriteBinaryAs(const char* name, DWORD type, const void* data, DWORD size);

  BOOL opened_ = FALSE;
  BOOL mayCreate_ = FALSE;  // false for KEY_QUERY_VALUE and KEY_READ
  HKEY root_ = nullptr;
  UniqueRegKey key_;
  UniqueRegKey machineKey_;  // per-user root only: the same path under HKLM, query access
  REGSAM access_ = 0;
  char path_[kMaxPath] = {};
};

}  // namespace ovts
