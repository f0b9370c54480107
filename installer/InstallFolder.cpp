#include "installer/InstallFolder.h"

#include <cstdint>
#include <string>
#include <vector>

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

// S-1-5-21-...: the form an administrator can look up. Made here from the binary form (revision,
// count, 48-bit big-endian authority, little-endian sub-authorities) rather than through
// ConvertSidToStringSidW, which would only hand back the same digits in memory to free.
std::u16string SidText(win::PSID sid) {
  if (sid == nullptr || !win::IsValidSid(sid)) return u"an owner that is not a valid SID";
  const auto* bytes = static_cast<const std::uint8_t*>(sid);
  std::uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = authority << 8 | bytes[i];
  std::u16string text = u"S-" + Number(bytes[0]) + u"-" + Number(authority);
  for (int i = 0; i < bytes[1]; ++i) {
    const std::uint8_t* sub = bytes + 8 + 4 * i;
    text += u"-" + Number(sub[0] | sub[1] << 8 | sub[2] << 16 | std::uint32_t{sub[3]} << 24);
  }
  return text;
}

std::u16string Refusal(std::u16string_view folder, const std::u16string& why) {
  return u"Corvane cannot be installed in " + std::u16string(folder) + u": " + why +
         u" Only SYSTEM, Administrators, TrustedInstaller or the installer itself may own the "
         u"install folder and what it holds; choose another folder, or remove this one.";
}

std::u16string Unreadable(std::u16string_view path, const char16_t* what, win::DWORD error) {
  return std::u16string(path) + u" cannot be " + what + u" (error " + Number(error) +
         u"), so its owner cannot be checked.";
}

std::u16string Child(const std::u16string& folder, std::u16string_view name) {
  return folder.back() == u'\\' ? folder + std::u16string(name)
                                : folder + u'\\' + std::u16string(name);
}

enum class Owner { Trusted, Missing, Refused };

// The owner of `path` itself, read through a handle that needs no more than READ_CONTROL, so an
// entry open elsewhere, even exclusively, is still looked at. With FILE_FLAG_OPEN_REPARSE_POINT
// a junction's own owner is read, not that of where it leads. `shown` is how the sentence names it.
Owner CheckOwner(const std::u16string& path, win::DWORD flags, win::PSID self,
                 std::u16string_view shown, std::u16string& why) {
  win::UniqueFile entry(win::CreateFileW(
      path.c_str(), win::READ_CONTROL,
      win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE, nullptr,
      win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr));
  if (!entry) {
    const win::DWORD error = win::GetLastError();
    // Gone since it was listed: nothing there for the package to meet.
    if (error == win::ERROR_FILE_NOT_FOUND || error == win::ERROR_PATH_NOT_FOUND) {
      return Owner::Missing;
    }
    why = Unreadable(shown, u"opened", error);
    return Owner::Refused;
  }
  ObjectSecurity security;
  if (const win::DWORD error = security.Read(entry.Get())) {
    why = Unreadable(shown, u"read", error);
    return Owner::Refused;
  }
  if (IsTrustedOwner(security.Owner(), true, self)) return Owner::Trusted;
  why = std::u16string(shown) + u" belongs to " + SidText(security.Owner()) +
        u", who may change its permissions and so what the service runs or reads.";
  return Owner::Refused;
}

}  // namespace

std::u16string InstallFolderRefusal(std::u16string_view given) {
  if (given.empty()) return u"Corvane cannot be installed: no install folder was given to check.";
  // Windows Installer hands folders over with a trailing separator; a drive's root keeps it.
  std::u16string folder(given);
  while (folder.size() > 3 && folder.back() == u'\\') folder.pop_back();

  const win::DWORD attributes = win::GetFileAttributesW(folder.c_str());
  if (attributes == win::INVALID_FILE_ATTRIBUTES) {
    const win::DWORD error = win::GetLastError();
    if (error == win::ERROR_FILE_NOT_FOUND || error == win::ERROR_PATH_NOT_FOUND) return u"";
    return Refusal(folder, Unreadable(folder, u"looked at", error));
  }
  ProcessUser self;
  if (!self.Read()) {
    return Refusal(folder, u"the installer's own user cannot be read (error " +
                               Number(win::GetLastError()) + u").");
  }
  std::u16string why;
  if (CheckOwner(folder, win::FILE_FLAG_OPEN_REPARSE_POINT, self.Sid(), folder, why) ==
      Owner::Refused) {
    return Refusal(folder, why);
  }
  // A folder that is itself a junction: the files go where it leads, so that folder counts too.
  if ((attributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      CheckOwner(folder, 0, self.Sid(), u"the folder that " + folder + u" leads to", why) ==
          Owner::Refused) {
    return Refusal(folder, why);
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
