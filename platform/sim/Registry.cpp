#include "platform/sim/Registry.h"

#include <cstring>

#include "platform/sim/MachineState.h"

namespace sim {
namespace {

// An open key: the key itself and the access it was opened with.
struct OpenKey : HandleObject {
  std::shared_ptr<RegistryKey> key;
  win::REGSAM access = 0;
};

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

struct ResolvedKey {
  std::shared_ptr<RegistryKey> key;
  win::REGSAM access = 0;
};

// A predefined root is always open with full access; an open key carries its own access.
ResolvedKey Resolve(win::HKEY handle) {
  if (auto root = State().registry->Root(handle)) return {root, win::KEY_ALL_ACCESS};
  if (auto open = FindHandleAs<OpenKey>(reinterpret_cast<win::HANDLE>(handle))) {
    if (!open->key->deleted) return {open->key, open->access};
  }
  return {};
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

}  // namespace

Registry::Registry()
    : localMachine_(std::make_shared<RegistryKey>()),
      currentUser_(std::make_shared<RegistryKey>()),
      users_(std::make_shared<RegistryKey>()) {
  bool created = false;
  classes_ = Create(localMachine_, u"Software\\Classes", created);
  Create(localMachine_, u"System\\CurrentControlSet\\Services", created);
  Create(currentUser_, u"Software", created);
}

std::shared_ptr<RegistryKey> Registry::Root(win::HKEY key) const {
  if (key == win::HKEY_CLASSES_ROOT) return classes_;
  if (key == win::HKEY_LOCAL_MACHINE) return localMachine_;
  if (key == win::HKEY_CURRENT_USER) return currentUser_;
  if (key == win::HKEY_USERS) return users_;
  return nullptr;
}

std::shared_ptr<RegistryKey> Registry::Find(const std::shared_ptr<RegistryKey>& from,
                                            std::u16string_view path) {
  std::shared_ptr<RegistryKey> key = from;
  for (auto part : SplitPath(path)) {
    auto it = key->subkeys.find(Upper(part));
    if (it == key->subkeys.end()) return nullptr;
    key = it->second;
  }
  return key;
}

std::shared_ptr<RegistryKey> Registry::Create(const std::shared_ptr<RegistryKey>& from,
                                              std::u16string_view path, bool& created) {
  created = false;
  std::shared_ptr<RegistryKey> key = from;
  for (auto part : SplitPath(path)) {
    auto& slot = key->subkeys[Upper(part)];
    if (!slot) {
      slot = std::make_shared<RegistryKey>();
      slot->name = std::u16string(part);
      slot->parent = key.get();
      created = true;
    } else {
      created = false;
    }
    key = slot;
  }
  return key;
}

}  // namespace sim

namespace win {

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM access, HKEY* result) {
  if (auto code = sim::Intercept("RegOpenKeyExW")) return static_cast<LSTATUS>(*code);
  sim::Guard guard(sim::Lock());
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  auto from = sim::Resolve(key);
  if (!from.key) return ERROR_INVALID_HANDLE;
  auto found = sim::Registry::Find(from.key, sim::Text(subKey));
  if (!found) return ERROR_FILE_NOT_FOUND;
  *result = sim::AddKeyHandle(std::move(found), access);
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM access, void*,
                        HKEY* result, DWORD* disposition) {
  if (auto code = sim::Intercept("RegCreateKeyExW")) return static_cast<LSTATUS>(*code);
  sim::Guard guard(sim::Lock());
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  auto from = sim::Resolve(key);
  if (!from.key) return ERROR_INVALID_HANDLE;
  bool created = false;
  if (!sim::Registry::Find(from.key, sim::Text(subKey)) &&
      (from.access & KEY_CREATE_SUB_KEY) == 0) {
    return ERROR_ACCESS_DENIED;
  }
  auto made = sim::Registry::Create(from.key, sim::Text(subKey), created);
  if (disposition != nullptr)
    *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = sim::AddKeyHandle(std::move(made), access);
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, DWORD*, DWORD* type, BYTE* data, DWORD* size) {
  if (auto code = sim::Intercept("RegQueryValueExW")) return static_cast<LSTATUS>(*code);
  sim::Guard guard(sim::Lock());
  auto open = sim::Resolve(key);
  if (!open.key) return ERROR_INVALID_HANDLE;
  if ((open.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  auto it = open.key->values.find(sim::Upper(sim::Text(name)));
  if (it == open.key->values.end()) return ERROR_FILE_NOT_FOUND;
  const auto& value = it->second;
  if (type != nullptr) *type = value.type;
  const auto length = static_cast<DWORD>(value.data.size());
  if (size == nullptr) return ERROR_SUCCESS;
  if (data != nullptr && *size < length) {
    *size = length;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr && length > 0) std::memcpy(data, value.data.data(), length);
  *size = length;
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
  if (auto code = sim::Intercept("RegSetValueExW")) return static_cast<LSTATUS>(*code);
  sim::Guard guard(sim::Lock());
  auto open = sim::Resolve(key);
  if (!open.key) return ERROR_INVALID_HANDLE;
  if ((open.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (data == nullptr && size != 0) return ERROR_INVALID_PARAMETER;
  sim::RegistryValue value;
  value.name = std::u16string(sim::Text(name));
  value.type = type;
  if (size > 0) value.data.assign(data, data + size);
  open.key->values[sim::Upper(value.name)] = std::move(value);
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR name) {
  if (auto code = sim::Intercept("RegDeleteValueW")) return static_cast<LSTATUS>(*code);
  sim::Guard guard(sim::Lock());
  auto open = sim::Resolve(key);
  if (!open.key) return ERROR_INVALID_HANDLE;
  if ((open.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  return open.key->values.erase(sim::Upper(sim::Text(name))) > 0 ? ERROR_SUCCESS
                                                                 : ERROR_FILE_NOT_FOUND;
}

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  if (auto code = sim::Intercept("RegDeleteKeyW")) return static_cast<LSTATUS>(*code);
  sim::Guard guard(sim::Lock());
  auto open = sim::Resolve(key);
  if (!open.key) return ERROR_INVALID_HANDLE;
  auto victim = sim::Registry::Find(open.key, sim::Text(subKey));
  if (!victim) return ERROR_FILE_NOT_FOUND;
  if (victim == open.key || victim->parent == nullptr) return ERROR_ACCESS_DENIED;
  if (!victim->subkeys.empty()) return ERROR_ACCESS_DENIED;
  victim->deleted = true;
  victim->parent->subkeys.erase(sim::Upper(victim->name));
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
  if (auto code = sim::Intercept("RegCloseKey")) return static_cast<LSTATUS>(*code);
  sim::Guard guard(sim::Lock());
  if (sim::State().registry->Root(key)) return ERROR_SUCCESS;
  if (!sim::FindHandleAs<sim::OpenKey>(reinterpret_cast<HANDLE>(key))) return ERROR_INVALID_HANDLE;
  sim::RemoveHandle(reinterpret_cast<HANDLE>(key));
  return ERROR_SUCCESS;
}

}  // namespace win
