#include <windows.h>

#include "framework/ComKit.h"
#include "tools/tshift/Commands.h"
#include "tools/tshift/HostSupport.h"
#include "tools/tshift/StatusFigures.h"

namespace ovts::tshift {

std::string CheckBufferPlace(IOVTimeShiftFilter* control, std::string* note, int64_t* bufferBytes) {
  note->clear();
  BufferSettings settings(control);
  const TSBufferConfig& config = settings.config();
  std::wstring folder = config.directory ? config.directory : L"";
  if (folder.empty()) folder = L".\\";
  if (folder.back() != L'\\') folder += L'\\';
  const std::string shown = Narrow(folder);

  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return "the buffer folder " + shown + " does not exist (\"" + kTSDrive.name + "\" setting)";
  const std::wstring root = folder.size() >= 3 && folder[1] == L':' ? folder.substr(0, 3) : std::wstring();
  if (root.empty() || GetDriveTypeW(root.c_str()) != DRIVE_FIXED)
    return "the buffer folder " + shown + " is not on a fixed local disk";

  // A probe file that goes away by itself proves the folder takes new files.
  const std::wstring probe = folder + L"tshift-probe.tmp";
  const UniqueHandle file(CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (!file)
    return "cannot write in the buffer folder " + shown + ": " + ErrorText(HRESULT_FROM_WIN32(GetLastError()));

  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(root.c_str(), &available, nullptr, nullptr))
    return "cannot read the free space of " + Narrow(root) + ": " + ErrorText(HRESULT_FROM_WIN32(GetLastError()));
  const int64_t free = static_cast<int64_t>(available.QuadPart);
  const int64_t reserve = static_cast<int64_t>(config.minFreeMB) * 1048576;
  const int64_t wanted = static_cast<int64_t>(config.sizeKB) * 1024;
  if (free <= reserve)
    return "not enough disk space for the buffer on " + Narrow(root) + ": " + FormatBytes(free) + " free, " +
           FormatBytes(reserve) + " must stay free (\"" + kTSMinDiskFreeMB.name + "\")";
  if (bufferBytes) *bufferBytes = free - reserve < wanted ? free - reserve : wanted;
  if (free - reserve < wanted)
    *note = "the buffer will hold " + FormatBytes(free - reserve) + ", not " + FormatBytes(wanted) + ": " +
            Narrow(root) + " has " + FormatBytes(free) + " free and keeps " + FormatBytes(reserve);
  return {};
}

HRESULT StoreSessionSettings(IOVTimeShiftFilter* control, const SessionBuffer& buffer, uint32_t kbps) {
  const std::wstring folder = Widen(buffer.folder);
  CreateDirectoryW(folder.c_str(), nullptr);
  TSBufferConfig config{};
  config.directory = SysAllocString(folder.c_str());
  config.fileName = SysAllocString(buffer.fileName);
  config.sizeKB = buffer.sizeKB;
  config.minFreeMB = kTSMinDiskFreeMB.defaultValue;
  config.initialTimeShift = kTSInitialTimeShift.defaultValue;
  config.options = buffer.options;
  RETURN_IF_FAILED(control->SetBufferSettings(&config));  // takes the strings over
  return control->SetCacheBitRate(kbps);
}

}  // namespace ovts::tshift
