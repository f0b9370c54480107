#include "platform/sim/Registry.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/MachineState.h"

namespace sim {
namespace {

// Standard rights as winnt.h has them; the seam declares only what the programs pass.
constexpr win::REGSAM kWriteDac = 0x00040000;
constexpr win::REGSAM kWriteOwner = 0x00080000;
constexpr win::REGSAM kCreateLink = 0x0020;
// What a standard user's token is refused on HKEY_LOCAL_MACHINE by the default ACLs.
constexpr win::REGSAM kModifyingRights = win::KEY_SET_VALUE | win::KEY_CREATE_SUB_KEY |
                                         kCreateLink | win::DELETE | kWriteDac | kWriteOwner;

// Generic rights as the key object type maps them.
win::REGSAM MapGeneric(win::REGSAM access) {
  win::REGSAM mapped =
      access & ~(win::GENERIC_READ | win::GENERIC_WRITE | win::GENERIC_EXECUTE | win::GENERIC_ALL);
  if (access & (win::GENERIC_READ | win::GENERIC_EXECUTE)) mapped |= win::KEY_READ;
  if (access & win::GENERIC_WRITE) mapped |= win::KEY_WRITE;
  if (access & win::GENERIC_ALL) mapped |= win::KEY_ALL_ACCESS;
  return mapped;
}

std::vector<std::u16string_view> SplitPath(std::u16string_view path) {
  std::vector<std::u16string_view> parts;
  while (!path.empty()) {
    const auto cut = path.find(u'\\');
    const auto part = path.substr(0, cut);
    if (!part.empty()) parts.push_back(part);
    if (cut == std::u16string_view::npos) break;
    path.remove_prefix(cut + 1);
  }
  return parts;
}

// HKEY_PERFORMANCE_DATA stands for data gathered at query time, and HKEY_DYN_DATA exists on
// Windows 9x only: neither holds keys.
bool IsKeylessRoot(win::HKEY key) {
  return key == win::HKEY_PERFORMANCE_DATA || key == win::HKEY_DYN_DATA;
}

struct ResolvedKey {
  std::shared_ptr<RegistryKey> key;
  win::REGSAM access = 0;
  win::DWORD status = win::ERROR_SUCCESS;
};

// A predefined root is open with every right the caller's token has there; an open key carries
// the access it was opened with. A handle to a key deleted since is still a handle, to a
// deleted key.
ResolvedKey Resolve(win::HKEY handle) {
  auto& registry = *State().registry;
  if (auto root = registry.Root(handle)) {
    const bool readOnly = !registry.administrator && registry.IsMachineWide(*root);
    return {root, readOnly ? win::KEY_READ : win::KEY_ALL_ACCESS};
  }
  if (auto open = FindHandleAs<OpenKey>(reinterpret_cast<win::HANDLE>(handle))) {
    if (open->key->deleted) return {nullptr, 0, win::ERROR_KEY_DELETED};
    return {open->key, open->access};
  }
  return {nullptr, 0, win::ERROR_INVALID_HANDLE};
}

bool DeniedTo(const RegistryKey& key, win::REGSAM access) {
  const auto& registry = *State().registry;
  return !registry.administrator && (access & kModifyingRights) != 0 && registry.IsMachineWide(key);
}

win::HKEY AddKeyHandle(std::shared_ptr<RegistryKey> key, win::REGSAM access) {
  auto open = std::make_shared<OpenKey>();
  open->key = std::move(key);
  open->access = access;
  return reinterpret_cast<win::HKEY>(AddHandle(std::move(open)));
}

std::u16string_view Text(win::LPCWSTR text) {
  return text != nullptr ? text : u"";
}

// A value's type and data as RegQueryValueExW and RegEnumValueW give them: the size needed when
// `data` is too small (ERROR_MORE_DATA), the size alone when `data` is null.
win::LSTATUS CopyValueOut(const RegistryValue& value, win::DWORD* type, win::BYTE* data,
                          win::DWORD* size) {
  if (type != nullptr) *type = value.type;
  const auto length = static_cast<win::DWORD>(value.data.size());
  if (size == nullptr) return win::ERROR_SUCCESS;
  if (data != nullptr && *size < length) {
    *size = length;
    return win::ERROR_MORE_DATA;
  }
  if (data != nullptr && length > 0) std::memcpy(data, value.data.data(), length);
  *size = length;
  return win::ERROR_SUCCESS;
}

}  // namespace

Registry::Registry()
    : localMachine_(std::make_shared<RegistryKey>()),
      currentUser_(std::make_shared<RegistryKey>()),
      users_(std::make_shared<RegistryKey>()) {
  for (const auto& root : {localMachine_, currentUser_, users_}) {
    bool hasOwner = false;
    bool hasDacl = false;
    ParseSddl(kRegistryRootSecurity, root->security, hasOwner, hasDacl);
  }
  // The interactive user's own hive is that user's.
  const Sid user = ParseSid(kInteractiveUserSid);
  currentUser_->security.owner = user;
  currentUser_->security.dacl.push_back(
      Ace{win::ACCESS_ALLOWED_ACE_TYPE, win::CONTAINER_INHERIT_ACE, win::KEY_ALL_ACCESS, user});
  bool created = false;
  classes_ = Create(localMachine_, u"Software\\Classes", created);
  currentConfig_ =
      Create(localMachine_, u"System\\CurrentControlSet\\Hardware Profiles\\Current", created);
  Create(localMachine_, u"System\\CurrentControlSet\\Services", created);
  Create(currentUser_, u"Software", created);
}

std::shared_ptr<RegistryKey> Registry::Root(win::HKEY key) const {
  if (key == win::HKEY_CLASSES_ROOT) return classes_;
  if (key == win::HKEY_LOCAL_MACHINE) return localMachine_;
  if (key == win::HKEY_CURRENT_USER) return currentUser_;
  if (key == win::HKEY_USERS) return users_;
  if (key == win::HKEY_CURRENT_CONFIG) return currentConfig_;
  return nullptr;
}

std::shared_ptr<RegistryKey> Registry::Find(const std::shared_ptr<RegistryKey>& from,
                                            std::u16string_view path) {
  if (!from) return nullptr;
  std::shared_ptr<RegistryKey> key = from;
  for (auto part : SplitPath(path)) {
    auto it = key->subkeys.find(Upper(part));
    if (it == key->subkeys.end()) return nullptr;
    key = it->second;
  }
  return key;
}

std::shared_ptr<RegistryKey> Registry::Create(const std::shared_ptr<RegistryKey>& from,
                                              std::u16string_view path, bool& created,
                                              const Sid* owner) {
  created = false;
  const Sid maker = owner != nullptr ? *owner : ParseSid(u"BA");
  std::shared_ptr<RegistryKey> key = from;
  for (auto part : SplitPath(path)) {
    auto& slot = key->subkeys[Upper(part)];
    if (!slot) {
      slot = std::make_shared<RegistryKey>();
      slot->name = std::u16string(part);
      slot->parent = key.get();
      slot->security.owner = maker;
      slot->security.dacl = InheritedEntries(key->security, true, maker);
      created = true;
    } else {
      created = false;
    }
    key = slot;
  }
  return key;
}

void Registry::PutValue(RegistryKey& key, RegistryValue value) {
  auto& slot = key.values[Upper(value.name)];
  value.made = slot.made != 0 ? slot.made : ++key.valuesMade;
  slot = std::move(value);
}

win::DWORD Registry::SecurityOfOpenKey(win::HANDLE handle, FileSecurity& out) {
  const ResolvedKey open = Resolve(reinterpret_cast<win::HKEY>(handle));
  if (!open.key) return open.status;
  if ((open.access & win::READ_CONTROL) == 0) return win::ERROR_ACCESS_DENIED;
  out = open.key->security;
  return 0;
}

void Registry::DeleteTree(const std::shared_ptr<RegistryKey>& key) {
  if (!key || key->parent == nullptr) return;
  // Marks the whole subtree: a handle open below the removed key must not keep working on
  // keys no longer reachable.
  auto mark = [](auto& self, RegistryKey& node) -> void {
    node.deleted = true;
    for (auto& [name, child] : node.subkeys) self(self, *child);
  };
  mark(mark, *key);
  key->parent->subkeys.erase(Upper(key->name));
}

bool Registry::IsMachineWide(const RegistryKey& key) const {
  const RegistryKey* node = &key;
  while (node->parent != nullptr) node = node->parent;
  return node == localMachine_.get();
}

}  // namespace sim

namespace win {

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, HKEY* result) {
  if (auto code = sim::Intercept("RegOpenKeyExW")) return static_cast<LSTATUS>(*code);
  sim::Guard guard(sim::Lock());
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  // The open options NtOpenKeyEx knows; any other bit (a creation option such as
  // REG_OPTION_VOLATILE among them) it refuses with STATUS_INVALID_PARAMETER_4.
  if ((options & ~(REG_OPTION_OPEN_LINK | REG_OPTION_BACKUP_RESTORE)) != 0) {
    return ERROR_INVALID_PARAMETER;
  }
  if (sim::IsKeylessRoot(key)) {
    if (!sim::Text(subKey).empty()) return ERROR_INVALID_HANDLE;
    *result = key;  // the root itself, as Windows hands it back
    return ERROR_SUCCESS;
  }
  auto from = sim::Resolve(key);
  if (!from.key) return static_cast<LSTATUS>(from.status);
  auto found = sim::Registry::Find(from.key, sim::Text(subKey));
  if (!found) return ERROR_FILE_NOT_FOUND;
  access = sim::MapGeneric(access);
  if (sim::DeniedTo(*found, access)) return ERROR_ACCESS_DENIED;
  *result = sim::AddKeyHandle(std::move(found), access);
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM access, void*,
                        HKEY* result, DWORD* disposition) {
  if (auto code = sim::Intercept("RegCreateKeyExW")) return static_cast<LSTATUS>(*code);
  sim::Guard guard(sim::Lock());
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (sim::IsKeylessRoot(key)) return ERROR_INVALID_HANDLE;
  auto from = sim::Resolve(key);
  if (!from.key) return static_cast<LSTATUS>(from.status);
  access = sim::MapGeneric(access);
  auto existing = sim::Registry::Find(from.key, sim::Text(subKey));
  if (existing) {
    if (sim::DeniedTo(*existing, access)) return ERROR_ACCESS_DENIED;
  } else if ((from.access & KEY_CREATE_SUB_KEY) == 0 ||
             sim::DeniedTo(*from.key, KEY_CREATE_SUB_KEY)) {
    return ERROR_ACCESS_DENIED;
  }
  bool created = false;
  const sim::Sid owner = sim::CurrentToken().defaultOwner;
  auto made =
      existing ? existing : sim::Registry::Create(from.key, sim::Text(subKey), created, &owner);
  if (disposition != nullptr)
    *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = sim::AddKeyHandle(std::move(made), access);
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, DWORD*, DWORD* type, BYTE* data, DWORD* size) {
  if (auto code = sim::Intercept("RegQueryValueExW")) return static_cast<LSTATUS>(*code);
  sim::Guard guard(sim::Lock());
  auto open = sim::Resolve(key);
  if (!open.key) return static_cast<LSTATUS>(open.status);
  if ((open.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  auto it = open.key->values.find(sim::Upper(sim::Text(name)));
  if (it == open.key->values.end()) return ERROR_FILE_NOT_FOUND;
  const auto& value = it->second;
  return sim::CopyValueOut(value, type, data, size);
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
  if (auto code = sim::Intercept("RegSetValueExW")) return static_cast<LSTATUS>(*code);
  sim::Guard guard(sim::Lock());
  if (sim::IsKeylessRoot(key)) return ERROR_INVALID_HANDLE;
  auto open = sim::Resolve(key);
  if (!open.key) return static_cast<LSTATUS>(open.status);
  if ((open.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (data == nullptr && size != 0) return ERROR_NOACCESS;
  // A string counted without its NUL gets it when the character after the count is one:
  // Windows looks one character past the given size for it.
  if ((type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) && size >= 2) {
    const auto* text = reinterpret_cast<const char16_t*>(data);
    char16_t last = 0, next = 0;
    std::memcpy(&last, text + (size / 2 - 1), sizeof last);
    // Only a string counted without its NUL is read past its size, as Windows does.
    if (last != 0) std::memcpy(&next, text + size / 2, sizeof next);
    if (last != 0 && next == 0) size += 2;
  }
  sim::RegistryValue value;
  value.name = std::u16string(sim::Text(name));
  value.type = type;
  if (size > 0) value.data.assign(data, data + size);
  sim::Registry::PutValue(*open.key, std::move(value));
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR name) {
  if (auto code = sim::Intercept("RegDeleteValueW")) return static_cast<LSTATUS>(*code);
  sim::Guard guard(sim::Lock());
  auto open = sim::Resolve(key);
  if (!open.key) return static_cast<LSTATUS>(open.status);
  if ((open.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  return open.key->values.erase(sim::Upper(sim::Text(name))) > 0 ? ERROR_SUCCESS
                                                                 : ERROR_FILE_NOT_FOUND;
}

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  if (auto code = sim::Intercept("RegDeleteKeyW")) return static_cast<LSTATUS>(*code);
  sim::Guard guard(sim::Lock());
  if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
  if (sim::IsKeylessRoot(key)) return ERROR_INVALID_HANDLE;
  auto open = sim::Resolve(key);
  if (!open.key) return static_cast<LSTATUS>(open.status);
  auto victim = sim::Registry::Find(open.key, subKey);
  if (!victim) return ERROR_FILE_NOT_FOUND;
  // A hive's top key is not removable; nor is a key with subkeys (RegDeleteKeyW removes
  // leaves), nor, for a standard user, a key of HKEY_LOCAL_MACHINE.
  if (victim->parent == nullptr) return ERROR_ACCESS_DENIED;
  if (!victim->subkeys.empty()) return ERROR_ACCESS_DENIED;
  if (sim::DeniedTo(*victim, DELETE)) return ERROR_ACCESS_DENIED;
  sim::Registry::DeleteTree(victim);
  return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, DWORD* nameSize, DWORD*, LPWSTR className,
                      DWORD* classSize, FILETIME* lastWriteTime) {
  if (auto code = sim::Intercept("RegEnumKeyExW")) return static_cast<LSTATUS>(*code);
  sim::Guard guard(sim::Lock());
  if (sim::IsKeylessRoot(key)) return ERROR_INVALID_HANDLE;
  auto open = sim::Resolve(key);
  if (!open.key) return static_cast<LSTATUS>(open.status);
  if ((open.access & KEY_ENUMERATE_SUB_KEYS) == 0) return ERROR_ACCESS_DENIED;
  if (name == nullptr || nameSize == nullptr) return ERROR_INVALID_PARAMETER;
  // Subkeys come in the order of their upper-cased names, as Windows keeps its key index.
  if (index >= open.key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  auto it = open.key->subkeys.begin();
  std::advance(it, index);
  const std::u16string& found = it->second->name;
  // The size counts characters: the room given includes the NUL, the length returned does not.
  if (!sim::CopyOut(found, name, *nameSize)) return ERROR_MORE_DATA;
  *nameSize = static_cast<DWORD>(found.size());
  // No key here has a class name.
  if (classSize != nullptr) {
    if (className != nullptr && *classSize > 0) className[0] = u'\0';
    *classSize = 0;
  }
  if (lastWriteTime != nullptr) *lastWriteTime = FILETIME{};
  return ERROR_SUCCESS;
}

LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR name, DWORD* nameSize, DWORD*, DWORD* type,
                      BYTE* data, DWORD* size) {
  if (auto code = sim::Intercept("RegEnumValueW")) return static_cast<LSTATUS>(*code);
  sim::Guard guard(sim::Lock());
  if (sim::IsKeylessRoot(key)) return ERROR_INVALID_HANDLE;
  auto open = sim::Resolve(key);
  if (!open.key) return static_cast<LSTATUS>(open.status);
  if ((open.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (name == nullptr || nameSize == nullptr) return ERROR_INVALID_PARAMETER;
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  // In the order the values were made, as Windows keeps a key's value list.
  std::vector<const sim::RegistryValue*> ordered;
  for (const auto& [upper, value] : open.key->values) ordered.push_back(&value);
  std::sort(ordered.begin(), ordered.end(),
            [](const auto* a, const auto* b) { return a->made < b->made; });
  if (index >= ordered.size()) return ERROR_NO_MORE_ITEMS;
  const sim::RegistryValue& value = *ordered[index];
  if (!sim::CopyOut(value.name, name, *nameSize)) return ERROR_MORE_DATA;
  *nameSize = static_cast<DWORD>(value.name.size());
  return sim::CopyValueOut(value, type, data, size);
}

// The counts and longest lengths (characters without the NUL for names, bytes for data); no key
// here has a class name or a security descriptor of its own.
LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR className, DWORD* classSize, DWORD*, DWORD* subKeys,
                         DWORD* maxSubKeyLength, DWORD* maxClassLength, DWORD* values,
                         DWORD* maxValueNameLength, DWORD* maxValueLength,
                         DWORD* securityDescriptorSize, FILETIME* lastWriteTime) {
  if (auto code = sim::Intercept("RegQueryInfoKeyW")) return static_cast<LSTATUS>(*code);
  sim::Guard guard(sim::Lock());
  if (sim::IsKeylessRoot(key)) return ERROR_INVALID_HANDLE;
  auto open = sim::Resolve(key);
  if (!open.key) return static_cast<LSTATUS>(open.status);
  if ((open.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  DWORD longestKey = 0;
  for (const auto& [name, child] : open.key->subkeys) {
    longestKey = std::max(longestKey, static_cast<DWORD>(child->name.size()));
  }
  DWORD longestName = 0;
  DWORD longestData = 0;
  for (const auto& [name, value] : open.key->values) {
    longestName = std::max(longestName, static_cast<DWORD>(value.name.size()));
    longestData = std::max(longestData, static_cast<DWORD>(value.data.size()));
  }
  if (className != nullptr && classSize != nullptr && *classSize > 0) className[0] = u'\0';
  if (classSize != nullptr) *classSize = 0;
  if (subKeys != nullptr) *subKeys = static_cast<DWORD>(open.key->subkeys.size());
  if (maxSubKeyLength != nullptr) *maxSubKeyLength = longestKey;
  if (maxClassLength != nullptr) *maxClassLength = 0;
  if (values != nullptr) *values = static_cast<DWORD>(open.key->values.size());
  if (maxValueNameLength != nullptr) *maxValueNameLength = longestName;
  if (maxValueLength != nullptr) *maxValueLength = longestData;
  if (securityDescriptorSize != nullptr) *securityDescriptorSize = 0;
  if (lastWriteTime != nullptr) *lastWriteTime = FILETIME{};
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
  if (auto code = sim::Intercept("RegCloseKey")) return static_cast<LSTATUS>(*code);
  sim::Guard guard(sim::Lock());
  if (sim::State().registry->Root(key) || sim::IsKeylessRoot(key)) return ERROR_SUCCESS;
  if (!sim::FindHandleAs<sim::OpenKey>(reinterpret_cast<HANDLE>(key))) return ERROR_INVALID_HANDLE;
  sim::RemoveHandle(reinterpret_cast<HANDLE>(key));
  return ERROR_SUCCESS;
}

}  // namespace win
