#include "engine/FileSecurity.h"

#include <array>

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

bool Same(win::PSID sid, const std::uint8_t* known) {
  return sid != nullptr && win::EqualSid(sid, const_cast<std::uint8_t*>(known)) != 0;
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

win::DWORD ObjectSecurity::Read(win::HANDLE object) {
  return win::GetSecurityInfo(object, win::SE_FILE_OBJECT,
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
  if (dacl == nullptr) return true;
  for (win::DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!win::GetAce(dacl, i, &entry)) return true;  // a list that cannot be read is not trusted
    const auto* ace = static_cast<const win::ACCESS_ALLOWED_ACE*>(entry);
    if (ace->Header.AceType != win::ACCESS_ALLOWED_ACE_TYPE) continue;
    if ((ace->Header.AceFlags & win::INHERIT_ONLY_ACE) != 0) continue;
    if ((ace->Mask & rights) == 0) continue;
    const auto sid = const_cast<win::DWORD*>(&ace->SidStart);
    if (!IsTrustedOwner(sid, false, alsoTrusted)) return true;
  }
  return false;
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
