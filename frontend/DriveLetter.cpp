#include "frontend/DriveLetter.h"

#include "engine/DriveDefinition.h"

namespace frontend {
namespace {

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

bool DriveLetterNow::MappedOnto(const std::u16string& folder) const {
  return Defined() && MapsOnto(global.front(), folder);
}

bool DriveLetterNow::IsFolderMapping() const {
  return Defined() && MeaningOf(global.front()).kind == u"folder mapping";
}

win::DWORD ReadDriveLetter(const std::u16string& letter, DriveLetterNow& out) {
  out = DriveLetterNow{};
  out.letter = letter;
  if (const win::DWORD error = GlobalDefinitions(letter, out.global)) return error;
  // What this session finds first is its own set's when that differs from the global one.
  std::vector<std::u16string> seen;
  if (const win::DWORD error = QueryDefinitions(letter, seen)) return error;
  if (seen != out.global) out.session = std::move(seen);
  return 0;
}

DefinitionMeaning MeaningOf(const std::u16string& definition) {
  if (StartsWith(definition, u"\\??\\UNC\\")) {
    return {u"network drive", u"\\\\" + definition.substr(8)};
  }
  if (StartsWith(definition, u"\\??\\")) return {u"folder mapping", definition.substr(4)};
  if (StartsWith(definition, u"\\Device\\LanmanRedirector") ||
      StartsWith(definition, u"\\Device\\Mup") ||
      StartsWith(definition, u"\\Device\\WebDavRedirector")) {
    return {u"network drive", definition};
  }
  return {u"local volume", definition};
}

std::u16string DescribeGlobal(const DriveLetterNow& now) {
  const DefinitionMeaning meaning = MeaningOf(now.global.front());
  return now.letter + u" is a " + meaning.kind + u" (" + meaning.target + u")";
}

std::u16string HiddenHereText(const DriveLetterNow& now) {
  if (now.session.empty()) return {};
  const DefinitionMeaning own = MeaningOf(now.session.front());
  return u"This session has its own " + now.letter + u", a " + own.kind + u" (" + own.target +
         u"), which hides the machine's " + now.letter +
         u" here: the change holds for every "
         u"other session, and this one keeps its own " +
         now.letter + u" until it is removed here.\r\n";
}

}  // namespace frontend
