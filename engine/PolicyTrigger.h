// The trigger that has the service control manager start the service whenever machine policy is
// applied (at boot, at every background refresh, at gpupdate), so that drive mappings named by
// policy are put in force without a process of our own waiting for it. The manager passes the one
// start argument SERVICE_TRIGGER_STARTED_ARGUMENT then. CorvaneService -Service and the package
// both register it; removing the service removes it.
#pragma once

#include <string_view>

#include "platform/WinApi.h"

// Sets the trigger as the service's only one, on a handle opened with SERVICE_CHANGE_CONFIG.
// Returns ERROR_SUCCESS or ChangeServiceConfig2W's error code.
win::DWORD RegisterMachinePolicyTrigger(win::SC_HANDLE service);

// The same on the installed service of this name; the error code of whichever call failed.
win::DWORD RegisterMachinePolicyTrigger(std::u16string_view serviceName);
