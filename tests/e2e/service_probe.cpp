// corvane_service_probe: a service that stays in start-pending, so that the end-to-end tests can
// ask Wine's service control manager what it does with controls sent in that state, and whether
// it checks the name a handler is registered under.
//
// Started with one start argument, a log path: registers its handler under a name that is not
// its own, writes "registered" (or "refused N") to the log, reports SERVICE_START_PENDING
// accepting stop, adds "control N" for each control the handler receives, and reports
// SERVICE_STOPPED once the file LOG.release exists (or after 30 s).
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "platform/WinApi.h"

namespace {

std::mutex logLock;
std::string logPath;

void Log(const std::string& line) {
  std::lock_guard lock(logLock);
  std::ofstream(logPath, std::ios::app) << line << '\n';
}

void Handler(win::DWORD control) {
  Log("control " + std::to_string(control));
}

void ServiceMain(win::DWORD argc, win::LPWSTR* argv) {
  if (argc < 2) return;
  for (const char16_t* c = argv[1]; *c != u'\0'; ++c) logPath += static_cast<char>(*c);
  const win::SERVICE_STATUS_HANDLE handle =
      win::RegisterServiceCtrlHandlerW(u"NotThisServicesName", &Handler);
  if (handle == nullptr) {
    Log("refused " + std::to_string(win::GetLastError()));
    win::ExitProcess(1);
  }
  win::SERVICE_STATUS status{};
  status.dwServiceType = win::SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = win::SERVICE_START_PENDING;
  status.dwControlsAccepted = win::SERVICE_ACCEPT_STOP;
  win::SetServiceStatus(handle, &status);
  Log("registered");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!std::filesystem::exists(logPath + ".release") &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  status.dwCurrentState = win::SERVICE_STOPPED;
  win::SetServiceStatus(handle, &status);
}

}  // namespace

int wmain() {
  char16_t name[] = u"CorvaneServiceProbe";
  const win::SERVICE_TABLE_ENTRYW table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
  return win::StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(win::GetLastError());
}
