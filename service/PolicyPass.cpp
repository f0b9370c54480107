#include "service/RestorePass.h"

// The drive letters of machine policy, carried out by the restore pass before the list's: at
// boot and each time machine policy is applied (the trigger start). Policy wins over the list for
// a letter both name; a letter the policy gave at the last pass and names no more is taken off,
// and what the list stores for it comes back.

#include <algorithm>
#include <string>
#include <vector>

#include "engine/DriveDefinition.h"
#include "engine/DriveLabel.h"
#include "engine/DrivePolicy.h"
#include "engine/LinkList.h"
#include "engine/SystemMessage.h"
#include "platform/UniqueHandle.h"

namespace {

constexpr char16_t kNoText[] = u"The system has no text for it.";

// What the pass gave at its last run, under the service's own key, which only SYSTEM and
// administrators may change: one string per letter, "S:", the folder and the label the pass set
// (empty when none), apart by tabs, which neither a path nor a label holds. Removing the service
// removes its key, so a pass after an install finds nothing kept.
constexpr char16_t kServicesKey[] = u"SYSTEM\\CurrentControlSet\\Services\\";
constexpr char16_t kKeptValue[] = u"PolicyDrives";
// The most bytes a kept value is read in: 26 letters of a long path and a label each.
constexpr win::DWORD kLongestKept = 26 * 2 * 1100;

const PolicyDrive* FindDrive(const std::vector<PolicyDrive>& drives, std::u16string_view letter) {
  for (const PolicyDrive& drive : drives) {
    if (SameDriveLetter(drive.letter, letter)) return &drive;
  }
  return nullptr;
}

const LinkRequest* FindStored(const LinkList* list, std::u16string_view letter) {
  if (list == nullptr) return nullptr;
  for (const LinkRequest& record : list->records) {
    if (record.action != LinkAction::Delete && record.kind == LinkKind::Drive &&
        SameDriveLetter(record.link, letter)) {
      return &record;
    }
  }
  return nullptr;
}

// Maps `letter` onto `folder`, or takes that one definition off: 0, or the system's code (never
// 0 for a failure).
win::DWORD ChangeDrive(LinkAction action, const std::u16string& letter,
                       const std::u16string& folder) {
  LinkRequest record;
  record.action = action;
  record.kind = LinkKind::Drive;
  record.link = letter;
  record.target = folder;
  if (record.Execute()) return 0;
  const win::DWORD error = win::GetLastError();
  return error != 0 ? error : win::ERROR_GEN_FAILURE;
}

std::vector<PolicyDrive> ParseKept(const std::u16string& text) {
  std::vector<PolicyDrive> kept;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find(u'\0', at);
    if (end == std::u16string::npos) end = text.size();
    const std::u16string entry = text.substr(at, end - at);
    at = end + 1;
    const std::size_t first = entry.find(u'\t');
    const std::size_t second = first == std::u16string::npos ? first : entry.find(u'\t', first + 1);
    if (second == std::u16string::npos) continue;
    PolicyDrive drive{entry.substr(0, first), entry.substr(first + 1, second - first - 1),
                      entry.substr(second + 1)};
    if (IsDriveLetterName(drive.letter) && !drive.folder.empty()) kept.push_back(std::move(drive));
  }
  return kept;
}

}  // namespace

std::u16string RestorePass::KeptPolicyKey() const {
  return kServicesKey + std::u16string(serviceName_);
}

std::vector<PolicyDrive> RestorePass::ReadKeptPolicy() const {
  win::UniqueKey key;
  if (win::RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, KeptPolicyKey().c_str(), 0, win::KEY_QUERY_VALUE,
                         key.Put()) != 0) {
    return {};
  }
  win::DWORD type = 0;
  win::DWORD size = 0;
  if (win::RegQueryValueExW(key.Get(), kKeptValue, nullptr, &type, nullptr, &size) != 0 ||
      type != win::REG_MULTI_SZ || size > kLongestKept) {
    return {};
  }
  std::u16string text(size / sizeof(char16_t), u'\0');
  if (win::RegQueryValueExW(key.Get(), kKeptValue, nullptr, &type,
                            reinterpret_cast<win::BYTE*>(text.data()), &size) != 0 ||
      type != win::REG_MULTI_SZ) {
    return {};
  }
  text.resize(std::min<std::size_t>(text.size(), size / sizeof(char16_t)));
  return ParseKept(text);
}

void RestorePass::WriteKeptPolicy(const std::vector<PolicyDrive>& kept) const {
  std::u16string text;
  for (const PolicyDrive& drive : kept) {
    text += drive.letter + u'\t' + drive.folder + u'\t' + drive.label + u'\0';
  }
  text += u'\0';
  win::UniqueKey key;
  win::LSTATUS result = win::RegCreateKeyExW(win::HKEY_LOCAL_MACHINE, KeptPolicyKey().c_str(), 0,
                                             nullptr, win::REG_OPTION_NON_VOLATILE,
                                             win::KEY_SET_VALUE, nullptr, key.Put(), nullptr);
  // Nothing given is no value: what the pass keeps is there only while policy gives letters.
  if (result == 0 && kept.empty()) {
    result = win::RegDeleteValueW(key.Get(), kKeptValue);
    if (result == win::ERROR_FILE_NOT_FOUND) result = 0;
  } else if (result == 0) {
    result = win::RegSetValueExW(key.Get(), kKeptValue, 0, win::REG_MULTI_SZ,
                                 reinterpret_cast<const win::BYTE*>(text.data()),
                                 static_cast<win::DWORD>(text.size() * sizeof(char16_t)));
  }
  if (result != 0) {
    const win::DWORD error = static_cast<win::DWORD>(result);
    LogEventOfType(win::EVENTLOG_WARNING_TYPE,
                   u"What machine policy mapped could not be kept for the next pass: %s (code "
                   u"%u). A letter the policy stops naming may then stay mapped until the next "
                   u"restart.",
                   std::u16string_view(SystemMessage(error, kNoText)), error);
  }
}

// One letter of the policy: 0 when it is in force onto the policy's folder afterwards. A letter
// that is something else now is left alone, unless it is what the list stores for it or what the
// policy gave it before: those give way, exactly that definition taken off.
win::DWORD RestorePass::MapPolicyDrive(const PolicyDrive& drive, const PolicyDrive* before,
                                       const LinkRequest* stored) const {
  const std::u16string_view letter = drive.letter;
  const std::u16string_view folder = drive.folder;
  std::vector<std::u16string> definitions;
  win::DWORD error = GlobalDefinitions(letter, definitions);
  // Something else is there now: never mapped over, never stacked on.
  const auto leftAlone = [&](const std::u16string& there) {
    LogEventOfType(win::EVENTLOG_WARNING_TYPE,
                   u"The drive letter %s was not mapped onto %s for machine policy, because it "
                   u"stands for %s now; it was left as it is.",
                   letter, folder, std::u16string_view(there));
    return win::ERROR_ALREADY_EXISTS;
  };
  if (error == 0 && !definitions.empty() && !MapsOnto(definitions.front(), folder)) {
    const bool storedInForce = stored != nullptr && MapsOnto(definitions.front(), stored->target);
    const bool givenBefore = before != nullptr && MapsOnto(definitions.front(), before->folder);
    if (!storedInForce && !givenBefore) return leftAlone(definitions.front());
    const std::u16string& off = storedInForce ? stored->target : before->folder;
    if ((error = ChangeDrive(LinkAction::Delete, drive.letter, off)) != 0) {
      LogEventOfType(win::EVENTLOG_ERROR_TYPE,
                     u"The drive letter %s was not mapped onto %s for machine policy, because "
                     u"%s could not be taken off it: %s (code %u)",
                     letter, folder, std::u16string_view(off),
                     std::u16string_view(SystemMessage(error, kNoText)), error);
      return error;
    }
    if (storedInForce) {
      LogEventOfType(win::EVENTLOG_WARNING_TYPE,
                     u"The drive letter %s is stored onto %s, but machine policy maps it onto %s: "
                     u"the policy's mapping is in force, and the stored one comes back once the "
                     u"policy no longer names the letter.",
                     letter, std::u16string_view(stored->target), folder);
    }
    definitions.clear();
    error = GlobalDefinitions(letter, definitions);
  }
  if (error != 0) {
    LogEventOfType(win::EVENTLOG_ERROR_TYPE,
                   u"The drive letter %s was not mapped onto %s for machine policy, because what "
                   u"it is now could not be read: %s (code %u)",
                   letter, folder, std::u16string_view(SystemMessage(error, kNoText)), error);
    return error;
  }
  if (definitions.empty()) {
    if ((error = ChangeDrive(LinkAction::Create, drive.letter, drive.folder)) != 0) {
      LogEventOfType(win::EVENTLOG_ERROR_TYPE,
                     u"The drive letter %s could not be mapped onto %s for machine policy: %s "
                     u"(code %u)",
                     letter, folder, std::u16string_view(SystemMessage(error, kNoText)), error);
      return error;
    }
  } else if (!MapsOnto(definitions.front(), folder)) {
    return leftAlone(definitions.front());  // another definition was under the one taken off
  }
  return 0;
}

// The label the policy gives, set; one the pass set before and the policy gives no more, taken
// off. False when the policy's label could not be set (a warning says so).
bool RestorePass::LabelPolicyDrive(const PolicyDrive& drive, const PolicyDrive* before) const {
  win::DWORD error = 0;
  if (!drive.label.empty()) {
    std::u16string shown;
    if (ReadDriveLabel(drive.letter, shown) == 0 && shown == drive.label) return true;
    error = WriteDriveLabel(drive.letter, drive.label);
  } else if (before != nullptr && !before->label.empty()) {
    error = RemoveDriveLabel(drive.letter);
  }
  if (error != 0) {
    LogEventOfType(win::EVENTLOG_WARNING_TYPE,
                   u"The label of %s could not be set for machine policy: %s (code %u)",
                   std::u16string_view(drive.letter),
                   std::u16string_view(SystemMessage(error, kNoText)), error);
  }
  return error == 0;
}

// A letter the policy gave at the last pass and names no more: its definition onto the policy's
// folder taken off, unless the list stores the letter onto that same folder, and the label the
// pass set with it. 0, or the code (an event says it too).
win::DWORD RestorePass::TakeOffPolicyDrive(const PolicyDrive& gone, const LinkRequest* stored) const {
  if (stored != nullptr && MapsOnto(StoredDefinition(stored->target), gone.folder)) return 0;
  std::vector<std::u16string> definitions;
  win::DWORD error = GlobalDefinitions(gone.letter, definitions);
  const bool mapped = std::ranges::any_of(definitions, [&](const std::u16string& definition) {
    return MapsOnto(definition, gone.folder);
  });
  if (error == 0 && mapped) error = ChangeDrive(LinkAction::Delete, gone.letter, gone.folder);
  if (error != 0) {
    LogEventOfType(win::EVENTLOG_ERROR_TYPE,
                   u"The drive letter %s, which machine policy no longer names, could not be "
                   u"taken off %s: %s (code %u)",
                   std::u16string_view(gone.letter), std::u16string_view(gone.folder),
                   std::u16string_view(SystemMessage(error, kNoText)), error);
    return error;
  }
  if (!gone.label.empty()) RemoveDriveLabel(gone.letter);
  return 0;
}

win::DWORD RestorePass::ApplyDrivePolicy(const LinkList* list,
                                         std::vector<std::u16string>& named) const {
  const std::vector<PolicyDrive> kept = ReadKeptPolicy();
  const DrivePolicy policy = ReadDrivePolicy();
  if (policy.error != 0) {
    // What the policy says cannot be told: what it gave stays, and stays the policy's.
    for (const PolicyDrive& drive : kept) named.push_back(drive.letter);
    const std::u16string why =
        policy.untrusted.empty() ? SystemMessage(policy.error, kNoText) : policy.untrusted;
    LogEventOfType(win::EVENTLOG_ERROR_TYPE,
                   u"The drive policy under HKEY_LOCAL_MACHINE\\%s was not used, so no letter of "
                   u"it was mapped: %s.",
                   std::u16string_view(kPolicyDrivesKey), std::u16string_view(why));
    return policy.error;
  }
  for (const PolicyProblem& problem : policy.skipped) {
    LogEventOfType(win::EVENTLOG_WARNING_TYPE,
                   u"The policy value %s under HKEY_LOCAL_MACHINE\\%s was skipped: %s. The rest "
                   u"of the policy is carried out.",
                   std::u16string_view(problem.value), std::u16string_view(problem.key),
                   std::u16string_view(problem.why));
  }
  win::DWORD firstFailure = 0;
  std::vector<PolicyDrive> given;
  for (const PolicyDrive& drive : policy.drives) {
    named.push_back(drive.letter);
    const PolicyDrive* before = FindDrive(kept, drive.letter);
    const win::DWORD outcome = MapPolicyDrive(drive, before, FindStored(list, drive.letter));
    if (firstFailure == 0) firstFailure = outcome;
    if (outcome != 0) continue;
    PolicyDrive now = drive;
    if (!LabelPolicyDrive(drive, before)) now.label.clear();
    given.push_back(std::move(now));
  }
  for (const PolicyDrive& gone : kept) {
    if (FindDrive(policy.drives, gone.letter) != nullptr) continue;
    const win::DWORD outcome = TakeOffPolicyDrive(gone, FindStored(list, gone.letter));
    if (firstFailure == 0) firstFailure = outcome;
    // One that could not be taken off is still the policy's to take off next time.
    if (outcome != 0) given.push_back(gone);
  }
  // A machine that policy never gave a letter keeps nothing.
  if (!given.empty() || !kept.empty()) WriteKeptPolicy(given);
  return firstFailure;
}
