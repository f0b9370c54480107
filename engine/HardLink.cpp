#include "engine/HardLink.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "engine/Junction.h"
#include "engine/WayToLink.h"
#include "platform/UniqueHandle.h"

namespace {

bool IsDirectory(const std::u16string& path) {
  const win::DWORD attributes = win::GetFileAttributesW(path.c_str());
  return attributes != win::INVALID_FILE_ATTRIBUTES &&
         (attributes & win::FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A file's identity: the volume's serial number and the file's id, the 128-bit one where the
// volume gives it (ReFS's do not fit in the 64-bit index), else the index.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint8_t id[16] = {};
  bool operator==(const FileIdentity&) const = default;
};

// False unless `file` is a file (never a directory, which can never be hard-linked, and never a
// reparse point, which is no name of the file it leads to).
bool IdentifyHandle(win::HANDLE file, FileIdentity& identity) {
  win::BY_HANDLE_FILE_INFORMATION info{};
  if (win::GetFileInformationByHandle(file, &info) == 0 ||
      (info.dwFileAttributes &
       (win::FILE_ATTRIBUTE_DIRECTORY | win::FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return false;
  }
  win::FILE_ID_INFO id{};
  if (win::GetFileInformationByHandleEx(file, win::FileIdInfo, &id, sizeof id)) {
    identity.volume = id.VolumeSerialNumber;
    std::copy(std::begin(id.FileId), std::end(id.FileId), std::begin(identity.id));
    return true;
  }
  identity.volume = info.dwVolumeSerialNumber;
  const std::uint64_t index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  for (std::size_t i = 0; i < 8; ++i) identity.id[i] = static_cast<std::uint8_t>(index >> (8 * i));
  return true;
}

// Opened as `flags` say, asking for no access.
bool IdentifyFile(const std::u16string& path, win::DWORD flags, FileIdentity& identity) {
  win::UniqueFile file(win::CreateFileW(
      path.c_str(), 0, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE,
      nullptr, win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr));
  return file && IdentifyHandle(file.Get(), identity);
}

// A file or directory opened without following a link at its name, with the right to delete it,
// deleted through that handle once its last handle closes.
bool DeleteThrough(win::HANDLE object) {
  win::FILE_DISPOSITION_INFO remove{1};
  return win::SetFileInformationByHandle(object, win::FileDispositionInfo, &remove,
                                         sizeof remove) != 0;
}

// Two names of one file share their identity, whatever their spelling. `link` is looked at
// itself: a symbolic link to `target` is another file, which the hard link replaces. Either
// name failing to open means they are not known to be the same.
bool NameSameFile(const std::u16string& link, const std::u16string& target) {
  if (link.empty() || target.empty()) return false;
  FileIdentity a;
  FileIdentity b;
  return IdentifyFile(link, win::FILE_FLAG_OPEN_REPARSE_POINT, a) && IdentifyFile(target, 0, b) &&
         a == b;
}

// PathExists answers false for any path of MAX_PATH or more, which a \\?\ name may well be
// since that is what the form is for. For such a name the file system itself is asked, so that a
// File Delete never reports success while the file stays, and a File Create replaces it.
bool LinkNameExists(const std::u16string& link) {
  if (link.size() < win::MAX_PATH) return PathExists(link);
  return win::GetFileAttributesW(link.c_str()) != win::INVALID_FILE_ATTRIBUTES;
}

using CreateHardLinkFunction = win::BOOL (*)(win::LPCWSTR, win::LPCWSTR, void*);

// The folder of `link` as a full path ending in a backslash, in the \\?\ long form when a name
// of `extra` units in it would not fit in MAX_PATH: a link that fits must never fail because
// the temporary name beside it is longer. Empty when the full path cannot be formed.
std::u16string FolderOfFullPath(const std::u16string& link, std::size_t extra) {
  const win::DWORD needed = win::GetFullPathNameW(link.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return {};
  std::u16string full(needed, u'\0');
  char16_t* lastComponent = nullptr;
  const win::DWORD length =
      win::GetFullPathNameW(link.c_str(), needed, full.data(), &lastComponent);
  if (length == 0 || length >= needed || lastComponent == nullptr) return {};
  full.resize(static_cast<std::size_t>(lastComponent - full.data()));
  if (full.size() + extra < win::MAX_PATH) return full;
  if (full.starts_with(u"\\\\?\\")) return full;
  if (full.starts_with(u"\\\\.\\")) return u"\\\\?\\" + full.substr(4);
  if (full.starts_with(u"\\\\")) return u"\\\\?\\UNC\\" + full.substr(2);
  return u"\\\\?\\" + full;
}

// A fresh name in the folder of `link` for the new link to be made under before it is moved
// over `link`, so the existing file stays until its replacement exists.
std::u16string TemporaryName(const std::u16string& folder, unsigned attempt) {
  std::u16string name = folder + u"~corvane";
  constexpr char16_t digits[] = u"0123456789abcdef";
  for (int shift = 12; shift >= 0; shift -= 4) name += digits[(attempt >> shift) & 0xF];
  name += u".tmp";
  return name;
}
constexpr std::size_t kTemporaryNameLength = 16;  // ~corvaneNNNN.tmp

// Whether the new name `made` for `target` is in the folder held for it. When the folder has
// become a link since, the name was made wherever that leads: it is taken away again, but only
// while the name still leads to the target, so that nothing else there is ever deleted.
bool MadeInPlace(WayToLink& way, const std::u16string& made, const std::u16string& target) {
  if (way.Intact()) return true;
  const win::DWORD error = win::GetLastError();
  win::UniqueFile name(
      win::CreateFileW(made.c_str(), win::DELETE | win::FILE_READ_ATTRIBUTES,
                       win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE,
                       nullptr, win::OPEN_EXISTING, win::FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  FileIdentity found;
  FileIdentity expected;
  if (name && IdentifyHandle(name.Get(), found) && IdentifyFile(target, 0, expected) &&
      found == expected) {
    DeleteThrough(name.Get());
  }
  win::SetLastError(error);
  return false;
}

win::BOOL ReplaceWithHardLink(CreateHardLinkFunction createHardLink, const std::u16string& link,
                              const std::u16string& target, WayToLink& way) {
  const std::u16string folder = FolderOfFullPath(link, kTemporaryNameLength);
  if (folder.empty()) return win::FALSE;
  constexpr unsigned attempts = 64;
  for (unsigned attempt = 0; attempt < attempts; ++attempt) {
    const std::u16string temporary = TemporaryName(folder, attempt);
    if (!createHardLink(temporary.c_str(), target.c_str(), nullptr)) {
      const win::DWORD error = win::GetLastError();
      if (error == win::ERROR_ALREADY_EXISTS || error == win::ERROR_FILE_EXISTS) continue;
      return win::FALSE;
    }
    if (!MadeInPlace(way, temporary, target)) return win::FALSE;
    if (win::MoveFileExW(temporary.c_str(), link.c_str(), win::MOVEFILE_REPLACE_EXISTING)) {
      return win::TRUE;
    }
    const win::DWORD error = win::GetLastError();
    win::DeleteFileW(temporary.c_str());
    win::SetLastError(error);
    return win::FALSE;
  }
  return win::FALSE;  // every temporary name was taken; the last-error code says so
}

win::BOOL CreateFileLink(const std::u16string& link, const std::u16string& target) {
  WayToLink way;
  if (!way.Hold(link)) return win::FALSE;

  // Linking a file onto itself changes nothing; the replacement below would otherwise have to
  // rely on how the file system moves one name of a file onto another.
  if (NameSameFile(link, target)) {
    win::SetLastError(win::ERROR_SUCCESS);
    return win::TRUE;
  }

  // Located at run time, not bound when the program is linked; the module reference is held
  // only for this operation.
  win::UniqueModule kernel32(win::LoadLibraryW(u"kernel32.dll"));
  if (!kernel32) return win::FALSE;
  const auto createHardLink = reinterpret_cast<CreateHardLinkFunction>(
      reinterpret_cast<void (*)()>(win::GetProcAddress(kernel32.Get(), "CreateHardLinkW")));
  if (createHardLink == nullptr) return win::FALSE;

  if (!way.Intact()) return win::FALSE;
  if (LinkNameExists(link) && !IsDirectory(link)) {
    return ReplaceWithHardLink(createHardLink, link, target, way);
  }
  if (!createHardLink(link.c_str(), target.c_str(), nullptr)) return win::FALSE;
  return MadeInPlace(way, link, target) ? win::TRUE : win::FALSE;
}

win::BOOL CreateFolderLink(const std::u16string& link, const std::u16string& target) {
  // A junction needs both paths; an empty one names nothing to make.
  if (link.empty() || target.empty()) {
    win::SetLastError(win::ERROR_INVALID_NAME);
    return win::FALSE;
  }
  // Refused before the directories are made, so that nothing is left behind.
  if (IsNetworkTarget(target)) {
    win::SetLastError(kNetworkTargetError);
    return win::FALSE;
  }
  // The link's own folders are made below the held ones, the link itself last, as the chain
  // would; the target's are the user's to name, wherever they lead.
  WayToLink way;
  if (!way.Hold(link) || !way.CreateMissing()) return win::FALSE;
  // Opened exclusively, as the junction's own step opens it.
  win::UniqueFile directory = way.OpenLink(win::GENERIC_READ | win::GENERIC_WRITE, 0,
                                           win::FILE_OPEN_IF, win::FILE_DIRECTORY_FILE);
  const win::DWORD error = win::GetLastError();
  CreateDirectoryChain(target);
  if (!directory) {
    win::SetLastError(error);
    return win::FALSE;
  }
  return CreateJunctionOn(directory.Get(), target) ? win::TRUE : win::FALSE;
}

win::BOOL DeleteFolderLink(const std::u16string& link) {
  WayToLink way;
  if (!way.Hold(link)) return win::FALSE;
  if (!PathExists(link)) {
    win::SetLastError(win::ERROR_PATH_NOT_FOUND);
    return win::FALSE;
  }
  // Opened exclusively, as the junction's own removal opens it, and kept open to delete the
  // directory it leaves: the one checked is the one removed.
  win::UniqueFile directory =
      way.OpenLink(win::GENERIC_READ | win::GENERIC_WRITE | win::DELETE, 0, win::FILE_OPEN, 0);
  if (!directory || !RemoveJunctionFrom(directory.Get())) return win::FALSE;
  DeleteThrough(directory.Get());  // the junction is gone either way
  return win::TRUE;
}

win::BOOL DeleteFileLink(const std::u16string& link) {
  WayToLink way;
  if (!way.Hold(link)) return win::FALSE;
  if (!LinkNameExists(link)) {
    win::SetLastError(win::ERROR_SUCCESS);
    return win::TRUE;
  }
  // Shared as DeleteFileW shares it, and a directory refused with its code.
  win::UniqueFile file =
      way.OpenLink(win::DELETE | win::FILE_READ_ATTRIBUTES,
                   win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE,
                   win::FILE_OPEN, win::FILE_NON_DIRECTORY_FILE);
  if (!file) return win::FALSE;
  return DeleteThrough(file.Get()) ? win::TRUE : win::FALSE;
}

// A device name must name something: removing the empty one would, under Wine, break every
// later drive mapping until the machine restarts.
win::BOOL RefuseEmptyDeviceName() {
  win::SetLastError(win::ERROR_INVALID_NAME);
  return win::FALSE;
}

}  // namespace

bool CHardLink::Execute() const {
  return (action != LinkAction::Delete ? CreateLink() : DeleteLink()) != win::FALSE;
}

win::BOOL CHardLink::CreateLink() const {
  switch (kind) {
    case LinkKind::Drive:
      if (link.empty()) return RefuseEmptyDeviceName();
      return win::DefineDosDeviceW(0, link.c_str(), target.c_str());
    case LinkKind::Folder:
      return CreateFolderLink(link, target);
    case LinkKind::File:
      return CreateFileLink(link, target);
  }
  win::SetLastError(win::ERROR_NOT_SUPPORTED);
  return win::FALSE;
}

win::BOOL CHardLink::DeleteLink() const {
  switch (kind) {
    case LinkKind::Drive:
      if (link.empty()) return RefuseEmptyDeviceName();
      return win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION, link.c_str(), nullptr);
    case LinkKind::Folder:
      return DeleteFolderLink(link);
    case LinkKind::File:
      return DeleteFileLink(link);
  }
  win::SetLastError(win::ERROR_NOT_SUPPORTED);
  return win::FALSE;
}

void CreateDirectoryChain(const std::u16string& path) {
  if (path.empty()) return;
  std::u16string chain = path;
  if (chain.back() != u'\\') chain += u'\\';
  for (std::size_t i = 0; i < chain.size(); ++i) {
    if (chain[i] != u'\\') continue;
    const std::u16string prefix = chain.substr(0, i);
    if (!PathExists(prefix)) win::CreateDirectoryW(prefix.c_str(), nullptr);
  }
}

bool PathExists(const std::u16string& path) {
  constexpr std::size_t longest = win::MAX_PATH - 1;
  if (path.size() > longest) return false;

  char16_t full[win::MAX_PATH];
  char16_t* lastComponent = nullptr;
  const win::DWORD fullLength =
      win::GetFullPathNameW(path.c_str(), win::MAX_PATH, full, &lastComponent);
  if (fullLength == 0 || fullLength >= win::MAX_PATH) return false;

  char16_t root[win::MAX_PATH];
  std::u16string_view(full, fullLength + 1).copy(root, fullLength + 1);
  win::PathStripToRootW(root);
  const bool isUnc = win::PathIsUNCW(root) != win::FALSE;
  win::DWORD volumeFlags = 0;
  if (!isUnc &&
      !win::GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &volumeFlags, nullptr, 0)) {
    return false;
  }

  win::WIN32_FIND_DATAW found{};
  win::UniqueFind find(win::FindFirstFileW(path.c_str(), &found));
  if (!find) return false;

  // Without Unicode names on disk the stored name may be longer than the one asked for; the
  // path must still fit with the stored name in place of the last component.
  if (!isUnc && (volumeFlags & win::FILE_UNICODE_ON_DISK) == 0) {
    if (lastComponent == nullptr || *lastComponent == u'\0') return false;
    const std::size_t directoryLength = static_cast<std::size_t>(lastComponent - full);
    const std::size_t storedLength = std::u16string_view(found.cFileName).size();
    if (directoryLength + storedLength > longest) return false;
  }
  return true;
}
