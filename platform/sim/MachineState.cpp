#include "platform/sim/MachineState.h"

#include <cstdio>
#include <cstdlib>

namespace sim {
namespace {

MachineState* current = nullptr;
thread_local Process* threadProcess = nullptr;
thread_local win::DWORD lastError = 0;

}  // namespace

void RegisterCurrent(MachineState* state) {
  if (state != nullptr && current != nullptr) {
    std::fputs("sim: only one Machine may be alive at a time\n", stderr);
    std::abort();
  }
  current = state;
}

std::recursive_mutex& Lock() {
  static std::recursive_mutex mutex;
  return mutex;
}

MachineState& State() {
  if (current == nullptr) {
    std::fputs("sim: a win:: call was made with no sim::Machine alive\n", stderr);
    std::abort();
  }
  return *current;
}

Process& CurrentProcess() {
  return threadProcess != nullptr ? *threadProcess : State().testProcess;
}

void SetThreadProcess(Process* process) {
  threadProcess = process;
}

std::optional<win::DWORD> Intercept(std::string_view function) {
  std::vector<std::function<void()>> hooks;
  {
    Guard guard(Lock());
    auto& state = State();
    if (auto it = state.hooks.find(function); it != state.hooks.end()) hooks = it->second;
  }
  for (auto& hook : hooks) hook();

  if (CurrentProcess().ended) {
    lastError = win::ERROR_PROCESS_ABORTED;
    return lastError;
  }
  Guard guard(Lock());
  auto& faults = State().faults;
  auto it = faults.find(function);
  if (it == faults.end()) return std::nullopt;
  const win::DWORD code = it->second.code;
  if (--it->second.times <= 0) faults.erase(it);
  lastError = code;
  return code;
}

win::HANDLE AddHandle(std::shared_ptr<HandleObject> object) {
  Guard guard(Lock());
  auto& state = State();
  const std::uintptr_t id = state.nextHandle;
  state.nextHandle += 4;
  state.handles.emplace(id, std::move(object));
  return reinterpret_cast<win::HANDLE>(id);
}

std::shared_ptr<HandleObject> FindHandle(win::HANDLE handle) {
  Guard guard(Lock());
  auto& handles = State().handles;
  auto it = handles.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == handles.end() ? nullptr : it->second;
}

bool RemoveHandle(win::HANDLE handle) {
  std::shared_ptr<HandleObject> released;
  Guard guard(Lock());
  auto& handles = State().handles;
  auto it = handles.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == handles.end()) return false;
  released = std::move(it->second);
  handles.erase(it);
  return true;
}

std::u16string Upper(std::u16string_view text) {
  std::u16string result(text);
  for (auto& c : result) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return result;
}

bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && Upper(a) == Upper(b);
}

std::u16string ToU16(std::string_view ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

bool CopyOut(std::u16string_view text, win::LPWSTR buffer, std::size_t size) {
  if (buffer == nullptr || text.size() + 1 > size) return false;
  text.copy(buffer, text.size());
  buffer[text.size()] = u'\0';
  return true;
}

}  // namespace sim

namespace win {

void SetLastError(DWORD code) {
  sim::lastError = code;
}
DWORD GetLastError() {
  return sim::lastError;
}

BOOL CloseHandle(HANDLE handle) {
  if (sim::Intercept("CloseHandle")) return FALSE;
  if (!sim::RemoveHandle(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

}  // namespace win
