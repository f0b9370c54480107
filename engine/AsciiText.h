// The case rules of Windows' own ASCII names (drive letters, the words of a request, "UNC",
// ".exe"): only a-z and A-Z fold, whatever the locale or code page, so that a Turkish dotless i
// or a full-width letter never passes for one of them. (The registry script and the service's
// switches fold as the registrar does, with the system's CharUpperW: service/RegistryScript.h.)
#pragma once

#include <algorithm>
#include <string_view>

template <typename Char>
constexpr Char AsciiUpper(Char c) {
  return c >= Char('a') && c <= Char('z') ? static_cast<Char>(c - Char('a') + Char('A')) : c;
}

template <typename Char>
constexpr Char AsciiLower(Char c) {
  return c >= Char('A') && c <= Char('Z') ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

constexpr bool IsAsciiLetter(char16_t c) {
  return AsciiUpper(c) >= u'A' && AsciiUpper(c) <= u'Z';
}

// Equal text when ASCII letters are folded; nothing else is.
template <typename Char>
constexpr bool SameAsciiText(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](Char x, Char y) { return AsciiUpper(x) == AsciiUpper(y); });
}
constexpr bool SameAsciiText(std::u16string_view a, std::u16string_view b) {
  return SameAsciiText<char16_t>(a, b);
}
constexpr bool SameAsciiText(std::string_view a, std::string_view b) {
  return SameAsciiText<char>(a, b);
}

// A drive letter's name: one letter and a colon ("X:", either case).
constexpr bool IsDriveLetterName(std::u16string_view text) {
  return text.size() == 2 && IsAsciiLetter(text[0]) && text[1] == u':';
}

// Whether two names are one drive letter's ("x:" and "X:").
constexpr bool SameDriveLetter(std::u16string_view a, std::u16string_view b) {
  return IsDriveLetterName(a) && SameAsciiText(a, b);
}
