#include "installer/ServicePath.h"

#include <string>

#include "platform/ServiceConfig.h"
#include "platform/UniqueHandle.h"

namespace installer {

win::DWORD QuoteServiceProgramPath(std::u16string_view serviceName, const char16_t* dependencies) {
  const std::u16string name(serviceName);
  win::UniqueService manager(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_CONNECT));
  if (!manager) return win::GetLastError();
  win::UniqueService service(win::OpenServiceW(
      manager.Get(), name.c_str(), win::SERVICE_QUERY_CONFIG | win::SERVICE_CHANGE_CONFIG));
  if (!service) return win::GetLastError();

  win::ServiceConfigRecord record(service.Get());
  const win::QUERY_SERVICE_CONFIGW* config = record.Get();
  if (config == nullptr) return win::GetLastError();
  const std::u16string_view path = config->lpBinaryPathName ? config->lpBinaryPathName : u"";
  if (path.empty() || path.front() == u'"') return win::ERROR_SUCCESS;

  const std::u16string quoted = u"\"" + std::u16string(path) + u"\"";
  // The dependencies are given again, not left out: Wine's service manager clears them when it
  // is given none (Windows leaves them unchanged), and its QueryServiceConfigW does not return
  // them to pass back.
  if (!win::ChangeServiceConfigW(service.Get(), win::SERVICE_NO_CHANGE, win::SERVICE_NO_CHANGE,
                                 win::SERVICE_NO_CHANGE, quoted.c_str(), nullptr, nullptr,
                                 dependencies, nullptr, nullptr, nullptr)) {
    return win::GetLastError();
  }
  return win::ERROR_SUCCESS;
}

}  // namespace installer
