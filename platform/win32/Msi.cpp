// msi forwards.
#include "platform/win32/WindowsHeaders.h"

using namespace win::native;

namespace win {

static_assert(sizeof(::MSIHANDLE) == sizeof(win::MSIHANDLE));

UINT MsiGetPropertyW(MSIHANDLE install, LPCWSTR name, LPWSTR value, DWORD* size) {
  return ::MsiGetPropertyW(install, W(name), W(value), D(size));
}
MSIHANDLE MsiCreateRecord(UINT fields) {
  return ::MsiCreateRecord(fields);
}
UINT MsiRecordSetStringW(MSIHANDLE record, UINT field, LPCWSTR value) {
  return ::MsiRecordSetStringW(record, field, W(value));
}
int MsiProcessMessage(MSIHANDLE install, DWORD type, MSIHANDLE record) {
  return ::MsiProcessMessage(install, static_cast<::INSTALLMESSAGE>(type), record);
}
UINT MsiCloseHandle(MSIHANDLE handle) {
  return ::MsiCloseHandle(handle);
}

}  // namespace win
