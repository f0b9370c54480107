#include "autostart/AutoStart.h"

#include <cerrno>

#include "autostart/Reports.h"
#include "platform/UniqueHandle.h"

namespace autostart {
namespace {

// The lock status record and room for its owner's name; a longer name does not fit.
constexpr win::DWORD kLockStatusSize = 268;

// Every failed run ends here: what standard output holds goes out first, so that a caller that
// reads it has the lines while the box waits for the user.
win::DWORD GiveUp(Reports& reports) {
  reports.Flush();
  win::MessageBoxW(nullptr,
                   u"Can not register Corvane as service!\n"
                   u"Check if you have administrator privelegies!",
                   u"Corvane", win::MB_ICONERROR);
  return 1;
}

// Tells why the lock was refused: who holds it and for how long, when that can be learnt.
void ReportLockRefusal(win::SC_HANDLE manager, Reports& reports) {
  if (win::GetLastError() != win::ERROR_SERVICE_DATABASE_LOCKED) {
    reports.ErrorReport(u"LockServiceDatabase\n");
    return;
  }
  win::UniqueLocalMemory buffer(win::LocalAlloc(win::LPTR, kLockStatusSize));
  if (!buffer) {
    reports.ErrorReport(u"LocalAlloc\n");
    return;
  }
  auto* status = static_cast<win::QUERY_SERVICE_LOCK_STATUSW*>(buffer.Get());
  win::DWORD needed = 0;
  if (!win::QueryServiceLockStatusW(manager, status, kLockStatusSize, &needed)) {
    reports.Report(u"QueryServiceLockStatus\n");
    return;
  }
  if (status->fIsLocked) {
    const std::u16string_view owner = status->lpLockOwner ? status->lpLockOwner : u"";
    const ReportArgument arguments[] = {owner, static_cast<int>(status->dwLockDuration)};
    reports.Report(u"Locked by: %s, duration: %d seconds\n", arguments);
  } else {
    reports.ErrorReport(u"No longer locked\n");
  }
  reports.ErrorReport(u"Could not lock database\n");
}

}  // namespace

win::DWORD ConfigureAutoStart() {
  // The error reports end with the C library's text for errno, which no Windows call sets: it
  // starts from 0 whatever the runtime's start-up left in it.
  errno = 0;
  Reports reports;

  win::UniqueService manager(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    reports.ErrorReport(u"OpenSCManager\n");
    return GiveUp(reports);
  }

  win::UniqueServiceLock lock(win::LockServiceDatabase(manager.Get()));
  if (!lock) {
    ReportLockRefusal(manager.Get(), reports);
    manager.Reset();
    return GiveUp(reports);
  }

  win::UniqueService service(
      win::OpenServiceW(manager.Get(), kServiceName, win::SERVICE_CHANGE_CONFIG));
  if (!service) {
    reports.ErrorReport(u"OpenService\n");
    lock.Reset();
    manager.Reset();
    return GiveUp(reports);
  }

  const bool changed =
      win::ChangeServiceConfigW(service.Get(), win::SERVICE_NO_CHANGE, win::SERVICE_AUTO_START,
                                win::SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr) != win::FALSE;
  if (changed) {
    reports.Report(u"ChangeServiceConfig SUCCESS\n");
  } else {
    reports.ErrorReport(u"ChangeServiceConfig\n");
  }
  // The lock goes first, then the service handle and the manager handle as their owners end.
  lock.Reset();
  // A refused change is a failure: an installer that runs the tool must not read it as success.
  return changed ? 0 : 1;
}

}  // namespace autostart
