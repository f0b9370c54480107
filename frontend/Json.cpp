#include "frontend/Json.h"

namespace frontend {
namespace {

bool IsHigh(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLow(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

void AppendEscape(std::u16string& out, char16_t c) {
  constexpr char16_t kHex[] = u"0123456789abcdef";
  out += u"\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(c >> shift) & 0xF]);
}

}  // namespace

std::u16string JsonString(std::u16string_view text) {
  std::u16string out = u"\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    switch (c) {
      case u'"':
        out += u"\\\"";
        continue;
      case u'\\':
        out += u"\\\\";
        continue;
      case u'\b':
        out += u"\\b";
        continue;
      case u'\f':
        out += u"\\f";
        continue;
      case u'\n':
        out += u"\\n";
        continue;
      case u'\r':
        out += u"\\r";
        continue;
      case u'\t':
        out += u"\\t";
        continue;
      default:
        break;
    }
    if (c < 0x20) {
      AppendEscape(out, c);
    } else if (IsHigh(c) && i + 1 < text.size() && IsLow(text[i + 1])) {
      out.push_back(c);
      out.push_back(text[++i]);
    } else if (IsHigh(c) || IsLow(c)) {
      AppendEscape(out, c);
    } else {
      out.push_back(c);
    }
  }
  return out + u"\"";
}

}  // namespace frontend
