#include "frontend/ServiceRequest.h"

#include <algorithm>
#include <utility>

#include "engine/AsciiText.h"
#include "frontend/MachineLock.h"
#include "platform/ServiceConfig.h"
#include "platform/UniqueHandle.h"

namespace frontend {
namespace {

thread_local ServiceRecordScope* currentScope = nullptr;

// The command's scope, or one of this call's own.
template <typename Use>
auto WithScope(Use&& use) {
  if (currentScope != nullptr) return use(*currentScope);
  ServiceRecordScope own;
  return use(own);
}

win::UniqueService OpenCorvaneService(win::DWORD access, win::DWORD& error) {
  return WithScope([&](ServiceRecordScope& scope) { return scope.Open(access, error); });
}

// Where an unquoted program path ends: after the first ".exe" followed by a blank or the end,
// or at the first blank.
std::size_t ProgramEnd(std::u16string_view path) {
  for (std::size_t at = 0; at + 4 <= path.size(); ++at) {
    const bool ends = at + 4 == path.size() || path[at + 4] == u' ';
    if (ends && SameAsciiText(path.substr(at, 4), u".exe")) return at + 4;
  }
  return path.find(u' ');
}

// Starts the service; a start refused because it still runs is tried again: the request before
// has reported stopping, and its process ends a moment later.
win::DWORD Start(win::SC_HANDLE service, const std::vector<std::u16string>& arguments) {
  std::vector<win::LPCWSTR> argv;
  for (const auto& argument : arguments) argv.push_back(argument.c_str());
  for (Wait wait(kStillRunningWait);;) {
    if (win::StartServiceW(service, static_cast<win::DWORD>(argv.size()),
                           argv.empty() ? nullptr : argv.data())) {
      return 0;
    }
    const win::DWORD error = win::GetLastError();
    if (error != win::ERROR_SERVICE_ALREADY_RUNNING || !wait.Again()) return error;
  }
}

// Waits until the service has stopped and gives the status it stopped with. Under the request
// lock no other corvane starts the service meanwhile, so the stop seen after this start is this
// start's. Asked for, not notified: under Wine the notification's own thread may still be talking
// to the service manager when the program ends, and a process ended then can hang in its exit.
void AwaitStop(win::SC_HANDLE service, ServiceOutcome& outcome) {
  for (Wait wait(kStopWait);;) {
    win::SERVICE_STATUS status{};
    if (!win::QueryServiceStatus(service, &status)) {
      outcome.waitError = win::GetLastError();
      return;
    }
    if (status.dwCurrentState == win::SERVICE_STOPPED) {
      outcome.exitCode = status.dwWin32ExitCode;
      return;
    }
    if (!wait.Again()) {
      outcome.timedOut = true;
      return;
    }
  }
}

}  // namespace

ServiceOutcome RunService(const std::vector<std::u16string>& arguments,
                          const LinkState& linkState) {
  ServiceOutcome outcome;
  const std::u16string folder = ServiceFolder(outcome.startError);
  if (folder.empty()) return outcome;
  MachineLock requests;
  outcome.startError = requests.Acquire(folder, kRequestLockName, [] {
    WriteError(
        u"CorvaneService is carrying out another corvane's request; waiting for it to finish.\r\n");
  });
  if (outcome.startError != 0) {
    // Whoever may not start the service cannot open the lock either: what is missing then is
    // elevation, whatever the lock said.
    if (!MayStartService()) {
      outcome.startError = win::ERROR_ACCESS_DENIED;
    } else if (outcome.startError != win::ERROR_TIMEOUT) {
      outcome.lockProblem = LockFailureText(requests, outcome.startError);
    }
    return outcome;
  }
  // The service is opened and started under the lock only: one corvane at a time talks to the
  // service manager about a start (under Wine, eight at once were seen to hang in its calls).
  win::UniqueService service =
      OpenCorvaneService(win::SERVICE_START | win::SERVICE_QUERY_STATUS, outcome.startError);
  if (!service) return outcome;
  const std::u16string before = linkState ? linkState() : std::u16string();
  for (Wait wait(kStartTimeoutWait);;) {
    outcome.startError = Start(service.Get(), arguments);
    if (outcome.startError != win::ERROR_SERVICE_REQUEST_TIMEOUT) break;
    if (linkState && linkState() != before) {
      outcome.startError = 0;  // carried out; it has stopped already
      break;
    }
    if (!wait.Again()) return outcome;
  }
  if (outcome.startError != 0) return outcome;

  AwaitStop(service.Get(), outcome);
  return outcome;
}

bool MayStartService() {
  win::DWORD error = 0;
  return static_cast<bool>(OpenCorvaneService(win::SERVICE_START, error));
}

ServiceRecordScope::ServiceRecordScope() : previous_(std::exchange(currentScope, this)) {}

ServiceRecordScope::~ServiceRecordScope() {
  currentScope = previous_;
}

win::UniqueService ServiceRecordScope::Open(win::DWORD access, win::DWORD& error) {
  if (!manager_) {
    manager_.Reset(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_CONNECT));
    if (!manager_) {
      error = win::GetLastError();
      return {};
    }
  }
  win::UniqueService service(win::OpenServiceW(manager_.Get(), kServiceName, access));
  if (!service) error = win::GetLastError();
  return service;
}

std::u16string ServiceRecordScope::Folder(win::DWORD& error) {
  if (folder_) return *folder_;
  const win::UniqueService service = Open(win::SERVICE_QUERY_CONFIG, error);
  if (!service) return {};
  std::u16string folder = FolderOf(service.Get(), error);
  if (!folder.empty()) folder_ = folder;
  return folder;
}

std::u16string ServiceFolder(win::DWORD& error) {
  return WithScope([&](ServiceRecordScope& scope) { return scope.Folder(error); });
}

std::u16string FolderOf(win::SC_HANDLE service, win::DWORD& error) {
  win::ServiceConfigRecord record(service);
  const win::QUERY_SERVICE_CONFIGW* config = record.Get();
  if (config == nullptr) {
    error = win::GetLastError();
    return {};
  }
  // The program's path: in quotes, or else up to its ".exe" (a path with blanks may stand
  // unquoted), or up to the first blank.
  std::u16string_view path = config->lpBinaryPathName ? config->lpBinaryPathName : u"";
  if (!path.empty() && path.front() == u'"') {
    path.remove_prefix(1);
    path = path.substr(0, path.find(u'"'));
  } else {
    path = path.substr(0, ProgramEnd(path));
  }
  const auto cut = path.find_last_of(u'\\');
  if (cut == std::u16string_view::npos) {
    error = win::ERROR_BAD_PATHNAME;
    return {};
  }
  return std::u16string(path.substr(0, cut));
}

}  // namespace frontend
