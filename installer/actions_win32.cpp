// CorvaneInstallerActions.dll: the package's custom action, called by Windows Installer as a
// deferred step without impersonation (so as LocalSystem). It shows nothing, so a silent install
// never waits on it; a failure fails the install, which Windows Installer then rolls back.
#include <cstdint>

#include "installer/ServicePath.h"

namespace {

constexpr std::uint32_t kInstallFailure = 1603;  // ERROR_INSTALL_FAILURE

}  // namespace

// The installer session's handle (MSIHANDLE) is not needed: the step works on the record only.
extern "C" __declspec(dllexport) std::uint32_t __stdcall QuoteServicePath(std::uint32_t) {
  return installer::QuoteServiceProgramPath(installer::kServiceName,
                                            installer::kServiceDependencies) == win::ERROR_SUCCESS
             ? 0
             : kInstallFailure;
}
