// The restore pass: drive mappings do not survive a restart, so every stored Create of a drive
// letter, and every letter machine policy names, is carried out again at every boot and each
// time machine policy is applied.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WinApi.h"
#include "service/EventLog.h"

struct LinkRequest;
class LinkList;
struct LoadedLinkList;
struct PolicyDrive;

class RestorePass {
 public:
  // The pass's events go to `log`; what machine policy gave is kept under the key of the service
  // `serviceName`. Both must outlive the pass.
  RestorePass(const EventLog& log, std::u16string_view serviceName);

  // Carries out machine policy's letters, then the list's stored drive mappings: 0 when every one
  // is in force afterwards, else the code that says why not (events say it too).
  win::DWORD RestoreDriveMappings() const;

 private:
  // One stored drive mapping of the restore pass: 0 when it is in force afterwards, else the
  // code that says why not (an event says it too).
  win::DWORD RestoreDriveMapping(const LinkRequest& record) const;
  // The letters of machine policy, carried out before the list's records: `named` gets each
  // letter the policy holds, which the list's records then leave to it. `list` is null when there
  // is none to read. 0 when every letter is in force, else the first failure's code.
  win::DWORD ApplyDrivePolicy(const LinkList* list, std::vector<std::u16string>& named) const;
  win::DWORD MapPolicyDrive(const PolicyDrive& drive, const PolicyDrive* before,
                            const LinkRequest* stored) const;
  bool LabelPolicyDrive(const PolicyDrive& drive, const PolicyDrive* before) const;
  win::DWORD TakeOffPolicyDrive(const PolicyDrive& gone, const LinkRequest* stored) const;
  // What the policy gave at the last pass, kept under the service's own key.
  std::u16string KeptPolicyKey() const;
  std::vector<PolicyDrive> ReadKeptPolicy() const;
  void WriteKeptPolicy(const std::vector<PolicyDrive>& kept) const;
  // Opens the list for the restore pass, waiting while another program holds it: 0, or the exit
  // code once the pass can go no further.
  win::DWORD OpenListForRestore(const std::u16string& path, LoadedLinkList& list,
                                std::uint64_t started) const;

  // The pass's events, written to the log it was given.
  template <typename... Args>
  void LogEventOfType(win::WORD type, std::u16string_view format,
                      const Args&... args) const noexcept {
    log_.LogEventOfType(type, format, args...);
  }

  const EventLog& log_;
  std::u16string_view serviceName_;
};
