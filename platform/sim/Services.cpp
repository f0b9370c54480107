#include "platform/sim/Services.h"

#include <chrono>
#include <thread>

#include "platform/sim/MachineState.h"
#include "platform/sim/Registry.h"

namespace sim {

std::u16string ProgramPathOf(const MachineState& state, std::u16string_view commandLine) {
  if (!commandLine.empty() && commandLine.front() == u'"') {
    const auto close = commandLine.find(u'"', 1);
    return std::u16string(commandLine.substr(
        1, close == std::u16string_view::npos ? std::u16string_view::npos : close - 1));
  }
  const auto installed = [&state](const std::u16string& path) {
    return state.programs.contains(Upper(path));
  };
  for (std::size_t end = commandLine.find(u' ');; end = commandLine.find(u' ', end + 1)) {
    const std::u16string candidate(commandLine.substr(0, end));
    const auto name = candidate.substr(candidate.find_last_of(u'\\') + 1);
    if (installed(candidate)) return candidate;
    if (name.find(u'.') == std::u16string::npos && installed(candidate + u".exe")) {
      return candidate + u".exe";
    }
    if (end == std::u16string_view::npos) break;
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

namespace {

const std::u16string kServicesKey = u"System\\CurrentControlSet\\Services\\";

std::vector<std::uint8_t> Bytes(std::u16string_view text) {
  std::vector<std::uint8_t> data;
  for (char16_t c : text) {
    data.push_back(static_cast<std::uint8_t>(c & 0xFF));
    data.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return data;
}

void Put(RegistryKey& key, std::u16string_view name, win::DWORD type,
         std::vector<std::uint8_t> data) {
  RegistryValue value;
  value.name = std::u16string(name);
  value.type = type;
  value.data = std::move(data);
  key.values[Upper(name)] = std::move(value);
}

void PutString(RegistryKey& key, std::u16string_view name, std::u16string_view text,
               win::DWORD type = win::REG_SZ) {
  auto data = Bytes(text);
  data.insert(data.end(), {0, 0});
  Put(key, name, type, std::move(data));
}

void PutDword(RegistryKey& key, std::u16string_view name, win::DWORD number) {
  std::vector<std::uint8_t> data;
  for (int shift = 0; shift < 32; shift += 8)
    data.push_back(static_cast<std::uint8_t>(number >> shift));
  Put(key, name, win::REG_DWORD, std::move(data));
}

}  // namespace

void WriteServiceKey(MachineState& state, const ServiceRecord& record) {
  bool created = false;
  auto key = Registry::Create(state.registry->Root(win::HKEY_LOCAL_MACHINE),
                              kServicesKey + record.name, created);
  PutDword(*key, u"Type", record.serviceType);
  PutDword(*key, u"Start", record.startType);
  PutDword(*key, u"ErrorControl", record.errorControl);
  PutString(*key, u"ImagePath", record.imagePath, win::REG_EXPAND_SZ);
  // A changed record may lose its optional values.
  for (const char16_t* optional : {u"DisplayName", u"Group", u"DependOnService"}) {
    key->values.erase(Upper(optional));
  }
  if (record.displayName != record.name) PutString(*key, u"DisplayName", record.displayName);
  if (!record.loadOrderGroup.empty()) PutString(*key, u"Group", record.loadOrderGroup);
  if (!record.dependencies.empty()) {
    std::vector<std::uint8_t> list;
    for (const auto& dependency : record.dependencies) {
      auto bytes = Bytes(dependency);
      list.insert(list.end(), bytes.begin(), bytes.end());
      list.insert(list.end(), {0, 0});
    }
    list.insert(list.end(), {0, 0});
    Put(*key, u"DependOnService", win::REG_MULTI_SZ, std::move(list));
  }
  // Drivers have no account; every other service runs as one.
  if ((record.serviceType & (win::SERVICE_KERNEL_DRIVER | win::SERVICE_FILE_SYSTEM_DRIVER)) == 0) {
    PutString(*key, u"ObjectName", record.account);
  }
}

void RemoveIfDeleted(MachineState& state, const std::u16string& key) {
  auto& records = state.services->records;
  auto it = records.find(key);
  if (it == records.end() || !it->second.markedForDeletion || it->second.openHandles > 0 ||
      it->second.running) {
    return;
  }
  Registry::DeleteTree(Registry::Find(state.registry->Root(win::HKEY_LOCAL_MACHINE),
                                      kServicesKey + it->second.name));
  records.erase(it);
  if (state.services->deletedNameLinger.count() > 0) {
    state.services->deletedNames[key] =
        std::chrono::steady_clock::now() + state.services->deletedNameLinger;
  }
}

void ReleaseLockOf(MachineState& state, const Process& process) {
  auto& lock = state.services->lock;  // an enforced lock; the others hold nothing to release
  if (lock && lock->process == &process) lock.reset();
}

win::SERVICE_STATUS StatusOf(const ServiceRecord& record) {
  win::SERVICE_STATUS status{};
  status.dwServiceType = record.serviceType;
  status.dwCurrentState = win::SERVICE_STOPPED;
  status.dwWin32ExitCode = record.lastExitCode;
  if (record.running) {
    std::lock_guard lock(record.running->mutex);
    if (!record.running->processEnded) {
      if (record.running->reports.empty()) {
        // What the manager sets at a start, until the service reports.
        status.dwCurrentState = win::SERVICE_START_PENDING;
        status.dwWin32ExitCode = 0;
        status.dwWaitHint = 2000;
      } else {
        status = record.running->reports.back();
      }
    }
  }
  return status;
}

win::DWORD DeliverControl(const std::shared_ptr<ServiceSession>& session, win::DWORD control) {
  if (!session) {
    // Not started: the code is checked first, as for a running service.
    ServiceSession stopped;
    stopped.processEnded = true;
    return ControlRefusal(stopped, control);
  }
  std::unique_lock lock(session->mutex);
  if (const win::DWORD refusal = ControlRefusal(*session, control)) return refusal;
  auto pending = std::make_shared<PendingControl>();
  pending->code = control;
  session->controls.push_back(pending);
  session->changed.notify_all();
  session->changed.wait(lock, [&] { return pending->done; });
  return pending->handled ? 0 : win::ERROR_SERVICE_NOT_ACTIVE;
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
    session->process = process;
    // A starter waits for this connection.
    session->changed.notify_all();
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
    std::unique_lock lock(session->mutex);
    session->handler = handler;
    session->changed.notify_all();
    // A dispatcher thread may run the handler before the registration has returned: a call
    // waiting for the handler (Machine::CallServiceHandler) is made first, and given a while
    // when the handler waits for the service main itself.
    session->changed.wait_for(lock, std::chrono::milliseconds(200),
                              [&] { return session->handlerCalls == 0; });
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
  {
    std::lock_guard lock(session->mutex);
    session->reports.push_back(*status);
    if (status->dwCurrentState == SERVICE_STOPPED) session->stopped = true;
    session->changed.notify_all();
  }
  return TRUE;
}

}  // namespace win
