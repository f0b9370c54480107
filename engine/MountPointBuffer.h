// The mount-point reparse record the engine sends to make a junction.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "platform/ReparseRecord.h"
#include "platform/WinApi.h"

// One record in a zero-filled buffer of the largest reparse data size; the print name is left
// empty.
class MountPointBuffer {
 public:
  static constexpr std::size_t kSize = win::MAXIMUM_REPARSE_DATA_BUFFER_SIZE;
  // The longest substitute name the buffer holds with both terminators.
  static constexpr std::size_t kMaxSubstituteUnits = (kSize - reparse::MountPointSize(0)) / 2;

  MountPointBuffer() { bytes_.fill(0); }

  // Fills the record from a substitute name; false, and nothing written, when it does not fit.
  [[nodiscard]] bool Fill(std::u16string_view substituteName) {
    if (substituteName.size() > kMaxSubstituteUnits) return false;
    bytes_.fill(0);
    reparse::WriteMountPoint(bytes_.data(), substituteName);
    return true;
  }

  void* Data() { return bytes_.data(); }
  const std::uint8_t* Bytes() const { return bytes_.data(); }

  // What is sent: the data length plus the header.
  win::DWORD SizeToSend() const {
    return static_cast<win::DWORD>(reparse::Get16(bytes_.data(), reparse::kDataLengthAt) +
                                   reparse::kHeaderSize);
  }

 private:
  std::array<std::uint8_t, kSize> bytes_;
};
