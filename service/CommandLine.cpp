#include "service/CommandLine.h"

#include <algorithm>
#include <string>

#include "platform/WinApi.h"
#include "service/RegistryScript.h"

namespace {

bool EndsWord(char16_t c) {
  return c == u'\0' || c == u' ' || c == u'\t';
}

// Whether `token` is how a command line names the program at `program`: its full path, or its
// end from a backslash on (a program started by a relative name), ignoring case.
bool NamesProgram(std::u16string_view token, std::u16string_view program) {
  if (token.empty() || token.size() > program.size()) return false;
  const std::size_t at = program.size() - token.size();
  if (at != 0 && program[at - 1] != u'\\') return false;
  for (std::size_t i = 0; i < token.size(); ++i) {
    if (UpperCase(token[i]) != UpperCase(program[at + i])) return false;
  }
  return true;
}

}  // namespace

// Where the switches are looked for: after the program's own path, where the command line
// begins with it (quoted, or unquoted with blanks in it: "C:\Self-Service Kiosk\" holds
// "-Service"); from the start otherwise, since a program started with its name given apart
// may have a command line of just "-Service".
const char16_t* SkipProgramPath(const char16_t* line, std::u16string_view program) {
  const std::u16string_view text(line);
  if (!text.empty() && text.front() == u'"') {
    const std::size_t close = std::min(text.find(u'"', 1), text.size());
    if (!NamesProgram(text.substr(1, close - 1), program)) return line;
    return line + std::min(close + 1, text.size());
  }
  // Unquoted, the longest run of words that names the program.
  for (std::size_t end = text.size(); end > 0; --end) {
    if (end < text.size() && !EndsWord(text[end])) continue;
    if (NamesProgram(text.substr(0, end), program)) return line + end;
  }
  return line;
}

const char16_t* FindSwitchStart(const char16_t* text, std::u16string_view separators) {
  for (; *text != u'\0'; text = win::CharNextW(text)) {
    if (separators.find(*text) != std::u16string_view::npos) return win::CharNextW(text);
  }
  return nullptr;
}

bool SwitchEquals(const char16_t* text, std::u16string_view name) {
  std::size_t i = 0;
  for (; i < name.size(); ++i) {
    if (EndsWord(text[i]) || UpperCase(text[i]) != UpperCase(name[i])) return false;
  }
  return EndsWord(text[i]);
}
