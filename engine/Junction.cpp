#include "engine/Junction.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "engine/MountPointBuffer.h"
#include "platform/ReparseRecord.h"
#include "platform/UniqueHandle.h"

namespace {

constexpr std::size_t kNameBufferUnits = kJunctionNameBufferUnits;
constexpr std::u16string_view kNtPrefix = u"\\??\\";

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
    if (!handle_) return false;
    win::DWORD returned = 0;
    return win::DeviceIoControl(handle_.Get(), win::FSCTL_SET_REPARSE_POINT, buffer.Data(),
                                buffer.SizeToSend(), nullptr, 0, &returned, nullptr) != 0;
  }

  // Removal sends the reparse GUID header alone: the tag, then twenty zero bytes.
  bool DeleteReparsePoint() {
    if (!handle_) return false;
    auto header = reparse::RemovalHeader(win::IO_REPARSE_TAG_MOUNT_POINT);
    win::DWORD returned = 0;
    return win::DeviceIoControl(handle_.Get(), win::FSCTL_DELETE_REPARSE_POINT, header.data(),
                                static_cast<win::DWORD>(header.size()), nullptr, 0, &returned,
                                nullptr) != 0;
  }

  void Close() { handle_.Reset(); }

 private:
  win::UniqueFile handle_;
};

// The substitute name for `target` in `name`: the target unchanged when it is already in the
// \??\ form, else \??\ and its full path, which must exist. False when it cannot be formed or
// does not fit the buffer (then nothing is written past it).
bool FormSubstituteName(const std::u16string& target, std::array<char16_t, kNameBufferUnits>& name,
                        std::size_t& length) {
  if (target.size() >= 2 && target[0] == u'\\' && target[1] == u'?') {
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
  if (fullLength >= full.size() || kNtPrefix.size() + fullLength > kNameBufferUnits - 1) {
    win::SetLastError(win::ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  if (win::GetFileAttributesW(full.data()) == win::INVALID_FILE_ATTRIBUTES) return false;
  std::memcpy(name.data(), kNtPrefix.data(), kNtPrefix.size() * sizeof(char16_t));
  std::memcpy(name.data() + kNtPrefix.size(), full.data(), fullLength * sizeof(char16_t));
  length = kNtPrefix.size() + fullLength;
  name[length] = u'\0';
  return true;
}

}  // namespace

bool CreateJunction(const std::u16string& link, const std::u16string& target) {
  if (link.empty() || target.empty()) return false;
  std::array<char16_t, kNameBufferUnits> substituteName{};
  std::size_t length = 0;
  if (!FormSubstituteName(target, substituteName, length)) return false;

  MountPointBuffer buffer;
  if (!buffer.Fill(std::u16string_view(substituteName.data(), length))) {
    win::SetLastError(win::ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  ReparsePointHandle directory;
  directory.Open(link);
  const bool set = directory.SetReparsePoint(buffer);
  directory.Close();
  return set;
}

bool RemoveJunction(const std::u16string& link) {
  ReparsePointHandle directory;
  directory.Open(link);
  const bool removed = directory.DeleteReparsePoint();
  directory.Close();
  return removed;
}
