// Processes and modules: command line, own path, string resources, run-time linking, COM.
#include <cstring>

#include "platform/sim/MachineState.h"
#include "platform/sim/Services.h"

namespace sim {
namespace {

// Module handles the simulation hands out: the program itself and the system modules.
const win::HMODULE programModule = reinterpret_cast<win::HMODULE>(std::uintptr_t{0x400000});
const win::HMODULE kernel32Module = reinterpret_cast<win::HMODULE>(std::uintptr_t{0x7FF10000});
const win::HMODULE ntdllModule = reinterpret_cast<win::HMODULE>(std::uintptr_t{0x7FF20000});

win::HMODULE SystemModule(std::u16string_view name) {
  std::u16string upper = Upper(name);
  if (upper.size() > 4 && upper.substr(upper.size() - 4) == u".DLL") upper.resize(upper.size() - 4);
  if (upper == u"KERNEL32") return kernel32Module;
  if (upper == u"NTDLL") return ntdllModule;
  return nullptr;
}

thread_local int comInitializations = 0;

}  // namespace
}  // namespace sim

namespace win {

LPWSTR GetCommandLineW() {
  sim::Intercept("GetCommandLineW");
  return sim::CurrentProcess().commandLine.data();
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  if (sim::Intercept("GetModuleFileNameW")) return 0;
  sim::Guard guard(sim::Lock());
  if (module != nullptr && module != sim::programModule) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  const std::u16string& path = sim::CurrentProcess().imagePath;
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() >= size) {
    path.copy(buffer, size - 1);
    buffer[size - 1] = u'\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  sim::CopyOut(path, buffer, size);
  return static_cast<DWORD>(path.size());
}

HMODULE GetModuleHandleW(LPCWSTR name) {
  if (sim::Intercept("GetModuleHandleW")) return nullptr;
  if (name == nullptr) return sim::programModule;
  if (HMODULE module = sim::SystemModule(name)) return module;
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

HMODULE LoadLibraryW(LPCWSTR name) {
  if (sim::Intercept("LoadLibraryW")) return nullptr;
  sim::Guard guard(sim::Lock());
  HMODULE module = name != nullptr ? sim::SystemModule(name) : nullptr;
  if (module == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  ++sim::State().moduleReferences;
  return module;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  if (sim::Intercept("GetProcAddress")) return nullptr;
  if (module == sim::kernel32Module && name != nullptr &&
      std::strcmp(name, "CreateHardLinkW") == 0) {
    // Through the generic function pointer type, as GetProcAddress's callers cast back.
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&win::CreateHardLinkW));
  }
  SetLastError(module == sim::kernel32Module || module == sim::ntdllModule ||
                       module == sim::programModule
                   ? ERROR_PROC_NOT_FOUND
                   : ERROR_MOD_NOT_FOUND);
  return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
  if (sim::Intercept("FreeLibrary")) return FALSE;
  sim::Guard guard(sim::Lock());
  if (module != sim::kernel32Module && module != sim::ntdllModule) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  if (module == sim::kernel32Module && sim::State().moduleReferences > 0) {
    --sim::State().moduleReferences;
  }
  return TRUE;
}

int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int size) {
  if (sim::Intercept("LoadStringW")) return 0;
  sim::Guard guard(sim::Lock());
  if (instance != sim::programModule || buffer == nullptr || size <= 0) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return 0;
  }
  const auto& strings = sim::CurrentProcess().strings;
  auto it = strings.find(id);
  if (it == strings.end() || it->second.empty()) {
    buffer[0] = u'\0';
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return 0;
  }
  const std::size_t copied =
      std::min<std::size_t>(it->second.size(), static_cast<std::size_t>(size) - 1);
  it->second.copy(buffer, copied);
  buffer[copied] = u'\0';
  return static_cast<int>(copied);
}

void ExitProcess(UINT exitCode) {
  sim::Intercept("ExitProcess");
  sim::Process& process = sim::CurrentProcess();
  process.ended = true;
  if (const auto session = process.session) {
    std::lock_guard lock(session->mutex);
    session->exitingWith = exitCode;
    session->changed.notify_all();
  }
  throw sim::ProcessExit{exitCode};
}

HRESULT CoInitialize(LPVOID) {
  if (auto code = sim::Intercept("CoInitialize")) return static_cast<HRESULT>(*code);
  {
    sim::Guard guard(sim::Lock());
    if (auto failure = sim::State().coInitializeFailure) return *failure;
  }
  return sim::comInitializations++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
  sim::Intercept("CoUninitialize");
  if (sim::comInitializations > 0) --sim::comInitializations;
}

}  // namespace win
