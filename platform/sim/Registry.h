// The simulated registry: hives of keys with typed values. HKEY_CLASSES_ROOT is the view of
// HKEY_LOCAL_MACHINE\Software\Classes, as on a machine without per-user classes, and
// HKEY_CURRENT_CONFIG the view of the current hardware profile under HKEY_LOCAL_MACHINE.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WinApi.h"
#include "platform/sim/MachineState.h"
#include "platform/sim/Security.h"

namespace sim {

struct RegistryValue {
  std::u16string name;
  win::DWORD type = win::REG_NONE;
  std::vector<std::uint8_t> data;
  std::uint64_t made = 0;  // when it was made in its key: values enumerate in that order
};

struct RegistryKey {
  std::u16string name;
  RegistryKey* parent = nullptr;
  bool deleted = false;
  std::map<std::u16string, std::shared_ptr<RegistryKey>> subkeys;  // by upper-cased name
  std::map<std::u16string, RegistryValue> values;                  // by upper-cased name
  std::uint64_t valuesMade = 0;
  // The owner and list of the key. A new key is owned by its maker and inherits its parent's
  // container-inherit entries, as Windows gives a new key.
  FileSecurity security;
};

// What the predefined roots carry, as Windows' HKEY_LOCAL_MACHINE\SOFTWARE does: owner
// Administrators, SYSTEM and Administrators full control, Users read, CREATOR OWNER full control
// of the subkeys one makes, all inherited by the keys below.
inline constexpr char16_t kRegistryRootSecurity[] =
    u"O:BAD:P(A;CIIO;KA;;;CO)(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)";

// An open key: the key itself and the access it was opened with.
struct OpenKey : HandleObject {
  std::shared_ptr<RegistryKey> key;
  win::REGSAM access = 0;
};

class Registry {
 public:
  Registry();

  // The key a predefined root stands for, or null when `key` is not one (or stands for no
  // stored key, as HKEY_PERFORMANCE_DATA and HKEY_DYN_DATA).
  std::shared_ptr<RegistryKey> Root(win::HKEY key) const;
  // Walks a backslash-separated path below `from`; null when a component is missing.
  static std::shared_ptr<RegistryKey> Find(const std::shared_ptr<RegistryKey>& from,
                                           std::u16string_view path);
  // Walks and creates what is missing; `created` tells whether the last key is new. The keys
  // made belong to `owner` (Administrators when not given, as for a test's own set-up).
  static std::shared_ptr<RegistryKey> Create(const std::shared_ptr<RegistryKey>& from,
                                             std::u16string_view path, bool& created,
                                             const Sid* owner = nullptr);
  // Stores a value; one that replaces another of its name keeps its place in the enumeration.
  static void PutValue(RegistryKey& key, RegistryValue value);
  // The security of the key an open HKEY (or a predefined root) stands for; 0, or
  // ERROR_INVALID_HANDLE, ERROR_KEY_DELETED, or ERROR_ACCESS_DENIED for a handle without
  // READ_CONTROL.
  static win::DWORD SecurityOfOpenKey(win::HANDLE handle, FileSecurity& out);
  // Removes a key and everything below it; open handles to any of them see a deleted key.
  static void DeleteTree(const std::shared_ptr<RegistryKey>& key);
  // Whether a key lies in HKEY_LOCAL_MACHINE (HKEY_CLASSES_ROOT and HKEY_CURRENT_CONFIG too),
  // which Windows' default ACLs let only administrators change.
  bool IsMachineWide(const RegistryKey& key) const;

  bool administrator = true;

 private:
  std::shared_ptr<RegistryKey> localMachine_;
  std::shared_ptr<RegistryKey> currentUser_;
  std::shared_ptr<RegistryKey> users_;
  std::shared_ptr<RegistryKey> classes_;
  std::shared_ptr<RegistryKey> currentConfig_;
};

}  // namespace sim
