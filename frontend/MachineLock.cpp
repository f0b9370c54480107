#include "frontend/MachineLock.h"

#include "frontend/Console.h"

namespace frontend {

MachineLock::~MachineLock() {
  if (held_) win::ReleaseMutex(mutex_.Get());
}

win::DWORD MachineLock::Acquire(const char16_t* name, std::u16string_view notice) {
  mutex_.Reset(win::CreateMutexW(nullptr, win::FALSE, name));
  if (!mutex_) return win::GetLastError();
  win::DWORD waited = win::WaitForSingleObject(mutex_.Get(), kLockNoticeMilliseconds);
  if (waited == win::WAIT_TIMEOUT) {
    WriteError(notice);
    waited = win::WaitForSingleObject(mutex_.Get(),
                                      kLockGiveUpMilliseconds - kLockNoticeMilliseconds);
  }
  // An abandoned lock is taken over: what it guards is changed only by whole-file replacement,
  // so a holder that died left nothing half done.
  if (waited == win::WAIT_OBJECT_0 || waited == win::WAIT_ABANDONED) {
    held_ = true;
    return 0;
  }
  if (waited == win::WAIT_TIMEOUT) return win::ERROR_TIMEOUT;
  const win::DWORD error = win::GetLastError();
  return error != 0 ? error : win::ERROR_INVALID_HANDLE;
}

}  // namespace frontend
