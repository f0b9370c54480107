// JSON text (RFC 8259) for scripts: strings escaped as the RFC requires.
#pragma once

#include <string>
#include <string_view>

namespace frontend {

// `text` as a JSON string, quotes included: a quote, a backslash and every control character
// escaped, and a UTF-16 surrogate without its partner as its \u escape, since no UTF-8 can
// carry it.
std::u16string JsonString(std::u16string_view text);

}  // namespace frontend
