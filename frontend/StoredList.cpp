#include "frontend/StoredList.h"

#include "platform/UniqueHandle.h"

namespace frontend {
namespace {

bool Busy(win::DWORD error) {
  return error == win::ERROR_SHARING_VIOLATION || error == win::ERROR_ACCESS_DENIED;
}

win::DWORD WriteNewList(const std::u16string& path, HardLinkArray& links) {
  win::UniqueFile file(win::CreateFileW(path.c_str(), win::GENERIC_WRITE, 0, nullptr,
                                        win::CREATE_ALWAYS, win::FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return win::GetLastError();
  try {
    LinkArchive archive(file.Get(), LinkArchive::Mode::store);
    links.Serialize(archive);
    archive.Close();
  } catch (const ArchiveError&) {
    const win::DWORD error = win::GetLastError();
    return error != 0 ? error : win::ERROR_WRITE_FAULT;
  }
  return 0;
}

}  // namespace

win::DWORD ReadStoredList(const std::u16string& path, HardLinkArray& links) {
  links.records.clear();
  for (win::DWORD attempt = 0;; ++attempt) {
    LoadedLinkList loaded;
    switch (LoadLinkList(path, loaded)) {
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
    if (!Busy(error) || attempt == kBusyRetries) return error;
    win::Sleep(kBusyRetryMilliseconds);
  }
}

win::DWORD ReplaceStoredList(const std::u16string& path, HardLinkArray& links) {
  const std::u16string fresh = path + u".new";
  if (const win::DWORD error = WriteNewList(fresh, links)) {
    win::DeleteFileW(fresh.c_str());
    return error;
  }
  for (win::DWORD attempt = 0;; ++attempt) {
    if (win::MoveFileExW(fresh.c_str(), path.c_str(),
                         win::MOVEFILE_REPLACE_EXISTING | win::MOVEFILE_WRITE_THROUGH)) {
      return 0;
    }
    const win::DWORD error = win::GetLastError();
    if (!Busy(error) || attempt == kBusyRetries) {
      win::DeleteFileW(fresh.c_str());
      return error;
    }
    win::Sleep(kBusyRetryMilliseconds);
  }
}

}  // namespace frontend
