#include "service/EventText.h"

#include <string>

std::u16string FormatEventText(std::u16string_view format,
                               std::span<const EventArgument> arguments) {
  constexpr std::size_t limit = kEventTextSize - 1;
  std::u16string text;
  auto next = arguments.begin();
  auto append = [&](std::u16string_view piece) {
    text.append(piece.substr(0, limit - text.size()));
  };
  for (std::size_t i = 0; i < format.size() && text.size() < limit; ++i) {
    const char16_t c = format[i];
    const char16_t conversion = i + 1 < format.size() ? format[i + 1] : u'\0';
    if (c != u'%' ||
        (conversion != u's' && conversion != u'd' && conversion != u'u' && conversion != u'%')) {
      text.push_back(c);
      continue;
    }
    ++i;
    if (conversion == u'%') {
      text.push_back(u'%');
      continue;
    }
    if (next == arguments.end()) continue;  // a conversion without argument prints nothing
    const EventArgument& argument = *next++;
    if (const auto* piece = std::get_if<std::u16string_view>(&argument)) {
      append(*piece);
    } else {
      const std::string digits = std::to_string(std::get<std::int64_t>(argument));
      append(std::u16string(digits.begin(), digits.end()));
    }
  }
  return text;
}
