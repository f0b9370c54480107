// A lock that every corvane on the machine, and the service's restore pass, share, whatever logon
// session each runs in: a file in
// the service's folder, held by opening it with no sharing, so that any other opener is refused
// with ERROR_SHARING_VIOLATION. Only SYSTEM and Administrators may open it (it is made so, and
// the folder lets no one else make files), so no other user can take it first and keep every
// corvane waiting, as any user could with a named object. It goes with its holder: the system
// closes the handles of a process that ends, so a corvane killed while it holds the lock keeps
// nobody waiting.
#pragma once

#include <functional>
#include <string>

#include "engine/ServiceName.h"
#include "engine/Wait.h"
#include "platform/UniqueHandle.h"
#include "platform/WinApi.h"

// Held from the reading of the link list until the new list is in place, and by the restore pass
// while it reads the list and maps what it holds.
inline constexpr char16_t kListLockName[] = u"" CORVANE_SERVICE_NAME ".LinkList.lock";
// Held from a start of the service until its end has been seen, so that every front end reads
// the outcome of its own start.
inline constexpr char16_t kRequestLockName[] = u"" CORVANE_SERVICE_NAME ".Request.lock";

// A waiter tries every 50 ms, says so after a second and gives up after 30.
inline constexpr WaitSchedule kLockWait{50, 50, 30'000, 1'000};

class MachineLock {
 public:
  MachineLock() = default;
  MachineLock(const MachineLock&) = delete;
  MachineLock& operator=(const MachineLock&) = delete;

  // Waits for the lock file `name` in `folder` as `schedule` says, calling `onLongWait` once it
  // is due. 0 once held; ERROR_TIMEOUT when it was still held elsewhere at the end of the budget;
  // otherwise the code of what failed.
  win::DWORD Acquire(const std::u16string& folder, const char16_t* name,
                     const std::function<void()>& onLongWait,
                     const WaitSchedule& schedule = kLockWait);
  const std::u16string& Path() const { return path_; }

 private:
  win::UniqueFile file_;
  std::u16string path_;
};
