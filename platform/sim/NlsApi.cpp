// Code pages: the machine's ANSI code page (1252 unless a test sets another) and conversion
// between UTF-16 and 1252, ISO 8859-1 and UTF-8.
#include <array>
#include <optional>
#include <string>

#include "platform/sim/MachineState.h"

namespace sim {
namespace {

// Windows-1252 differs from ISO 8859-1 only in 0x80..0x9F. The five bytes it leaves undefined
// map to the control characters of the same value, as Windows does.
constexpr std::array<char16_t, 32> kWindows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool IsContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// Without MB_ERR_INVALID_CHARS, Windows (Vista on) turns each malformed sequence into U+FFFD:
// overlong forms, encoded surrogates and code points past U+10FFFF included, so no character
// comes out of a form that does not encode it. A sequence is known bad once its lead and first
// continuation byte are seen; those two make one U+FFFD, and what follows is read afresh.
void DecodeUtf8(std::string_view bytes, std::u16string& out) {
  constexpr char16_t replacement = 0xFFFD;
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  for (std::size_t i = 0; i < bytes.size();) {
    const unsigned char lead = at(i);
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    std::size_t extra = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
    } else {  // a continuation byte, C0/C1 (always overlong) or F5..FF
      out.push_back(replacement);
      ++i;
      continue;
    }
    if (i + 1 >= bytes.size() || !IsContinuation(at(i + 1))) {
      out.push_back(replacement);
      ++i;
      continue;
    }
    std::uint32_t code = (lead & (0x3F >> extra)) << 6 | (at(i + 1) & 0x3F);
    const bool bad = (extra == 2 && (code < 0x20 || (code >= 0x360 && code < 0x380))) ||
                     (extra == 3 && (code < 0x10 || code > 0x10F));
    std::size_t k = 2;
    if (!bad) {
      for (; k <= extra && i + k < bytes.size() && IsContinuation(at(i + k)); ++k) {
        code = code << 6 | (at(i + k) & 0x3F);
      }
    }
    if (bad || k <= extra) {
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

// The byte of an ANSI code page for a character, if it has one.
std::optional<char> AnsiByte(win::UINT codePage, char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
  if (codePage == 28591) {
    return c <= 0xFF ? std::optional<char>(static_cast<char>(c)) : std::nullopt;
  }
  for (std::size_t i = 0; i < kWindows1252High.size(); ++i) {
    if (kWindows1252High[i] == c) return static_cast<char>(0x80 + i);
  }
  return std::nullopt;
}

void AppendUtf8(std::uint32_t code, std::string& out) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | code >> 6));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | code >> 12));
    out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | code >> 18));
    out.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

constexpr win::DWORD kErrorInvalidFlags = 1004;
constexpr win::DWORD kWcErrInvalidChars = 0x80;
constexpr win::DWORD kWcNoBestFitChars = 0x400;

// The code page CP_ACP and CP_THREAD_ACP stand for.
win::UINT AnsiCodePage() {
  Guard guard(Lock());
  return State().ansiCodePage;
}

}  // namespace

bool EncodeUtf8(std::u16string_view text, std::string& out) {
  bool paired = true;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t code = text[i];
    if (code >= 0xD800 && code < 0xE000) {
      if (code < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
        code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
      } else {
        code = 0xFFFD;
        paired = false;
      }
    }
    AppendUtf8(code, out);
  }
  return paired;
}

}  // namespace sim

namespace win {

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int size, LPWSTR wide,
                        int wideSize) {
  if (sim::Intercept("MultiByteToWideChar")) return 0;
  if (text == nullptr || size == 0 || wideSize < 0 || (wide == nullptr && wideSize != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (codePage == CP_ACP || codePage == CP_THREAD_ACP) codePage = sim::AnsiCodePage();
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

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideSize, LPSTR text,
                        int size, LPCSTR defaultChar, BOOL* usedDefaultChar) {
  if (sim::Intercept("WideCharToMultiByte")) return 0;
  if (wide == nullptr || wideSize == 0 || size < 0 || (text == nullptr && size != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (codePage == CP_ACP || codePage == CP_THREAD_ACP) codePage = sim::AnsiCodePage();
  const std::u16string_view chars(wide, wideSize < 0 ? std::char_traits<char16_t>::length(wide) + 1
                                                     : static_cast<std::size_t>(wideSize));
  std::string converted;
  bool usedDefault = false;
  switch (codePage) {
    case CP_UTF8:
      // UTF-8 has every character: there is no default character to use or report.
      if (defaultChar != nullptr || usedDefaultChar != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
      }
      if ((flags & ~sim::kWcErrInvalidChars) != 0) {
        SetLastError(sim::kErrorInvalidFlags);
        return 0;
      }
      if (!sim::EncodeUtf8(chars, converted) && (flags & sim::kWcErrInvalidChars) != 0) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
      }
      break;
    case 1252:
    case 28591:
      // Windows maps some characters to a look-alike (best fit) unless told not to; the
      // simulation uses the default character for every one the code page lacks, and knows no
      // other flag.
      if ((flags & ~sim::kWcNoBestFitChars) != 0) {
        SetLastError(sim::kErrorInvalidFlags);
        return 0;
      }
      for (char16_t c : chars) {
        const auto byte = sim::AnsiByte(codePage, c);
        usedDefault = usedDefault || !byte;
        converted.push_back(byte ? *byte : defaultChar != nullptr ? *defaultChar : '?');
      }
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
  }
  if (usedDefaultChar != nullptr) *usedDefaultChar = usedDefault ? TRUE : FALSE;
  if (size == 0) return static_cast<int>(converted.size());
  if (converted.size() > static_cast<std::size_t>(size)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  converted.copy(text, converted.size());
  return static_cast<int>(converted.size());
}

}  // namespace win

namespace win {

int CompareStringOrdinal(LPCWSTR a, int aSize, LPCWSTR b, int bSize, BOOL ignoreCase) {
  if (a == nullptr || b == nullptr || aSize < -1 || bSize < -1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::u16string_view left = aSize < 0 ? std::u16string_view(a) : std::u16string_view(a, aSize);
  std::u16string_view right = bSize < 0 ? std::u16string_view(b) : std::u16string_view(b, bSize);
  const int order = ignoreCase ? sim::Upper(left).compare(sim::Upper(right)) : left.compare(right);
  return order < 0 ? CSTR_LESS_THAN : order == 0 ? CSTR_EQUAL : CSTR_GREATER_THAN;
}

}  // namespace win
