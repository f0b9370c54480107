#include "engine/LinkList.h"

#include <string>

#include "engine/AsciiText.h"

namespace {

// The records' encoding lives apart from the link operations, so that a program that only reads
// and writes lists links none of the file-system code.
// A record is its four fields in order: the action and the kind as 32-bit integers, then the link
// and the target. Loading replaces all four.
void StoreRecord(LinkArchive& archive, const LinkRequest& record) {
  archive.WriteInt32(static_cast<std::int32_t>(record.action));
  archive.WriteInt32(static_cast<std::int32_t>(record.kind));
  archive.WriteString(record.link);
  archive.WriteString(record.target);
}

void LoadRecord(LinkArchive& archive, LinkRequest& record) {
  record.action = static_cast<LinkAction>(archive.ReadInt32());
  record.kind = static_cast<LinkKind>(archive.ReadInt32());
  record.link = archive.ReadString();
  record.target = archive.ReadString();
}

// Two one-byte empty strings.
constexpr std::uint64_t kSmallestLabelBytes = 2;

void StoreLabels(LinkArchive& archive, const std::vector<DriveLabel>& labels) {
  if (labels.empty()) return;
  archive.WriteBytes(kLabelsMarker.data(), kLabelsMarker.size());
  archive.WriteCount(static_cast<std::uint32_t>(labels.size()));
  for (const auto& entry : labels) {
    archive.WriteString(entry.letter);
    archive.WriteString(entry.label);
  }
}

void LoadLabels(LinkArchive& archive, std::vector<DriveLabel>& labels) {
  // Anything else after the records is what older readers skipped, and is skipped still.
  if (archive.BytesLeft() < kLabelsMarker.size()) return;
  std::string marker(kLabelsMarker.size(), '\0');
  archive.ReadBytes(marker.data(), marker.size());
  if (marker != kLabelsMarker) return;
  const std::uint32_t count = archive.ReadCount();
  if (count * kSmallestLabelBytes > archive.BytesLeft()) {
    throw ArchiveError(ArchiveError::endOfFile);
  }
  labels.resize(count);
  for (auto& entry : labels) {
    entry.letter = archive.ReadString();
    entry.label = archive.ReadString();
    // Only this program writes the trailer, and only for letters; anything else is damage.
    if (!IsDriveLetterName(entry.letter)) throw ArchiveError(ArchiveError::generic);
  }
}

}  // namespace

void LinkList::Serialize(LinkArchive& archive, AfterRecords after) {
  if (archive.IsStoring()) {
    archive.WriteCount(static_cast<std::uint32_t>(records.size()));
    for (const auto& record : records) StoreRecord(archive, record);
    StoreLabels(archive, labels);
    return;
  }
  labels.clear();
  const std::uint32_t count = archive.ReadCount();
  // A count the rest of the file cannot hold is a short file; checking it first keeps a hostile
  // count from deciding how much memory is taken.
  if (count * kSmallestRecordBytes > archive.BytesLeft()) {
    throw ArchiveError(ArchiveError::endOfFile);
  }
  records.assign(count, LinkRequest());
  for (auto& record : records) LoadRecord(archive, record);
  if (after == AfterRecords::labels) LoadLabels(archive, labels);
}

const std::u16string* LinkList::LabelOf(std::u16string_view letter) const {
  for (const auto& entry : labels) {
    if (SameDriveLetter(entry.letter, letter)) return &entry.label;
  }
  return nullptr;
}

void LinkList::SetLabel(std::u16string_view letter, std::u16string label) {
  for (auto& entry : labels) {
    if (SameDriveLetter(entry.letter, letter)) {
      entry.label = std::move(label);
      return;
    }
  }
  labels.push_back({std::u16string(letter), std::move(label)});
}

void LinkList::RemoveLabel(std::u16string_view letter) {
  std::erase_if(labels,
                [letter](const DriveLabel& entry) { return SameDriveLetter(entry.letter, letter); });
}

std::u16string LinkListPath() {
  char16_t program[win::MAX_PATH];
  const win::DWORD length = win::GetModuleFileNameW(nullptr, program, win::MAX_PATH);
  // A cut-off program path would name some other directory; no path is better than that one.
  if (length == 0 || length >= win::MAX_PATH) return {};
  const std::u16string_view path(program, length);
  const auto cut = path.find_last_of(u'\\');
  std::u16string directory(cut == std::u16string_view::npos ? std::u16string_view()
                                                            : path.substr(0, cut));
  return directory + u"\\Corvane.dat";
}

namespace {

win::UniqueFile OpenForReading(const std::u16string& path) {
  // Each failure leaves its own code: a caller tells a list in use from one that is not there.
  if (path.empty() || path.size() >= win::MAX_PATH) {
    win::SetLastError(path.empty() ? win::ERROR_PATH_NOT_FOUND : win::ERROR_FILENAME_EXCED_RANGE);
    return {};
  }
  char16_t full[win::MAX_PATH];
  const win::DWORD length = win::GetFullPathNameW(path.c_str(), win::MAX_PATH, full, nullptr);
  if (length >= win::MAX_PATH) win::SetLastError(win::ERROR_FILENAME_EXCED_RANGE);
  if (length == 0 || length >= win::MAX_PATH) return {};
  win::SECURITY_ATTRIBUTES inheritable{sizeof(win::SECURITY_ATTRIBUTES), nullptr, win::TRUE};
  return win::UniqueFile(win::CreateFileW(full, win::GENERIC_READ, win::FILE_SHARE_READ,
                                          &inheritable, win::OPEN_EXISTING,
                                          win::FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

bool OpenLinkList(const std::u16string& path, LoadedLinkList& list) {
  list.links.records.clear();
  list.links.labels.clear();
  list.file = OpenForReading(path);
  return static_cast<bool>(list.file);
}

LoadOutcome LoadLinkList(const std::u16string& path, LoadedLinkList& list, AfterRecords after) {
  return OpenLinkList(path, list) ? ReadLinkList(list, after) : LoadOutcome::notOpened;
}

LoadOutcome ReadLinkList(LoadedLinkList& list, AfterRecords after) {
  try {
    LinkArchive archive(list.file.Get(), LinkArchive::Mode::load);
    list.links.Serialize(archive, after);
    archive.Close();
  } catch (const ArchiveError&) {
    list.links.records.clear();
    list.links.records.shrink_to_fit();
    list.links.labels.clear();
    list.links.labels.shrink_to_fit();
    list.file.Reset();
    return LoadOutcome::malformed;
  }
  return LoadOutcome::loaded;
}
