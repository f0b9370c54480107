#include "platform/sim/Machine.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/sim/FileSystem.h"
#include "platform/sim/MachineState.h"
#include "platform/sim/Registry.h"
#include "platform/sim/Services.h"

namespace sim {

MachineState::MachineState()
    : files(std::make_unique<FileSystem>()),
      registry(std::make_unique<Registry>()),
      services(std::make_unique<ServiceManager>()) {
  testProcess.imagePath = u"C:\\tests\\corvane_tests.exe";
  testProcess.commandLine = u"\"C:\\tests\\corvane_tests.exe\"";
}

MachineState::~MachineState() = default;

Machine::Machine() : state_(std::make_unique<MachineState>()) {
  RegisterCurrent(state_.get());
}

Machine::~Machine() {
  // A service still running is ended as its process would be at shutdown; a run that goes on in
  // the background needs the machine lock to finish, so it is joined without it.
  std::vector<std::thread> held;
  {
    Guard guard(Lock());
    for (auto& [key, record] : state_->services->records) {
      if (!record.running) continue;
      std::lock_guard lock(record.running->mutex);
      if (!record.running->exitingWith) record.running->exitingWith = 0;
      record.running->changed.notify_all();
    }
    held.swap(state_->services->backgroundRuns);
  }
  for (auto& run : held) run.join();
  Guard guard(Lock());
  state_->handles.clear();
  RegisterCurrent(nullptr);
}

// ---- Processes ----

void Machine::InstallProgram(std::u16string imagePath, Program program) {
  Guard guard(Lock());
  state_->programs[Upper(imagePath)] = std::move(program);
}

void Machine::SetOwnStrings(std::map<win::UINT, std::u16string> strings) {
  Guard guard(Lock());
  state_->testProcess.strings = std::move(strings);
}

void Machine::SetOwnResources(Resources resources) {
  Guard guard(Lock());
  state_->testProcess.resources = std::move(resources);
}

namespace {

// Runs a program's entry on a thread of its own, as the main thread of `process`.
win::DWORD RunAsProcess(const Program& program, Process& process) {
  win::DWORD exitCode = 0;
  std::thread mainThread([&] {
    SetThreadProcess(&process);
    try {
      exitCode = program.main();
    } catch (const ProcessExit& exit) {
      exitCode = exit.code;
    }
  });
  mainThread.join();
  return exitCode;
}

// What the machine does when a process has ended: whatever its threads still call fails, its
// handles are closed, and the service manager releases the database lock if the process held it.
void EndProcess(MachineState& state, Process& process) {
  process.ended = true;
  RemoveHandlesOf(process);
  Guard guard(Lock());
  ReleaseLockOf(state, process);
}

std::optional<Program> FindProgram(MachineState& state, std::u16string_view imagePath) {
  Guard guard(Lock());
  auto it = state.programs.find(Upper(imagePath));
  if (it == state.programs.end()) return std::nullopt;
  return it->second;
}

}  // namespace

win::DWORD Machine::RunProgram(std::u16string_view imagePath, std::u16string_view commandLine) {
  auto program = FindProgram(*state_, imagePath);
  if (!program) return win::ERROR_FILE_NOT_FOUND;
  Process process;
  process.imagePath = std::u16string(imagePath);
  process.commandLine = std::u16string(commandLine);
  {
    // Started without a directory of its own, a process starts in its starter's.
    Guard guard(Lock());
    process.currentDirectory = state_->testProcess.currentDirectory;
  }
  process.strings = program->strings;
  process.resources = program->resources;
  const win::DWORD exitCode = RunAsProcess(*program, process);
  EndProcess(*state_, process);
  return exitCode;
}

void Machine::SetAnsiCodePage(win::UINT codePage) {
  Guard guard(Lock());
  state_->ansiCodePage = codePage;
}

// ---- Registry ----

void Machine::SetRegistryValue(win::HKEY root, std::u16string_view key, std::u16string_view name,
                               win::DWORD type, std::vector<std::uint8_t> data) {
  Guard guard(Lock());
  bool created = false;
  auto target = Registry::Create(state_->registry->Root(root), key, created);
  RegistryValue value;
  value.name = std::u16string(name);
  value.type = type;
  value.data = std::move(data);
  Registry::PutValue(*target, std::move(value));
}

void Machine::SetRegistryString(win::HKEY root, std::u16string_view key, std::u16string_view name,
                                std::u16string_view value, win::DWORD type) {
  std::vector<std::uint8_t> data;
  for (char16_t c : value) {
    data.push_back(static_cast<std::uint8_t>(c & 0xFF));
    data.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  SetRegistryValue(root, key, name, type, std::move(data));
}

void Machine::SetRegistryDword(win::HKEY root, std::u16string_view key, std::u16string_view name,
                               win::DWORD value) {
  std::vector<std::uint8_t> data;
  for (int shift = 0; shift < 32; shift += 8)
    data.push_back(static_cast<std::uint8_t>(value >> shift));
  SetRegistryValue(root, key, name, win::REG_DWORD, std::move(data));
}

void Machine::CreateRegistryKey(win::HKEY root, std::u16string_view key) {
  Guard guard(Lock());
  bool created = false;
  Registry::Create(state_->registry->Root(root), key, created);
}

void Machine::SetKeySecurity(win::HKEY root, std::u16string_view key, std::u16string_view sddl) {
  Guard guard(Lock());
  auto found = Registry::Find(state_->registry->Root(root), key);
  bool hasOwner = false;
  bool hasDacl = false;
  if (!found || !ParseSddl(sddl, found->security, hasOwner, hasDacl)) std::abort();
}

std::u16string Machine::KeySecurity(win::HKEY root, std::u16string_view key) const {
  Guard guard(Lock());
  auto found = Registry::Find(state_->registry->Root(root), key);
  return found ? SddlText(found->security) : std::u16string();
}

bool Machine::RegistryKeyExists(win::HKEY root, std::u16string_view key) const {
  Guard guard(Lock());
  return Registry::Find(state_->registry->Root(root), key) != nullptr;
}

void Machine::DeleteRegistryTree(win::HKEY root, std::u16string_view key) {
  Guard guard(Lock());
  Registry::DeleteTree(Registry::Find(state_->registry->Root(root), key));
}

std::optional<RegistryData> Machine::GetRegistryValue(win::HKEY root, std::u16string_view key,
                                                      std::u16string_view name) const {
  Guard guard(Lock());
  auto found = Registry::Find(state_->registry->Root(root), key);
  if (!found) return std::nullopt;
  auto it = found->values.find(Upper(name));
  if (it == found->values.end()) return std::nullopt;
  return RegistryData{it->second.type, it->second.data};
}

namespace {

std::string Utf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | c >> 6));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | c >> 12));
      out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | c >> 18));
      out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (auto b : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

// The UTF-16 strings of a string value; an odd trailing byte or a missing NUL is shown as is.
std::vector<std::u16string> Strings(const std::vector<std::uint8_t>& data, bool multi) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2)
    text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  if (!multi) return {text.substr(0, text.find(u'\0'))};
  std::vector<std::u16string> parts;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find(u'\0', start);
    if (end == start) break;  // the empty string that ends the list
    parts.push_back(text.substr(start, end - start));
    if (end == std::u16string::npos) break;
    start = end + 1;
  }
  return parts;
}

std::string Describe(const sim::RegistryValue& value) {
  std::string line = "[" + Utf8(value.name) + "] = ";
  switch (value.type) {
    case win::REG_SZ:
    case win::REG_EXPAND_SZ:
      line += value.type == win::REG_SZ ? "REG_SZ" : "REG_EXPAND_SZ";
      line += " \"" + Utf8(Strings(value.data, false).front()) + "\"";
      return line;
    case win::REG_MULTI_SZ:
      line += "REG_MULTI_SZ";
      for (const auto& part : Strings(value.data, true)) line += " \"" + Utf8(part) + "\"";
      return line;
    case win::REG_DWORD:
      if (value.data.size() == 4) {
        char buffer[16];
        const std::uint32_t number = value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                                     static_cast<std::uint32_t>(value.data[3]) << 24;
        std::snprintf(buffer, sizeof buffer, "0x%08x", number);
        return line + "REG_DWORD " + buffer;
      }
      return line + "REG_DWORD " + Hex(value.data);
    case win::REG_BINARY:
      return line + "REG_BINARY " + Hex(value.data);
    default:
      return line + "type " + std::to_string(value.type) + " " + Hex(value.data);
  }
}

void Walk(const RegistryKey& key, const std::string& path, std::vector<std::string>& lines) {
  lines.push_back(path);
  for (const auto& [upper, value] : key.values) {
    lines.push_back(path + (path.empty() ? "" : " ") + Describe(value));
  }
  for (const auto& [upper, child] : key.subkeys) {
    Walk(*child, path.empty() ? Utf8(child->name) : path + "\\" + Utf8(child->name), lines);
  }
}

}  // namespace

std::vector<std::string> Machine::RegistryTree(win::HKEY root, std::u16string_view key) const {
  Guard guard(Lock());
  std::vector<std::string> lines;
  if (auto found = Registry::Find(state_->registry->Root(root), key)) Walk(*found, "", lines);
  return lines;
}

void Machine::SetAdministrator(bool administrator) {
  Guard guard(Lock());
  state_->registry->administrator = administrator;
}

// ---- Service control manager ----

void Machine::CreateService(std::u16string name, std::u16string imagePath) {
  Guard guard(Lock());
  ServiceRecord record;
  record.name = name;
  record.displayName = name;
  record.imagePath = imagePath;
  WriteServiceKey(*state_, record);
  // A record replaced under open handles or a run keeps them.
  auto& slot = state_->services->records[Upper(name)];
  record.running = slot.running;
  record.openHandles = slot.openHandles;
  slot = std::move(record);
}

std::optional<ServiceConfig> Machine::Service(std::u16string_view name) const {
  Guard guard(Lock());
  auto it = state_->services->records.find(Upper(name));
  if (it == state_->services->records.end()) return std::nullopt;
  return static_cast<const ServiceConfig&>(it->second);
}

namespace {

// Claims a record for one start: 0 with the new session and the record's command line, or what
// a starter would read instead.
win::DWORD ClaimStart(MachineState& state, std::u16string_view name,
                      std::vector<std::u16string> args, std::shared_ptr<ServiceSession>& session,
                      std::u16string& imagePath) {
  Guard guard(Lock());
  auto it = state.services->records.find(Upper(name));
  if (it == state.services->records.end()) return win::ERROR_SERVICE_DOES_NOT_EXIST;
  if (it->second.markedForDeletion) return win::ERROR_SERVICE_MARKED_FOR_DELETE;
  if (it->second.running) return win::ERROR_SERVICE_ALREADY_RUNNING;
  session = std::make_shared<ServiceSession>();
  session->serviceName = it->second.name;
  session->arguments = std::move(args);
  it->second.running = session;
  imagePath = it->second.imagePath;
  return 0;
}

// The record no longer runs; a record marked for deletion may go now.
void EndRun(MachineState& state, const std::u16string& key, std::optional<win::DWORD> exitCode) {
  Guard guard(Lock());
  auto it = state.services->records.find(key);
  if (it == state.services->records.end()) return;
  it->second.running.reset();
  if (exitCode) it->second.lastExitCode = *exitCode;
  RemoveIfDeleted(state, key);
}

// Runs a claimed start to its end: the program the record's command line names, or `program`.
ServiceRun RunClaimed(MachineState& state, const std::u16string& key,
                      const std::u16string& imagePath,
                      const std::shared_ptr<ServiceSession>& session,
                      std::optional<Program> program) {
  ServiceRun run;
  std::u16string programPath;
  {
    Guard guard(Lock());
    programPath = ProgramPathOf(state, imagePath);
  }
  if (!program) program = FindProgram(state, programPath);
  if (!program) {
    {
      std::lock_guard lock(session->mutex);
      session->processEnded = true;
      session->changed.notify_all();
    }
    EndRun(state, key, std::nullopt);
    run.exitCode = win::ERROR_FILE_NOT_FOUND;
    return run;
  }

  Process process;
  process.imagePath = programPath;
  process.commandLine = imagePath;
  process.strings = program->strings;
  process.resources = program->resources;
  process.session = session;
  run.processExitCode = RunAsProcess(*program, process);
  run.redirectionTrust = process.redirectionTrust;
  process.ended = true;
  if (session->serviceThread.joinable()) session->serviceThread.join();
  EndProcess(state, process);

  // The record learns the exit code as the process ends, so that no status query in between
  // reads the one before.
  Guard guard(Lock());
  {
    std::lock_guard lock(session->mutex);
    session->processEnded = true;
    for (auto& control : session->controls) control->done = true;
    session->controls.clear();
    session->changed.notify_all();
    run.reports = session->reports;
    run.hung = session->hung;
    run.serviceArguments = session->argumentStrings;
    // What a starter reads: the exit code of the stopped report, or, when the process ended
    // without one, that it ended unexpectedly.
    run.exitCode =
        session->stopped ? session->reports.back().dwWin32ExitCode : win::ERROR_PROCESS_ABORTED;
  }
  EndRun(state, key, run.exitCode);
  return run;
}

// The stand-in of HoldServiceRunning. It works on its session directly: the handler and the
// service main have no context argument to find a status handle with.
void HeldServiceHandler(win::DWORD control) {
  if (control != win::SERVICE_CONTROL_STOP) return;
  auto session = CurrentProcess().session;
  std::lock_guard lock(session->mutex);
  session->reports.push_back(
      win::SERVICE_STATUS{win::SERVICE_WIN32_OWN_PROCESS, win::SERVICE_STOPPED, 0, 0, 0, 0, 0});
  session->stopped = true;
  session->changed.notify_all();
}

void HeldServiceMain(win::DWORD, win::LPWSTR*) {
  auto session = CurrentProcess().session;
  std::unique_lock lock(session->mutex);
  session->handler = &HeldServiceHandler;
  session->reports.push_back(win::SERVICE_STATUS{
      win::SERVICE_WIN32_OWN_PROCESS, win::SERVICE_RUNNING, win::SERVICE_ACCEPT_STOP, 0, 0, 0, 0});
  session->changed.notify_all();
  session->changed.wait(lock, [&] { return session->stopped || session->exitingWith; });
}

Program HeldServiceProgram() {
  return Program{
      [] {
        static char16_t name[] = u"Held";
        const win::SERVICE_TABLE_ENTRYW table[] = {{name, &HeldServiceMain}, {nullptr, nullptr}};
        return win::StartServiceCtrlDispatcherW(table) ? 0u : win::GetLastError();
      },
      {}};
}

}  // namespace

ServiceRun Machine::StartService(std::u16string_view name, std::vector<std::u16string> args) {
  std::shared_ptr<ServiceSession> session;
  std::u16string imagePath;
  if (const win::DWORD refused = ClaimStart(*state_, name, std::move(args), session, imagePath)) {
    ServiceRun run;
    run.exitCode = refused;
    return run;
  }
  return RunClaimed(*state_, Upper(name), imagePath, session, std::nullopt);
}

win::DWORD Machine::HoldServiceRunning(std::u16string_view name) {
  std::shared_ptr<ServiceSession> session;
  std::u16string imagePath;
  if (const win::DWORD refused = ClaimStart(*state_, name, {}, session, imagePath)) return refused;
  {
    Guard guard(Lock());
    state_->services->backgroundRuns.emplace_back(
        [state = state_.get(), key = Upper(name), imagePath, session] {
          RunClaimed(*state, key, imagePath, session, HeldServiceProgram());
        });
  }
  std::unique_lock lock(session->mutex);
  session->changed.wait(lock, [&] { return !session->reports.empty() || session->processEnded; });
  return session->reports.empty() ? win::ERROR_PROCESS_ABORTED : 0;
}

win::DWORD LaunchService(MachineState& state, const std::u16string& key,
                         std::vector<std::u16string> args) {
  std::shared_ptr<ServiceSession> session;
  {
    Guard guard(Lock());
    std::u16string imagePath;
    if (const win::DWORD refused = ClaimStart(state, key, std::move(args), session, imagePath)) {
      return refused;
    }
    auto program = FindProgram(state, ProgramPathOf(state, imagePath));
    if (!program) {
      // No process could be created: the start failed before anything ran.
      EndRun(state, key, std::nullopt);
      return win::ERROR_FILE_NOT_FOUND;
    }
    state.services->backgroundRuns.emplace_back(
        [&state, key, imagePath, session, program = std::move(*program)] {
          RunClaimed(state, key, imagePath, session, program);
        });
  }
  // Windows gives up after a while when the process never connects; here the process's end is
  // known at once.
  bool late = false;
  {
    Guard guard(Lock());
    late = state.services->startsAnsweredLate;
  }
  std::unique_lock lock(session->mutex);
  session->changed.wait(lock, [&] { return session->dispatcherStarted || session->processEnded; });
  if (late) session->changed.wait(lock, [&] { return session->stopped || session->processEnded; });
  return session->dispatcherStarted && !late ? 0 : win::ERROR_SERVICE_REQUEST_TIMEOUT;
}

void Machine::AnswerStartsLateAsWine() {
  Guard guard(Lock());
  state_->services->startsAnsweredLate = true;
}

win::DWORD Machine::ControlService(std::u16string_view name, win::DWORD control) {
  std::shared_ptr<ServiceSession> session;
  {
    Guard guard(Lock());
    auto it = state_->services->records.find(Upper(name));
    if (it == state_->services->records.end()) return win::ERROR_SERVICE_DOES_NOT_EXIST;
    session = it->second.running;
  }
  return DeliverControl(session, control);
}

bool Machine::CallServiceHandler(std::u16string_view name, win::DWORD control) {
  std::shared_ptr<ServiceSession> session;
  {
    Guard guard(Lock());
    auto it = state_->services->records.find(Upper(name));
    if (it == state_->services->records.end()) return false;
    session = it->second.running;
  }
  if (!session) return false;
  win::LPHANDLER_FUNCTION handler = nullptr;
  Process* process = nullptr;
  {
    std::unique_lock lock(session->mutex);
    ++session->handlerCalls;
    session->changed.wait(lock, [&] {
      return session->handler != nullptr || session->processEnded || session->exitingWith;
    });
    handler = session->handler;
    process = session->process;
  }
  // Whatever the handler does, the caller's thread is its own again afterwards, and the
  // registration stops waiting for this call.
  struct CallEnd {
    ServiceSession& session;
    Process& caller;
    ~CallEnd() {
      SetThreadProcess(&caller);
      std::lock_guard lock(session.mutex);
      --session.handlerCalls;
      session.changed.notify_all();
    }
  } end{*session, CurrentProcess()};
  if (handler == nullptr) return false;
  SetThreadProcess(process);
  handler(control);
  return true;
}

std::vector<ServiceTrigger> Machine::ServiceTriggers(std::u16string_view name) const {
  Guard guard(Lock());
  auto it = state_->services->records.find(Upper(name));
  if (it == state_->services->records.end()) return {};
  return it->second.triggers;
}

std::map<std::u16string, ServiceRun> Machine::ApplyMachinePolicy() {
  std::vector<std::u16string> triggered;
  {
    Guard guard(Lock());
    for (const auto& [key, record] : state_->services->records) {
      if (record.running || record.markedForDeletion || record.startType == win::SERVICE_DISABLED) {
        continue;
      }
      for (const auto& trigger : record.triggers) {
        if (trigger.type == win::SERVICE_TRIGGER_TYPE_GROUP_POLICY &&
            trigger.subtype == win::MACHINE_POLICY_PRESENT_GUID &&
            trigger.action == win::SERVICE_TRIGGER_ACTION_SERVICE_START) {
          triggered.push_back(record.name);
          break;
        }
      }
    }
  }
  std::map<std::u16string, ServiceRun> runs;
  for (const auto& name : triggered) {
    runs[name] = StartService(name, {win::SERVICE_TRIGGER_STARTED_ARGUMENT});
  }
  return runs;
}

void Machine::KeepDeletedServiceNamesFor(win::DWORD milliseconds) {
  Guard guard(Lock());
  state_->services->deletedNameLinger = std::chrono::milliseconds(milliseconds);
}

void Machine::AnswerServiceDatabaseLockAsWindowsXp() {
  Guard guard(Lock());
  state_->services->lockAsWindowsXp = true;
}

void Machine::HoldServiceDatabaseLock(std::u16string owner, win::DWORD seconds) {
  Guard guard(Lock());
  state_->services->lockAsWindowsXp = true;
  DatabaseLock lock;
  lock.owner = std::move(owner);
  lock.since = std::chrono::steady_clock::now();
  lock.heldFor = seconds;
  state_->services->lock = std::move(lock);
}

void Machine::ReleaseServiceDatabaseLock() {
  Guard guard(Lock());
  state_->services->lock.reset();
}

bool Machine::ServiceDatabaseLocked() const {
  Guard guard(Lock());
  return state_->services->lock.has_value();
}

// ---- Console ----

void Machine::SetStandardOutputIsConsole(bool console) {
  Guard guard(Lock());
  state_->standardOutputIsConsole = console;
}

void Machine::LimitConsoleWrites(win::DWORD characters, int times) {
  Guard guard(Lock());
  state_->consoleWriteLimit = characters;
  state_->consoleWritesLimited = times;
}

std::string Machine::StandardOutput() const {
  Guard guard(Lock());
  return state_->standardOutput;
}

std::string Machine::StandardError() const {
  Guard guard(Lock());
  return state_->standardError;
}

std::string Machine::ConsoleText() const {
  Guard guard(Lock());
  return state_->consoleText;
}

// ---- Event log ----

std::vector<EventRecord> Machine::Events() const {
  Guard guard(Lock());
  return state_->events;
}

std::vector<MessageBoxRecord> Machine::MessageBoxes() const {
  Guard guard(Lock());
  return state_->messageBoxes;
}

std::vector<ShellNotification> Machine::ShellNotifications() const {
  Guard guard(Lock());
  return state_->shellNotifications;
}

// ---- Fault injection ----

void Machine::FailNext(std::string_view function, win::DWORD code, int times) {
  Guard guard(Lock());
  state_->faults[std::string(function)] = Fault{code, times};
}

void Machine::OnCall(std::string_view function, std::function<void()> hook) {
  Guard guard(Lock());
  state_->hooks[std::string(function)].push_back(std::move(hook));
}

void Machine::FailCoInitialize(win::HRESULT result) {
  Guard guard(Lock());
  state_->coInitializeFailure = result;
}

int Machine::LoadedModuleReferences() const {
  Guard guard(Lock());
  int total = 0;
  for (const auto& [module, count] : state_->moduleReferences) total += count;
  return total;
}

std::size_t Machine::OpenHandles() const {
  Guard guard(Lock());
  return state_->handles.size() + state_->services->handles.size();
}

std::size_t Machine::OpenRegistryKeys() const {
  Guard guard(Lock());
  std::size_t count = 0;
  for (const auto& [id, object] : state_->handles) {
    count += dynamic_cast<const OpenKey*>(object.get()) != nullptr ? 1 : 0;
  }
  return count;
}

std::size_t Machine::LocalAllocations() const {
  Guard guard(Lock());
  return state_->localBlocks.size();
}

std::size_t Machine::InheritableHandles() const {
  Guard guard(Lock());
  std::size_t count = 0;
  for (const auto& [id, object] : state_->handles) count += object->inheritable ? 1 : 0;
  return count;
}

}  // namespace sim
