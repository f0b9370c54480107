// Inside the simulated machine: the state every simulated call works on, the one lock that
// guards it, the per-thread context (last error, process) and the fault-injection gate.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WinApi.h"
#include "platform/sim/Machine.h"

namespace sim {

class FileSystem;
class Registry;
class ServiceManager;

// Anything a HANDLE can stand for. CloseHandle destroys the object; a destructor releases what
// the open held (share claims, for instance).
struct Process;
struct HandleObject {
  virtual ~HandleObject() = default;
  bool inheritable = false;          // a child process started now would get the handle too
  const Process* process = nullptr;  // the process that opened it, which closes it as it ends
};

// One simulated process: its program, command line, current directory and, when the service
// control manager started it, its service session.
struct ServiceSession;
struct Process {
  std::u16string imagePath;
  std::u16string commandLine;
  std::u16string currentDirectory = u"C:\\";
  std::map<win::UINT, std::u16string> strings;
  Resources resources;
  std::shared_ptr<ServiceSession> session;  // null unless started by the service manager
  win::DWORD redirectionTrust = 0;          // the flags of ProcessRedirectionTrustPolicy set
  // Set when the program's entry has returned. Windows ends a process's other threads then;
  // the simulation cannot stop a thread, so whatever such a thread still calls fails and
  // changes nothing.
  std::atomic<bool> ended{false};
  // The time of every Sleep of this process that an injected failure skipped: it has passed
  // for this process's clock only, so a process that ends mid-wait moves no one else's.
  std::atomic<std::uint64_t> skippedMilliseconds{0};
};

// ExitProcess in the simulation: thrown on the calling thread and caught where the simulation
// started that thread, since a simulated process cannot stop its threads any other way. Every
// other thread of the process learns of it at its next wait on the service control manager.
struct ProcessExit {
  win::DWORD code = 0;
};

struct Fault {
  win::DWORD code = 0;
  int times = 0;
};

struct MachineState {
  MachineState();
  ~MachineState();

  std::unique_ptr<FileSystem> files;
  std::unique_ptr<Registry> registry;
  std::unique_ptr<ServiceManager> services;

  std::map<std::u16string, Program> programs;  // by upper-cased image path
  Process testProcess;                         // the test's own process

  std::map<std::uintptr_t, std::shared_ptr<HandleObject>> handles;
  std::uintptr_t nextHandle = 0x1000;

  std::vector<EventRecord> events;
  std::vector<MessageBoxRecord> messageBoxes;
  std::vector<ShellNotification> shellNotifications;

  std::map<std::string, Fault, std::less<>> faults;
  std::map<std::string, std::vector<std::function<void()>>, std::less<>> hooks;
  std::optional<win::HRESULT> coInitializeFailure;
  // References handed out by LoadLibraryExW, by module handle.
  std::map<std::uintptr_t, int> moduleReferences;
  // Images mapped as data files (LoadLibraryExW with LOAD_LIBRARY_AS_DATAFILE), by handle.
  std::map<std::uintptr_t, Resources> dataModules;
  std::uintptr_t nextDataModule = 0x10000001;
  win::UINT ansiCodePage = 1252;

  // Blocks handed out by LocalAlloc and not yet freed, by address.
  std::map<std::uintptr_t, std::unique_ptr<unsigned char[]>> localBlocks;

  // The one console every process writes to, and what each standard stream carried.
  bool standardOutputIsConsole = true;
  std::string standardOutput;
  std::string standardError;
  std::string consoleText;
  // What the next WriteConsoleW calls take at most (Machine::LimitConsoleWrites), and how many.
  win::DWORD consoleWriteLimit = 0;
  int consoleWritesLimited = 0;

  // The system's clock: real time since the machine was made; each process adds its own
  // skipped sleeps (Process::skippedMilliseconds).
  std::chrono::steady_clock::time_point booted = std::chrono::steady_clock::now();
};

// The lock every simulated call takes while it touches machine state.
std::recursive_mutex& Lock();
using Guard = std::lock_guard<std::recursive_mutex>;

// The current machine; aborts when none is alive.
MachineState& State();

// The process the calling thread belongs to.
Process& CurrentProcess();
void SetThreadProcess(Process* process);
// Machine construction and destruction register and clear the current machine.
void RegisterCurrent(MachineState* state);

// Called first by every simulated function: runs the hooks registered for it (outside the
// lock), then, when a failure was injected or the calling process has ended, sets the
// last-error code and returns it.
std::optional<win::DWORD> Intercept(std::string_view function);

// Handle table.
win::HANDLE AddHandle(std::shared_ptr<HandleObject> object);
std::shared_ptr<HandleObject> FindHandle(win::HANDLE handle);
template <typename T>
std::shared_ptr<T> FindHandleAs(win::HANDLE handle) {
  return std::dynamic_pointer_cast<T>(FindHandle(handle));
}
bool RemoveHandle(win::HANDLE handle);
// Closes every handle `process` opened, as Windows does when a process ends.
void RemoveHandlesOf(const Process& process);

// The standard handles: fixed values below the handle table's range, the same in every process,
// so they are neither counted among open handles nor closed.
enum class StandardStream { None, Input, Output, Error };
StandardStream StandardStreamOf(win::HANDLE handle);
// Records bytes written to standard output or standard error, and shows them on the console, in
// its code page, where the stream goes there. Call with the machine lock held.
void WriteStandardStream(MachineState& state, StandardStream stream, std::string_view bytes);

// Text helpers shared by the simulation.
// Case folding as Windows' upcase table does it for file, registry and device names: a simple
// one-to-one mapping, the same in every locale (Latin-1, Latin Extended-A, Greek, Cyrillic;
// other characters are left as they are).
char16_t UpperChar(char16_t c);
std::u16string Upper(std::u16string_view text);
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);
std::u16string ToU16(std::string_view ascii);
// Copies text and a terminating NUL into a caller's buffer of `size` units, if it fits.
bool CopyOut(std::u16string_view text, win::LPWSTR buffer, std::size_t size);
// Appends the UTF-8 form of UTF-16 text, an unpaired surrogate as U+FFFD the way Windows (Vista
// on) converts it; false when there was one.
bool EncodeUtf8(std::u16string_view text, std::string& out);

}  // namespace sim
