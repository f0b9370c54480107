#include "platform/sim/Services.h"

#include <chrono>
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

win::DWORD CurrentState(const ServiceSession& session) {
  return session.reports.empty() ? win::SERVICE_START_PENDING
                                 : session.reports.back().dwCurrentState;
}

// ControlService's documented answers: an undefined code is an invalid parameter; a service in
// a pending or stopped state cannot accept any control; otherwise the code must be one the
// service said it accepts (interrogate and the user-defined codes always are).
win::DWORD ControlRefusal(const ServiceSession& session, win::DWORD control) {
  using namespace win;
  DWORD needed = 0;
  switch (control) {
    case SERVICE_CONTROL_STOP:
      needed = SERVICE_ACCEPT_STOP;
      break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      needed = SERVICE_ACCEPT_PAUSE_CONTINUE;
      break;
    case SERVICE_CONTROL_INTERROGATE:
      break;
    case 6:  // SERVICE_CONTROL_PARAMCHANGE
      needed = 0x8;
      break;
    case 7:  // SERVICE_CONTROL_NETBINDADD, ...REMOVE, ...ENABLE, ...DISABLE
    case 8:
    case 9:
    case 10:
      needed = 0x10;
      break;
    default:
      if (control < 128 || control > 255) return ERROR_INVALID_PARAMETER;
  }
  if (session.processEnded) return ERROR_SERVICE_NOT_ACTIVE;
  const DWORD state = CurrentState(session);
  if (state == SERVICE_STOPPED || state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) {
    return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  }
  if (needed != 0 && (session.reports.back().dwControlsAccepted & needed) == 0) {
    return ERROR_INVALID_SERVICE_CONTROL;
  }
  return 0;
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
    try {
      serviceMain(argc, argv);
    } catch (const sim::ProcessExit&) {
      // ExitProcess on this thread; the dispatcher ends the main thread the same way.
    }
    std::lock_guard lock(session->mutex);
    session->mainReturned = true;
    session->changed.notify_all();
  });

  // The dispatcher: controls are handled on this thread until the service has reported
  // SERVICE_STOPPED. A service main that returns without that report leaves Windows' dispatcher
  // waiting for good; the simulation waits a while, records the hang and ends the process.
  constexpr auto kHangLimit = std::chrono::seconds(2);
  std::unique_lock lock(session->mutex);
  for (;;) {
    auto ready = [&] {
      return !session->controls.empty() || session->stopped || session->exitingWith;
    };
    if (session->mainReturned) {
      if (!session->changed.wait_for(lock, kHangLimit, ready)) {
        session->hung = true;
        session->exitingWith = ERROR_PROCESS_ABORTED;
      }
    } else {
      session->changed.wait(lock, [&] { return ready() || session->mainReturned; });
    }
    if (session->exitingWith) {
      const DWORD code = *session->exitingWith;
      lock.unlock();
      throw sim::ProcessExit{code};
    }
    if (session->stopped) break;
    if (session->controls.empty()) continue;
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

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR /*serviceName*/,
                                                  LPHANDLER_FUNCTION handler) {
  if (sim::Intercept("RegisterServiceCtrlHandlerW")) return nullptr;
  // Every service the simulation starts runs in a process of its own, and for such a service
  // Windows does not check the name: there is only one service in the process.
  std::shared_ptr<sim::ServiceSession> session = sim::CurrentProcess().session;
  if (!session) {
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
