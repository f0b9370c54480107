// CorvaneService's process entry. The module is constructed before the entry runs and lives
// until the process exits.
#include "service/LinkServiceModule.h"

namespace {
LinkServiceModule module;
}

extern "C" int wWinMain(void*, void*, wchar_t*, int) {
  return static_cast<int>(module.ProcessEntry());
}
