// Synchronization in the simulated machine: named and unnamed mutexes with their owners, and
// the asynchronous procedure calls queued to a thread until its next alertable wait.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/WinApi.h"

namespace sim {

// One mutex object, shared by every handle opened on it. Guarded by its own lock, because
// waiters block on it outside the machine's lock.
struct MutexObject {
  std::mutex lock;
  std::condition_variable released;
  std::thread::id ownerThread;  // meaningful while recursion > 0
  win::DWORD recursion = 0;     // 0: nobody owns it
  bool abandoned = false;       // its owner's thread ended while it owned it
};

// The named mutexes alive, by upper-cased name. Call with the machine lock held.
struct SyncObjects {
  std::map<std::u16string, std::weak_ptr<MutexObject>> named;
};

// The calls queued to one thread. Any thread may queue; only the owner runs them, in an
// alertable wait.
struct ApcQueue {
  std::mutex lock;
  std::condition_variable queued;
  std::deque<std::function<void()>> calls;
};

// The calling thread's queue (made on first use).
std::shared_ptr<ApcQueue> CurrentApcQueue();
void QueueApc(ApcQueue& queue, std::function<void()> call);

}  // namespace sim
