// The Windows build's side of the harness: which system runs the cases, and what of it a case
// depends on. It asks Windows itself, not the seam, which carries only what the programs call.
#include "tests/contract/ContractTest.h"

#include "platform/win32/WindowsHeaders.h"

namespace contract {

namespace {

// Wine's ntdll exports wine_get_version; Windows' does not.
Backend Detect() {
  const ::HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr
             ? Backend::Wine
             : Backend::Windows;
}

}  // namespace

// Asked between a call and the check of its last-error code, so that code is kept: on Windows the
// missing export leaves ERROR_PROC_NOT_FOUND.
Backend CurrentBackend() {
  const ::DWORD saved = ::GetLastError();
  static const Backend backend = Detect();
  ::SetLastError(saved);
  return backend;
}

std::shared_ptr<void> MakeBackendState() {
  return nullptr;
}

win::UINT AnsiCodePage() {
  return ::GetACP();
}

bool ChangeCurrentDirectory(const std::u16string& path) {
  return ::SetCurrentDirectoryW(reinterpret_cast<const wchar_t*>(path.c_str())) != FALSE;
}

bool ChooseDeleteSemantics(bool /*posix*/) {
  return false;
}

}  // namespace contract
