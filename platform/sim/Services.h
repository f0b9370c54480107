// The simulated service control manager: service records, and for a started service the
// session between its process and the manager (start arguments, handler, status reports).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/WinApi.h"
#include "platform/sim/Machine.h"

namespace sim {

struct MachineState;
struct Process;

struct PendingControl {
  win::DWORD code = 0;
  bool done = false;  // handled, or dropped because the service has ended
  bool handled = false;
};

// One start of a service, from the process start until the process ends. Guarded by its own
// mutex (not the machine lock), because the dispatcher waits on it.
struct ServiceSession {
  std::u16string serviceName;
  std::vector<std::u16string> arguments;

  std::mutex mutex;
  std::condition_variable changed;
  bool dispatcherStarted = false;
  bool mainReturned = false;
  bool stopped = false;  // SERVICE_STOPPED was reported
  bool processEnded = false;
  std::optional<win::DWORD> exitingWith;  // a thread of the process called ExitProcess
  bool hung = false;  // the service main returned without reporting SERVICE_STOPPED
  win::LPHANDLER_FUNCTION handler = nullptr;
  Process* process = nullptr;  // the service's process, once its dispatcher has started
  int handlerCalls = 0;        // Machine::CallServiceHandler calls waiting for or in the handler
  std::deque<std::shared_ptr<PendingControl>> controls;
  std::vector<win::SERVICE_STATUS> reports;

  // The service main's thread and its argument strings. The dispatcher returns once the
  // service has stopped, possibly before that thread has; the process joins it when it ends.
  std::thread serviceThread;
  std::vector<std::u16string> argumentStrings;
  std::vector<win::LPWSTR> argv;
};

struct ServiceRecord : ServiceConfig {
  std::vector<ServiceTrigger> triggers;  // they go with the record
  std::shared_ptr<ServiceSession> running;
  int openHandles = 0;  // service handles open on the record
  // What a status query reads while the service is stopped.
  win::DWORD lastExitCode = win::ERROR_SERVICE_NEVER_STARTED;
};

// A handle from OpenSCManagerW, OpenServiceW or CreateServiceW, with the access it was granted.
struct ScHandle {
  bool manager = false;
  win::DWORD access = 0;
  std::u16string key;  // a service handle's record, by upper-cased name
};

// The service database lock, while someone holds it.
struct DatabaseLock {
  std::uintptr_t value = 0;          // what LockServiceDatabase returned; 0 when held elsewhere
  const Process* process = nullptr;  // the simulated process that took it, if any
  std::u16string owner;              // the account name a status query reports
  std::chrono::steady_clock::time_point since;
  std::optional<win::DWORD> heldFor;  // a fixed duration in seconds, for a lock held elsewhere
};

class ServiceManager {
 public:
  std::map<std::u16string, ServiceRecord> records;  // by upper-cased name
  std::map<std::uintptr_t, std::shared_ptr<ServiceSession>> statusHandles;
  std::uintptr_t nextStatusHandle = 0x5000;
  // A range of their own: an SC_HANDLE is no kernel handle, and CloseHandle refuses one.
  std::map<std::uintptr_t, ScHandle> handles;
  std::uintptr_t nextHandle = 0x20000000;
  // Runs that go on after their start returned (Machine::HoldServiceRunning, StartServiceW);
  // joined when the machine goes.
  std::vector<std::thread> backgroundRuns;
  // Names of deleted records still taken, until when; and for how long a name stays so.
  std::map<std::u16string, std::chrono::steady_clock::time_point> deletedNames;
  std::chrono::milliseconds deletedNameLinger{0};
  // Machine::AnswerStartsLateAsWine.
  bool startsAnsweredLate = false;
  // Windows XP and Server 2003 enforce the database lock; later versions hand out locks that
  // hold nothing back (issued, until unlocked).
  bool lockAsWindowsXp = false;
  std::optional<DatabaseLock> lock;
  std::set<std::uintptr_t> issuedLocks;
  // Lock values are never reused, so a stale one is refused; their range is their own, as an
  // SC_LOCK is no handle either.
  std::uintptr_t nextLock = 0x30000000;
};

// Writes a record's key under HKLM\System\CurrentControlSet\Services as Windows does.
// Call with the machine lock held.
void WriteServiceKey(MachineState& state, const ServiceRecord& record);

// Removes a record marked for deletion, and its key, once no handle is open on it and it does
// not run. Call with the machine lock held.
void RemoveIfDeleted(MachineState& state, const std::u16string& key);

// Releases the database lock if `process` took it: the manager cleans up after a process that
// ends holding it. Call with the machine lock held.
void ReleaseLockOf(MachineState& state, const Process& process);

// The status a query reads for a record: the running session's last report, or stopped with
// the last exit code. Call with the machine lock held.
win::SERVICE_STATUS StatusOf(const ServiceRecord& record);

// Starts a service's process as StartServiceW does, on a thread of its own: 0 once the process's
// dispatcher has connected, or what the starter reads instead. Call without the machine lock.
win::DWORD LaunchService(MachineState& state, const std::u16string& key,
                         std::vector<std::u16string> args);

// Sends a control code to a service as ControlService does: its documented refusal, or 0 once
// its handler has returned on the dispatcher thread. Call without the machine lock.
win::DWORD DeliverControl(const std::shared_ptr<ServiceSession>& session, win::DWORD control);

// The state the service control manager holds for a running service: the last one reported,
// or SERVICE_START_PENDING until the first report. Call with the session's mutex held.
win::DWORD CurrentState(const ServiceSession& session);

// What ControlService answers for `control` sent to this session (0 when it is delivered), as
// the service control manager decides before the service sees anything. Call with the session's
// mutex held.
win::DWORD ControlRefusal(const ServiceSession& session, win::DWORD control);

// The program a service's command line starts, as CreateProcess finds it: the quoted part; or,
// unquoted, the shortest run of words that names an installed program (".exe" added when the
// name has no extension), else up to the first blank. Call with the machine lock held.
std::u16string ProgramPathOf(const MachineState& state, std::u16string_view commandLine);

}  // namespace sim
