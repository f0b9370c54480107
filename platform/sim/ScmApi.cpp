// The service control manager's handle calls: opening the manager and services, installing,
// reading, changing and removing records, starting services, sending controls, and the database
// lock.
#include <chrono>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "platform/sim/MachineState.h"
#include "platform/sim/Registry.h"
#include "platform/sim/Services.h"

namespace sim {
namespace {

constexpr win::DWORD kReadControl = 0x00020000;
constexpr win::DWORD kGenericRights =
    win::GENERIC_READ | win::GENERIC_WRITE | win::GENERIC_EXECUTE | win::GENERIC_ALL;
constexpr win::DWORD kModifyBootConfig = 0x0020;
constexpr win::DWORD kEnumerateDependents = 0x0008;

// The generic mappings Windows documents for the manager and for service objects.
win::DWORD ManagerRights(win::DWORD access) {
  using namespace win;
  DWORD rights = access & ~kGenericRights;
  if (access & GENERIC_READ)
    rights |= kReadControl | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
  if (access & GENERIC_WRITE)
    rights |= kReadControl | SC_MANAGER_CREATE_SERVICE | kModifyBootConfig;
  if (access & GENERIC_EXECUTE) rights |= kReadControl | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
  if (access & GENERIC_ALL) rights |= SC_MANAGER_ALL_ACCESS;
  // Opening the manager implies the right to connect.
  return rights | SC_MANAGER_CONNECT;
}

win::DWORD ServiceRights(win::DWORD access) {
  using namespace win;
  DWORD rights = access & ~kGenericRights;
  if (access & GENERIC_READ)
    rights |= kReadControl | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
              kEnumerateDependents;
  if (access & GENERIC_WRITE) rights |= kReadControl | win::SERVICE_CHANGE_CONFIG;
  if (access & GENERIC_EXECUTE)
    rights |= kReadControl | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
              SERVICE_USER_DEFINED_CONTROL;
  if (access & GENERIC_ALL) rights |= SERVICE_ALL_ACCESS;
  return rights;
}

// What Windows' default security gives a standard user: connecting to the manager, listing and
// querying; of a service, reading its configuration and status and user-defined controls.
constexpr win::DWORD kUserManagerRights = kReadControl | win::SC_MANAGER_CONNECT |
                                          win::SC_MANAGER_ENUMERATE_SERVICE |
                                          win::SC_MANAGER_QUERY_LOCK_STATUS;
constexpr win::DWORD kUserServiceRights = kReadControl | win::SERVICE_QUERY_CONFIG |
                                          win::SERVICE_QUERY_STATUS | win::SERVICE_INTERROGATE |
                                          kEnumerateDependents | win::SERVICE_USER_DEFINED_CONTROL;

bool Administrator() {
  return State().registry->administrator;
}

ScHandle* FindScHandle(win::SC_HANDLE handle) {
  auto& handles = State().services->handles;
  auto it = handles.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == handles.end() ? nullptr : &it->second;
}

win::SC_HANDLE AddScHandle(ScHandle handle) {
  auto& services = *State().services;
  const std::uintptr_t id = services.nextHandle;
  services.nextHandle += 4;
  if (!handle.manager) ++services.records.at(handle.key).openHandles;
  services.handles.emplace(id, std::move(handle));
  return reinterpret_cast<win::SC_HANDLE>(id);
}

// A service name as the manager accepts one: 1 to 256 characters, no slash or backslash.
bool ValidServiceName(std::u16string_view name) {
  return !name.empty() && name.size() <= 256 && name.find_first_of(u"/\\") == name.npos;
}

// A double-NUL-terminated list; an empty string alone is no entry.
std::vector<std::u16string> SplitList(win::LPCWSTR list) {
  std::vector<std::u16string> entries;
  if (list == nullptr) return entries;
  for (const char16_t* p = list; *p != u'\0';) {
    std::u16string entry(p);
    p += entry.size() + 1;
    entries.push_back(std::move(entry));
  }
  return entries;
}

// The parameter checks of CreateServiceW that Windows documents with ERROR_INVALID_PARAMETER.
bool ValidKinds(win::DWORD type, win::DWORD start, win::DWORD errorControl, win::LPCWSTR account) {
  using namespace win;
  const DWORD base = type & ~SERVICE_INTERACTIVE_PROCESS;
  const bool win32 = base == SERVICE_WIN32_OWN_PROCESS || base == SERVICE_WIN32_SHARE_PROCESS;
  const bool driver = base == SERVICE_KERNEL_DRIVER || base == SERVICE_FILE_SYSTEM_DRIVER;
  if (!win32 && !driver) return false;
  if (type & SERVICE_INTERACTIVE_PROCESS) {
    // Only a win32 service running as LocalSystem may interact with the desktop.
    if (!win32) return false;
    if (account != nullptr && !EqualsIgnoreCase(account, u"LocalSystem")) return false;
  }
  if (start > SERVICE_DISABLED) return false;
  if ((start == SERVICE_BOOT_START || start == SERVICE_SYSTEM_START) && !driver) return false;
  return errorControl <= SERVICE_ERROR_CRITICAL;
}

// Key names and display names share one name space: `displayName` for the record under `key`
// must not be another record's name or display name.
bool DisplayNameTaken(std::u16string_view displayName, const std::u16string& key) {
  for (const auto& [otherKey, other] : State().services->records) {
    if (otherKey != key && (EqualsIgnoreCase(other.displayName, displayName) ||
                            EqualsIgnoreCase(other.name, displayName))) {
      return true;
    }
  }
  return false;
}

// A trigger set as SERVICE_TRIGGER_INFO documents it: at most 64 triggers, each of a known type
// with a start or stop action and a subtype, with at most 64 data items of a known data type;
// pReserved null. False for anything else, which ChangeServiceConfig2W refuses whole.
bool ReadTriggers(const win::SERVICE_TRIGGER_INFO& info, std::vector<ServiceTrigger>& triggers) {
  using namespace win;
  constexpr DWORD kMostItems = 64;
  if (info.pReserved != nullptr || info.cTriggers > kMostItems) return false;
  if (info.cTriggers > 0 && info.pTriggers == nullptr) return false;
  for (DWORD i = 0; i < info.cTriggers; ++i) {
    const SERVICE_TRIGGER& given = info.pTriggers[i];
    const DWORD type = given.dwTriggerType;
    // Device interface arrival (1) to custom system state change (7), custom (20), aggregate (30).
    if (!((type >= 1 && type <= 7) || type == 20 || type == 30)) return false;
    if (given.dwAction != SERVICE_TRIGGER_ACTION_SERVICE_START &&
        given.dwAction != SERVICE_TRIGGER_ACTION_SERVICE_STOP) {
      return false;
    }
    if (given.pTriggerSubtype == nullptr || given.cDataItems > kMostItems) return false;
    if (given.cDataItems > 0 && given.pDataItems == nullptr) return false;
    ServiceTrigger trigger{type, given.dwAction, *given.pTriggerSubtype, {}};
    for (DWORD j = 0; j < given.cDataItems; ++j) {
      const SERVICE_TRIGGER_SPECIFIC_DATA_ITEM& item = given.pDataItems[j];
      // Binary (1), string (2), level (3), keyword any (4) and all (5).
      if (item.dwDataType < 1 || item.dwDataType > 5) return false;
      if (item.cbData > 0 && item.pData == nullptr) return false;
      trigger.data.push_back({item.dwDataType, {item.pData, item.pData + item.cbData}});
    }
    triggers.push_back(std::move(trigger));
  }
  return true;
}

// The account a lock the programs take is reported under. Only an administrator's manager
// handle carries SC_MANAGER_LOCK, so that is who holds it.
constexpr char16_t kLockOwner[] = u".\\Administrator";

template <typename T>
T Fail(win::DWORD code, T result) {
  win::SetLastError(code);
  return result;
}

}  // namespace
}  // namespace sim

namespace win {

SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access) {
  if (sim::Intercept("OpenSCManagerW")) return nullptr;
  // No other machine is reachable from the simulation.
  if (machine != nullptr && *machine != u'\0') {
    return sim::Fail(RPC_S_SERVER_UNAVAILABLE, SC_HANDLE{});
  }
  if (database != nullptr && !sim::EqualsIgnoreCase(database, u"ServicesActive")) {
    return sim::Fail(sim::EqualsIgnoreCase(database, u"ServicesFailed")
                         ? ERROR_DATABASE_DOES_NOT_EXIST
                         : ERROR_INVALID_NAME,
                     SC_HANDLE{});
  }
  sim::Guard guard(sim::Lock());
  const DWORD rights = sim::ManagerRights(access);
  if (!sim::Administrator() && (rights & ~sim::kUserManagerRights) != 0) {
    return sim::Fail(ERROR_ACCESS_DENIED, SC_HANDLE{});
  }
  return sim::AddScHandle(sim::ScHandle{true, rights, {}});
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) {
  if (sim::Intercept("OpenServiceW")) return nullptr;
  sim::Guard guard(sim::Lock());
  const sim::ScHandle* handle = sim::FindScHandle(manager);
  if (handle == nullptr || !handle->manager) return sim::Fail(ERROR_INVALID_HANDLE, SC_HANDLE{});
  if (name == nullptr) return sim::Fail(ERROR_INVALID_ADDRESS, SC_HANDLE{});
  if (!sim::ValidServiceName(name)) return sim::Fail(ERROR_INVALID_NAME, SC_HANDLE{});
  const std::u16string key = sim::Upper(name);
  // A record marked for deletion still opens; what it refuses is starting and deleting again.
  if (!sim::State().services->records.contains(key)) {
    return sim::Fail(ERROR_SERVICE_DOES_NOT_EXIST, SC_HANDLE{});
  }
  const DWORD rights = sim::ServiceRights(access);
  if (!sim::Administrator() && (rights & ~sim::kUserServiceRights) != 0) {
    return sim::Fail(ERROR_ACCESS_DENIED, SC_HANDLE{});
  }
  return sim::AddScHandle(sim::ScHandle{false, rights, key});
}

SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName, DWORD access,
                         DWORD serviceType, DWORD startType, DWORD errorControl, LPCWSTR binaryPath,
                         LPCWSTR loadOrderGroup, DWORD* tagId, LPCWSTR dependencies,
                         LPCWSTR account, LPCWSTR password) {
  if (sim::Intercept("CreateServiceW")) return nullptr;
  sim::Guard guard(sim::Lock());
  // The order of the checks is the one Wine's conformance tests record for Windows.
  const sim::ScHandle* handle = sim::FindScHandle(manager);
  if (handle == nullptr || !handle->manager) return sim::Fail(ERROR_INVALID_HANDLE, SC_HANDLE{});
  if (name == nullptr || binaryPath == nullptr) {
    return sim::Fail(ERROR_INVALID_ADDRESS, SC_HANDLE{});
  }
  if ((handle->access & SC_MANAGER_CREATE_SERVICE) == 0) {
    return sim::Fail(ERROR_ACCESS_DENIED, SC_HANDLE{});
  }
  if (!sim::ValidServiceName(name)) return sim::Fail(ERROR_INVALID_NAME, SC_HANDLE{});
  if (*binaryPath == u'\0' || !sim::ValidKinds(serviceType, startType, errorControl, account)) {
    return sim::Fail(ERROR_INVALID_PARAMETER, SC_HANDLE{});
  }
  if (displayName != nullptr && std::u16string_view(displayName).size() > 256) {
    return sim::Fail(ERROR_INVALID_NAME, SC_HANDLE{});
  }

  sim::ServiceRecord record;
  record.name = name;
  record.displayName = displayName != nullptr && *displayName != u'\0' ? displayName : name;
  auto& records = sim::State().services->records;
  const std::u16string key = sim::Upper(name);
  if (auto it = records.find(key); it != records.end()) {
    return sim::Fail(
        it->second.markedForDeletion ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS,
        SC_HANDLE{});
  }
  auto& deletedNames = sim::State().services->deletedNames;
  if (auto it = deletedNames.find(key); it != deletedNames.end()) {
    if (std::chrono::steady_clock::now() < it->second) {
      return sim::Fail(ERROR_SERVICE_MARKED_FOR_DELETE, SC_HANDLE{});
    }
    deletedNames.erase(it);
  }
  // Key names and display names share one name space.
  for (const auto& [otherKey, other] : records) {
    if (sim::EqualsIgnoreCase(other.displayName, record.displayName) ||
        sim::EqualsIgnoreCase(other.name, record.displayName) ||
        sim::EqualsIgnoreCase(other.displayName, record.name)) {
      return sim::Fail(ERROR_DUPLICATE_SERVICE_NAME, SC_HANDLE{});
    }
  }

  record.serviceType = serviceType;
  record.startType = startType;
  record.errorControl = errorControl;
  record.imagePath = binaryPath;
  record.loadOrderGroup = loadOrderGroup != nullptr ? loadOrderGroup : u"";
  record.dependencies = sim::SplitList(dependencies);
  if (account != nullptr) record.account = account;
  record.password = password != nullptr ? password : u"";
  // Tags order drivers within a group; a service has none.
  if (tagId != nullptr) *tagId = 0;
  sim::WriteServiceKey(sim::State(), record);
  records.emplace(key, std::move(record));
  // The new record's access is granted whatever the caller's: it needed the right to create.
  return sim::AddScHandle(sim::ScHandle{false, sim::ServiceRights(access), key});
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  if (sim::Intercept("ControlService")) return FALSE;
  std::shared_ptr<sim::ServiceSession> session;
  std::u16string key;
  {
    sim::Guard guard(sim::Lock());
    const sim::ScHandle* handle = sim::FindScHandle(service);
    if (handle == nullptr || handle->manager) return sim::Fail(ERROR_INVALID_HANDLE, FALSE);
    DWORD needed = 0;
    switch (control) {
      case SERVICE_CONTROL_STOP:
        needed = SERVICE_STOP;
        break;
      case SERVICE_CONTROL_PAUSE:
      case SERVICE_CONTROL_CONTINUE:
      case 6:  // SERVICE_CONTROL_PARAMCHANGE and the NETBIND codes
      case 7:
      case 8:
      case 9:
      case 10:
        needed = SERVICE_PAUSE_CONTINUE;
        break;
      case SERVICE_CONTROL_INTERROGATE:
        needed = SERVICE_INTERROGATE;
        break;
      default:
        if (control < 128 || control > 255) return sim::Fail(ERROR_INVALID_PARAMETER, FALSE);
        needed = SERVICE_USER_DEFINED_CONTROL;
    }
    if ((handle->access & needed) == 0) return sim::Fail(ERROR_ACCESS_DENIED, FALSE);
    if (status == nullptr) return sim::Fail(ERROR_INVALID_ADDRESS, FALSE);
    key = handle->key;
    session = sim::State().services->records.at(key).running;
  }
  const DWORD refusal = sim::DeliverControl(session, control);
  // The status is filled in on success and on the refusals that concern the service's state;
  // a caller reads dwCurrentState after ERROR_SERVICE_CANNOT_ACCEPT_CTRL.
  if (refusal == 0 || refusal == ERROR_INVALID_SERVICE_CONTROL ||
      refusal == ERROR_SERVICE_CANNOT_ACCEPT_CTRL || refusal == ERROR_SERVICE_NOT_ACTIVE) {
    sim::Guard guard(sim::Lock());
    auto& records = sim::State().services->records;
    if (auto it = records.find(key); it != records.end()) *status = sim::StatusOf(it->second);
  }
  if (refusal != 0) return sim::Fail(refusal, FALSE);
  return TRUE;
}

BOOL DeleteService(SC_HANDLE service) {
  if (sim::Intercept("DeleteService")) return FALSE;
  sim::Guard guard(sim::Lock());
  const sim::ScHandle* handle = sim::FindScHandle(service);
  if (handle == nullptr || handle->manager) return sim::Fail(ERROR_INVALID_HANDLE, FALSE);
  if ((handle->access & DELETE) == 0) return sim::Fail(ERROR_ACCESS_DENIED, FALSE);
  auto& record = sim::State().services->records.at(handle->key);
  if (record.markedForDeletion) return sim::Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
  // The record goes once the service has stopped and the last handle to it is closed; this
  // handle is one, so nothing goes yet.
  record.markedForDeletion = true;
  return TRUE;
}

BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv) {
  if (sim::Intercept("StartServiceW")) return FALSE;
  std::u16string key;
  std::vector<std::u16string> args;
  {
    sim::Guard guard(sim::Lock());
    const sim::ScHandle* handle = sim::FindScHandle(service);
    if (handle == nullptr || handle->manager) return sim::Fail(ERROR_INVALID_HANDLE, FALSE);
    if ((handle->access & SERVICE_START) == 0) return sim::Fail(ERROR_ACCESS_DENIED, FALSE);
    for (DWORD i = 0; i < argc; ++i) {
      if (argv == nullptr || argv[i] == nullptr) return sim::Fail(ERROR_INVALID_PARAMETER, FALSE);
      args.emplace_back(argv[i]);
    }
    key = handle->key;
    const auto& record = sim::State().services->records.at(key);
    if (record.markedForDeletion) return sim::Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
    if (record.startType == SERVICE_DISABLED) return sim::Fail(ERROR_SERVICE_DISABLED, FALSE);
    // The manager takes the database lock to start a service (Windows XP and Server 2003), so a
    // lock held by anyone, the caller included, refuses the start. Later versions start anyway.
    if (sim::State().services->lock) return sim::Fail(ERROR_SERVICE_DATABASE_LOCKED, FALSE);
    // A start argument is at most SC_MAX_ARGUMENT_LENGTH (1024) characters with its NUL.
    for (const auto& argument : args) {
      if (argument.size() >= 1024) return sim::Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
  }
  // The service main receives the service's name, then these arguments.
  if (const DWORD refused = sim::LaunchService(sim::State(), key, std::move(args))) {
    return sim::Fail(refused, FALSE);
  }
  return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
  if (sim::Intercept("QueryServiceStatus")) return FALSE;
  sim::Guard guard(sim::Lock());
  // A missing status is refused before the access right is checked, as Wine's conformance tests
  // record for Windows.
  const sim::ScHandle* handle = sim::FindScHandle(service);
  if (handle == nullptr || handle->manager) return sim::Fail(ERROR_INVALID_HANDLE, FALSE);
  if (status == nullptr) return sim::Fail(ERROR_INVALID_ADDRESS, FALSE);
  if ((handle->access & SERVICE_QUERY_STATUS) == 0) return sim::Fail(ERROR_ACCESS_DENIED, FALSE);
  *status = sim::StatusOf(sim::State().services->records.at(handle->key));
  return TRUE;
}

BOOL QueryServiceConfigW(SC_HANDLE service, QUERY_SERVICE_CONFIGW* config, DWORD size,
                         DWORD* needed) {
  if (sim::Intercept("QueryServiceConfigW")) return FALSE;
  sim::Guard guard(sim::Lock());
  const sim::ScHandle* handle = sim::FindScHandle(service);
  if (handle == nullptr || handle->manager) return sim::Fail(ERROR_INVALID_HANDLE, FALSE);
  if ((handle->access & SERVICE_QUERY_CONFIG) == 0) return sim::Fail(ERROR_ACCESS_DENIED, FALSE);
  if (needed == nullptr) return sim::Fail(ERROR_INVALID_ADDRESS, FALSE);
  const auto& record = sim::State().services->records.at(handle->key);
  // The dependencies as a double-NUL-terminated list; an empty one is two NULs, so that a reader
  // looking for the end of the list finds it either way.
  std::u16string dependencies;
  for (const auto& dependency : record.dependencies) {
    dependencies += dependency;
    dependencies.push_back(u'\0');
  }
  dependencies.push_back(u'\0');
  if (record.dependencies.empty()) dependencies.push_back(u'\0');
  // Each string with its NUL, after the record in the caller's buffer, in the record's order.
  const std::u16string strings[] = {record.imagePath + u'\0', record.loadOrderGroup + u'\0',
                                    dependencies, record.account + u'\0',
                                    record.displayName + u'\0'};
  std::size_t bytes = sizeof(QUERY_SERVICE_CONFIGW);
  for (const auto& text : strings) bytes += text.size() * sizeof(char16_t);
  *needed = static_cast<DWORD>(bytes);
  // A buffer too small is left as it was.
  if (size < bytes) return sim::Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  if (config == nullptr) return sim::Fail(ERROR_INVALID_ADDRESS, FALSE);
  auto* next = reinterpret_cast<char16_t*>(reinterpret_cast<unsigned char*>(config) +
                                           sizeof(QUERY_SERVICE_CONFIGW));
  LPWSTR placed[std::size(strings)];
  for (std::size_t i = 0; i < std::size(strings); ++i) {
    placed[i] = next;
    std::memcpy(next, strings[i].data(), strings[i].size() * sizeof(char16_t));
    next += strings[i].size();
  }
  config->dwServiceType = record.serviceType;
  config->dwStartType = record.startType;
  config->dwErrorControl = record.errorControl;
  config->lpBinaryPathName = placed[0];
  config->lpLoadOrderGroup = placed[1];
  config->dwTagId = record.tagId;
  config->lpDependencies = placed[2];
  config->lpServiceStartName = placed[3];
  config->lpDisplayName = placed[4];
  return TRUE;
}

BOOL ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType, DWORD errorControl,
                          LPCWSTR binaryPath, LPCWSTR loadOrderGroup, DWORD* tagId,
                          LPCWSTR dependencies, LPCWSTR account, LPCWSTR password,
                          LPCWSTR displayName) {
  if (sim::Intercept("ChangeServiceConfigW")) return FALSE;
  sim::Guard guard(sim::Lock());
  // The checks in the order Wine's service manager makes them: the handle, the record's state,
  // the name space, then the merged configuration as a whole, as CreateServiceW checks it.
  const sim::ScHandle* handle = sim::FindScHandle(service);
  if (handle == nullptr || handle->manager) return sim::Fail(ERROR_INVALID_HANDLE, FALSE);
  if ((handle->access & SERVICE_CHANGE_CONFIG) == 0) return sim::Fail(ERROR_ACCESS_DENIED, FALSE);
  auto& record = sim::State().services->records.at(handle->key);
  if (record.markedForDeletion) return sim::Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
  if (displayName != nullptr && sim::DisplayNameTaken(displayName, handle->key)) {
    return sim::Fail(ERROR_DUPLICATE_SERVICE_NAME, FALSE);
  }

  sim::ServiceConfig changed = record;
  if (serviceType != SERVICE_NO_CHANGE) changed.serviceType = serviceType;
  if (startType != SERVICE_NO_CHANGE) changed.startType = startType;
  if (errorControl != SERVICE_NO_CHANGE) changed.errorControl = errorControl;
  if (binaryPath != nullptr) changed.imagePath = binaryPath;
  if (loadOrderGroup != nullptr) changed.loadOrderGroup = loadOrderGroup;
  // An empty list is no dependency at all; no list keeps them.
  if (dependencies != nullptr) changed.dependencies = sim::SplitList(dependencies);
  if (account != nullptr) changed.account = account;
  if (password != nullptr) changed.password = password;
  if (displayName != nullptr)
    changed.displayName = *displayName != u'\0' ? displayName : record.name;
  if (changed.imagePath.empty() ||
      !sim::ValidKinds(changed.serviceType, changed.startType, changed.errorControl,
                       changed.account.c_str())) {
    return sim::Fail(ERROR_INVALID_PARAMETER, FALSE);
  }

  static_cast<sim::ServiceConfig&>(record) = std::move(changed);
  // Tags order drivers within a group; a service has none.
  if (tagId != nullptr) *tagId = 0;
  sim::WriteServiceKey(sim::State(), record);
  return TRUE;
}

BOOL ChangeServiceConfig2W(SC_HANDLE service, DWORD infoLevel, LPVOID info) {
  if (sim::Intercept("ChangeServiceConfig2W")) return FALSE;
  sim::Guard guard(sim::Lock());
  const sim::ScHandle* handle = sim::FindScHandle(service);
  if (handle == nullptr || handle->manager) return sim::Fail(ERROR_INVALID_HANDLE, FALSE);
  if ((handle->access & SERVICE_CHANGE_CONFIG) == 0) return sim::Fail(ERROR_ACCESS_DENIED, FALSE);
  // Only the triggers are kept: no program sets the other levels, so they are refused as
  // unknown here.
  if (infoLevel != SERVICE_CONFIG_TRIGGER_INFO) return sim::Fail(ERROR_INVALID_LEVEL, FALSE);
  if (info == nullptr) return TRUE;
  auto& record = sim::State().services->records.at(handle->key);
  if (record.markedForDeletion) return sim::Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
  std::vector<sim::ServiceTrigger> triggers;
  if (!sim::ReadTriggers(*static_cast<const SERVICE_TRIGGER_INFO*>(info), triggers)) {
    return sim::Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  // Removing the triggers of a service that has none is refused, as documented.
  if (triggers.empty() && record.triggers.empty()) {
    return sim::Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  record.triggers = std::move(triggers);
  return TRUE;
}

SC_LOCK LockServiceDatabase(SC_HANDLE manager) {
  if (sim::Intercept("LockServiceDatabase")) return nullptr;
  sim::Guard guard(sim::Lock());
  const sim::ScHandle* handle = sim::FindScHandle(manager);
  if (handle == nullptr || !handle->manager) return sim::Fail(ERROR_INVALID_HANDLE, SC_LOCK{});
  if ((handle->access & SC_MANAGER_LOCK) == 0) return sim::Fail(ERROR_ACCESS_DENIED, SC_LOCK{});
  auto& services = *sim::State().services;
  if (!services.lockAsWindowsXp) {
    // Since Windows Vista: a lock of its own, which holds nothing back.
    const std::uintptr_t value = services.nextLock;
    services.nextLock += 4;
    services.issuedLocks.insert(value);
    return reinterpret_cast<SC_LOCK>(value);
  }
  if (services.lock) return sim::Fail(ERROR_SERVICE_DATABASE_LOCKED, SC_LOCK{});
  sim::DatabaseLock lock;
  lock.value = services.nextLock;
  services.nextLock += 4;
  // A lock of the test's own process lasts until it is released; one of a simulated program
  // goes with its process at the latest.
  lock.process = &sim::CurrentProcess();
  lock.owner = sim::kLockOwner;
  lock.since = std::chrono::steady_clock::now();
  services.lock = std::move(lock);
  return reinterpret_cast<SC_LOCK>(services.lock->value);
}

BOOL UnlockServiceDatabase(SC_LOCK lock) {
  if (sim::Intercept("UnlockServiceDatabase")) return FALSE;
  sim::Guard guard(sim::Lock());
  auto& services = *sim::State().services;
  if (services.issuedLocks.erase(reinterpret_cast<std::uintptr_t>(lock)) > 0) return TRUE;
  auto& held = services.lock;
  // Only the lock in force is released; a lock held elsewhere has no value here.
  if (lock == nullptr || !held || held->value != reinterpret_cast<std::uintptr_t>(lock)) {
    return sim::Fail(ERROR_INVALID_SERVICE_LOCK, FALSE);
  }
  held.reset();
  return TRUE;
}

BOOL QueryServiceLockStatusW(SC_HANDLE manager, QUERY_SERVICE_LOCK_STATUSW* status, DWORD size,
                             DWORD* needed) {
  if (sim::Intercept("QueryServiceLockStatusW")) return FALSE;
  sim::Guard guard(sim::Lock());
  const sim::ScHandle* handle = sim::FindScHandle(manager);
  if (handle == nullptr || !handle->manager) return sim::Fail(ERROR_INVALID_HANDLE, FALSE);
  if (needed == nullptr) return sim::Fail(ERROR_INVALID_ADDRESS, FALSE);
  if ((handle->access & SC_MANAGER_QUERY_LOCK_STATUS) == 0) {
    return sim::Fail(ERROR_ACCESS_DENIED, FALSE);
  }
  const auto& lock = sim::State().services->lock;
  const std::u16string owner = lock ? lock->owner : std::u16string();
  // The owner's name follows the record in the caller's buffer.
  const std::size_t bytes = sizeof(QUERY_SERVICE_LOCK_STATUSW) + (owner.size() + 1) * 2;
  *needed = static_cast<DWORD>(bytes);
  // A missing buffer holds nothing; either way nothing is written to it.
  if (status == nullptr || size < bytes) return sim::Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  auto* text = reinterpret_cast<char16_t*>(reinterpret_cast<unsigned char*>(status) +
                                           sizeof(QUERY_SERVICE_LOCK_STATUSW));
  std::memcpy(text, owner.c_str(), (owner.size() + 1) * 2);
  status->fIsLocked = lock ? 1 : 0;
  status->lpLockOwner = text;
  status->dwLockDuration = 0;
  if (lock) {
    status->dwLockDuration =
        lock->heldFor ? *lock->heldFor
                      : static_cast<DWORD>(std::chrono::duration_cast<std::chrono::seconds>(
                                               std::chrono::steady_clock::now() - lock->since)
                                               .count());
  }
  return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  if (sim::Intercept("CloseServiceHandle")) return FALSE;
  sim::Guard guard(sim::Lock());
  auto& services = *sim::State().services;
  auto it = services.handles.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == services.handles.end()) return sim::Fail(ERROR_INVALID_HANDLE, FALSE);
  const sim::ScHandle closed = std::move(it->second);
  services.handles.erase(it);
  if (!closed.manager) {
    --services.records.at(closed.key).openHandles;
    sim::RemoveIfDeleted(sim::State(), closed.key);
  }
  return TRUE;
}

}  // namespace win
