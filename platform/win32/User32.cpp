// user32 forwards.
#include "platform/win32/WindowsHeaders.h"

using namespace win::native;

namespace win {

int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int size) {
  return ::LoadStringW(reinterpret_cast<::HINSTANCE>(instance), id, W(buffer), size);
}
LPWSTR CharNextW(LPCWSTR text) {
  return reinterpret_cast<LPWSTR>(::CharNextW(W(text)));
}
LPWSTR CharUpperW(LPWSTR text) {
  return reinterpret_cast<LPWSTR>(::CharUpperW(W(text)));
}
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  return ::MessageBoxW(reinterpret_cast<::HWND>(owner), W(text), W(caption), type);
}

}  // namespace win
