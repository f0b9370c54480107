// Drive letters that machine policy maps for every session (Group Policy, Intune): one value per
// letter under HKEY_LOCAL_MACHINE, written by the policy engine, read by the service's pass and by
// corvane.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/AsciiText.h"
#include "platform/WinApi.h"

// Value name the letter ("S:"), data the folder: REG_SZ, a full path, or REG_EXPAND_SZ, expanded.
inline constexpr char16_t kPolicyDrivesKey[] = u"SOFTWARE\\Policies\\Corvane\\Drives";
// Value name the letter, data the label Explorer shows for it (REG_SZ, held to IsDriveLabel).
inline constexpr char16_t kPolicyLabelsKey[] = u"SOFTWARE\\Policies\\Corvane\\Labels";

// The longest label Explorer shows on one line for a letter, in UTF-16 units: what an NTFS volume
// label may hold, so that a mapped folder's name is as long as a disk's may be in Explorer.
inline constexpr std::size_t kLongestLabel = 32;

// Whether `label` may be a drive's label: 1 to kLongestLabel characters, none of them a control
// character. Labels from the command line, a links file and the policy are held to it alike.
bool IsDriveLabel(std::u16string_view label);

// One letter the policy maps: the letter in upper case ("S:"), the full path of the folder, and
// its label (empty when the policy gives none).
struct PolicyDrive {
  std::u16string letter;
  std::u16string folder;
  std::u16string label;
};

// A value the policy names that cannot be carried out: its key's path under HKEY_LOCAL_MACHINE,
// the value's name, and why ("is not one letter and a colon", "names a relative folder", ...).
struct PolicyProblem {
  std::u16string key;
  std::u16string value;
  std::u16string why;
};

struct DrivePolicy {
  // Why the policy was not read, for a sentence: "it is owned by S-1-5-21-...", "S-1-5-11 may
  // change it", or the system's text; empty when it was read (or there is none).
  std::u16string untrusted;
  win::DWORD error = 0;  // the code when it was not read: ERROR_ACCESS_DENIED for untrusted
  std::vector<PolicyDrive> drives;  // in the order the registry gives them
  std::vector<PolicyProblem> skipped;
};

// Reads both keys. A key that is not there is no policy (nothing, no error). A key that anyone but
// SYSTEM and Administrators may change (its owner, its DACL, through the key's handle) is not
// used: then nothing of the policy is read and `error` says so. A value that is not one letter
// and a colon, a folder that is not a full path or is not a folder that exists, a label that
// breaks IsDriveLabel, or a value of another type, is skipped and named; the rest is read.
DrivePolicy ReadDrivePolicy();
