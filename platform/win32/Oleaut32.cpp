// oleaut32 forwards.
#include "platform/win32/WindowsHeaders.h"

using namespace win::native;

namespace win {

HRESULT VarUI4FromStr(LPCWSTR text, LCID locale, ULONG flags, ULONG* out) {
  // OLECHAR is wchar_t; ULONG is 32 bits on Windows, as the seam has it.
  static_assert(sizeof(::ULONG) == sizeof(win::ULONG));
  return ::VarUI4FromStr(const_cast<::OLECHAR*>(W(text)), locale, flags,
                         reinterpret_cast<::ULONG*>(out));
}

}  // namespace win
