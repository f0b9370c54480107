// The floor for the front end's benchmark: the least a program can do to have CorvaneService
// carry out one request. It starts the service with its arguments, polls its status every 20 ms
// until it has stopped, and exits with the service's exit code.
#include <vector>

#include "frontend/ServiceRequest.h"
#include "platform/UniqueHandle.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<win::LPCWSTR> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(reinterpret_cast<win::LPCWSTR>(argv[i]));
  win::UniqueService manager(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_CONNECT));
  win::UniqueService service(win::OpenServiceW(manager.Get(), kServiceName,
                                               win::SERVICE_START | win::SERVICE_QUERY_STATUS));
  if (!service) return static_cast<int>(win::GetLastError());
  while (!win::StartServiceW(service.Get(), static_cast<win::DWORD>(arguments.size()),
                             arguments.data())) {
    if (win::GetLastError() != win::ERROR_SERVICE_ALREADY_RUNNING) {
      return static_cast<int>(win::GetLastError());
    }
    win::Sleep(100);
  }
  win::SERVICE_STATUS status{};
  while (win::QueryServiceStatus(service.Get(), &status) &&
         status.dwCurrentState != win::SERVICE_STOPPED) {
    win::Sleep(20);
  }
  return static_cast<int>(status.dwWin32ExitCode);
}
