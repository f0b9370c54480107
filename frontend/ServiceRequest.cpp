#include "frontend/ServiceRequest.h"

#include "platform/ServiceConfig.h"
#include "platform/UniqueHandle.h"

namespace frontend {
namespace {

// Just after a request's process has reported SERVICE_STOPPED it may still be ending, and a new
// start is refused meanwhile; it is tried again for this long.
constexpr win::DWORD kStartRetries = 50;
constexpr win::DWORD kStartRetryMilliseconds = 100;

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

}  // namespace

ServiceOutcome RunService(const std::vector<std::u16string>& arguments) {
  ServiceOutcome outcome;
  const win::UniqueService service =
      OpenCorvaneService(win::SERVICE_START | win::SERVICE_QUERY_STATUS, outcome.startError);
  if (!service) return outcome;

  std::vector<win::LPCWSTR> argv;
  for (const auto& argument : arguments) argv.push_back(argument.c_str());
  for (win::DWORD attempt = 0;; ++attempt) {
    if (win::StartServiceW(service.Get(), static_cast<win::DWORD>(argv.size()),
                           argv.empty() ? nullptr : argv.data())) {
      break;
    }
    const win::DWORD error = win::GetLastError();
    if (error != win::ERROR_SERVICE_ALREADY_RUNNING || attempt == kStartRetries) {
      outcome.startError = error;
      return outcome;
    }
    win::Sleep(kStartRetryMilliseconds);
  }

  for (win::DWORD waited = 0;; waited += kPollMilliseconds) {
    win::SERVICE_STATUS status{};
    if (!win::QueryServiceStatus(service.Get(), &status)) {
      outcome.startError = win::GetLastError();
      return outcome;
    }
    if (status.dwCurrentState == win::SERVICE_STOPPED) {
      outcome.exitCode = status.dwWin32ExitCode;
      return outcome;
    }
    if (waited >= kWaitMilliseconds) {
      outcome.timedOut = true;
      return outcome;
    }
    win::Sleep(kPollMilliseconds);
  }
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
