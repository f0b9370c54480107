// Code pages: the machine's ANSI code page (1252 unless a test sets another) and conversion to
// UTF-16 for 1252, ISO 8859-1 and UTF-8.
#include <array>

#include "platform/sim/MachineState.h"

namespace sim {
namespace {

// Windows-1252 differs from ISO 8859-1 only in 0x80..0x9F. The five bytes it leaves undefined
// map to the control characters of the same value, as Windows does.
constexpr std::array<char16_t, 32> kWindows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Without MB_ERR_INVALID_CHARS, Windows turns each malformed sequence into U+FFFD.
void DecodeUtf8(std::string_view bytes, std::u16string& out) {
  constexpr char16_t replacement = 0xFFFD;
  for (std::size_t i = 0; i < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::uint32_t code = 0;
    std::size_t extra = 0;
    if (lead < 0x80) {
      code = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      code = lead & 0x1F, extra = 1;
    } else if ((lead & 0xF0) == 0xE0) {
      code = lead & 0x0F, extra = 2;
    } else if ((lead & 0xF8) == 0xF0) {
      code = lead & 0x07, extra = 3;
    } else {
      out.push_back(replacement);
      ++i;
      continue;
    }
    std::size_t k = 1;
    for (; k <= extra && i + k < bytes.size(); ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) break;
      code = (code << 6) | (next & 0x3F);
    }
    if (k <= extra) {
      out.push_back(replacement);
      i += k;
      continue;
    }
    i += extra + 1;
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
  }
}

}  // namespace
}  // namespace sim

namespace win {

UINT GetACP() {
  sim::Guard guard(sim::Lock());
  return sim::State().ansiCodePage;
}

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int size, LPWSTR wide,
                        int wideSize) {
  if (sim::Intercept("MultiByteToWideChar")) return 0;
  if (text == nullptr || size == 0 || wideSize < 0 || (wide == nullptr && wideSize != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (codePage == CP_ACP || codePage == CP_THREAD_ACP) codePage = GetACP();
  const std::string_view bytes(
      text, size < 0 ? std::char_traits<char>::length(text) + 1 : static_cast<std::size_t>(size));
  std::u16string converted;
  switch (codePage) {
    case 1252:
      for (char byte : bytes) {
        const auto b = static_cast<unsigned char>(byte);
        converted.push_back(b >= 0x80 && b < 0xA0 ? sim::kWindows1252High[b - 0x80]
                                                  : static_cast<char16_t>(b));
      }
      break;
    case 28591:
      for (char byte : bytes) converted.push_back(static_cast<unsigned char>(byte));
      break;
    case CP_UTF8:
      sim::DecodeUtf8(bytes, converted);
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
  }
  (void)flags;
  if (wideSize == 0) return static_cast<int>(converted.size());
  if (converted.size() > static_cast<std::size_t>(wideSize)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  converted.copy(wide, converted.size());
  return static_cast<int>(converted.size());
}

}  // namespace win
