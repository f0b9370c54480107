#include "frontend/ApplyCommand.h"

#include <algorithm>
#include <vector>

#include "engine/DriveDefinition.h"
#include "frontend/CommandSupport.h"
#include "frontend/Console.h"
#include "frontend/DesiredState.h"
#include "frontend/DriveCommands.h"
#include "frontend/DriveLetter.h"
#include "frontend/Inspection.h"
#include "frontend/Json.h"
#include "frontend/Messages.h"
#include "frontend/StoredList.h"

namespace frontend {
namespace {

// One entry of the file, or one stored mapping --prune takes away, as the machine has it now.
struct Step {
  CHardLink record;         // what it stands for: Create, kind, link, target
  std::u16string label;     // a drive's label as the file gives it
  std::size_t line = 0;     // where the file gives it; 0 for a prune
  bool inForce = false;     // the link is there onto its target
  bool stored = false;      // the list holds it
  bool prune = false;       // a stored mapping the file does not hold
  bool labelShown = true;   // the drive's label is the file's in the registry (or none is asked)
  bool labelStored = true;  // and in the list
  bool relabel = false;     // so it is to be set
  win::DWORD conflict = 0;  // why it cannot be applied
  std::u16string why;
  bool done = false;        // this run changed it

  bool Starts() const { return prune ? inForce : !inForce; }
  std::u16string Change() const {
    if (prune) return u"removed";
    if (!inForce) return record.kind == LinkKind::Drive ? u"mapped" : u"created";
    return stored && !relabel ? u"none" : u"stored";
  }
  std::u16string Describe() const {
    return KindName(record.kind) + u" " + record.link + u" -> " + record.target;
  }
};

void Refuse(Step& step, win::DWORD code, std::u16string why) {
  step.conflict = code;
  step.why = std::move(why);
}

bool Missing(win::DWORD error) {
  return error == win::ERROR_FILE_NOT_FOUND || error == win::ERROR_PATH_NOT_FOUND;
}

void ExamineDrive(Step& step) {
  const CHardLink& r = step.record;
  if (const win::DWORD error = FolderError(r.target)) {
    return Refuse(step, error, r.target + u" is not a folder that exists.");
  }
  DriveLetterNow now;
  if (const win::DWORD error = ReadDriveLetter(r.link, now)) {
    return Refuse(step, error, u"what " + r.link + u" is now cannot be read.");
  }
  step.inForce = now.MappedOnto(r.target);
  if (!step.inForce && now.Defined()) {
    Refuse(step, win::ERROR_ALREADY_EXISTS, DescribeGlobal(now) + u" now.");
  }
}

void ExamineFolder(Step& step) {
  const CHardLink& r = step.record;
  const win::DWORD target = FolderError(r.target);
  if (target != 0 && !Missing(target)) {
    return Refuse(step, target, r.target + u" is there, but it is no folder.");
  }
  Inspection found;
  const win::DWORD error = Inspect(r.link, false, found);
  if (Missing(error)) return;
  if (error != 0) return Refuse(step, error, r.link + u" cannot be looked at.");
  step.inForce = found.type == u"Junction" && SamePath(found.target, r.target);
  if (!step.inForce) {
    Refuse(step, win::ERROR_ALREADY_EXISTS,
           r.link + u" is there as a " + found.type +
               (found.target.empty() ? std::u16string() : u" to " + found.target) +
               u", not as a junction to " + r.target + u".");
  }
}

void ExamineFile(Step& step) {
  const CHardLink& r = step.record;
  Inspection target;
  win::DWORD error = Inspect(r.target, false, target);
  if (error == 0 && target.type != u"File") error = win::ERROR_ACCESS_DENIED;
  if (error != 0) return Refuse(step, error, r.target + u" is not a file that exists.");
  Inspection found;
  error = Inspect(r.link, false, found);
  if (Missing(error)) return;
  if (error != 0) return Refuse(step, error, r.link + u" cannot be looked at.");
  step.inForce = found.type == u"File" && found.volumeSerialNumber == target.volumeSerialNumber &&
                 found.fileIndex == target.fileIndex;
  if (!step.inForce) {
    Refuse(step, win::ERROR_ALREADY_EXISTS,
           r.link + u" is there as another " + found.type + u" than " + r.target + u".");
  }
}

bool SameLink(const CHardLink& a, const CHardLink& b) {
  return a.kind == b.kind && (a.kind == LinkKind::Drive ? SameText(a.link, b.link)
                                                        : SamePath(a.link, b.link));
}

// How the entry stands now, against the machine and the stored list.
void Examine(Step& step, const HardLinkArray& links) {
  if (step.record.kind == LinkKind::Drive && !step.label.empty()) {
    const std::u16string* stored = links.LabelOf(step.record.link);
    std::u16string shown;
    step.labelStored = stored != nullptr && *stored == step.label;
    step.labelShown = ReadDriveLabel(step.record.link, shown) == 0 && shown == step.label;
    step.relabel = !step.labelStored || !step.labelShown;
  }
  for (const CHardLink& stored : links.records) {
    if (stored.action == LinkAction::Delete || !SameLink(stored, step.record)) continue;
    if (!SamePath(stored.target, step.record.target)) {
      return Refuse(step, win::ERROR_ALREADY_EXISTS,
                    step.record.link + u" is stored onto " + stored.target +
                        u"; remove it first to store it onto " + step.record.target + u".");
    }
    step.stored = true;
  }
  switch (step.record.kind) {
    case LinkKind::Drive:
      return ExamineDrive(step);
    case LinkKind::Folder:
      return ExamineFolder(step);
    case LinkKind::File:
      return ExamineFile(step);
  }
}

std::vector<Step> StepsOf(const std::vector<DesiredLink>& entries, const HardLinkArray& links,
                          bool prune) {
  std::vector<Step> steps;
  for (const DesiredLink& entry : entries) {
    Step step;
    step.record.action = LinkAction::Create;
    step.record.kind = entry.kind;
    step.record.link = entry.link;
    step.record.target = entry.target;
    step.label = entry.label;
    step.line = entry.line;
    Examine(step, links);
    steps.push_back(std::move(step));
  }
  if (!prune) return steps;
  for (const CHardLink& stored : links.records) {
    if (stored.action == LinkAction::Delete || stored.kind != LinkKind::Drive) continue;
    const bool held = std::ranges::any_of(steps, [&](const Step& s) {
      return !s.prune && SameLink(s.record, stored);
    });
    if (held) continue;
    Step step;
    step.record = stored;
    step.prune = true;
    step.stored = true;
    DriveLetterNow now;
    if (const win::DWORD error = ReadDriveLetter(stored.link, now)) {
      Refuse(step, error, u"what " + stored.link + u" is now cannot be read.");
    }
    step.inForce = now.MappedOnto(stored.target);
    steps.push_back(std::move(step));
  }
  return steps;
}

// One service request for a step, or for taking it back.
ServiceOutcome Request(const CHardLink& record, bool create) {
  return RunService({KindName(record.kind), create ? u"Create" : u"Delete",
                     create ? record.target : std::u16string(kNoTarget), record.link},
                    LinkStateOf(KindName(record.kind), record.link));
}

// Takes back what this run changed, newest first. Best effort: what cannot be taken back is said.
void Undo(std::vector<Step>& steps) {
  for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
    if (!step->done) continue;
    const ServiceOutcome outcome = Request(step->record, step->prune);
    if (!Finished(outcome) || outcome.exitCode != 0) {
      WriteError(step->Describe() + u" could not be taken back; it stays as this run left it.\r\n");
    } else if (step->record.kind == LinkKind::Drive) {
      TellShell(step->record.link, step->prune);
    }
  }
}

// The list as the file wants it: the pruned mappings gone, the new entries added.
HardLinkArray ListAfter(const HardLinkArray& links, const std::vector<Step>& steps) {
  HardLinkArray after = links;
  for (const Step& step : steps) {
    if (step.prune) {
      std::erase_if(after.records, [&](const CHardLink& r) {
        return r.action != LinkAction::Delete && SameLink(r, step.record);
      });
      after.RemoveLabel(step.record.link);
      continue;
    }
    if (!step.stored) after.records.push_back(step.record);
    if (step.relabel) after.SetLabel(step.record.link, step.label);
  }
  return after;
}

Lines PlanText(const std::vector<Step>& steps) {
  Lines lines;
  for (const Step& step : steps) {
    std::u16string change = step.conflict != 0 ? u"refused" : step.Change();
    change.resize(9, u' ');
    lines.push_back(change + step.Describe());
  }
  return lines;
}

nlohmann::ordered_json EntryJson(const Step& step) {
  return {{"link", JsonValue(step.record.link)}, {"kind", JsonValue(KindName(step.record.kind))}};
}

std::u16string OutcomeJson(const std::vector<Step>& steps) {
  nlohmann::ordered_json json = nlohmann::ordered_json::array();
  for (const Step& step : steps) {
    nlohmann::ordered_json entry = EntryJson(step);
    if (step.conflict != 0) {
      entry["error"] = step.conflict;
      entry["text"] = JsonValue(step.why + u" " + OutcomeText(step.conflict));
    } else {
      entry["change"] = JsonValue(step.Change());
    }
    json.push_back(std::move(entry));
  }
  return JsonText(json, 2);
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

}  // namespace

win::DWORD Apply(const Command& command) {
  std::vector<DesiredLink> entries;
  win::DWORD error = ReadFile(command, entries, true);
  if (error != 0) return error;
  std::u16string path;
  MachineLock listLock;
  HardLinkArray links;
  if ((error = LockAndReadList(path, listLock, links)) != 0) return error;
  std::vector<Step> steps = StepsOf(entries, links, command.prune);

  // Every entry is checked before anything changes.
  const auto refused = std::ranges::find_if(steps, [](const Step& s) { return s.conflict != 0; });
  if (refused != steps.end()) {
    for (const Step& step : steps) {
      if (step.conflict == 0) continue;
      WriteError((step.line != 0 ? command.link + u", line " + DecimalText(step.line) + u": "
                                 : std::u16string()) +
                 step.Describe() + u" cannot be applied: " + step.why + u"\r\n");
    }
    if (command.json) WriteJson(OutcomeJson(steps));
    WriteError({u"Nothing was changed.", OutcomeText(refused->conflict)});
    return refused->conflict;
  }
  if (command.whatIf) {
    if (command.json) {
      WriteJson(OutcomeJson(steps));
    } else {
      Lines plan = PlanText(steps);
      plan.push_back(u"Nothing was changed (--what-if).");
      WriteOutput(plan);
    }
    return 0;
  }

  for (Step& step : steps) {
    if (!step.Starts()) continue;
    const ServiceOutcome outcome = Request(step.record, !step.prune);
    if (!Finished(outcome) || outcome.exitCode != 0) {
      WriteError(step.Describe() + u" failed, so what this run changed is taken back.\r\n");
      const win::DWORD code = Tell(outcome);
      Undo(steps);
      return code;
    }
    step.done = true;
    if (step.record.kind == LinkKind::Drive) TellShell(step.record.link, !step.prune);
  }
  HardLinkArray after = ListAfter(links, steps);
  if ((error = ReplaceStoredList(path, after)) != 0) {
    Undo(steps);
    return ListProblem(path, error, true);
  }
  if (command.json) {
    WriteJson(OutcomeJson(steps));
  } else {
    WriteOutput(PlanText(steps));
  }
  // The labels last: the mappings and the list are in place, and a label is only a name.
  for (const Step& step : steps) {
    const win::DWORD labelError = step.prune   ? RemoveDriveLabel(step.record.link)
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

win::DWORD Test(const Command& command) {
  std::vector<DesiredLink> entries;
  if (const win::DWORD error = ReadFile(command, entries, false)) return error;
  // The list is compared where it can be read: reading the machine's links needs no elevation.
  HardLinkArray links;
  win::DWORD error = 0;
  const std::u16string path = ListPathBesideService(error);
  const bool listRead = !path.empty() && ReadStoredList(path, links) == 0;
  std::vector<Step> steps = StepsOf(entries, links, false);
  Lines text;
  nlohmann::ordered_json differences = nlohmann::ordered_json::array();
  for (const Step& step : steps) {
    std::u16string found;
    if (step.conflict != 0) {
      found = step.why;
    } else if (!step.inForce) {
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

}  // namespace frontend
