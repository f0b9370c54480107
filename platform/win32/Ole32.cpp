// ole32 forwards.
#include "platform/win32/WindowsHeaders.h"

namespace win {

HRESULT CoInitialize(LPVOID reserved) {
  return ::CoInitialize(reserved);
}
void CoUninitialize() {
  ::CoUninitialize();
}

}  // namespace win
