// Synchronization in the simulated machine: the asynchronous procedure calls queued to a thread
// until its next alertable wait.
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
