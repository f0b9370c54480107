#include "engine/Junction.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "engine/AsciiText.h"
#include "engine/MountPointBuffer.h"
#include "platform/ReparseRecord.h"
#include "platform/UniqueHandle.h"

namespace {

constexpr std::size_t kNameBufferUnits = kJunctionNameBufferUnits;
constexpr std::u16string_view kNtPrefix = u"\\??\\";
// The Win32 spellings of the NT prefix: \\?\ and \\.\ name the same objects as \??\ does.
constexpr std::u16string_view kVerbatimPrefix = u"\\\\?\\";
constexpr std::u16string_view kDevicePrefix = u"\\\\.\\";

bool IsNtForm(std::u16string_view target) {
  return target.size() >= 2 && target[0] == u'\\' && target[1] == u'?';
}

bool HasWin32NtPrefix(std::u16string_view path) {
  return path.starts_with(kVerbatimPrefix) || path.starts_with(kDevicePrefix);
}

// "UNC\" (in any case) at `at`: the NT spelling of \\server\share.
bool IsUncAt(std::u16string_view path, std::size_t at) {
  if (path.size() < at + 4 || path[at + 3] != u'\\') return false;
  return SameAsciiText(std::u16string_view(path).substr(at, 3), u"UNC");
}

// Sets the mount point of `buffer` on the open, empty directory.
bool SetMountPoint(win::HANDLE directory, MountPointBuffer& buffer) {
  win::DWORD returned = 0;
  return win::DeviceIoControl(directory, win::FSCTL_SET_REPARSE_POINT, buffer.Data(),
                              buffer.SizeToSend(), nullptr, 0, &returned, nullptr) != 0;
}

// The link directory itself, opened exclusively and without following a reparse point already
// on it; closed on every path.
class ReparsePointHandle {
 public:
  void Open(const std::u16string& path) {
    handle_.Reset(win::CreateFileW(
        path.c_str(), win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr, win::OPEN_EXISTING,
        win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  }

  bool SetReparsePoint(MountPointBuffer& buffer) {
    return handle_ && SetMountPoint(handle_.Get(), buffer);
  }

  bool DeleteReparsePoint() { return handle_ && RemoveJunctionFrom(handle_.Get()); }

  void Close() { handle_.Reset(); }

 private:
  win::UniqueFile handle_;
};

// The substitute name for `target` in `name`: the target unchanged when it is already in the
// \??\ form, else \??\ and its full path, which must exist; a full path that already carries
// the prefix in its Win32 spelling (\\?\D:\Data) gets it once, not twice. False when it cannot
// be formed or does not fit the buffer (then nothing is written past it).
bool FormSubstituteName(const std::u16string& target, std::array<char16_t, kNameBufferUnits>& name,
                        std::size_t& length) {
  if (IsNtForm(target)) {
    if (target.size() > kNameBufferUnits - 1) {
      win::SetLastError(win::ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    std::memcpy(name.data(), target.data(), target.size() * sizeof(char16_t));
    name[target.size()] = u'\0';
    length = target.size();
    return true;
  }

  std::array<char16_t, kNameBufferUnits> full{};
  const win::DWORD fullLength = win::GetFullPathNameW(
      target.c_str(), static_cast<win::DWORD>(full.size()), full.data(), nullptr);
  if (fullLength == 0) return false;
  const std::size_t skipped =
      HasWin32NtPrefix(std::u16string_view(full.data(), fullLength)) ? kVerbatimPrefix.size() : 0;
  const std::size_t kept = fullLength - skipped;
  if (fullLength >= full.size() || kNtPrefix.size() + kept > kNameBufferUnits - 1) {
    win::SetLastError(win::ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  if (win::GetFileAttributesW(full.data()) == win::INVALID_FILE_ATTRIBUTES) return false;
  std::memcpy(name.data(), kNtPrefix.data(), kNtPrefix.size() * sizeof(char16_t));
  std::memcpy(name.data() + kNtPrefix.size(), full.data() + skipped, kept * sizeof(char16_t));
  length = kNtPrefix.size() + kept;
  name[length] = u'\0';
  return true;
}

}  // namespace

bool IsNetworkTarget(const std::u16string& target) {
  if (IsNtForm(target)) return target.starts_with(kNtPrefix) && IsUncAt(target, kNtPrefix.size());
  std::u16string path = target;
  if (!HasWin32NtPrefix(path)) std::ranges::replace(path, u'/', u'\\');
  // A relative target is taken from the current directory, which may lie on a share.
  const bool drivePath = path.size() >= 2 && path[1] == u':';
  if (!drivePath && !path.starts_with(u"\\\\")) {
    const win::DWORD size = win::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::u16string full(size, u'\0');
    const win::DWORD length =
        size == 0 ? 0 : win::GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) return false;  // making the junction says why
    path = full.substr(0, length);
  }
  if (HasWin32NtPrefix(path)) return IsUncAt(path, kVerbatimPrefix.size());
  return path.starts_with(u"\\\\");
}

namespace {

// The substitute name for `target`, filled into `buffer`; false with the code of the failing step.
bool FillFor(const std::u16string& target, MountPointBuffer& buffer) {
  if (IsNetworkTarget(target)) {
    win::SetLastError(kNetworkTargetError);
    return false;
  }
  std::array<char16_t, kNameBufferUnits> substituteName{};
  std::size_t length = 0;
  if (!FormSubstituteName(target, substituteName, length)) return false;
  if (!buffer.Fill(std::u16string_view(substituteName.data(), length))) {
    win::SetLastError(win::ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  return true;
}

}  // namespace

bool CreateJunction(const std::u16string& link, const std::u16string& target) {
  if (link.empty() || target.empty()) return false;
  MountPointBuffer buffer;
  if (!FillFor(target, buffer)) return false;
  ReparsePointHandle directory;
  directory.Open(link);
  const bool set = directory.SetReparsePoint(buffer);
  directory.Close();
  return set;
}

bool CreateJunctionOn(win::HANDLE directory, const std::u16string& target) {
  if (target.empty()) return false;
  MountPointBuffer buffer;
  return FillFor(target, buffer) && SetMountPoint(directory, buffer);
}

bool RemoveJunction(const std::u16string& link) {
  ReparsePointHandle directory;
  directory.Open(link);
  const bool removed = directory.DeleteReparsePoint();
  directory.Close();
  return removed;
}

// Removal sends the reparse GUID header alone: the tag, then twenty zero bytes.
bool RemoveJunctionFrom(win::HANDLE directory) {
  auto header = reparse::RemovalHeader(win::IO_REPARSE_TAG_MOUNT_POINT);
  win::DWORD returned = 0;
  return win::DeviceIoControl(directory, win::FSCTL_DELETE_REPARSE_POINT, header.data(),
                              static_cast<win::DWORD>(header.size()), nullptr, 0, &returned,
                              nullptr) != 0;
}
