// The settings key on Wine's real registry: first-use seeding from the machine-wide key, user
// values winning, typed reads with defaults, writes that stay in the user's key.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <cstring>
#include <string>
#include <vector>

#include "OVTimeShift.h"
#include "filter/COVRegKey.h"

namespace ovts {
namespace {

constexpr REGSAM kFilterAccess = KEY_READ | KEY_WRITE;
// Deny reading (and writing) to everyone, allow the rest, so cleanup can still undo it.
constexpr char kDenyRead[] = "D:(D;;0x20019;;;WD)(A;;KA;;;WD)";
constexpr char kDenyReadWrite[] = "D:(D;;0x2001F;;;WD)(A;;KA;;;WD)";

void SetSecurity(HKEY root, const std::string& path, const char* sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(root, path.c_str(), 0, WRITE_DAC, &key), ERROR_SUCCESS) << path;
  EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd), ERROR_SUCCESS);
  RegCloseKey(key);
  LocalFree(sd);
}

// One test's keys: "Software\Orvanta\Test\<name>" under both roots, removed before and after.
class RegKeyTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = std::string("Software\\Orvanta\\Test\\") + testing::UnitTest::GetInstance()->current_test_info()->name();
    Remove();
  }
  void TearDown() override { Remove(); }

  void Remove() {
    for (const auto& [root, sub] : locked_) SetSecurity(root, sub, "D:(A;;KA;;;WD)");
    locked_.clear();
    RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, path_.c_str());
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, path_.c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path_.c_str());
    // The shared parent goes too once no other test's key is left in it.
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Orvanta\\Test");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Orvanta\\Test");
  }

  std::string At(const std::string& sub) const { return sub.empty() ? path_ : path_ + "\\" + sub; }

  void Lock(HKEY root, const std::string& sub, const char* sddl) {
    SetSecurity(root, At(sub), sddl);
    locked_.emplace_back(root, At(sub));
  }

  static void Set(HKEY root, const std::string& path, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (name) {
      EXPECT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    }
    RegCloseKey(key);
  }
  void SetDword(HKEY root, const std::string& sub, const char* name, DWORD value) {
    Set(root, At(sub), name, REG_DWORD, &value, sizeof(value));
  }
  void SetString(HKEY root, const std::string& sub, const char* name, const std::string& text) {
    Set(root, At(sub), name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
  }

  // The raw value as the registry holds it under one root; empty when it is not there.
  std::vector<BYTE> Raw(HKEY root, const std::string& sub, const char* name, DWORD* type = nullptr) const {
    std::vector<BYTE> data(1024);
    DWORD size = static_cast<DWORD>(data.size());
    if (RegGetValueA(root, At(sub).c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, type, data.data(), &size) != ERROR_SUCCESS)
      return {};
    data.resize(size);
    return data;
  }
  bool KeyExists(HKEY root, const std::string& sub) const {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, At(sub).c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }

  std::string path_;
  std::vector<std::pair<HKEY, std::string>> locked_;
};

DWORD AsDword(const std::vector<BYTE>& raw) {
  DWORD value = 0;
  if (raw.size() == sizeof(value)) memcpy(&value, raw.data(), sizeof(value));
  return value;
}

// Catches: a missing first-use copy, and a copy that gives up on (or spins at) a machine-wide
// sub-key it may not read instead of moving on to the next one.
TEST_F(RegKeyTest, FirstUseSeedsUserKeyFromMachineKey) {
  SetDword(HKEY_LOCAL_MACHINE, "", kTSOptions.name, 4);
  SetString(HKEY_LOCAL_MACHINE, "", kTSFile.name, "Machine.mpg");
  SetString(HKEY_LOCAL_MACHINE, "A Denied", "Secret", "x");
  SetDword(HKEY_LOCAL_MACHINE, "B Copied", "Level", 1);
  SetDword(HKEY_LOCAL_MACHINE, "B Copied\\Deep", "Level", 2);
  Lock(HKEY_LOCAL_MACHINE, "A Denied", kDenyRead);
  {
    HKEY machine = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path_.c_str(), 0, KEY_READ, &machine), ERROR_SUCCESS);
    char first[MAX_PATH];
    DWORD length = sizeof(first);
    ASSERT_EQ(RegEnumKeyExA(machine, 0, first, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    RegCloseKey(machine);
    ASSERT_STREQ(first, "A Denied") << "the unreadable sub-key must come first for this test to mean anything";
  }
  ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER, ""));

  COVRegKey key(path_.c_str(), kFilterAccess);
  ASSERT_TRUE(key.IsOpened());
  EXPECT_EQ(AsDword(Raw(HKEY_CURRENT_USER, "", kTSOptions.name)), 4u) << "Options copied into the user key";
  EXPECT_FALSE(Raw(HKEY_CURRENT_USER, "", kTSFile.name).empty());
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "A Denied"));
  EXPECT_EQ(AsDword(Raw(HKEY_CURRENT_USER, "B Copied", "Level")), 1u) << "copy moved on past the denied sub-key";
  EXPECT_EQ(AsDword(Raw(HKEY_CURRENT_USER, "B Copied\\Deep", "Level")), 2u);

  // Later changes on the machine side no longer reach a user who has the value.
  SetDword(HKEY_LOCAL_MACHINE, "", kTSOptions.name, 8);
  DWORD options = 0;
  EXPECT_EQ(key.ReadDWORD(kTSOptions.name, &options, kTSOptions.defaultValue), S_OK);
  EXPECT_EQ(options, 4u);
}

// Catches: precedence mistakes (machine value shadowing the user's, or leaking through a wrong
// user value), copying on a later use, and lax type, size and length checks.
TEST_F(RegKeyTest, UserValuesWinAndBadValuesReadAsAbsent) {
  SetDword(HKEY_CURRENT_USER, "", kTSOptions.name, 2);
  SetDword(HKEY_LOCAL_MACHINE, "", kTSOptions.name, 4);
  SetString(HKEY_LOCAL_MACHINE, "", kTSFile.name, "Machine.mpg");
  SetString(HKEY_CURRENT_USER, "", kTSMaxBufSizeKB.name, "65536");
  SetDword(HKEY_LOCAL_MACHINE, "", kTSMaxBufSizeKB.name, 1000);
  SetString(HKEY_CURRENT_USER, "", kTSMinDiskFreeMB.name, "1");
  const DWORD shortBinary = 0x1234;
  Set(HKEY_CURRENT_USER, At(""), kTSInitialTimeShift.name, REG_BINARY, &shortBinary, 2);
  SetString(HKEY_CURRENT_USER, "", "Fits", std::string(258, 'f'));
  SetString(HKEY_CURRENT_USER, "", "TooLong", std::string(259, 'l'));
  const DWORD triple[3] = {2048, 256, 10};
  Set(HKEY_CURRENT_USER, At(""), kTSInputCache.name, REG_BINARY, triple, sizeof(triple));

  COVRegKey key(path_.c_str(), kFilterAccess);
  ASSERT_TRUE(key.IsOpened());
  DWORD value = 0;
  EXPECT_EQ(key.ReadDWORD(kTSOptions.name, &value, kTSOptions.defaultValue), S_OK);
  EXPECT_EQ(value, 2u);
  value = 7;
  EXPECT_EQ(key.ReadDWORD(kTSMaxBufSizeKB.name, &value, kTSMaxBufSizeKB.defaultValue), E_FAIL);
  EXPECT_EQ(value, 32768u) << "a string is no size, and the machine's 1000 must not show through";
  EXPECT_EQ(key.ReadDWORD(kTSMinDiskFreeMB.name, &value, kTSMinDiskFreeMB.defaultValue), E_FAIL);
  EXPECT_EQ(value, 128u);
  value = 524288;
  EXPECT_EQ(key.ReadDWORD(kTSInitialTimeShift.name, &value), E_FAIL) << "two bytes are no 32-bit value";
  EXPECT_EQ(value, 524288u);

  char text[COVRegKey::kMaxPath] = "TShift.mpg";
  DWORD size = sizeof(text);
  EXPECT_EQ(key.ReadString(kTSFile.name, text, &size), S_OK);
  EXPECT_STREQ(text, "Machine.mpg") << "the user has no File: the machine-wide one serves";
  EXPECT_TRUE(Raw(HKEY_CURRENT_USER, "", kTSFile.name).empty()) << "a later use copies nothing";
  size = sizeof(text);
  EXPECT_EQ(key.ReadString("Fits", text, &size), S_OK);
  EXPECT_EQ(std::string(text), std::string(258, 'f'));
  strcpy(text, "C:\\");
  size = sizeof(text);
  EXPECT_EQ(key.ReadString("TooLong", text, &size), E_FAIL) << "260 bytes stored";
  EXPECT_STREQ(text, "C:\\");
  size = sizeof(text);
  EXPECT_EQ(key.ReadString(kTSOptions.name, text, &size), E_FAIL);
  EXPECT_STREQ(text, "C:\\");

  DWORD read[3] = {};
  size = sizeof(read);
  EXPECT_EQ(key.ReadBinary(kTSInputCache.name, read, &size), S_OK);
  EXPECT_EQ(size, sizeof(read));
  EXPECT_EQ(read[2], 10u);
  size = sizeof(read);
  EXPECT_EQ(key.ReadBinary(kTSOutputCache.name, read, &size), E_FAIL);
}

// Catches: a write landing in (or a seeding copy changing) the machine-wide key.
TEST_F(RegKeyTest, WritesGoToTheUserKeyOnly) {
  SetDword(HKEY_LOCAL_MACHINE, "", kTSOptions.name, 4);
  {
    COVRegKey key(path_.c_str(), kFilterAccess);
    ASSERT_TRUE(key.IsOpened());
    EXPECT_EQ(key.WriteDWORD(kTSOptions.name, 9), ERROR_SUCCESS);
    EXPECT_EQ(key.WriteString(kTSDrive.name, "D:\\video\\"), ERROR_SUCCESS);
    const DWORD triple[3] = {512, 64, 0};
    EXPECT_EQ(key.WriteBinary(kTSInputCache.name, triple, sizeof(triple)), ERROR_SUCCESS);
    EXPECT_EQ(key.WriteDWORD("Nowhere", 1, true), ERROR_FILE_NOT_FOUND);
  }
  EXPECT_EQ(AsDword(Raw(HKEY_LOCAL_MACHINE, "", kTSOptions.name)), 4u);
  EXPECT_TRUE(Raw(HKEY_LOCAL_MACHINE, "", kTSDrive.name).empty());
  EXPECT_TRUE(Raw(HKEY_LOCAL_MACHINE, "", kTSInputCache.name).empty());
  EXPECT_TRUE(Raw(HKEY_CURRENT_USER, "", "Nowhere").empty());
  DWORD type = 0;
  std::vector<BYTE> drive = Raw(HKEY_CURRENT_USER, "", kTSDrive.name, &type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(drive.size(), 10u) << "the text is stored with its terminating zero";

  COVRegKey again(path_.c_str(), KEY_READ);
  DWORD options = 0;
  EXPECT_EQ(again.ReadDWORD(kTSOptions.name, &options, kTSOptions.defaultValue), S_OK);
  EXPECT_EQ(options, 9u);
}

// Catches: a failed open read as success, or a read of garbage instead of the listed defaults.
TEST_F(RegKeyTest, NoKeyGivesEveryDefaultAndWritesFail) {
  // The user's key is there but locked, and there is no machine-wide key to fall back on.
  SetDword(HKEY_CURRENT_USER, "TShift", nullptr, 0);
  Lock(HKEY_CURRENT_USER, "TShift", kDenyReadWrite);
  const std::string unreachable = At("TShift");
  for (REGSAM access : {kFilterAccess, static_cast<REGSAM>(KEY_READ)}) {
    COVRegKey key(unreachable.c_str(), access);
    EXPECT_FALSE(key.IsOpened());
    for (const TSSettingInfo& value : kTSSettings) {
      SCOPED_TRACE(value.name);
      if (value.type == REG_DWORD) {
        DWORD read = 0xDEADBEEF;
        EXPECT_EQ(key.ReadDWORD(value.name, &read, *static_cast<const DWORD*>(value.defaultData)), E_FAIL);
        EXPECT_EQ(read, *static_cast<const DWORD*>(value.defaultData));
      } else if (value.type == REG_SZ) {
        char text[COVRegKey::kMaxPath];
        strcpy(text, static_cast<const char*>(value.defaultData));
        DWORD size = sizeof(text);
        EXPECT_EQ(key.ReadString(value.name, text, &size), E_FAIL);
        EXPECT_STREQ(text, static_cast<const char*>(value.defaultData));
      } else {
        BYTE data[12] = {};
        DWORD size = sizeof(data);
        EXPECT_EQ(key.ReadBinary(value.name, data, &size), E_FAIL);
      }
    }
    EXPECT_EQ(key.WriteDWORD(kTSOptions.name, 1), E_FAIL);
    EXPECT_EQ(key.WriteString(kTSFile.name, "x"), E_FAIL);
  }
}

// Catches: a copy that stops at (or retries) a destination sub-key it cannot create.
TEST_F(RegKeyTest, CopyKeyTreeMovesPastUncreatableSubKey) {
  SetDword(HKEY_CURRENT_USER, "Source\\A", "Level", 1);
  SetDword(HKEY_CURRENT_USER, "Source\\B", "Level", 2);
  SetDword(HKEY_CURRENT_USER, "Dest\\A", "Old", 0);
  Lock(HKEY_CURRENT_USER, "Dest\\A", kDenyReadWrite);
  COVRegKey owner(At("Dest").c_str(), kFilterAccess);
  HKEY source = nullptr;
  HKEY destination = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, At("Source").c_str(), 0, KEY_READ, &source), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, At("Dest").c_str(), 0, kFilterAccess, &destination), ERROR_SUCCESS);
  EXPECT_EQ(owner.CopyKeyTree(destination, source), S_OK);
  RegCloseKey(source);
  RegCloseKey(destination);
  EXPECT_EQ(AsDword(Raw(HKEY_CURRENT_USER, "Dest\\B", "Level")), 2u);
}

// Catches: misread version boundaries that would put settings under the wrong root, or nowhere.
TEST(COVRegKeyPlatform, Classification) {
  EXPECT_GE(COVRegKey::GetPlatformCode(), 16u) << "a 64-bit process on NT 6.1 or later keeps settings per user";
  EXPECT_EQ(COVRegKey::PlatformCodeFor(VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0, false), 3u);
  EXPECT_EQ(COVRegKey::PlatformCodeFor(VER_PLATFORM_WIN32_WINDOWS, 4, 11, 0, false), 9u);
  EXPECT_EQ(COVRegKey::PlatformCodeFor(VER_PLATFORM_WIN32_NT, 5, 2, VER_NT_WORKSTATION, false), 12u);
  EXPECT_EQ(COVRegKey::PlatformCodeFor(VER_PLATFORM_WIN32_NT, 5, 2, VER_NT_SERVER, false), 13u);
  EXPECT_EQ(COVRegKey::PlatformCodeFor(VER_PLATFORM_WIN32_NT, 6, 1, VER_NT_WORKSTATION, true), 17u);
  EXPECT_EQ(COVRegKey::PlatformCodeFor(VER_PLATFORM_WIN32_NT, 6, 3, VER_NT_WORKSTATION, true), 0x7FFFFFFFu);
  EXPECT_EQ(COVRegKey::PlatformCodeFor(VER_PLATFORM_WIN32_NT, 10, 0, VER_NT_WORKSTATION, false), 0x7FFFFFFEu);
  EXPECT_EQ(COVRegKey::PlatformCodeFor(VER_PLATFORM_WIN32_NT, 2, 0, VER_NT_WORKSTATION, false), 0u);
}

}  // namespace
}  // namespace ovts
