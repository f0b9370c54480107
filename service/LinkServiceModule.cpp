#include "service/LinkServiceModule.h"

#include "platform/UniqueHandle.h"
#include "service/RestorePass.h"

namespace {

LinkServiceModule* processModule = nullptr;

}  // namespace

LinkServiceModule::LinkServiceModule() {
  processModule = this;
  initFailed_ = !com_.Succeeded();
  runsAsService = win::TRUE;
  win::LoadStringW(win::GetModuleHandleW(nullptr), kServiceNameResource, serviceName,
                   static_cast<int>(kServiceNameSize));
  eventLog_ = EventLog(serviceName);
  statusHandle = nullptr;
  status.dwServiceType = win::SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = win::SERVICE_STOPPED;
  status.dwControlsAccepted = win::SERVICE_ACCEPT_STOP;
  status.dwWin32ExitCode = 0;
  status.dwServiceSpecificExitCode = 0;
  status.dwCheckPoint = 0;
  status.dwWaitHint = 0;
}

LinkServiceModule::~LinkServiceModule() {
  if (processModule == this) processModule = nullptr;
}

LinkServiceModule* LinkServiceModule::Instance() {
  return processModule;
}

win::DWORD LinkServiceModule::ProcessEntry() {
  if (initFailed_) return 0xFFFFFFFF;
  // A switch ends with an HRESULT, running out of memory on the way too.
  win::HRESULT result = win::S_OK;
  const win::DWORD switchOutcome = ExitCodeOf([&] {
    Registration registration(serviceName);
    return registration.HandleCommandLine(win::GetCommandLineW(), result) ? win::DWORD{1}
                                                                          : win::DWORD{0};
  });
  if (switchOutcome == win::ERROR_OUTOFMEMORY) return static_cast<win::DWORD>(win::E_OUTOFMEMORY);
  if (switchOutcome == 0) return static_cast<win::DWORD>(result);
  return ExitCodeOf([this] { return Start(); });
}

win::DWORD LinkServiceModule::RunRequest() const {
  const RestorePass restorePass(eventLog_, serviceName);
  return request_.RunGuarded(restorePass);
}

win::DWORD LinkServiceModule::Start() {
  // The exit-code field carries the outcome of every path back out of here.
  auto endWith = [this](win::DWORD exitCode) {
    std::lock_guard lock(statusLock_);
    status.dwWin32ExitCode = exitCode;
    return exitCode;
  };

  win::UniqueKey appIds;
  win::LSTATUS opened =
      win::RegOpenKeyExW(win::HKEY_CLASSES_ROOT, u"AppID", 0, win::KEY_READ, appIds.Put());
  if (opened != win::ERROR_SUCCESS) return endWith(static_cast<win::DWORD>(opened));
  win::UniqueKey appId;
  opened = win::RegOpenKeyExW(appIds.Get(), kAppId, 0, win::KEY_READ, appId.Put());
  if (opened != win::ERROR_SUCCESS) return endWith(static_cast<win::DWORD>(opened));

  runsAsService = ReadLocalServiceValue(appId.Get()) ? win::TRUE : win::FALSE;
  if (!runsAsService) return endWith(RunRequest());

  const win::SERVICE_TABLE_ENTRYW table[] = {{serviceName, &ServiceMainEntry}, {nullptr, nullptr}};
  if (!win::StartServiceCtrlDispatcherW(table)) return endWith(win::GetLastError());
  WaitForServiceMainToReturn();
  std::lock_guard lock(statusLock_);
  return status.dwWin32ExitCode;  // what ServiceMain stored: Run's result, or still 0
}

bool LinkServiceModule::ReadLocalServiceValue(win::HKEY appIdKey) const {
  char16_t value[win::MAX_PATH];
  win::DWORD type = win::REG_NONE;
  win::DWORD size = sizeof value;
  if (win::RegQueryValueExW(appIdKey, u"LocalService", nullptr, &type,
                            reinterpret_cast<win::BYTE*>(value), &size) != win::ERROR_SUCCESS) {
    return false;
  }
  // A value of zero bytes has no terminating NUL to check; it does not count as present.
  return (type == win::REG_SZ || type == win::REG_EXPAND_SZ) && size >= sizeof(char16_t) &&
         size % sizeof(char16_t) == 0 && value[size / sizeof(char16_t) - 1] == u'\0';
}

void LinkServiceModule::ServiceMainEntry(win::DWORD argc, win::LPWSTR* argv) {
  LinkServiceModule* module = Instance();
  if (module == nullptr) return;
  {
    std::lock_guard lock(module->serviceMainLock_);
    module->serviceMainRunning_ = true;
  }
  module->ServiceMain(argc, argv);
  // Notified under the lock: once the waiting thread sees the flag it may end the process and
  // destroy the module, condition variable included.
  std::lock_guard lock(module->serviceMainLock_);
  module->serviceMainRunning_ = false;
  module->serviceMainReturned_.notify_all();
}

// The dispatcher returns as soon as the stopped state is reported, but the service thread still
// logs "Service stopped" after that report; ending the process at once could lose the event.
// The wait is bounded so that a stuck service thread cannot keep the process alive.
void LinkServiceModule::WaitForServiceMainToReturn() {
  std::unique_lock lock(serviceMainLock_);
  serviceMainReturned_.wait_for(lock, std::chrono::seconds(5),
                                [this] { return !serviceMainRunning_; });
}

void LinkServiceModule::ControlHandlerEntry(win::DWORD code) {
  if (LinkServiceModule* module = Instance()) module->HandleControl(code);
}

void LinkServiceModule::ServiceMain(win::DWORD argc, win::LPWSTR* argv) {
  request_.ReadStartArguments(argc, argv);
  bool registered = false;
  win::DWORD registrationError = 0;
  {
    // The handler may be called on the dispatcher thread as soon as it is registered. Holding the
    // status lock until the handle is stored and the first report made means a stop that comes
    // that early is reported through the handle, after start-pending, never lost or overtaken.
    // The registration never waits for the dispatcher, so holding the lock cannot deadlock.
    std::lock_guard lock(statusLock_);
    status.dwCurrentState = win::SERVICE_START_PENDING;
    statusHandle = win::RegisterServiceCtrlHandlerW(serviceName, &ControlHandlerEntry);
    registered = statusHandle != nullptr;
    if (!registered) {
      registrationError = win::GetLastError();
    } else {
      ReportLocked(win::SERVICE_START_PENDING);
      status.dwWin32ExitCode = 0;
      status.dwCheckPoint = 0;
      status.dwWaitHint = 0;
    }
  }
  if (!registered) {
    // Without a handle the stopped state can never be reported, and the dispatcher would wait
    // for it for good: the process ends here, with the registration's reason.
    LogEvent(u"Handler not installed");
    win::ExitProcess(registrationError);
  }
  ReportStopped(RunRequest());
  LogEvent(u"Service stopped");
}
