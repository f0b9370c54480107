#include "engine/DrivePolicy.h"

#include <algorithm>
#include <cstring>

#include "engine/FileSecurity.h"
#include "engine/SystemMessage.h"
#include "platform/UniqueHandle.h"

namespace {

// The longest folder path Windows takes (32,767 characters and a NUL), in bytes: a value longer
// than that holds no folder, and is not read into memory.
constexpr win::DWORD kLongestData = 32768 * sizeof(char16_t);
// A value may change between the call that sizes it and the one that reads it; a key that keeps
// changing longer than this is left as it is.
constexpr int kReadAttempts = 4;

struct Value {
  std::u16string name;
  win::DWORD type = win::REG_NONE;
  std::vector<win::BYTE> data;
  bool tooLong = false;  // its data was not read
};

// The value at `index`, its buffers sized from the registry's own answers: the longest name the
// key holds, then the data's size at that index. ERROR_NO_MORE_ITEMS past the last one.
win::LSTATUS ReadValueAt(win::HKEY key, win::DWORD index, Value& out) {
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    win::DWORD longestName = 0;
    win::LSTATUS status =
        win::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              &longestName, nullptr, nullptr, nullptr);
    if (status != 0) return status;
    // A value name holds at most 16,383 characters.
    std::u16string name(std::min<win::DWORD>(longestName, 16383) + 1, u'\0');
    win::DWORD nameSize = static_cast<win::DWORD>(name.size());
    win::DWORD type = 0;
    win::DWORD size = 0;
    status = win::RegEnumValueW(key, index, name.data(), &nameSize, nullptr, &type, nullptr, &size);
    if (status == static_cast<win::LSTATUS>(win::ERROR_MORE_DATA)) continue;  // a longer name now
    if (status != 0) return status;
    out = Value{};
    if (size > kLongestData) {
      out.name.assign(name.data(), std::min<std::size_t>(nameSize, name.size()));
      out.type = type;
      out.tooLong = true;
      return 0;
    }
    out.data.assign(size, 0);
    nameSize = static_cast<win::DWORD>(name.size());
    status = win::RegEnumValueW(key, index, name.data(), &nameSize, nullptr, &out.type,
                                out.data.empty() ? nullptr : out.data.data(), &size);
    if (status == static_cast<win::LSTATUS>(win::ERROR_MORE_DATA)) continue;  // it grew meanwhile
    if (status != 0) return status;
    out.name.assign(name.data(), std::min<std::size_t>(nameSize, name.size()));
    out.data.resize(std::min<std::size_t>(size, out.data.size()));
    return 0;
  }
  return static_cast<win::LSTATUS>(win::ERROR_MORE_DATA);
}

// The text of string data up to its first NUL or its end, whichever comes first; false for data
// of an odd number of bytes, which no string written as one has.
bool StringOf(const std::vector<win::BYTE>& data, std::u16string& text) {
  if (data.size() % sizeof(char16_t) != 0) return false;
  text.assign(data.size() / sizeof(char16_t), u'\0');
  if (!data.empty()) std::memcpy(text.data(), data.data(), data.size());
  text.resize(std::min(text.find(u'\0'), text.size()));
  return true;
}

bool Expand(const std::u16string& text, std::u16string& out) {
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    const win::DWORD needed = win::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (needed == 0 || needed > kLongestData / sizeof(char16_t)) return false;
    out.assign(needed, u'\0');
    const win::DWORD written = win::ExpandEnvironmentStringsW(text.c_str(), out.data(), needed);
    if (written == 0) return false;
    if (written <= needed) {
      out.resize(std::min(out.find(u'\0'), out.size()));
      return true;
    }
  }
  return false;
}

// Why `folder` is not a folder the service can map a letter onto, or nothing. The service maps
// letters as `subst` does, onto folders of this machine's own volumes: a share (\\server\share)
// would be reached as the machine's account, may not be there at boot, and is refused; so are
// device paths (\\?\, \\.\), which also start with two backslashes.
std::u16string WhyNotAFolder(const std::u16string& folder) {
  if (folder.empty()) return u"names no folder";
  if (folder.starts_with(u"\\\\")) return u"names a network or device path, not a local folder";
  if (folder.size() < 3 || !IsDriveLetterName(folder.substr(0, 2)) || folder[2] != u'\\') {
    return u"names a relative folder";
  }
  // Each part of the path must name a folder: no "." or "..", no forward slash.
  std::u16string_view rest = std::u16string_view(folder).substr(3);
  if (rest.find(u'/') != rest.npos) return u"names a relative folder";
  while (!rest.empty()) {
    const std::size_t cut = rest.find(u'\\');
    const std::u16string_view part = rest.substr(0, cut);
    if (part == u"." || part == u"..") return u"names a relative folder";
    if (cut == rest.npos) break;
    rest.remove_prefix(cut + 1);
  }
  const win::DWORD attributes = win::GetFileAttributesW(folder.c_str());
  if (attributes == win::INVALID_FILE_ATTRIBUTES) return u"names a folder that does not exist";
  if ((attributes & win::FILE_ATTRIBUTE_DIRECTORY) == 0) return u"names a file, not a folder";
  return {};
}

struct OpenedKey {
  win::UniqueKey key;
  bool present = false;
};

// Opens one of the policy's keys in the 64-bit view; a key that is not there is no policy. Sets
// `policy`'s error and reason when it is there and not an administrator's word alone.
OpenedKey OpenPolicyKey(const char16_t* path, std::u16string_view what, DrivePolicy& policy) {
  OpenedKey opened;
  const win::LSTATUS status = win::RegOpenKeyExW(
      win::HKEY_LOCAL_MACHINE, path, 0,
      win::KEY_QUERY_VALUE | win::READ_CONTROL | win::KEY_WOW64_64KEY, opened.key.Put());
  if (status == static_cast<win::LSTATUS>(win::ERROR_FILE_NOT_FOUND)) return opened;
  if (status != 0) {
    policy.error = static_cast<win::DWORD>(status);
    policy.untrusted = SystemMessage(policy.error);
    return opened;
  }
  const std::u16string who = WhoElseMayChangeKey(opened.key.Get());
  if (!who.empty()) {
    policy.error = win::ERROR_ACCESS_DENIED;
    policy.untrusted = what.empty() ? who : std::u16string(what) + u" " + who;
    return opened;
  }
  opened.present = true;
  return opened;
}

// Every value of `key`; false, with `policy`'s error set, when the key cannot be read through.
bool ReadValues(win::HKEY key, std::vector<Value>& values, DrivePolicy& policy) {
  for (win::DWORD index = 0;; ++index) {
    Value value;
    const win::LSTATUS status = ReadValueAt(key, index, value);
    if (status == static_cast<win::LSTATUS>(win::ERROR_NO_MORE_ITEMS)) return true;
    if (status != 0) {
      policy.error = static_cast<win::DWORD>(status);
      policy.untrusted = SystemMessage(policy.error);
      return false;
    }
    values.push_back(std::move(value));
  }
}

void Skip(DrivePolicy& policy, const char16_t* key, const Value& value, std::u16string why) {
  policy.skipped.push_back(PolicyProblem{key, value.name, std::move(why)});
}

void ReadDrives(const std::vector<Value>& values, DrivePolicy& policy) {
  for (const Value& value : values) {
    if (!IsDriveLetterName(value.name)) {
      Skip(policy, kPolicyDrivesKey, value, u"is not one letter and a colon");
      continue;
    }
    if (value.type != win::REG_SZ && value.type != win::REG_EXPAND_SZ) {
      Skip(policy, kPolicyDrivesKey, value, u"is not a REG_SZ or REG_EXPAND_SZ value");
      continue;
    }
    std::u16string folder;
    if (value.tooLong) {
      Skip(policy, kPolicyDrivesKey, value, u"is too long for a folder");
      continue;
    }
    if (!StringOf(value.data, folder)) {
      Skip(policy, kPolicyDrivesKey, value, u"is damaged (an odd number of bytes)");
      continue;
    }
    if (value.type == win::REG_EXPAND_SZ) {
      std::u16string expanded;
      if (!Expand(folder, expanded)) {
        Skip(policy, kPolicyDrivesKey, value, u"cannot be expanded");
        continue;
      }
      folder = std::move(expanded);
    }
    if (std::u16string why = WhyNotAFolder(folder); !why.empty()) {
      Skip(policy, kPolicyDrivesKey, value, std::move(why));
      continue;
    }
    const std::u16string letter = {AsciiUpper(value.name[0]), u':'};
    const bool taken = std::ranges::any_of(
        policy.drives, [&](const PolicyDrive& drive) { return drive.letter == letter; });
    if (taken) {
      Skip(policy, kPolicyDrivesKey, value, u"names a letter the policy already maps");
      continue;
    }
    policy.drives.push_back(PolicyDrive{letter, std::move(folder), {}});
  }
}

void ReadLabels(const std::vector<Value>& values, DrivePolicy& policy) {
  std::vector<std::u16string> labelled;
  for (const Value& value : values) {
    const std::u16string letter =
        IsDriveLetterName(value.name) ? std::u16string{AsciiUpper(value.name[0]), u':'} : u"";
    const auto drive = std::ranges::find(policy.drives, letter, &PolicyDrive::letter);
    if (letter.empty()) {
      Skip(policy, kPolicyLabelsKey, value, u"is not one letter and a colon");
      continue;
    }
    if (drive == policy.drives.end()) {
      Skip(policy, kPolicyLabelsKey, value, u"labels a letter the policy does not map");
      continue;
    }
    std::u16string label;
    if (value.type != win::REG_SZ || value.tooLong || !StringOf(value.data, label) ||
        !IsDriveLabel(label)) {
      Skip(policy, kPolicyLabelsKey, value,
           u"is not a REG_SZ label of 1 to 32 characters without control characters");
      continue;
    }
    if (std::ranges::find(labelled, letter) != labelled.end()) {
      Skip(policy, kPolicyLabelsKey, value, u"labels a letter already labelled");
      continue;
    }
    labelled.push_back(letter);
    drive->label = std::move(label);
  }
}

}  // namespace

bool IsDriveLabel(std::u16string_view label) {
  // Shown on one line in Explorer and stored in the registry as text: control characters (C0,
  // DEL, C1) would garble both.
  const auto control = [](char16_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); };
  return !label.empty() && label.size() <= kLongestLabel && std::ranges::none_of(label, control);
}

DrivePolicy ReadDrivePolicy() {
  DrivePolicy policy;
  // Both keys are checked before anything is read: a label is as much the policy as a letter.
  OpenedKey drives = OpenPolicyKey(kPolicyDrivesKey, u"", policy);
  if (policy.error != 0) return policy;
  OpenedKey labels = OpenPolicyKey(kPolicyLabelsKey, u"its Labels key:", policy);
  if (policy.error != 0) return policy;
  std::vector<Value> driveValues;
  std::vector<Value> labelValues;
  if ((drives.present && !ReadValues(drives.key.Get(), driveValues, policy)) ||
      (labels.present && !ReadValues(labels.key.Get(), labelValues, policy))) {
    return policy;
  }
  ReadDrives(driveValues, policy);
  ReadLabels(labelValues, policy);
  return policy;
}
