#include "engine/SystemMessage.h"

#include <iterator>

std::u16string SystemMessage(win::DWORD code, std::u16string_view none) {
  char16_t buffer[512];
  win::DWORD length = win::FormatMessageW(
      win::FORMAT_MESSAGE_FROM_SYSTEM | win::FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
      buffer, static_cast<win::DWORD>(std::size(buffer)), nullptr);
  while (length > 0 && (buffer[length - 1] == u'\n' || buffer[length - 1] == u'\r' ||
                        buffer[length - 1] == u' ')) {
    --length;
  }
  return length > 0 ? std::u16string(buffer, length) : std::u16string(none);
}
