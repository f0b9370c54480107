#include "frontend/Json.h"

namespace frontend {
namespace {

bool IsHigh(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLow(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}
bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// nlohmann/json writes only UTF-8, so JsonValue hands it a NUL and four hex digits for each
// lone surrogate (and for each NUL, "0000"): a NUL comes out as \u0000, and Unescape turns
// \u0000XXXX back into \uXXXX.
void AppendMarked(std::string& out, char16_t c) {
  constexpr char kHex[] = "0123456789abcdef";
  out.push_back('\0');
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(c >> shift) & 0xF]);
}

std::string Unescape(const std::string& dumped) {
  std::string out;
  out.reserve(dumped.size());
  for (std::size_t i = 0; i < dumped.size(); ++i) {
    if (dumped[i] != '\\') {
      out.push_back(dumped[i]);
      continue;
    }
    // An escape: a backslash is never anything else in JSON text.
    if (dumped.compare(i, 6, "\\u0000") == 0 && i + 10 <= dumped.size() && IsHex(dumped[i + 6]) &&
        IsHex(dumped[i + 7]) && IsHex(dumped[i + 8]) && IsHex(dumped[i + 9])) {
      out += "\\u";
      out.append(dumped, i + 6, 4);
      i += 9;
      continue;
    }
    out.push_back(dumped[i]);
    if (i + 1 < dumped.size()) out.push_back(dumped[++i]);
  }
  return out;
}

}  // namespace

std::string JsonValue(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (IsHigh(c) && i + 1 < text.size() && IsLow(text[i + 1])) {
      AppendUtf8(out, 0x10000 + ((char32_t{c} - 0xD800) << 10) + (text[++i] - 0xDC00));
    } else if (c == 0 || IsHigh(c) || IsLow(c)) {
      AppendMarked(out, c);
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

std::u16string JsonText(const nlohmann::ordered_json& value, int indent) {
  // Every string went through JsonValue, so the text is UTF-8 and the dump cannot throw.
  const std::string dumped = Unescape(value.dump(indent));
  std::u16string text;
  Utf16FromUtf8(dumped, text);
  std::u16string out;
  out.reserve(text.size() + text.size() / 16 + 2);
  for (const char16_t c : text) {
    // A line break inside a string is escaped, so each one here is the layout's own.
    if (c == u'\n') out.push_back(u'\r');
    out.push_back(c);
  }
  return out + u"\r\n";
}

bool Utf16FromUtf8(std::string_view bytes, std::u16string& text) {
  text.clear();
  text.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length = 0;
    char32_t c = 0;
    char32_t least = 0;
    if (lead < 0x80) {
      length = 1, c = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, c = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, c = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, c = lead & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (bytes.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    if (c >= 0x10000) {
      text.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      text.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      text.push_back(static_cast<char16_t>(c));
    }
    i += length;
  }
  return true;
}

}  // namespace frontend
