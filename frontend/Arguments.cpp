#include "frontend/Arguments.h"

#include <algorithm>

#include "engine/AsciiText.h"
#include "engine/LinkWords.h"

namespace frontend {
namespace {

bool Is(const std::u16string& word, std::u16string_view name) {
  return SameAsciiText(word, name);
}

std::optional<Command> Refuse(std::u16string& problem, std::u16string text) {
  problem = std::move(text);
  return std::nullopt;
}

}  // namespace

const Lines& Usage() {
  static const Lines usage = {
      u"Usage:",
      u"  corvane create drive|folder|file LINK TARGET   make a link now (link first, as mklink)",
      u"  corvane delete drive|folder|file LINK          remove a link now",
      u"  corvane add drive X: TARGET [--label NAME]",
      u"                                    map X: onto TARGET now and again at every boot;",
      u"                                    NAME (up to 32 characters) is what Explorer calls X:",
      u"  corvane remove drive X:           forget a stored mapping and remove it now",
      u"  corvane list                      show the stored links; for drives, whether mapped now",
      u"  corvane restore                   map the stored drives again now",
      u"  corvane show PATH|X:              what a path or a letter is now (no elevation needed)",
      u"  corvane apply FILE [--prune] [--what-if]",
      u"                                    make the machine match FILE (list --json's form): each",
      u"                                    link made, moved and stored, or nothing changed;",
      u"                                    --prune also removes stored links FILE lacks;",
      u"                                    --what-if only shows",
      u"  corvane test FILE [--prune]       exit 0 when the machine matches FILE, 1 when not;",
      u"                                    --prune counts stored links FILE lacks",
      u"  corvane list|show|apply|test ... --json   the same as one JSON document, for scripts",
      u"  corvane --help                    show this text",
      u"Relative paths are taken from the current directory. The service CorvaneService does",
      u"the work, so run corvane from an elevated command prompt.",
  };
  return usage;
}

std::optional<Command> ParseArguments(const std::vector<std::u16string>& arguments,
                                      std::u16string& problem) {
  if (arguments.empty()) return Refuse(problem, u"no command given");
  const std::u16string& verb = arguments[0];
  const std::size_t count = arguments.size();
  Command command;
  if (Is(verb, u"--help") || Is(verb, u"-h") || Is(verb, u"/?") || Is(verb, u"help")) {
    return count == 1 ? std::optional(command) : Refuse(problem, verb + u" takes no arguments");
  }
  if (Is(verb, u"list") || Is(verb, u"show")) {
    // --json may stand anywhere after the command.
    std::vector<std::u16string> rest;
    for (std::size_t i = 1; i < count; ++i) {
      if (Is(arguments[i], u"--json")) {
        command.json = true;
      } else {
        rest.push_back(arguments[i]);
      }
    }
    command.verb = Is(verb, u"list") ? Verb::List : Verb::Show;
    if (command.verb == Verb::List && !rest.empty()) {
      return Refuse(problem, verb + u" takes no arguments but --json");
    }
    if (command.verb == Verb::Show && rest.size() != 1) {
      return Refuse(problem, verb + u" needs one path or drive letter");
    }
    if (command.verb == Verb::Show) {
      command.link = rest.front();
      if (IsDriveLetterName(command.link)) command.link[0] = AsciiUpper(command.link[0]);
    }
    return command;
  }
  if (Is(verb, u"apply") || Is(verb, u"test")) {
    command.verb = Is(verb, u"apply") ? Verb::Apply : Verb::Test;
    const bool apply = command.verb == Verb::Apply;
    for (std::size_t i = 1; i < count; ++i) {
      const std::u16string& word = arguments[i];
      if (Is(word, u"--json")) {
        command.json = true;
      } else if (Is(word, u"--prune")) {
        command.prune = true;
      } else if (apply && Is(word, u"--what-if")) {
        command.whatIf = true;
      } else if (command.link.empty() && !word.starts_with(u"--")) {
        command.link = word;
      } else {
        return Refuse(problem, verb + u" does not take " + word);
      }
    }
    if (command.link.empty()) return Refuse(problem, verb + u" needs a file");
    return command;
  }
  if (Is(verb, u"restore")) {
    if (count != 1) return Refuse(problem, verb + u" takes no arguments");
    command.verb = Verb::Restore;
    return command;
  }

  if (Is(verb, u"create")) {
    command.verb = Verb::Create;
  } else if (Is(verb, u"delete")) {
    command.verb = Verb::Delete;
  } else if (Is(verb, u"add")) {
    command.verb = Verb::Add;
  } else if (Is(verb, u"remove")) {
    command.verb = Verb::Remove;
  } else {
    return Refuse(problem, u"unknown command " + verb);
  }
  if (count < 2) return Refuse(problem, verb + u" needs a kind: drive, folder or file");
  const auto kind = KindOfWord(arguments[1]);
  if (!kind) return Refuse(problem, u"unknown kind " + arguments[1] + u": drive, folder or file");
  command.kind = *kind;
  const bool stored = command.verb == Verb::Add || command.verb == Verb::Remove;
  if (stored && command.kind != LinkKind::Drive) {
    return Refuse(problem, verb + u" keeps drive mappings only");
  }
  // A target goes with every create; a delete needs none.
  const bool needsTarget = command.verb == Verb::Create || command.verb == Verb::Add;
  const std::size_t expected = needsTarget ? 4 : 3;
  // add drive X: TARGET --label NAME, and nowhere else.
  const bool labelled =
      command.verb == Verb::Add && count == expected + 2 && Is(arguments[expected], u"--label");
  if (count != expected && !labelled) {
    return Refuse(problem,
                  verb + (needsTarget ? u" needs a link and a target" : u" needs a link") +
                      (command.verb == Verb::Add ? u", and may end with --label NAME" : u""));
  }
  command.link = arguments[2];
  if (needsTarget) command.target = arguments[3];
  if (labelled) {
    command.label = arguments[expected + 1];
    if (!IsDriveLabel(command.label)) {
      // Not echoed: it may hold the control characters refused.
      return Refuse(problem,
                    u"a drive label is 1 to 32 characters, none of them a control "
                    u"character");
    }
  }
  if (command.kind == LinkKind::Drive && !IsDriveLetterName(command.link)) {
    return Refuse(problem, u"a drive link is a letter and a colon, such as X:, not " + command.link);
  }
  if (command.kind == LinkKind::Drive) command.link[0] = AsciiUpper(command.link[0]);
  return command;
}

}  // namespace frontend
