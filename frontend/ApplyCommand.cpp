#include "frontend/ApplyCommand.h"

#include <algorithm>
#include <vector>

#include "frontend/CommandSupport.h"
#include "frontend/Console.h"
#include "frontend/DesiredState.h"
#include "frontend/DriveLabel.h"
#include "frontend/Json.h"
#include "frontend/LinkPlan.h"
#include "frontend/Messages.h"
#include "frontend/StoredList.h"
#include "frontend/VolumeFlush.h"

namespace frontend {
namespace {

// The file's entries and, with prune, the stored links it no longer holds. A letter machine
// policy maps is the policy's: in force, and never pruned.
std::vector<Step> StepsOf(const std::vector<DesiredLink>& entries, const LinkList& links,
                          bool prune) {
  const std::vector<PolicyDrive> policy = ReadDrivePolicy().drives;
  std::vector<Step> steps;
  for (const DesiredLink& entry : entries) {
    Step step = MakeStep(entry.kind, entry.link, entry.target, entry.label);
    step.line = entry.line;
    Examine(step, links);
    HandToPolicy(step, policy);
    steps.push_back(std::move(step));
  }
  if (!prune) return steps;
  for (const LinkRequest& stored : links.records) {
    if (stored.action == LinkAction::Delete) continue;
    if (stored.kind == LinkKind::Drive && PolicyOf(policy, stored.link) != nullptr) continue;
    const bool held = std::ranges::any_of(steps, [&](const Step& s) {
      return SameLink(s.record, stored);
    });
    if (held) continue;
    Step step = RemoveStep(stored);
    Examine(step, links);
    steps.push_back(std::move(step));
  }
  return steps;
}

// Reads the links file. A file that users other than the administrators may change is theirs to
// steer: apply, which has the service make what it says as LocalSystem, refuses it; test, which
// changes nothing, reads it and says so.
win::DWORD ReadFile(const Command& command, std::vector<DesiredLink>& entries, bool toChange) {
  std::u16string problem;
  std::u16string untrusted;
  win::DWORD error = ReadDesiredState(command.link, entries, problem, untrusted);
  if (error == 0 && !untrusted.empty()) {
    if (!toChange) {
      WriteError(u"Warning: " + command.link + u" is not only the administrators' to change: " +
                 untrusted + u".\r\n");
      return 0;
    }
    entries.clear();
    error = win::ERROR_ACCESS_DENIED;
    problem = u"It is not applied, since " + untrusted +
              u", and what it says would be made as LocalSystem.";
  }
  if (error != 0) {
    WriteError({command.link + u": " + problem + u" Nothing was changed.", OutcomeText(error)});
  }
  return error;
}

// Junctions and hard links made or taken off are written to their volumes' disks before the list
// that names them is: after a power cut the list names only what is there. A volume that cannot
// be written out is said, and the list written all the same: it names what is there now.
void FlushChangedVolumes(const std::vector<Step>& steps) {
  std::u16string tried;  // the links' drive letters, each written out (or said) once
  for (const Step& step : steps) {
    const std::u16string& link = step.record.link;
    if (step.record.kind == LinkKind::Drive || !(step.made || step.removed) || link.empty()) {
      continue;
    }
    if (tried.find(AsciiUpper(link[0])) != std::u16string::npos) continue;
    tried += AsciiUpper(link[0]);
    const win::DWORD error = FlushVolumeOf(link);
    if (error == 0) continue;
    WriteError({u"Warning: the volume that holds " + link +
                    u" could not be written out to its disk, so a power cut before Windows "
                    u"writes it may leave the link list naming a link that is not there.",
                OutcomeText(error)});
  }
}

// Carries the steps out, the list's lock held: every one checked before anything changes, and
// what this run changed taken back when a change fails part way. `links` is the list as read.
win::DWORD ApplySteps(const Command& command, const std::u16string& path,
                      const LinkList& links, std::vector<Step>& steps) {
  const auto refused = std::ranges::find_if(steps, [](const Step& s) { return s.conflict != 0; });
  if (refused != steps.end()) {
    for (const Step& step : steps) {
      if (step.conflict == 0) continue;
      WriteError((step.line != 0 ? command.link + u", line " + DecimalText(step.line) + u": "
                                 : std::u16string()) +
                 step.Describe() + u" cannot be applied: " + step.why + u"\r\n");
    }
    if (command.json) WriteJson(JsonText(StepsJson(steps), 2));
    WriteError({u"Nothing was changed.", OutcomeText(refused->conflict)});
    return refused->conflict;
  }
  if (command.whatIf) {
    if (command.json) {
      WriteJson(JsonText(StepsJson(steps), 2));
    } else {
      Lines plan = PlanText(steps);
      plan.push_back(u"Nothing was changed (--what-if).");
      WriteOutput(plan);
    }
    return 0;
  }

  for (Step& step : steps) {
    if ((!step.RemovesOld() || RemoveOld(step)) && (!step.Makes() || Make(step))) continue;
    WriteError(step.Describe() + u" failed, so what this run changed is taken back.\r\n");
    const win::DWORD code = TellOutcome(step);
    const bool whole = Undo(steps);
    if (command.json) WriteJson(FailureJson(step, code, steps, whole));
    return code;
  }
  LinkList after = ListAfter(links, steps);
  FlushChangedVolumes(steps);
  if (const win::DWORD error = ReplaceStoredList(path, after)) {
    Undo(steps);
    return ListProblem(path, error, true);
  }
  if (command.json) {
    WriteJson(JsonText(StepsJson(steps), 2));
  } else {
    WriteOutput(PlanText(steps));
  }
  // The labels last: the links and the list are in place, and a label is only a name. A prune
  // takes off only a label the list stored; one set by hand is the user's.
  win::DWORD error = 0;
  for (const Step& step : steps) {
    const win::DWORD labelError = step.prune && step.labelOwned ? RemoveDriveLabel(step.record.link)
                                  : step.relabel ? WriteDriveLabel(step.record.link, step.label)
                                                 : 0;
    if (labelError != 0 && error == 0) error = labelError;
    if (labelError != 0) {
      WriteError({u"The label of " + step.record.link + u" could not be " +
                      (step.prune ? u"taken off" : u"set") + u".",
                  OutcomeText(labelError)});
    }
  }
  return error;
}

// The kept copy of the list for the package's undo, and the one kept when there was no list.
std::u16string KeptPath(const std::u16string& path, bool none) {
  return path + (none ? u".none.rollback" : u".rollback");
}

// The entries a kept list stands for, as a links file would give them.
std::vector<DesiredLink> EntriesOf(const LinkList& kept) {
  std::vector<DesiredLink> entries;
  for (const LinkRequest& record : kept.records) {
    if (record.action == LinkAction::Delete) continue;
    DesiredLink entry;
    entry.kind = record.kind;
    entry.link = record.link;
    entry.target = record.target;
    if (const std::u16string* label = kept.LabelOf(record.link)) entry.label = *label;
    entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace

win::DWORD Apply(const Command& command) {
  std::vector<DesiredLink> entries;
  win::DWORD error = ReadFile(command, entries, true);
  if (error != 0) return error;
  std::u16string path;
  MachineLock listLock;
  LinkList links;
  if ((error = LockAndReadList(path, listLock, links)) != 0) return error;
  std::vector<Step> steps = StepsOf(entries, links, command.prune);
  return ApplySteps(command, path, links, steps);
}

win::DWORD Test(const Command& command) {
  std::vector<DesiredLink> entries;
  if (const win::DWORD error = ReadFile(command, entries, false)) return error;
  // The list is compared where it can be read: reading the machine's links needs no elevation.
  LinkList links;
  win::DWORD error = 0;
  const std::u16string path = ListPathBesideService(error);
  const bool listRead = !path.empty() && ReadStoredList(path, links) == 0;
  std::vector<Step> steps = StepsOf(entries, links, command.prune);
  Lines text;
  nlohmann::ordered_json differences = nlohmann::ordered_json::array();
  for (const Step& step : steps) {
    std::u16string found;
    if (step.prune) {
      found = u"it is stored, but " + command.link + u" does not hold it.";
    } else if (step.conflict != 0) {
      found = step.why;
    } else if (!step.was.empty()) {
      found = u"it is stored onto " + step.was + u".";
    } else if (!step.InForce()) {
      found = u"it is not there.";
    } else if (listRead && !step.stored) {
      found = u"it is there, but not stored.";
    } else if (!step.labelShown || (listRead && !step.labelStored)) {
      found = u"its label is not " + step.label + u".";
    }
    if (found.empty()) continue;
    text.push_back(step.Describe() + u": " + found);
    nlohmann::ordered_json entry = EntryJson(step);
    entry["found"] = JsonValue(found);
    differences.push_back(std::move(entry));
  }
  const bool matches = text.empty();
  if (command.json) {
    const nlohmann::ordered_json result = {{"matches", matches}, {"differences", differences}};
    WriteJson(JsonText(result, 2));
  } else {
    text.push_back((matches ? u"The machine matches " : u"The machine does not match ") +
                   command.link + u".");
    WriteOutput(text);
  }
  return matches ? 0 : kMachineDiffers;
}

win::DWORD KeepListForRollback() {
  std::u16string path;
  MachineLock listLock;
  LinkList links;
  win::DWORD error = LockAndReadList(path, listLock, links);
  if (error != 0) return error;
  const bool none = win::GetFileAttributesW(path.c_str()) == win::INVALID_FILE_ATTRIBUTES;
  win::DeleteFileW(KeptPath(path, !none).c_str());
  if ((error = ReplaceStoredList(KeptPath(path, none), links)) != 0) {
    WriteError({u"The list " + path + u" could not be kept aside for an undo.",
                OutcomeText(error)});
  }
  return error;
}

win::DWORD RollBackToKeptList() {
  std::u16string path;
  MachineLock listLock;
  LinkList links;
  win::DWORD error = LockAndReadList(path, listLock, links);
  if (error != 0) return error;
  bool none = false;
  LinkList kept;
  std::u16string keptPath = KeptPath(path, false);
  if (win::GetFileAttributesW(keptPath.c_str()) == win::INVALID_FILE_ATTRIBUTES) {
    none = true;
    keptPath = KeptPath(path, true);
    if (win::GetFileAttributesW(keptPath.c_str()) == win::INVALID_FILE_ATTRIBUTES) return 0;
  }
  if ((error = ReadStoredList(keptPath, kept)) != 0) return ListProblem(keptPath, error, false);
  Command command;
  command.verb = Verb::Apply;
  command.link = keptPath;
  command.prune = true;
  std::vector<Step> steps = StepsOf(EntriesOf(kept), links, true);
  if ((error = ApplySteps(command, path, links, steps)) != 0) return error;
  // The list as it was, byte for byte in what it holds, or none when there was none.
  if (none) {
    if (!win::DeleteFileW(path.c_str()) && win::GetLastError() != win::ERROR_FILE_NOT_FOUND) {
      return ListProblem(path, win::GetLastError(), true);
    }
  } else if ((error = ReplaceStoredList(path, kept)) != 0) {
    return ListProblem(path, error, true);
  }
  win::DeleteFileW(keptPath.c_str());
  return 0;
}

win::DWORD ForgetKeptList() {
  win::DWORD error = 0;
  const std::u16string path = ListPathBesideService(error);
  if (path.empty()) return error;
  for (const bool none : {false, true}) win::DeleteFileW(KeptPath(path, none).c_str());
  return 0;
}

}  // namespace frontend
