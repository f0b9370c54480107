#include "frontend/FrontEnd.h"

#include <algorithm>
#include <new>

#include "engine/WayToLink.h"
#include "frontend/Arguments.h"
#include "frontend/Console.h"
#include "frontend/Inspection.h"
#include "frontend/Json.h"
#include "frontend/MachineLock.h"
#include "frontend/Messages.h"
#include "frontend/ServiceRequest.h"
#include "frontend/StoredList.h"

namespace frontend {
namespace {

// Under Wine an empty start argument ends the argument list, so a delete, whose target the
// service does not read, sends this in its place.
constexpr char16_t kNoTarget[] = u"-";

char16_t Upper(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool SameText(std::u16string_view a, std::u16string_view b) {
  return std::ranges::equal(a, b, [](char16_t x, char16_t y) { return Upper(x) == Upper(y); });
}

// A path made absolute against the current directory, as the service, running elsewhere,
// needs it.
std::u16string FullPath(const std::u16string& path, win::DWORD& error) {
  const win::DWORD size = win::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  std::u16string full(size, u'\0');
  const win::DWORD length =
      size == 0 ? 0 : win::GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) {
    error = win::GetLastError();
    return {};
  }
  full.resize(length);
  return full;
}

// Tells how a request went and gives the exit code for it.
win::DWORD Tell(const ServiceOutcome& outcome) {
  if (outcome.startError != 0) {
    WriteError(
        (outcome.lockProblem.empty() ? StartFailureText(outcome.startError) : outcome.lockProblem) +
        u"\r\n");
    return outcome.startError;
  }
  if (outcome.waitError != 0) {
    WriteError(u"CorvaneService was started, but corvane could not wait for it to finish. See how "
               u"it is doing with: sc query CorvaneService\r\n" +
               OutcomeText(outcome.waitError) + u"\r\n");
    return outcome.waitError;
  }
  if (outcome.timedOut) {
    WriteError(
        u"CorvaneService did not finish within 60 seconds; it may still be working. See how it "
        u"is doing with: sc query CorvaneService\r\n");
    return win::ERROR_SERVICE_REQUEST_TIMEOUT;
  }
  (outcome.exitCode == 0 ? WriteOutput : WriteError)(OutcomeText(outcome.exitCode) + u"\r\n");
  return outcome.exitCode;
}

// The service runs in session 0, where the system's own broadcast of a drive change reaches no
// user's desktop; corvane runs on that desktop and tells its shell. Queued, never flushed, so
// that a shell that does not answer holds nothing up.
void TellShell(std::u16string_view letter, bool added) {
  const std::u16string root = std::u16string(letter) + u"\\";
  win::SHChangeNotify(added ? win::SHCNE_DRIVEADD : win::SHCNE_DRIVEREMOVED, win::SHCNF_PATHW,
                      root.c_str(), nullptr);
}

// A start argument the service control manager cannot pass is refused before anything else.
bool TooLongForTheService(const std::u16string& link, const std::u16string& target) {
  if (link.size() <= kLongestArgument && target.size() <= kLongestArgument) return false;
  WriteError(StartFailureText(win::ERROR_FILENAME_EXCED_RANGE) + u"\r\n");
  return true;
}

// A drive is mapped onto a folder that exists now: the service maps whatever it is given, and
// `subst` refuses the same. 0, or the system's code once the user has been told.
win::DWORD CheckFolder(const std::u16string& target) {
  const win::DWORD attributes = win::GetFileAttributesW(target.c_str());
  win::DWORD error = 0;
  if (attributes == win::INVALID_FILE_ATTRIBUTES) {
    error = win::GetLastError();
    if (error == win::ERROR_FILE_NOT_FOUND) error = win::ERROR_PATH_NOT_FOUND;
  } else if ((attributes & win::FILE_ATTRIBUTE_DIRECTORY) == 0) {
    error = win::ERROR_DIRECTORY;
  }
  if (error != 0) {
    WriteError(target + u" is not a folder that exists, so nothing was mapped.\r\n" +
               OutcomeText(error) + u"\r\n");
  }
  return error;
}

// The definition of a letter in force now; empty when it has none.
std::u16string DefinitionNow(const std::u16string& letter) {
  char16_t device[1024];
  if (win::QueryDosDeviceW(letter.c_str(), device, std::size(device)) == 0) return {};
  return device;
}

bool MapsOnto(std::u16string_view definition, const std::u16string& target) {
  return SameText(definition, u"\\??\\" + target);
}

// What a link is now, to tell whether a request the service manager gave up on was carried out
// all the same.
LinkState LinkStateOf(std::u16string kind, std::u16string link) {
  return [kind = std::move(kind), link = std::move(link)] {
    Inspection found;
    const win::DWORD error = Inspect(link, kind == u"Drive", found);
    return error != 0 ? u"error " + DecimalText(error) : InspectionJson(found);
  };
}

// A letter that is something else now is never mapped over: on Windows a second definition
// stacks on the first and hides it.
win::DWORD RefuseLetterInUse(const std::u16string& letter) {
  Inspection found;
  Inspect(letter, true, found);
  WriteError(letter + u" is in use: it is a " + found.driveKind + u" (" + found.target +
             u"). Nothing was changed; choose another letter, or free this one first.\r\n" +
             OutcomeText(win::ERROR_ALREADY_EXISTS) + u"\r\n");
  return win::ERROR_ALREADY_EXISTS;
}

// Names the folder on the way to `link` that the service would not go through, found by the
// service's own walk.
std::u16string UntrustedLinkText(const std::u16string& link) {
  WayToLink way;
  if (way.Hold(link) || way.Refused().empty()) {
    return u"A folder on the way to " + link +
           u" became a link while CorvaneService worked, so it stopped there.";
  }
  return way.Refused() +
         u" is a link to another place, and neither SYSTEM, the administrators nor "
         u"TrustedInstaller own it, so CorvaneService does not go through it to " +
         link + u". Nothing was changed.";
}

win::DWORD Request(const Command& command) {
  win::DWORD error = 0;
  std::u16string link = command.link;
  if (command.kind != u"Drive") link = FullPath(link, error);
  std::u16string target = kNoTarget;
  if (command.verb == Verb::Create) target = FullPath(command.target, error);
  if (error != 0) {
    WriteError(u"corvane: that path cannot be used.\r\n" + OutcomeText(error) + u"\r\n");
    return error;
  }
  if (TooLongForTheService(link, target)) return win::ERROR_FILENAME_EXCED_RANGE;
  if (command.kind == u"Drive" && command.verb == Verb::Create) {
    if (const win::DWORD refused = CheckFolder(target)) return refused;
    const std::u16string now = DefinitionNow(link);
    if (!now.empty() && MapsOnto(now, target)) {
      WriteOutput(link + u" is already mapped onto " + target + u".\r\n");
      return 0;
    }
    if (!now.empty()) return RefuseLetterInUse(link);
  }
  const std::u16string action = command.verb == Verb::Create ? u"Create" : u"Delete";
  const win::DWORD code =
      Tell(RunService({command.kind, action, target, link}, LinkStateOf(command.kind, link)));
  if (code == 0 && command.kind == u"Drive") TellShell(link, command.verb == Verb::Create);
  if (code == kUntrustedLinkOnTheWay && command.kind != u"Drive") {
    WriteError(UntrustedLinkText(link) + u"\r\n");
  }
  // The service's refusal of a junction onto a share; the system's text alone does not say so.
  if (code == win::ERROR_BAD_PATHNAME && command.kind == u"Folder" &&
      command.verb == Verb::Create) {
    WriteError(u"A junction can only lead to a folder on this machine.\r\n");
  }
  return code;
}

// Says why the stored list cannot be used and gives the exit code for it.
win::DWORD ListProblem(const std::u16string& path, win::DWORD error, bool writing) {
  std::u16string text = u"The link list " + path;
  if (error == win::ERROR_INVALID_DATA) {
    text += u" is damaged, so it is left as it is. Move it aside and add the mappings again.";
  } else if (error == win::ERROR_SHARING_VIOLATION) {
    text += u" is in use by the service. Nothing was changed; try again in a moment.";
  } else if (error == win::ERROR_ACCESS_DENIED) {
    text += writing ? u" can only be changed by administrators, so it is as it was."
                    : u" can only be read by administrators.";
    text += u" Run corvane from an elevated command prompt (Run as administrator).";
  } else {
    text += writing ? u" could not be changed; it is as it was." : u" cannot be read.";
  }
  WriteError(text + u"\r\n" + OutcomeText(error) + u"\r\n");
  return error;
}

// The path of the list beside the installed service's program; 0, or the exit code once the
// user has been told what is wrong.
win::DWORD FindListBesideService(std::u16string& path) {
  win::DWORD error = 0;
  const std::u16string folder = ServiceFolder(error);
  if (folder.empty()) {
    WriteError(StartFailureText(error) + u"\r\n");
    return error;
  }
  path = folder + u"\\Corvane.dat";
  return 0;
}

// Reads the list beside the installed service's program into `links`, its path into `path`.
// 0, or the exit code once the user has been told what is wrong.
win::DWORD ReadListBesideService(std::u16string& path, HardLinkArray& links) {
  if (path.empty()) {
    if (const win::DWORD error = FindListBesideService(path)) return error;
  }
  if (const win::DWORD error = ReadStoredList(path, links)) return ListProblem(path, error, false);
  return 0;
}

// Finds the list and takes its lock for one change of it, from its reading until the new list
// is in place (or for a restore, which reads it); 0, or the exit code once the user has been
// told.
win::DWORD LockList(std::u16string& path, MachineLock& lock) {
  if (const win::DWORD error = FindListBesideService(path)) return error;
  const win::DWORD error =
      lock.Acquire(path.substr(0, path.find_last_of(u'\\')), kListLockName,
                   u"The link list " + path +
                       u" is being changed by another corvane; waiting for it to finish.\r\n");
  if (error == win::ERROR_TIMEOUT) {
    WriteError(u"The link list " + path +
               u" stayed busy with another corvane for 30 seconds, so nothing was changed. Try "
               u"again when it has finished.\r\n" +
               OutcomeText(error) + u"\r\n");
  } else if (error != 0) {
    // Whoever may not start the service cannot make or open the lock either (a standard user
    // gets 5 or, where the folder lets one write, 1307 for the owner it would give): what is
    // missing then is elevation, whatever the lock said.
    if (!MayStartService()) {
      WriteError(StartFailureText(win::ERROR_ACCESS_DENIED) + u"\r\n");
      return win::ERROR_ACCESS_DENIED;
    }
    WriteError(LockFailureText(lock, error) + u"\r\n");
  }
  return error;
}

bool IsStoredDrive(const CHardLink& record, std::u16string_view letter) {
  return record.kind == LinkKind::Drive && SameText(record.link, letter);
}

win::DWORD AddDrive(const Command& command) {
  win::DWORD error = 0;
  const std::u16string target = FullPath(command.target, error);
  if (error != 0) {
    WriteError(u"corvane: that path cannot be used.\r\n" + OutcomeText(error) + u"\r\n");
    return error;
  }
  if (TooLongForTheService(command.link, target)) return win::ERROR_FILENAME_EXCED_RANGE;
  if ((error = CheckFolder(target)) != 0) return error;
  std::u16string path;
  MachineLock listLock;
  if ((error = LockList(path, listLock)) != 0) return error;
  HardLinkArray links;
  if ((error = ReadListBesideService(path, links)) != 0) return error;
  const auto stored = std::ranges::find_if(
      links.records, [&](const CHardLink& r) { return IsStoredDrive(r, command.link); });
  if (stored != links.records.end() && !SameText(stored->target, target)) {
    WriteError(command.link + u" is already stored, mapped onto " + stored->target +
               u". To map it onto " + target + u" instead: corvane remove drive " +
               command.link + u", then corvane add drive " + command.link + u" " + target +
               u"\r\n");
    return win::ERROR_ALREADY_EXISTS;
  }
  // The same letter onto the same folder again is what is there already: stored once, mapped
  // once.
  const std::u16string now = DefinitionNow(command.link);
  if (!now.empty() && !MapsOnto(now, target)) return RefuseLetterInUse(command.link);
  if (now.empty()) {
    const ServiceOutcome outcome = RunService({u"Drive", u"Create", target, command.link},
                                              LinkStateOf(u"Drive", command.link));
    if (outcome.startError != 0 || outcome.waitError != 0 || outcome.timedOut ||
        outcome.exitCode != 0) {
      return Tell(outcome);
    }
    TellShell(command.link, true);
  }
  if (stored != links.records.end()) {
    WriteOutput(command.link + u" is mapped onto " + target + u", now and at every boot.\r\n");
    return 0;
  }

  CHardLink record;
  record.action = LinkAction::Create;
  record.kind = LinkKind::Drive;
  record.link = command.link;
  record.target = target;
  links.records.push_back(record);
  if ((error = ReplaceStoredList(path, links)) != 0) {
    WriteError(command.link + u" is mapped now, but it will not come back after a restart:\r\n");
    return ListProblem(path, error, true);
  }
  WriteOutput(command.link + u" is mapped onto " + target + u", now and at every boot.\r\n");
  return 0;
}

win::DWORD RemoveDrive(const Command& command) {
  std::u16string path;
  MachineLock listLock;
  win::DWORD error = LockList(path, listLock);
  if (error != 0) return error;
  HardLinkArray links;
  if ((error = ReadListBesideService(path, links)) != 0) return error;
  const auto stored = std::ranges::find_if(
      links.records, [&](const CHardLink& r) { return IsStoredDrive(r, command.link); });
  if (stored == links.records.end()) {
    WriteOutput(command.link + u" was not stored.\r\n");
    return win::ERROR_FILE_NOT_FOUND;
  }
  const std::u16string storedTarget = stored->target;
  std::erase_if(links.records, [&](const CHardLink& r) { return IsStoredDrive(r, command.link); });
  if ((error = ReplaceStoredList(path, links)) != 0) return ListProblem(path, error, true);
  // Only the stored mapping is taken off; whatever else the letter is now is not corvane's.
  const std::u16string now = DefinitionNow(command.link);
  if (now.empty()) {
    WriteOutput(command.link + u" is no longer stored; it was not mapped.\r\n");
    return 0;
  }
  if (!MapsOnto(now, storedTarget)) {
    WriteOutput(command.link + u" is no longer stored; it is " + now +
                u" now, which was left alone.\r\n");
    return 0;
  }
  const ServiceOutcome outcome = RunService({u"Drive", u"Delete", kNoTarget, command.link},
                                            LinkStateOf(u"Drive", command.link));
  const bool finished = outcome.startError == 0 && outcome.waitError == 0 && !outcome.timedOut;
  if (finished && outcome.exitCode == 0) {
    WriteOutput(command.link + u" is no longer stored and no longer mapped.\r\n");
    TellShell(command.link, false);
  }
  return Tell(outcome);
}

std::u16string KindName(LinkKind kind) {
  switch (kind) {
    case LinkKind::Drive:
      return u"Drive";
    case LinkKind::Folder:
      return u"Folder";
    case LinkKind::File:
      return u"File";
  }
  return u"Kind " + DecimalText(static_cast<int>(kind));
}

// Whether a stored drive mapping is in force now.
std::u16string DriveState(const CHardLink& record) {
  const std::u16string now = DefinitionNow(record.link);
  if (now.empty()) return u"not mapped now";
  if (MapsOnto(now, record.target)) return u"mapped now";
  return u"mapped onto " + now + u" now";
}

// The list as one JSON array, a drive's state as whether it is mapped onto its target now.
std::u16string ListJson(const HardLinkArray& links) {
  std::u16string json = u"[";
  for (const CHardLink& record : links.records) {
    const bool create = record.action != LinkAction::Delete;
    const std::u16string kind = KindName(record.kind);
    json += (json.size() > 1 ? u",\r\n " : u"") + std::u16string(u"{\"action\": ") +
            (create ? u"\"Create\"" : u"\"Delete\"") + u", \"kind\": " +
            (kind.starts_with(u"Kind ") ? kind.substr(5) : JsonString(kind)) +
            u", \"link\": " + JsonString(record.link) + u", \"target\": " +
            JsonString(record.target);
    if (record.kind == LinkKind::Drive) {
      json += u", \"mappedNow\": " +
              std::u16string(DriveState(record) == u"mapped now" ? u"true" : u"false");
    }
    json += u"}";
  }
  return json + u"]\r\n";
}

win::DWORD List(bool json) {
  std::u16string path;
  HardLinkArray links;
  if (const win::DWORD error = ReadListBesideService(path, links)) return error;
  if (json) {
    WriteOutput(ListJson(links));
    return 0;
  }
  if (links.records.empty()) {
    WriteOutput(u"No links are stored in " + path + u".\r\n");
    return 0;
  }
  std::u16string text;
  for (const CHardLink& record : links.records) {
    const bool create = record.action != LinkAction::Delete;
    text += (create ? u"Create " : u"Delete ") + KindName(record.kind) + u" " + record.link +
            u" -> " + record.target;
    if (create && record.kind == LinkKind::Drive) text += u"  (" + DriveState(record) + u")";
    text += u"\r\n";
  }
  WriteOutput(text);
  return 0;
}

win::DWORD Show(const Command& command) {
  const bool letter = IsDriveName(command.link);
  win::DWORD error = 0;
  const std::u16string path = letter ? command.link : FullPath(command.link, error);
  Inspection found;
  if (error == 0) error = Inspect(path, letter, found);
  if (error != 0) {
    WriteError((letter ? command.link + u" is not defined." : command.link + u" cannot be shown.") +
               u"\r\n" + OutcomeText(error) + u"\r\n");
    return error;
  }
  WriteOutput(command.json ? InspectionJson(found) : InspectionText(found));
  return 0;
}

win::DWORD Run(const std::vector<std::u16string>& arguments) {
  std::u16string problem;
  const auto command = ParseArguments(arguments, problem);
  if (!command) {
    WriteError(u"corvane: " + problem + u"\r\n" + kUsage);
    return win::ERROR_INVALID_PARAMETER;
  }
  switch (command->verb) {
    case Verb::Help:
      WriteOutput(kUsage);
      return 0;
    case Verb::Create:
    case Verb::Delete:
      return Request(*command);
    case Verb::Add:
      return AddDrive(*command);
    case Verb::Remove:
      return RemoveDrive(*command);
    case Verb::List:
      return List(command->json);
    case Verb::Show:
      return Show(*command);
    case Verb::Restore: {
      // The restore pass reads the list: no change of it runs meanwhile.
      std::u16string path;
      MachineLock listLock;
      if (const win::DWORD error = LockList(path, listLock)) return error;
      const win::DWORD code = Tell(RunService({}));
      HardLinkArray links;
      if (code == 0 && ReadStoredList(path, links) == 0) {
        for (const CHardLink& record : links.records) {
          if (record.action != LinkAction::Delete && record.kind == LinkKind::Drive &&
              DriveState(record) == u"mapped now") {
            TellShell(record.link, true);
          }
        }
      }
      return code;
    }
  }
  return win::ERROR_INVALID_PARAMETER;
}

}  // namespace

win::DWORD RunFrontEnd(const std::vector<std::u16string>& arguments) {
  TakeWriteFailure();
  win::DWORD code = 0;
  try {
    code = Run(arguments);
  } catch (const std::bad_alloc&) {
    code = win::ERROR_NOT_ENOUGH_MEMORY;
  }
  // What was done is reported only if it could be written; a failure keeps its own code.
  const win::DWORD writeFailure = TakeWriteFailure();
  return code != 0 ? code : writeFailure;
}

}  // namespace frontend
