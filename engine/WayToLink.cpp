#include "engine/WayToLink.h"

#include <cstdint>

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
  if (!unc)
    return full.size() >= at + 3 && full[at + 1] == u':' && full[at + 2] == u'\\' ? at + 3 : 0;
  const std::size_t server = full.find(u'\\', at);
  if (server == std::u16string::npos) return 0;
  const std::size_t share = full.find(u'\\', server + 1);
  return share == std::u16string::npos ? 0 : share + 1;
}

// The volume root and each folder below it down to the link's parent, as full paths; in the long
// form (\\?\D:\...) when the link's is too long for the plain one.
std::vector<std::u16string> FoldersOnTheWay(const std::u16string& link) {
  std::u16string full;
  if (link.starts_with(u"\\??\\")) {
    full = u"\\\\?\\" + link.substr(4);  // the NT form, which CreateFileW takes as it is
  } else {
    const win::DWORD needed = win::GetFullPathNameW(link.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return {};
    full.assign(needed, u'\0');
    const win::DWORD length = win::GetFullPathNameW(link.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return {};
    full.resize(length);
  }
  if (full.size() >= win::MAX_PATH && !full.starts_with(u"\\\\?\\")) {
    full = full.starts_with(u"\\\\") ? u"\\\\?\\UNC\\" + full.substr(2) : u"\\\\?\\" + full;
  }
  const std::size_t root = RootLength(full);
  if (root == 0) return {};
  while (full.size() > root && full.back() == u'\\') full.pop_back();
  std::vector<std::u16string> folders{full.substr(0, root)};
  for (std::size_t at = full.find(u'\\', root); at != std::u16string::npos;
       at = full.find(u'\\', at + 1)) {
    folders.push_back(full.substr(0, at));
  }
  return folders;
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

win::UniqueFile OpenFolder(const std::u16string& path, win::DWORD flags) {
  return win::UniqueFile(win::CreateFileW(path.c_str(), kHoldAccess, kHoldShare, nullptr,
                                          win::OPEN_EXISTING,
                                          win::FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr));
}

}  // namespace

bool WayToLink::Hold(const std::u16string& link) {
  prefixes_ = FoldersOnTheWay(link);
  while (next_ < prefixes_.size() && !ended_) {
    const std::size_t before = next_;
    // Each folder is opened by its path, through the ones held before it: they must still be
    // what they were for it to be the one below them.
    if (!HoldNext() || !Intact()) return false;
    if (next_ == before) break;  // missing from here on
  }
  return true;
}

bool WayToLink::CreateMissing() {
  while (next_ < prefixes_.size() && !ended_) {
    const std::u16string& path = prefixes_[next_];
    // Made by its path: when the folder above became a link just then, it is made wherever
    // that leads, and left there (empty) rather than removed by a path that could by then lead
    // to someone else's folder.
    win::CreateDirectoryW(path.c_str(), nullptr);
    const std::size_t before = next_;
    if (!Intact() || !HoldNext() || !Intact()) return false;
    if (next_ == before) break;  // not made: the request fails there on its own
  }
  return true;
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

// Holds prefixes_[next_] and moves on; leaves next_ as it is when the folder is missing.
bool WayToLink::HoldNext() {
  const std::u16string& path = prefixes_[next_];
  win::UniqueFile folder = OpenFolder(path, win::FILE_FLAG_OPEN_REPARSE_POINT);
  if (!folder) {
    // A folder in use for its deletion or renaming, or closed to the service, cannot be held;
    // any other failure is the request's own to meet there.
    const win::DWORD error = win::GetLastError();
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
    // What it leads to is held as well, so that it stays while the request goes through it.
    win::UniqueFile target = OpenFolder(path, 0);
    if (target) held_.push_back({std::move(target), false, next_});
  } else if ((info.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY) == 0) {
    ended_ = true;
    return true;
  }
  held_.push_back({std::move(folder), !link, next_});
  ++next_;
  return true;
}
