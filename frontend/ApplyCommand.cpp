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

// What stands at a link's place now, against what the file wants there and what the list
// stored there.
enum class LinkAt { free, wanted, stored, other };

// One entry of the file, or one stored link --prune takes away, as the machine has it now.
struct Step {
  CHardLink record;         // what it stands for: Create, kind, link, target
  std::u16string was;       // the stored target the entry moves the link from; empty when none
  std::u16string label;     // a drive's label as the file gives it
  std::size_t line = 0;     // where the file gives it; 0 for a prune
  LinkAt at = LinkAt::free;
  bool stored = false;      // the list holds the link (onto `was` when that is given)
  bool prune = false;       // a stored link the file does not hold: `record` is the stored one
  bool labelShown = true;   // the drive's label is the file's in the registry (or none is asked)
  bool labelStored = true;  // and in the list
  bool labelOwned = false;  // a prune: the list stores a label for the letter
  bool relabel = false;     // so it is to be set
  win::DWORD conflict = 0;  // why it cannot be applied
  std::u16string why;
  // What this run did, for its undo.
  bool removed = false;                   // the stored link (onto `was`, or the pruned one) is off
  bool made = false;                      // the file's link was made
  Inspection madeFile;                    // a hard link made: its identity
  std::vector<std::u16string> madeFolders;  // a junction made: folders made for it, deepest last
  bool leftChanged = false;               // its undo could not be carried out whole

  bool InForce() const { return at == LinkAt::wanted; }
  // The stored link that is to go: moved to another target, or pruned.
  const std::u16string& Old() const { return prune ? record.target : was; }
  bool RemovesOld() const { return at == LinkAt::stored; }
  bool Makes() const { return !prune && at != LinkAt::wanted; }
  std::u16string Change() const {
    if (prune) return u"removed";
    if (!was.empty()) return u"changed";
    if (Makes()) return record.kind == LinkKind::Drive ? u"mapped" : u"created";
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

// What a drive letter is now: onto the file's folder, onto the stored one, free, or else.
LinkAt DriveAt(const std::u16string& letter, const std::u16string& target,
               const std::u16string& old, std::u16string& found, win::DWORD& error) {
  DriveLetterNow now;
  if ((error = ReadDriveLetter(letter, now)) != 0) return LinkAt::other;
  if (!now.Defined()) return LinkAt::free;
  if (!target.empty() && now.MappedOnto(target)) return LinkAt::wanted;
  if (!old.empty() && now.MappedOnto(old)) return LinkAt::stored;
  found = DescribeGlobal(now) + u" now.";
  return LinkAt::other;
}

LinkAt FolderAt(const std::u16string& link, const std::u16string& target,
                const std::u16string& old, std::u16string& found, win::DWORD& error) {
  Inspection at;
  error = Inspect(link, false, at);
  if (Missing(error)) return error = 0, LinkAt::free;
  if (error != 0) return LinkAt::other;
  const bool junction = at.type == u"Junction";
  if (junction && !target.empty() && SamePath(at.target, target)) return LinkAt::wanted;
  if (junction && !old.empty() && SamePath(at.target, old)) return LinkAt::stored;
  found = link + u" is there as a " + at.type +
          (at.target.empty() ? std::u16string() : u" to " + at.target) + u".";
  return LinkAt::other;
}

bool SameFile(const Inspection& a, const Inspection& b) {
  return a.type == u"File" && b.type == u"File" && a.volumeSerialNumber == b.volumeSerialNumber &&
         a.fileIndex == b.fileIndex;
}

// A hard link is known by its file's identity: the name is the target's own file, or the stored
// target's.
LinkAt FileAt(const std::u16string& link, const std::u16string& target, const std::u16string& old,
              std::u16string& found, win::DWORD& error) {
  Inspection at;
  error = Inspect(link, false, at);
  if (Missing(error)) return error = 0, LinkAt::free;
  if (error != 0) return LinkAt::other;
  Inspection file;
  if (!target.empty() && Inspect(target, false, file) == 0 && SameFile(at, file)) {
    return LinkAt::wanted;
  }
  if (!old.empty() && Inspect(old, false, file) == 0 && SameFile(at, file)) return LinkAt::stored;
  found = link + u" is there as another " + at.type + u" than " +
          (target.empty() ? old : target) + u".";
  return LinkAt::other;
}

LinkAt LinkAtNow(LinkKind kind, const std::u16string& link, const std::u16string& target,
                 const std::u16string& old, std::u16string& found, win::DWORD& error) {
  switch (kind) {
    case LinkKind::Drive:
      return DriveAt(link, target, old, found, error);
    case LinkKind::Folder:
      return FolderAt(link, target, old, found, error);
    case LinkKind::File:
      return FileAt(link, target, old, found, error);
  }
  error = win::ERROR_NOT_SUPPORTED;
  return LinkAt::other;
}

// The file's target must be there (a junction's may be made): 0, or the step refused.
bool TargetUsable(Step& step) {
  const CHardLink& r = step.record;
  if (r.kind == LinkKind::Drive) {
    if (const win::DWORD error = FolderError(r.target)) {
      Refuse(step, error, r.target + u" is not a folder that exists.");
      return false;
    }
  } else if (r.kind == LinkKind::Folder) {
    const win::DWORD error = FolderError(r.target);
    if (error != 0 && !Missing(error)) {
      Refuse(step, error, r.target + u" is there, but it is no folder.");
      return false;
    }
  } else {
    Inspection target;
    win::DWORD error = Inspect(r.target, false, target);
    if (error == 0 && target.type != u"File") error = win::ERROR_ACCESS_DENIED;
    if (error != 0) {
      Refuse(step, error, r.target + u" is not a file that exists.");
      return false;
    }
  }
  return true;
}

bool SameLink(const CHardLink& a, const CHardLink& b) {
  return a.kind == b.kind && (a.kind == LinkKind::Drive ? SameText(a.link, b.link)
                                                        : SamePath(a.link, b.link));
}

// Where the step's link stands now. A link there that is neither the file's nor the one the
// list stored is not corvane's, and is refused.
void ExamineLink(Step& step) {
  std::u16string found;
  win::DWORD error = 0;
  step.at = LinkAtNow(step.record.kind, step.record.link, step.prune ? u"" : step.record.target,
                      step.prune ? step.record.target : step.was, found, error);
  if (error != 0) {
    Refuse(step, error, step.record.link + u" cannot be looked at.");
  } else if (step.at == LinkAt::other && !step.prune) {
    Refuse(step, win::ERROR_ALREADY_EXISTS,
           found + (step.was.empty() ? u"" : u" It is stored onto " + step.was + u"."));
  }
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
    step.stored = true;
    if (!SamePath(stored.target, step.record.target)) step.was = stored.target;
  }
  if (TargetUsable(step)) ExamineLink(step);
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
    if (stored.action == LinkAction::Delete) continue;
    const bool held = std::ranges::any_of(steps, [&](const Step& s) {
      return SameLink(s.record, stored);
    });
    if (held) continue;
    Step step;
    step.record = stored;
    step.prune = true;
    step.stored = true;
    step.labelOwned = stored.kind == LinkKind::Drive && links.LabelOf(stored.link) != nullptr;
    ExamineLink(step);
    steps.push_back(std::move(step));
  }
  return steps;
}

// One service request. A drive's Delete names the folder, so that only that definition goes.
bool Request(LinkKind kind, const std::u16string& link, const std::u16string& target, bool create,
             ServiceOutcome& outcome) {
  const std::u16string word = KindName(kind);
  const bool named = create || kind == LinkKind::Drive;
  outcome = RunService({word, create ? u"Create" : u"Delete",
                        named ? target : std::u16string(kNoTarget), link},
                       LinkStateOf(word, link));
  return Finished(outcome) && outcome.exitCode == 0;
}

// Folders from `path` up that are not there now, the outermost last.
std::vector<std::u16string> MissingFolders(std::u16string path) {
  std::vector<std::u16string> missing;
  while (Missing(FolderError(path))) {
    missing.push_back(path);
    const std::size_t cut = path.find_last_of(u"\\/");
    if (cut == std::u16string::npos || cut < 3) break;
    path.resize(cut);
  }
  return missing;
}

// Takes the stored link off: every definition of the letter onto the stored folder (an older
// restore could stack it), the junction or the hard link.
bool RemoveOld(Step& step, ServiceOutcome& outcome) {
  CHardLink old = step.record;
  old.target = step.Old();
  for (int times = 0; times < kMostStackedMappings; ++times) {
    if (!Request(old.kind, old.link, old.target, false, outcome)) return false;
    step.removed = true;
    if (old.kind != LinkKind::Drive || !MappedNow(old)) break;
  }
  if (old.kind == LinkKind::Drive) TellShell(old.link, false);
  return true;
}

bool Make(Step& step, ServiceOutcome& outcome) {
  const CHardLink& r = step.record;
  std::vector<std::u16string> folders;
  if (r.kind == LinkKind::Folder) {
    folders = MissingFolders(r.target);
    const std::size_t cut = r.link.find_last_of(u"\\/");
    if (cut != std::u16string::npos) {
      for (std::u16string& f : MissingFolders(r.link.substr(0, cut))) folders.push_back(f);
    }
  }
  if (!Request(r.kind, r.link, r.target, true, outcome)) return false;
  step.made = true;
  step.madeFolders = std::move(folders);
  if (r.kind == LinkKind::File) Inspect(r.link, false, step.madeFile);
  return true;
}

// Whether the link this run made is still the one it made.
bool StillMade(const Step& step) {
  std::u16string found;
  win::DWORD error = 0;
  const CHardLink& r = step.record;
  if (r.kind == LinkKind::File) {
    Inspection now;
    return Inspect(r.link, false, now) == 0 && SameFile(now, step.madeFile);
  }
  return LinkAtNow(r.kind, r.link, r.target, u"", found, error) == LinkAt::wanted;
}

// Takes back what the step changed: the link it made goes only while it is still the one this
// run made, and the stored one comes back only where its place is free.
void UndoStep(Step& step) {
  const CHardLink& r = step.record;
  ServiceOutcome outcome;
  if (step.made) {
    if (!StillMade(step) || !Request(r.kind, r.link, r.target, false, outcome)) {
      step.leftChanged = true;
      return;
    }
    if (r.kind == LinkKind::Drive) TellShell(r.link, false);
    // Only empty folders go, the deepest first: whatever was put in one since keeps it.
    for (const std::u16string& folder : step.madeFolders) win::RemoveDirectoryW(folder.c_str());
  }
  if (!step.removed) return;
  std::u16string found;
  win::DWORD error = 0;
  if (LinkAtNow(r.kind, r.link, u"", step.Old(), found, error) != LinkAt::free ||
      !Request(r.kind, r.link, step.Old(), true, outcome)) {
    step.leftChanged = true;
    return;
  }
  if (r.kind == LinkKind::Drive) TellShell(r.link, true);
}

// Takes back what this run changed, newest first; true when all of it was.
bool Undo(std::vector<Step>& steps) {
  bool whole = true;
  for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
    UndoStep(*step);
    if (!step->leftChanged) continue;
    whole = false;
    WriteError(step->Describe() + u" could not be taken back; it stays as this run left it.\r\n");
  }
  return whole;
}

// The list as the file wants it: the pruned links gone, the moved ones replaced, the new ones
// added.
HardLinkArray ListAfter(const HardLinkArray& links, const std::vector<Step>& steps) {
  HardLinkArray after = links;
  for (const Step& step : steps) {
    if (step.prune || !step.was.empty()) {
      std::erase_if(after.records, [&](const CHardLink& r) {
        return r.action != LinkAction::Delete && SameLink(r, step.record);
      });
    }
    if (step.prune) {
      after.RemoveLabel(step.record.link);
      continue;
    }
    if (!step.stored || !step.was.empty()) after.records.push_back(step.record);
    if (step.relabel) after.SetLabel(step.record.link, step.label);
  }
  return after;
}

Lines PlanText(const std::vector<Step>& steps) {
  Lines lines;
  for (const Step& step : steps) {
    std::u16string change = step.conflict != 0 ? u"refused" : step.Change();
    change.resize(9, u' ');
    lines.push_back(change + step.Describe() +
                    (step.was.empty() ? std::u16string() : u" (was " + step.was + u")"));
  }
  return lines;
}

nlohmann::ordered_json EntryJson(const Step& step) {
  return {{"link", JsonValue(step.record.link)}, {"kind", JsonValue(KindName(step.record.kind))}};
}

nlohmann::ordered_json StepsJson(const std::vector<Step>& steps) {
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
  return json;
}

// A run that failed part way: the change that failed, whether all it changed before was taken
// back, and the links left changed when not.
std::u16string FailureJson(const Step& failed, win::DWORD code, const std::vector<Step>& steps,
                           bool rolledBack) {
  nlohmann::ordered_json left = nlohmann::ordered_json::array();
  for (const Step& step : steps) {
    if (step.leftChanged) left.push_back(EntryJson(step));
  }
  nlohmann::ordered_json failure = EntryJson(failed);
  failure["error"] = code;
  failure["text"] = JsonValue(OutcomeText(code));
  const nlohmann::ordered_json json = {
      {"failed", failure}, {"rolledBack", rolledBack}, {"leftChanged", left}};
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

// Carries the steps out, the list's lock held: every one checked before anything changes, and
// what this run changed taken back when a change fails part way. `links` is the list as read.
win::DWORD ApplySteps(const Command& command, const std::u16string& path,
                      const HardLinkArray& links, std::vector<Step>& steps) {
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
    ServiceOutcome outcome;
    if ((!step.RemovesOld() || RemoveOld(step, outcome)) && (!step.Makes() || Make(step, outcome))) {
      if (step.made && step.record.kind == LinkKind::Drive) TellShell(step.record.link, true);
      continue;
    }
    WriteError(step.Describe() + u" failed, so what this run changed is taken back.\r\n");
    const win::DWORD code = Tell(outcome);
    const bool whole = Undo(steps);
    if (command.json) WriteJson(FailureJson(step, code, steps, whole));
    return code;
  }
  HardLinkArray after = ListAfter(links, steps);
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
std::vector<DesiredLink> EntriesOf(const HardLinkArray& kept) {
  std::vector<DesiredLink> entries;
  for (const CHardLink& record : kept.records) {
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
  HardLinkArray links;
  if ((error = LockAndReadList(path, listLock, links)) != 0) return error;
  std::vector<Step> steps = StepsOf(entries, links, command.prune);
  return ApplySteps(command, path, links, steps);
}

win::DWORD Test(const Command& command) {
  std::vector<DesiredLink> entries;
  if (const win::DWORD error = ReadFile(command, entries, false)) return error;
  // The list is compared where it can be read: reading the machine's links needs no elevation.
  HardLinkArray links;
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
  HardLinkArray links;
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
  HardLinkArray links;
  win::DWORD error = LockAndReadList(path, listLock, links);
  if (error != 0) return error;
  bool none = false;
  HardLinkArray kept;
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
