#include "service/Registration.h"

// Registering and unregistering the program, installing and removing the service.

#include <array>
#include <string>

#include "engine/PolicyTrigger.h"
#include "engine/Wait.h"
#include "platform/UniqueHandle.h"

namespace {

constexpr win::UINT kRegistryScriptResource = 101;
constexpr std::size_t kMessageSize = 1024;
// A record deleted while its service still runs stays, marked for deletion, until the service
// has stopped; a new one cannot be created before then. How long, and how often, to look.
// A record removed while its service still ran goes when the service stops; its name may stay
// taken a while after that.
constexpr WaitSchedule kDeletionWait{100, 100, 5'000};

enum Message : win::UINT {
  kCannotOpenManager = 55306,
  kCannotCreate = 55307,
  kCannotOpenService = 55308,
  kCannotDelete = 55309,
  kCannotStop = 55310,
  kCannotAddEventSource = 55311,
  kCannotRemoveEventSource = 55312,
  kCannotRegisterTrigger = 55313,
};

std::u16string_view FixedText(win::UINT id) {
  switch (id) {
    case kCannotOpenManager:
      return u"Could not open Service Manager";
    case kCannotCreate:
      return u"Could not start service";
    case kCannotOpenService:
      return u"Could not open service";
    case kCannotDelete:
      return u"Could not delete service";
    case kCannotAddEventSource:
      return u"Could not register the event source: Event Viewer will not show the service's "
             u"event texts";
    case kCannotRemoveEventSource:
      return u"Could not remove the event source";
    case kCannotRegisterTrigger:
      return u"Could not register the machine policy trigger: the service will not start when "
             u"machine policy is applied";
    default:
      return u"Could not stop service";
  }
}

const ScriptSubstitution kSubstitutions[] = {{u"APPID", kAppId}, {nullptr, nullptr}};

// Event Viewer finds the texts of an event source's events through this key, named after the
// source (the service name the events are written under).
constexpr std::u16string_view kEventSources =
    u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
// Error, warning and information events.
constexpr win::DWORD kEventTypesSupported = 7;

// The program itself holds the message table. Expandable, as the event log reads the value and
// as Windows' own sources store it.
win::HRESULT AddEventSource(std::u16string_view source) {
  std::u16string program;
  if (ReadProgramPath(program) < 0) return win::E_FAIL;
  win::UniqueKey key;
  win::LSTATUS status = win::RegCreateKeyExW(
      win::HKEY_LOCAL_MACHINE, (std::u16string(kEventSources) + std::u16string(source)).c_str(), 0,
      nullptr, win::REG_OPTION_NON_VOLATILE, win::KEY_WRITE, nullptr, key.Put(), nullptr);
  if (status == win::ERROR_SUCCESS) {
    status = win::RegSetValueExW(key.Get(), u"EventMessageFile", 0, win::REG_EXPAND_SZ,
                                 reinterpret_cast<const win::BYTE*>(program.c_str()),
                                 static_cast<win::DWORD>((program.size() + 1) * sizeof(char16_t)));
  }
  if (status == win::ERROR_SUCCESS) {
    status = win::RegSetValueExW(key.Get(), u"TypesSupported", 0, win::REG_DWORD,
                                 reinterpret_cast<const win::BYTE*>(&kEventTypesSupported),
                                 sizeof kEventTypesSupported);
  }
  return status == win::ERROR_SUCCESS ? win::S_OK
                                      : HresultFromWin32(static_cast<win::DWORD>(status));
}

// Goes with the service, subkeys and all: a source left behind would point Event Viewer at a
// program that may be gone. None there is no failure.
win::HRESULT RemoveEventSource(std::u16string_view source) {
  const win::LSTATUS status = DeleteKeyTree(
      win::HKEY_LOCAL_MACHINE, (std::u16string(kEventSources) + std::u16string(source)).c_str());
  return status == win::ERROR_SUCCESS || status == win::ERROR_FILE_NOT_FOUND
             ? win::S_OK
             : HresultFromWin32(static_cast<win::DWORD>(status));
}

}  // namespace

// The event source is a convenience for Event Viewer, not part of the registration: its own
// failure never fails a switch, and is said once the rest has succeeded.
win::HRESULT Registration::RegisterEntries(bool asService) {
  if (!RemoveService()) return win::E_FAIL;
  bool sourceFailed = RemoveEventSource(serviceName_) < 0;
  if (const win::HRESULT result = ApplyRegistryScript(kRegistryScriptResource,
                                                      RegistryScriptMode::Register, kSubstitutions);
      result < 0) {
    return result;
  }
  win::UniqueKey appIds;
  win::LSTATUS opened =
      win::RegOpenKeyExW(win::HKEY_CLASSES_ROOT, u"AppID", 0, win::KEY_WRITE, appIds.Put());
  if (opened != win::ERROR_SUCCESS) return HresultFromWin32(static_cast<win::DWORD>(opened));
  win::UniqueKey appId;
  opened = win::RegCreateKeyExW(appIds.Get(), kAppId, 0, nullptr, win::REG_OPTION_NON_VOLATILE,
                                win::KEY_READ | win::KEY_WRITE, nullptr, appId.Put(), nullptr);
  if (opened != win::ERROR_SUCCESS) return HresultFromWin32(static_cast<win::DWORD>(opened));
  win::RegDeleteValueW(appId.Get(), u"LocalService");
  if (asService) {
    // Without the value every start by the manager would take the direct path and never
    // connect, so no service is installed without it (the old record is already gone).
    const win::LSTATUS written =
        win::RegSetValueExW(appId.Get(), u"LocalService", 0, win::REG_SZ,
                            reinterpret_cast<const win::BYTE*>(serviceName_.c_str()),
                            static_cast<win::DWORD>((serviceName_.size() + 1) * sizeof(char16_t)));
    if (written != win::ERROR_SUCCESS) return HresultFromWin32(static_cast<win::DWORD>(written));
    sourceFailed = AddEventSource(serviceName_) < 0 || sourceFailed;
    if (!InstallService()) {
      RemoveEventSource(serviceName_);
      return win::E_FAIL;
    }
  }
  if (sourceFailed) ShowMessage(asService ? kCannotAddEventSource : kCannotRemoveEventSource);
  return win::S_OK;
}

win::HRESULT Registration::UnregisterEntries() {
  if (!RemoveService()) return win::E_FAIL;
  const bool sourceFailed = RemoveEventSource(serviceName_) < 0;
  win::UniqueKey appIds;
  win::LSTATUS opened =
      win::RegOpenKeyExW(win::HKEY_CLASSES_ROOT, u"AppID", 0, win::KEY_WRITE, appIds.Put());
  if (opened != win::ERROR_SUCCESS) return HresultFromWin32(static_cast<win::DWORD>(opened));
  win::UniqueKey appId;
  opened = win::RegOpenKeyExW(appIds.Get(), kAppId, 0, win::KEY_WRITE, appId.Put());
  if (opened != win::ERROR_SUCCESS) return HresultFromWin32(static_cast<win::DWORD>(opened));
  win::RegDeleteValueW(appId.Get(), u"LocalService");
  const win::HRESULT result =
      ApplyRegistryScript(kRegistryScriptResource, RegistryScriptMode::Unregister, kSubstitutions);
  if (result >= 0 && sourceFailed) ShowMessage(kCannotRemoveEventSource);
  return result;
}

bool Registration::IsServiceInstalled() const {
  win::UniqueService manager(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS));
  if (!manager) return false;
  win::UniqueService service(
      win::OpenServiceW(manager.Get(), serviceName_.c_str(), win::SERVICE_QUERY_CONFIG));
  return static_cast<bool>(service);
}

bool Registration::InstallService() {
  // Only a record removed while its service still ran can be here: wait for it to go, so
  // that a new record exists when this reports success. This wait and the one for its name
  // below share one budget.
  Wait wait(kDeletionWait);
  while (IsServiceInstalled()) {
    if (!wait.Again()) {
      ShowMessage(kCannotCreate);
      return false;
    }
  }
  std::u16string program;
  if (ReadProgramPath(program) < 0) return false;
  // Quoted, so that a path with a blank in it cannot start some other program.
  const std::u16string binaryPath = u"\"" + program + u"\"";

  win::UniqueService manager(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    ShowMessage(kCannotOpenManager);
    return false;
  }
  // The manager may still hold the old record's name a while after the record has gone; the
  // create is tried again within the same wait.
  win::UniqueService service;
  for (;;) {
    service.Reset(win::CreateServiceW(
        manager.Get(), serviceName_.c_str(), serviceName_.c_str(), win::SERVICE_ALL_ACCESS,
        win::SERVICE_WIN32_OWN_PROCESS, win::SERVICE_DEMAND_START, win::SERVICE_ERROR_NORMAL,
        binaryPath.c_str(), nullptr, nullptr, u"RPCSS\0", nullptr, nullptr));
    if (service || win::GetLastError() != win::ERROR_SERVICE_MARKED_FOR_DELETE || !wait.Again()) {
      break;
    }
  }
  if (!service) {
    manager.Reset();
    ShowMessage(kCannotCreate);
    return false;
  }
  // The trigger is no part of the install: without it the service still runs every request and
  // its boot pass, so its failure is said and the record stays.
  if (RegisterMachinePolicyTrigger(service.Get()) != win::ERROR_SUCCESS) {
    service.Reset();
    manager.Reset();
    ShowMessage(kCannotRegisterTrigger);
  }
  return true;
}

bool Registration::RemoveService() {
  if (!IsServiceInstalled()) return true;
  win::UniqueService manager(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    ShowMessage(kCannotOpenManager);
    return false;
  }
  win::UniqueService service(
      win::OpenServiceW(manager.Get(), serviceName_.c_str(), win::DELETE | win::SERVICE_STOP));
  if (!service) {
    manager.Reset();
    ShowMessage(kCannotOpenService);
    return false;
  }
  win::SERVICE_STATUS stopStatus{};
  if (!win::ControlService(service.Get(), win::SERVICE_CONTROL_STOP, &stopStatus)) {
    const win::DWORD error = win::GetLastError();
    const bool accepted = error == win::ERROR_SERVICE_NOT_ACTIVE ||
                          (error == win::ERROR_SERVICE_CANNOT_ACCEPT_CTRL &&
                           stopStatus.dwCurrentState == win::SERVICE_STOP_PENDING);
    if (!accepted) ShowMessage(kCannotStop);
  }
  const bool deleted = win::DeleteService(service.Get()) != win::FALSE;
  service.Reset();
  manager.Reset();
  if (!deleted) ShowMessage(kCannotDelete);
  return deleted;
}

void Registration::ShowMessage(win::UINT id) const {
  std::array<char16_t, kMessageSize> text{};
  const int length = win::LoadStringW(win::GetModuleHandleW(nullptr), id, text.data(),
                                      static_cast<int>(text.size()));
  const std::u16string message = length > 0
                                     ? std::u16string(text.data(), static_cast<std::size_t>(length))
                                     : std::u16string(FixedText(id));
  win::MessageBoxW(nullptr, message.c_str(), serviceName_.c_str(), win::MB_OK);
}
