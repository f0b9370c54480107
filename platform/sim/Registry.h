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

namespace sim {

struct RegistryValue {
  std::u16string name;
  win::DWORD type = win::REG_NONE;
  std::vector<std::uint8_t> data;
};

struct RegistryKey {
  std::u16string name;
  RegistryKey* parent = nullptr;
  bool deleted = false;
  std::map<std::u16string, std::shared_ptr<RegistryKey>> subkeys;  // by upper-cased name
  std::map<std::u16string, RegistryValue> values;                  // by upper-cased name
};

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
  // Walks and creates what is missing; `created` tells whether the last key is new.
  static std::shared_ptr<RegistryKey> Create(const std::shared_ptr<RegistryKey>& from,
                                             std::u16string_view path, bool& created);
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
