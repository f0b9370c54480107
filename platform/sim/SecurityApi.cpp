// Security calls: descriptors of open files, their text form, access control lists, SIDs and
// the calling process's token.
#include <cstring>

#include "platform/sim/FileSystem.h"
#include "platform/sim/MachineState.h"
#include "platform/sim/Registry.h"
#include "platform/sim/Security.h"

namespace sim {
namespace {

struct TokenObject : HandleObject {
  Token token;
};

// A copy of `bytes` on the local heap, freed by the caller with LocalFree.
void* LocalCopy(const std::vector<std::uint8_t>& bytes) {
  void* block = win::LocalAlloc(win::LMEM_FIXED, bytes.size());
  if (block != nullptr) std::memcpy(block, bytes.data(), bytes.size());
  return block;
}

}  // namespace
}  // namespace sim

namespace win {

DWORD GetSecurityInfo(HANDLE handle, DWORD objectType, DWORD information, PSID* owner,
                      PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
  if (auto failed = sim::Intercept("GetSecurityInfo")) return *failed;
  sim::Guard guard(sim::Lock());
  if ((information & ~(OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION)) != 0) {
    return ERROR_INVALID_PARAMETER;
  }
  sim::FileSecurity security;
  if (objectType == SE_REGISTRY_KEY) {
    // An HKEY passed as the handle, as Windows takes one.
    if (const DWORD code = sim::Registry::SecurityOfOpenKey(handle, security)) return code;
  } else {
    auto open = sim::FindHandleAs<sim::OpenFile>(handle);
    if (objectType != SE_FILE_OBJECT || !open) return ERROR_INVALID_HANDLE;
    // Reading an object's owner or list takes READ_CONTROL on the handle.
    if ((open->access & (READ_CONTROL | GENERIC_READ | GENERIC_ALL)) == 0) {
      return ERROR_ACCESS_DENIED;
    }
    security = open->node->security;
  }
  const bool withOwner = (information & OWNER_SECURITY_INFORMATION) != 0;
  const bool withDacl = (information & DACL_SECURITY_INFORMATION) != 0;
  auto* block = static_cast<std::uint8_t*>(
      sim::LocalCopy(sim::SelfRelative(security, withOwner, withDacl)));
  if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  auto offset = [&](int at) {
    DWORD value = 0;
    std::memcpy(&value, block + at, sizeof value);
    return value;
  };
  if (owner != nullptr) *owner = withOwner ? block + offset(4) : nullptr;
  if (group != nullptr) *group = nullptr;
  if (dacl != nullptr) *dacl = withDacl ? reinterpret_cast<PACL>(block + offset(16)) : nullptr;
  if (sacl != nullptr) *sacl = nullptr;
  if (descriptor != nullptr) {
    *descriptor = block;
  } else {
    LocalFree(block);
  }
  return ERROR_SUCCESS;
}

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR* descriptor,
                                                          ULONG* size) {
  if (sim::Intercept("ConvertStringSecurityDescriptorToSecurityDescriptorW")) return FALSE;
  if (text == nullptr || descriptor == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (revision != SDDL_REVISION_1) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  sim::FileSecurity security;
  bool hasOwner = false;
  bool hasDacl = false;
  if (!sim::ParseSddl(text, security, hasOwner, hasDacl)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto bytes = sim::SelfRelative(security, hasOwner, hasDacl);
  *descriptor = sim::LocalCopy(bytes);
  if (*descriptor == nullptr) return FALSE;
  if (size != nullptr) *size = static_cast<ULONG>(bytes.size());
  return TRUE;
}

BOOL GetAce(PACL acl, DWORD index, LPVOID* ace) {
  if (sim::Intercept("GetAce")) return FALSE;
  if (acl == nullptr || ace == nullptr || index >= acl->AceCount) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto* at = reinterpret_cast<std::uint8_t*>(acl) + sizeof(ACL);
  for (DWORD i = 0; i < index; ++i) at += reinterpret_cast<ACE_HEADER*>(at)->AceSize;
  *ace = at;
  return TRUE;
}

BOOL IsValidSid(PSID sid) {
  const auto* bytes = static_cast<const std::uint8_t*>(sid);
  return bytes != nullptr && bytes[0] == 1 && bytes[1] <= 15 ? TRUE : FALSE;
}

BOOL EqualSid(PSID a, PSID b) {
  if (!IsValidSid(a) || !IsValidSid(b)) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  const std::size_t length = sim::SidLength(a);
  return length == sim::SidLength(b) && std::memcmp(a, b, length) == 0 ? TRUE : FALSE;
}

HANDLE GetCurrentProcess() {
  return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

BOOL OpenProcessToken(HANDLE process, DWORD /*access*/, HANDLE* token) {
  if (sim::Intercept("OpenProcessToken")) return FALSE;
  if (process != GetCurrentProcess() || token == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  sim::Guard guard(sim::Lock());
  auto object = std::make_shared<sim::TokenObject>();
  object->token = sim::CurrentToken();
  *token = sim::AddHandle(std::move(object));
  return TRUE;
}

BOOL GetTokenInformation(HANDLE token, DWORD infoClass, LPVOID info, DWORD size, DWORD* needed) {
  if (sim::Intercept("GetTokenInformation")) return FALSE;
  auto object = sim::FindHandleAs<sim::TokenObject>(token);
  if (!object || needed == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (infoClass != TokenUser) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const sim::Sid& user = object->token.user;
  *needed = static_cast<DWORD>(sizeof(TOKEN_USER) + user.size());
  if (info == nullptr || size < *needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  auto* record = static_cast<TOKEN_USER*>(info);
  auto* sid = static_cast<std::uint8_t*>(info) + sizeof(TOKEN_USER);
  std::memcpy(sid, user.data(), user.size());
  record->User.Sid = sid;
  record->User.Attributes = 0;
  return TRUE;
}

}  // namespace win
