#include "frontend/DriveCommands.h"

#include <algorithm>
#include <vector>

#include "engine/DriveDefinition.h"
#include "frontend/CommandSupport.h"
#include "frontend/Console.h"
#include "frontend/DriveLetter.h"
#include "frontend/LinkPlan.h"
#include "frontend/Messages.h"
#include "frontend/StoredList.h"

namespace frontend {
namespace {

// A drive is mapped onto a folder that exists now: the service maps whatever it is given, and
// `subst` refuses the same. 0, or the system's code once the user has been told.
win::DWORD CheckFolder(const std::u16string& target) {
  const win::DWORD error = FolderError(target);
  if (error != 0) {
    WriteError(
        {target + u" is not a folder that exists, so nothing was mapped.", OutcomeText(error)});
  }
  return error;
}

// The folder a new mapping is to lead to: full, not too long for the service, and there. 0, or
// the code once the user has been told.
win::DWORD FolderToMap(const Command& command, std::u16string& target) {
  win::DWORD error = 0;
  target = UsablePath(command.target, error);
  if (error != 0) return error;
  if (TooLongForTheService(command.link, target)) return win::ERROR_FILENAME_EXCED_RANGE;
  return CheckFolder(target);
}

// Where the letter stands now, from the planner's one reading of it. 0, or the code once the
// user has been told.
win::DWORD LookAtLetter(Step& step) {
  const win::DWORD error = ExamineLink(step);
  if (error != 0) {
    WriteError({u"What " + step.record.link + u" is now cannot be read, so nothing was changed.",
                OutcomeText(error)});
  }
  return error;
}

// A letter that is something else now is never mapped over: in the global set a second
// definition stacks on the first and hides it.
win::DWORD RefuseLetterInUse(const DriveLetterNow& now) {
  const DefinitionMeaning meaning = MeaningOf(now.global.front());
  WriteError({now.letter + u" is in use: it is a " + meaning.kind + u" (" + meaning.target +
                  u"). Nothing was changed; choose another letter, or free this one first.",
              OutcomeText(win::ERROR_ALREADY_EXISTS)});
  return win::ERROR_ALREADY_EXISTS;
}

// What the user hears once the letter is mapped: that this session's own letter hides it here.
// A session that had none of its own before (`before`, the plan's reading) has none now: the
// service changes the global letters only.
void TellMapped(const DriveLetterNow& before) {
  DriveLetterNow now;
  if (!before.session.empty() && ReadDriveLetter(before.letter, now) == 0) {
    WriteOutput(HiddenHereText(now));
  }
}

// A letter machine policy maps is changed where the policy is set, not here: true once the user
// has been told.
bool RefusePolicyLetter(const std::u16string& letter) {
  const std::vector<PolicyDrive> policy = ReadDrivePolicy().drives;
  const PolicyDrive* drive = PolicyOf(policy, letter);
  if (drive == nullptr) return false;
  WriteError({letter + u" is mapped onto " + drive->folder +
                  u" by machine policy, so nothing was changed. Change it where the policy is "
                  u"set: the Group Policy or Intune setting \"Drive letters mapped for every "
                  u"session\" (HKEY_LOCAL_MACHINE\\" +
                  kPolicyDrivesKey + u").",
              OutcomeText(win::ERROR_ACCESS_DENIED)});
  return true;
}

const LinkRequest* StoredDrive(const LinkList& links, const std::u16string& letter) {
  const auto stored = std::ranges::find_if(links.records, [&](const LinkRequest& r) {
    return r.kind == LinkKind::Drive && SameAsciiText(r.link, letter);
  });
  return stored == links.records.end() ? nullptr : &*stored;
}

}  // namespace

win::DWORD CreateDrive(const Command& command) {
  std::u16string target;
  if (const win::DWORD error = FolderToMap(command, target)) return error;
  std::u16string path;
  MachineLock listLock;
  if (const win::DWORD error = LockList(path, listLock)) return error;
  Step step = MakeStep(LinkKind::Drive, command.link, target);
  if (const win::DWORD error = LookAtLetter(step)) return error;
  if (step.at == LinkAt::wanted) {
    WriteOutput(command.link + u" is already mapped onto " + target + u".\r\n");
    WriteOutput(HiddenHereText(step.letter));
    return 0;
  }
  if (step.at != LinkAt::free) return RefuseLetterInUse(step.letter);
  if (!Make(step)) return TellOutcome(step);
  Tell(step.outcome);
  TellMapped(step.letter);
  return 0;
}

win::DWORD DeleteDrive(const Command& command) {
  if (RefusePolicyLetter(command.link)) return win::ERROR_ACCESS_DENIED;
  std::u16string path;
  MachineLock listLock;
  if (const win::DWORD error = LockList(path, listLock)) return error;
  // Wanting nothing there: whatever the letter is now is `other`.
  Step look = MakeStep(LinkKind::Drive, command.link, u"");
  if (const win::DWORD error = LookAtLetter(look)) return error;
  if (look.at == LinkAt::free) {
    WriteError({command.link + u" is not mapped for the machine, so nothing was changed.",
                OutcomeText(win::ERROR_FILE_NOT_FOUND)});
    return win::ERROR_FILE_NOT_FOUND;
  }
  // Taking a volume's or a network drive's letter away would hide it from every session until
  // the next boot.
  const DefinitionMeaning meaning = MeaningOf(look.letter.global.front());
  if (!look.letter.IsFolderMapping()) {
    WriteError({command.link + u" is a " + meaning.kind + u" (" + meaning.target +
                    u"), not a folder mapping, so it was left alone: corvane takes off only the "
                    u"mappings of folders.",
                OutcomeText(win::ERROR_NOT_SUPPORTED)});
    return win::ERROR_NOT_SUPPORTED;
  }
  // The folder found is the one taken off: a definition of another stacked on it meanwhile
  // stays.
  LinkRequest found = look.record;
  found.target = meaning.target;
  Step step = RemoveStep(found);
  step.at = LinkAt::stored;
  RemoveOld(step);
  return TellOutcome(step);
}

win::DWORD AddDrive(const Command& command) {
  std::u16string target;
  win::DWORD error = FolderToMap(command, target);
  if (error != 0) return error;
  std::u16string path;
  MachineLock listLock;
  LinkList links;
  if ((error = LockAndReadList(path, listLock, links)) != 0) return error;
  Step step = MakeStep(LinkKind::Drive, command.link, target, command.label);
  ExamineList(step, links);
  if (!step.was.empty()) {
    WriteError(command.link + u" is already stored, mapped onto " + step.was +
               u". To map it onto " + target + u" instead: corvane remove drive " + command.link +
               u", then corvane add drive " + command.link + u" " + target + u"\r\n");
    return win::ERROR_ALREADY_EXISTS;
  }
  // The same letter onto the same folder again is what is there already: stored once, mapped
  // once.
  if ((error = LookAtLetter(step)) != 0) return error;
  if (step.at != LinkAt::free && step.at != LinkAt::wanted) return RefuseLetterInUse(step.letter);
  if (step.Makes() && !Make(step)) return TellOutcome(step);
  // Without --label a label stored before stays as it is.
  LinkList after = ListAfter(links, {&step, 1});
  if ((!step.stored || !step.labelStored) && (error = ReplaceStoredList(path, after)) != 0) {
    WriteError(!step.stored
                   ? command.link + u" is mapped now, but it will not come back after a restart:\r\n"
                   : command.link + u" keeps its label, as the list could not be changed:\r\n");
    return ListProblem(path, error, true);
  }
  // Set again whenever Explorer shows another, so that a label taken off elsewhere comes back
  // with the next add.
  if (!step.labelShown && (error = WriteDriveLabel(command.link, command.label)) != 0) {
    WriteError({command.link + u" is mapped onto " + target +
                    u", now and at every boot, but its label could not be set:",
                OutcomeText(error)});
    return error;
  }
  WriteOutput(command.link + u" is mapped onto " + target + u", now and at every boot.\r\n");
  if (!command.label.empty()) {
    WriteOutput(u"Explorer calls " + command.link + u" \"" + command.label + u"\".\r\n");
  }
  TellMapped(step.letter);
  return 0;
}

// The mapping is taken off first and the record forgotten only then: a remove that fails or is
// cut short keeps the record, and running it again finishes the job.
win::DWORD RemoveDrive(const Command& command) {
  if (RefusePolicyLetter(command.link)) return win::ERROR_ACCESS_DENIED;
  std::u16string path;
  MachineLock listLock;
  LinkList links;
  win::DWORD error = LockAndReadList(path, listLock, links);
  if (error != 0) return error;
  const LinkRequest* stored = StoredDrive(links, command.link);
  if (stored == nullptr) {
    WriteOutput(command.link + u" was not stored.\r\n");
    return win::ERROR_FILE_NOT_FOUND;
  }
  Step step = RemoveStep(*stored);
  ExamineList(step, links);
  if ((error = LookAtLetter(step)) != 0) return error;
  // Only the stored mapping is taken off; whatever else the letter is now is not corvane's.
  if (step.RemovesOld() && !RemoveOld(step)) {
    WriteError(command.link + u" is still stored; run the command again to finish.\r\n");
    return TellOutcome(step);
  }
  LinkList after = ListAfter(links, {&step, 1});
  if ((error = ReplaceStoredList(path, after)) != 0) {
    if (step.removed) {
      WriteError(command.link + u" is no longer mapped, but it is still stored:\r\n");
    }
    return ListProblem(path, error, true);
  }
  // The mapping and the record are gone; a label left behind names no drive of corvane's, so
  // failing to take it off is told but does not fail the remove. Only a label corvane stored is
  // taken off: one set by hand for the letter is the user's.
  if (step.labelOwned && (error = RemoveDriveLabel(command.link)) != 0) {
    WriteError({u"The label of " + command.link +
                    u" could not be taken off; Explorer may still show it for the letter.",
                OutcomeText(error)});
  }
  if (step.removed) {
    WriteOutput(command.link + u" is no longer stored and no longer mapped.\r\n");
    return Tell(step.outcome);
  } else if (step.at == LinkAt::other) {
    WriteOutput(command.link + u" is no longer stored; it is " + step.letter.global.front() +
                u" now, which was left alone.\r\n");
  } else {
    WriteOutput(command.link + u" is no longer stored; it was not mapped.\r\n");
  }
  return 0;
}

win::DWORD RestoreDrives() {
  // The list is read under its lock, which is let go before the restore pass: the pass takes it
  // itself.
  std::u16string path;
  LinkList links;
  {
    MachineLock listLock;
    if (const win::DWORD error = LockList(path, listLock)) return error;
    ReadStoredList(path, links);
  }
  // The pass maps policy's letters first, and the list's where the policy names none.
  const std::vector<PolicyDrive> policy = ReadDrivePolicy().drives;
  std::vector<Step> drives;
  for (const PolicyDrive& drive : policy) {
    drives.push_back(MakeStep(LinkKind::Drive, drive.letter, drive.folder));
  }
  for (const LinkRequest& record : links.records) {
    if (record.action == LinkAction::Delete || record.kind != LinkKind::Drive ||
        !IsDriveLetterName(record.link) || PolicyOf(policy, record.link) != nullptr) {
      continue;
    }
    drives.push_back(MakeStep(LinkKind::Drive, record.link, record.target));
  }
  for (Step& step : drives) ExamineLink(step);
  const ServiceOutcome outcome = RunService({});
  if (!Finished(outcome)) return Tell(outcome);
  for (Step& step : drives) {
    const bool mappedBefore = step.InForce();
    if (ExamineLink(step) != 0) continue;
    if (step.InForce()) {
      if (!mappedBefore) TellShell(step.record.link, true);
      WriteOutput(HiddenHereText(step.letter));
    } else {
      WriteError(step.record.link + u" is not mapped onto " + step.record.target +
                 (step.letter.Defined() ? u": it is " + step.letter.global.front() + u" now."
                                        : u".") +
                 u"\r\n");
    }
  }
  return Tell(outcome);
}

bool MappedNow(const LinkRequest& record) {
  Step step = MakeStep(LinkKind::Drive, record.link, record.target);
  return ExamineLink(step) == 0 && step.InForce();
}

std::u16string DriveState(const LinkRequest& record) {
  Step step = MakeStep(LinkKind::Drive, record.link, record.target);
  ExamineLink(step);
  if (!step.letter.Defined()) return u"not mapped now";
  if (step.InForce()) return u"mapped now";
  return u"mapped onto " + step.letter.global.front() + u" now";
}

}  // namespace frontend
