// printf-style formatting of event log texts into a bounded buffer.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

// Event texts are cut to this many units, terminating NUL included.
inline constexpr std::size_t kEventTextSize = 256;

using EventArgument = std::variant<std::u16string_view, std::int64_t>;

// %s takes a text, %d and %u an integer, %% is a percent sign; anything else is copied as is.
// The result holds at most kEventTextSize - 1 units.
std::u16string FormatEventText(std::u16string_view format,
                               std::span<const EventArgument> arguments = {});
