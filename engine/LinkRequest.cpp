#include "engine/LinkRequest.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/AsciiText.h"
#include "engine/DriveDefinition.h"
#include "engine/FileSecurity.h"
#include "engine/Junction.h"
#include "engine/WayToLink.h"
#include "platform/UniqueHandle.h"

namespace {

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

// Whether the link's name is there now as something a new name may supersede: anything but a
// folder (a symbolic link to a file included), looked at below its held parent. `identity` is
// the file it names, when that is a file.
bool SupersedableAtLink(const WayToLink& way, std::optional<FileIdentity>& identity) {
  win::UniqueFile existing =
      way.OpenLink(win::FILE_READ_ATTRIBUTES,
                   win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE,
                   win::FILE_OPEN, win::FILE_OPEN_REPARSE_POINT);
  win::BY_HANDLE_FILE_INFORMATION info{};
  if (!existing || !win::GetFileInformationByHandle(existing.Get(), &info) ||
      (info.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  FileIdentity file;
  if (IdentifyHandle(existing.Get(), file)) identity = file;
  return true;
}

// Earlier versions made the new name as a hard link to the target called ~corvaneNNNN.tmp (NNNN
// the attempt, 0000 to 003F, in hex) beside the link, and moved it over the link without writing
// the move through: a power cut could take the move back and leave that name. Only that exact
// form is one of ours.
bool IsLeftoverName(std::u16string_view name) {
  constexpr std::u16string_view kStart = u"~corvane";
  constexpr std::u16string_view kEnd = u".tmp";
  if (name.size() != kStart.size() + 4 + kEnd.size() ||
      !SameAsciiText(name.substr(0, kStart.size()), kStart) ||
      !SameAsciiText(name.substr(kStart.size() + 4), kEnd)) {
    return false;
  }
  unsigned attempt = 0;
  for (char16_t c : name.substr(kStart.size(), 4)) {
    c = AsciiLower(c);
    const bool digit = c >= u'0' && c <= u'9';
    if (!digit && (c < u'a' || c > u'f')) return false;
    attempt = attempt * 16 + (digit ? c - u'0' : c - u'a' + 10);
  }
  return attempt < 0x40;
}

// Deletes such a leftover in the link's folder, opened below the held folder, while it is a name
// of the target or of the file the link named before: a file of the user's that only has the
// name is never touched. Best effort; the request is done either way.
void RemoveLeftoverNames(const WayToLink& way, const FileIdentity& target,
                         const std::optional<FileIdentity>& replaced) {
  const win::DWORD error = win::GetLastError();
  std::u16string pattern = way.ParentPath();
  if (!pattern.empty()) {
    if (pattern.back() != u'\\') pattern += u'\\';
    pattern += u"~corvane????.tmp";
    std::vector<std::u16string> names;
    win::WIN32_FIND_DATAW found{};
    win::UniqueFind find(win::FindFirstFileW(pattern.c_str(), &found));
    // The link itself may have been given such a name: it is the request's, not a leftover.
    for (bool more = static_cast<bool>(find); more;
         more = win::FindNextFileW(find.Get(), &found) != 0) {
      if (IsLeftoverName(found.cFileName) && !SameAsciiText(found.cFileName, way.LinkName())) {
        names.emplace_back(found.cFileName);
      }
    }
    for (const std::u16string& name : names) {
      win::UniqueFile leftover =
          way.OpenBeside(name, win::DELETE | win::FILE_READ_ATTRIBUTES,
                         win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE,
                         win::FILE_OPEN, win::FILE_NON_DIRECTORY_FILE);
      FileIdentity identity;
      if (leftover && IdentifyHandle(leftover.Get(), identity) &&
          (identity == target || identity == replaced)) {
        DeleteThrough(leftover.Get());
      }
    }
  }
  win::SetLastError(error);
}

// A junction's own permissions, whatever the folder it stands in lets users do: a user who may
// change that folder can neither re-point nor remove it. What is reached through it is governed by
// the target's own permissions.
constexpr char16_t kJunctionSecurity[] = u"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";

// The folder that becomes the junction, opened exclusively as the junction's own step opens it:
// made new with the junction's permissions, or one that is there already (empty, or the step
// refuses it) and that nobody but SYSTEM, Administrators and TrustedInstaller may change. A user's
// own folder would stay the user's to re-point once it is a junction: ERROR_ALREADY_EXISTS.
win::UniqueFile OpenJunctionFolder(const WayToLink& way) {
  constexpr win::DWORD access = win::GENERIC_READ | win::GENERIC_WRITE;
  const SecurityFromText security(kJunctionSecurity);
  if (!security) return {};
  win::UniqueFile directory = way.CreateLinkFolder(access, security.Get());
  if (directory || win::GetLastError() != win::ERROR_ALREADY_EXISTS) return directory;
  directory = way.OpenLink(access, 0, win::FILE_OPEN, win::FILE_DIRECTORY_FILE);
  if (directory && !way.WhoElseMayChange(directory.Get()).empty()) {
    win::SetLastError(win::ERROR_ALREADY_EXISTS);
    return {};
  }
  return directory;
}

// The new name is made below the link's held parent, never by its path: the parent cannot then
// have been swapped for a link to another place meanwhile. An existing file of that name is
// superseded in the same step, so it stays until its replacement exists and no temporary name is
// ever needed.
win::BOOL CreateFileLink(const std::u16string& link, const std::u16string& target) {
  WayToLink way;
  if (!way.Hold(link)) return win::FALSE;

  // Linking a file onto itself changes nothing.
  if (NameSameFile(link, target)) {
    win::SetLastError(win::ERROR_SUCCESS);
    return win::TRUE;
  }
  // The target is the file the request names, by its path; a folder cannot be opened so, as
  // CreateHardLinkW cannot link one (ERROR_ACCESS_DENIED).
  win::UniqueFile source(
      win::CreateFileW(target.c_str(), win::SYNCHRONIZE | win::FILE_READ_ATTRIBUTES,
                       win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE,
                       nullptr, win::OPEN_EXISTING, 0, nullptr));
  if (!source) return win::FALSE;
  std::optional<FileIdentity> replaced;
  const bool supersede = SupersedableAtLink(way, replaced);
  if (!way.Intact()) return win::FALSE;
  if (!way.LinkFile(source.Get(), supersede)) return win::FALSE;
  FileIdentity linked;
  if (IdentifyHandle(source.Get(), linked)) RemoveLeftoverNames(way, linked, replaced);
  return win::TRUE;
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
  // The link's own folders are made below the held ones, the link itself last.
  WayToLink way;
  if (!way.Hold(link) || !way.CreateMissing()) return win::FALSE;
  win::UniqueFile directory = OpenJunctionFolder(way);
  if (!directory) return win::FALSE;
  // The target's folders too, below held handles from its own volume root, so that no link a user
  // may change has them made elsewhere: such a link refuses the request. Otherwise, as ever, a
  // target that cannot be made leaves a junction that leads nowhere until it is there.
  WayToLink targetWay;
  if (targetWay.Hold(target) && targetWay.CreateMissing()) {
    targetWay.OpenLink(win::FILE_READ_DATA, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE,
                       win::FILE_OPEN_IF, win::FILE_DIRECTORY_FILE);
  } else if (!targetWay.Refused().empty()) {
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
  // A name ending in a separator names a folder, never a file: there is no such file to delete.
  if (!link.empty() && (link.back() == u'\\' || link.back() == u'/')) {
    win::SetLastError(win::ERROR_SUCCESS);
    return win::TRUE;
  }
  if (!way.Hold(link)) return win::FALSE;
  // Shared as DeleteFileW shares it, and a directory refused with its code. A name that is not
  // there, in a folder that is or is not, is nothing to delete: the request is done.
  win::UniqueFile file =
      way.OpenLink(win::DELETE | win::FILE_READ_ATTRIBUTES,
                   win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE,
                   win::FILE_OPEN, win::FILE_NON_DIRECTORY_FILE);
  if (!file) {
    const win::DWORD error = win::GetLastError();
    if (error != win::ERROR_FILE_NOT_FOUND && error != win::ERROR_PATH_NOT_FOUND) return win::FALSE;
    win::SetLastError(win::ERROR_SUCCESS);
    return win::TRUE;
  }
  return DeleteThrough(file.Get()) ? win::TRUE : win::FALSE;
}

// A device name must name something: removing the empty one would, under Wine, break every
// later drive mapping until the machine restarts.
win::BOOL RefuseEmptyDeviceName() {
  win::SetLastError(win::ERROR_INVALID_NAME);
  return win::FALSE;
}

// Takes off the letter's definition onto `target` only, named as the system stores it, so that a
// definition someone else stacked on it stays.
win::BOOL RemoveDriveDefinition(const std::u16string& link, const std::u16string& target) {
  if (link.empty()) return RefuseEmptyDeviceName();
  if (target.empty() || target == kNoTarget) {
    return win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION, link.c_str(), nullptr);
  }
  std::vector<std::u16string> definitions;
  if (const win::DWORD error = GlobalDefinitions(link, definitions)) {
    win::SetLastError(error);
    return win::FALSE;
  }
  const auto mapping = std::ranges::find_if(
      definitions, [&](const std::u16string& definition) { return MapsOnto(definition, target); });
  if (mapping == definitions.end()) {
    win::SetLastError(win::ERROR_FILE_NOT_FOUND);
    return win::FALSE;
  }
  return win::DefineDosDeviceW(
      win::DDD_REMOVE_DEFINITION | win::DDD_EXACT_MATCH_ON_REMOVE | win::DDD_RAW_TARGET_PATH,
      link.c_str(), mapping->c_str());
}

}  // namespace

bool LinkRequest::Execute() const {
  return (action != LinkAction::Delete ? CreateLink() : DeleteLink()) != win::FALSE;
}

win::BOOL LinkRequest::CreateLink() const {
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

win::BOOL LinkRequest::DeleteLink() const {
  switch (kind) {
    case LinkKind::Drive:
      return RemoveDriveDefinition(link, target);
    case LinkKind::Folder:
      return DeleteFolderLink(link);
    case LinkKind::File:
      return DeleteFileLink(link);
  }
  win::SetLastError(win::ERROR_NOT_SUPPORTED);
  return win::FALSE;
}

std::u16string WhoElseMayChangeFolderAt(const std::u16string& link) {
  WayToLink way;
  if (!way.Hold(link)) return {};
  const win::UniqueFile folder =
      way.OpenLink(win::READ_CONTROL | win::FILE_READ_ATTRIBUTES,
                   win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE,
                   win::FILE_OPEN, win::FILE_DIRECTORY_FILE);
  return folder ? way.WhoElseMayChange(folder.Get()) : std::u16string();
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
