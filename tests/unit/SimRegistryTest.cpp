// The simulated registry's test-facing side: a standard user's rights, the tree view and the
// count of open keys.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/UniqueHandle.h"
#include "platform/sim/Machine.h"

namespace {

constexpr win::LSTATUS kDenied = static_cast<win::LSTATUS>(win::ERROR_ACCESS_DENIED);

struct Change {
  const char* label;
  std::function<win::LSTATUS(win::HKEY root)> call;
};

class StandardUser : public ::testing::TestWithParam<Change> {
 protected:
  StandardUser() {
    for (win::HKEY root :
         {win::HKEY_CLASSES_ROOT, win::HKEY_LOCAL_MACHINE, win::HKEY_CURRENT_USER}) {
      machine.SetRegistryString(root, u"Software\\Corvane", u"Kept", u"yes");
      machine.CreateRegistryKey(root, u"Software\\Corvane\\Leaf");
    }
    machine.SetAdministrator(false);
  }
  sim::Machine machine;
};

win::LSTATUS OpenAndClose(win::HKEY root, win::REGSAM access) {
  win::HKEY key = nullptr;
  const win::LSTATUS status = win::RegOpenKeyExW(root, u"Software\\Corvane", 0, access, &key);
  if (key != nullptr) win::RegCloseKey(key);
  return status;
}

// Refused under HKEY_CLASSES_ROOT and HKEY_LOCAL_MACHINE, nothing changed; allowed under
// HKEY_CURRENT_USER.
TEST_P(StandardUser, MachineKeysRefuseChanges) {
  const std::vector<std::string> before = machine.RegistryTree(win::HKEY_LOCAL_MACHINE, u"");
  for (win::HKEY root : {win::HKEY_CLASSES_ROOT, win::HKEY_LOCAL_MACHINE}) {
    EXPECT_EQ(GetParam().call(root), kDenied);
  }
  EXPECT_EQ(machine.RegistryTree(win::HKEY_LOCAL_MACHINE, u""), before);
  EXPECT_EQ(GetParam().call(win::HKEY_CURRENT_USER), 0);
  EXPECT_EQ(machine.OpenRegistryKeys(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, StandardUser,
    ::testing::Values(
        Change{"CreateKey",
               [](win::HKEY root) {
                 win::UniqueKey key;
                 return win::RegCreateKeyExW(root, u"Software\\Corvane\\New", 0, nullptr, 0,
                                             win::KEY_READ, nullptr, key.Put(), nullptr);
               }},
        Change{"CreateExistingForWriting",
               [](win::HKEY root) {
                 win::UniqueKey key;
                 return win::RegCreateKeyExW(root, u"Software\\Corvane", 0, nullptr, 0,
                                             win::KEY_ALL_ACCESS, nullptr, key.Put(), nullptr);
               }},
        Change{"OpenForWriting", [](win::HKEY root) { return OpenAndClose(root, win::KEY_WRITE); }},
        Change{"OpenToSetValues",
               [](win::HKEY root) { return OpenAndClose(root, win::KEY_SET_VALUE); }},
        Change{"OpenToCreateSubkeys",
               [](win::HKEY root) { return OpenAndClose(root, win::KEY_CREATE_SUB_KEY); }},
        Change{"OpenGenericWrite",
               [](win::HKEY root) { return OpenAndClose(root, win::GENERIC_WRITE); }},
        Change{"SetValueOnTheRoot",
               [](win::HKEY root) {
                 const win::DWORD one = 1;
                 return win::RegSetValueExW(root, u"Corvane", 0, win::REG_DWORD,
                                            reinterpret_cast<const win::BYTE*>(&one), 4);
               }},
        Change{
            "DeleteLeaf",
            [](win::HKEY root) { return win::RegDeleteKeyW(root, u"Software\\Corvane\\Leaf"); }}),
    [](const ::testing::TestParamInfo<Change>& c) { return std::string(c.param.label); });

TEST(StandardUserReads, MachineKeysStayReadable) {
  sim::Machine machine;
  machine.SetRegistryString(win::HKEY_CLASSES_ROOT, u"AppID\\Corvane", u"", u"CorvaneService");
  machine.SetAdministrator(false);
  win::UniqueKey key;
  ASSERT_EQ(
      win::RegOpenKeyExW(win::HKEY_CLASSES_ROOT, u"AppID\\Corvane", 0, win::KEY_READ, key.Put()),
      0);
  win::DWORD size = 0;
  EXPECT_EQ(win::RegQueryValueExW(key.Get(), u"", nullptr, nullptr, nullptr, &size), 0);
  EXPECT_EQ(size, sizeof(u"CorvaneService"));
  char16_t name[16];
  win::DWORD nameSize = 16;
  win::UniqueKey appId;
  ASSERT_EQ(win::RegOpenKeyExW(win::HKEY_CLASSES_ROOT, u"AppID", 0, win::KEY_READ, appId.Put()), 0);
  EXPECT_EQ(win::RegEnumKeyExW(appId.Get(), 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(std::u16string(name), u"Corvane");
  EXPECT_EQ(machine.OpenRegistryKeys(), 2u);
}

TEST(RegistryTree, ListsKeysAndValuesInOrder) {
  sim::Machine machine;
  machine.SetRegistryString(win::HKEY_CLASSES_ROOT, u"AppID\\{X}", u"", u"CorvaneService");
  machine.SetRegistryString(win::HKEY_CLASSES_ROOT, u"AppID\\CorvaneService.EXE", u"AppID", u"{X}");
  machine.SetRegistryDword(win::HKEY_CLASSES_ROOT, u"AppID\\{X}", u"Number", 42);
  machine.SetRegistryValue(win::HKEY_CLASSES_ROOT, u"AppID\\{X}", u"Bin", win::REG_BINARY,
                           {0x01, 0xff});
  EXPECT_EQ(machine.RegistryTree(win::HKEY_CLASSES_ROOT, u"AppID"),
            (std::vector<std::string>{
                "", "CorvaneService.EXE", "CorvaneService.EXE [AppID] = REG_SZ \"{X}\"", "{X}",
                "{X} [] = REG_SZ \"CorvaneService\"", "{X} [Bin] = REG_BINARY 01 ff",
                "{X} [Number] = REG_DWORD 0x0000002a"}));
  EXPECT_TRUE(machine.RegistryTree(win::HKEY_CLASSES_ROOT, u"Missing").empty());
  EXPECT_EQ(machine.GetRegistryValue(win::HKEY_LOCAL_MACHINE, u"Software\\Classes\\AppID\\{X}",
                                     u"number"),
            (sim::RegistryData{win::REG_DWORD, {42, 0, 0, 0}}));
}

// Handles below a removed tree see a deleted key, not whatever was there.
TEST(RegistryTree, RemovedTreeLeavesHandlesOnDeletedKeys) {
  sim::Machine machine;
  machine.CreateRegistryKey(win::HKEY_CURRENT_USER, u"Software\\Corvane\\Deep\\Leaf");
  win::UniqueKey leaf;
  ASSERT_EQ(win::RegOpenKeyExW(win::HKEY_CURRENT_USER, u"Software\\Corvane\\Deep\\Leaf", 0,
                               win::KEY_ALL_ACCESS, leaf.Put()),
            0);
  machine.DeleteRegistryTree(win::HKEY_CURRENT_USER, u"Software\\Corvane");
  const win::DWORD one = 1;
  EXPECT_EQ(win::RegSetValueExW(leaf.Get(), u"X", 0, win::REG_DWORD,
                                reinterpret_cast<const win::BYTE*>(&one), 4),
            static_cast<win::LSTATUS>(win::ERROR_KEY_DELETED));
}

TEST(RegistryFaults, InjectedFailureOfEnumeration) {
  sim::Machine machine;
  machine.FailNext("RegEnumKeyExW", win::ERROR_NOT_ENOUGH_MEMORY);
  char16_t name[16];
  win::DWORD size = 16;
  EXPECT_EQ(win::RegEnumKeyExW(win::HKEY_CURRENT_USER, 0, name, &size, nullptr, nullptr, nullptr,
                               nullptr),
            static_cast<win::LSTATUS>(win::ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(win::RegEnumKeyExW(win::HKEY_CURRENT_USER, 0, name, &size, nullptr, nullptr, nullptr,
                               nullptr),
            0);
  EXPECT_EQ(std::u16string(name), u"Software");
}

}  // namespace
