#include "frontend/CommandSupport.h"

#include <algorithm>

#include "frontend/Console.h"
#include "frontend/Inspection.h"
#include "frontend/Messages.h"
#include "frontend/StoredList.h"

namespace frontend {
namespace {

// The path of the list beside the installed service's program; 0, or the exit code once the
// user has been told what is wrong.
win::DWORD FindListBesideService(std::u16string& path) {
  win::DWORD error = 0;
  path = ListPathBesideService(error);
  if (path.empty()) WriteError(StartFailureText(error));
  return error;
}

}  // namespace

std::u16string ListPathBesideService(win::DWORD& error) {
  const std::u16string folder = ServiceFolder(error);
  return folder.empty() ? folder : folder + u"\\Corvane.dat";
}

win::DWORD FolderError(const std::u16string& path) {
  const win::DWORD attributes = win::GetFileAttributesW(path.c_str());
  if (attributes == win::INVALID_FILE_ATTRIBUTES) {
    const win::DWORD error = win::GetLastError();
    return error == win::ERROR_FILE_NOT_FOUND ? win::ERROR_PATH_NOT_FOUND : error;
  }
  return (attributes & win::FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0 : win::ERROR_DIRECTORY;
}

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

std::u16string UsablePath(const std::u16string& path, win::DWORD& error) {
  std::u16string full = FullPath(path, error);
  if (error != 0) {
    WriteError({u"corvane: that path cannot be used.", OutcomeText(error)});
  }
  return full;
}

bool TooLongForTheService(const std::u16string& link, const std::u16string& target) {
  if (link.size() <= kLongestArgument && target.size() <= kLongestArgument) return false;
  WriteError(StartFailureText(win::ERROR_FILENAME_EXCED_RANGE));
  return true;
}

bool Finished(const ServiceOutcome& outcome) {
  return outcome.startError == 0 && outcome.waitError == 0 && !outcome.timedOut;
}

win::DWORD Tell(const ServiceOutcome& outcome) {
  if (outcome.startError != 0) {
    WriteError(outcome.lockProblem.empty() ? StartFailureText(outcome.startError)
                                           : outcome.lockProblem);
    return outcome.startError;
  }
  if (outcome.waitError != 0) {
    WriteError(
        {u"CorvaneService was started, but corvane could not wait for it to finish. See "
         u"how it is doing with: sc query CorvaneService",
         OutcomeText(outcome.waitError)});
    return outcome.waitError;
  }
  if (outcome.timedOut) {
    WriteError(
        u"CorvaneService did not finish within 60 seconds; it may still be working. See how it "
        u"is doing with: sc query CorvaneService\r\n");
    return win::ERROR_SERVICE_REQUEST_TIMEOUT;
  }
  if (outcome.exitCode == 0) {
    WriteOutput(OutcomeText(outcome.exitCode));
  } else {
    WriteError(OutcomeText(outcome.exitCode));
  }
  return outcome.exitCode;
}

LinkState LinkStateOf(LinkKind kind, std::u16string link) {
  return [kind, link = std::move(link)] {
    Inspection found;
    const win::DWORD error = Inspect(link, kind == LinkKind::Drive, found);
    return error != 0 ? u"error " + DecimalText(error) : InspectionJson(found);
  };
}

win::DWORD ListProblem(const std::u16string& path, win::DWORD error, bool writing) {
  std::u16string text = u"The link list " + path;
  if (error == win::ERROR_INVALID_DATA) {
    text += u" is damaged, so it is left as it is. Move it aside and add the mappings again.";
  } else if (error == win::ERROR_SHARING_VIOLATION) {
    text += u" is in use by another program. Nothing was changed; try again in a moment.";
  } else if (error == win::ERROR_ACCESS_DENIED) {
    text += writing ? u" can only be changed by administrators, so it is as it was."
                    : u" can only be read by administrators.";
    text += u" Run corvane from an elevated command prompt (Run as administrator).";
  } else {
    text += writing ? u" could not be changed; it is as it was." : u" cannot be read.";
  }
  WriteError({text, OutcomeText(error)});
  return error;
}

win::DWORD ReadListBesideService(std::u16string& path, LinkList& links) {
  if (path.empty()) {
    if (const win::DWORD error = FindListBesideService(path)) return error;
  }
  if (const win::DWORD error = ReadStoredList(path, links)) return ListProblem(path, error, false);
  return 0;
}

win::DWORD LockList(std::u16string& path, MachineLock& lock) {
  if (const win::DWORD error = FindListBesideService(path)) return error;
  const win::DWORD error =
      lock.Acquire(path.substr(0, path.find_last_of(u'\\')), kListLockName, [&] {
        WriteError(u"The link list " + path +
                   u" is being changed by another corvane; waiting for it to finish.\r\n");
      });
  if (error == win::ERROR_TIMEOUT) {
    WriteError({u"The link list " + path +
                    u" stayed busy with another corvane for 30 seconds, so nothing was changed. "
                    u"Try again when it has finished.",
                OutcomeText(error)});
  } else if (error != 0) {
    // Whoever may not start the service cannot make or open the lock either (a standard user
    // gets 5 or, where the folder lets one write, 1307 for the owner it would give): what is
    // missing then is elevation, whatever the lock said.
    if (!MayStartService()) {
      WriteError(StartFailureText(win::ERROR_ACCESS_DENIED));
      return win::ERROR_ACCESS_DENIED;
    }
    WriteError(LockFailureText(lock, error));
  }
  return error;
}

win::DWORD LockAndReadList(std::u16string& path, MachineLock& lock, LinkList& links) {
  if (const win::DWORD error = LockList(path, lock)) return error;
  return ReadListBesideService(path, links);
}

}  // namespace frontend
