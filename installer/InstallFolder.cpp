#include "installer/InstallFolder.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/AsciiText.h"
#include "engine/FileSecurity.h"
#include "platform/UniqueHandle.h"
#include "platform/WinApi.h"

namespace installer {
namespace {

std::u16string Ascii(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

std::u16string Number(std::uint64_t value) {
  return Ascii(std::to_string(value));
}

std::u16string Refusal(std::u16string_view folder, const std::u16string& why) {
  return u"Corvane cannot be installed in " + std::u16string(folder) + u": " + why +
         u" Only SYSTEM, Administrators, TrustedInstaller or the installer itself may own or "
         u"change the install folder, what it holds and the folders on its way; choose another "
         u"folder, or remove this one.";
}

std::u16string Unreadable(std::u16string_view path, const char16_t* what, win::DWORD error) {
  return std::u16string(path) + u" cannot be " + what + u" (error " + Number(error) +
         u"), so its owner cannot be checked.";
}

std::u16string Child(const std::u16string& folder, std::u16string_view name) {
  return folder.back() == u'\\' ? folder + std::u16string(name)
                                : folder + u'\\' + std::u16string(name);
}

// CREATOR OWNER (S-1-3-0): on a new folder, its inheritable entries grant their rights to whoever
// makes the folder, which is Windows Installer itself.
constexpr std::uint8_t kCreatorOwner[] = {1, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0};
// Everyone (S-1-1-0), who may do anything to an object with no list at all.
constexpr std::uint8_t kEveryone[] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};

// An allowed entry of a folder's list. Denied entries are left out: they can only take rights
// away, so without them the check may refuse more, never less.
struct Entry {
  win::BYTE flags = 0;
  win::DWORD mask = 0;
  std::vector<std::uint8_t> sid;
};
using Entries = std::vector<Entry>;

std::vector<std::uint8_t> SidBytes(const void* sid) {
  const auto* bytes = static_cast<const std::uint8_t*>(sid);
  return {bytes, bytes + 8 + 4 * bytes[1]};
}

// False for a list with an entry of another kind (object, conditional): what it grants is not
// read here, so the folder is not taken on trust.
bool ReadEntries(win::PACL dacl, Entries& out) {
  out.clear();
  if (dacl == nullptr) {
    out.push_back({0, win::FILE_ALL_ACCESS, SidBytes(kEveryone)});
    return true;
  }
  for (win::DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!win::GetAce(dacl, i, &entry)) return false;
    const auto* ace = static_cast<const win::ACCESS_ALLOWED_ACE*>(entry);
    if (ace->Header.AceType == win::ACCESS_DENIED_ACE_TYPE) continue;
    if (ace->Header.AceType != win::ACCESS_ALLOWED_ACE_TYPE ||
        !win::IsValidSid(const_cast<win::DWORD*>(&ace->SidStart))) {
      return false;
    }
    out.push_back({ace->Header.AceFlags, ace->Mask, SidBytes(&ace->SidStart)});
  }
  return true;
}

// What a folder made now inside a folder with `parent` gets from it, as Windows documents the
// flags: a container-inherit entry applies to it (and passes on unless no-propagate), whether or
// not it applies to the parent itself; an object-inherit one only passes on to its files.
Entries Inherited(const Entries& parent, win::PSID creator) {
  constexpr win::BYTE kInherit = win::OBJECT_INHERIT_ACE | win::CONTAINER_INHERIT_ACE;
  Entries out;
  for (const Entry& entry : parent) {
    if ((entry.flags & win::CONTAINER_INHERIT_ACE) != 0) {
      const bool forCreator = win::EqualSid(const_cast<std::uint8_t*>(entry.sid.data()),
                                            const_cast<std::uint8_t*>(kCreatorOwner)) != 0;
      out.push_back({0, entry.mask, forCreator ? SidBytes(creator) : entry.sid});
    }
    // What passes on reaches only folders made inside a folder the install makes. None of them
    // can be refused where the first made folder was not: each is checked for the rights that one
    // is, and holds no entry it lacks. So no verdict turns on this; it keeps the lists Windows'.
    if ((entry.flags & kInherit) != 0 && (entry.flags & win::NO_PROPAGATE_INHERIT_ACE) == 0) {
      out.push_back({static_cast<win::BYTE>((entry.flags & kInherit) | win::INHERIT_ONLY_ACE),
                     entry.mask, entry.sid});
    }
  }
  return out;
}

win::DWORD MapGeneric(win::DWORD mask) {
  if ((mask & win::GENERIC_READ) != 0) mask |= 0x120089;
  if ((mask & win::GENERIC_WRITE) != 0) mask |= 0x120116;
  if ((mask & win::GENERIC_EXECUTE) != 0) mask |= 0x1200a0;
  if ((mask & win::GENERIC_ALL) != 0) mask |= win::FILE_ALL_ACCESS;
  return mask;
}

struct Right {
  win::DWORD mask;
  const char16_t* name;
  const char16_t* verb;
};
// The order the sentence names them in: the worst first.
constexpr Right kRights[] = {
    {win::DELETE, u"DELETE", u"delete or rename"},
    {win::FILE_DELETE_CHILD, u"FILE_DELETE_CHILD", u"delete or rename"},
    {win::WRITE_DAC, u"WRITE_DAC", u"change the permissions of"},
    {win::WRITE_OWNER, u"WRITE_OWNER", u"take the ownership of"},
    {win::FILE_ADD_FILE, u"FILE_ADD_FILE", u"add or write files in"},
    {win::FILE_ADD_SUBDIRECTORY, u"FILE_ADD_SUBDIRECTORY", u"add folders to"},
};

// A folder on the way to the install folder: its own list, or the one it would get.
struct Step {
  std::u16string path;
  bool exists = false;
  std::u16string source;  // for a folder the install would make: the folder it inherits from
  Entries entries;
};

// Why `holder` lets anyone but SYSTEM, Administrators, TrustedInstaller and the installer's user
// do one of `rights` to `target` (the holder itself, or a folder in it for FILE_DELETE_CHILD);
// empty when it does not.
std::u16string OthersMay(const Step& holder, win::DWORD rights, const std::u16string& target,
                         win::PSID self) {
  for (const Right& right : kRights) {
    if ((rights & right.mask) == 0) continue;
    for (const Entry& entry : holder.entries) {
      if ((entry.flags & win::INHERIT_ONLY_ACE) != 0 ||
          (MapGeneric(entry.mask) & right.mask) == 0) {
        continue;
      }
      auto* sid = const_cast<std::uint8_t*>(entry.sid.data());
      if (IsTrustedOwner(sid, true, self)) continue;
      std::u16string on = holder.path;
      if (!holder.exists) {
        on += u", a folder the install would make, inheriting it from " + holder.source;
      }
      return SidText(sid) + u" may " + right.verb + u" " + target + u" (" + right.name + u" on " +
             on + u"), and so change what the service runs or reads as LocalSystem.";
    }
  }
  return u"";
}

// The length of the volume root that `path` starts with ("C:\", "\\?\C:\", "\\server\share\"),
// 0 when it starts with none.
std::size_t RootLength(std::u16string_view path) {
  auto drive = [](std::u16string_view at) {
    return at.size() >= 3 && IsAsciiLetter(at[0]) && at[1] == u':' && at[2] == u'\\';
  };
  if (drive(path)) return 3;
  std::size_t separators = 4;
  if (path.starts_with(u"\\\\?\\")) {
    if (drive(path.substr(4))) return 7;
    if (!path.substr(4).starts_with(u"UNC\\")) return 0;
    separators = 6;
  } else if (!path.starts_with(u"\\\\") || path.starts_with(u"\\\\.\\")) {
    return 0;
  }
  std::size_t at = 0;
  for (std::size_t seen = 0; at < path.size() && seen < separators; ++at) {
    if (path[at] == u'\\') ++seen;
  }
  // A server and a share, each named.
  return at > separators + 1 && path[at - 2] != u'\\' ? at : 0;
}

enum class Owner { Trusted, Missing, Refused };

// The owner of `path` itself, and with `entries` its list, read through a handle that needs no
// more than READ_CONTROL, so an entry open elsewhere, even exclusively, is still looked at. With
// FILE_FLAG_OPEN_REPARSE_POINT a junction's own owner is read, not that of where it leads.
// `shown` is how the sentence names it.
Owner CheckOwner(const std::u16string& path, win::DWORD flags, win::PSID self,
                 std::u16string_view shown, std::u16string& why, Entries* entries = nullptr) {
  win::UniqueFile entry(win::CreateFileW(
      path.c_str(), win::READ_CONTROL,
      win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE, nullptr,
      win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr));
  if (!entry) {
    const win::DWORD error = win::GetLastError();
    why = Unreadable(shown, u"opened", error);
    // Gone since it was listed: nothing there for the package to meet.
    if (error == win::ERROR_FILE_NOT_FOUND || error == win::ERROR_PATH_NOT_FOUND) {
      return Owner::Missing;
    }
    return Owner::Refused;
  }
  ObjectSecurity security;
  if (const win::DWORD error = security.Read(entry.Get())) {
    why = Unreadable(shown, u"read", error);
    return Owner::Refused;
  }
  if (!IsTrustedOwner(security.Owner(), true, self)) {
    why = std::u16string(shown) + u" belongs to " + SidText(security.Owner()) +
          u", who may change its permissions and so what the service runs or reads.";
    return Owner::Refused;
  }
  if (entries != nullptr && !ReadEntries(security.Dacl(), *entries)) {
    why = std::u16string(shown) +
          u" has a permission entry of a kind this check does not read, so who may change it "
          u"cannot be checked.";
    return Owner::Refused;
  }
  return Owner::Trusted;
}

// Windows Installer makes every missing folder on the way to INSTALLDIR, and each of them but
// INSTALLDIR (which gets the package's own permissions) keeps what it inherits. Whoever may
// delete, rename, or change the permissions of any folder on the way, made or found, may put a
// folder of their own in its place, and the service manager then runs their CorvaneService.exe
// as LocalSystem. An existing INSTALLDIR must also let nobody else add or write anything in it:
// a handle opened before the package sets its permissions outlives them.
// `attributes` is what the last step found at INSTALLDIR itself (INVALID_FILE_ATTRIBUTES: nothing).
std::u16string WayRefusal(const std::u16string& folder, std::size_t root, win::PSID self,
                          win::DWORD& attributes) {
  std::vector<std::u16string> way{folder.substr(0, root)};
  for (std::size_t at = root; at < folder.size();) {
    const std::size_t end = std::min(folder.find(u'\\', at), folder.size());
    const std::u16string_view name = std::u16string_view(folder).substr(at, end - at);
    if (name.empty() || name == u"." || name == u"..") {
      return folder + u" is not a plain full path, so the folders on its way cannot be checked.";
    }
    way.push_back(folder.substr(0, end));
    at = end + 1;
  }
  Step above;
  for (std::size_t i = 0; i < way.size(); ++i) {
    const bool last = i + 1 == way.size();
    Step step{way[i], false, {}, {}};
    std::u16string why;
    attributes = win::GetFileAttributesW(step.path.c_str());
    if (attributes == win::INVALID_FILE_ATTRIBUTES) {
      const win::DWORD error = win::GetLastError();
      if (i == 0 || (error != win::ERROR_FILE_NOT_FOUND && error != win::ERROR_PATH_NOT_FOUND)) {
        return Unreadable(step.path, u"looked at", error);
      }
      step.source = above.exists ? above.path : above.source;
      step.entries = Inherited(above.entries, self);
    } else {
      step.exists = true;
      // Where it leads has folders of its own on the way, which are not walked here.
      if (i > 0 && !last && (attributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return step.path +
               u" is a junction or symbolic link, so the folders it leads to cannot "
               u"be checked; give the folder it leads to instead.";
      }
      if (CheckOwner(step.path, win::FILE_FLAG_OPEN_REPARSE_POINT, self, step.path, why,
                     &step.entries) != Owner::Trusted) {
        return why;
      }
    }
    if (i > 0) {
      why = OthersMay(above, win::FILE_DELETE_CHILD, step.path, self);
      if (!why.empty()) return why;
    }
    if (step.exists || !last) {
      // A volume's root cannot be deleted or renamed; folders may be added to it by every user.
      win::DWORD rights = win::WRITE_DAC | win::WRITE_OWNER | (i > 0 ? win::DELETE : 0);
      if (last) rights |= win::FILE_ADD_FILE | win::FILE_ADD_SUBDIRECTORY;
      why = OthersMay(step, rights, step.path, self);
      if (!why.empty()) return why;
    }
    above = std::move(step);
  }
  return u"";
}

}  // namespace

std::u16string InstallFolderRefusal(std::u16string_view given) {
  if (given.empty()) return u"Corvane cannot be installed: no install folder was given to check.";
  // Windows Installer hands folders over with a trailing separator; a volume's root keeps it.
  std::u16string folder(given);
  const std::size_t root = RootLength(folder);
  while (folder.size() > root && folder.back() == u'\\') folder.pop_back();
  if (root == 0) {
    return Refusal(folder, folder + u" is not a full path, so its folders cannot be checked.");
  }
  ProcessUser self;
  if (!self.Read()) {
    return Refusal(folder, u"the installer's own user cannot be read (error " +
                               Number(win::GetLastError()) + u").");
  }
  win::DWORD attributes = win::INVALID_FILE_ATTRIBUTES;
  std::u16string why = WayRefusal(folder, root, self.Sid(), attributes);
  if (!why.empty()) return Refusal(folder, why);
  if (attributes == win::INVALID_FILE_ATTRIBUTES) return u"";
  // A folder that is itself a junction: the files go where it leads, so that folder counts too.
  if ((attributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    Step target{u"the folder that " + folder + u" leads to", true, {}, {}};
    if (CheckOwner(folder, 0, self.Sid(), target.path, why, &target.entries) != Owner::Trusted) {
      return Refusal(folder, why);
    }
    why = OthersMay(target,
                    win::DELETE | win::WRITE_DAC | win::WRITE_OWNER | win::FILE_ADD_FILE |
                        win::FILE_ADD_SUBDIRECTORY,
                    target.path, self.Sid());
    if (!why.empty()) return Refusal(folder, why);
  }
  if ((attributes & win::FILE_ATTRIBUTE_DIRECTORY) == 0) return u"";

  std::vector<std::u16string> pending{folder};
  while (!pending.empty()) {
    const std::u16string directory = std::move(pending.back());
    pending.pop_back();
    win::WIN32_FIND_DATAW found{};
    win::UniqueFind find(win::FindFirstFileW(Child(directory, u"*").c_str(), &found));
    if (!find) {
      const win::DWORD error = win::GetLastError();
      // Only an empty drive root lists nothing at all, not even "." and "..".
      if (error == win::ERROR_FILE_NOT_FOUND) continue;
      return Refusal(folder, Unreadable(directory, u"listed", error));
    }
    do {
      const std::u16string_view name = found.cFileName;
      if (name == u"." || name == u"..") continue;
      const std::u16string path = Child(directory, name);
      const Owner owner =
          CheckOwner(path, win::FILE_FLAG_OPEN_REPARSE_POINT, self.Sid(), path, why);
      if (owner == Owner::Refused) return Refusal(folder, why);
      // A reparse point below the folder is never followed: what it leads to is not installed
      // into, and following it could walk the whole disk or in circles.
      if (owner == Owner::Trusted &&
          (found.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY) != 0 &&
          (found.dwFileAttributes & win::FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        pending.push_back(path);
      }
    } while (win::FindNextFileW(find.Get(), &found));
    if (const win::DWORD error = win::GetLastError(); error != win::ERROR_NO_MORE_FILES) {
      return Refusal(folder, Unreadable(directory, u"listed", error));
    }
  }
  return u"";
}

}  // namespace installer
