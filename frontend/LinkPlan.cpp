#include "frontend/LinkPlan.h"

#include <algorithm>

#include "engine/DriveDefinition.h"
#include "engine/LinkRequest.h"
#include "engine/LinkWords.h"
#include "frontend/CommandSupport.h"
#include "frontend/DriveLabel.h"
#include "frontend/Json.h"
#include "frontend/Messages.h"

namespace frontend {
namespace {

void Refuse(Step& step, win::DWORD code, std::u16string why) {
  step.conflict = code;
  step.why = std::move(why);
}

bool Missing(win::DWORD error) {
  return error == win::ERROR_FILE_NOT_FOUND || error == win::ERROR_PATH_NOT_FOUND;
}

// What a drive letter is now: onto the wanted folder, onto the stored one, free, or else.
LinkAt DriveAt(const std::u16string& letter, const std::u16string& target,
               const std::u16string& old, std::u16string& found, win::DWORD& error,
               DriveLetterNow& now) {
  if ((error = ReadDriveLetter(letter, now)) != 0) return LinkAt::other;
  if (!now.Defined()) return LinkAt::free;
  if (!target.empty() && now.MappedOnto(target)) return LinkAt::wanted;
  if (!old.empty() && now.MappedOnto(old)) return LinkAt::stored;
  found = DescribeGlobal(now) + u" now.";
  return LinkAt::other;
}

LinkAt FolderAt(const std::u16string& link, const std::u16string& target, const std::u16string& old,
                std::u16string& found, win::DWORD& error) {
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
  found = link + u" is there as another " + at.type + u" than " + (target.empty() ? old : target) +
          u".";
  return LinkAt::other;
}

// Where `kind link` stands against `target` (wanted) and `old` (stored); either may be empty.
LinkAt LinkAtNow(Step& step, const std::u16string& target, const std::u16string& old,
                 std::u16string& found, win::DWORD& error) {
  const LinkRequest& r = step.record;
  switch (r.kind) {
    case LinkKind::Drive:
      return DriveAt(r.link, target, old, found, error, step.letter);
    case LinkKind::Folder:
      return FolderAt(r.link, target, old, found, error);
    case LinkKind::File:
      return FileAt(r.link, target, old, found, error);
  }
  error = win::ERROR_NOT_SUPPORTED;
  return LinkAt::other;
}

// One service request. A drive's Delete names the folder, so that only that definition goes.
bool Request(Step& step, const std::u16string& target, bool create) {
  const LinkRequest& r = step.record;
  const bool named = create || r.kind == LinkKind::Drive;
  const LinkRequest request{create ? LinkAction::Create : LinkAction::Delete, r.kind, r.link,
                            named ? target : std::u16string()};
  step.outcome = RunService(StartArguments(request), LinkStateOf(r.kind, r.link));
  return Finished(step.outcome) && step.outcome.exitCode == 0;
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

// Whether the link the step made is still the one it made.
bool StillMade(Step& step) {
  if (step.record.kind == LinkKind::File) {
    Inspection now;
    return Inspect(step.record.link, false, now) == 0 && SameFile(now, step.madeFile);
  }
  std::u16string found;
  win::DWORD error = 0;
  return LinkAtNow(step, step.record.target, u"", found, error) == LinkAt::wanted;
}

// Takes back what the step changed: the link it made goes only while it is still the one it
// made, and the stored one comes back only where its place is free.
void UndoStep(Step& step) {
  const LinkRequest& r = step.record;
  if (step.made) {
    if (!StillMade(step) || !Request(step, r.target, false)) {
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
  if (LinkAtNow(step, u"", step.Old(), found, error) != LinkAt::free ||
      !Request(step, step.Old(), true)) {
    step.leftChanged = true;
    return;
  }
  if (r.kind == LinkKind::Drive) TellShell(r.link, true);
}

}  // namespace

std::u16string Step::Change() const {
  if (policy) return u"policy";
  if (prune) return u"removed";
  if (!was.empty()) return u"changed";
  if (Makes()) return record.kind == LinkKind::Drive ? u"mapped" : u"created";
  return stored && !relabel ? u"none" : u"stored";
}

std::u16string Step::Describe() const {
  return KindName(record.kind) + u" " + record.link + u" -> " + record.target;
}

Step MakeStep(LinkKind kind, const std::u16string& link, const std::u16string& target,
              const std::u16string& label) {
  Step step;
  step.record.action = LinkAction::Create;
  step.record.kind = kind;
  step.record.link = link;
  step.record.target = target;
  step.label = label;
  return step;
}

Step RemoveStep(const LinkRequest& stored) {
  Step step;
  step.record = stored;
  step.prune = true;
  step.stored = true;
  return step;
}

const PolicyDrive* PolicyOf(const std::vector<PolicyDrive>& policy, std::u16string_view letter) {
  for (const PolicyDrive& drive : policy) {
    if (SameAsciiText(drive.letter, letter)) return &drive;
  }
  return nullptr;
}

void HandToPolicy(Step& step, const std::vector<PolicyDrive>& policy) {
  if (step.record.kind != LinkKind::Drive || PolicyOf(policy, step.record.link) == nullptr) return;
  step.policy = true;
  step.at = LinkAt::wanted;
  step.was.clear();
  step.conflict = 0;
  step.why.clear();
  step.labelShown = step.labelStored = true;
  step.relabel = false;
}

bool SameLink(const LinkRequest& a, const LinkRequest& b) {
  return a.kind == b.kind &&
         (a.kind == LinkKind::Drive ? SameAsciiText(a.link, b.link) : SamePath(a.link, b.link));
}

void ExamineList(Step& step, const LinkList& links) {
  const bool drive = step.record.kind == LinkKind::Drive;
  if (step.prune) {
    step.labelOwned = drive && links.LabelOf(step.record.link) != nullptr;
    return;
  }
  if (drive && !step.label.empty()) {
    const std::u16string* stored = links.LabelOf(step.record.link);
    std::u16string shown;
    step.labelStored = stored != nullptr && *stored == step.label;
    step.labelShown = ReadDriveLabel(step.record.link, shown) == 0 && shown == step.label;
    step.relabel = !step.labelStored || !step.labelShown;
  }
  for (const LinkRequest& stored : links.records) {
    if (stored.action == LinkAction::Delete || !SameLink(stored, step.record)) continue;
    step.stored = true;
    if (!SamePath(stored.target, step.record.target)) step.was = stored.target;
  }
}

bool TargetUsable(Step& step) {
  const LinkRequest& r = step.record;
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

win::DWORD ExamineLink(Step& step) {
  std::u16string found;
  win::DWORD error = 0;
  step.at = LinkAtNow(step, step.prune ? u"" : step.record.target, step.Old(), found, error);
  if (error != 0) {
    Refuse(step, error, step.record.link + u" cannot be looked at.");
  } else if (step.at == LinkAt::other && !step.prune) {
    Refuse(step, win::ERROR_ALREADY_EXISTS,
           found + (step.was.empty() ? u"" : u" It is stored onto " + step.was + u"."));
  }
  return error;
}

void Examine(Step& step, const LinkList& links) {
  ExamineList(step, links);
  if (step.prune || TargetUsable(step)) ExamineLink(step);
}

bool RemoveOld(Step& step) {
  const std::u16string old = step.Old();
  for (int times = 0; times < kMostStackedMappings; ++times) {
    if (!Request(step, old, false)) return false;
    step.removed = true;
    if (step.record.kind != LinkKind::Drive) return true;
    std::u16string found;
    win::DWORD error = 0;
    if (LinkAtNow(step, u"", old, found, error) != LinkAt::stored) {
      TellShell(step.record.link, false);
      if (error == 0) return true;
      step.stuck = error;
      return false;
    }
  }
  step.stuck = win::ERROR_ALREADY_EXISTS;
  return false;
}

bool Make(Step& step) {
  const LinkRequest& r = step.record;
  std::vector<std::u16string> folders;
  if (r.kind == LinkKind::Folder) {
    folders = MissingFolders(r.target);
    const std::size_t cut = r.link.find_last_of(u"\\/");
    if (cut != std::u16string::npos) {
      for (std::u16string& f : MissingFolders(r.link.substr(0, cut))) folders.push_back(f);
    }
  }
  if (!Request(step, r.target, true)) return false;
  step.made = true;
  step.madeFolders = std::move(folders);
  if (r.kind == LinkKind::File) Inspect(r.link, false, step.madeFile);
  if (r.kind == LinkKind::Drive) TellShell(r.link, true);
  return true;
}

win::DWORD TellOutcome(const Step& step) {
  if (step.stuck == win::ERROR_ALREADY_EXISTS) {
    WriteError({step.record.link + u" is still mapped onto " + step.Old() + u".",
                OutcomeText(step.stuck)});
  } else if (step.stuck != 0) {
    WriteError({u"What " + step.record.link + u" is now cannot be read.", OutcomeText(step.stuck)});
  } else {
    return Tell(step.outcome);
  }
  return step.stuck;
}

bool Undo(std::span<Step> steps) {
  bool whole = true;
  for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
    UndoStep(*step);
    if (!step->leftChanged) continue;
    whole = false;
    WriteError(step->Describe() + u" could not be taken back; it stays as this run left it.\r\n");
  }
  return whole;
}

LinkList ListAfter(const LinkList& links, std::span<const Step> steps) {
  LinkList after = links;
  for (const Step& step : steps) {
    if (step.policy) continue;
    if (step.prune || !step.was.empty()) {
      std::erase_if(after.records, [&](const LinkRequest& r) { return SameLink(r, step.record); });
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

Lines PlanText(std::span<const Step> steps) {
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

nlohmann::ordered_json StepsJson(std::span<const Step> steps) {
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

std::u16string FailureJson(const Step& failed, win::DWORD code, std::span<const Step> steps,
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

}  // namespace frontend
