// What a corvane command line asks for.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/DrivePolicy.h"  // IsDriveLabel, kLongestLabel: one rule for every label
#include "engine/LinkRequest.h"
#include "frontend/Console.h"

namespace frontend {

enum class Verb { Help, Create, Delete, Add, Remove, List, Restore, Show, Apply, Test };

struct Command {
  Verb verb = Verb::Help;
  LinkKind kind = LinkKind::Drive;
  std::u16string link;  // apply and test: the file
  std::u16string target;
  std::u16string label;  // add drive: the name Explorer shows for the letter; empty for none
  bool json = false;     // list, show, apply, test: one JSON document on standard output
  bool prune = false;    // apply, test: stored links the file does not hold are removed
  bool whatIf = false;   // apply: the plan is shown and nothing is changed
};

// Reads the arguments after the program name. Words are matched without regard to case. A
// command line that asks for nothing valid gives none, with `problem` saying what is wrong.
std::optional<Command> ParseArguments(const std::vector<std::u16string>& arguments,
                                      std::u16string& problem);

// The usage text, a line each.
const Lines& Usage();

}  // namespace frontend
