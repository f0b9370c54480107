// The kernel32 waits of the seam: mutexes, waiting on them, and alertable sleeps that run the
// asynchronous procedure calls queued to the thread.
#include <chrono>
#include <utility>

#include "platform/sim/MachineState.h"
#include "platform/sim/Sync.h"

namespace sim {
namespace {

class MutexHandle : public HandleObject {
 public:
  explicit MutexHandle(std::shared_ptr<MutexObject> object) : mutex(std::move(object)) {}
  std::shared_ptr<MutexObject> mutex;
};

// A wait with an injected WAIT_TIMEOUT passes no time: it takes what is free now, or times out
// at once as though its whole timeout had passed. Any other injected code fails the call.
std::optional<win::DWORD> InterceptWait(std::string_view function, bool& noTime) {
  const win::DWORD saved = win::GetLastError();
  const auto injected = Intercept(function);
  noTime = injected == win::WAIT_TIMEOUT;
  if (!noTime) return injected;
  win::SetLastError(saved);
  return std::nullopt;
}

// The mutexes a thread has taken. As the thread ends, whatever of them it still owns is
// abandoned, as Windows abandons it: the next waiter gets it with WAIT_ABANDONED. A simulated
// process's threads end with the process, so its mutexes go with it.
struct OwnedByThread {
  std::vector<std::weak_ptr<MutexObject>> taken;
  ~OwnedByThread() {
    const auto self = std::this_thread::get_id();
    for (const auto& weak : taken) {
      const auto mutex = weak.lock();
      if (!mutex) continue;
      std::lock_guard lock(mutex->lock);
      if (mutex->recursion == 0 || mutex->ownerThread != self) continue;
      mutex->ownerThread = {};
      mutex->recursion = 0;
      mutex->abandoned = true;
      mutex->released.notify_all();
    }
  }
};
thread_local OwnedByThread ownedByThisThread;

void TakeOwnership(const std::shared_ptr<MutexObject>& mutex) {
  mutex->ownerThread = std::this_thread::get_id();
  mutex->recursion = 1;
  auto& taken = ownedByThisThread.taken;
  std::erase_if(taken, [](const std::weak_ptr<MutexObject>& weak) { return weak.expired(); });
  taken.push_back(mutex);
}

}  // namespace

std::shared_ptr<ApcQueue> CurrentApcQueue() {
  thread_local auto queue = std::make_shared<ApcQueue>();
  return queue;
}

void QueueApc(ApcQueue& queue, std::function<void()> call) {
  std::lock_guard lock(queue.lock);
  queue.calls.push_back(std::move(call));
  queue.queued.notify_all();
}

}  // namespace sim

namespace win {

HANDLE CreateMutexW(void* /*security*/, BOOL initialOwner, LPCWSTR name) {
  if (sim::Intercept("CreateMutexW")) return nullptr;
  sim::Guard guard(sim::Lock());
  auto& sync = *sim::State().sync;
  // Object names compare without regard to case. The simulation has one logon session, so a
  // Global\ name and a bare one are the names they are, with nothing between them.
  const std::u16string key = name != nullptr ? sim::Upper(name) : std::u16string();
  if (!key.empty()) {
    if (auto existing = sync.named[key].lock()) {
      // The existing object, not owned by the caller whatever it asked for.
      HANDLE handle = sim::AddHandle(std::make_shared<sim::MutexHandle>(std::move(existing)));
      SetLastError(ERROR_ALREADY_EXISTS);
      return handle;
    }
  }
  auto mutex = std::make_shared<sim::MutexObject>();
  if (initialOwner) sim::TakeOwnership(mutex);
  if (!key.empty()) sync.named[key] = mutex;
  HANDLE handle = sim::AddHandle(std::make_shared<sim::MutexHandle>(std::move(mutex)));
  SetLastError(ERROR_SUCCESS);
  return handle;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  bool noTime = false;
  if (sim::InterceptWait("WaitForSingleObject", noTime)) return WAIT_FAILED;
  const auto object = sim::FindHandleAs<sim::MutexHandle>(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  sim::MutexObject& mutex = *object->mutex;
  const auto self = std::this_thread::get_id();
  std::unique_lock lock(mutex.lock);
  const auto free = [&] { return mutex.recursion == 0 || mutex.ownerThread == self; };
  if (noTime) milliseconds = 0;
  if (milliseconds == INFINITE) {
    mutex.released.wait(lock, free);
  } else if (!mutex.released.wait_for(lock, std::chrono::milliseconds(milliseconds), free)) {
    return WAIT_TIMEOUT;
  }
  if (mutex.recursion > 0) {
    ++mutex.recursion;
    return WAIT_OBJECT_0;
  }
  sim::TakeOwnership(object->mutex);
  return std::exchange(mutex.abandoned, false) ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

BOOL ReleaseMutex(HANDLE handle) {
  if (sim::Intercept("ReleaseMutex")) return FALSE;
  const auto object = sim::FindHandleAs<sim::MutexHandle>(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  sim::MutexObject& mutex = *object->mutex;
  std::lock_guard lock(mutex.lock);
  if (mutex.recursion == 0 || mutex.ownerThread != std::this_thread::get_id()) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  if (--mutex.recursion == 0) {
    mutex.ownerThread = {};
    mutex.released.notify_all();
  }
  return TRUE;
}

DWORD SleepEx(DWORD milliseconds, BOOL alertable) {
  // Like Sleep, SleepEx has no failure to report: an injected one skips the wait, and calls
  // already queued still run.
  const DWORD saved = GetLastError();
  if (sim::Intercept("SleepEx")) {
    if (milliseconds != INFINITE) sim::State().skippedMilliseconds += milliseconds;
    milliseconds = 0;
  }
  SetLastError(saved);
  if (!alertable) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return 0;
  }
  const auto queue = sim::CurrentApcQueue();
  std::deque<std::function<void()>> calls;
  {
    std::unique_lock lock(queue->lock);
    const auto queued = [&] { return !queue->calls.empty(); };
    if (milliseconds == INFINITE) {
      queue->queued.wait(lock, queued);
    } else {
      queue->queued.wait_for(lock, std::chrono::milliseconds(milliseconds), queued);
    }
    calls.swap(queue->calls);
  }
  for (auto& call : calls) call();
  return calls.empty() ? 0 : WAIT_IO_COMPLETION;
}

}  // namespace win
