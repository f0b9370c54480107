// shlwapi forwards.
#include "platform/win32/WindowsHeaders.h"

using namespace win::native;

namespace win {

BOOL PathIsUNCW(LPCWSTR path) {
  return ::PathIsUNCW(W(path));
}
BOOL PathStripToRootW(LPWSTR path) {
  return ::PathStripToRootW(W(path));
}

}  // namespace win
