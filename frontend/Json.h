// JSON text (RFC 8259) for scripts, written and read with nlohmann/json, and the UTF-8 it is made
// of.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace frontend {

// `text` as the value of a JSON string. A UTF-16 surrogate without its partner, which no UTF-8
// can carry and a path may hold, is kept for JsonText to write as its \u escape.
std::string JsonValue(std::u16string_view text);

// `value` as JSON text ending in a line break, indented by `indent` spaces a level or on one line
// when `indent` is negative; line breaks are CRLF.
std::u16string JsonText(const nlohmann::ordered_json& value, int indent);

// Strict UTF-8 to UTF-16: false for bytes that are not UTF-8 (an overlong form, a surrogate, a
// code point above U+10FFFF, a sequence cut short).
bool Utf16FromUtf8(std::string_view bytes, std::u16string& text);

}  // namespace frontend
