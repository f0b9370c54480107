// The simulated Windows machine: what native tests build, drive and inspect. The win:: calls of
// platform/WinApi.h act on the one machine alive at the time (tests make one per case).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WinApi.h"

namespace sim {

struct MachineState;

// What DeleteFileW and RemoveDirectoryW do to the name of a file that is still open elsewhere.
// Classic: the name stays, delete pending, until the last handle closes (Windows before 10 1809,
// Wine, and file systems other than NTFS); meanwhile it cannot be opened or reused. Posix: the
// name goes at once and may be taken by a new file; the open handles go on working on the file,
// which has no name left (Windows 10 1809 and later on NTFS). A delete through a handle
// (SetFileInformationByHandle with FileDispositionInfo) is classic on every version.
enum class DeleteSemantics { Classic, Posix };

// A resource of a program's image by type and integer id: a named type such as u"REGISTRY"
// (matched without regard to case, as Windows stores names upper-cased), or a numbered type
// written "#10".
using ResourceName = std::pair<std::u16string, win::WORD>;
using Resources = std::map<ResourceName, std::string>;

// A program that can be started as a process: its entry and its resources.
struct Program {
  std::function<win::DWORD()> main;             // runs on the process's main thread
  std::map<win::UINT, std::u16string> strings;  // the string table (LoadStringW)
  Resources resources = {};                     // FindResourceW / LoadResource
};

// A registry value as stored: its type and bytes.
struct RegistryData {
  win::DWORD type = win::REG_NONE;
  std::vector<std::uint8_t> data;
  bool operator==(const RegistryData&) const = default;
};

struct EventRecord {
  std::u16string source;
  win::WORD type = 0;
  win::WORD category = 0;
  win::DWORD eventId = 0;
  std::vector<std::u16string> strings;
  std::vector<std::uint8_t> data;  // the binary data, if any
};

// What one service start left behind, as the service control manager saw it.
struct ServiceRun {
  win::DWORD exitCode = 0;                   // the Win32 exit code a starter reads
  win::DWORD processExitCode = 0;            // what the program's entry returned
  std::vector<win::SERVICE_STATUS> reports;  // every SetServiceStatus, in order
  // The process would never have ended: its service main returned without reporting
  // SERVICE_STOPPED, so the dispatcher kept waiting. The simulation ended it after a while.
  bool hung = false;
  // The flags its process set for ProcessRedirectionTrustPolicy (kEnforceRedirectionTrust).
  win::DWORD redirectionTrust = 0;
  // What its service main was called with: argv[0] the service's name, then the start
  // arguments; empty when the dispatcher never called it.
  std::vector<std::u16string> serviceArguments;
};

// One trigger of a service's record, as ChangeServiceConfig2W(SERVICE_CONFIG_TRIGGER_INFO) gave
// it, its data items copied.
struct ServiceTriggerData {
  win::DWORD type = 0;
  std::vector<std::uint8_t> bytes;
  bool operator==(const ServiceTriggerData&) const = default;
};
struct ServiceTrigger {
  win::DWORD type = 0;
  win::DWORD action = 0;
  win::GUID subtype{};
  std::vector<ServiceTriggerData> data;
  bool operator==(const ServiceTrigger&) const = default;
};

// A service record as the service control manager holds it.
struct ServiceConfig {
  std::u16string name;
  std::u16string displayName;  // the name itself when none was given
  win::DWORD serviceType = win::SERVICE_WIN32_OWN_PROCESS;
  win::DWORD startType = win::SERVICE_DEMAND_START;
  win::DWORD errorControl = win::SERVICE_ERROR_NORMAL;
  std::u16string imagePath;  // as given, quotes kept
  std::u16string loadOrderGroup;
  win::DWORD tagId = 0;
  std::vector<std::u16string> dependencies;
  std::u16string account = u"LocalSystem";
  std::u16string password;
  bool markedForDeletion = false;
  bool operator==(const ServiceConfig&) const = default;
};

// What a program told the shell with SHChangeNotify (for drive events, the root path named).
struct ShellNotification {
  win::LONG eventId = 0;
  win::UINT flags = 0;
  std::u16string path;
  bool operator==(const ShellNotification&) const = default;
};

struct MessageBoxRecord {
  win::HWND owner = nullptr;
  std::u16string text;
  std::u16string caption;
  win::UINT type = 0;
  bool operator==(const MessageBoxRecord&) const = default;
};

class Machine {
 public:
  // Builds a machine with volume C: (NTFS-like, FILE_UNICODE_ON_DISK set, serial 0x1234ABCD)
  // and makes it the current one. Only one machine may be alive at a time.
  Machine();
  // Ends every service process still running, as at shutdown, and waits for it: a service main
  // that never returns keeps the machine waiting. The process's main thread is ended first, so a
  // service main still at work may meet objects of that thread that are gone: a test lets a
  // service it started finish before the machine goes.
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // ---- File system ----
  // Adds a volume under a drive letter ('D', ...), with the given serial and flags.
  void AddVolume(char16_t letter, win::DWORD serial, win::DWORD flags);
  // How deletes by name behave on the volume of `letter` (C: included); Classic unless set.
  void SetDeleteSemantics(char16_t letter, DeleteSemantics semantics);
  // Creates a directory and all its parents (no error if it exists).
  void MakeDirectories(std::u16string_view path);
  // Creates or overwrites a file with the given bytes; parents are created.
  void PutFile(std::u16string_view path, std::string_view content);
  std::optional<std::string> FileContent(std::u16string_view path) const;
  bool Exists(std::u16string_view path) const;
  bool IsDirectory(std::u16string_view path) const;
  win::DWORD LinkCount(std::u16string_view path) const;  // 0 when missing
  // The names in a directory (no "." or ".."), in sorted order; empty when missing.
  std::vector<std::u16string> List(std::u16string_view directory) const;
  // Serves a local directory as \\server\share (the name given without the leading "\\").
  void AddShare(std::u16string_view serverAndShare, std::u16string_view localDirectory);
  // The disk as a power cut leaves it now: every file keeps its names and size, and what was
  // written to it since its last FlushFileBuffers reads back as zeros. A MoveFileExW rename
  // without MOVEFILE_WRITE_THROUGH, unless a later one on its volume was written through, is
  // undone, newest first, where its names are still as it left them: the file gets its old name
  // back, and a file it replaced comes back. Only the disk is affected; processes and device
  // definitions are as they were.
  void PowerCut();
  // Sets the owner and, when given, the list of the file or folder at `path` (itself, not what
  // a junction there leads to) from SDDL text: "O:S-1-5-21-1-2-3-1002" gives it to that user,
  // "D:P(A;;FA;;;SY)" a protected list, "D:(A;OICI;FA;;;BU)" one that what is below inherits.
  // The list is taken as given; the files and folders below that only inherit take what it now
  // gives them. SidText aliases: SY, BA, BU, WD, AU, CO (CREATOR OWNER). Every volume root
  // starts with sim::kVolumeRootSecurity.
  void SetSecurity(std::u16string_view path, std::u16string_view sddl);
  // The owner and the list in force at `path` in SDDL, inherited entries included (rights in hex,
  // entry flags as OI, CI, NP, IO, ID); empty when it is missing.
  std::u16string Security(std::u16string_view path) const;
  // The MS-DOS device definitions of a name such as X: in the global set, the one in force first.
  std::vector<std::u16string> DosDevice(std::u16string_view name) const;

  // ---- Processes ----
  // The current directory of the test's own process (the one tests call win:: from).
  void SetCurrentDirectory(std::u16string_view path);
  void InstallProgram(std::u16string imagePath, Program program);
  // The string table of the test's own process (LoadStringW with its module handle).
  void SetOwnStrings(std::map<win::UINT, std::u16string> strings);
  // The other resources of the test's own process (FindResourceW on its module handle, or on
  // LoadLibraryExW of its own path as a data file).
  void SetOwnResources(Resources resources);
  // Runs an installed program as a process with this command line, on a thread of its own,
  // and returns its exit code once it ends. It starts in the test process's current directory.
  win::DWORD RunProgram(std::u16string_view imagePath, std::u16string_view commandLine);

  // The ANSI code page (1252 unless set; 28591 and 65001 are also known).
  void SetAnsiCodePage(win::UINT codePage);

  // ---- Registry ----
  void SetRegistryValue(win::HKEY root, std::u16string_view key, std::u16string_view name,
                        win::DWORD type, std::vector<std::uint8_t> data);
  // A string value, terminating NUL included in the stored size.
  void SetRegistryString(win::HKEY root, std::u16string_view key, std::u16string_view name,
                         std::u16string_view value, win::DWORD type = win::REG_SZ);
  void SetRegistryDword(win::HKEY root, std::u16string_view key, std::u16string_view name,
                        win::DWORD value);
  void CreateRegistryKey(win::HKEY root, std::u16string_view key);
  // Sets the owner and, when given, the list of an existing key from SDDL text, as SetSecurity
  // does for files ("O:S-1-5-21-1-2-3-1002", "D:P(A;;KA;;;SY)(A;;KR;;;BU)"; rights also KA, KR,
  // KW). Keys below keep what they have. Every root starts with sim::kRegistryRootSecurity, and
  // a key made inherits from its parent.
  void SetKeySecurity(win::HKEY root, std::u16string_view key, std::u16string_view sddl);
  // The owner and list of a key in SDDL, as Security gives a file's; empty when it is missing.
  std::u16string KeySecurity(win::HKEY root, std::u16string_view key) const;
  bool RegistryKeyExists(win::HKEY root, std::u16string_view key) const;
  void DeleteRegistryTree(win::HKEY root, std::u16string_view key);
  std::optional<RegistryData> GetRegistryValue(win::HKEY root, std::u16string_view key,
                                               std::u16string_view name) const;
  // A key and everything below it, one line per key and value in enumeration order (UTF-8):
  //   Sub\Key                   a key, its path relative to `key` ("" for `key` itself)
  //   Sub\Key [Name] = REG_SZ "text"      (also REG_EXPAND_SZ; REG_MULTI_SZ as "a" "b")
  //   Sub\Key [] = REG_DWORD 0x0000002a   ([] is the default value)
  //   Sub\Key [Bin] = REG_BINARY 01 ff    (other types as "type N" and bytes)
  // Empty when the key is missing.
  std::vector<std::string> RegistryTree(win::HKEY root, std::u16string_view key) const;
  // A standard user, when false: HKEY_LOCAL_MACHINE (and so HKEY_CLASSES_ROOT and
  // HKEY_CURRENT_CONFIG) can be read but not changed, as Windows' default ACLs have it.
  void SetAdministrator(bool administrator);

  // ---- Service control manager ----
  // Adds a service record: own process, demand start, normal error control, LocalSystem, program
  // path as given (may be quoted); its registry key is written as CreateServiceW writes it.
  void CreateService(std::u16string name, std::u16string imagePath);
  // The record of a service (also one marked for deletion); none once it is gone.
  std::optional<ServiceConfig> Service(std::u16string_view name) const;
  // Starts the service with a stand-in program that reports SERVICE_RUNNING, accepting stop,
  // and stays so until a stop control arrives (it then reports SERVICE_STOPPED, exit code 0).
  // Returns once it runs: 0, or the code StartService would have read. The machine ends a
  // held service that is still running when it goes.
  win::DWORD HoldServiceRunning(std::u16string_view name);
  // Starts the service with these start arguments and waits until its process has ended.
  ServiceRun StartService(std::u16string_view name, std::vector<std::u16string> args);
  // Sends a control code as ControlService does: refused with its documented error code, or
  // delivered to the service's handler on its dispatcher thread; returns 0 once the handler has
  // returned.
  win::DWORD ControlService(std::u16string_view name, win::DWORD control);
  // Hands a control code to the handler the running service registered, as its dispatcher would
  // but without the manager's checks: Wine delivers a stop to a start-pending service, and a code
  // that ControlService refuses reaches a handler only this way. The handler runs on the calling
  // thread, as the service's process. Before the service has registered one this waits for it,
  // and the registration then returns only after the handler has (or after 200 ms, when the
  // handler waits for the service main), as a dispatcher thread may run it first. False when the
  // service does not run or its process ends without a handler. Call it while the process runs.
  bool CallServiceHandler(std::u16string_view name, win::DWORD control);
  // The triggers of a service's record; none when it has none or is gone.
  std::vector<ServiceTrigger> ServiceTriggers(std::u16string_view name) const;
  // Machine policy is applied (at boot, at every background refresh, at gpupdate): as the service
  // control manager does then, every service whose record has a group policy trigger on
  // MACHINE_POLICY_PRESENT_GUID with the start action, and that is not running, marked for
  // deletion or disabled, is started with the one start argument "TriggerStarted". Returns once
  // each of those starts has ended, with its run by service name.
  std::map<std::u16string, ServiceRun> ApplyMachinePolicy();

  // A deleted record's name stays taken for this long after the record has gone (its last
  // handle closed, its service stopped): OpenServiceW no longer finds it, but CreateServiceW of
  // the name answers ERROR_SERVICE_MARKED_FOR_DELETE, as Windows' manager does for a while.
  void KeepDeletedServiceNamesFor(win::DWORD milliseconds);
  // Every start from now on is answered as Wine's manager answers one it looks at late, on a
  // busy machine: only after the service has already reported stopped. It then answers
  // ERROR_SERVICE_REQUEST_TIMEOUT although the request ran, and the service's status is that
  // last report.
  void AnswerStartsLateAsWine();
  // The service database lock answers as on Windows 7 and later unless this is called: every
  // LockServiceDatabase returns a lock of its own that holds nothing back, and a status query
  // reports the database unlocked (the lock has no effect since Windows Vista). Called, the lock
  // is the one Windows XP and Server 2003 enforce: one holder at a time, starts refused while it
  // is held, and a status query that names the holder.
  void AnswerServiceDatabaseLockAsWindowsXp();
  // The service database lock, as a process other than the programs holds it on a machine that
  // answers as Windows XP did (it switches that on): `owner` is the account name a lock status
  // query reports, held for `seconds` seconds at every query. While held, LockServiceDatabase
  // fails with ERROR_SERVICE_DATABASE_LOCKED.
  void HoldServiceDatabaseLock(std::u16string owner, win::DWORD seconds);
  // Releases the lock, whoever holds it.
  void ReleaseServiceDatabaseLock();
  bool ServiceDatabaseLocked() const;

  // ---- Console ----
  // Where standard output goes for every process from now on: the console window (the default)
  // or a pipe. Standard error always goes to the console.
  void SetStandardOutputIsConsole(bool console);
  // The next `times` WriteConsoleW calls take at most `characters` characters of their text and
  // report that count, as a console may; with 0 a call succeeds and takes nothing. Replaces any
  // limit still in force.
  void LimitConsoleWrites(win::DWORD characters, int times = 1);
  // Every byte written to standard output and to standard error, each in the order written.
  std::string StandardOutput() const;
  std::string StandardError() const;
  // What the console window shows, as UTF-8: what both streams sent to it, in the order it
  // arrived. Bytes written with WriteFile are shown in the console's code page (437, as on an
  // English Windows); WriteConsoleW's characters as they are.
  std::string ConsoleText() const;

  // ---- Event log and message boxes ----
  std::vector<EventRecord> Events() const;
  // Every MessageBoxW call, in order. None blocks: each is answered with its default button.
  std::vector<MessageBoxRecord> MessageBoxes() const;
  // Every SHChangeNotify call, in order.
  std::vector<ShellNotification> ShellNotifications() const;

  // ---- Fault injection ----
  // The next `times` calls of the named win:: function fail with `code`. For Sleep, which
  // cannot fail, an injected failure means the wait is skipped, and the sleeping process's
  // GetTickCount64 (no other's) moves on by the time it asked for.
  void FailNext(std::string_view function, win::DWORD code, int times = 1);
  // Runs `hook` at the start of every call of the named function, before it acts and outside
  // the machine's lock (a hook may call win:: functions, block, or throw).
  void OnCall(std::string_view function, std::function<void()> hook);
  void FailCoInitialize(win::HRESULT result);
  // How many references LoadLibraryExW has handed out and FreeLibrary not yet given back.
  int LoadedModuleReferences() const;
  // Handles and registry keys open right now (files, finds, keys, event sources, service
  // control manager handles).
  std::size_t OpenHandles() const;
  // Of those, the registry keys.
  std::size_t OpenRegistryKeys() const;
  // Of those, the ones a child process would inherit.
  std::size_t InheritableHandles() const;
  // Blocks from LocalAlloc not yet given back with LocalFree.
  std::size_t LocalAllocations() const;

 private:
  std::unique_ptr<MachineState> state_;
};

}  // namespace sim
