// The mount-point reparse record (a directory junction) as NTFS stores it: one definition for
// the engine that builds it, the simulation that checks and follows it, and the tests that read
// it back. Fields are little-endian at fixed offsets and the buffers are plain bytes, so they
// are read and written byte by byte, whatever the host's byte order and the buffer's alignment.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/WinApi.h"

namespace reparse {

// The header every record starts with.
inline constexpr std::size_t kTagAt = 0;         // 32 bits
inline constexpr std::size_t kDataLengthAt = 4;  // 16 bits: the bytes after the header
inline constexpr std::size_t kReservedAt = 6;    // 16 bits, zero
inline constexpr std::size_t kHeaderSize = 8;
// A tag outside Microsoft's range carries a GUID after the header. Removal sends this longer
// header alone, with a data length of zero.
inline constexpr std::size_t kGuidHeaderSize = 24;

// The mount-point fields: name offsets count from the path buffer, lengths are in bytes and
// leave out the terminator each name has in the buffer.
inline constexpr std::size_t kSubstituteNameOffsetAt = 8;
inline constexpr std::size_t kSubstituteNameLengthAt = 10;
inline constexpr std::size_t kPrintNameOffsetAt = 12;
inline constexpr std::size_t kPrintNameLengthAt = 14;
inline constexpr std::size_t kPathBufferAt = 16;
// The four name fields, which the data length counts.
inline constexpr std::size_t kMountPointFieldsSize = kPathBufferAt - kHeaderSize;

constexpr std::uint16_t Get16(const std::uint8_t* record, std::size_t at) {
  return static_cast<std::uint16_t>(record[at] | (record[at + 1] << 8));
}

constexpr std::uint32_t Get32(const std::uint8_t* record, std::size_t at) {
  return Get16(record, at) | (static_cast<std::uint32_t>(Get16(record, at + 2)) << 16);
}

constexpr void Put16(std::uint8_t* record, std::size_t at, std::uint16_t value) {
  record[at] = static_cast<std::uint8_t>(value);
  record[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

constexpr void Put32(std::uint8_t* record, std::size_t at, std::uint32_t value) {
  Put16(record, at, static_cast<std::uint16_t>(value));
  Put16(record, at + 2, static_cast<std::uint16_t>(value >> 16));
}

// The data length of a mount-point record whose substitute name has `units` UTF-16 units and
// whose print name is empty: the four fields, the name and both names' terminators.
constexpr std::size_t MountPointDataLength(std::size_t units) {
  return kMountPointFieldsSize + 2 * units + 2 + 2;
}

// The whole record, which is what is sent to set it.
constexpr std::size_t MountPointSize(std::size_t units) {
  return kHeaderSize + MountPointDataLength(units);
}

// Writes the mount-point record for `substituteName`, print name empty, into the first
// MountPointSize(substituteName.size()) bytes of `record`; the caller makes sure they exist
// and that the data length fits its 16 bits.
constexpr void WriteMountPoint(std::uint8_t* record, std::u16string_view substituteName) {
  const auto nameBytes = static_cast<std::uint16_t>(2 * substituteName.size());
  Put32(record, kTagAt, win::IO_REPARSE_TAG_MOUNT_POINT);
  Put16(record, kDataLengthAt,
        static_cast<std::uint16_t>(MountPointDataLength(substituteName.size())));
  Put16(record, kReservedAt, 0);
  Put16(record, kSubstituteNameOffsetAt, 0);
  Put16(record, kSubstituteNameLengthAt, nameBytes);
  Put16(record, kPrintNameOffsetAt, static_cast<std::uint16_t>(nameBytes + 2));
  Put16(record, kPrintNameLengthAt, 0);
  std::size_t at = kPathBufferAt;
  for (char16_t unit : substituteName) {
    Put16(record, at, static_cast<std::uint16_t>(unit));
    at += 2;
  }
  Put32(record, at, 0);  // both terminators
}

// The substitute name of a mount-point record of `size` bytes; empty when the record is not
// one or its name lies outside it.
inline std::u16string SubstituteName(const std::uint8_t* record, std::size_t size) {
  if (record == nullptr || size < kPathBufferAt) return {};
  if (Get32(record, kTagAt) != win::IO_REPARSE_TAG_MOUNT_POINT) return {};
  const std::size_t begin = kPathBufferAt + Get16(record, kSubstituteNameOffsetAt);
  const std::size_t length = Get16(record, kSubstituteNameLengthAt) / 2;
  if (begin + 2 * length > size) return {};
  std::u16string name(length, u'\0');
  for (std::size_t i = 0; i < length; ++i) {
    name[i] = static_cast<char16_t>(Get16(record, begin + 2 * i));
  }
  return name;
}

// A symbolic link's record has the same four name fields, then 32 bits of flags before its
// path buffer.
inline constexpr std::size_t kSymbolicLinkFlagsAt = 16;
inline constexpr std::size_t kSymbolicLinkPathBufferAt = 20;

// The names of a junction's or a symbolic link's record, as another program may have written
// it: every offset and length is checked against the record's own data length and the bytes
// at hand. `intact` is false when the record is shorter than it says or a name lies outside
// it; a record of another tag is intact and has no names.
struct LinkNames {
  std::uint32_t tag = 0;
  std::u16string substituteName;
  std::u16string printName;
  bool intact = false;
};

inline LinkNames ReadLinkNames(const std::uint8_t* record, std::size_t size) {
  LinkNames names;
  if (record == nullptr || size < kHeaderSize) return names;
  names.tag = Get32(record, kTagAt);
  const std::size_t end = kHeaderSize + Get16(record, kDataLengthAt);
  if (end > size) return names;
  std::size_t bufferAt = 0;
  if (names.tag == win::IO_REPARSE_TAG_MOUNT_POINT) {
    bufferAt = kPathBufferAt;
  } else if (names.tag == win::IO_REPARSE_TAG_SYMLINK) {
    bufferAt = kSymbolicLinkPathBufferAt;
  } else {
    names.intact = true;
    return names;
  }
  if (bufferAt > end) return names;
  const auto read = [&](std::size_t offsetAt, std::size_t lengthAt, std::u16string& name) {
    const std::size_t begin = bufferAt + Get16(record, offsetAt);
    const std::size_t bytes = Get16(record, lengthAt);
    if (bytes % 2 != 0 || begin + bytes > end) return false;
    name.resize(bytes / 2);
    for (std::size_t i = 0; i < name.size(); ++i) {
      name[i] = static_cast<char16_t>(Get16(record, begin + 2 * i));
    }
    return true;
  };
  names.intact = read(kSubstituteNameOffsetAt, kSubstituteNameLengthAt, names.substituteName) &&
                 read(kPrintNameOffsetAt, kPrintNameLengthAt, names.printName);
  return names;
}

// What removal sends: the tag, then twenty zero bytes.
constexpr std::array<std::uint8_t, kGuidHeaderSize> RemovalHeader(std::uint32_t tag) {
  std::array<std::uint8_t, kGuidHeaderSize> header{};
  Put32(header.data(), kTagAt, tag);
  return header;
}

}  // namespace reparse
