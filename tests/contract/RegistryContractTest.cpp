// The registry and event log calls the service relies on: keys under HKEY_CURRENT_USER (which
// any user may write), typed values, the size protocol of RegQueryValueExW, and event sources.
#include <cstring>
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

  static void RemoveKeys() {
    win::RegDeleteKeyW(win::HKEY_CURRENT_USER, u"Software\\CorvaneContract\\Values\\Child");
    win::RegDeleteKeyW(win::HKEY_CURRENT_USER, u"Software\\CorvaneContract\\\u00C9t\u00E9");
    win::RegDeleteKeyW(win::HKEY_CURRENT_USER, kKey);
    win::RegDeleteKeyW(win::HKEY_CURRENT_USER, kParent);
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
