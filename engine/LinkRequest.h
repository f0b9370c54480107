// One link request, or one stored record of the link list: which kind of link to create or
// remove, where, and pointing to what.
#pragma once

#include <cstdint>
#include <string>

#include "platform/WinApi.h"

// The numbers are also those stored in the link list file; values outside the named ones can be
// read from a file and must survive, so these are plain 32-bit values with names.
enum class LinkKind : std::int32_t { Drive = 0, Folder = 1, File = 2 };
enum class LinkAction : std::int32_t { Delete = 0, Create = 1 };

// A Delete's target when it names none: under Wine an empty start argument ends the argument
// list, so a request without one sends this in its place.
inline constexpr char16_t kNoTarget[] = u"-";

// A plain record: the service reads one from its start arguments, the list stores them in order.
struct LinkRequest {
  // True when the request succeeded; after false the thread's last-error code says why.
  // Every non-zero action creates. A drive's Delete that names its target takes off that
  // definition of the letter only, wherever it stands among the letter's stacked ones, and fails
  // with ERROR_FILE_NOT_FOUND when the letter has none onto it.
  bool Execute() const;
  win::BOOL CreateLink() const;
  win::BOOL DeleteLink() const;

  bool operator==(const LinkRequest&) const = default;

  LinkAction action = LinkAction::Delete;
  LinkKind kind = LinkKind::Drive;
  std::u16string link;
  std::u16string target;
};

// Who but SYSTEM, Administrators and TrustedInstaller may change the folder at `link`, or remove
// or replace it in its own folder (the service makes no junction of such a folder); empty when
// nobody may or there is no such folder.
std::u16string WhoElseMayChangeFolderAt(const std::u16string& link);

// Whether the file system has an entry (file or directory) under `path`.
bool PathExists(const std::u16string& path);
