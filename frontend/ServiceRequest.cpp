#include "frontend/ServiceRequest.h"

#include <algorithm>

#include "frontend/MachineLock.h"
#include "platform/ServiceConfig.h"
#include "platform/UniqueHandle.h"

namespace frontend {
namespace {

win::UniqueService OpenCorvaneService(win::DWORD access, win::DWORD& error) {
  win::UniqueService manager(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_CONNECT));
  if (!manager) {
    error = win::GetLastError();
    return {};
  }
  win::UniqueService service(win::OpenServiceW(manager.Get(), kServiceName, access));
  if (!service) error = win::GetLastError();
  return service;
}

// Where an unquoted program path ends: after the first ".exe" followed by a blank or the end,
// or at the first blank.
std::size_t ProgramEnd(std::u16string_view path) {
  for (std::size_t at = 0; at + 4 <= path.size(); ++at) {
    const std::u16string_view tail = path.substr(at, 4);
    const bool exe = tail[0] == u'.' && (tail[1] | 0x20) == u'e' && (tail[2] | 0x20) == u'x' &&
                     (tail[3] | 0x20) == u'e';
    if (exe && (at + 4 == path.size() || path[at + 4] == u' ')) return at + 4;
  }
  return path.find(u' ');
}

// Starts the service; a start refused because it still runs is tried again, sooner at first:
// the request before has reported stopping, and its process ends a moment later.
win::DWORD Start(win::SC_HANDLE service, const std::vector<std::u16string>& arguments) {
  std::vector<win::LPCWSTR> argv;
  for (const auto& argument : arguments) argv.push_back(argument.c_str());
  win::DWORD pause = 1;
  for (win::DWORD waited = 0;; waited += pause, pause = std::min<win::DWORD>(pause * 2, 50)) {
    if (win::StartServiceW(service, static_cast<win::DWORD>(argv.size()),
                           argv.empty() ? nullptr : argv.data())) {
      return 0;
    }
    const win::DWORD error = win::GetLastError();
    if (error != win::ERROR_SERVICE_ALREADY_RUNNING || waited >= kStartRetryMilliseconds) {
      return error;
    }
    win::Sleep(pause);
  }
}

// The notification of the service's stop, with the status it stopped with. Thread storage: the
// system may still fill it in after a wait given up, until the thread (the program) ends.
struct StopNotice {
  win::SERVICE_NOTIFYW notify;
  bool arrived;
};
thread_local StopNotice stopNotice;

void OnStop(void* parameter) {
  auto* notify = static_cast<win::SERVICE_NOTIFYW*>(parameter);
  static_cast<StopNotice*>(notify->pContext)->arrived = true;
}

}  // namespace

ServiceOutcome RunService(const std::vector<std::u16string>& arguments,
                          const LinkState& linkState) {
  ServiceOutcome outcome;
  MachineLock requests;
  outcome.startError = requests.Acquire(
      kRequestLockName,
      u"CorvaneService is carrying out another corvane's request; waiting for it to finish.\r\n");
  if (outcome.startError != 0) return outcome;
  win::UniqueService service =
      OpenCorvaneService(win::SERVICE_START | win::SERVICE_QUERY_STATUS, outcome.startError);
  if (!service) return outcome;
  const std::u16string before = linkState ? linkState() : std::u16string();
  const std::uint64_t firstStart = win::GetTickCount64();
  for (win::DWORD pause = 10;; pause = std::min<win::DWORD>(pause * 2, 1'000)) {
    outcome.startError = Start(service.Get(), arguments);
    if (outcome.startError != win::ERROR_SERVICE_REQUEST_TIMEOUT) break;
    if (linkState && linkState() != before) {
      outcome.startError = 0;  // carried out; its stop is reported at once
      break;
    }
    if (win::GetTickCount64() - firstStart >= kStartBudgetMilliseconds) return outcome;
    win::Sleep(pause);
  }
  if (outcome.startError != 0) return outcome;

  // Asked for after the start, the notice comes for this start's stop: the service is already
  // stopped, and the notice comes at once, or it comes when it stops. No other front end can
  // start it meanwhile.
  StopNotice& notice = stopNotice;
  notice = StopNotice{};
  notice.notify.dwVersion = win::SERVICE_NOTIFY_STATUS_CHANGE;
  notice.notify.pfnNotifyCallback = &OnStop;
  notice.notify.pContext = &notice;
  outcome.waitError =
      win::NotifyServiceStatusChangeW(service.Get(), win::SERVICE_NOTIFY_STOPPED, &notice.notify);
  if (outcome.waitError != 0) return outcome;
  while (!notice.arrived) {
    if (win::SleepEx(kWaitMilliseconds, win::TRUE) != win::WAIT_IO_COMPLETION) {
      // Closing the handle cancels the request; a notice already on its way runs now.
      service.Reset();
      win::SleepEx(0, win::TRUE);
      if (!notice.arrived) {
        outcome.timedOut = true;
        return outcome;
      }
    }
  }
  if (notice.notify.dwNotificationStatus != 0) {
    outcome.waitError = notice.notify.dwNotificationStatus;
  } else {
    outcome.exitCode = notice.notify.ServiceStatus.dwWin32ExitCode;
  }
  return outcome;
}

std::u16string ServiceFolder(win::DWORD& error) {
  const win::UniqueService service = OpenCorvaneService(win::SERVICE_QUERY_CONFIG, error);
  if (!service) return {};
  win::ServiceConfigRecord record(service.Get());
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
