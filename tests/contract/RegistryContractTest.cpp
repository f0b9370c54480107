// The registry and event log calls the service relies on: keys under HKEY_CURRENT_USER (which
// any user may write), typed values, the size protocol of RegQueryValueExW, and event sources.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "platform/UniqueHandle.h"
#include "tests/contract/ContractTest.h"

namespace contract {
namespace {

constexpr char16_t kParent[] = u"Software\\CorvaneContract";
constexpr char16_t kKey[] = u"Software\\CorvaneContract\\Values";
constexpr char16_t kText[] = u"CorvaneService";
constexpr win::DWORD kTextBytes = sizeof kText;  // terminating NUL included

class RegistryContractTest : public ContractTest {
 protected:
  void SetUp() override {
    ContractTest::SetUp();
    RemoveKeys();
  }
  void TearDown() override {
    RemoveKeys();
    ContractTest::TearDown();
  }

  static void RemoveKeys() { RemoveTree(win::HKEY_CURRENT_USER, kParent); }

  // Leaves first, as RegDeleteKeyW removes only keys without subkeys.
  static void RemoveTree(win::HKEY parent, const std::u16string& path) {
    {
      win::UniqueKey key;
      if (win::RegOpenKeyExW(parent, path.c_str(), 0, win::KEY_READ, key.Put()) != 0) return;
      char16_t name[256];
      win::DWORD size = 256;
      while (win::RegEnumKeyExW(key.Get(), 0, name, &size, nullptr, nullptr, nullptr, nullptr) ==
             0) {
        const std::u16string child = path + u"\\" + std::u16string(name, size);
        RemoveTree(parent, child);
        size = 256;
        win::UniqueKey still;
        if (win::RegOpenKeyExW(parent, child.c_str(), 0, win::KEY_READ, still.Put()) == 0) break;
      }
    }
    win::RegDeleteKeyW(parent, path.c_str());
  }

  static win::UniqueKey Create(const char16_t* path, win::DWORD* disposition = nullptr) {
    win::UniqueKey key;
    const win::LSTATUS status =
        win::RegCreateKeyExW(win::HKEY_CURRENT_USER, path, 0, nullptr, win::REG_OPTION_NON_VOLATILE,
                             win::KEY_ALL_ACCESS, nullptr, key.Put(), disposition);
    EXPECT_EQ(status, static_cast<win::LSTATUS>(win::ERROR_SUCCESS)) << Narrow(path);
    return key;
  }

  static void SetText(win::HKEY key) {
    ASSERT_EQ(win::RegSetValueExW(key, u"Text", 0, win::REG_SZ,
                                  reinterpret_cast<const win::BYTE*>(kText), kTextBytes),
              0);
  }
};

constexpr win::LSTATUS Status(win::DWORD code) {
  return static_cast<win::LSTATUS>(code);
}

// S-1-5-32-544: revision, 48-bit big-endian authority, little-endian sub-authorities.
std::string SidString(win::PSID sid) {
  const auto* bytes = static_cast<const std::uint8_t*>(sid);
  std::uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = authority << 8 | bytes[i];
  std::string text = "S-" + std::to_string(bytes[0]) + "-" + std::to_string(authority);
  for (int i = 0; i < bytes[1]; ++i) {
    const std::uint8_t* sub = bytes + 8 + 4 * i;
    text += "-" + std::to_string(sub[0] | sub[1] << 8 | sub[2] << 16 | std::uint32_t{sub[3]} << 24);
  }
  return text;
}

TEST_F(RegistryContractTest, CreateReportsNewThenExisting) {
  win::DWORD disposition = 0;
  Create(kKey, &disposition);
  EXPECT_EQ(disposition, win::REG_CREATED_NEW_KEY);
  disposition = 0;
  Create(kKey, &disposition);
  EXPECT_EQ(disposition, win::REG_OPENED_EXISTING_KEY);

  win::UniqueKey opened;
  EXPECT_EQ(win::RegOpenKeyExW(win::HKEY_CURRENT_USER, kKey, 0, win::KEY_READ, opened.Put()), 0);
  EXPECT_TRUE(opened);
}

TEST_F(RegistryContractTest, OpeningAMissingKeyIsFileNotFound) {
  win::HKEY key = nullptr;
  EXPECT_EQ(win::RegOpenKeyExW(win::HKEY_CURRENT_USER, u"Software\\CorvaneContract\\Missing", 0,
                               win::KEY_READ, &key),
            Status(win::ERROR_FILE_NOT_FOUND));
  if (key != nullptr) win::RegCloseKey(key);
}

// An open takes no option but REG_OPTION_OPEN_LINK (NtOpenKeyEx, which it calls, also knows the
// backup option, and answers any other with STATUS_INVALID_PARAMETER_4); a creation option is
// refused, not ignored.
TEST_F(RegistryContractTest, OpenRefusesACreationOption) {
  Create(kKey);
  win::HKEY key = nullptr;
  const win::LSTATUS status = win::RegOpenKeyExW(win::HKEY_CURRENT_USER, kKey,
                                                 win::REG_OPTION_VOLATILE, win::KEY_READ, &key);
  if (key != nullptr) win::RegCloseKey(key);
  DocumentedNotMeasured();
  TODO_WINE("Wine 8 opens the key whatever the options") {
    EXPECT_EQ(status, Status(win::ERROR_INVALID_PARAMETER));
  }
}

TEST_F(RegistryContractTest, StringValueReadsBackWithTypeAndSize) {
  win::UniqueKey key = Create(kKey);
  SetText(key.Get());

  // Size query: no buffer, the needed size and the type come back.
  win::DWORD type = 0xdeadbeef;
  win::DWORD size = 0;
  EXPECT_EQ(win::RegQueryValueExW(key.Get(), u"Text", nullptr, &type, nullptr, &size), 0);
  EXPECT_EQ(type, win::REG_SZ);
  EXPECT_EQ(size, kTextBytes);

  std::vector<win::BYTE> data(size);
  type = 0xdeadbeef;
  EXPECT_EQ(win::RegQueryValueExW(key.Get(), u"Text", nullptr, &type, data.data(), &size), 0);
  EXPECT_EQ(type, win::REG_SZ);
  ASSERT_EQ(size, kTextBytes);
  EXPECT_EQ(std::memcmp(data.data(), kText, kTextBytes), 0);
}

TEST_F(RegistryContractTest, TooSmallBufferIsMoreDataWithTheNeededSize) {
  win::UniqueKey key = Create(kKey);
  SetText(key.Get());
  win::BYTE small[4] = {};
  win::DWORD size = sizeof small;
  win::DWORD type = 0xdeadbeef;
  EXPECT_EQ(win::RegQueryValueExW(key.Get(), u"Text", nullptr, &type, small, &size),
            Status(win::ERROR_MORE_DATA));
  EXPECT_EQ(size, kTextBytes);
  EXPECT_EQ(type, win::REG_SZ);
}

TEST_F(RegistryContractTest, DwordValueReadsBack) {
  win::UniqueKey key = Create(kKey);
  const win::DWORD value = 0x12345678;
  ASSERT_EQ(win::RegSetValueExW(key.Get(), u"Number", 0, win::REG_DWORD,
                                reinterpret_cast<const win::BYTE*>(&value), sizeof value),
            0);
  win::DWORD read = 0;
  win::DWORD size = sizeof read;
  win::DWORD type = 0xdeadbeef;
  EXPECT_EQ(win::RegQueryValueExW(key.Get(), u"Number", nullptr, &type,
                                  reinterpret_cast<win::BYTE*>(&read), &size),
            0);
  EXPECT_EQ(type, win::REG_DWORD);
  EXPECT_EQ(size, sizeof value);
  EXPECT_EQ(read, value);
}

TEST_F(RegistryContractTest, MissingValueIsFileNotFound) {
  win::UniqueKey key = Create(kKey);
  win::DWORD size = 0;
  EXPECT_EQ(win::RegQueryValueExW(key.Get(), u"Missing", nullptr, nullptr, nullptr, &size),
            Status(win::ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(win::RegDeleteValueW(key.Get(), u"Missing"), Status(win::ERROR_FILE_NOT_FOUND));
}

TEST_F(RegistryContractTest, DeletedValuesAndKeysAreGone) {
  {
    win::UniqueKey key = Create(kKey);
    SetText(key.Get());
    EXPECT_EQ(win::RegDeleteValueW(key.Get(), u"Text"), 0);
    win::DWORD size = 0;
    EXPECT_EQ(win::RegQueryValueExW(key.Get(), u"Text", nullptr, nullptr, nullptr, &size),
              Status(win::ERROR_FILE_NOT_FOUND));
  }
  EXPECT_EQ(win::RegDeleteKeyW(win::HKEY_CURRENT_USER, kKey), 0);
  win::UniqueKey opened;
  EXPECT_EQ(win::RegOpenKeyExW(win::HKEY_CURRENT_USER, kKey, 0, win::KEY_READ, opened.Put()),
            Status(win::ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(win::RegDeleteKeyW(win::HKEY_CURRENT_USER, kKey), Status(win::ERROR_FILE_NOT_FOUND));
}

// RegDeleteKeyW removes leaves only: a key with subkeys stays, and says so.
TEST_F(RegistryContractTest, KeyWithSubkeysIsNotDeleted) {
  Create(u"Software\\CorvaneContract\\Values\\Child");
  EXPECT_EQ(win::RegDeleteKeyW(win::HKEY_CURRENT_USER, kKey), Status(win::ERROR_ACCESS_DENIED));
  win::UniqueKey opened;
  EXPECT_EQ(win::RegOpenKeyExW(win::HKEY_CURRENT_USER, kKey, 0, win::KEY_READ, opened.Put()), 0);
}

// Key and value names fold through the same upcase table as file names.
TEST_F(RegistryContractTest, NamesFoldBeyondAscii) {
  {
    auto key = Create(u"Software\\CorvaneContract\\\u00C9t\u00E9");
    const win::DWORD value = 7;
    ASSERT_EQ(win::RegSetValueExW(key.Get(), u"\u00C0\u0434\u03C3", 0, win::REG_DWORD,
                                  reinterpret_cast<const win::BYTE*>(&value), sizeof value),
              0);
  }
  win::UniqueKey opened;
  ASSERT_EQ(win::RegOpenKeyExW(win::HKEY_CURRENT_USER, u"Software\\CorvaneContract\\\u00E9T\u00C9",
                               0, win::KEY_READ, opened.Put()),
            0);
  win::DWORD value = 0;
  win::DWORD size = sizeof value;
  win::DWORD type = 0;
  EXPECT_EQ(win::RegQueryValueExW(opened.Get(), u"\u00E0\u0414\u03A3", nullptr, &type,
                                  reinterpret_cast<win::BYTE*>(&value), &size),
            0);
  EXPECT_EQ(value, 7u);
  win::UniqueKey other;
  EXPECT_EQ(win::RegOpenKeyExW(win::HKEY_CURRENT_USER, u"Software\\CorvaneContract\\Ete", 0,
                               win::KEY_READ, other.Put()),
            Status(win::ERROR_FILE_NOT_FOUND));
}

TEST_F(RegistryContractTest, SubkeysEnumerateInOrderThenNoMoreItems) {
  win::UniqueKey key = Create(kKey);
  for (const char16_t* name : {u"Values\\b", u"Values\\C", u"Values\\a"}) {
    Create((std::u16string(kParent) + u"\\" + name).c_str());
  }
  std::u16string seen;
  for (win::DWORD index = 0; index < 3; ++index) {
    char16_t name[16] = {};
    win::DWORD size = 16;
    win::SetLastError(0xdeadbeef);
    ASSERT_EQ(win::RegEnumKeyExW(key.Get(), index, name, &size, nullptr, nullptr, nullptr, nullptr),
              0);
    EXPECT_EQ(size, 1u);  // characters, without the NUL
    EXPECT_EQ(name[1], u'\0');
    seen += name;
  }
  EXPECT_EQ(seen, u"abC");
  char16_t name[16] = {};
  win::DWORD size = 16;
  EXPECT_EQ(win::RegEnumKeyExW(key.Get(), 3, name, &size, nullptr, nullptr, nullptr, nullptr),
            Status(win::ERROR_NO_MORE_ITEMS));
  EXPECT_EQ(win::GetLastError(), 0xdeadbeefu);
}

// Values come in the order they were made on Windows; Wine keeps them sorted by name. The sizes
// follow RegQueryValueExW's protocol; a name that does not fit is ERROR_MORE_DATA.
TEST_F(RegistryContractTest, ValuesEnumerateWithTheirSizesThenNoMoreItems) {
  win::UniqueKey key = Create(kKey);
  for (const char16_t* name : {u"b", u"A", u"c"}) {
    ASSERT_EQ(win::RegSetValueExW(key.Get(), name, 0, win::REG_SZ,
                                  reinterpret_cast<const win::BYTE*>(kText), kTextBytes),
              0);
  }
  std::u16string seen;
  for (win::DWORD index = 0; index < 3; ++index) {
    char16_t name[16] = {};
    win::DWORD nameSize = 16;
    win::DWORD type = 0;
    win::DWORD size = 0;
    ASSERT_EQ(win::RegEnumValueW(key.Get(), index, name, &nameSize, nullptr, &type, nullptr, &size),
              0);
    EXPECT_EQ(nameSize, 1u);  // characters, without the NUL
    EXPECT_EQ(type, win::REG_SZ);
    EXPECT_EQ(size, kTextBytes);
    seen += name;
  }
  char16_t name[16] = {};
  win::DWORD nameSize = 16;
  win::BYTE data[64] = {};
  win::DWORD size = 4;
  EXPECT_EQ(win::RegEnumValueW(key.Get(), 0, name, &nameSize, nullptr, nullptr, data, &size),
            Status(win::ERROR_MORE_DATA));
  EXPECT_EQ(size, kTextBytes);
  nameSize = 16;
  size = sizeof data;
  ASSERT_EQ(win::RegEnumValueW(key.Get(), 0, name, &nameSize, nullptr, nullptr, data, &size), 0);
  EXPECT_EQ(size, kTextBytes);
  EXPECT_EQ(std::memcmp(data, kText, kTextBytes), 0);
  ASSERT_EQ(win::RegSetValueExW(key.Get(), u"Longer", 0, win::REG_DWORD, data, 4), 0);
  nameSize = 3;  // "Longer" and its NUL take 7
  size = sizeof data;
  EXPECT_EQ(win::RegEnumValueW(key.Get(), 3, name, &nameSize, nullptr, nullptr, data, &size),
            Status(win::ERROR_MORE_DATA));
  nameSize = 16;
  win::SetLastError(0xdeadbeef);
  EXPECT_EQ(win::RegEnumValueW(key.Get(), 4, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
            Status(win::ERROR_NO_MORE_ITEMS));
  EXPECT_EQ(win::GetLastError(), 0xdeadbeefu);
  win::UniqueKey noQuery;
  ASSERT_EQ(win::RegOpenKeyExW(win::HKEY_CURRENT_USER, kKey, 0, win::READ_CONTROL, noQuery.Put()),
            0);
  nameSize = 16;
  EXPECT_EQ(
      win::RegEnumValueW(noQuery.Get(), 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
      Status(win::ERROR_ACCESS_DENIED));
  DocumentedNotMeasured();
  TODO_WINE("Wine 8: a key's values enumerate sorted by name (\"Abc\"), not in the order made") {
    EXPECT_EQ(seen, u"bAc");
  }
}

// A key's owner and list, read through its handle (an HKEY passed as the HANDLE), which needs
// READ_CONTROL as a file's handle does.
TEST_F(RegistryContractTest, KeySecurityIsReadThroughItsHandle) {
  Create(kKey);
  win::PSID owner = nullptr;
  win::PACL dacl = nullptr;
  win::PSECURITY_DESCRIPTOR read = nullptr;
  {
    win::UniqueKey valuesOnly;
    ASSERT_EQ(
        win::RegOpenKeyExW(win::HKEY_CURRENT_USER, kKey, 0, win::KEY_QUERY_VALUE, valuesOnly.Put()),
        0);
    EXPECT_EQ(win::GetSecurityInfo(reinterpret_cast<win::HANDLE>(valuesOnly.Get()),
                                   win::SE_REGISTRY_KEY, win::OWNER_SECURITY_INFORMATION, &owner,
                                   nullptr, nullptr, nullptr, &read),
              win::ERROR_ACCESS_DENIED);
  }
  win::UniqueKey key;
  ASSERT_EQ(win::RegOpenKeyExW(win::HKEY_CURRENT_USER, kKey, 0,
                               win::KEY_QUERY_VALUE | win::READ_CONTROL | win::KEY_WOW64_64KEY,
                               key.Put()),
            0);
  ASSERT_EQ(win::GetSecurityInfo(reinterpret_cast<win::HANDLE>(key.Get()), win::SE_REGISTRY_KEY,
                                 win::OWNER_SECURITY_INFORMATION | win::DACL_SECURITY_INFORMATION,
                                 &owner, nullptr, &dacl, nullptr, &read),
            win::ERROR_SUCCESS);
  win::UniqueLocalMemory heldRead(read);
  ASSERT_TRUE(owner != nullptr && win::IsValidSid(owner));
  ASSERT_NE(dacl, nullptr);
  std::string entries;
  for (win::DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    ASSERT_TRUE(win::GetAce(dacl, i, &entry));
    const auto* ace = static_cast<const win::ACCESS_ALLOWED_ACE*>(entry);
    char text[64];
    std::snprintf(text, sizeof text, "(%u;0x%x;0x%x;%s)", ace->Header.AceType,
                  ace->Header.AceFlags, ace->Mask,
                  SidString(const_cast<win::DWORD*>(&ace->SidStart)).c_str());
    entries += text;
  }
  RecordProperty("owner", SidString(owner));
  RecordProperty("dacl", entries);
  DocumentedNotMeasured();
  // A new key inherits its parent's container-inherit entries, marked as inherited. Measured on
  // Wine 8: owner Administrators, Administrators full control, Users read passed on to subkeys
  // only (container-inherit, inherit-only), nothing marked inherited.
  TODO_WINE("Wine 8: a new key gets the wineserver's default list, not its parent's") {
    EXPECT_NE(entries.find(";0x12;"), std::string::npos) << entries;
  }
}

// REG_EXPAND_SZ data is expanded with the process's environment; the size counts the NUL.
TEST_F(RegistryContractTest, EnvironmentStringsExpandWithTheirSize) {
  constexpr char16_t kSource[] = u"%SystemDrive%\\Shared\\%CorvaneNoSuchVariable%";
  constexpr char16_t kExpanded[] = u"C:\\Shared\\%CorvaneNoSuchVariable%";
  constexpr win::DWORD kNeeded = sizeof kExpanded / sizeof(char16_t);
  EXPECT_EQ(win::ExpandEnvironmentStringsW(kSource, nullptr, 0), kNeeded);
  char16_t small[4] = {};
  EXPECT_EQ(win::ExpandEnvironmentStringsW(kSource, small, 4), kNeeded);
  char16_t out[64] = {};
  ASSERT_EQ(win::ExpandEnvironmentStringsW(kSource, out, 64), kNeeded);
  EXPECT_EQ(std::u16string(out), kExpanded);
  EXPECT_EQ(win::ExpandEnvironmentStringsW(u"100%", out, 64), 5u);
  EXPECT_EQ(std::u16string(out), u"100%");
}

// A key is empty when it has neither subkeys nor values, the default value included.
TEST_F(RegistryContractTest, InfoCountsSubkeysAndValues) {
  win::UniqueKey key = Create(kKey);
  win::DWORD subKeys = 0xdeadbeef;
  win::DWORD values = 0xdeadbeef;
  const auto query = [&] {
    return win::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                 &values, nullptr, nullptr, nullptr, nullptr);
  };
  EXPECT_EQ(query(), 0);
  EXPECT_EQ(subKeys, 0u);
  EXPECT_EQ(values, 0u);
  Create(u"Software\\CorvaneContract\\Values\\Child");
  ASSERT_EQ(win::RegSetValueExW(key.Get(), nullptr, 0, win::REG_SZ,
                                reinterpret_cast<const win::BYTE*>(kText), kTextBytes),
            0);
  SetText(key.Get());
  EXPECT_EQ(query(), 0);
  EXPECT_EQ(subKeys, 1u);
  EXPECT_EQ(values, 2u);
}

struct NameRoom {
  win::DWORD size;
  win::LSTATUS status;
};

class EnumNameRoom : public RegistryContractTest, public ::testing::WithParamInterface<NameRoom> {};

// "Child" needs six characters of room, its NUL included.
TEST_P(EnumNameRoom, NameFitsOrIsMoreData) {
  win::UniqueKey key = Create(kKey);
  Create(u"Software\\CorvaneContract\\Values\\Child");
  char16_t name[16];
  std::fill(std::begin(name), std::end(name), u'#');
  win::DWORD size = GetParam().size;
  EXPECT_EQ(win::RegEnumKeyExW(key.Get(), 0, name, &size, nullptr, nullptr, nullptr, nullptr),
            GetParam().status);
  if (GetParam().status == 0) {
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(std::u16string(name), u"Child");
  }
  EXPECT_EQ(name[GetParam().size], u'#');  // nothing past the room given
}

INSTANTIATE_TEST_SUITE_P(Sizes, EnumNameRoom,
                         ::testing::Values(NameRoom{4, Status(win::ERROR_MORE_DATA)},
                                           NameRoom{5, Status(win::ERROR_MORE_DATA)},
                                           NameRoom{6, 0}, NameRoom{7, 0}));

struct Typed {
  const char* label;
  win::DWORD type;
  std::vector<win::BYTE> data;
};

class TypedValue : public RegistryContractTest, public ::testing::WithParamInterface<Typed> {};

std::vector<win::BYTE> Bytes(std::u16string_view text) {
  std::vector<win::BYTE> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<win::BYTE>(c & 0xFF));
    bytes.push_back(static_cast<win::BYTE>(c >> 8));
  }
  return bytes;
}

// Each value reads back with its type and exactly the bytes and size it was given.
TEST_P(TypedValue, ReadsBackAsWritten) {
  win::UniqueKey key = Create(kKey);
  const auto& data = GetParam().data;
  ASSERT_EQ(win::RegSetValueExW(key.Get(), u"Typed", 0, GetParam().type, data.data(),
                                static_cast<win::DWORD>(data.size())),
            0);
  win::DWORD type = 0xdeadbeef;
  win::DWORD size = 0xdeadbeef;
  ASSERT_EQ(win::RegQueryValueExW(key.Get(), u"Typed", nullptr, &type, nullptr, &size), 0);
  EXPECT_EQ(type, GetParam().type);
  EXPECT_EQ(size, data.size());
  std::vector<win::BYTE> read(data.size() + 4, 0xbd);
  size = static_cast<win::DWORD>(read.size());
  ASSERT_EQ(win::RegQueryValueExW(key.Get(), u"Typed", nullptr, &type, read.data(), &size), 0);
  EXPECT_EQ(size, data.size());
  EXPECT_EQ(std::vector<win::BYTE>(read.begin(), read.begin() + size), data);
  EXPECT_EQ(read[size], 0xbd);
}

INSTANTIATE_TEST_SUITE_P(
    Types, TypedValue,
    ::testing::Values(Typed{"String", win::REG_SZ, Bytes(std::u16string(u"abc", 4))},
                      Typed{"EmptyString", win::REG_SZ, Bytes(std::u16string(1, u'\0'))},
                      Typed{"Expand", win::REG_EXPAND_SZ, Bytes(std::u16string(u"%PATH%", 7))},
                      Typed{"Dword", win::REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
                      Typed{"Binary", win::REG_BINARY, {0x00, 0xff, 0x10}},
                      Typed{"EmptyBinary", win::REG_BINARY, {}},
                      Typed{"MultiString", win::REG_MULTI_SZ,
                            Bytes(std::u16string(u"one\0two\0\0", 9))}),
    [](const ::testing::TestParamInfo<Typed>& c) { return std::string(c.param.label); });

// A string whose size leaves out its NUL gets the NUL when the character after the counted
// ones is one; a size that stops inside the text is kept.
struct Counted {
  const char* label;
  const char16_t* text;
  win::DWORD given;
  win::DWORD stored;
};

class CountedString : public RegistryContractTest, public ::testing::WithParamInterface<Counted> {};

TEST_P(CountedString, StoresItsSize) {
  win::UniqueKey key = Create(kKey);
  ASSERT_EQ(
      win::RegSetValueExW(key.Get(), u"Text", 0, win::REG_SZ,
                          reinterpret_cast<const win::BYTE*>(GetParam().text), GetParam().given),
      0);
  win::DWORD size = 0;
  ASSERT_EQ(win::RegQueryValueExW(key.Get(), u"Text", nullptr, nullptr, nullptr, &size), 0);
  EXPECT_EQ(size, GetParam().stored);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, CountedString,
    ::testing::Values(Counted{"WithNul", u"abc", 8, 8}, Counted{"NulLeftOut", u"abc", 6, 8},
                      Counted{"InsideTheText", u"abcd", 6, 6}, Counted{"Empty", u"", 0, 0}),
    [](const ::testing::TestParamInfo<Counted>& c) { return std::string(c.param.label); });

// A handle opened for reading cannot change the key, whatever the caller's rights there.
TEST_F(RegistryContractTest, ReadOnlyHandleRefusesChanges) {
  SetText(Create(kKey).Get());
  win::UniqueKey reader;
  ASSERT_EQ(win::RegOpenKeyExW(win::HKEY_CURRENT_USER, kKey, 0, win::KEY_READ, reader.Put()), 0);
  const win::DWORD value = 1;
  EXPECT_EQ(win::RegSetValueExW(reader.Get(), u"Text", 0, win::REG_DWORD,
                                reinterpret_cast<const win::BYTE*>(&value), sizeof value),
            Status(win::ERROR_ACCESS_DENIED));
  EXPECT_EQ(win::RegDeleteValueW(reader.Get(), u"Text"), Status(win::ERROR_ACCESS_DENIED));
  win::DWORD type = 0;
  win::DWORD size = 0;
  EXPECT_EQ(win::RegQueryValueExW(reader.Get(), u"Text", nullptr, &type, nullptr, &size), 0);
  EXPECT_EQ(type, win::REG_SZ);
  EXPECT_EQ(size, kTextBytes);
}

// No bytes behind a non-zero size: refused, nothing stored.
TEST_F(RegistryContractTest, SizeWithoutDataIsNoAccess) {
  win::UniqueKey key = Create(kKey);
  EXPECT_EQ(win::RegSetValueExW(key.Get(), u"Number", 0, win::REG_DWORD, nullptr, 4),
            Status(win::ERROR_NOACCESS));
  win::DWORD size = 0;
  EXPECT_EQ(win::RegQueryValueExW(key.Get(), u"Number", nullptr, nullptr, nullptr, &size),
            Status(win::ERROR_FILE_NOT_FOUND));
}

TEST_F(RegistryContractTest, ClosingAClosedKeyIsInvalidHandle) {
  win::HKEY key = nullptr;
  ASSERT_EQ(win::RegCreateKeyExW(win::HKEY_CURRENT_USER, kKey, 0, nullptr, 0, win::KEY_ALL_ACCESS,
                                 nullptr, &key, nullptr),
            0);
  EXPECT_EQ(win::RegCloseKey(key), 0);
  EXPECT_EQ(win::RegCloseKey(key), Status(win::ERROR_INVALID_HANDLE));
  EXPECT_EQ(win::RegCloseKey(nullptr), Status(win::ERROR_INVALID_HANDLE));
}

// A handle outlives the key it names: it still closes, and everything else says the key is gone.
TEST_F(RegistryContractTest, HandleToADeletedKeySaysSo) {
  win::UniqueKey key = Create(kKey);
  ASSERT_EQ(win::RegDeleteKeyW(win::HKEY_CURRENT_USER, kKey), 0);
  const win::DWORD value = 1;
  EXPECT_EQ(win::RegSetValueExW(key.Get(), u"Number", 0, win::REG_DWORD,
                                reinterpret_cast<const win::BYTE*>(&value), sizeof value),
            Status(win::ERROR_KEY_DELETED));
  win::DWORD size = 0;
  EXPECT_EQ(win::RegQueryValueExW(key.Get(), u"Number", nullptr, nullptr, nullptr, &size),
            Status(win::ERROR_KEY_DELETED));
  win::UniqueKey child;
  EXPECT_EQ(win::RegCreateKeyExW(key.Get(), u"Child", 0, nullptr, 0, win::KEY_ALL_ACCESS, nullptr,
                                 child.Put(), nullptr),
            Status(win::ERROR_KEY_DELETED));
  EXPECT_EQ(win::RegCloseKey(key.Release()), 0);
}

TEST_F(RegistryContractTest, EmptyNameDeletesTheKeyItself) {
  win::UniqueKey key = Create(kKey);
  EXPECT_EQ(win::RegDeleteKeyW(key.Get(), u""), 0);
  win::UniqueKey opened;
  EXPECT_EQ(win::RegOpenKeyExW(win::HKEY_CURRENT_USER, kKey, 0, win::KEY_READ, opened.Put()),
            Status(win::ERROR_FILE_NOT_FOUND));
}

TEST_F(RegistryContractTest, CurrentConfigIsTheCurrentHardwareProfile) {
  win::UniqueKey config;
  EXPECT_EQ(win::RegOpenKeyExW(win::HKEY_CURRENT_CONFIG, nullptr, 0, win::KEY_READ, config.Put()),
            0);
  win::UniqueKey profile;
  EXPECT_EQ(win::RegOpenKeyExW(win::HKEY_LOCAL_MACHINE,
                               u"System\\CurrentControlSet\\Hardware Profiles\\Current", 0,
                               win::KEY_READ, profile.Put()),
            0);
}

struct KeylessRoot {
  const char* label;
  win::HKEY root;
};

class Keyless : public RegistryContractTest, public ::testing::WithParamInterface<KeylessRoot> {};

// HKEY_PERFORMANCE_DATA holds no keys, and HKEY_DYN_DATA is a Windows 9x root.
TEST_P(Keyless, HoldsNoSubkeys) {
  win::HKEY key = nullptr;
  const win::LSTATUS opened =
      win::RegOpenKeyExW(GetParam().root, u"Corvane", 0, win::KEY_READ, &key);
  win::HKEY created = nullptr;
  const win::LSTATUS made = win::RegCreateKeyExW(GetParam().root, u"Corvane", 0, nullptr, 0,
                                                 win::KEY_ALL_ACCESS, nullptr, &created, nullptr);
  if (key != nullptr) win::RegCloseKey(key);
  if (created != nullptr) {
    win::RegCloseKey(created);
    win::RegDeleteKeyW(GetParam().root, u"Corvane");
  }
  DocumentedNotMeasured();
  TODO_WINE_IF(GetParam().root == win::HKEY_DYN_DATA,
               "Wine 8: HKEY_DYN_DATA is a hive of its own that takes keys") {
    EXPECT_EQ(opened, Status(win::ERROR_INVALID_HANDLE));
    EXPECT_EQ(made, Status(win::ERROR_INVALID_HANDLE));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Roots, Keyless,
    ::testing::Values(KeylessRoot{"PerformanceData", win::HKEY_PERFORMANCE_DATA},
                      KeylessRoot{"DynData", win::HKEY_DYN_DATA}),
    [](const ::testing::TestParamInfo<KeylessRoot>& c) { return std::string(c.param.label); });

TEST_F(RegistryContractTest, InformationEventIsReported) {
  win::SetLastError(0xdeadbeef);
  win::UniqueEventSource source(win::RegisterEventSourceW(nullptr, u"CorvaneService"));
  ASSERT_TRUE(source) << win::GetLastError();
  const win::LPCWSTR strings[] = {u"Corvane contract test event"};
  win::SetLastError(0xdeadbeef);
  EXPECT_NE(win::ReportEventW(source.Get(), win::EVENTLOG_INFORMATION_TYPE, 0, 0x1000, nullptr, 1,
                              0, const_cast<win::LPCWSTR*>(strings), nullptr),
            0)
      << win::GetLastError();
  win::SetLastError(0xdeadbeef);
  EXPECT_NE(win::DeregisterEventSource(source.Release()), 0) << win::GetLastError();
}

}  // namespace
}  // namespace contract
