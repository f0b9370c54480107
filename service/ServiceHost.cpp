#include "service/ServiceHost.h"

#include <chrono>

#include "platform/UniqueHandle.h"
#include "service/Registration.h"
#include "service/RestorePass.h"

namespace {

// The host of this process: the platform's callbacks carry no context to find it by.
ServiceHost* processHost = nullptr;

std::array<char16_t, ServiceHost::kServiceNameSize> LoadServiceName() {
  std::array<char16_t, ServiceHost::kServiceNameSize> name{};
  win::LoadStringW(win::GetModuleHandleW(nullptr), ServiceHost::kServiceNameResource, name.data(),
                   static_cast<int>(name.size()));
  return name;
}

bool ReadLocalServiceValue(win::HKEY appIdKey) {
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

}  // namespace

ServiceHost::ServiceHost()
    : initFailed_(!com_.Succeeded()), serviceName_(LoadServiceName()), eventLog_(ServiceName()) {
  processHost = this;
  status_.dwServiceType = win::SERVICE_WIN32_OWN_PROCESS;
  status_.dwCurrentState = win::SERVICE_STOPPED;
  status_.dwControlsAccepted = win::SERVICE_ACCEPT_STOP;
  status_.dwWin32ExitCode = 0;
  status_.dwServiceSpecificExitCode = 0;
  status_.dwCheckPoint = 0;
  status_.dwWaitHint = 0;
}

ServiceHost::~ServiceHost() {
  if (processHost == this) processHost = nullptr;
}

bool ServiceHost::Exists() {
  return processHost != nullptr;
}

win::DWORD ServiceHost::ProcessEntry() {
  if (initFailed_) return 0xFFFFFFFF;
  // A switch ends with an HRESULT, running out of memory on the way too.
  win::HRESULT result = win::S_OK;
  const win::DWORD switchOutcome = ExitCodeOf([&] {
    Registration registration(serviceName_.data());
    return registration.HandleCommandLine(win::GetCommandLineW(), result) ? win::DWORD{1}
                                                                          : win::DWORD{0};
  });
  if (switchOutcome == win::ERROR_OUTOFMEMORY) return static_cast<win::DWORD>(win::E_OUTOFMEMORY);
  if (switchOutcome == 0) return static_cast<win::DWORD>(result);
  return ExitCodeOf([this] { return Start(); });
}

win::DWORD ServiceHost::RunRequest() const {
  const RestorePass restorePass(eventLog_, ServiceName());
  return request_.RunGuarded(restorePass);
}

win::DWORD ServiceHost::Start() {
  // The exit-code field carries the outcome of every path back out of here.
  auto endWith = [this](win::DWORD exitCode) {
    std::lock_guard lock(statusLock_);
    status_.dwWin32ExitCode = exitCode;
    return exitCode;
  };

  win::UniqueKey appIds;
  win::LSTATUS opened =
      win::RegOpenKeyExW(win::HKEY_CLASSES_ROOT, u"AppID", 0, win::KEY_READ, appIds.Put());
  if (opened != win::ERROR_SUCCESS) return endWith(static_cast<win::DWORD>(opened));
  win::UniqueKey appId;
  opened = win::RegOpenKeyExW(appIds.Get(), kAppId, 0, win::KEY_READ, appId.Put());
  if (opened != win::ERROR_SUCCESS) return endWith(static_cast<win::DWORD>(opened));

  if (!ReadLocalServiceValue(appId.Get())) return endWith(RunRequest());

  const win::SERVICE_TABLE_ENTRYW table[] = {{serviceName_.data(), &ServiceMainEntry},
                                             {nullptr, nullptr}};
  if (!win::StartServiceCtrlDispatcherW(table)) return endWith(win::GetLastError());
  WaitForServiceMainToReturn();
  std::lock_guard lock(statusLock_);
  return status_.dwWin32ExitCode;  // what ServiceMain stored: the request's result, or still 0
}

void ServiceHost::ServiceMainEntry(win::DWORD argc, win::LPWSTR* argv) {
  ServiceHost* host = processHost;
  if (host == nullptr) return;
  {
    std::lock_guard lock(host->serviceMainLock_);
    host->serviceMainRunning_ = true;
  }
  host->ServiceMain(argc, argv);
  // Notified under the lock: once the waiting thread sees the flag it may end the process and
  // destroy the host, condition variable included.
  std::lock_guard lock(host->serviceMainLock_);
  host->serviceMainRunning_ = false;
  host->serviceMainReturned_.notify_all();
}

// The dispatcher returns as soon as the stopped state is reported, but the service thread still
// logs "Service stopped" after that report; ending the process at once could lose the event.
// The wait is bounded so that a stuck service thread cannot keep the process alive.
void ServiceHost::WaitForServiceMainToReturn() {
  std::unique_lock lock(serviceMainLock_);
  serviceMainReturned_.wait_for(lock, std::chrono::seconds(5),
                                [this] { return !serviceMainRunning_; });
}

void ServiceHost::ControlHandlerEntry(win::DWORD code) {
  if (ServiceHost* host = processHost) host->HandleControl(code);
}

void ServiceHost::ServiceMain(win::DWORD argc, win::LPWSTR* argv) {
  request_.ReadStartArguments(argc, argv);
  bool registered = false;
  win::DWORD registrationError = 0;
  {
    // The handler may be called on the dispatcher thread as soon as it is registered. Holding the
    // status lock until the handle is stored and the first report made means a stop that comes
    // that early is reported through the handle, after start-pending, never lost or overtaken.
    // The registration never waits for the dispatcher, so holding the lock cannot deadlock.
    std::lock_guard lock(statusLock_);
    status_.dwCurrentState = win::SERVICE_START_PENDING;
    statusHandle_ = win::RegisterServiceCtrlHandlerW(serviceName_.data(), &ControlHandlerEntry);
    registered = statusHandle_ != nullptr;
    if (!registered) {
      registrationError = win::GetLastError();
    } else {
      ReportLocked(win::SERVICE_START_PENDING);
      status_.dwWin32ExitCode = 0;
      status_.dwCheckPoint = 0;
      status_.dwWaitHint = 0;
    }
  }
  if (!registered) {
    // Without a handle the stopped state can never be reported, and the dispatcher would wait
    // for it for good: the process ends here, with the registration's reason.
    eventLog_.LogEvent(u"Handler not installed");
    win::ExitProcess(registrationError);
  }
  ReportStopped(RunRequest());
  eventLog_.LogEvent(u"Service stopped");
}

void ServiceHost::ReportStatus(win::DWORD state) {
  std::lock_guard lock(statusLock_);
  ReportLocked(state);
}

void ServiceHost::ReportLocked(win::DWORD state) {
  // Once stopped is reported it is final; a stop request that arrives late must not make the
  // service look as if it were stopping again.
  if (status_.dwCurrentState == win::SERVICE_STOPPED && state == win::SERVICE_STOP_PENDING) return;
  status_.dwCurrentState = state;
  win::SetServiceStatus(statusHandle_, &status_);
}

void ServiceHost::ReportStopped(win::DWORD exitCode) {
  std::lock_guard lock(statusLock_);
  status_.dwWin32ExitCode = exitCode;
  status_.dwCurrentState = win::SERVICE_STOPPED;
  win::SetServiceStatus(statusHandle_, &status_);
}

void ServiceHost::HandleControl(win::DWORD code) {
  switch (code) {
    case win::SERVICE_CONTROL_STOP:
      OnStop();
      break;
    case win::SERVICE_CONTROL_PAUSE:
    case win::SERVICE_CONTROL_CONTINUE:
    case win::SERVICE_CONTROL_INTERROGATE:
    case win::SERVICE_CONTROL_SHUTDOWN:
      break;
    default:
      eventLog_.LogEvent(u"Bad service request");
      break;
  }
}

// The running request is not interrupted: a stop only changes what the service control manager
// sees until the request is done.
void ServiceHost::OnStop() {
  ReportStatus(win::SERVICE_STOP_PENDING);
}
