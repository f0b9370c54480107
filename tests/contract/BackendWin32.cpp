#include "tests/contract/ContractTest.h"

namespace contract {

// Wine's ntdll exports wine_get_version; Windows' does not.
Backend CurrentBackend() {
  win::HMODULE ntdll = win::GetModuleHandleW(u"ntdll.dll");
  return ntdll != nullptr && win::GetProcAddress(ntdll, "wine_get_version") != nullptr
             ? Backend::Wine
             : Backend::Windows;
}

std::shared_ptr<void> MakeBackendState() {
  return nullptr;
}

}  // namespace contract
