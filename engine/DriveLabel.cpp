#include "engine/DriveLabel.h"

#include "platform/UniqueHandle.h"

namespace {

// Explorer's own place for a letter's name and icon, per letter ("X"), for every user.
constexpr char16_t kDriveIcons[] =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons\\";
constexpr char16_t kDefaultLabel[] = u"\\DefaultLabel";

std::u16string LetterKey(std::u16string_view letter) {
  return kDriveIcons + std::u16string(letter.substr(0, 1));
}

bool IsEmptyKey(const std::u16string& path) {
  win::UniqueKey key;
  if (win::RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, path.c_str(), 0, win::KEY_QUERY_VALUE,
                         key.Put()) != 0) {
    return false;
  }
  win::DWORD subKeys = 1;
  win::DWORD values = 1;
  return win::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                               &values, nullptr, nullptr, nullptr, nullptr) == 0 &&
         subKeys == 0 && values == 0;
}

}  // namespace

win::DWORD WriteDriveLabel(std::u16string_view letter, const std::u16string& label) {
  win::UniqueKey key;
  win::LSTATUS status = win::RegCreateKeyExW(
      win::HKEY_LOCAL_MACHINE, (LetterKey(letter) + kDefaultLabel).c_str(), 0, nullptr,
      win::REG_OPTION_NON_VOLATILE, win::KEY_SET_VALUE, nullptr, key.Put(), nullptr);
  if (status == 0) {
    status = win::RegSetValueExW(key.Get(), nullptr, 0, win::REG_SZ,
                                 reinterpret_cast<const win::BYTE*>(label.c_str()),
                                 static_cast<win::DWORD>((label.size() + 1) * sizeof(char16_t)));
  }
  return static_cast<win::DWORD>(status);
}

win::DWORD ReadDriveLabel(std::u16string_view letter, std::u16string& label) {
  label.clear();
  win::UniqueKey key;
  win::LSTATUS status =
      win::RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, (LetterKey(letter) + kDefaultLabel).c_str(), 0,
                         win::KEY_QUERY_VALUE, key.Put());
  win::DWORD type = 0;
  win::DWORD size = 0;
  if (status == 0) status = win::RegQueryValueExW(key.Get(), nullptr, nullptr, &type, nullptr, &size);
  if (status != 0) return static_cast<win::DWORD>(status);
  if (type != win::REG_SZ) return win::ERROR_INVALID_DATA;
  label.resize(size / sizeof(char16_t));
  status = win::RegQueryValueExW(key.Get(), nullptr, nullptr, &type,
                                 reinterpret_cast<win::BYTE*>(label.data()), &size);
  if (status != 0) return static_cast<win::DWORD>(status);
  label.resize(size / sizeof(char16_t));
  while (!label.empty() && label.back() == u'\0') label.pop_back();
  return 0;
}

win::DWORD RemoveDriveLabel(std::u16string_view letter) {
  const std::u16string letterKey = LetterKey(letter);
  const win::LSTATUS status =
      win::RegDeleteKeyW(win::HKEY_LOCAL_MACHINE, (letterKey + kDefaultLabel).c_str());
  if (status == win::ERROR_FILE_NOT_FOUND) return 0;
  if (status != 0) return static_cast<win::DWORD>(status);
  // An empty key for the letter changes nothing Explorer shows; it goes only to leave no trace.
  if (IsEmptyKey(letterKey)) win::RegDeleteKeyW(win::HKEY_LOCAL_MACHINE, letterKey.c_str());
  return 0;
}

