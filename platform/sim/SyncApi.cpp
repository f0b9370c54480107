// The kernel32 waits of the seam: alertable sleeps that run the asynchronous procedure calls
// queued to the thread.
#include <chrono>
#include <utility>

#include "platform/sim/MachineState.h"
#include "platform/sim/Sync.h"

namespace sim {

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
