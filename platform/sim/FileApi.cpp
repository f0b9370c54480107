// The kernel32 and shlwapi file functions of the seam, acting on the simulated file system.
#include <algorithm>
#include <cstring>
#include <set>
#include <utility>

#include "platform/ReparseRecord.h"
#include "platform/WinApi.h"
#include "platform/sim/FileSystem.h"
#include "platform/sim/MachineState.h"
#include "platform/sim/Security.h"

namespace {

using sim::FileSystem;
using sim::Location;
using sim::Node;

constexpr win::DWORD kMaxLinks = 1024;      // NTFS: one name plus 1023 more
constexpr std::size_t kShortNameRoom = 12;  // "\\" and an 8.3 name
constexpr win::DWORD kCreatableAttributes =
    win::FILE_ATTRIBUTE_READONLY | win::FILE_ATTRIBUTE_HIDDEN | win::FILE_ATTRIBUTE_SYSTEM |
    win::FILE_ATTRIBUTE_ARCHIVE;

bool IsLetterForShell(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

FileSystem& Files() {
  return *sim::State().files;
}
const std::u16string& CurrentDirectory() {
  return sim::CurrentProcess().currentDirectory;
}

std::u16string_view View(win::LPCWSTR text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(text);
}

// Resolves or sets the last-error code; true when the path could be walked.
bool ResolveOrFail(win::LPCWSTR path, bool followLast, Location& out) {
  if (auto error = Files().Resolve(View(path), CurrentDirectory(), followLast, out)) {
    win::SetLastError(error);
    return false;
  }
  return true;
}

bool Fail(win::DWORD error) {
  win::SetLastError(error);
  return false;
}

// Whether the opens of a node admit one more asking for `access` with share mode `share`.
bool Shareable(const Node& node, win::DWORD access, win::DWORD share) {
  return sim::ShareAllows(node.share, sim::ToDataAccess(access), share);
}

// Whether the caller may open `node`, named in `folder` (null for a volume root), for `access`.
// Security is checked for every open and every caller: LocalSystem and administrators have what
// the lists give them. FILE_FLAG_BACKUP_SEMANTICS and FILE_OPEN_FOR_BACKUP_INTENT bypass a list
// only with the backup and restore privileges enabled, which no program here does.
bool Permitted(const Node& node, const Node* folder, win::DWORD access) {
  return sim::AccessAllowed(node.security, folder != nullptr ? &folder->security : nullptr,
                            sim::CurrentToken(), access);
}

// Whether the caller may make a file, or a folder, in `folder`.
bool MayAdd(const Node& folder, bool directory) {
  return sim::AccessAllowed(folder.security, sim::CurrentToken(),
                            directory ? win::FILE_ADD_SUBDIRECTORY : win::FILE_ADD_FILE);
}

// A rename or a new link opens the folder it goes to, as the I/O manager does before the file
// system sees the request: for adding a file (a folder, when one is moved), sharing read and
// write. 0, or why that open fails.
win::DWORD OpenTargetFolder(const Node& folder, bool directory) {
  if (!MayAdd(folder, directory)) return win::ERROR_ACCESS_DENIED;
  const win::DWORD access = directory ? win::FILE_ADD_SUBDIRECTORY : win::FILE_ADD_FILE;
  if (!Shareable(folder, access, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE)) {
    return win::ERROR_SHARING_VIOLATION;
  }
  return 0;
}

bool IsAncestor(const Node& ancestor, std::shared_ptr<Node> node) {
  while (node) {
    if (node.get() == &ancestor) return true;
    node = node->parent.lock();
  }
  return false;
}

void FillFindData(const Node& node, std::u16string_view name, win::WIN32_FIND_DATAW& data) {
  data = win::WIN32_FIND_DATAW{};
  data.dwFileAttributes = node.Attributes();
  data.nFileSizeHigh = static_cast<win::DWORD>(node.Size() >> 32);
  data.nFileSizeLow = static_cast<win::DWORD>(node.Size());
  // Windows reports the reparse tag of a reparse point here.
  if (!node.reparse.empty()) data.dwReserved0 = node.ReparseTag();
  const std::size_t length = std::min<std::size_t>(name.size(), win::MAX_PATH - 1);
  name.substr(0, length).copy(data.cFileName, length);
  data.cFileName[length] = u'\0';
}

// Case-insensitive match with '*' and '?'.
bool WildcardMatch(std::u16string_view pattern, std::u16string_view name) {
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t star = std::u16string_view::npos;
  std::size_t resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() &&
        (pattern[p] == u'?' || sim::EqualsIgnoreCase(pattern.substr(p, 1), name.substr(n, 1)))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      resume = n;
    } else if (star != std::u16string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

// As the DOS-compatible matcher: a pattern ending in ".*" also matches names without a dot.
bool NameMatches(std::u16string_view pattern, std::u16string_view name) {
  if (WildcardMatch(pattern, name)) return true;
  if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == u".*") {
    return name.find(u'.') == std::u16string_view::npos &&
           WildcardMatch(pattern.substr(0, pattern.size() - 2), name);
  }
  return false;
}

// Checks a reparse record as the file system does before storing it.
win::DWORD ValidateReparseRecord(const std::uint8_t* record, win::DWORD size) {
  using namespace reparse;
  if (record == nullptr || size < kHeaderSize) return win::ERROR_INSUFFICIENT_BUFFER;
  if (size > win::MAXIMUM_REPARSE_DATA_BUFFER_SIZE) return win::ERROR_INVALID_REPARSE_DATA;
  const win::DWORD tag = Get32(record, kTagAt);
  if (tag == 0 || tag == 1) return win::ERROR_REPARSE_TAG_INVALID;
  const bool microsoft = (tag & 0x80000000u) != 0;
  const std::size_t header = microsoft ? kHeaderSize : kGuidHeaderSize;
  if (size < header) return win::ERROR_INVALID_REPARSE_DATA;
  const std::size_t dataLength = Get16(record, kDataLengthAt);
  if (header + dataLength != size) return win::ERROR_INVALID_REPARSE_DATA;
  if (tag == win::IO_REPARSE_TAG_MOUNT_POINT) {
    if (dataLength < kMountPointFieldsSize) return win::ERROR_INVALID_REPARSE_DATA;
    const std::size_t names = dataLength - kMountPointFieldsSize;
    const std::size_t substituteLength = Get16(record, kSubstituteNameLengthAt);
    const std::size_t substituteEnd = Get16(record, kSubstituteNameOffsetAt) + substituteLength;
    const std::size_t printEnd = static_cast<std::size_t>(Get16(record, kPrintNameOffsetAt)) +
                                 Get16(record, kPrintNameLengthAt);
    if (substituteEnd > names || printEnd > names) return win::ERROR_INVALID_REPARSE_DATA;
    if (substituteLength == 0 || substituteLength % 2 != 0) return win::ERROR_INVALID_REPARSE_DATA;
  }
  return 0;
}

// \\.\X:, a drive letter's volume.
bool IsVolumeName(win::LPCWSTR name) {
  const std::u16string_view text = View(name);
  return text.size() == 6 && text.starts_with(u"\\\\.\\") && IsLetterForShell(text[4]) &&
         text[5] == u':';
}

// An open of the volume a drive letter names. Reading or writing it takes an administrator; any
// user may open it for attributes alone. A letter that names a folder (a mapped drive) opens that
// folder, which takes backup semantics.
win::HANDLE OpenVolume(char16_t letter, win::DWORD access, win::DWORD share, win::DWORD flags) {
  std::shared_ptr<Node> root;
  if (const win::DWORD error = Files().DriveRoot(letter, root)) {
    win::SetLastError(error);
    return win::INVALID_HANDLE_VALUE;
  }
  sim::Volume& volume = *root->volume;
  const bool denied = root != volume.root ? (flags & win::FILE_FLAG_BACKUP_SEMANTICS) == 0
                                          : sim::ToDataAccess(access).Any() &&
                                                !sim::CallerIsAdministrator();
  if (denied) {
    win::SetLastError(win::ERROR_ACCESS_DENIED);
    return win::INVALID_HANDLE_VALUE;
  }
  if (!volume.object) volume.object = Files().NewFile(volume, 0);
  if (!Shareable(*volume.object, access, share)) {
    win::SetLastError(win::ERROR_SHARING_VIOLATION);
    return win::INVALID_HANDLE_VALUE;
  }
  auto open = std::make_shared<sim::OpenFile>(volume.object, access, share, flags);
  open->wholeVolume = true;
  win::SetLastError(0);
  return sim::AddHandle(std::move(open));
}

bool CanWrite(const sim::OpenFile& file) {
  return (file.access & (win::GENERIC_WRITE | win::GENERIC_ALL | win::FILE_WRITE_DATA |
                         win::FILE_WRITE_ATTRIBUTES)) != 0;
}

}  // namespace

namespace win {

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, void* securityAttributes,
                   DWORD disposition, DWORD flags, HANDLE /*templateFile*/) {
  if (sim::Intercept("CreateFileW")) return INVALID_HANDLE_VALUE;
  sim::Guard guard(sim::Lock());
  if (name == nullptr || *name == u'\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (IsVolumeName(name)) return OpenVolume(name[4], access, share, flags);
  Location at;
  if (!ResolveOrFail(name, (flags & FILE_FLAG_OPEN_REPARSE_POINT) == 0, at)) {
    return INVALID_HANDLE_VALUE;
  }
  std::shared_ptr<Node> node = at.node;
  DWORD successCode = ERROR_SUCCESS;
  if (node && at.deletePending) {
    // STATUS_DELETE_PENDING, whatever the disposition: the name cannot be opened or reused
    // until the last handle closes.
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (node) {
    if (disposition == CREATE_NEW) {
      SetLastError(ERROR_FILE_EXISTS);
      return INVALID_HANDLE_VALUE;
    }
    if (node->directory) {
      if ((flags & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
      }
      if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
        SetLastError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
      }
    } else {
      if (at.trailingSeparator) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
      }
      const bool overwrite = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
      if ((node->attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
          (sim::ToDataAccess(access).write || overwrite)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
      }
    }
    // Overwriting an existing file takes the right to write its data, asked for or not.
    const bool overwrite =
        !node->directory && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
    if (!Permitted(*node, at.parent.get(), access | (overwrite ? FILE_WRITE_DATA : 0))) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    if (!Shareable(*node, access, share)) {
      SetLastError(ERROR_SHARING_VIOLATION);
      return INVALID_HANDLE_VALUE;
    }
    if (!node->directory && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING)) {
      node->content.clear();
      node->unflushed = true;
    }
    if (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) {
      successCode = ERROR_ALREADY_EXISTS;
    }
  } else {
    if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    if (at.trailingSeparator || at.parent == nullptr) {
      SetLastError(ERROR_INVALID_NAME);
      return INVALID_HANDLE_VALUE;
    }
    if (!MayAdd(*at.parent, false)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    sim::FileSecurity security;
    if (const DWORD refused =
            sim::SecurityForNewObject(securityAttributes, at.parent->security, false, security)) {
      SetLastError(refused);
      return INVALID_HANDLE_VALUE;
    }
    node = Files().NewFile(*at.volume, (flags & kCreatableAttributes) | FILE_ATTRIBUTE_ARCHIVE);
    node->security = std::move(security);
    node->secured = true;
    FileSystem::Link(at.parent, at.name, node);
  }
  auto open = std::make_shared<sim::OpenFile>(node, access, share, flags);
  if (at.parent) {
    const auto entry = at.parent->children.find(sim::Upper(at.name));
    if (entry != at.parent->children.end() && entry->second.node == node) {
      open->openedFolder = at.parent;
      open->openedKey = entry->first;
    }
  }
  open->inheritable =
      securityAttributes != nullptr &&
      static_cast<SECURITY_ATTRIBUTES*>(securityAttributes)->bInheritHandle != FALSE;
  HANDLE handle = sim::AddHandle(std::move(open));
  SetLastError(successCode);
  return handle;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, void* /*overlapped*/) {
  if (sim::Intercept("ReadFile")) return FALSE;
  sim::Guard guard(sim::Lock());
  auto open = sim::FindHandleAs<sim::OpenFile>(file);
  if (!open) return Fail(ERROR_INVALID_HANDLE);
  if (read == nullptr || (buffer == nullptr && toRead > 0)) return Fail(ERROR_INVALID_PARAMETER);
  *read = 0;
  if (!sim::ToDataAccess(open->access).read) return Fail(ERROR_ACCESS_DENIED);
  if (open->node->directory) return Fail(ERROR_INVALID_FUNCTION);
  const std::string& content = open->node->content;
  if (open->position >= content.size()) return TRUE;  // end of file: success, nothing read
  const std::size_t count =
      std::min<std::size_t>(toRead, content.size() - static_cast<std::size_t>(open->position));
  std::memcpy(buffer, content.data() + open->position, count);
  open->position += count;
  *read = static_cast<DWORD>(count);
  return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written,
               void* /*overlapped*/) {
  if (sim::Intercept("WriteFile")) return FALSE;
  sim::Guard guard(sim::Lock());
  if (const auto stream = sim::StandardStreamOf(file);
      stream == sim::StandardStream::Output || stream == sim::StandardStream::Error) {
    if (written == nullptr || (buffer == nullptr && toWrite > 0)) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    sim::WriteStandardStream(sim::State(), stream,
                             std::string_view(static_cast<const char*>(buffer), toWrite));
    *written = toWrite;
    return TRUE;
  }
  auto open = sim::FindHandleAs<sim::OpenFile>(file);
  if (!open) return Fail(ERROR_INVALID_HANDLE);
  if (written == nullptr || (buffer == nullptr && toWrite > 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  *written = 0;
  if (!sim::ToDataAccess(open->access).write) return Fail(ERROR_ACCESS_DENIED);
  if (open->node->directory) return Fail(ERROR_INVALID_FUNCTION);
  std::string& content = open->node->content;
  const std::size_t at = static_cast<std::size_t>(open->position);
  if (content.size() < at + toWrite) content.resize(at + toWrite, '\0');
  if (toWrite > 0) std::memcpy(content.data() + at, buffer, toWrite);
  open->node->unflushed = true;
  open->position += toWrite;
  *written = toWrite;
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  if (sim::Intercept("FlushFileBuffers")) return FALSE;
  sim::Guard guard(sim::Lock());
  auto open = sim::FindHandleAs<sim::OpenFile>(file);
  if (!open) return Fail(ERROR_INVALID_HANDLE);
  // Flushing writes the file's data out, which takes the right to write it.
  if (!sim::ToDataAccess(open->access).write) return Fail(ERROR_ACCESS_DENIED);
  // A volume's flush writes out every file's data and the volume's log.
  if (open->wholeVolume) {
    FileSystem::FlushVolume(*open->node->volume);
    return TRUE;
  }
  // The file's own data and metadata, as NtFlushBuffersFileEx documents it; nothing says it
  // writes out the volume's log of other changes, so they stay as they were (only a rename
  // written through is documented to be on the disk when it returns).
  open->node->durable = open->node->content;
  open->node->unflushed = false;
  return TRUE;
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  if (sim::Intercept("GetFileInformationByHandle")) return FALSE;
  sim::Guard guard(sim::Lock());
  auto open = sim::FindHandleAs<sim::OpenFile>(file);
  if (!open) return Fail(ERROR_INVALID_HANDLE);
  if (info == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const Node& node = *open->node;
  *info = BY_HANDLE_FILE_INFORMATION{};
  info->dwFileAttributes = node.Attributes();
  info->dwVolumeSerialNumber = node.volume->serial;
  info->nFileSizeHigh = static_cast<DWORD>(node.Size() >> 32);
  info->nFileSizeLow = static_cast<DWORD>(node.Size());
  info->nNumberOfLinks = node.links;
  info->nFileIndexHigh = static_cast<DWORD>(node.index >> 32);
  info->nFileIndexLow = static_cast<DWORD>(node.index);
  return TRUE;
}

BOOL GetFileInformationByHandleEx(HANDLE file, DWORD infoClass, void* info, DWORD size) {
  if (sim::Intercept("GetFileInformationByHandleEx")) return FALSE;
  sim::Guard guard(sim::Lock());
  auto open = sim::FindHandleAs<sim::OpenFile>(file);
  if (!open) return Fail(ERROR_INVALID_HANDLE);
  // The one class the programs ask for; NTFS and ReFS answer it, FAT does not.
  if (infoClass != FileIdInfo || info == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (size < sizeof(FILE_ID_INFO)) return Fail(ERROR_BAD_LENGTH);
  const Node& node = *open->node;
  FILE_ID_INFO id{};
  id.VolumeSerialNumber = node.volume->serial;
  for (std::size_t i = 0; i < 8; ++i)
    id.FileId[i] = static_cast<std::uint8_t>(node.index >> (8 * i));
  std::memcpy(info, &id, sizeof id);
  return TRUE;
}

BOOL SetFileInformationByHandle(HANDLE file, DWORD infoClass, void* info, DWORD size) {
  if (sim::Intercept("SetFileInformationByHandle")) return FALSE;
  sim::Guard guard(sim::Lock());
  auto open = sim::FindHandleAs<sim::OpenFile>(file);
  if (!open) return Fail(ERROR_INVALID_HANDLE);
  // The one class the programs set.
  if (infoClass != FileDispositionInfo || info == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (size < sizeof(FILE_DISPOSITION_INFO)) return Fail(ERROR_BAD_LENGTH);
  if ((open->access & (DELETE | GENERIC_ALL)) == 0) return Fail(ERROR_ACCESS_DENIED);
  Node& node = *open->node;
  const auto folder = open->openedFolder.lock();
  if (static_cast<const FILE_DISPOSITION_INFO*>(info)->DeleteFile == 0) {
    // The pending delete is the file's, not the handle's: any handle takes back one that another
    // handle, or DeleteFileW, asked for (of the name it was opened by).
    if (folder) FileSystem::CancelDelete(folder, open->openedKey, open->node);
    return TRUE;
  }
  // A volume root has no name to delete; STATUS_CANNOT_DELETE for a read-only file.
  if (!folder || (node.attributes & FILE_ATTRIBUTE_READONLY) != 0) return Fail(ERROR_ACCESS_DENIED);
  const auto entry = folder->children.find(open->openedKey);
  if (entry == folder->children.end() || entry->second.node != open->node) {
    return Fail(ERROR_FILE_NOT_FOUND);
  }
  if (node.directory && !node.children.empty()) return Fail(ERROR_DIR_NOT_EMPTY);
  // The name goes when the last handle closes, this one included, on every version.
  FileSystem::DeleteName(folder, open->openedKey, sim::DeleteSemantics::Classic);
  return TRUE;
}

// One name below a directory handle, as the programs use it. A name of several components and a
// link at the name followed (no FILE_OPEN_REPARSE_POINT) are not simulated: they answer
// STATUS_NOT_SUPPORTED, so that a use of them shows. For NtCreateFile, FailNext's code is the
// status returned.
NTSTATUS NtCreateFile(HANDLE* file, DWORD access, OBJECT_ATTRIBUTES* attributes,
                      IO_STATUS_BLOCK* status, std::int64_t* /*allocationSize*/,
                      ULONG fileAttributes, ULONG share, ULONG disposition, ULONG options,
                      void* /*ea*/, ULONG /*eaLength*/) {
  if (auto injected = sim::Intercept("NtCreateFile")) return static_cast<NTSTATUS>(*injected);
  constexpr auto kInvalidHandle = static_cast<NTSTATUS>(0xC0000008);
  constexpr auto kInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
  constexpr auto kAccessDenied = static_cast<NTSTATUS>(0xC0000022);
  constexpr auto kNameInvalid = static_cast<NTSTATUS>(0xC0000033);
  constexpr auto kNameNotFound = static_cast<NTSTATUS>(0xC0000034);
  constexpr auto kNameCollision = static_cast<NTSTATUS>(0xC0000035);
  constexpr auto kSharingViolation = static_cast<NTSTATUS>(0xC0000043);
  constexpr auto kDeletePending = static_cast<NTSTATUS>(0xC0000056);
  constexpr auto kFileIsADirectory = static_cast<NTSTATUS>(0xC00000BA);
  constexpr auto kNotSupported = static_cast<NTSTATUS>(0xC00000BB);
  constexpr auto kNotADirectory = static_cast<NTSTATUS>(0xC0000103);
  constexpr auto kInvalidOwner = static_cast<NTSTATUS>(0xC000005A);
  constexpr auto kInvalidSecurityDescriptor = static_cast<NTSTATUS>(0xC0000079);
  sim::Guard guard(sim::Lock());
  if (file == nullptr || attributes == nullptr || status == nullptr ||
      attributes->ObjectName == nullptr || disposition < FILE_OPEN || disposition > FILE_OPEN_IF) {
    return kInvalidParameter;
  }
  auto root = sim::FindHandleAs<sim::OpenFile>(attributes->RootDirectory);
  if (!root) return kInvalidHandle;
  if (!root->node->directory) return kInvalidParameter;
  const std::u16string_view name(attributes->ObjectName->Buffer,
                                 attributes->ObjectName->Length / sizeof(WCHAR));
  if (name.find(u'\\') != std::u16string_view::npos) return kNotSupported;
  if (name.empty() || name == u"." || name == u".." ||
      name.find_first_of(u"*?<>|\":/") != std::u16string_view::npos) {
    return kNameInvalid;
  }
  const std::shared_ptr<Node>& folder = root->node;
  auto entry = folder->children.find(sim::Upper(name));
  std::shared_ptr<Node> node;
  if (entry != folder->children.end()) {
    node = entry->second.node;
    if (entry->second.deletePending) return kDeletePending;
    if (disposition == FILE_CREATE) return kNameCollision;
    if (!node->reparse.empty() && (options & FILE_OPEN_REPARSE_POINT) == 0) return kNotSupported;
    if (node->directory && (options & FILE_NON_DIRECTORY_FILE) != 0) return kFileIsADirectory;
    if (!node->directory && (options & FILE_DIRECTORY_FILE) != 0) return kNotADirectory;
    if ((node->attributes & FILE_ATTRIBUTE_READONLY) != 0 && sim::ToDataAccess(access).write) {
      return kAccessDenied;
    }
    if (!Permitted(*node, folder.get(), access)) return kAccessDenied;
    if (!Shareable(*node, access, share)) return kSharingViolation;
    status->Information = FILE_OPENED;
  } else {
    if (disposition == FILE_OPEN) return kNameNotFound;
    const bool directory = (options & FILE_DIRECTORY_FILE) != 0;
    if (!MayAdd(*folder, directory)) return kAccessDenied;
    sim::FileSecurity security;
    // The descriptor given in the object's attributes, as CreateFileW's security attributes.
    const SECURITY_ATTRIBUTES given{sizeof given, attributes->SecurityDescriptor, FALSE};
    if (const DWORD refused =
            sim::SecurityForNewObject(&given, folder->security, directory, security)) {
      return refused == ERROR_INVALID_OWNER ? kInvalidOwner : kInvalidSecurityDescriptor;
    }
    node = directory ? Files().NewDirectory(*folder->volume, folder)
                     : Files().NewFile(*folder->volume, (fileAttributes & kCreatableAttributes) |
                                                            FILE_ATTRIBUTE_ARCHIVE);
    node->security = std::move(security);
    node->secured = true;
    FileSystem::Link(folder, std::u16string(name), node);
    entry = folder->children.find(sim::Upper(name));
    status->Information = FILE_CREATED;
  }
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS |
                      ((options & FILE_OPEN_REPARSE_POINT) != 0 ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  auto open = std::make_shared<sim::OpenFile>(node, access, share, flags);
  open->openedFolder = folder;
  open->openedKey = entry->first;
  *file = sim::AddHandle(std::move(open));
  status->Status = STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

// A new name for an open file, one name below a directory handle (FileLinkInformation only).
// With ReplaceIfExists an existing file of that name is superseded in one step, unless anyone has
// it open or it is a directory; a name of several components, or no root, is not simulated
// (STATUS_NOT_SUPPORTED). For NtSetInformationFile, FailNext's code is the status returned.
NTSTATUS NtSetInformationFile(HANDLE file, IO_STATUS_BLOCK* status, void* info, ULONG length,
                              ULONG infoClass) {
  if (auto injected = sim::Intercept("NtSetInformationFile")) {
    return static_cast<NTSTATUS>(*injected);
  }
  constexpr auto kInvalidHandle = static_cast<NTSTATUS>(0xC0000008);
  constexpr auto kInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
  constexpr auto kAccessDenied = static_cast<NTSTATUS>(0xC0000022);
  constexpr auto kNameInvalid = static_cast<NTSTATUS>(0xC0000033);
  constexpr auto kNameCollision = static_cast<NTSTATUS>(0xC0000035);
  constexpr auto kDeletePending = static_cast<NTSTATUS>(0xC0000056);
  constexpr auto kFileIsADirectory = static_cast<NTSTATUS>(0xC00000BA);
  constexpr auto kSharingViolation = static_cast<NTSTATUS>(0xC0000043);
  constexpr auto kNotSupported = static_cast<NTSTATUS>(0xC00000BB);
  constexpr auto kNotSameDevice = static_cast<NTSTATUS>(0xC00000D4);
  constexpr auto kTooManyLinks = static_cast<NTSTATUS>(0xC0000265);
  sim::Guard guard(sim::Lock());
  const auto* link = static_cast<const FILE_LINK_INFORMATION*>(info);
  if (status == nullptr || link == nullptr || infoClass != FileLinkInformation ||
      length < offsetof(FILE_LINK_INFORMATION, FileName) + link->FileNameLength) {
    return kInvalidParameter;
  }
  auto source = sim::FindHandleAs<sim::OpenFile>(file);
  if (!source) return kInvalidHandle;
  if (link->RootDirectory == nullptr) return kNotSupported;
  auto root = sim::FindHandleAs<sim::OpenFile>(link->RootDirectory);
  if (!root) return kInvalidHandle;
  if (!root->node->directory) return kInvalidParameter;
  const std::u16string_view name(link->FileName, link->FileNameLength / sizeof(WCHAR));
  if (name.find(u'\\') != std::u16string_view::npos) return kNotSupported;
  if (name.empty() || name == u"." || name == u".." ||
      name.find_first_of(u"*?<>|\":/") != std::u16string_view::npos) {
    return kNameInvalid;
  }
  const std::shared_ptr<Node>& moving = source->node;
  if (moving->directory) return kFileIsADirectory;
  if (moving->volume != root->node->volume) return kNotSameDevice;
  // The folder is opened anew for adding the name (the root handle's own access is not what
  // counts), so its list and the share modes of its opens decide.
  if (const DWORD refused = OpenTargetFolder(*root->node, false)) {
    return refused == ERROR_SHARING_VIOLATION ? kSharingViolation : kAccessDenied;
  }
  auto entry = root->node->children.find(sim::Upper(name));
  if (entry != root->node->children.end()) {
    if (entry->second.node == moving) return STATUS_SUCCESS;  // already a name of the file
    if (!link->ReplaceIfExists) return kNameCollision;
    if (entry->second.deletePending) return kDeletePending;
    const Node& replaced = *entry->second.node;
    // Superseding a name deletes it, which takes the right to delete it.
    if (replaced.directory || replaced.handles > 0 ||
        (replaced.attributes & FILE_ATTRIBUTE_READONLY) != 0 ||
        !Permitted(replaced, root->node.get(), DELETE)) {
      return kAccessDenied;
    }
  }
  if (moving->links >= kMaxLinks) return kTooManyLinks;
  if (entry != root->node->children.end()) FileSystem::Unlink(root->node, entry->second.name);
  FileSystem::Link(root->node, std::u16string(name), moving);
  status->Status = STATUS_SUCCESS;
  status->Information = 0;
  return STATUS_SUCCESS;
}

ULONG RtlNtStatusToDosError(NTSTATUS status) {
  // The statuses NtCreateFile and NtSetInformationFile answer here, as Windows maps them.
  constexpr std::pair<std::uint32_t, ULONG> kCodes[] = {
      {0, ERROR_SUCCESS},
      {0xC0000008, ERROR_INVALID_HANDLE},
      {0xC000000D, ERROR_INVALID_PARAMETER},
      {0xC0000022, ERROR_ACCESS_DENIED},
      {0xC0000033, ERROR_INVALID_NAME},
      {0xC0000034, ERROR_FILE_NOT_FOUND},
      {0xC0000035, ERROR_ALREADY_EXISTS},
      {0xC000003A, ERROR_PATH_NOT_FOUND},
      {0xC0000043, ERROR_SHARING_VIOLATION},
      {0xC0000056, ERROR_ACCESS_DENIED},  // delete pending
      {0xC000005A, ERROR_INVALID_OWNER},
      {0xC0000079, ERROR_INVALID_SECURITY_DESCR},
      {0xC00000BA, ERROR_ACCESS_DENIED},  // a directory where a file is asked for
      {0xC00000BB, ERROR_NOT_SUPPORTED},
      {0xC00000D4, ERROR_NOT_SAME_DEVICE},
      {0xC0000265, ERROR_TOO_MANY_LINKS},
      {0xC0000103, ERROR_DIRECTORY}};
  for (const auto& [known, code] : kCodes) {
    if (static_cast<std::uint32_t>(status) == known) return code;
  }
  return 317;  // ERROR_MR_MID_NOT_FOUND
}

BOOL GetFileSizeEx(HANDLE file, std::int64_t* size) {
  if (sim::Intercept("GetFileSizeEx")) return FALSE;
  sim::Guard guard(sim::Lock());
  auto open = sim::FindHandleAs<sim::OpenFile>(file);
  if (!open) return Fail(ERROR_INVALID_HANDLE);
  if (size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *size = static_cast<std::int64_t>(open->node->Size());
  return TRUE;
}

BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                     DWORD* returned, void* /*overlapped*/) {
  if (sim::Intercept("DeviceIoControl")) return FALSE;
  sim::Guard guard(sim::Lock());
  auto open = sim::FindHandleAs<sim::OpenFile>(device);
  if (!open) return Fail(ERROR_INVALID_HANDLE);
  if (returned != nullptr) *returned = 0;
  Node& node = *open->node;
  const auto* input = static_cast<const std::uint8_t*>(in);
  switch (code) {
    case FSCTL_SET_REPARSE_POINT: {
      if (!CanWrite(*open)) return Fail(ERROR_ACCESS_DENIED);
      if (auto error = ValidateReparseRecord(input, inSize)) return Fail(error);
      const DWORD tag = reparse::Get32(input, reparse::kTagAt);
      if (!node.reparse.empty() && node.ReparseTag() != tag) {
        return Fail(ERROR_REPARSE_TAG_MISMATCH);
      }
      if (tag == IO_REPARSE_TAG_MOUNT_POINT) {
        if (!node.directory) return Fail(ERROR_DIRECTORY);
        if (!node.children.empty()) return Fail(ERROR_DIR_NOT_EMPTY);
      }
      FileSystem::SetReparse(open->node, {input, input + inSize});
      return TRUE;
    }
    case FSCTL_GET_REPARSE_POINT: {
      if (node.reparse.empty()) return Fail(ERROR_NOT_A_REPARSE_POINT);
      if (out == nullptr || outSize < reparse::kHeaderSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
      const std::size_t count = std::min<std::size_t>(outSize, node.reparse.size());
      std::memcpy(out, node.reparse.data(), count);
      if (returned != nullptr) *returned = static_cast<DWORD>(count);
      // A partial record is handed out with ERROR_MORE_DATA, as NTFS does.
      if (count < node.reparse.size()) return Fail(ERROR_MORE_DATA);
      return TRUE;
    }
    case FSCTL_DELETE_REPARSE_POINT: {
      if (!CanWrite(*open)) return Fail(ERROR_ACCESS_DENIED);
      if (input == nullptr || inSize < reparse::kHeaderSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
      if ((inSize != reparse::kHeaderSize && inSize != reparse::kGuidHeaderSize) ||
          reparse::Get16(input, reparse::kDataLengthAt) != 0) {
        return Fail(ERROR_INVALID_REPARSE_DATA);
      }
      if (node.reparse.empty()) return Fail(ERROR_NOT_A_REPARSE_POINT);
      if (node.ReparseTag() != reparse::Get32(input, reparse::kTagAt))
        return Fail(ERROR_REPARSE_TAG_MISMATCH);
      FileSystem::SetReparse(open->node, {});
      return TRUE;
    }
    default:
      return Fail(ERROR_INVALID_FUNCTION);
  }
}

DWORD GetFileAttributesW(LPCWSTR name) {
  if (sim::Intercept("GetFileAttributesW")) return INVALID_FILE_ATTRIBUTES;
  sim::Guard guard(sim::Lock());
  Location at;
  if (!ResolveOrFail(name, false, at)) return INVALID_FILE_ATTRIBUTES;
  if (!at.node) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  // Windows opens the file to read its attributes, which a delete-pending file refuses.
  if (at.deletePending) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (at.trailingSeparator && !at.node->directory) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_FILE_ATTRIBUTES;
  }
  return at.node->Attributes();
}

BOOL DeleteFileW(LPCWSTR name) {
  if (sim::Intercept("DeleteFileW")) return FALSE;
  sim::Guard guard(sim::Lock());
  Location at;
  if (!ResolveOrFail(name, false, at)) return FALSE;
  if (!at.node) return Fail(ERROR_FILE_NOT_FOUND);
  if (at.node->directory) return Fail(ERROR_ACCESS_DENIED);
  if (at.trailingSeparator) return Fail(ERROR_INVALID_NAME);
  if (at.deletePending) return Fail(ERROR_ACCESS_DENIED);
  // The file is opened for DELETE, which its list or its folder's FILE_DELETE_CHILD grants.
  if (!Permitted(*at.node, at.parent.get(), DELETE)) return Fail(ERROR_ACCESS_DENIED);
  if ((at.node->attributes & FILE_ATTRIBUTE_READONLY) != 0) return Fail(ERROR_ACCESS_DENIED);
  if (!Shareable(*at.node, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
    return Fail(ERROR_SHARING_VIOLATION);
  }
  // As the volume deletes: at once (POSIX semantics), or pending until the last handle closes.
  FileSystem::DeleteName(at.parent, at.name, at.parent->volume->deletes);
  return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR name, void* securityAttributes) {
  if (sim::Intercept("CreateDirectoryW")) return FALSE;
  sim::Guard guard(sim::Lock());
  Location at;
  if (!ResolveOrFail(name, true, at)) return FALSE;
  // A directory must leave room for an 8.3 name below it: MAX_PATH - 12 with the NUL, so a
  // full path of 248 characters or more is refused, unless given as \\?\.
  if (!at.verbatim &&
      sim::FullPathName(View(name), CurrentDirectory()).size() + 1 > MAX_PATH - kShortNameRoom) {
    return Fail(ERROR_FILENAME_EXCED_RANGE);
  }
  if (at.node) return Fail(ERROR_ALREADY_EXISTS);
  if (!at.parent) return Fail(ERROR_ACCESS_DENIED);
  if (!MayAdd(*at.parent, true)) return Fail(ERROR_ACCESS_DENIED);
  sim::FileSecurity security;
  if (const DWORD refused =
          sim::SecurityForNewObject(securityAttributes, at.parent->security, true, security)) {
    return Fail(refused);
  }
  auto directory = Files().NewDirectory(*at.volume, at.parent);
  directory->security = std::move(security);
  directory->secured = true;
  FileSystem::Link(at.parent, at.name, directory);
  return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR name) {
  if (sim::Intercept("RemoveDirectoryW")) return FALSE;
  sim::Guard guard(sim::Lock());
  if (name == nullptr || *name == u'\0') return Fail(ERROR_INVALID_NAME);
  Location at;
  if (!ResolveOrFail(name, false, at)) return FALSE;
  if (!at.node) return Fail(ERROR_FILE_NOT_FOUND);
  if (!at.node->directory) return Fail(ERROR_DIRECTORY);
  // A volume root; a name delete pending cannot be opened (STATUS_DELETE_PENDING).
  if (!at.parent || at.deletePending) return Fail(ERROR_ACCESS_DENIED);
  if (!Permitted(*at.node, at.parent.get(), DELETE)) return Fail(ERROR_ACCESS_DENIED);
  if (!at.node->children.empty()) return Fail(ERROR_DIR_NOT_EMPTY);
  if (!Shareable(*at.node, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
    return Fail(ERROR_SHARING_VIOLATION);
  }
  // As DeleteFileW: Windows 10 removes a directory with POSIX semantics too.
  FileSystem::DeleteName(at.parent, at.name, at.parent->volume->deletes);
  return TRUE;
}

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR newName, DWORD flags) {
  if (sim::Intercept("MoveFileExW")) return FALSE;
  sim::Guard guard(sim::Lock());
  if (newName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  Location from;
  if (!ResolveOrFail(existing, false, from)) return FALSE;
  if (!from.node) return Fail(ERROR_FILE_NOT_FOUND);
  if (!from.parent || from.deletePending) return Fail(ERROR_ACCESS_DENIED);
  Location to;
  if (!ResolveOrFail(newName, false, to)) return FALSE;
  if (!to.parent) return Fail(ERROR_ACCESS_DENIED);
  std::shared_ptr<Node> moving = from.node;
  // The file is opened for DELETE, then the folder it goes to for adding it.
  if (!Permitted(*moving, from.parent.get(), DELETE)) return Fail(ERROR_ACCESS_DENIED);
  if (const DWORD refused = OpenTargetFolder(*to.parent, moving->directory)) return Fail(refused);

  if (to.node == moving) {
    // The same name in another case is a rename; another name of the same file stays as is.
    if (to.parent == from.parent && sim::EqualsIgnoreCase(to.name, from.name)) {
      FileSystem::Unlink(from.parent, from.name);
      FileSystem::Link(to.parent, to.name, moving);
      if ((flags & MOVEFILE_WRITE_THROUGH) != 0) FileSystem::WriteLog(*to.volume);
    }
    return TRUE;
  }
  if (!Shareable(*moving, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
    return Fail(ERROR_SHARING_VIOLATION);
  }
  if (to.node) {
    if ((flags & MOVEFILE_REPLACE_EXISTING) == 0) return Fail(ERROR_ALREADY_EXISTS);
    // Only a file replaces a file.
    if (to.node->directory || moving->directory) return Fail(ERROR_ACCESS_DENIED);
    if ((to.node->attributes & FILE_ATTRIBUTE_READONLY) != 0) return Fail(ERROR_ACCESS_DENIED);
    // The file system will not replace a file anyone has open, whatever the share mode or
    // access of that open.
    if (to.node->handles > 0) return Fail(ERROR_ACCESS_DENIED);
    // Replacing a file deletes it, which takes the right to delete it.
    if (!Permitted(*to.node, to.parent.get(), DELETE)) return Fail(ERROR_ACCESS_DENIED);
  }
  if (moving->directory && IsAncestor(*moving, to.parent)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (to.volume != from.volume) {
    if (moving->directory || (flags & MOVEFILE_COPY_ALLOWED) == 0) {
      return Fail(ERROR_NOT_SAME_DEVICE);
    }
    // Across volumes the move is a copy and a delete: a new file on the target volume.
    auto copy = Files().NewFile(*to.volume, moving->attributes);
    copy->content = moving->content;
    copy->unflushed = true;
    moving = copy;
  }
  if (to.node) FileSystem::Unlink(to.parent, to.name);
  FileSystem::Unlink(from.parent, from.name);
  FileSystem::Link(to.parent, to.name, moving);
  // Written through, the move is on the disk when it returns: the log of each volume it touched,
  // and so every change before it there, and a copy's data (a rename's data is the file's own).
  if ((flags & MOVEFILE_WRITE_THROUGH) != 0) {
    FileSystem::WriteLog(*from.volume);
    FileSystem::WriteLog(*to.volume);
    if (to.volume != from.volume) {
      moving->durable = moving->content;
      moving->unflushed = false;
    }
  }
  return TRUE;
}

HANDLE FindFirstFileW(LPCWSTR name, WIN32_FIND_DATAW* data) {
  if (sim::Intercept("FindFirstFileW")) return INVALID_HANDLE_VALUE;
  sim::Guard guard(sim::Lock());
  if (data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  Location at;
  if (auto error = Files().Resolve(View(name), CurrentDirectory(), false, at, true)) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  // A directory named with a trailing separator, or a bare root, has no entry to report.
  if (at.trailingSeparator || !at.parent) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // The search opens the folder for listing, which its list must grant.
  if (!Permitted(*at.parent, at.parent->parent.lock().get(), FILE_READ_DATA)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  auto search = std::make_shared<sim::FindSearch>();
  const bool wildcards = at.name.find_first_of(u"*?") != std::u16string::npos;
  if (!wildcards) {
    if (at.node) {
      auto entry = at.parent->children.find(sim::Upper(at.name));
      search->entries.emplace_back();
      FillFindData(*at.node, entry->second.name, search->entries.back());
    }
  } else {
    const Node& directory = *at.parent;
    if (directory.parent.lock()) {
      for (std::u16string_view dot : {std::u16string_view(u"."), std::u16string_view(u"..")}) {
        if (!NameMatches(at.name, dot)) continue;
        search->entries.emplace_back();
        FillFindData(directory, dot, search->entries.back());
      }
    }
    for (const auto& [key, entry] : directory.children) {
      if (!NameMatches(at.name, entry.name)) continue;
      search->entries.emplace_back();
      FillFindData(*entry.node, entry.name, search->entries.back());
    }
  }
  if (search->entries.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  *data = search->entries.front();
  return sim::AddHandle(search);
}

BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data) {
  if (sim::Intercept("FindNextFileW")) return FALSE;
  sim::Guard guard(sim::Lock());
  auto search = sim::FindHandleAs<sim::FindSearch>(find);
  if (!search) return Fail(ERROR_INVALID_HANDLE);
  if (data == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (search->next >= search->entries.size()) return Fail(ERROR_NO_MORE_FILES);
  *data = search->entries[search->next++];
  return TRUE;
}

BOOL FindClose(HANDLE find) {
  if (sim::Intercept("FindClose")) return FALSE;
  sim::Guard guard(sim::Lock());
  if (!sim::FindHandleAs<sim::FindSearch>(find)) return Fail(ERROR_INVALID_HANDLE);
  sim::RemoveHandle(find);
  return TRUE;
}

DWORD GetFullPathNameW(LPCWSTR name, DWORD size, LPWSTR buffer, LPWSTR* filePart) {
  if (sim::Intercept("GetFullPathNameW")) return 0;
  sim::Guard guard(sim::Lock());
  if (name == nullptr || *name == u'\0') {
    SetLastError(ERROR_INVALID_NAME);
    return 0;
  }
  const std::u16string full = sim::FullPathName(name, CurrentDirectory());
  if (buffer == nullptr || full.size() + 1 > size) {
    return static_cast<DWORD>(full.size() + 1);  // what it needs, NUL included
  }
  sim::CopyOut(full, buffer, size);
  if (filePart != nullptr) {
    const std::size_t slash = full.rfind(u'\\');
    const bool named =
        !full.empty() && full.back() != u'\\' && slash != std::u16string::npos && slash >= 2;
    *filePart = named ? buffer + slash + 1 : nullptr;
  }
  return static_cast<DWORD>(full.size());
}

BOOL GetVolumeInformationW(LPCWSTR root, LPWSTR volumeName, DWORD volumeNameSize,
                           DWORD* serialNumber, DWORD* maxComponentLength, DWORD* flags,
                           LPWSTR fileSystemName, DWORD fileSystemNameSize) {
  if (sim::Intercept("GetVolumeInformationW")) return FALSE;
  sim::Guard guard(sim::Lock());
  std::u16string path =
      root == nullptr ? CurrentDirectory().substr(0, 2) + u"\\" : std::u16string(root);
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND);
  // A verbatim drive root (\\?\C:\) names the same volume; anything longer is no root.
  if (path.rfind(u"\\\\?\\", 0) == 0) {
    path.erase(0, 4);
    if (path.size() < 3 || path[1] != u':' || path[2] != u'\\' || path.size() > 3) {
      return Fail(ERROR_DIR_NOT_ROOT);
    }
  }
  if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') return Fail(ERROR_BAD_NETPATH);
  if (path.back() != u'\\') return Fail(ERROR_INVALID_NAME);
  if (path.size() != 3 || path[1] != u':') return Fail(ERROR_DIR_NOT_ROOT);
  std::shared_ptr<Node> directory;
  if (auto error = Files().DriveRoot(path[0], directory)) return Fail(error);
  const sim::Volume& volume = *directory->volume;
  if (volumeName != nullptr && !sim::CopyOut(volume.label, volumeName, volumeNameSize)) {
    return Fail(ERROR_BAD_LENGTH);
  }
  if (fileSystemName != nullptr &&
      !sim::CopyOut(volume.fileSystem, fileSystemName, fileSystemNameSize)) {
    return Fail(ERROR_BAD_LENGTH);
  }
  if (serialNumber != nullptr) *serialNumber = volume.serial;
  if (maxComponentLength != nullptr) *maxComponentLength = 255;
  if (flags != nullptr) *flags = volume.flags;
  return TRUE;
}

namespace {

constexpr std::u16string_view kGlobalPrefix = u"Global\\";

// The set a device name is defined in: "Global\X:" names the global set from any session; a
// plain name, the caller's own set, which for LocalSystem is the global one.
sim::FileSystem::DeviceTable* DeviceSet(std::u16string_view& name, bool& global) {
  auto& files = Files();
  global = name.size() > kGlobalPrefix.size() &&
           sim::EqualsIgnoreCase(name.substr(0, kGlobalPrefix.size()), kGlobalPrefix);
  if (global) name.remove_prefix(kGlobalPrefix.size());
  const int session = sim::CallerLogonSession();
  if (!global && session == sim::kLocalSystemSession) global = true;
  return global ? &files.devices : &files.sessionDevices[session];
}

}  // namespace

BOOL DefineDosDeviceW(DWORD flags, LPCWSTR deviceName, LPCWSTR targetPath) {
  if (sim::Intercept("DefineDosDeviceW")) return FALSE;
  sim::Guard guard(sim::Lock());
  // A null name would be dereferenced by Windows; refuse it instead.
  if (deviceName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::u16string_view device(deviceName);
  // Windows and Wine refuse to define the empty name (ERROR_INVALID_NAME). Removing it is not
  // documented; Wine 8 reports success and then fails every later definition of the session
  // with ERROR_PATH_NOT_FOUND. The simulation refuses both, so a program that sends it is
  // seen failing here rather than trusted.
  if (device.empty()) return Fail(ERROR_INVALID_NAME);
  bool global = false;
  auto* devices = DeviceSet(device, global);
  if (device.empty() || device.find_first_of(u"\\/") != std::u16string_view::npos) {
    return Fail(ERROR_PATH_NOT_FOUND);
  }
  // The global set is the system's: only LocalSystem and administrators may change it (names
  // defined at boot are protected from anyone else).
  if (global && !sim::CallerIsAdministrator()) return Fail(ERROR_ACCESS_DENIED);
  const bool hasTarget = targetPath != nullptr && *targetPath != u'\0';
  std::u16string target;
  if (hasTarget) {
    // Stored as the NT path Windows makes of it: C:\x, \\?\C:\x and \??\C:\x as \??\C:\x,
    // \\server\share as \??\UNC\server\share.
    target = (flags & DDD_RAW_TARGET_PATH) != 0 ? std::u16string(targetPath)
                                                : sim::NtPathName(targetPath, CurrentDirectory());
  }
  const std::u16string key = sim::Upper(device);
  const int session = sim::CallerLogonSession();
  if ((flags & DDD_REMOVE_DEFINITION) == 0) {
    if (!hasTarget) return Fail(ERROR_PATH_NOT_FOUND);
    // Only the global set stacks: a session may not define a name it already sees, in its own
    // set or the global one. Windows documents the refusal, not its code.
    if (!global && Files().FindDevice(key, session) != nullptr) {
      return Fail(ERROR_ALREADY_EXISTS);
    }
    (*devices)[key].push_back(std::move(target));
    return TRUE;
  }
  // A session removes its own name; one it has not, it finds in the global set, which only an
  // administrator may change.
  auto it = devices->find(key);
  if (!global && (it == devices->end() || it->second.empty())) {
    if (Files().FindDevice(key, session) == nullptr) return Fail(ERROR_FILE_NOT_FOUND);
    if (!sim::CallerIsAdministrator()) return Fail(ERROR_ACCESS_DENIED);
    devices = &Files().devices;
    it = devices->find(key);
  }
  if (it == devices->end() || it->second.empty()) return Fail(ERROR_FILE_NOT_FOUND);
  auto& stack = it->second;
  auto match = stack.end();
  if (!hasTarget) {
    match = stack.end() - 1;
  } else {
    // The newest definition that matches: all of it, or its beginning without exact matching.
    for (auto candidate = stack.rbegin(); candidate != stack.rend(); ++candidate) {
      const bool same =
          (flags & DDD_EXACT_MATCH_ON_REMOVE) != 0
              ? sim::EqualsIgnoreCase(*candidate, target)
              : candidate->size() >= target.size() &&
                    sim::EqualsIgnoreCase(std::u16string_view(*candidate).substr(0, target.size()),
                                          target);
      if (same) {
        match = std::next(candidate).base();
        break;
      }
    }
    if (match == stack.end()) return Fail(ERROR_FILE_NOT_FOUND);
  }
  stack.erase(match);
  if (stack.empty()) devices->erase(it);
  return TRUE;
}

DWORD QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD size) {
  if (sim::Intercept("QueryDosDeviceW")) return 0;
  sim::Guard guard(sim::Lock());
  const auto& files = Files();
  const int session = sim::CallerLogonSession();
  std::vector<std::u16string> items;
  if (deviceName == nullptr || *deviceName == u'\0') {
    // Every name the caller sees: LocalSystem the global ones, anyone else its own as well.
    std::set<std::u16string> names;
    for (const auto& [name, definitions] : files.devices) names.insert(name);
    if (auto own = files.sessionDevices.find(session); own != files.sessionDevices.end()) {
      for (const auto& [name, definitions] : own->second) names.insert(name);
    }
    items.assign(names.begin(), names.end());
  } else {
    std::u16string_view device(deviceName);
    bool global = false;
    DeviceSet(device, global);
    const std::u16string key = sim::Upper(device);
    const auto* found = global ? nullptr : files.FindDevice(key, session);
    if (global) {
      auto it = files.devices.find(key);
      if (it != files.devices.end() && !it->second.empty()) found = &it->second;
    }
    if (found == nullptr) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return 0;
    }
    items.assign(found->rbegin(), found->rend());
  }
  std::u16string list;
  for (const auto& item : items) {
    list += item;
    list += u'\0';
  }
  list += u'\0';
  if (targetPath == nullptr || list.size() > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  list.copy(targetPath, list.size());
  return static_cast<DWORD>(list.size());
}

BOOL PathIsUNCW(LPCWSTR path) {
  if (sim::Intercept("PathIsUNCW")) return FALSE;
  const std::u16string_view text = View(path);
  if (text.substr(0, 8) == u"\\\\?\\UNC\\") return TRUE;
  if (text.substr(0, 4) == u"\\\\?\\") return FALSE;
  return text.substr(0, 2) == u"\\\\" ? TRUE : FALSE;
}

BOOL PathStripToRootW(LPWSTR path) {
  if (sim::Intercept("PathStripToRootW")) return FALSE;
  if (path == nullptr) return FALSE;
  std::u16string_view text(path);
  auto cut = [&](std::size_t length) { path[length] = u'\0'; };
  if (text.substr(0, 4) == u"\\\\?\\") {
    // A verbatim drive path keeps its drive; other verbatim forms keep the prefix's first name.
    const std::u16string_view rest = text.substr(4);
    if (rest.size() >= 3 && IsLetterForShell(rest[0]) && rest[1] == u':' && rest[2] == u'\\') {
      cut(7);
      return FALSE;
    }
    const std::size_t end = text.find(u'\\', 4);
    if (end != std::u16string_view::npos) cut(end);
    return TRUE;
  }
  if (text.substr(0, 2) == u"\\\\") {
    // \\server\share is the root of a UNC path.
    std::size_t server = text.find(u'\\', 2);
    if (server == std::u16string_view::npos) return TRUE;
    std::size_t share = text.find(u'\\', server + 1);
    if (share != std::u16string_view::npos) cut(share);
    return TRUE;
  }
  if (text.size() >= 2 && text[1] == u':') {
    if (text.size() >= 3 && text[2] == u'\\') {
      cut(3);
      return TRUE;
    }
    cut(2);
    return FALSE;
  }
  if (!text.empty() && text[0] == u'\\') {
    cut(1);
    return TRUE;
  }
  cut(0);
  return FALSE;
}

}  // namespace win
