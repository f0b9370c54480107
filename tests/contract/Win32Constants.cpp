// Windows build only: the seam's pointer-valued constants against windows.h. These cannot be
// compared in a constant expression, so platform/win32's static_asserts leave them to here.
#include <gtest/gtest.h>

#include "platform/WinApi.h"

namespace {

// Read before windows.h turns these names into macros.
const win::HKEY seamRoots[] = {
    win::HKEY_CLASSES_ROOT,     win::HKEY_CURRENT_USER,   win::HKEY_LOCAL_MACHINE, win::HKEY_USERS,
    win::HKEY_PERFORMANCE_DATA, win::HKEY_CURRENT_CONFIG, win::HKEY_DYN_DATA};
// A resource id in place of a name, as MAKEINTRESOURCEW makes it.
const win::LPCWSTR seamResource = win::MAKEINTRESOURCEW(101);
const win::HANDLE seamInvalidHandle = win::INVALID_HANDLE_VALUE;

}  // namespace

#include "platform/win32/WindowsHeaders.h"

namespace {

TEST(Win32Constants, PredefinedKeysAreTheRealOnes) {
  EXPECT_EQ(reinterpret_cast<::HKEY>(seamRoots[0]), HKEY_CLASSES_ROOT);
  EXPECT_EQ(reinterpret_cast<::HKEY>(seamRoots[1]), HKEY_CURRENT_USER);
  EXPECT_EQ(reinterpret_cast<::HKEY>(seamRoots[2]), HKEY_LOCAL_MACHINE);
  EXPECT_EQ(reinterpret_cast<::HKEY>(seamRoots[3]), HKEY_USERS);
  EXPECT_EQ(reinterpret_cast<::HKEY>(seamRoots[4]), HKEY_PERFORMANCE_DATA);
  EXPECT_EQ(reinterpret_cast<::HKEY>(seamRoots[5]), HKEY_CURRENT_CONFIG);
  EXPECT_EQ(reinterpret_cast<::HKEY>(seamRoots[6]), HKEY_DYN_DATA);
}

TEST(Win32Constants, ResourceIdIsTheRealOne) {
  EXPECT_EQ(reinterpret_cast<::LPCWSTR>(seamResource), MAKEINTRESOURCEW(101));
}

TEST(Win32Constants, InvalidHandleValueIsTheRealOne) {
  EXPECT_EQ(seamInvalidHandle, INVALID_HANDLE_VALUE);
}

}  // namespace
