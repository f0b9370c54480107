#include "engine/WayToLink.h"

#include <cstdint>
#include <cstring>

#include "engine/FileSecurity.h"

namespace {

// Enough to list the folder and read its attributes and owner. Sharing read and write keeps
// every ordinary user of the folder working; not sharing delete keeps it from being renamed or
// deleted (either needs an open with DELETE) until the request ends.
constexpr win::DWORD kHoldAccess =
    win::FILE_READ_DATA | win::FILE_READ_ATTRIBUTES | win::READ_CONTROL | win::SYNCHRONIZE;
constexpr win::DWORD kHoldShare = win::FILE_SHARE_READ | win::FILE_SHARE_WRITE;
constexpr win::DWORD kNameSurrogate = 0x20000000;  // a tag that names another place

bool StartsWithUnc(const std::u16string& path, std::size_t at) {
  if (path.size() < at + 4 || path[at + 3] != u'\\') return false;
  auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c; };
  return upper(path[at]) == u'U' && upper(path[at + 1]) == u'N' && upper(path[at + 2]) == u'C';
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
    return full.size() >= at + 3 && full[at + 1] == u':' && full[at + 2] == u'\\' ? at + 3 : 0;
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

bool IsNameSurrogate(win::HANDLE folder) {
  std::vector<std::uint8_t> record(win::MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  win::DWORD returned = 0;
  if (!win::DeviceIoControl(folder, win::FSCTL_GET_REPARSE_POINT, nullptr, 0, record.data(),
                            static_cast<win::DWORD>(record.size()), &returned, nullptr) &&
      win::GetLastError() != win::ERROR_MORE_DATA) {
    return true;  // a link that cannot be read is taken for one that leads elsewhere
  }
  const std::uint32_t tag = record[0] | (record[1] << 8) | (record[2] << 16) |
                            (static_cast<std::uint32_t>(record[3]) << 24);
  return (tag & kNameSurrogate) != 0;
}

// `name` opened or made below the directory `folder`, a link at it not followed; the last-error
// code says why not.
win::UniqueFile OpenBelow(win::HANDLE folder, std::u16string name, win::DWORD access,
                          win::DWORD share, win::ULONG disposition, win::ULONG options) {
  win::UNICODE_STRING text{static_cast<win::WORD>(name.size() * sizeof(char16_t)),
                           static_cast<win::WORD>(name.size() * sizeof(char16_t)), name.data()};
  win::OBJECT_ATTRIBUTES attributes{sizeof attributes,         folder,  &text,
                                    win::OBJ_CASE_INSENSITIVE, nullptr, nullptr};
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
  std::u16string full = FullPath(link);
  const std::size_t root = RootLength(full);
  if (root == 0) return true;  // nothing to hold: the request fails on its own
  while (full.size() > root && full.back() == u'\\') full.pop_back();
  prefixes_.push_back(full.substr(0, root));
  names_.emplace_back();
  std::size_t start = root;
  for (std::size_t at = full.find(u'\\', root); at != std::u16string::npos;
       at = full.find(u'\\', at + 1)) {
    prefixes_.push_back(full.substr(0, at));
    names_.push_back(full.substr(start, at - start));
    start = at + 1;
  }
  linkName_ = full.substr(std::min(start, full.size()));
  while (next_ < prefixes_.size() && !ended_) {
    const std::size_t before = next_;
    if (!HoldNext(win::FILE_OPEN)) return false;
    if (next_ == before) break;  // missing from here on
  }
  return true;
}

bool WayToLink::CreateMissing() {
  while (next_ < prefixes_.size() && !ended_) {
    const std::size_t before = next_;
    if (!HoldNext(win::FILE_OPEN_IF)) return false;
    if (next_ == before) break;  // not made: the request fails there on its own
  }
  return true;
}

bool WayToLink::ReachedParent() const {
  if (next_ < prefixes_.size() || ended_ || below_ == nullptr || linkName_.empty()) {
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

std::u16string WayToLink::ParentPath() const {
  return ReachedParent() ? prefixes_.back() : std::u16string();
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
    if ((info.dwFileAttributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        IsNameSurrogate(folder.handle.Get())) {
      refused_ = prefixes_[folder.prefix];
      win::SetLastError(kUntrustedLinkOnTheWay);
      return false;
    }
  }
  return true;
}

// Holds prefixes_[next_] and moves on; leaves next_ as it is when the folder is missing (or,
// with FILE_OPEN_IF, could not be made).
bool WayToLink::HoldNext(win::ULONG disposition) {
  const std::u16string& path = prefixes_[next_];
  win::UniqueFile folder;
  if (next_ == 0) {
    folder.Reset(win::CreateFileW(
        path.c_str(), kHoldAccess, kHoldShare, nullptr, win::OPEN_EXISTING,
        win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  } else {
    folder = OpenBelow(below_, names_[next_], kHoldAccess, kHoldShare, disposition,
                       disposition == win::FILE_OPEN ? 0 : win::FILE_DIRECTORY_FILE);
  }
  if (!folder) {
    const win::DWORD error = win::GetLastError();
    if (error == win::ERROR_DIRECTORY) ended_ = true;  // a file where a folder is to be made
    return error != win::ERROR_SHARING_VIOLATION && error != win::ERROR_ACCESS_DENIED;
  }
  win::BY_HANDLE_FILE_INFORMATION info{};
  if (!win::GetFileInformationByHandle(folder.Get(), &info)) return false;
  const bool link = (info.dwFileAttributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                    IsNameSurrogate(folder.Get());
  if (link) {
    ObjectSecurity security;
    if (security.Read(folder.Get()) != 0 || !IsTrustedOwner(security.Owner(), true, nullptr)) {
      refused_ = path;
      win::SetLastError(kUntrustedLinkOnTheWay);
      return false;
    }
    // Followed by its path, which the folders held above keep as it is; what it leads to is held
    // as well, and the way goes on below that.
    held_.push_back({std::move(folder), false, next_});
    win::UniqueFile target(win::CreateFileW(path.c_str(), kHoldAccess, kHoldShare, nullptr,
                                            win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS,
                                            nullptr));
    if (!target) {
      ended_ = true;
      return true;
    }
    below_ = target.Get();
    held_.push_back({std::move(target), false, next_});
  } else if ((info.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY) == 0) {
    ended_ = true;
    return true;
  } else {
    below_ = folder.Get();
    held_.push_back({std::move(folder), true, next_});
  }
  ++next_;
  return true;
}
