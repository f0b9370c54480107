#include "engine/WayToLink.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "engine/AsciiText.h"
#include "engine/DriveDefinition.h"
#include "engine/FileSecurity.h"
#include "platform/ReparseRecord.h"

namespace {

// Enough to list the folder and read its attributes and owner. Sharing read and write keeps
// every ordinary user of the folder working; not sharing delete keeps it from being renamed or
// deleted (either needs an open with DELETE) until the request ends.
constexpr win::DWORD kHoldAccess =
    win::FILE_READ_DATA | win::FILE_READ_ATTRIBUTES | win::READ_CONTROL | win::SYNCHRONIZE;
constexpr win::DWORD kHoldShare = win::FILE_SHARE_READ | win::FILE_SHARE_WRITE;
constexpr win::DWORD kNameSurrogate = 0x20000000;  // a tag that names another place
constexpr std::uint32_t kSymbolicLinkRelative = 1;  // SYMLINK_FLAG_RELATIVE

bool StartsWithUnc(const std::u16string& path, std::size_t at) {
  if (path.size() < at + 4 || path[at + 3] != u'\\') return false;
  return SameAsciiText(std::u16string_view(path).substr(at, 3), u"UNC");
}

// The length of the root of a full path, its backslash included: D:\, \\server\share\, and
// their \\?\ forms. 0 when there is none.
std::size_t RootLength(const std::u16string& full) {
  std::size_t at = 0;
  bool unc = false;
  if (full.starts_with(u"\\\\?\\") || full.starts_with(u"\\\\.\\")) {
    at = 4;
    if (StartsWithUnc(full, at)) {
      at += 4;
      unc = true;
    }
  } else if (full.starts_with(u"\\\\")) {
    at = 2;
    unc = true;
  }
  if (!unc) {
    if (full.size() >= at + 3 && full[at + 1] == u':' && full[at + 2] == u'\\') return at + 3;
    // \\?\Volume{...}\, where a mount point of a whole volume leads.
    const std::size_t end = full.find(u'\\', at);
    return at == 4 && end != std::u16string::npos && full.compare(at, 7, u"Volume{") == 0 ? end + 1
                                                                                       : 0;
  }
  const std::size_t server = full.find(u'\\', at);
  if (server == std::u16string::npos) return 0;
  const std::size_t share = full.find(u'\\', server + 1);
  return share == std::u16string::npos ? 0 : share + 1;
}

// The full path of `link`, the NT form given as its \\?\ spelling; empty when it has none.
std::u16string FullPath(const std::u16string& link) {
  if (link.starts_with(u"\\??\\")) return u"\\\\?\\" + link.substr(4);
  const win::DWORD needed = win::GetFullPathNameW(link.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return {};
  std::u16string full(needed, u'\0');
  const win::DWORD length = win::GetFullPathNameW(link.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return {};
  full.resize(length);
  return full;
}

// The reparse record of the open `folder`; empty when it cannot be read.
std::vector<std::uint8_t> RecordOf(win::HANDLE folder) {
  std::vector<std::uint8_t> record(win::MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  win::DWORD returned = 0;
  if (!win::DeviceIoControl(folder, win::FSCTL_GET_REPARSE_POINT, nullptr, 0, record.data(),
                            static_cast<win::DWORD>(record.size()), &returned, nullptr)) {
    return {};
  }
  record.resize(std::min<std::size_t>(returned, record.size()));
  return record;
}

// A link that cannot be read is taken for one that leads elsewhere.
bool IsNameSurrogate(const std::vector<std::uint8_t>& record) {
  return record.size() < reparse::kHeaderSize ||
         (reparse::Get32(record.data(), reparse::kTagAt) & kNameSurrogate) != 0;
}

bool IsLink(win::HANDLE folder, const win::BY_HANDLE_FILE_INFORMATION& info) {
  return (info.dwFileAttributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         IsNameSurrogate(RecordOf(folder));
}

std::u16string Joined(const std::u16string& folder, const std::u16string& name) {
  return folder.ends_with(u'\\') ? folder + name : folder + u'\\' + name;
}

// Where a junction's or a symbolic link's record leads, as a full path in its \\?\ form; a
// relative symbolic link counts from `folder`, the one that holds it. Empty for a record that
// names no place on this machine's paths (another kind of link, a damaged record).
std::u16string TargetOf(const std::vector<std::uint8_t>& record, const std::u16string& folder) {
  const reparse::LinkNames names = reparse::ReadLinkNames(record.data(), record.size());
  if (!names.intact || names.substituteName.empty()) return {};
  const std::u16string& name = names.substituteName;
  if (names.tag == win::IO_REPARSE_TAG_SYMLINK &&
      (reparse::Get32(record.data(), reparse::kSymbolicLinkFlagsAt) & kSymbolicLinkRelative) != 0) {
    return name.starts_with(u'\\') ? std::u16string() : Joined(folder, name);
  }
  return name.starts_with(u"\\??\\") ? u"\\\\?\\" + name.substr(4) : std::u16string();
}

// The names after a full path's root, in order: "." dropped and ".." taking back the name before
// it, as the system reads a link's target.
std::vector<std::u16string> NamesOf(std::u16string_view path) {
  std::vector<std::u16string> names;
  while (!path.empty()) {
    const std::size_t end = std::min(path.find(u'\\'), path.size());
    const std::u16string_view name = path.substr(0, end);
    if (name == u"..") {
      if (!names.empty()) names.pop_back();
    } else if (!name.empty() && name != u".") {
      names.emplace_back(name);
    }
    path.remove_prefix(std::min(end + 1, path.size()));
  }
  return names;
}

// The letter of a root X:\ (or \\?\X:\); 0 for any other root.
char16_t RootLetter(const std::u16string& root) {
  const std::size_t at = root.starts_with(u"\\\\?\\") || root.starts_with(u"\\\\.\\") ? 4 : 0;
  if (root.size() != at + 3 || root[at + 1] != u':') return 0;
  const char16_t c = root[at];
  return IsAsciiLetter(c) ? c : 0;
}

// The folder a drive letter maps in the global set (\??\C:\data, \??\UNC\server\share), in its
// \\?\ form; empty for a volume's letter or one not defined. 0, or the system's code.
win::DWORD MappedFolder(char16_t letter, std::u16string& folder) {
  folder.clear();
  std::vector<std::u16string> definitions;
  if (const win::DWORD error = GlobalDefinitions(std::u16string{letter, u':'}, definitions)) {
    return error;
  }
  if (definitions.empty() || !definitions.front().starts_with(u"\\??\\")) return 0;
  const std::u16string rest = definitions.front().substr(4);
  if (RootLetter(rest.substr(0, 3)) != 0 || StartsWithUnc(rest, 0)) folder = u"\\\\?\\" + rest;
  return 0;
}

// `name` opened or made below the directory `folder`, a link at it not followed; the last-error
// code says why not.
win::UniqueFile OpenBelow(win::HANDLE folder, std::u16string name, win::DWORD access,
                          win::DWORD share, win::ULONG disposition, win::ULONG options,
                          void* descriptor = nullptr) {
  win::UNICODE_STRING text{static_cast<win::WORD>(name.size() * sizeof(char16_t)),
                           static_cast<win::WORD>(name.size() * sizeof(char16_t)), name.data()};
  win::OBJECT_ATTRIBUTES attributes{sizeof attributes,         folder,     &text,
                                    win::OBJ_CASE_INSENSITIVE, descriptor, nullptr};
  win::IO_STATUS_BLOCK io{};
  win::HANDLE opened = nullptr;
  const win::NTSTATUS status = win::NtCreateFile(
      &opened, access | win::SYNCHRONIZE, &attributes, &io, nullptr, 0, share, disposition,
      options | win::FILE_OPEN_REPARSE_POINT | win::FILE_OPEN_FOR_BACKUP_INTENT |
          win::FILE_SYNCHRONOUS_IO_NONALERT,
      nullptr, 0);
  if (status != win::STATUS_SUCCESS) {
    win::SetLastError(win::RtlNtStatusToDosError(status));
    return {};
  }
  return win::UniqueFile(opened);
}

}  // namespace

bool WayToLink::Hold(const std::u16string& link) {
  const std::u16string full = FullPath(link);
  const std::size_t root = RootLength(full);
  if (root == 0) return true;  // nothing to hold: the request fails on its own
  std::vector<std::u16string> names = NamesOf(std::u16string_view(full).substr(root));
  if (!names.empty()) {
    linkName_ = std::move(names.back());
    names.pop_back();
  }
  names_.assign(names.rbegin(), names.rend());
  root_ = full.substr(0, root);
  return Walk(win::FILE_OPEN);
}

bool WayToLink::CreateMissing() { return Walk(win::FILE_OPEN_IF); }

bool WayToLink::Walk(win::ULONG disposition) {
  while (!ended_ && (!root_.empty() || !names_.empty())) {
    bool moved = false;
    if (!HoldNext(disposition, moved)) return false;
    if (!moved) break;  // missing from here on
  }
  return true;
}

bool WayToLink::ReachedParent() const {
  if (!root_.empty() || !names_.empty() || ended_ || below_ == nullptr || linkName_.empty()) {
    win::SetLastError(win::ERROR_PATH_NOT_FOUND);
    return false;
  }
  return true;
}

win::UniqueFile WayToLink::OpenLink(win::DWORD access, win::DWORD share, win::ULONG disposition,
                                    win::ULONG options) const {
  return OpenBeside(linkName_, access, share, disposition, options);
}

win::UniqueFile WayToLink::OpenBeside(const std::u16string& name, win::DWORD access,
                                      win::DWORD share, win::ULONG disposition,
                                      win::ULONG options) const {
  if (!ReachedParent()) return {};
  return OpenBelow(below_, name, access, share, disposition, options);
}

win::UniqueFile WayToLink::CreateLinkFolder(win::DWORD access, void* descriptor) const {
  if (!ReachedParent()) return {};
  return OpenBelow(below_, linkName_, access, 0, win::FILE_CREATE, win::FILE_DIRECTORY_FILE,
                   descriptor);
}

std::u16string WayToLink::WhoElseMayChange(win::HANDLE name) const {
  return WhoElseMayChangeEntry(name, below_);
}

std::u16string WayToLink::ParentPath() const {
  return ReachedParent() ? walked_ : std::u16string();
}

bool WayToLink::LinkFile(win::HANDLE file, bool supersede) const {
  if (!ReachedParent()) return false;
  const std::size_t nameBytes = linkName_.size() * sizeof(char16_t);
  std::vector<std::uint8_t> buffer(sizeof(win::FILE_LINK_INFORMATION) + nameBytes);
  auto* info = reinterpret_cast<win::FILE_LINK_INFORMATION*>(buffer.data());
  info->ReplaceIfExists = supersede ? 1 : 0;
  info->RootDirectory = below_;
  info->FileNameLength = static_cast<win::ULONG>(nameBytes);
  std::memcpy(info->FileName, linkName_.data(), nameBytes);
  win::IO_STATUS_BLOCK io{};
  const win::NTSTATUS status = win::NtSetInformationFile(
      file, &io, info, static_cast<win::ULONG>(buffer.size()), win::FileLinkInformation);
  if (status == win::STATUS_SUCCESS) return true;
  win::SetLastError(win::RtlNtStatusToDosError(status));
  return false;
}

bool WayToLink::Intact() {
  for (const Held& folder : held_) {
    if (!folder.plain) continue;
    win::BY_HANDLE_FILE_INFORMATION info{};
    if (!win::GetFileInformationByHandle(folder.handle.Get(), &info)) return false;
    if (IsLink(folder.handle.Get(), info)) {
      refused_ = folder.path;
      why_.clear();
      win::SetLastError(kUntrustedLinkOnTheWay);
      return false;
    }
  }
  return true;
}

bool WayToLink::Refuse(const std::u16string& path, std::u16string why, win::DWORD code) {
  refused_ = path;
  why_ = std::move(why);
  win::SetLastError(code);
  return false;
}

// Walks on from the full path `to` (a link's target, a drive letter's folder): its root and its
// names come next, then the names still to be walked below the link. They must exist: a link is
// never followed into folders made for it.
bool WayToLink::Restart(const std::u16string& from, const std::u16string& to) {
  if (++followed_ > kMostLinksFollowed) return Refuse(from, {}, win::ERROR_CANT_RESOLVE_FILENAME);
  const std::size_t root = RootLength(to);
  if (root == 0) return Refuse(from, {}, win::ERROR_CANT_RESOLVE_FILENAME);
  const std::vector<std::u16string> names = NamesOf(std::u16string_view(to).substr(root));
  // Below a link inside another's target, the outer target's names must exist as well.
  if (!inTarget_ || names_.size() < rest_) rest_ = names_.size();
  inTarget_ = true;
  names_.insert(names_.end(), names.rbegin(), names.rend());
  root_ = to.substr(0, root);
  return true;
}

// Holds the volume root still to be opened, or the next name below the folder held last, and
// moves on; `moved` stays false when it is missing (or, with FILE_OPEN_IF, could not be made).
bool WayToLink::HoldNext(win::ULONG disposition, bool& moved) {
  const bool atRoot = !root_.empty();
  std::u16string path;
  win::UniqueFile folder;
  if (atRoot) {
    // A drive letter that maps a folder is that folder, walked from its own volume root.
    if (const char16_t letter = RootLetter(root_)) {
      std::u16string mapped;
      if (const win::DWORD error = MappedFolder(letter, mapped)) return Refuse(root_, {}, error);
      if (!mapped.empty()) {
        const std::u16string from = std::exchange(root_, std::u16string());
        moved = true;
        return Restart(from, mapped);
      }
    }
    path = root_;
    folder.Reset(win::CreateFileW(
        path.c_str(), kHoldAccess, kHoldShare, nullptr, win::OPEN_EXISTING,
        win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  } else {
    path = Joined(walked_, names_.back());
    // Made new, never taken over; below a link's target, nothing is made until the target itself
    // is reached.
    const bool make = disposition != win::FILE_OPEN && !InTarget();
    folder = OpenBelow(below_, names_.back(), kHoldAccess, kHoldShare,
                       make ? win::FILE_CREATE : win::FILE_OPEN, make ? win::FILE_DIRECTORY_FILE : 0);
    if (!folder && make && win::GetLastError() == win::ERROR_ALREADY_EXISTS) {
      // Made by someone else since the walk found it missing (another request, most likely):
      // gone on with only when SYSTEM, Administrators or TrustedInstaller made it.
      folder = OpenBelow(below_, names_.back(), kHoldAccess, kHoldShare, win::FILE_OPEN, 0);
      ObjectSecurity security;
      if (folder && (security.Read(folder.Get()) != 0 ||
                     !IsTrustedOwner(security.Owner(), true, nullptr))) {
        return Refuse(path, u"it was made meanwhile by " + SidText(security.Owner()),
                      win::ERROR_ALREADY_EXISTS);
      }
    }
  }
  if (!folder) {
    const win::DWORD error = win::GetLastError();
    // A file where a folder is to be made, or a link that leads nowhere.
    if (error == win::ERROR_DIRECTORY || InTarget()) ended_ = true;
    return error != win::ERROR_SHARING_VIOLATION && error != win::ERROR_ACCESS_DENIED;
  }
  win::BY_HANDLE_FILE_INFORMATION info{};
  if (!win::GetFileInformationByHandle(folder.Get(), &info)) return false;
  moved = true;
  if (atRoot) {
    root_.clear();
  } else {
    names_.pop_back();
  }
  if (IsLink(folder.Get(), info)) {
    // Followed only when nobody else may re-point or replace it; then its target is walked from
    // its own root, and the link itself is held so that it stays.
    std::u16string why = atRoot ? u"it is a volume root that leads elsewhere"
                                : WhoElseMayChangeEntry(folder.Get(), below_);
    if (!why.empty()) return Refuse(path, std::move(why), kUntrustedLinkOnTheWay);
    const std::u16string to = TargetOf(RecordOf(folder.Get()), walked_);
    held_.push_back({std::move(folder), false, path});
    if (to.empty()) return Refuse(path, {}, win::ERROR_CANT_RESOLVE_FILENAME);
    return Restart(path, to);
  }
  if ((info.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY) == 0) {
    ended_ = true;
    return true;
  }
  inTarget_ = InTarget();
  walked_ = path;
  below_ = folder.Get();
  held_.push_back({std::move(folder), true, std::move(path)});
  return true;
}
