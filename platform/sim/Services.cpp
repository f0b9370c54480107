#include "platform/sim/Services.h"

#include <thread>

#include "platform/sim/MachineState.h"

namespace sim {

std::u16string ProgramPathOf(std::u16string_view commandLine) {
  if (!commandLine.empty() && commandLine.front() == u'"') {
    const auto close = commandLine.find(u'"', 1);
    return std::u16string(commandLine.substr(
        1, close == std::u16string_view::npos ? std::u16string_view::npos : close - 1));
  }
  return std::u16string(commandLine.substr(0, commandLine.find(u' ')));
}

}  // namespace sim

namespace win {

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
  if (sim::Intercept("StartServiceCtrlDispatcherW")) return FALSE;
  sim::Process* process = &sim::CurrentProcess();
  std::shared_ptr<sim::ServiceSession> session = process->session;
  if (!session) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  if (table == nullptr || table[0].lpServiceProc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  {
    std::lock_guard lock(session->mutex);
    if (session->dispatcherStarted) {
      SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
      return FALSE;
    }
    session->dispatcherStarted = true;
  }

  // argv[0] is the service's name, then the start arguments; the strings live as long as the
  // session, which outlives the service thread.
  session->argumentStrings = {session->serviceName};
  session->argumentStrings.insert(session->argumentStrings.end(), session->arguments.begin(),
                                  session->arguments.end());
  for (auto& s : session->argumentStrings) session->argv.push_back(s.data());
  session->argv.push_back(nullptr);

  const LPSERVICE_MAIN_FUNCTIONW serviceMain = table[0].lpServiceProc;
  const auto argc = static_cast<DWORD>(session->argumentStrings.size());
  LPWSTR* argv = session->argv.data();
  session->serviceThread = std::thread([process, session, serviceMain, argc, argv] {
    sim::SetThreadProcess(process);
    serviceMain(argc, argv);
    std::lock_guard lock(session->mutex);
    session->mainReturned = true;
    session->changed.notify_all();
  });

  // The dispatcher: controls are handled on this thread until the service has stopped.
  std::unique_lock lock(session->mutex);
  for (;;) {
    session->changed.wait(lock, [&] {
      return !session->controls.empty() || session->stopped || session->mainReturned;
    });
    if (session->stopped || session->mainReturned) break;
    auto control = session->controls.front();
    session->controls.pop_front();
    const LPHANDLER_FUNCTION handler = session->handler;
    lock.unlock();
    if (handler != nullptr) handler(control->code);
    lock.lock();
    control->done = true;
    control->handled = true;
    session->changed.notify_all();
  }
  // As on Windows, the dispatcher returns once the service has stopped, whether or not the
  // service thread has returned yet.
  for (auto& control : session->controls) control->done = true;
  session->controls.clear();
  session->changed.notify_all();
  return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR serviceName, LPHANDLER_FUNCTION handler) {
  if (sim::Intercept("RegisterServiceCtrlHandlerW")) return nullptr;
  std::shared_ptr<sim::ServiceSession> session = sim::CurrentProcess().session;
  if (!session || serviceName == nullptr ||
      !sim::EqualsIgnoreCase(serviceName, session->serviceName)) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  {
    std::lock_guard lock(session->mutex);
    session->handler = handler;
  }
  sim::Guard guard(sim::Lock());
  auto& services = *sim::State().services;
  const std::uintptr_t id = services.nextStatusHandle;
  services.nextStatusHandle += 4;
  services.statusHandles[id] = session;
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(id);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
  if (sim::Intercept("SetServiceStatus")) return FALSE;
  std::shared_ptr<sim::ServiceSession> session;
  {
    sim::Guard guard(sim::Lock());
    auto& handles = sim::State().services->statusHandles;
    auto it = handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it != handles.end()) session = it->second;
  }
  if (!session) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (status == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard lock(session->mutex);
  session->reports.push_back(*status);
  if (status->dwCurrentState == SERVICE_STOPPED) session->stopped = true;
  session->changed.notify_all();
  return TRUE;
}

}  // namespace win
