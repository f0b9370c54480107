#include "platform/sim/FileSystem.h"

#include "platform/ReparseRecord.h"
#include "platform/sim/Security.h"

namespace sim {
namespace {

// Reparse points chained deeper than this are refused, as NTFS refuses loops.
constexpr int kMaxReparseDepth = 31;

bool IsLetter(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

bool StartsWithIgnoreCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::vector<std::u16string> SplitNames(std::u16string_view path) {
  std::vector<std::u16string> names;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > start) names.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

// Characters no file name may hold; wildcards only where a search pattern is expected.
bool ValidName(std::u16string_view name, bool wildcards) {
  for (char16_t c : name) {
    if (c < 0x20) return false;
    switch (c) {
      case u'<':
      case u'>':
      case u'"':
      case u'|':
      case u':':
        return false;
      case u'*':
      case u'?':
        if (!wildcards) return false;
        break;
      default:
        break;
    }
  }
  return true;
}

std::u16string RootOf(std::u16string_view currentDirectory) {
  if (currentDirectory.size() >= 2 && currentDirectory[1] == u':') {
    return std::u16string(currentDirectory.substr(0, 2)) + u"\\";
  }
  return u"C:\\";
}

}  // namespace

DataAccess ToDataAccess(win::DWORD access) {
  DataAccess result;
  result.read = (access & (win::GENERIC_READ | win::GENERIC_EXECUTE | win::GENERIC_ALL |
                           win::FILE_READ_DATA | win::FILE_EXECUTE)) != 0;
  result.write = (access & (win::GENERIC_WRITE | win::GENERIC_ALL | win::FILE_WRITE_DATA |
                            win::FILE_APPEND_DATA)) != 0;
  result.del = (access & (win::DELETE | win::GENERIC_ALL)) != 0;
  return result;
}

win::DWORD Node::Attributes() const {
  win::DWORD result = attributes;
  if (directory) result |= win::FILE_ATTRIBUTE_DIRECTORY;
  if (!reparse.empty()) result |= win::FILE_ATTRIBUTE_REPARSE_POINT;
  if (result == 0) result = win::FILE_ATTRIBUTE_NORMAL;
  return result;
}

win::DWORD Node::ReparseTag() const {
  if (reparse.size() < reparse::kHeaderSize) return 0;
  return reparse::Get32(reparse.data(), reparse::kTagAt);
}

bool ShareAllows(const ShareState& share, DataAccess access, win::DWORD shareMode) {
  if (!access.Any()) return true;
  const bool sharedRead = (shareMode & win::FILE_SHARE_READ) != 0;
  const bool sharedWrite = (shareMode & win::FILE_SHARE_WRITE) != 0;
  const bool sharedDelete = (shareMode & win::FILE_SHARE_DELETE) != 0;
  if (access.read && share.sharedRead != share.openCount) return false;
  if (access.write && share.sharedWrite != share.openCount) return false;
  if (access.del && share.sharedDelete != share.openCount) return false;
  if (share.readers > 0 && !sharedRead) return false;
  if (share.writers > 0 && !sharedWrite) return false;
  if (share.deleters > 0 && !sharedDelete) return false;
  return true;
}

OpenFile::OpenFile(std::shared_ptr<Node> opened, win::DWORD desiredAccess, win::DWORD share,
                   win::DWORD openFlags)
    : node(std::move(opened)),
      access(desiredAccess),
      flags(openFlags),
      claimed_(ToDataAccess(desiredAccess)),
      share_(share) {
  ++node->handles;
  if (!claimed_.Any()) return;
  ShareState& state = node->share;
  ++state.openCount;
  state.readers += claimed_.read;
  state.writers += claimed_.write;
  state.deleters += claimed_.del;
  state.sharedRead += (share_ & win::FILE_SHARE_READ) != 0;
  state.sharedWrite += (share_ & win::FILE_SHARE_WRITE) != 0;
  state.sharedDelete += (share_ & win::FILE_SHARE_DELETE) != 0;
}

OpenFile::~OpenFile() {
  // CloseHandle releases the object outside the lock; the claim is machine state.
  Guard guard(Lock());
  if (--node->handles == 0) {
    // The last handle is gone: names deleted meanwhile go now.
    auto pending = std::move(node->pendingNames);
    node->pendingNames.clear();
    for (const auto& [directory, key] : pending) {
      auto parent = directory.lock();
      if (!parent) continue;
      auto it = parent->children.find(key);
      if (it != parent->children.end() && it->second.node == node && it->second.deletePending) {
        FileSystem::Unlink(parent, key);
      }
    }
  }
  if (!claimed_.Any()) return;
  ShareState& state = node->share;
  --state.openCount;
  state.readers -= claimed_.read;
  state.writers -= claimed_.write;
  state.deleters -= claimed_.del;
  state.sharedRead -= (share_ & win::FILE_SHARE_READ) != 0;
  state.sharedWrite -= (share_ & win::FILE_SHARE_WRITE) != 0;
  state.sharedDelete -= (share_ & win::FILE_SHARE_DELETE) != 0;
}

namespace {

bool IsVerbatim(std::u16string_view path) {
  return path.substr(0, 4) == u"\\??\\" || path.substr(0, 4) == u"\\\\?\\";
}

std::u16string NtPathOfFullPath(const std::u16string& full) {
  if (full.rfind(u"\\\\.\\", 0) == 0 || full.rfind(u"\\\\?\\", 0) == 0) {
    return u"\\??\\" + full.substr(4);
  }
  if (full.size() >= 2 && full[0] == u'\\' && full[1] == u'\\') {
    return u"\\??\\UNC\\" + full.substr(2);
  }
  return u"\\??\\" + full;
}

}  // namespace

std::u16string NtPathName(std::u16string_view path, std::u16string_view currentDirectory) {
  if (path.substr(0, 4) == u"\\??\\") return std::u16string(path);
  if (path.substr(0, 4) == u"\\\\?\\") return u"\\??\\" + std::u16string(path.substr(4));
  return NtPathOfFullPath(FullPathName(path, currentDirectory));
}

std::u16string FullPathName(std::u16string_view input, std::u16string_view currentDirectory) {
  if (input.empty()) return {};
  // Verbatim paths are not normalised at all.
  if (input.size() >= 4 && input.substr(0, 4) == u"\\\\?\\") return std::u16string(input);

  std::u16string path(input);
  for (auto& c : path) {
    if (c == u'/') c = u'\\';
  }

  std::u16string root;
  std::u16string rest;
  if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') {
    if (path.size() >= 4 && (path[2] == u'.' || path[2] == u'?') && path[3] == u'\\') {
      // Device namespace: the device name is the root.
      const std::size_t end = path.find(u'\\', 4);
      root = end == std::u16string::npos ? path : path.substr(0, end + 1);
      rest = end == std::u16string::npos ? u"" : path.substr(end + 1);
    } else {
      // UNC: \\server\share is the root; ".." never climbs above it.
      std::size_t server = path.find(u'\\', 2);
      if (server == std::u16string::npos) return path;
      std::size_t share = path.find(u'\\', server + 1);
      if (share == std::u16string::npos) return path;
      root = path.substr(0, share);
      rest = path.substr(share);
    }
  } else if (path.size() >= 2 && IsLetter(path[0]) && path[1] == u':') {
    if (path.size() >= 3 && path[2] == u'\\') {
      root = path.substr(0, 3);
      rest = path.substr(3);
    } else {
      // Drive-relative: the current directory when it is on that drive, else the drive's root.
      const bool sameDrive =
          currentDirectory.size() >= 2 &&
          EqualsIgnoreCase(currentDirectory.substr(0, 1), std::u16string_view(path).substr(0, 1));
      std::u16string base =
          sameDrive ? std::u16string(currentDirectory) : path.substr(0, 2) + u"\\";
      return FullPathName(base + u"\\" + path.substr(2), currentDirectory);
    }
  } else if (path[0] == u'\\') {
    root = RootOf(currentDirectory);
    rest = path.substr(1);
  } else {
    return FullPathName(std::u16string(currentDirectory) + u"\\" + path, currentDirectory);
  }

  const bool trailingSeparator = !rest.empty() && rest.back() == u'\\';
  std::vector<std::u16string> names;
  std::vector<std::u16string> parts;
  {
    std::size_t start = 0;
    while (start <= rest.size()) {
      std::size_t end = rest.find(u'\\', start);
      if (end == std::u16string::npos) end = rest.size();
      parts.push_back(rest.substr(start, end - start));
      start = end + 1;
    }
  }
  bool endsAsDirectory = trailingSeparator;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    std::u16string part = parts[i];
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (!names.empty()) names.pop_back();
      continue;
    }
    const bool last = i + 1 == parts.size();
    if (last && !trailingSeparator) {
      // The last name loses its trailing dots and spaces.
      while (!part.empty() && (part.back() == u'.' || part.back() == u' ')) part.pop_back();
      if (part.empty()) {
        endsAsDirectory = true;
        continue;
      }
    } else if (part.size() >= 2 && part.back() == u'.' && part[part.size() - 2] != u'.') {
      // An inner name ending in a single dot loses it; "..." is a name of its own.
      part.pop_back();
    }
    names.push_back(std::move(part));
  }

  std::u16string result = root;
  for (const auto& name : names) {
    if (!result.empty() && result.back() != u'\\') result += u'\\';
    result += name;
  }
  if (endsAsDirectory && !names.empty() && result.back() != u'\\') result += u'\\';
  if (root.size() > 2 && root.back() != u'\\' && trailingSeparator && names.empty()) {
    result += u'\\';
  }
  return result;
}

FileSystem::FileSystem() {
  AddVolume(u'C', 0x1234ABCD,
            win::FILE_CASE_PRESERVED_NAMES | win::FILE_UNICODE_ON_DISK | win::FILE_PERSISTENT_ACLS |
                win::FILE_SUPPORTS_REPARSE_POINTS | win::FILE_SUPPORTS_HARD_LINKS);
}

namespace {

void LoseUnflushedBelow(Node& directory) {
  for (auto& [key, entry] : directory.children) {
    Node& node = *entry.node;
    if (node.directory) {
      LoseUnflushedBelow(node);
    } else if (node.unflushed) {
      std::string left = node.durable;
      left.resize(node.content.size(), '\0');
      node.content = left;
      node.durable = std::move(left);
      node.unflushed = false;
    }
  }
}

}  // namespace

void FileSystem::LoseUnflushedData() {
  for (const auto& volume : volumes_) {
    TakeBack(*volume);
    LoseUnflushedBelow(*volume->root);
  }
}

namespace {

void MakeDurableBelow(Node& directory) {
  for (auto& [key, entry] : directory.children) {
    Node& node = *entry.node;
    if (node.directory) MakeDurableBelow(node);
    node.durable = node.content;
    node.unflushed = false;
  }
}

}  // namespace

void FileSystem::FlushVolume(Volume& volume) {
  WriteLog(volume);
  MakeDurableBelow(*volume.root);
}

void FileSystem::SetReparse(const std::shared_ptr<Node>& node, std::vector<std::uint8_t> record) {
  if (node->volume->logging) {
    LoggedChange change;
    change.reparsed = node;
    change.reparseBefore = node->reparse;
    node->volume->unwritten.push_back(std::move(change));
  }
  node->reparse = std::move(record);
}

// Newest first, each only while the name is as the change left it.
void FileSystem::TakeBack(Volume& volume) {
  std::vector<LoggedChange> changes = std::move(volume.unwritten);
  volume.unwritten.clear();
  volume.logging = false;
  for (auto change = changes.rbegin(); change != changes.rend(); ++change) {
    if (auto node = change->reparsed.lock()) {
      node->reparse = std::move(change->reparseBefore);
      continue;
    }
    auto folder = change->folder.lock();
    if (!folder) continue;
    auto at = folder->children.find(change->key);
    const bool asLeft = change->after ? at != folder->children.end() && at->second.node == change->after
                                      : at == folder->children.end();
    if (!asLeft) continue;
    if (change->after) Unlink(folder, at->second.name);
    if (change->before) Link(folder, change->nameBefore, change->before);
  }
  volume.logging = true;
}

Volume& FileSystem::AddVolume(char16_t letter, win::DWORD serial, win::DWORD flags) {
  auto volume = std::make_unique<Volume>();
  volume->letter = Upper(std::u16string(1, letter))[0];
  volume->serial = serial;
  volume->flags = flags;
  const std::string number = std::to_string(volumes_.size() + 1);
  volume->device = u"\\Device\\HarddiskVolume" + ToU16(number);
  volume->root = std::make_shared<Node>();
  volume->root->directory = true;
  volume->root->links = 1;
  volume->root->volume = volume.get();
  volume->root->index = volume->nextIndex++;
  bool hasOwner = false;
  bool hasDacl = false;
  ParseSddl(kVolumeRootSecurity, volume->root->security, hasOwner, hasDacl);
  volume->root->secured = true;
  // The drive letter is an MS-DOS device name like any other; definitions stack on top of it.
  devices[std::u16string(1, volume->letter) + u":"].push_back(volume->device);
  volumes_.push_back(std::move(volume));
  return *volumes_.back();
}

Volume* FileSystem::FindVolume(char16_t letter) {
  const char16_t upper = Upper(std::u16string(1, letter))[0];
  for (const auto& volume : volumes_) {
    if (volume->letter == upper) return volume.get();
  }
  return nullptr;
}

std::shared_ptr<Node> FileSystem::NewFile(Volume& volume, win::DWORD attributes) {
  auto node = std::make_shared<Node>();
  node->attributes = attributes;
  node->volume = &volume;
  node->index = volume.nextIndex++;
  return node;
}

std::shared_ptr<Node> FileSystem::NewDirectory(Volume& volume,
                                               const std::shared_ptr<Node>& parent) {
  auto node = NewFile(volume, 0);
  node->directory = true;
  node->parent = parent;
  return node;
}

void FileSystem::Link(const std::shared_ptr<Node>& directory, const std::u16string& name,
                      const std::shared_ptr<Node>& node) {
  std::u16string key = Upper(name);
  if (directory->volume->logging) {
    directory->volume->unwritten.push_back({directory, key, {}, nullptr, node, {}, {}});
  }
  directory->children[std::move(key)] = Node::Entry{name, node};
  if (!node->secured) {
    node->security.dacl =
        InheritedEntries(directory->security, node->directory, node->security.owner);
    node->secured = true;
  }
  ++node->links;
  if (node->directory) node->parent = directory;
}

void FileSystem::Unlink(const std::shared_ptr<Node>& directory, std::u16string_view name) {
  auto it = directory->children.find(Upper(name));
  if (it == directory->children.end()) return;
  if (directory->volume->logging) {
    directory->volume->unwritten.push_back(
        {directory, it->first, it->second.name, it->second.node, nullptr, {}, {}});
  }
  --it->second.node->links;
  directory->children.erase(it);
}

void FileSystem::DeleteName(const std::shared_ptr<Node>& directory, std::u16string_view name,
                            DeleteSemantics semantics) {
  auto it = directory->children.find(Upper(name));
  if (it == directory->children.end() || it->second.deletePending) return;
  Node& node = *it->second.node;
  if (node.handles == 0 || semantics == DeleteSemantics::Posix) {
    Unlink(directory, name);
    return;
  }
  it->second.deletePending = true;
  node.pendingNames.emplace_back(directory, it->first);
}

void FileSystem::CancelDelete(const std::shared_ptr<Node>& directory, const std::u16string& key,
                              const std::shared_ptr<Node>& node) {
  auto it = directory->children.find(key);
  if (it == directory->children.end() || it->second.node != node) return;
  it->second.deletePending = false;
  std::erase_if(node->pendingNames, [&](const auto& pending) {
    return pending.first.lock() == directory && pending.second == key;
  });
}

win::DWORD FileSystem::MapNtPath(std::u16string_view target, int depth, std::shared_ptr<Node>& out,
                                 bool folder) {
  if (depth > kMaxReparseDepth) return win::ERROR_CANT_RESOLVE_FILENAME;
  for (std::u16string_view prefix :
       {std::u16string_view(u"\\??\\"), std::u16string_view(u"\\DosDevices\\")}) {
    if (!StartsWithIgnoreCase(target, prefix)) continue;
    const std::u16string_view path = target.substr(prefix.size());
    if (path.size() < 2 || !IsLetter(path[0]) || path[1] != u':') return win::ERROR_PATH_NOT_FOUND;
    std::shared_ptr<Node> directory;
    if (auto error = DriveRoot(path[0], directory, depth + 1)) return error;
    Location location;
    if (auto error = Walk(directory, SplitNames(path.substr(2)), true, depth + 1, location)) {
      return error;
    }
    if (!location.node || (folder && !location.node->directory)) return win::ERROR_PATH_NOT_FOUND;
    out = location.node;
    return 0;
  }
  for (const auto& volume : volumes_) {
    if (!StartsWithIgnoreCase(target, volume->device)) continue;
    const std::u16string_view rest = target.substr(volume->device.size());
    if (!rest.empty() && rest[0] != u'\\') continue;
    Location location;
    if (auto error = Walk(volume->root, SplitNames(rest), true, depth + 1, location)) return error;
    if (!location.node || (folder && !location.node->directory)) return win::ERROR_PATH_NOT_FOUND;
    out = location.node;
    return 0;
  }
  return win::ERROR_PATH_NOT_FOUND;
}

const std::vector<std::u16string>* FileSystem::FindDevice(const std::u16string& name,
                                                          int session) const {
  if (auto own = sessionDevices.find(session); own != sessionDevices.end()) {
    if (auto it = own->second.find(name); it != own->second.end() && !it->second.empty()) {
      return &it->second;
    }
  }
  auto it = devices.find(name);
  return it == devices.end() || it->second.empty() ? nullptr : &it->second;
}

win::DWORD FileSystem::DriveRoot(char16_t letter, std::shared_ptr<Node>& out, int depth) {
  const auto* found = FindDevice(Upper(std::u16string(1, letter)) + u":", CallerLogonSession());
  if (found == nullptr) return win::ERROR_PATH_NOT_FOUND;
  return MapNtPath(found->back(), depth, out);
}

win::DWORD FileSystem::FollowJunction(const Node& link, int depth, std::shared_ptr<Node>& out) {
  const std::u16string target = reparse::SubstituteName(link.reparse.data(), link.reparse.size());
  if (target.empty()) return win::ERROR_PATH_NOT_FOUND;
  return MapNtPath(target, depth + 1, out);
}

win::DWORD FileSystem::Walk(std::shared_ptr<Node> directory,
                            const std::vector<std::u16string>& names, bool followLast, int depth,
                            Location& out) {
  out = Location{};
  out.volume = directory->volume;
  out.node = directory;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const bool last = i + 1 == names.size();
    auto it = directory->children.find(Upper(names[i]));
    if (it == directory->children.end()) {
      if (!last) return win::ERROR_PATH_NOT_FOUND;
      out.volume = directory->volume;
      out.parent = directory;
      out.name = names[i];
      out.node = nullptr;
      return 0;
    }
    std::shared_ptr<Node> node = it->second.node;
    const bool junction = node->directory && node->ReparseTag() == win::IO_REPARSE_TAG_MOUNT_POINT;
    if (!last) {
      if (!node->directory) return win::ERROR_PATH_NOT_FOUND;
      if (junction) {
        if (auto error = FollowJunction(*node, depth, directory)) return error;
      } else {
        directory = std::move(node);
      }
      continue;
    }
    out.parent = directory;
    out.name = names[i];
    out.deletePending = it->second.deletePending;
    if (junction && followLast) {
      std::shared_ptr<Node> target;
      if (auto error = FollowJunction(*node, depth, target)) return error;
      out.parent = target->parent.lock();
      node = std::move(target);
    } else if (followLast && !node->directory &&
               node->ReparseTag() == win::IO_REPARSE_TAG_SYMLINK) {
      // A file's symbolic link, absolute (\??\C:\...), leads to the file it names.
      const reparse::LinkNames link =
          reparse::ReadLinkNames(node->reparse.data(), node->reparse.size());
      std::shared_ptr<Node> target;
      if (auto error = MapNtPath(link.substituteName, depth + 1, target, false)) return error;
      out.parent = target->parent.lock();
      node = std::move(target);
    }
    out.volume = node->volume;
    out.node = std::move(node);
  }
  return 0;
}

// A share's path (server\share\rest) as the local path it serves; the only shares are those a
// test made, since this machine has no network.
win::DWORD FileSystem::MapShare(std::u16string_view unc, std::u16string& local) const {
  const auto serverEnd = unc.find(u'\\');
  if (serverEnd == std::u16string_view::npos) return win::ERROR_BAD_NETPATH;
  const auto shareEnd = unc.find(u'\\', serverEnd + 1);
  const std::u16string_view share = unc.substr(0, shareEnd);
  auto it = shares.find(Upper(share));
  if (it == shares.end()) return win::ERROR_BAD_NETPATH;
  local = it->second;
  if (shareEnd != std::u16string_view::npos) local += unc.substr(shareEnd);
  return 0;
}

win::DWORD FileSystem::Resolve(std::u16string_view path, std::u16string_view currentDirectory,
                               bool followLast, Location& out, bool wildcardsInLast) {
  if (path.empty()) return win::ERROR_PATH_NOT_FOUND;
  // \\?\ and \??\ paths go to the object manager as they are; others are made full first.
  const bool verbatim = IsVerbatim(path);
  std::u16string nt;
  if (verbatim) {
    nt = NtPathName(path, currentDirectory);
  } else {
    const std::u16string fullPath = FullPathName(path, currentDirectory);
    // Without long-path support, Windows refuses a full path of MAX_PATH or more.
    if (fullPath.size() >= win::MAX_PATH) return win::ERROR_PATH_NOT_FOUND;
    nt = NtPathOfFullPath(fullPath);
  }
  std::u16string full = nt.substr(4);
  if (StartsWithIgnoreCase(full, u"UNC\\")) {
    const std::u16string unc = full.substr(4);
    if (auto error = MapShare(unc, full)) return error;
  }
  if (full.size() < 2 || !IsLetter(full[0]) || full[1] != u':') return win::ERROR_PATH_NOT_FOUND;
  if (full.size() > 2 && full[2] != u'\\') return win::ERROR_INVALID_NAME;

  const std::vector<std::u16string> names = SplitNames(std::u16string_view(full).substr(2));
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!ValidName(names[i], wildcardsInLast && i + 1 == names.size())) {
      return win::ERROR_INVALID_NAME;
    }
  }
  std::shared_ptr<Node> root;
  if (auto error = DriveRoot(full[0], root)) return error;
  if (auto error = Walk(root, names, followLast, 0, out)) return error;
  out.trailingSeparator = full.size() > 3 && full.back() == u'\\';
  out.verbatim = verbatim;
  return 0;
}

}  // namespace sim
