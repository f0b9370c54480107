// The simulated registry: hives of keys with typed values. HKEY_CLASSES_ROOT is the view of
// HKEY_LOCAL_MACHINE\Software\Classes, as on a machine without per-user classes.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WinApi.h"

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

class Registry {
 public:
  Registry();

  // The key a predefined root stands for, or null when `key` is not one.
  std::shared_ptr<RegistryKey> Root(win::HKEY key) const;
  // Walks a backslash-separated path below `from`; null when a component is missing.
  static std::shared_ptr<RegistryKey> Find(const std::shared_ptr<RegistryKey>& from,
                                           std::u16string_view path);
  // Walks and creates what is missing; `created` tells whether the last key is new.
  static std::shared_ptr<RegistryKey> Create(const std::shared_ptr<RegistryKey>& from,
                                             std::u16string_view path, bool& created);

 private:
  std::shared_ptr<RegistryKey> localMachine_;
  std::shared_ptr<RegistryKey> currentUser_;
  std::shared_ptr<RegistryKey> users_;
  std::shared_ptr<RegistryKey> classes_;
};

}  // namespace sim
