#include "frontend/DriveCommands.h"

#include <algorithm>
#include <vector>

#include "engine/DriveDefinition.h"
#include "frontend/CommandSupport.h"
#include "frontend/Console.h"
#include "frontend/DriveLetter.h"
#include "frontend/Messages.h"
#include "frontend/StoredList.h"
#include "platform/UniqueHandle.h"

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

win::DWORD ReadLetter(const std::u16string& letter, DriveLetterNow& now) {
  const win::DWORD error = ReadDriveLetter(letter, now);
  if (error != 0) {
    WriteError({u"What " + letter + u" is now cannot be read, so nothing was changed.",
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

// What the user hears once the letter was mapped onto `target`.
void TellMapped(const std::u16string& letter, bool changed) {
  if (changed) TellShell(letter, true);
  DriveLetterNow now;
  if (ReadDriveLetter(letter, now) == 0) WriteOutput(HiddenHereText(now));
}

win::DWORD MapNow(const std::u16string& letter, const std::u16string& target) {
  const ServiceOutcome outcome =
      RunService({u"Drive", u"Create", target, letter}, LinkStateOf(u"Drive", letter));
  if (!Finished(outcome) || outcome.exitCode != 0) return Tell(outcome);
  return 0;
}

bool IsStoredDrive(const CHardLink& record, std::u16string_view letter) {
  return record.kind == LinkKind::Drive && SameText(record.link, letter);
}

// Explorer's own place for a letter's name and icon, per letter ("X"), for every user.
constexpr char16_t kDriveIcons[] =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons\\";
constexpr char16_t kDefaultLabel[] = u"\\DefaultLabel";

std::u16string LetterKey(std::u16string_view letter) {
  return kDriveIcons + std::u16string(letter.substr(0, 1));
}

bool IsEmptyKey(const std::u16string& path) {
  win::UniqueKey key;
  if (win::RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, path.c_str(), 0, win::KEY_QUERY_VALUE,
                         key.Put()) != 0) {
    return false;
  }
  win::DWORD subKeys = 1;
  win::DWORD values = 1;
  return win::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                               &values, nullptr, nullptr, nullptr, nullptr) == 0 &&
         subKeys == 0 && values == 0;
}

}  // namespace

void TellShell(std::u16string_view letter, bool added) {
  const std::u16string root = std::u16string(letter) + u"\\";
  win::SHChangeNotify(added ? win::SHCNE_DRIVEADD : win::SHCNE_DRIVEREMOVED, win::SHCNF_PATHW,
                      root.c_str(), nullptr);
}

win::DWORD WriteDriveLabel(std::u16string_view letter, const std::u16string& label) {
  win::UniqueKey key;
  win::LSTATUS status = win::RegCreateKeyExW(
      win::HKEY_LOCAL_MACHINE, (LetterKey(letter) + kDefaultLabel).c_str(), 0, nullptr,
      win::REG_OPTION_NON_VOLATILE, win::KEY_SET_VALUE, nullptr, key.Put(), nullptr);
  if (status == 0) {
    status = win::RegSetValueExW(key.Get(), nullptr, 0, win::REG_SZ,
                                 reinterpret_cast<const win::BYTE*>(label.c_str()),
                                 static_cast<win::DWORD>((label.size() + 1) * sizeof(char16_t)));
  }
  return static_cast<win::DWORD>(status);
}

win::DWORD ReadDriveLabel(std::u16string_view letter, std::u16string& label) {
  label.clear();
  win::UniqueKey key;
  win::LSTATUS status =
      win::RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, (LetterKey(letter) + kDefaultLabel).c_str(), 0,
                         win::KEY_QUERY_VALUE, key.Put());
  win::DWORD type = 0;
  win::DWORD size = 0;
  if (status == 0) status = win::RegQueryValueExW(key.Get(), nullptr, nullptr, &type, nullptr, &size);
  if (status != 0) return static_cast<win::DWORD>(status);
  if (type != win::REG_SZ) return win::ERROR_INVALID_DATA;
  label.resize(size / sizeof(char16_t));
  status = win::RegQueryValueExW(key.Get(), nullptr, nullptr, &type,
                                 reinterpret_cast<win::BYTE*>(label.data()), &size);
  if (status != 0) return static_cast<win::DWORD>(status);
  label.resize(size / sizeof(char16_t));
  while (!label.empty() && label.back() == u'\0') label.pop_back();
  return 0;
}

win::DWORD RemoveDriveLabel(std::u16string_view letter) {
  const std::u16string letterKey = LetterKey(letter);
  const win::LSTATUS status =
      win::RegDeleteKeyW(win::HKEY_LOCAL_MACHINE, (letterKey + kDefaultLabel).c_str());
  if (status == win::ERROR_FILE_NOT_FOUND) return 0;
  if (status != 0) return static_cast<win::DWORD>(status);
  // An empty key for the letter changes nothing Explorer shows; it goes only to leave no trace.
  if (IsEmptyKey(letterKey)) win::RegDeleteKeyW(win::HKEY_LOCAL_MACHINE, letterKey.c_str());
  return 0;
}

win::DWORD CreateDrive(const Command& command) {
  std::u16string target;
  if (const win::DWORD error = FolderToMap(command, target)) return error;
  std::u16string path;
  MachineLock listLock;
  if (const win::DWORD error = LockList(path, listLock)) return error;
  DriveLetterNow now;
  if (const win::DWORD error = ReadLetter(command.link, now)) return error;
  if (now.MappedOnto(target)) {
    WriteOutput(command.link + u" is already mapped onto " + target + u".\r\n");
    TellMapped(command.link, false);
    return 0;
  }
  if (now.Defined()) return RefuseLetterInUse(now);
  const win::DWORD code = Tell(
      RunService({u"Drive", u"Create", target, command.link}, LinkStateOf(u"Drive", command.link)));
  if (code == 0) TellMapped(command.link, true);
  return code;
}

win::DWORD DeleteDrive(const Command& command) {
  std::u16string path;
  MachineLock listLock;
  if (const win::DWORD error = LockList(path, listLock)) return error;
  DriveLetterNow now;
  if (const win::DWORD error = ReadLetter(command.link, now)) return error;
  if (!now.Defined()) {
    WriteError({command.link + u" is not mapped for the machine, so nothing was changed.",
                OutcomeText(win::ERROR_FILE_NOT_FOUND)});
    return win::ERROR_FILE_NOT_FOUND;
  }
  // Taking a volume's or a network drive's letter away would hide it from every session until
  // the next boot.
  if (!now.IsFolderMapping()) {
    const DefinitionMeaning meaning = MeaningOf(now.global.front());
    WriteError({command.link + u" is a " + meaning.kind + u" (" + meaning.target +
                    u"), not a folder mapping, so it was left alone: corvane takes off only the "
                    u"mappings of folders.",
                OutcomeText(win::ERROR_NOT_SUPPORTED)});
    return win::ERROR_NOT_SUPPORTED;
  }
  // The definition found is the one taken off: one stacked on it meanwhile stays.
  const win::DWORD code =
      Tell(RunService({u"Drive", u"Delete", MeaningOf(now.global.front()).target, command.link},
                      LinkStateOf(u"Drive", command.link)));
  if (code == 0) TellShell(command.link, false);
  return code;
}

win::DWORD AddDrive(const Command& command) {
  std::u16string target;
  win::DWORD error = FolderToMap(command, target);
  if (error != 0) return error;
  std::u16string path;
  MachineLock listLock;
  HardLinkArray links;
  if ((error = LockAndReadList(path, listLock, links)) != 0) return error;
  const auto stored = std::ranges::find_if(
      links.records, [&](const CHardLink& r) { return IsStoredDrive(r, command.link); });
  if (stored != links.records.end() && !SamePath(stored->target, target)) {
    WriteError(command.link + u" is already stored, mapped onto " + stored->target +
               u". To map it onto " + target + u" instead: corvane remove drive " + command.link +
               u", then corvane add drive " + command.link + u" " + target + u"\r\n");
    return win::ERROR_ALREADY_EXISTS;
  }
  // The same letter onto the same folder again is what is there already: stored once, mapped
  // once.
  DriveLetterNow now;
  if ((error = ReadLetter(command.link, now)) != 0) return error;
  if (now.Defined() && !now.MappedOnto(target)) return RefuseLetterInUse(now);
  const bool mapping = !now.Defined();
  if (mapping && (error = MapNow(command.link, target)) != 0) return error;
  const bool fresh = stored == links.records.end();
  // Without --label a label stored before stays as it is.
  const std::u16string* storedLabel = links.LabelOf(command.link);
  const bool relabel =
      !command.label.empty() && (storedLabel == nullptr || *storedLabel != command.label);
  if (relabel) links.SetLabel(command.link, command.label);
  if (fresh) {
    CHardLink record;
    record.action = LinkAction::Create;
    record.kind = LinkKind::Drive;
    record.link = command.link;
    record.target = target;
    links.records.push_back(record);
  }
  if ((fresh || relabel) && (error = ReplaceStoredList(path, links)) != 0) {
    if (mapping) TellShell(command.link, true);
    WriteError(fresh ? command.link +
                           u" is mapped now, but it will not come back after a restart:\r\n"
                     : command.link + u" keeps its label, as the list could not be changed:\r\n");
    return ListProblem(path, error, true);
  }
  // Written again each time, so that a label taken off elsewhere comes back with the next add.
  if (!command.label.empty() && (error = WriteDriveLabel(command.link, command.label)) != 0) {
    if (mapping) TellShell(command.link, true);
    WriteError({command.link + u" is mapped onto " + target +
                    u", now and at every boot, but its label could not be set:",
                OutcomeText(error)});
    return error;
  }
  WriteOutput(command.link + u" is mapped onto " + target + u", now and at every boot.\r\n");
  if (!command.label.empty()) {
    WriteOutput(u"Explorer calls " + command.link + u" \"" + command.label + u"\".\r\n");
  }
  TellMapped(command.link, mapping);
  return 0;
}

// The mapping is taken off first and the record forgotten only then: a remove that fails or is
// cut short keeps the record, and running it again finishes the job.
win::DWORD RemoveDrive(const Command& command) {
  std::u16string path;
  MachineLock listLock;
  HardLinkArray links;
  win::DWORD error = LockAndReadList(path, listLock, links);
  if (error != 0) return error;
  const auto stored = std::ranges::find_if(
      links.records, [&](const CHardLink& r) { return IsStoredDrive(r, command.link); });
  if (stored == links.records.end()) {
    WriteOutput(command.link + u" was not stored.\r\n");
    return win::ERROR_FILE_NOT_FOUND;
  }
  const std::u16string storedTarget = stored->target;
  DriveLetterNow now;
  if ((error = ReadLetter(command.link, now)) != 0) return error;
  const bool wasMapped = now.MappedOnto(storedTarget);
  ServiceOutcome taken;
  // Only the stored mapping is taken off; whatever else the letter is now is not corvane's.
  for (int times = 0; now.MappedOnto(storedTarget) && times < kMostStackedMappings; ++times) {
    taken = RunService({u"Drive", u"Delete", storedTarget, command.link},
                       LinkStateOf(u"Drive", command.link));
    if (!Finished(taken) || taken.exitCode != 0) {
      WriteError(command.link + u" is still stored; run the command again to finish.\r\n");
      return Tell(taken);
    }
    if ((error = ReadLetter(command.link, now)) != 0) return error;
  }
  if (now.MappedOnto(storedTarget)) {
    WriteError({command.link + u" is still mapped onto " + storedTarget +
                    u", so it is still stored; run the command again to finish.",
                OutcomeText(win::ERROR_ALREADY_EXISTS)});
    return win::ERROR_ALREADY_EXISTS;
  }
  if (wasMapped) TellShell(command.link, false);
  std::erase_if(links.records, [&](const CHardLink& r) { return IsStoredDrive(r, command.link); });
  // Only a label corvane stored is taken off: one set by hand for the letter is the user's.
  const bool labelled = links.LabelOf(command.link) != nullptr;
  links.RemoveLabel(command.link);
  if ((error = ReplaceStoredList(path, links)) != 0) {
    if (wasMapped) WriteError(command.link + u" is no longer mapped, but it is still stored:\r\n");
    return ListProblem(path, error, true);
  }
  // The mapping and the record are gone; a label left behind names no drive of corvane's, so
  // failing to take it off is told but does not fail the remove.
  if (labelled && (error = RemoveDriveLabel(command.link)) != 0) {
    WriteError({u"The label of " + command.link +
                    u" could not be taken off; Explorer may still show it for the letter.",
                OutcomeText(error)});
  }
  if (wasMapped) {
    WriteOutput(command.link + u" is no longer stored and no longer mapped.\r\n");
    return Tell(taken);
  } else if (now.Defined()) {
    WriteOutput(command.link + u" is no longer stored; it is " + now.global.front() +
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
  HardLinkArray links;
  {
    MachineLock listLock;
    if (const win::DWORD error = LockList(path, listLock)) return error;
    ReadStoredList(path, links);
  }
  std::vector<const CHardLink*> drives;
  std::vector<bool> mappedBefore;
  for (const CHardLink& record : links.records) {
    if (record.action == LinkAction::Delete || record.kind != LinkKind::Drive ||
        !IsDriveName(record.link)) {
      continue;
    }
    drives.push_back(&record);
    mappedBefore.push_back(MappedNow(record));
  }
  const ServiceOutcome outcome = RunService({});
  if (!Finished(outcome)) return Tell(outcome);
  for (std::size_t i = 0; i < drives.size(); ++i) {
    const CHardLink& record = *drives[i];
    DriveLetterNow now;
    if (ReadDriveLetter(record.link, now) != 0) continue;
    if (now.MappedOnto(record.target)) {
      TellMapped(record.link, !mappedBefore[i]);
    } else {
      WriteError(record.link + u" is not mapped onto " + record.target +
                 (now.Defined() ? u": it is " + now.global.front() + u" now." : u".") + u"\r\n");
    }
  }
  return Tell(outcome);
}

bool MappedNow(const CHardLink& record) {
  DriveLetterNow now;
  return ReadDriveLetter(record.link, now) == 0 && now.MappedOnto(record.target);
}

std::u16string DriveState(const CHardLink& record) {
  DriveLetterNow now;
  ReadDriveLetter(record.link, now);
  if (!now.Defined()) return u"not mapped now";
  if (now.MappedOnto(record.target)) return u"mapped now";
  return u"mapped onto " + now.global.front() + u" now";
}

}  // namespace frontend
