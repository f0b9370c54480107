#include "engine/LinkWords.h"

#include <array>
#include <utility>

#include "engine/AsciiText.h"

namespace {

constexpr std::array<std::pair<LinkKind, std::u16string_view>, 3> kKindWords = {{
    {LinkKind::Drive, u"Drive"},
    {LinkKind::Folder, u"Folder"},
    {LinkKind::File, u"File"},
}};

}  // namespace

std::u16string KindName(LinkKind kind) {
  for (const auto& [named, word] : kKindWords) {
    if (named == kind) return std::u16string(word);
  }
  const std::string number = std::to_string(static_cast<int>(kind));
  return u"Kind " + std::u16string(number.begin(), number.end());
}

std::u16string ActionName(LinkAction action) {
  return action == LinkAction::Delete ? u"Delete" : u"Create";
}

std::optional<LinkKind> KindOfWord(std::u16string_view word) {
  for (const auto& [kind, name] : kKindWords) {
    if (SameAsciiText(word, name)) return kind;
  }
  return std::nullopt;
}

std::optional<LinkAction> ActionOfWord(std::u16string_view word) {
  if (SameAsciiText(word, u"Create")) return LinkAction::Create;
  if (SameAsciiText(word, u"Delete")) return LinkAction::Delete;
  return std::nullopt;
}

std::vector<std::u16string> StartArguments(const LinkRequest& request) {
  return {KindName(request.kind), ActionName(request.action),
          request.target.empty() ? std::u16string(kNoTarget) : request.target, request.link};
}
