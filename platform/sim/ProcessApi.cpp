// Processes and modules: command line, own path, resources, images loaded as data, COM.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/sim/FileSystem.h"
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

bool IsSystemModule(win::HMODULE module) {
  return module == kernel32Module || module == ntdllModule;
}

std::uintptr_t Id(win::HMODULE module) {
  return reinterpret_cast<std::uintptr_t>(module);
}

// A resource name or type as the resource functions take it: an integer id in a pointer with
// the high bits zero, "#123" for the same id, or a name, compared upper-cased.
std::u16string ResourceText(win::LPCWSTR text) {
  const auto value = reinterpret_cast<std::uintptr_t>(text);
  if (value <= 0xFFFF) return u"#" + ToU16(std::to_string(value));
  return Upper(text);
}

// The resources of a module: the running program's own, or those of an image mapped as data.
const Resources* ModuleResources(win::HMODULE module) {
  if (module == nullptr || module == programModule) return &CurrentProcess().resources;
  auto& data = State().dataModules;
  auto it = data.find(Id(module));
  return it == data.end() ? nullptr : &it->second;
}

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

HMODULE LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
  if (sim::Intercept("LoadLibraryExW")) return nullptr;
  sim::Guard guard(sim::Lock());
  if (name == nullptr || file != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // The programs load images only to read their resources; any other load is not simulated and
  // answers ERROR_NOT_SUPPORTED, so that a use of one shows.
  if (flags != LOAD_LIBRARY_AS_DATAFILE) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  auto& state = sim::State();
  // A module already loaded is handed out again with one more reference, as the loader does.
  if (sim::EqualsIgnoreCase(name, sim::CurrentProcess().imagePath)) {
    ++state.moduleReferences[sim::Id(sim::programModule)];
    return sim::programModule;
  }
  if (HMODULE module = sim::SystemModule(name)) {
    ++state.moduleReferences[sim::Id(module)];
    return module;
  }
  auto program = state.programs.find(sim::Upper(name));
  if (program == state.programs.end()) {
    // An installed program is an image; any other file that exists is not.
    sim::Location at;
    const DWORD error =
        state.files->Resolve(name, sim::CurrentProcess().currentDirectory, true, at);
    SetLastError(error != ERROR_SUCCESS ? error
                 : at.node              ? ERROR_BAD_EXE_FORMAT
                                        : ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  // Mapped as data: a handle of its own each time, with the low bit set as Windows marks one.
  const std::uintptr_t id = state.nextDataModule;
  state.nextDataModule += 0x10000;
  state.dataModules[id] = program->second.resources;
  state.moduleReferences[id] = 1;
  return reinterpret_cast<HMODULE>(id);
}

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
  if (sim::Intercept("FindResourceW")) return nullptr;
  sim::Guard guard(sim::Lock());
  if (name == nullptr || type == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const sim::Resources* resources = sim::ModuleResources(module);
  if (resources == nullptr) {
    // The system modules carry no resource the programs look for; any other handle is none
    // the simulation gave out (Windows may fault on it).
    SetLastError(sim::IsSystemModule(module) ? ERROR_RESOURCE_TYPE_NOT_FOUND
                                             : ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const std::u16string wantedType = sim::ResourceText(type);
  const std::u16string wantedName = sim::ResourceText(name);
  bool typeFound = false;
  for (const auto& entry : *resources) {
    if (sim::Upper(entry.first.first) != wantedType) continue;
    typeFound = true;
    if (u"#" + sim::ToU16(std::to_string(entry.first.second)) == wantedName) {
      // The entry itself stands for the resource; it lives as long as the module.
      return reinterpret_cast<HRSRC>(const_cast<sim::Resources::value_type*>(&entry));
    }
  }
  SetLastError(typeFound ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
  return nullptr;
}

namespace {

// The entry an HRSRC of `module` stands for, or null when it is none of that module's.
const sim::Resources::value_type* ResourceEntry(HMODULE module, HRSRC resource) {
  const sim::Resources* resources = sim::ModuleResources(module);
  if (resources == nullptr || resource == nullptr) return nullptr;
  for (const auto& entry : *resources) {
    if (reinterpret_cast<const void*>(&entry) == reinterpret_cast<const void*>(resource)) {
      return &entry;
    }
  }
  return nullptr;
}

}  // namespace

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
  if (sim::Intercept("LoadResource")) return nullptr;
  sim::Guard guard(sim::Lock());
  const auto* entry = ResourceEntry(module, resource);
  if (entry == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // The bytes stay where they are until the module is freed, as in a mapped image.
  return const_cast<char*>(entry->second.data());
}

LPVOID LockResource(HGLOBAL data) {
  if (sim::Intercept("LockResource")) return nullptr;
  return data;
}

DWORD SizeofResource(HMODULE module, HRSRC resource) {
  if (sim::Intercept("SizeofResource")) return 0;
  sim::Guard guard(sim::Lock());
  const auto* entry = ResourceEntry(module, resource);
  if (entry == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return static_cast<DWORD>(entry->second.size());
}

// As Windows 11 answers: the redirection trust policy with its one DWORD of flags; anything else
// (a policy the simulation does not model, a buffer of another size) is refused with 87.
BOOL SetProcessMitigationPolicy(DWORD policy, const void* buffer, SIZE_T length) {
  if (sim::Intercept("SetProcessMitigationPolicy")) return FALSE;
  if (policy != ProcessRedirectionTrustPolicy || buffer == nullptr || length != sizeof(DWORD)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD flags = 0;
  std::memcpy(&flags, buffer, sizeof flags);
  sim::Guard guard(sim::Lock());
  sim::CurrentProcess().redirectionTrust = flags;
  return TRUE;
}

BOOL FreeLibrary(HMODULE module) {
  if (sim::Intercept("FreeLibrary")) return FALSE;
  sim::Guard guard(sim::Lock());
  auto& state = sim::State();
  const bool data = state.dataModules.count(sim::Id(module)) > 0;
  if (!data && !sim::IsSystemModule(module) && module != sim::programModule) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  // Modules loaded with the process stay however often they are freed; a data file goes with
  // its last reference.
  auto count = state.moduleReferences.find(sim::Id(module));
  if (count != state.moduleReferences.end() && --count->second <= 0) {
    state.moduleReferences.erase(count);
    if (data) state.dataModules.erase(sim::Id(module));
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

void Sleep(DWORD milliseconds) {
  // Sleep has no failure to report: an injected one, or a process that has ended, skips the
  // wait, and the thread's last-error code stays as it was.
  const DWORD saved = GetLastError();
  const bool skip = sim::Intercept("Sleep").has_value();
  SetLastError(saved);
  if (skip) {
    sim::CurrentProcess().skippedMilliseconds += milliseconds;
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::uint64_t GetTickCount64() {
  sim::Intercept("GetTickCount64");
  const sim::MachineState& state = sim::State();
  const auto real = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - state.booted);
  return static_cast<std::uint64_t>(real.count()) + sim::CurrentProcess().skippedMilliseconds;
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
