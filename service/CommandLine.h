// Finding the registration switches ("-RegServer", "/Service", ...) in a command line.
#pragma once

#include <string_view>

// The text just after the next character of `separators` at or after `text`, or null when the
// text ends first. `text` ends with a NUL.
const char16_t* FindSwitchStart(const char16_t* text, std::u16string_view separators);

// Whether the word at `text` is `name`, ignoring case. A word ends at a NUL, a blank or a tab.
bool SwitchEquals(const char16_t* text, std::u16string_view name);

// Where the switches are looked for in `line` (which ends with a NUL): after the path of the
// program at `program` where the line begins with it, from the start otherwise. An empty
// `program` names nothing.
const char16_t* SkipProgramPath(const char16_t* line, std::u16string_view program);
