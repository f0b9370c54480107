// CorvaneAutoStart: switches the installed CorvaneService to automatic start, under the service
// database lock, so that the service manager starts it at every boot and the stored drive
// mappings come back.
#pragma once

#include "engine/ServiceName.h"
#include "platform/WinApi.h"

namespace autostart {

// One run of the tool, top to bottom; the command line is not looked at. Returns the exit code:
// 0 when the start type was changed, 1 otherwise.
win::DWORD ConfigureAutoStart();

}  // namespace autostart
