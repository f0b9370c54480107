#include "platform/sim/FileSystem.h"

namespace win {

BOOL GetFileSizeEx(HANDLE file, std::int64_t* size) {
  if (sim::Intercept("GetFileSizeEx")) return FALSE;
  sim::Guard guard(sim::Lock());
  auto open = sim::FindHandleAs<sim::OpenFile>(file);
  if (!open) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (size == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *size = static_cast<std::int64_t>(open->node->Size());
  return TRUE;
}

}  // namespace win
