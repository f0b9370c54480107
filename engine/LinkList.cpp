#include "engine/LinkList.h"

#include <memory>

// The record's class and its serialization live apart from the link operations, so that a
// program that only reads and writes lists links none of the file-system code.
namespace {

std::unique_ptr<CObject> CreateDefaultHardLink() {
  return std::make_unique<CHardLink>();
}

}  // namespace

const CRuntimeClass CHardLink::classCHardLink = {"CHardLink", 1, &CreateDefaultHardLink};

const CRuntimeClass* CHardLink::GetRuntimeClass() const {
  return &classCHardLink;
}

void CHardLink::Serialize(LinkArchive& archive) {
  if (archive.IsStoring()) {
    archive.WriteInt32(static_cast<std::int32_t>(action));
    archive.WriteInt32(static_cast<std::int32_t>(kind));
    archive.WriteString(link);
    archive.WriteString(target);
    return;
  }
  action = static_cast<LinkAction>(archive.ReadInt32());
  kind = static_cast<LinkKind>(archive.ReadInt32());
  link = archive.ReadString();
  target = archive.ReadString();
}

void HardLinkArray::Serialize(LinkArchive& archive) {
  if (archive.IsStoring()) {
    archive.WriteCount(static_cast<std::uint32_t>(records.size()));
    for (auto& record : records) record.Serialize(archive);
    return;
  }
  const std::uint32_t count = archive.ReadCount();
  // A count the rest of the file cannot hold is a short file; checking it first keeps a hostile
  // count from deciding how much memory is taken.
  if (count * kSmallestRecordBytes > archive.BytesLeft()) {
    throw ArchiveError(ArchiveError::endOfFile);
  }
  records.assign(count, CHardLink());
  for (auto& record : records) record.Serialize(archive);
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
  list.file = OpenForReading(path);
  return static_cast<bool>(list.file);
}

LoadOutcome LoadLinkList(const std::u16string& path, LoadedLinkList& list) {
  return OpenLinkList(path, list) ? ReadLinkList(list) : LoadOutcome::notOpened;
}

LoadOutcome ReadLinkList(LoadedLinkList& list) {
  try {
    LinkArchive archive(list.file.Get(), LinkArchive::Mode::load);
    list.links.Serialize(archive);
    archive.Close();
  } catch (const ArchiveError&) {
    list.links.records.clear();
    list.links.records.shrink_to_fit();
    list.file.Reset();
    return LoadOutcome::malformed;
  }
  return LoadOutcome::loaded;
}
