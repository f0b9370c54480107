// shell32 forwards.
#include "platform/win32/WindowsHeaders.h"

using namespace win::native;

namespace win {

void SHChangeNotify(LONG eventId, UINT flags, LPCVOID item1, LPCVOID item2) {
  ::SHChangeNotify(eventId, flags, item1, item2);
}

}  // namespace win
