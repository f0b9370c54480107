#include "platform/sim/MachineState.h"

#include <cstdio>
#include <cstdlib>
#include <tuple>

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
  object->process = &CurrentProcess();
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

void RemoveHandlesOf(const Process& process) {
  std::vector<std::shared_ptr<HandleObject>> released;  // closed once the lock is let go
  Guard guard(Lock());
  auto& handles = State().handles;
  for (auto it = handles.begin(); it != handles.end();) {
    if (it->second->process == &process) {
      released.push_back(std::move(it->second));
      it = handles.erase(it);
    } else {
      ++it;
    }
  }
}

char16_t UpperChar(char16_t c) {
  // Pairs laid out upper then lower, each upper at an even (or odd) code point.
  auto pair = [c](char16_t first, char16_t last, bool upperEven) -> char16_t {
    if (c < first || c > last) return 0;
    const bool even = (c & 1) == 0;
    return even == upperEven ? c : static_cast<char16_t>(c - 1);
  };
  if (c < 0x80) return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c;
  // Latin-1 Supplement: U+00B5 and U+00DF have no uppercase in the file system's table.
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  // Latin Extended-A; U+0131 (dotless i) and U+017F (long s) stay as they are.
  if (c == 0x131 || c == 0x17F) return c;
  for (auto [first, last, upperEven] : {std::tuple{char16_t{0x100}, char16_t{0x137}, true},
                                        std::tuple{char16_t{0x139}, char16_t{0x148}, false},
                                        std::tuple{char16_t{0x14A}, char16_t{0x177}, true},
                                        std::tuple{char16_t{0x179}, char16_t{0x17E}, false}}) {
    if (char16_t upper = pair(first, last, upperEven)) return upper;
  }
  // Greek; the final sigma U+03C2 stays as it is.
  if (c == 0x3AC) return 0x386;
  if (c >= 0x3AD && c <= 0x3AF) return static_cast<char16_t>(c - 0x25);
  if ((c >= 0x3B1 && c <= 0x3C1) || (c >= 0x3C3 && c <= 0x3CB)) {
    return static_cast<char16_t>(c - 0x20);
  }
  if (c == 0x3CC) return 0x38C;
  if (c == 0x3CD || c == 0x3CE) return static_cast<char16_t>(c - 0x3F);
  // Cyrillic.
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  for (auto [first, last, upperEven] : {std::tuple{char16_t{0x460}, char16_t{0x481}, true},
                                        std::tuple{char16_t{0x48A}, char16_t{0x4BF}, true},
                                        std::tuple{char16_t{0x4C1}, char16_t{0x4CE}, false},
                                        std::tuple{char16_t{0x4D0}, char16_t{0x52F}, true}}) {
    if (char16_t upper = pair(first, last, upperEven)) return upper;
  }
  return c;
}

std::u16string Upper(std::u16string_view text) {
  std::u16string result(text);
  for (auto& c : result) c = UpperChar(c);
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
