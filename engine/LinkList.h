// The link list file, Corvane.dat beside the service program: the records the restore pass
// executes again at every boot.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/LinkRequest.h"
#include "engine/LinkArchive.h"
#include "platform/UniqueHandle.h"

// The name Explorer shows for a stored drive letter ("X:").
struct DriveLabel {
  std::u16string letter;
  std::u16string label;
  bool operator==(const DriveLabel&) const = default;
};

// What a load makes of the bytes after the last record. Readers before labels never read them,
// so they may hold anything; the boot pass still skips them, as it needs no labels.
enum class AfterRecords { skipped, labels };

// The in-memory form of the list: its records, by value, in file order, and the drives' labels.
class LinkList {
 public:
  // Loading reads the count, sizes the array to it (every record default) and fills each
  // record; storing writes the size and each record. Storing then writes the label trailer
  // when there is a label (a list without one is byte for byte what it was before labels).
  // Loading reads the trailer only when asked to, and only when the bytes after the last record
  // begin with its marker; a trailer that does is damaged unless it reads whole.
  void Serialize(LinkArchive& archive, AfterRecords after = AfterRecords::skipped);

  // The label stored for a drive letter ("X:", either case), or null.
  const std::u16string* LabelOf(std::u16string_view letter) const;
  void SetLabel(std::u16string_view letter, std::u16string label);
  void RemoveLabel(std::u16string_view letter);

  std::vector<LinkRequest> records;
  std::vector<DriveLabel> labels;
};

// The smallest record the file can hold: two 32-bit fields and two one-byte empty strings.
inline constexpr std::uint64_t kSmallestRecordBytes = 10;

// The label trailer after the last record: this marker, a count, then each label as two strings
// (the letter "X:" and the label) in the records' string encoding.
inline constexpr std::string_view kLabelsMarker = "DriveLabels";

// The full path of the list file: the program's own directory and "\Corvane.dat".
std::u16string LinkListPath();

enum class LoadOutcome { notOpened, malformed, loaded };

// An opened and read list. The file stays open, shared for reading only, as long as this lives,
// so no other process can change the list while its records are executed.
struct LoadedLinkList {
  win::UniqueFile file;
  LinkList links;
};

// Opens the list at `path` for reading, sharing reading only: readers never stop each other,
// and nothing can change the list while it is open. False, with the last-error code, when it
// cannot be opened.
bool OpenLinkList(const std::u16string& path, LoadedLinkList& list);
// Reads the opened list whole: `malformed` closes it and keeps nothing.
LoadOutcome ReadLinkList(LoadedLinkList& list, AfterRecords after = AfterRecords::skipped);

// Opens the list at `path` and reads it whole. After `malformed` nothing of it is kept and the
// file is closed; after `loaded` the file is still open in `list`.
LoadOutcome LoadLinkList(const std::u16string& path, LoadedLinkList& list,
                         AfterRecords after = AfterRecords::skipped);
inline LoadOutcome LoadLinkList(LoadedLinkList& list) {
  return LoadLinkList(LinkListPath(), list);
}
