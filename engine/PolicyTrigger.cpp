#include "engine/PolicyTrigger.h"

#include <string>

#include "platform/UniqueHandle.h"

namespace {

// A failed call's code; never 0, so that a failure that left none still reads as one.
win::DWORD FailureCode() {
  const win::DWORD error = win::GetLastError();
  return error != win::ERROR_SUCCESS ? error : win::ERROR_GEN_FAILURE;
}

}  // namespace

win::DWORD RegisterMachinePolicyTrigger(win::SC_HANDLE service) {
  // The manager reads the subtype through the pointer; a copy of our own, since the seam's
  // constant is const.
  win::GUID machinePolicy = win::MACHINE_POLICY_PRESENT_GUID;
  win::SERVICE_TRIGGER trigger{win::SERVICE_TRIGGER_TYPE_GROUP_POLICY,
                               win::SERVICE_TRIGGER_ACTION_SERVICE_START, &machinePolicy, 0,
                               nullptr};
  win::SERVICE_TRIGGER_INFO info{1, &trigger, nullptr};
  if (!win::ChangeServiceConfig2W(service, win::SERVICE_CONFIG_TRIGGER_INFO, &info)) {
    return FailureCode();
  }
  return win::ERROR_SUCCESS;
}

win::DWORD RegisterMachinePolicyTrigger(std::u16string_view serviceName) {
  win::UniqueService manager(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_CONNECT));
  if (!manager) return FailureCode();
  const std::u16string name(serviceName);
  win::UniqueService service(
      win::OpenServiceW(manager.Get(), name.c_str(), win::SERVICE_CHANGE_CONFIG));
  if (!service) return FailureCode();
  return RegisterMachinePolicyTrigger(service.Get());
}
