// Status reports and the control handler.
#include "platform/UniqueHandle.h"
#include "service/LinkServiceModule.h"

void LinkServiceModule::ReportStatus(win::DWORD state) {
  std::lock_guard lock(statusLock_);
  ReportLocked(state);
}

void LinkServiceModule::ReportLocked(win::DWORD state) {
  // Once stopped is reported it is final; a stop request that arrives late must not make the
  // service look as if it were stopping again.
  if (status.dwCurrentState == win::SERVICE_STOPPED && state == win::SERVICE_STOP_PENDING) return;
  status.dwCurrentState = state;
  win::SetServiceStatus(statusHandle, &status);
}

void LinkServiceModule::ReportStopped(win::DWORD exitCode) {
  std::lock_guard lock(statusLock_);
  status.dwWin32ExitCode = exitCode;
  status.dwCurrentState = win::SERVICE_STOPPED;
  win::SetServiceStatus(statusHandle, &status);
}

void LinkServiceModule::HandleControl(win::DWORD code) {
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
      LogEvent(u"Bad service request");
      break;
  }
}

// The running request is not interrupted: a stop only changes what the service control manager
// sees until the request is done.
void LinkServiceModule::OnStop() {
  ReportStatus(win::SERVICE_STOP_PENDING);
}
