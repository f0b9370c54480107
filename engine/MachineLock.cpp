#include "engine/MachineLock.h"

#include <cstdint>
#include <utility>

#include "engine/FileSecurity.h"

namespace {

// Rights that let an opener hold the lock (an open for data or deletion takes part in the share
// check) or let in whoever it likes (the list, the owner).
constexpr win::DWORD kHoldingRights = win::FILE_READ_DATA | win::FILE_WRITE_DATA |
                                      win::FILE_APPEND_DATA | win::FILE_EXECUTE | win::DELETE |
                                      win::WRITE_DAC | win::WRITE_OWNER | win::GENERIC_READ |
                                      win::GENERIC_WRITE | win::GENERIC_EXECUTE | win::GENERIC_ALL;

// Whether someone other than SYSTEM, Administrators and this process's own user owns the lock
// file or may hold it. (Under Wine every file belongs to the one Wine user, the process's own.)
bool OthersMayHold(win::HANDLE file) {
  ProcessUser user;
  ObjectSecurity security;
  if (!user.Read() || security.Read(file) != 0) return true;
  return !IsTrustedOwner(security.Owner(), false, user.Sid()) ||
         GrantsOthers(security.Dacl(), kHoldingRights, user.Sid());
}

}  // namespace

win::DWORD MachineLock::Acquire(const std::u16string& folder, const char16_t* name,
                                const std::function<void()>& onLongWait,
                                const WaitSchedule& schedule) {
  path_ = folder + u"\\" + name;
  const SecurityFromText security(kAdministratorsOnly);
  if (!security) return win::GetLastError();
  win::SECURITY_ATTRIBUTES attributes{sizeof attributes, security.Get(), win::FALSE};
  Wait wait(schedule);
  bool checked = false;
  for (;;) {
    file_.Reset(win::CreateFileW(path_.c_str(), win::GENERIC_READ, 0, &attributes, win::OPEN_ALWAYS,
                                 win::FILE_ATTRIBUTE_NORMAL, nullptr));
    const win::DWORD error = win::GetLastError();
    if (file_) {
      // Made now, it has the list above. Found, it is checked once: one that another user owns
      // or may open (only an administrator can have put it there, or anyone where the folder
      // lets anyone write) is set aside while held, so that the next open makes it anew.
      if (error != win::ERROR_ALREADY_EXISTS || std::exchange(checked, true) ||
          !OthersMayHold(file_.Get())) {
        return 0;
      }
      file_.Reset();
      const std::u16string aside = path_ + u".old";
      // A rename leaves no delete-pending name, which another corvane would be refused
      // (ERROR_ACCESS_DENIED) instead of waiting. One that fails leaves the file in use as it is.
      if (win::MoveFileExW(path_.c_str(), aside.c_str(), win::MOVEFILE_REPLACE_EXISTING)) {
        win::DeleteFileW(aside.c_str());
      }
      continue;
    }
    if (error != win::ERROR_SHARING_VIOLATION) return error != 0 ? error : win::ERROR_GEN_FAILURE;
    if (!wait.Again(onLongWait)) return win::ERROR_TIMEOUT;
  }
}
