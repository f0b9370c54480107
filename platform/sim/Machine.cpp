#include "platform/sim/Machine.h"

#include <chrono>
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
  process.strings = program->strings;
  const win::DWORD exitCode = RunAsProcess(*program, process);
  process.ended = true;
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
  target->values[Upper(name)] = std::move(value);
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

bool Machine::RegistryKeyExists(win::HKEY root, std::u16string_view key) const {
  Guard guard(Lock());
  return Registry::Find(state_->registry->Root(root), key) != nullptr;
}

namespace {

void DumpKey(const RegistryKey& key, const std::string& path, std::string& out) {
  for (const auto& [name, value] : key.values) {
    out += path + "|" + std::to_string(value.type) + ":";
    for (std::uint8_t byte : value.data) out += std::to_string(byte) + ",";
    out += "\n";
  }
  for (const auto& [name, subkey] : key.subkeys) {
    std::string child = path + "\\";
    for (char16_t c : subkey->name) child += std::to_string(c) + ".";
    out += child + "\n";
    DumpKey(*subkey, child, out);
  }
}

}  // namespace

std::string Machine::RegistryDump(win::HKEY root) const {
  Guard guard(Lock());
  std::string out;
  if (auto key = state_->registry->Root(root)) DumpKey(*key, "", out);
  return out;
}

void Machine::DeleteRegistryTree(win::HKEY root, std::u16string_view key) {
  Guard guard(Lock());
  auto victim = Registry::Find(state_->registry->Root(root), key);
  if (!victim || victim->parent == nullptr) return;
  victim->deleted = true;
  victim->parent->subkeys.erase(Upper(victim->name));
}

// ---- Service control manager ----

void Machine::CreateService(std::u16string name, std::u16string imagePath) {
  Guard guard(Lock());
  ServiceRecord record;
  record.name = name;
  record.imagePath = imagePath;
  state_->services->records[Upper(name)] = std::move(record);
  // The record is also visible where Windows keeps it.
  const std::u16string key = u"System\\CurrentControlSet\\Services\\" + name;
  bool created = false;
  Registry::Create(state_->registry->Root(win::HKEY_LOCAL_MACHINE), key, created);
}

ServiceRun Machine::StartService(std::u16string_view name, std::vector<std::u16string> args) {
  ServiceRun run;
  std::shared_ptr<ServiceSession> session;
  std::u16string imagePath;
  {
    Guard guard(Lock());
    auto it = state_->services->records.find(Upper(name));
    if (it == state_->services->records.end()) {
      run.exitCode = win::ERROR_SERVICE_DOES_NOT_EXIST;
      return run;
    }
    if (it->second.running) {
      run.exitCode = win::ERROR_SERVICE_ALREADY_RUNNING;
      return run;
    }
    session = std::make_shared<ServiceSession>();
    session->serviceName = it->second.name;
    session->arguments = std::move(args);
    it->second.running = session;
    imagePath = it->second.imagePath;
  }
  const std::u16string programPath = ProgramPathOf(imagePath);
  auto program = FindProgram(*state_, programPath);
  if (!program) {
    Guard guard(Lock());
    state_->services->records[Upper(name)].running.reset();
    run.exitCode = win::ERROR_FILE_NOT_FOUND;
    return run;
  }

  Process process;
  process.imagePath = programPath;
  process.commandLine = imagePath;
  process.strings = program->strings;
  process.session = session;
  run.processExitCode = RunAsProcess(*program, process);
  process.ended = true;
  if (session->serviceThread.joinable()) session->serviceThread.join();

  {
    std::lock_guard lock(session->mutex);
    session->processEnded = true;
    for (auto& control : session->controls) control->done = true;
    session->controls.clear();
    session->changed.notify_all();
    run.reports = session->reports;
    run.hung = session->hung;
    // What a starter reads: the exit code of the stopped report, or, when the process ended
    // without one, that it ended unexpectedly.
    run.exitCode =
        session->stopped ? session->reports.back().dwWin32ExitCode : win::ERROR_PROCESS_ABORTED;
  }
  Guard guard(Lock());
  state_->services->records[Upper(name)].running.reset();
  return run;
}

win::DWORD Machine::ControlService(std::u16string_view name, win::DWORD control) {
  std::shared_ptr<ServiceSession> session;
  {
    Guard guard(Lock());
    auto it = state_->services->records.find(Upper(name));
    if (it == state_->services->records.end()) return win::ERROR_SERVICE_DOES_NOT_EXIST;
    session = it->second.running;
  }
  if (!session) {
    // Not started: the code is checked first, as for a running service.
    ServiceSession stopped;
    stopped.processEnded = true;
    return ControlRefusal(stopped, control);
  }
  std::unique_lock lock(session->mutex);
  if (const win::DWORD refusal = ControlRefusal(*session, control)) return refusal;
  auto pending = std::make_shared<PendingControl>();
  pending->code = control;
  session->controls.push_back(pending);
  session->changed.notify_all();
  session->changed.wait(lock, [&] { return pending->done; });
  return pending->handled ? 0 : win::ERROR_SERVICE_NOT_ACTIVE;
}

// ---- Event log ----

std::vector<EventRecord> Machine::Events() const {
  Guard guard(Lock());
  return state_->events;
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
  return state_->moduleReferences;
}

std::size_t Machine::OpenHandles() const {
  Guard guard(Lock());
  return state_->handles.size();
}

std::size_t Machine::InheritableHandles() const {
  Guard guard(Lock());
  std::size_t count = 0;
  for (const auto& [id, object] : state_->handles) count += object->inheritable ? 1 : 0;
  return count;
}

}  // namespace sim
