// Asking the service for one job: start it with start arguments, wait until it has stopped, read
// its exit code.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/ServiceName.h"
#include "engine/Wait.h"
#include "frontend/Console.h"
#include "platform/UniqueHandle.h"
#include "platform/WinApi.h"

namespace frontend {

struct ServiceOutcome {
  win::DWORD startError = 0;   // the service could not be started (or asked): why
  win::DWORD waitError = 0;    // started, but its end could not be awaited: why
  bool timedOut = false;       // started, but not stopped within the wait
  win::DWORD exitCode = 0;     // what the service reported when it stopped
  Lines lockProblem;           // the request lock could not be opened: what to tell
};

// The longest start argument the service control manager passes on: SC_MAX_ARGUMENT_LENGTH is
// 1024 characters with the terminating NUL.
inline constexpr std::size_t kLongestArgument = 1023;

// How long a request may take before the front end stops waiting, asking sooner at first.
inline constexpr WaitSchedule kStopWait{1, 50, 60'000};
// How long a start refused because the service still runs is tried again, sooner at first: the
// process of the request before ends a moment after it has reported stopping.
inline constexpr WaitSchedule kStillRunningWait{1, 50, 5'000};

// How long a start that the service control manager gave up on (1053) is tried again: the
// manager waits for the service's process to connect (30 s on Windows, 10 s under Wine), and a
// busy machine can take longer than that to start a process.
inline constexpr WaitSchedule kStartTimeoutWait{10, 1'000, 60'000};

// What the request's link is now, in any form that changes when the request changes it.
using LinkState = std::function<std::u16string()>;

// Starts the service with these start arguments (none: the restore pass) and waits for
// SERVICE_STOPPED. Front ends do this one at a time on the whole machine (kRequestLockName), so
// that the stop each one sees is that of its own start.
//
// A start answered 1053 is tried again while the link is as it was before it: the process never
// reached the service's entry with its arguments, so it carried out nothing (a process that was
// not started as a service runs no request either). Wine's manager also answers 1053 when the
// service has already stopped by the time it looks at the start; the link has changed then, and
// the outcome is the service's own last report. Without `linkState` (the restore pass, which
// may run twice) every such start is tried again.
ServiceOutcome RunService(const std::vector<std::u16string>& arguments,
                          const LinkState& linkState = {});

// One command's connection to the service control manager and its reading of the service's
// record, for as long as it lives on this thread: the manager is connected once and the program's
// folder read once, for the list and the request lock alike (a command that read the record twice
// could find two folders). Without one, each call below connects and reads anew.
class ServiceRecordScope {
 public:
  ServiceRecordScope();
  ~ServiceRecordScope();
  ServiceRecordScope(const ServiceRecordScope&) = delete;
  ServiceRecordScope& operator=(const ServiceRecordScope&) = delete;

  win::UniqueService Open(win::DWORD access, win::DWORD& error);
  std::u16string Folder(win::DWORD& error);

 private:
  ServiceRecordScope* previous_;
  win::UniqueService manager_;
  std::optional<std::u16string> folder_;
};

// The folder of the installed service's program, from its record; empty with the reason in
// `error` when it cannot be read.
std::u16string ServiceFolder(win::DWORD& error);
// The same from an open service handle (with SERVICE_QUERY_CONFIG).
std::u16string FolderOf(win::SC_HANDLE service, win::DWORD& error);

// Whether the caller may start the service: what an administrator may, and no one else, under
// the service control manager's default security.
bool MayStartService();

}  // namespace frontend
