#include "frontend/StoredList.h"

#include "engine/FileSecurity.h"
#include "engine/Wait.h"
#include "frontend/Console.h"
#include "frontend/Messages.h"
#include "platform/UniqueHandle.h"

namespace frontend {
namespace {

// A program holds the list without sharing it for reading; access denied is no reason to wait.
bool Busy(win::DWORD error) {
  return error == win::ERROR_SHARING_VIOLATION;
}

// A list held open refuses being replaced with access denied, as any file open without
// FILE_SHARE_DELETE does; that is the service's read too.
bool HeldWhenReplaced(win::DWORD error) {
  return Busy(error) || error == win::ERROR_ACCESS_DENIED;
}

std::function<void()> TellListInUse(const std::u16string& path) {
  return [&path] {
    WriteError(u"The link list " + path + u" is in use by another program; waiting for it.\r\n");
  };
}

// A failure the system gave no reason for is still a failure.
win::DWORD WriteFailure() {
  const win::DWORD error = win::GetLastError();
  return error != 0 ? error : win::ERROR_WRITE_FAULT;
}

// Clears what writers that died left beside the list. Called under the list's lock, which every
// writer holds from making its new file until that file is the list, so no file of these names
// belongs to a writer still at work.
void RemoveDeadWritersFiles(const std::u16string& path) {
  for (int n = 1; n <= kNewFileNames; ++n) {
    win::DeleteFileW((path + u"." + DecimalText(n) + u".new").c_str());
  }
}

// Makes a new file of this writer's own beside the list: a name no file has, created only if
// it is still free, so that no other file is ever taken over. A dead writer's file that another
// program (a virus scanner) had open when it was cleared keeps its name until that program
// closes it, where deletes are not POSIX ones (Windows before 10, file systems other than NTFS):
// such a delete-pending name refuses every open with access denied, and is passed over as taken.
win::UniqueFile CreateOwnFile(const std::u16string& path, std::u16string& name) {
  // The list's own security, which the move keeps.
  const SecurityFromText listSecurity(kAdministratorsOnly);
  if (!listSecurity) return {};
  win::SECURITY_ATTRIBUTES security{sizeof security, listSecurity.Get(), win::FALSE};
  for (int n = 1; n <= kNewFileNames; ++n) {
    name = path + u"." + DecimalText(n) + u".new";
    win::UniqueFile file(win::CreateFileW(name.c_str(), win::GENERIC_WRITE, 0, &security,
                                          win::CREATE_NEW, win::FILE_ATTRIBUTE_NORMAL, nullptr));
    const win::DWORD error = win::GetLastError();
    if (file || (error != win::ERROR_FILE_EXISTS && error != win::ERROR_ACCESS_DENIED)) return file;
  }
  return {};
}

// Writes the list into `file` and waits until it is on the disk: the move that follows is
// written through, and without the flush a power cut could leave the list's new name on bytes
// that never reached the disk.
win::DWORD WriteNewList(win::HANDLE file, LinkList& links) {
  try {
    LinkArchive archive(file, LinkArchive::Mode::store);
    links.Serialize(archive);
    archive.Close();
  } catch (const ArchiveError&) {
    return WriteFailure();
  }
  return win::FlushFileBuffers(file) ? 0 : WriteFailure();
}

}  // namespace

win::DWORD ReadStoredList(const std::u16string& path, LinkList& links) {
  links.records.clear();
  links.labels.clear();
  for (Wait wait(kListInUseWait);;) {
    LoadedLinkList loaded;
    // The labels are read too: a list whose labels cannot be read is never written over.
    switch (LoadLinkList(path, loaded, AfterRecords::labels)) {
      case LoadOutcome::loaded:
        links = std::move(loaded.links);
        return 0;
      case LoadOutcome::malformed:
        return win::ERROR_INVALID_DATA;
      case LoadOutcome::notOpened:
        break;
    }
    const win::DWORD error = win::GetLastError();
    if (error == win::ERROR_FILE_NOT_FOUND) return 0;
    if (!Busy(error) || !wait.Again(TellListInUse(path))) return error;
  }
}

win::DWORD ReplaceStoredList(const std::u16string& path, LinkList& links) {
  std::u16string fresh;
  win::DWORD error = 0;
  RemoveDeadWritersFiles(path);
  {
    win::UniqueFile file = CreateOwnFile(path, fresh);
    if (!file) return win::GetLastError();
    error = WriteNewList(file.Get(), links);
  }
  if (error != 0) {
    win::DeleteFileW(fresh.c_str());
    return error;
  }
  for (Wait wait(kListInUseWait);;) {
    if (win::MoveFileExW(fresh.c_str(), path.c_str(),
                         win::MOVEFILE_REPLACE_EXISTING | win::MOVEFILE_WRITE_THROUGH)) {
      return 0;
    }
    error = win::GetLastError();
    if (!HeldWhenReplaced(error) || !wait.Again(TellListInUse(path))) {
      win::DeleteFileW(fresh.c_str());
      return HeldWhenReplaced(error) ? win::ERROR_SHARING_VIOLATION : error;
    }
  }
}

}  // namespace frontend
