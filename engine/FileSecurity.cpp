#include "engine/FileSecurity.h"

#include <array>
#include <string>

#include "platform/UniqueHandle.h"

namespace {

// S-1-5-18, S-1-5-32-544 and S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464
// (NT SERVICE\TrustedInstaller), in their binary form.
constexpr std::array<std::uint8_t, 12> kSystem = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
constexpr std::array<std::uint8_t, 16> kAdministrators = {1, 2, 0, 0, 0, 0, 0, 5,
                                                          32, 0, 0, 0, 0x20, 2, 0, 0};
constexpr std::array<std::uint8_t, 32> kTrustedInstaller = {
    0x01, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x50, 0x00, 0x00, 0x00, 0xB5, 0x89, 0xFB, 0x38,
    0x19, 0x84, 0xC2, 0xCB, 0x5C, 0x6C, 0x23, 0x6D, 0x57, 0x00, 0x77, 0x6E, 0xC0, 0x02, 0x64, 0x87};

// What may change a file or folder or who may: data, appending (a folder's new subfolders),
// deletion of it or its children, the list, the owner; and the generic rights that include them.
constexpr win::DWORD kChangingRights = win::FILE_WRITE_DATA | win::FILE_APPEND_DATA |
                                       win::FILE_DELETE_CHILD | win::DELETE | win::WRITE_DAC |
                                       win::WRITE_OWNER | win::GENERIC_WRITE | win::GENERIC_ALL;

// What re-points or removes a link: its data or attributes (a new reparse record), deleting it,
// its list or owner; and what lets someone delete or replace an entry of a folder.
constexpr win::DWORD kLinkChangingRights = win::FILE_WRITE_DATA | win::FILE_WRITE_ATTRIBUTES |
                                           win::DELETE | win::WRITE_DAC | win::WRITE_OWNER |
                                           win::GENERIC_WRITE | win::GENERIC_ALL;
constexpr win::DWORD kEntryChangingRights =
    win::FILE_DELETE_CHILD | win::WRITE_DAC | win::WRITE_OWNER | win::GENERIC_ALL;

// What changes what a key holds or who may: its values, its subkeys, deleting it, its list and
// its owner; and the generic rights that include them.
constexpr win::DWORD kKeyChangingRights = win::KEY_SET_VALUE | win::KEY_CREATE_SUB_KEY |
                                          win::DELETE | win::WRITE_DAC | win::WRITE_OWNER |
                                          win::GENERIC_WRITE | win::GENERIC_ALL;

bool Same(win::PSID sid, const std::uint8_t* known) {
  return sid != nullptr && win::EqualSid(sid, const_cast<std::uint8_t*>(known)) != 0;
}

std::u16string Decimal(std::uint64_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

// The first one but SYSTEM, Administrators, TrustedInstaller with `withTrustedInstaller` and
// `alsoTrusted` (may be null) that `dacl` grants any of `rights`, as SID text; empty when none. A
// null list grants everything to everyone; a list that cannot be read is not trusted.
std::u16string OtherGrantee(win::PACL dacl, win::DWORD rights, bool withTrustedInstaller,
                            win::PSID alsoTrusted) {
  if (dacl == nullptr) return u"S-1-1-0";
  for (win::DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!win::GetAce(dacl, i, &entry)) return u"an entry that cannot be read";
    const auto* ace = static_cast<const win::ACCESS_ALLOWED_ACE*>(entry);
    if (ace->Header.AceType != win::ACCESS_ALLOWED_ACE_TYPE) continue;
    if ((ace->Header.AceFlags & win::INHERIT_ONLY_ACE) != 0) continue;
    if ((ace->Mask & rights) == 0) continue;
    const auto sid = const_cast<win::DWORD*>(&ace->SidStart);
    if (!IsTrustedOwner(sid, withTrustedInstaller, alsoTrusted)) return SidText(sid);
  }
  return {};
}

}  // namespace

bool ProcessUser::Read() {
  win::UniqueObject token;
  win::HANDLE opened = nullptr;
  if (!win::OpenProcessToken(win::GetCurrentProcess(), win::TOKEN_QUERY, &opened)) return false;
  token.Reset(opened);
  win::DWORD needed = 0;
  win::GetTokenInformation(token.Get(), win::TokenUser, nullptr, 0, &needed);
  buffer_.assign(needed, 0);
  if (needed == 0 || !win::GetTokenInformation(token.Get(), win::TokenUser, buffer_.data(), needed,
                                               &needed)) {
    buffer_.clear();
    return false;
  }
  user_ = reinterpret_cast<win::TOKEN_USER*>(buffer_.data())->User.Sid;
  return true;
}

ObjectSecurity::~ObjectSecurity() {
  if (descriptor_ != nullptr) win::LocalFree(descriptor_);
}

win::DWORD ObjectSecurity::Read(win::HANDLE object, win::DWORD objectType) {
  return win::GetSecurityInfo(object, objectType,
                              win::OWNER_SECURITY_INFORMATION | win::DACL_SECURITY_INFORMATION,
                              &owner_, nullptr, &dacl_, nullptr, &descriptor_);
}

bool IsTrustedOwner(win::PSID owner, bool withTrustedInstaller, win::PSID alsoTrusted) {
  if (owner == nullptr) return false;
  return Same(owner, kSystem.data()) || Same(owner, kAdministrators.data()) ||
         (withTrustedInstaller && Same(owner, kTrustedInstaller.data())) ||
         (alsoTrusted != nullptr && win::EqualSid(owner, alsoTrusted) != 0);
}

bool LetsOthersChange(win::PACL dacl, win::PSID alsoTrusted) {
  return GrantsOthers(dacl, kChangingRights, alsoTrusted);
}

bool GrantsOthers(win::PACL dacl, win::DWORD rights, win::PSID alsoTrusted) {
  return !OtherGrantee(dacl, rights, false, alsoTrusted).empty();
}

std::u16string SidText(win::PSID sid) {
  if (sid == nullptr || !win::IsValidSid(sid)) return u"a SID that is not valid";
  const auto* bytes = static_cast<const std::uint8_t*>(sid);
  std::uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = authority << 8 | bytes[i];
  std::u16string text = u"S-" + Decimal(bytes[0]) + u"-" + Decimal(authority);
  for (int i = 0; i < bytes[1]; ++i) {
    const std::uint8_t* sub = bytes + 8 + 4 * i;
    text += u"-" + Decimal(sub[0] | sub[1] << 8 | sub[2] << 16 | std::uint32_t{sub[3]} << 24);
  }
  return text;
}

std::u16string WhoElseMayChangeEntry(win::HANDLE link, win::HANDLE folder) {
  ObjectSecurity own;
  ObjectSecurity above;
  if (own.Read(link) != 0 || above.Read(folder) != 0) {
    return u"who may change it cannot be read";
  }
  if (!IsTrustedOwner(own.Owner(), true, nullptr)) {
    return u"it is owned by " + SidText(own.Owner());
  }
  std::u16string who = OtherGrantee(own.Dacl(), kLinkChangingRights, true, nullptr);
  if (!who.empty()) return who + u" may change it";
  if (!IsTrustedOwner(above.Owner(), true, nullptr)) {
    return u"its folder is owned by " + SidText(above.Owner());
  }
  who = OtherGrantee(above.Dacl(), kEntryChangingRights, true, nullptr);
  if (!who.empty()) return who + u" may delete it from its folder";
  return {};
}

std::u16string WhoElseMayChangeKey(win::HKEY key) {
  ObjectSecurity security;
  if (security.Read(reinterpret_cast<win::HANDLE>(key), win::SE_REGISTRY_KEY) != 0) {
    return u"who may change it cannot be read";
  }
  if (!IsTrustedOwner(security.Owner(), true, nullptr)) {
    return u"it is owned by " + SidText(security.Owner());
  }
  const std::u16string who = OtherGrantee(security.Dacl(), kKeyChangingRights, true, nullptr);
  if (!who.empty()) return who + u" may change it";
  return {};
}

std::u16string WhyOthersMayChange(win::HANDLE file) {
  // The caller's own user is trusted too (SYSTEM for the service and the package's actions;
  // under Wine every file is the Wine user's).
  ProcessUser self;
  const win::PSID caller = self.Read() ? self.Sid() : nullptr;
  ObjectSecurity security;
  if (security.Read(file) != 0) return u"its owner and permissions cannot be read";
  if (!IsTrustedOwner(security.Owner(), false, caller)) {
    return u"it is owned by someone other than SYSTEM and the Administrators group";
  }
  if (LetsOthersChange(security.Dacl(), caller)) {
    return u"its permissions let users other than SYSTEM and Administrators change it";
  }
  return {};
}

SecurityFromText::SecurityFromText(const char16_t* sddl) {
  win::PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (win::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, win::SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
    held_.Reset(descriptor);
  }
}
