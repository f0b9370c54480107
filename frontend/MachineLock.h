// A lock that every corvane on the machine shares, whatever logon session it runs in: a named
// mutex in the Global\ namespace. It goes with its holder: a corvane killed or crashed while it
// holds the lock leaves it abandoned, and the next one takes it over at once.
#pragma once

#include <string_view>

#include "platform/UniqueHandle.h"
#include "platform/WinApi.h"

namespace frontend {

// Held from the reading of the link list until the new list is in place.
inline constexpr char16_t kListLockName[] = u"Global\\CorvaneService.LinkList";
// Held from a start of the service until its end has been seen, so that every front end reads
// the outcome of its own start.
inline constexpr char16_t kRequestLockName[] = u"Global\\CorvaneService.Request";

// A waiter says so on standard error after this long, and gives up after the second.
inline constexpr win::DWORD kLockNoticeMilliseconds = 1000;
inline constexpr win::DWORD kLockGiveUpMilliseconds = 30'000;

class MachineLock {
 public:
  MachineLock() = default;
  MachineLock(const MachineLock&) = delete;
  MachineLock& operator=(const MachineLock&) = delete;
  ~MachineLock();

  // Waits for the lock `name`, writing `notice` to standard error once the wait has lasted
  // kLockNoticeMilliseconds. 0 once held; ERROR_TIMEOUT when it was still held elsewhere after
  // kLockGiveUpMilliseconds; otherwise the code of what failed.
  win::DWORD Acquire(const char16_t* name, std::u16string_view notice);

 private:
  win::UniqueObject mutex_;
  bool held_ = false;
};

}  // namespace frontend
