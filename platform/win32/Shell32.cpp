// shell32, loaded the first time it is needed: it brings much of the shell with it, and a run that
// tells the shell nothing should not pay for that. Only from the system folder, never from the
// current one.
#include "platform/win32/WindowsHeaders.h"

using namespace win::native;

namespace win {

void SHChangeNotify(LONG eventId, UINT flags, LPCVOID item1, LPCVOID item2) {
  using Notify = void(WINAPI*)(LONG, UINT, LPCVOID, LPCVOID);
  static const Notify notify = [] {
    const ::HMODULE shell = ::LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return shell == nullptr ? nullptr
                            : reinterpret_cast<Notify>(reinterpret_cast<void*>(
                                  ::GetProcAddress(shell, "SHChangeNotify")));
  }();
  if (notify != nullptr) notify(eventId, flags, item1, item2);
}

}  // namespace win
