// The one module object of CorvaneService: the service name, the status record reported to the
// service control manager, and the one request of this start.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/DrivePolicy.h"
#include "engine/HardLink.h"
#include "engine/LinkList.h"
#include "platform/ComInitialization.h"
#include "platform/WinApi.h"
#include "service/EventLog.h"
#include "service/Registration.h"
#include "service/StartRequest.h"

class LinkServiceModule {
  // First of all members: COM is initialised before anything else is set up and uninitialised
  // after everything else, the request included, is gone.
  win::ComInitialization com_;

 public:
  static constexpr std::size_t kServiceNameSize = 256;
  static constexpr win::UINT kServiceNameResource = 100;

  LinkServiceModule();
  virtual ~LinkServiceModule();
  LinkServiceModule(const LinkServiceModule&) = delete;
  LinkServiceModule& operator=(const LinkServiceModule&) = delete;

  // The process entry: what wWinMain returns.
  win::DWORD ProcessEntry();

  // Runs under the service control dispatcher when the service is registered to, else runs the
  // request directly; returns the process exit code.
  win::DWORD Start();

  // Called by the platform on the service's own thread.
  void ServiceMain(win::DWORD argc, win::LPWSTR* argv);

  void ReportStatus(win::DWORD state);
  void HandleControl(win::DWORD code);
  void OnStop();

  template <typename... Args>
  void LogEvent(std::u16string_view format, const Args&... args) noexcept {
    eventLog_.LogEvent(format, args...);
  }
  template <typename... Args>
  void LogEventOfType(win::WORD type, std::u16string_view format, const Args&... args) noexcept {
    eventLog_.LogEventOfType(type, format, args...);
  }

  // The process-wide pointer the platform's callbacks reach the module through.
  static LinkServiceModule* Instance();

  char16_t serviceName[kServiceNameSize] = {};
  win::SERVICE_STATUS_HANDLE statusHandle = nullptr;
  win::SERVICE_STATUS status{};
  win::BOOL runsAsService = win::TRUE;

 private:
  static void ServiceMainEntry(win::DWORD argc, win::LPWSTR* argv);
  static void ControlHandlerEntry(win::DWORD code);

  bool ReadLocalServiceValue(win::HKEY appIdKey) const;
  // The request of this start, its restore pass writing to the service's event log.
  win::DWORD RunRequest() const;
  void ReportStopped(win::DWORD exitCode);
  // ReportStatus with the status lock already held.
  void ReportLocked(win::DWORD state);
  void WaitForServiceMainToReturn();

  bool initFailed_ = false;
  EventLog eventLog_{u""};
  StartRequest request_;
  mutable std::mutex statusLock_;  // guards `status` and each report made from it
  std::mutex serviceMainLock_;
  std::condition_variable serviceMainReturned_;
  bool serviceMainRunning_ = false;
};
