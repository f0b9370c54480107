// The link list file, Corvane.dat beside the service program: the records the restore pass
// executes again at every boot.
#pragma once

#include <string>
#include <vector>

#include "engine/HardLink.h"
#include "engine/LinkArchive.h"
#include "platform/UniqueHandle.h"

// The in-memory form of the list: its records, by value, in file order.
class HardLinkArray {
 public:
  // Loading reads the count, sizes the array to it (every record default) and fills each
  // record; storing writes the size and each record.
  void Serialize(LinkArchive& archive);

  std::vector<CHardLink> records;
};

// The smallest record the file can hold: two 32-bit fields and two one-byte empty strings.
inline constexpr std::uint64_t kSmallestRecordBytes = 10;

// The full path of the list file: the program's own directory and "\Corvane.dat".
std::u16string LinkListPath();

enum class LoadOutcome { notOpened, malformed, loaded };

// An opened and read list. The file stays open, shared for reading only, as long as this lives,
// so no other process can change the list while its records are executed.
struct LoadedLinkList {
  win::UniqueFile file;
  HardLinkArray links;
};

// Opens the list at `path` for reading, sharing reading only: readers never stop each other,
// and nothing can change the list while it is open. False, with the last-error code, when it
// cannot be opened.
bool OpenLinkList(const std::u16string& path, LoadedLinkList& list);
// Reads the opened list whole: `malformed` closes it and keeps nothing.
LoadOutcome ReadLinkList(LoadedLinkList& list);

// Opens the list at `path` and reads it whole. After `malformed` nothing of it is kept and the
// file is closed; after `loaded` the file is still open in `list`.
LoadOutcome LoadLinkList(const std::u16string& path, LoadedLinkList& list);
inline LoadOutcome LoadLinkList(LoadedLinkList& list) {
  return LoadLinkList(LinkListPath(), list);
}
