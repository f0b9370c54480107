// Who owns and who may change a file or folder that a LocalSystem service acts on. Whatever an
// ordinary user owns, or may change, is that user's to steer: the service must not trust it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/UniqueHandle.h"
#include "platform/WinApi.h"

// Owned by Administrators; SYSTEM and Administrators full control and nobody else any access;
// nothing inherited from the folder. What the list and the lock files are made with: the service
// acts as LocalSystem on what they say, and trusts no file that anyone else owns or may change.
inline constexpr char16_t kAdministratorsOnly[] = u"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";

// A security descriptor made from its text, held while a create uses it.
class SecurityFromText {
 public:
  // After a failure Get() is null and the thread's last-error code says why.
  explicit SecurityFromText(const char16_t* sddl);
  win::PSECURITY_DESCRIPTOR Get() const { return held_.Get(); }
  explicit operator bool() const { return static_cast<bool>(held_); }

 private:
  win::UniqueLocalMemory held_;
};

// The user the calling process runs as (SYSTEM for the service; under Wine, the Wine user).
class ProcessUser {
 public:
  // False, with the last-error code, when the token cannot be read.
  bool Read();
  win::PSID Sid() const { return buffer_.empty() ? nullptr : user_; }

 private:
  std::vector<std::uint8_t> buffer_;
  win::PSID user_ = nullptr;
};

// The owner and the discretionary list of an open file or folder, read through its handle (which
// needs READ_CONTROL), so that what is checked is the object that is used.
class ObjectSecurity {
 public:
  ObjectSecurity() = default;
  ObjectSecurity(const ObjectSecurity&) = delete;
  ObjectSecurity& operator=(const ObjectSecurity&) = delete;
  ~ObjectSecurity();

  // 0, or the error code. `objectType` SE_REGISTRY_KEY reads an open HKEY passed as the handle.
  win::DWORD Read(win::HANDLE object, win::DWORD objectType = win::SE_FILE_OBJECT);
  win::PSID Owner() const { return owner_; }
  // Null for a null list, which lets everyone do everything.
  win::PACL Dacl() const { return dacl_; }

 private:
  win::PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  win::PSID owner_ = nullptr;
  win::PACL dacl_ = nullptr;
};

enum class WellKnownOwner { System, Administrators, TrustedInstaller };

// Whether `owner` is SYSTEM or Administrators, TrustedInstaller with `withTrustedInstaller`, or
// `alsoTrusted` (may be null).
bool IsTrustedOwner(win::PSID owner, bool withTrustedInstaller, win::PSID alsoTrusted);

// Whether `dacl` grants any of `rights` to anyone but SYSTEM, Administrators and `alsoTrusted`
// (may be null). A null list grants everything to everyone.
bool GrantsOthers(win::PACL dacl, win::DWORD rights, win::PSID alsoTrusted);

// S-1-5-21-...: the form an administrator can look up, made from the binary form (revision,
// count, 48-bit big-endian authority, little-endian sub-authorities) rather than through
// ConvertSidToStringSidW, which would only hand back the same digits in memory to free.
std::u16string SidText(win::PSID sid);

// Who but SYSTEM, Administrators and TrustedInstaller may re-point, remove or replace the link
// (or the empty folder that is to be one) `link` (its handle and that of the folder it is in with
// READ_CONTROL): its owner, whoever it grants writing its data or attributes, deleting it or
// changing its permissions or owner, and whoever may do the like to its folder's entries (delete
// a child, change the folder's permissions or owner). A sentence's end ("it is owned by S-1-...",
// "S-1-5-11 may change it"), empty when nobody else may.
std::u16string WhoElseMayChangeEntry(win::HANDLE link, win::HANDLE folder);

// Who but SYSTEM, Administrators and TrustedInstaller may change the open registry `key` (its
// handle with READ_CONTROL): its owner, or whoever an entry that applies to the key itself grants
// setting a value, making a subkey, deleting it or changing its permissions or owner. A
// sentence's end as WhoElseMayChangeEntry gives, empty when nobody else may.
std::u16string WhoElseMayChangeKey(win::HKEY key);

// Whether `dacl` lets anyone but SYSTEM, Administrators and `alsoTrusted` (may be null) write,
// append, delete, or change the list or the owner.
bool LetsOthersChange(win::PACL dacl, win::PSID alsoTrusted);

// Why the open `file` (its handle with READ_CONTROL) is not an administrator's word to a program
// that acts as LocalSystem, or nothing: it is owned by anyone but SYSTEM, Administrators and the
// calling process's own user, or its permissions let anyone else change it. Whoever may change
// such a file chooses what is done with it.
std::u16string WhyOthersMayChange(win::HANDLE file);
