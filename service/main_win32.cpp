// CorvaneService's process entry. The host is constructed before the entry runs and lives
// until the process exits.
#include "service/ServiceHost.h"

namespace {
ServiceHost host;
}

extern "C" int wWinMain(void*, void*, wchar_t*, int) {
  return static_cast<int>(host.ProcessEntry());
}
