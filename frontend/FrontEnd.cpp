#include "frontend/FrontEnd.h"

#include <algorithm>
#include <new>

#include "frontend/Arguments.h"
#include "frontend/Console.h"
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
    WriteError(StartFailureText(outcome.startError) + u"\r\n");
    return outcome.startError;
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
  const std::u16string action = command.verb == Verb::Create ? u"Create" : u"Delete";
  const win::DWORD code = Tell(RunService({command.kind, action, target, link}));
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
  } else if (error == win::ERROR_SHARING_VIOLATION || error == win::ERROR_ACCESS_DENIED) {
    text += u" is in use by the service. Nothing was changed; try again in a moment.";
  } else {
    text += writing ? u" could not be changed; it is as it was." : u" cannot be read.";
  }
  WriteError(text + u"\r\n" + OutcomeText(error) + u"\r\n");
  return error;
}

// Reads the list beside the installed service's program into `links`, its path into `path`.
// 0, or the exit code once the user has been told what is wrong.
win::DWORD ReadListBesideService(std::u16string& path, HardLinkArray& links) {
  win::DWORD error = 0;
  const std::u16string folder = ServiceFolder(error);
  if (folder.empty()) {
    WriteError(StartFailureText(error) + u"\r\n");
    return error;
  }
  path = folder + u"\\Corvane.dat";
  if ((error = ReadStoredList(path, links)) != 0) return ListProblem(path, error, false);
  return 0;
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
  std::u16string path;
  HardLinkArray links;
  if ((error = ReadListBesideService(path, links)) != 0) return error;
  const auto stored = std::ranges::find_if(
      links.records, [&](const CHardLink& r) { return IsStoredDrive(r, command.link); });
  if (stored != links.records.end()) {
    WriteError(command.link + u" is already stored, mapped onto " + stored->target +
               u". Remove it first with: corvane remove drive " + command.link + u"\r\n");
    return win::ERROR_ALREADY_EXISTS;
  }
  const ServiceOutcome outcome = RunService({u"Drive", u"Create", target, command.link});
  if (outcome.startError != 0 || outcome.timedOut || outcome.exitCode != 0) return Tell(outcome);

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
  HardLinkArray links;
  win::DWORD error = ReadListBesideService(path, links);
  if (error != 0) return error;
  const auto removed = std::erase_if(
      links.records, [&](const CHardLink& r) { return IsStoredDrive(r, command.link); });
  if (removed > 0 && (error = ReplaceStoredList(path, links)) != 0) {
    return ListProblem(path, error, true);
  }
  const ServiceOutcome outcome = RunService({u"Drive", u"Delete", kNoTarget, command.link});
  if (removed == 0) WriteOutput(command.link + u" was not stored.\r\n");
  if (removed > 0 && outcome.startError == 0 && !outcome.timedOut &&
      outcome.exitCode == win::ERROR_FILE_NOT_FOUND) {
    // Forgotten, and there was no mapping to take off: what was asked for holds.
    WriteOutput(command.link + u" is no longer stored; it was not mapped.\r\n");
    return 0;
  }
  if (removed > 0 && outcome.startError == 0 && !outcome.timedOut && outcome.exitCode == 0) {
    WriteOutput(command.link + u" is no longer stored and no longer mapped.\r\n");
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
  char16_t device[1024];
  if (win::QueryDosDeviceW(record.link.c_str(), device, std::size(device)) == 0) {
    return u"not mapped now";
  }
  const std::u16string_view now(device);
  if (SameText(now, u"\\??\\" + record.target)) return u"mapped now";
  return u"mapped onto " + std::u16string(now) + u" now";
}

win::DWORD List() {
  std::u16string path;
  HardLinkArray links;
  if (const win::DWORD error = ReadListBesideService(path, links)) return error;
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
      return List();
    case Verb::Restore:
      return Tell(RunService({}));
  }
  return win::ERROR_INVALID_PARAMETER;
}

}  // namespace

win::DWORD RunFrontEnd(const std::vector<std::u16string>& arguments) {
  try {
    return Run(arguments);
  } catch (const std::bad_alloc&) {
    return win::ERROR_NOT_ENOUGH_MEMORY;
  }
}

}  // namespace frontend
