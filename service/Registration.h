// Registering the program and installing its service: the command-line switches, the registry
// script, the AppID entries, the event source and the service record.
#pragma once

#include <string>
#include <string_view>

#include "platform/WinApi.h"
#include "service/RegistryScript.h"

// The service's AppID, also the registry script's "APPID" substitution.
inline constexpr char16_t kAppId[] = u"{5E0C2A91-7B3D-4F68-A2C4-93D17E8B06F5}";

// The program's own full path, read here for the switches, the script, the event source and the
// service record alike: S_OK; the system's reason as an HRESULT; or
// HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) for a path that does not fit in MAX_PATH. `path`
// is left empty on failure.
win::HRESULT ReadProgramPath(std::u16string& path);

class Registration {
 public:
  // For the service `serviceName`: its record's name and display name, its event source, the
  // LocalService value, and the caption of the message boxes.
  explicit Registration(std::u16string serviceName);

  // False when a command-line switch was acted on (`result` then holds the outcome).
  bool HandleCommandLine(std::u16string_view commandLine, win::HRESULT& result);

  // Registration: the AppID entries, LocalService, and with `asService` the event source and
  // the service itself. Both switches, and UnregisterEntries, remove an installed service and
  // its event source first.
  win::HRESULT RegisterEntries(bool asService);
  win::HRESULT UnregisterEntries();
  bool InstallService();
  bool RemoveService();
  bool IsServiceInstalled() const;

  // The substitutions every registry script of this program may use: "APPID".
  win::HRESULT AddStandardSubstitutions(SubstitutionMap& map) const;
  // Applies the program's registry script resource `resourceId` (type "REGISTRY") with the
  // caller's substitutions (a list ended by an empty entry), the standard ones, "Module" and
  // "Module_Raw".
  win::HRESULT ApplyRegistryScript(win::UINT resourceId, RegistryScriptMode mode,
                                   const ScriptSubstitution* substitutions) const;

 private:
  // Message `id` of the string table, or its fixed text, in a message box captioned with the
  // service name.
  void ShowMessage(win::UINT id) const;

  std::u16string serviceName_;
};
