// A second name for a file, for tests that need one to start from: made the way the service
// makes one (the new name below its folder's handle, NtSetInformationFile's link class), so the
// tests need no call of their own in the seam. Runs on the simulation and on Win32 alike.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/UniqueHandle.h"
#include "platform/WinApi.h"

namespace corvane_test {

// Makes `newName` another name of the file `existing`; an existing file of that name is left
// alone. False, with the last-error code, when it cannot be made.
inline bool MakeHardLink(const std::u16string& newName, const std::u16string& existing) {
  constexpr win::DWORD kShareAll =
      win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE;
  const std::size_t slash = newName.find_last_of(u'\\');
  std::u16string folder = slash == std::u16string::npos ? u"." : newName.substr(0, slash);
  const std::u16string name = slash == std::u16string::npos ? newName : newName.substr(slash + 1);
  if (!folder.empty() && folder.back() == u':') folder += u'\\';  // a drive's root
  if (name.empty()) {
    win::SetLastError(win::ERROR_INVALID_NAME);
    return false;
  }
  const win::UniqueFile file(win::CreateFileW(existing.c_str(),
                                              win::SYNCHRONIZE | win::FILE_READ_ATTRIBUTES,
                                              kShareAll, nullptr, win::OPEN_EXISTING, 0, nullptr));
  if (!file) return false;
  const win::UniqueFile below(
      win::CreateFileW(folder.c_str(), win::FILE_READ_DATA | win::SYNCHRONIZE, kShareAll, nullptr,
                       win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!below) return false;
  const std::size_t nameBytes = name.size() * sizeof(char16_t);
  std::vector<std::uint8_t> buffer(sizeof(win::FILE_LINK_INFORMATION) + nameBytes);
  auto* info = reinterpret_cast<win::FILE_LINK_INFORMATION*>(buffer.data());
  info->ReplaceIfExists = 0;
  info->RootDirectory = below.Get();
  info->FileNameLength = static_cast<win::ULONG>(nameBytes);
  std::memcpy(info->FileName, name.data(), nameBytes);
  win::IO_STATUS_BLOCK io{};
  const win::NTSTATUS status = win::NtSetInformationFile(
      file.Get(), &io, info, static_cast<win::ULONG>(buffer.size()), win::FileLinkInformation);
  if (status == win::STATUS_SUCCESS) return true;
  win::SetLastError(win::RtlNtStatusToDosError(status));
  return false;
}

}  // namespace corvane_test
