// The words a request is spelled with: the service's start arguments, corvane's command line and
// the links file's JSON all read and write these, so that each side accepts what the other says.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/LinkRequest.h"

// "Drive", "Folder", "File"; "Kind N" for a number that is none of them (a damaged list's).
std::u16string KindName(LinkKind kind);
// "Create" or "Delete": every action that is not Delete creates.
std::u16string ActionName(LinkAction action);

// The kind or action a word names, in any ASCII case; none for any other word.
std::optional<LinkKind> KindOfWord(std::u16string_view word);
std::optional<LinkAction> ActionOfWord(std::u16string_view word);

// The service's four start arguments for `request`: kind, action, target, link. A target that
// names nothing is sent as kNoTarget, as Wine ends the argument list at an empty one.
std::vector<std::u16string> StartArguments(const LinkRequest& request);
