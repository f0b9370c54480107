#include "service/RestorePass.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "engine/DriveDefinition.h"
#include "engine/DrivePolicy.h"
#include "engine/FileSecurity.h"
#include "engine/LinkList.h"
#include "engine/MachineLock.h"
#include "engine/SystemMessage.h"
#include "engine/Wait.h"

namespace {

// An event's reason when the system has no text for the code.
constexpr char16_t kNoText[] = u"The system has no text for it.";

}  // namespace

RestorePass::RestorePass(const EventLog& log, std::u16string_view serviceName)
    : log_(log), serviceName_(serviceName) {}

// A list that another user owns, or may change, is not used: the pass maps drive letters for the
// whole machine as LocalSystem.
win::DWORD RestorePass::OpenListForRestore(const std::u16string& path, LoadedLinkList& list,
                                           std::uint64_t started) const {
  Wait wait(kListInUseWait, started);
  while (!OpenLinkList(path, list)) {
    // Only a list in use is waited for. One that is not there is no list; one that is there and
    // cannot be opened is a failure of its own, never read as no list.
    const win::DWORD error = win::GetLastError();
    if (error == win::ERROR_FILE_NOT_FOUND || error == win::ERROR_PATH_NOT_FOUND) {
      return win::ERROR_FILE_NOT_FOUND;
    }
    if (error != win::ERROR_SHARING_VIOLATION) {
      const win::DWORD code = error != 0 ? error : win::ERROR_GEN_FAILURE;
      LogEventOfType(win::EVENTLOG_ERROR_TYPE,
                     u"The link list %s could not be opened, so no stored drive was mapped: %s "
                     u"(code %u)",
                     std::u16string_view(path), std::u16string_view(SystemMessage(code, kNoText)),
                     code);
      return code;
    }
    const bool again = wait.Again([&] {
      LogEventOfType(win::EVENTLOG_WARNING_TYPE,
                     u"The link list %s is in use by another program; the drive mappings wait "
                     u"for it.",
                     std::u16string_view(path));
    });
    if (!again) {
      LogEventOfType(win::EVENTLOG_ERROR_TYPE,
                     u"The link list %s stayed in use by another program for 30 seconds, so no "
                     u"drive was mapped.",
                     std::u16string_view(path));
      return win::ERROR_SHARING_VIOLATION;
    }
  }
  const std::u16string reason = WhyOthersMayChange(list.file.Get());
  if (reason.empty()) return 0;
  list.file.Reset();
  LogEventOfType(win::EVENTLOG_ERROR_TYPE,
                 u"The link list %s was not used, so no drive was mapped: %s.",
                 std::u16string_view(path), std::u16string_view(reason));
  return win::ERROR_ACCESS_DENIED;
}

// No list answers 2, one that is there and cannot be opened the code of why not (it used to
// answer 2 too, so that with policy letters a list the pass could not read passed for none), one
// another program kept in use 32, one that must not be trusted 5; a malformed one executes nothing and answers 13, with an error event (it used to
// answer 0, a lost list reported as every mapping in force). Otherwise the exit code says whether every
// stored mapping is in force afterwards: 0, or the first failure's code (183 for a letter taken).
// It used to be 0 however many records failed, with nothing logged per record; but this pass is
// the only thing that tells an administrator or a deployment tool (corvane restore, the boot
// start's exit code) that a drive they rely on is not there. A failure never stops the pass.
// Machine policy's letters are carried out first, whatever the list is, and count the same; with
// policy letters and no list, the code is theirs.
win::DWORD RestorePass::RestoreDriveMappings() const {
  // The list's lock, which every corvane holds while it changes the list and decides from the
  // letters: an apply never finds a letter free that this pass is about to map. Its wait counts
  // against the pass's 30 seconds; a lock still held then (a corvane that hangs) or one that
  // cannot be opened is gone without, with a warning, as the mappings matter more.
  const std::uint64_t started = win::GetTickCount64();
  const std::u16string path = LinkListPath();
  MachineLock listLock;
  const win::DWORD lockError =
      listLock.Acquire(path.substr(0, path.find_last_of(u'\\')), kListLockName, {},
                       {kLockWait.firstPause, kLockWait.longestPause, kListInUseWait.budget});
  // (No folder is no list: the pass says that below.)
  if (lockError != 0 && lockError != win::ERROR_PATH_NOT_FOUND) {
    LogEventOfType(win::EVENTLOG_WARNING_TYPE,
                   u"The lock of the link list %s could not be taken (code %u); the drive "
                   u"mappings go on without it.",
                   std::u16string_view(path), lockError);
  }
  // Policy first: it wins over the list for a letter both name. No list is no stored letter.
  LoadedLinkList list;
  win::DWORD listError = OpenListForRestore(path, list, started);
  if (listError == 0 && ReadLinkList(list) == LoadOutcome::malformed) {
    LogEventOfType(win::EVENTLOG_ERROR_TYPE,
                   u"The link list %s cannot be read: it is damaged or not a link list, so no "
                   u"drive was mapped.",
                   std::u16string_view(LinkListPath()));
    listError = win::ERROR_INVALID_DATA;
  }
  std::vector<std::u16string> policyLetters;
  win::DWORD firstFailure = ApplyDrivePolicy(listError == 0 ? &list.links : nullptr,
                                             policyLetters);
  // A machine whose letters all come from policy has no list, and that is no failure.
  if (listError != 0 && !(listError == win::ERROR_FILE_NOT_FOUND && !policyLetters.empty())) {
    return listError;
  }
  // Only one letter and a colon: a stored record naming another device (COM1, NUL, AA:,
  // PhysicalDrive0) would redefine it for the whole machine at every boot.
  for (const LinkRequest& record : list.links.records) {
    if (record.action != LinkAction::Delete && record.kind == LinkKind::Drive &&
        IsDriveLetterName(record.link) &&
        std::ranges::none_of(policyLetters, [&](const std::u16string& letter) {
          return SameDriveLetter(letter, record.link);
        })) {
      const win::DWORD outcome = RestoreDriveMapping(record);
      if (firstFailure == 0) firstFailure = outcome;
    }
  }
  return firstFailure;
}

// The letter is mapped only when it has no definition: the service defines in the global set,
// where a second definition would stack on the first and hide it. Mapped onto the stored folder
// already (a second restore, a record stored twice) is done; anything else there now (a disk
// plugged in since, another mapping) is someone else's and is left alone.
win::DWORD RestorePass::RestoreDriveMapping(const LinkRequest& record) const {
  const std::u16string_view letter = record.link;
  const std::u16string_view folder = record.target;
  std::vector<std::u16string> definitions;
  win::DWORD error = GlobalDefinitions(letter, definitions);
  if (error != 0) {
    LogEventOfType(
        win::EVENTLOG_ERROR_TYPE,
        u"The drive letter %s was not mapped onto %s, because what it is now could not be "
        u"read: %s (code %u)",
        letter, folder, std::u16string_view(SystemMessage(error, kNoText)), error);
    return error;
  }
  if (!definitions.empty()) {
    if (MapsOnto(definitions.front(), folder)) return 0;
    LogEventOfType(
        win::EVENTLOG_WARNING_TYPE,
        u"The drive letter %s was not mapped onto %s, because it stands for %s now; it was left as "
        u"it is.",
        letter, folder, std::u16string_view(definitions.front()));
    return win::ERROR_ALREADY_EXISTS;
  }
  if (record.Execute()) return 0;
  error = win::GetLastError();
  if (error == 0) error = win::ERROR_GEN_FAILURE;  // a failure is never read as success
  LogEventOfType(win::EVENTLOG_ERROR_TYPE,
                 u"The drive letter %s could not be mapped onto %s: %s (code %u)", letter, folder,
                 std::u16string_view(SystemMessage(error, kNoText)), error);
  return error;
}
