#include "engine/Junction.h"

#include "platform/WinApi.h"

// Junctions are not built yet: a Folder request fails without touching anything.
bool CreateJunction(const std::u16string&, const std::u16string&) {
  win::SetLastError(win::ERROR_NOT_SUPPORTED);
  return false;
}

bool RemoveJunction(const std::u16string&) {
  win::SetLastError(win::ERROR_NOT_SUPPORTED);
  return false;
}
