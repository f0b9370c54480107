// CorvaneService's process, as a host of one service start: COM for the process's life, the
// registration switches, the service control dispatcher, the status reported to the service
// control manager and the controls it sends, and the one request of this start.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string_view>

#include "platform/ComInitialization.h"
#include "platform/WinApi.h"
#include "service/EventLog.h"
#include "service/StartRequest.h"

class ServiceHost {
 public:
  static constexpr std::size_t kServiceNameSize = EventLog::kSourceSize;
  static constexpr win::UINT kServiceNameResource = 100;

  // One per process: the platform's callbacks find the host of the process through a pointer of
  // the host's own, set here and cleared as it goes.
  ServiceHost();
  ~ServiceHost();
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  // The process entry: what wWinMain returns.
  win::DWORD ProcessEntry();

  // Whether the process has a host now, for its callbacks to find.
  static bool Exists();

 private:
  // The platform's callbacks, on the service's own thread and on the dispatcher's.
  static void ServiceMainEntry(win::DWORD argc, win::LPWSTR* argv);
  static void ControlHandlerEntry(win::DWORD code);

  // Runs under the service control dispatcher when the service is registered to, else runs the
  // request directly; returns the process exit code.
  win::DWORD Start();
  void ServiceMain(win::DWORD argc, win::LPWSTR* argv);
  // The request of this start, its restore pass writing to the service's event log.
  win::DWORD RunRequest() const;
  void WaitForServiceMainToReturn();

  void HandleControl(win::DWORD code);
  void OnStop();
  void ReportStatus(win::DWORD state);
  // ReportStatus with the status lock already held.
  void ReportLocked(win::DWORD state);
  void ReportStopped(win::DWORD exitCode);

  std::u16string_view ServiceName() const { return serviceName_.data(); }

  // First of all members: COM is initialised before anything else is set up and uninitialised
  // after everything else, the request included, is gone.
  win::ComInitialization com_;
  bool initFailed_ = false;
  std::array<char16_t, kServiceNameSize> serviceName_{};  // string 100, cut to fit
  EventLog eventLog_;
  StartRequest request_;

  std::mutex statusLock_;  // guards the handle, the status and each report made from them
  win::SERVICE_STATUS_HANDLE statusHandle_ = nullptr;
  win::SERVICE_STATUS status_{};

  std::mutex serviceMainLock_;
  std::condition_variable serviceMainReturned_;
  bool serviceMainRunning_ = false;
};
