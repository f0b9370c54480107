#include "engine/Junction.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/UniqueHandle.h"

namespace {

// Both working buffers hold this many UTF-16 units, the terminator included.
constexpr std::size_t kNameBufferUnits = 1024;
constexpr std::u16string_view kNtPrefix = u"\\??\\";

// One mount-point reparse record in the platform's published layout, in a zero-filled buffer
// of the largest reparse data size. The print name is left empty.
class MountPointBuffer {
 public:
  static constexpr std::size_t kSize = win::MAXIMUM_REPARSE_DATA_BUFFER_SIZE;
  static constexpr std::size_t kHeaderSize = 8;
  static constexpr std::size_t kPathOffset = 16;

  MountPointBuffer() { bytes_.fill(0); }

  // Fills the record from a substitute name of n units (n at most kNameBufferUnits - 1).
  void Fill(std::u16string_view substituteName) {
    bytes_.fill(0);
    const auto nameBytes = static_cast<std::uint16_t>(2 * substituteName.size());
    Put32(0, win::IO_REPARSE_TAG_MOUNT_POINT);
    Put16(4, static_cast<std::uint16_t>(nameBytes + 12));  // ReparseDataLength
    Put16(8, 0);                                           // SubstituteNameOffset
    Put16(10, nameBytes);                                  // SubstituteNameLength
    Put16(12, static_cast<std::uint16_t>(nameBytes + 2));  // PrintNameOffset
    Put16(14, 0);                                          // PrintNameLength
    for (std::size_t i = 0; i < substituteName.size(); ++i) {
      Put16(kPathOffset + 2 * i, static_cast<std::uint16_t>(substituteName[i]));
    }
  }

  void* Data() { return bytes_.data(); }

  // What is sent: the data length plus the eight-byte header.
  win::DWORD SizeToSend() const {
    return static_cast<win::DWORD>(bytes_[4] | (bytes_[5] << 8)) + kHeaderSize;
  }

 private:
  void Put16(std::size_t offset, std::uint16_t value) {
    bytes_[offset] = static_cast<std::uint8_t>(value);
    bytes_[offset + 1] = static_cast<std::uint8_t>(value >> 8);
  }
  void Put32(std::size_t offset, std::uint32_t value) {
    Put16(offset, static_cast<std::uint16_t>(value));
    Put16(offset + 2, static_cast<std::uint16_t>(value >> 16));
  }

  std::array<std::uint8_t, kSize> bytes_;
};

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
    std::array<std::uint8_t, 24> header{};
    const std::uint32_t tag = win::IO_REPARSE_TAG_MOUNT_POINT;
    for (int i = 0; i < 4; ++i) header[i] = static_cast<std::uint8_t>(tag >> (8 * i));
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
  buffer.Fill(std::u16string_view(substituteName.data(), length));
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
